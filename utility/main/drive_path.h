// Windows file paths as the C runtime opens them. Sentrel names its files the
// Windows way ("C:\Users\Public\G_TEST.txt", the caption file below the
// registry's directory prefix); on Windows the path is handed to fopen as it
// is, on the host it is mapped into the simulated notebook's drive C.
// One implementation per platform, chosen by the build.
#pragma once

#include <string>

// Fills *runtimePath with the path to give fopen. False when the path cannot
// be mapped (another drive, a device path, no notebook to ask on the host):
// the caller then treats the file as one that cannot be opened.
bool MapDrivePath(const std::string& windowsPath, std::string* runtimePath);
