// Sentrel's caption files on the live notebook: the installer puts
// install/captions/* into the directory its registry names as
// HKEY_LOCAL_MACHINE\SOFTWARE\Halvorin "AppDataDir" (else "InstallDir"),
// which on the notebook lies in STATE/drive_c. notebook serve does so at
// every start, so a utility on the notebook finds the files the repository
// holds now.
#pragma once

#include <string>

namespace hk {
class Registry;
}

namespace notebook {

// Copies the caption files; returns the Windows directory they went to, or
// an empty string with *problem saying why nothing was copied.
std::string PlaceCaptionFiles(const hk::Registry& registry, const std::string& sourceDir, const std::string& driveC,
                              std::string* problem);

}  // namespace notebook
