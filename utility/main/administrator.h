// The Administrators test: whether the user's token lists the built-in
// Administrators group (the group's attributes are not looked at, so a
// deny-only entry counts). Sentrel disables the protection selector and the
// settings button when it fails (NotAdmin).
//
// The thread token is tried first, then the process token. Every failure on
// the way counts as membership and writes one message to standard output:
//   "Cannot open thread token, trying process token [%lu].\n"
//   "Cannot open process token, quitting [%lu].\n"
//   "Cannot get group list from token [%lu].\n"
//   "Cannot create SID for Administrators [%lu].\n"
// (threads normally have no token of their own, so the first one is usual).
#pragma once

bool IsAdministrator();
