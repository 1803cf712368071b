// Sends command 107 count times from this process (a win32host client) and
// prints each round trip in nanoseconds, one per line. Exit status 0 on success.
#pragma once

int RunRoundTrips(int count);
