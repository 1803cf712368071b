#include "test_report.h"

#include <cstdio>
#include <string>

#include "drive_path.h"

bool WriteTestReport(bool pass) {
    std::string path;
    if (!MapDrivePath(kTestReportPath, &path)) return false;
    // Binary mode: the line ends are CR LF on every platform.
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    std::fputs("G-sensor QC Static Tested Report\r\n", file);
    std::fputs("================================\r\n", file);
    std::fputs(pass ? "-----Pass" : "-----Fail", file);
    return std::fclose(file) == 0;
}
