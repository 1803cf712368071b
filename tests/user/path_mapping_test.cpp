// Windows paths of the notebook on the host, and object names in the
// kernel's namespace.
#include <windows.h>

#include <hostuser/paths.h>

#include <gtest/gtest.h>

#include "object_names.h"
#include "path_mapping.h"
#include "user_test_support.h"

namespace {

using hostuser::MapWindowsPath;
using hostuser::PathMapError;

TEST(PathMapping, DriveCLandsInTheNotebooksDirectory) {
    EXPECT_EQ(MapWindowsPath("C:\\Users\\Public\\G_TEST.txt", "/state/drive_c").path,
              "/state/drive_c/Users/Public/G_TEST.txt");
    EXPECT_EQ(MapWindowsPath("c:/ProgramData/Halvorin/Sentrel/", "/d").path, "/d/ProgramData/Halvorin/Sentrel");
    EXPECT_EQ(MapWindowsPath("C:\\", "/d").path, "/d");
    EXPECT_EQ(MapWindowsPath("C:\\a\\.\\b\\..\\c.txt", "/d").path, "/d/a/c.txt");
    EXPECT_EQ(MapWindowsPath("C:\\x", "").error, PathMapError::NeedsDriveC);
}

TEST(PathMapping, RelativePathsStayRelative) {
    EXPECT_EQ(MapWindowsPath("Captions_1033.txt", "/d").path, "Captions_1033.txt");
    EXPECT_EQ(MapWindowsPath("sub\\Captions.txt", "").path, "sub/Captions.txt");
}

TEST(PathMapping, OtherDrivesDevicesAndEscapesAreNotMapped) {
    for (const char* path : {"D:\\x.txt", "C:relative.txt", "\\\\server\\share\\x", "\\\\.\\VELMORACC", "\\rooted",
                             "C:\\..\\etc\\passwd", "..\\up"}) {
        EXPECT_EQ(MapWindowsPath(path, "/d").error, PathMapError::NotMappable) << path;
    }
}

TEST(PathMapping, HostMapPathUsesTheRunningNotebooksDriveC) {
    char path[512];
    ASSERT_TRUE(HostMapPath("C:\\Users\\Public\\G_TEST.txt", path, sizeof path));
    EXPECT_EQ(std::string(path), usertest::TheMachine().directory + "/drive_c/Users/Public/G_TEST.txt");
    EXPECT_FALSE(HostMapPath("C:\\Users\\Public\\G_TEST.txt", path, 8));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(HostMapPath("E:\\x", path, sizeof path));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(ObjectNames, PrefixesChooseTheDirectory) {
    using hostuser::KernelObjectName;
    EXPECT_EQ(KernelObjectName(L"Global\\VrFFEvent01"), L"\\BaseNamedObjects\\VrFFEvent01");
    EXPECT_EQ(KernelObjectName(L"global\\ApEvent01"), L"\\BaseNamedObjects\\ApEvent01");
    EXPECT_EQ(KernelObjectName(L"Local\\X"), L"\\Sessions\\1\\BaseNamedObjects\\X");
    EXPECT_EQ(KernelObjectName(L"GTWaitTimer"), L"\\Sessions\\1\\BaseNamedObjects\\GTWaitTimer");
    EXPECT_FALSE(KernelObjectName(L"Global\\"));
    EXPECT_FALSE(KernelObjectName(L"Other\\X"));
    EXPECT_FALSE(KernelObjectName(std::wstring(261, L'a')));
}

}  // namespace
