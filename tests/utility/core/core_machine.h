// The notebook Sentrel's modules talk to in these tests: the simulated
// notebook booted in real time with ZHP protecting its disk, served to user
// mode on two sockets in a private temporary directory. The test process is
// the utility (it talks to the administrator's socket); helper processes
// (sentrel_probe) can be pointed at the standard user's socket. Separate
// `notebook serve` processes come from the end-to-end tests' support.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "process_support.h"

namespace coretest {

// Socket of the notebook whose user is an administrator (the test process
// uses it), and of the same notebook seen by a standard user.
const std::string& AdministratorSocket();
const std::string& StandardUserSocket();
// The host directory standing for drive C.
const std::string& DriveC();

// The notebook's registry, as the installer's .reg files left it, changed:
// a value of HKEY_LOCAL_MACHINE\SOFTWARE\Halvorin set (text) or removed
// (nullptr); the whole key removed.
void SetHalvorinValue(const char* name, const char* text);
void RemoveHalvorinKey();
// Puts the installer's Halvorin values back.
void RestoreHalvorinKey();

// A value of ZHP's key Services\ZHP\INIT (binary, little-endian, at most
// four bytes) as a number; -1 when missing.
long long ZhpInitValue(const wchar_t* name);

// The sensor's interrupt line forced active (a fall) or released.
void ForceInterruptPin(bool active);

// Kernel-side view of named objects in \BaseNamedObjects.
bool GlobalObjectExists(const std::wstring& name);

// Writes a file below drive C (path with slashes, relative to it), making
// the directories on the way; removes one.
void WriteDriveCFile(const std::string& relativePath, const std::string& text);
void RemoveDriveCFile(const std::string& relativePath);

// Runs sentrel_probe with the arguments against a socket to its end.
e2e::RunResult RunProbe(const std::string& socket, const std::vector<std::string>& arguments);

bool Eventually(const std::function<bool()>& condition, int limitMs = 20000);

}  // namespace coretest
