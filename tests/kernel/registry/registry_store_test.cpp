// The key and value store behind the kernel's registry calls.
#include <gtest/gtest.h>

#include <thread>

#include "hostkernel/registry.h"
#include "import_result.h"

namespace {

using hk::Registry;

const std::wstring kInit = L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZHP\\INIT";

TEST(RegistryStore, HiveRootsAlwaysExistAndCannotBeDeleted) {
    Registry registry;
    EXPECT_TRUE(registry.KeyExists(L"\\Registry"));
    EXPECT_TRUE(registry.KeyExists(L"\\Registry\\Machine"));
    EXPECT_TRUE(registry.KeyExists(L"\\REGISTRY\\user"));
    EXPECT_FALSE(registry.DeleteKey(L"\\Registry\\Machine"));
    EXPECT_FALSE(registry.DeleteKey(L"\\Registry"));
    EXPECT_FALSE(registry.CreateKey(L"\\Registry\\Other"));
    EXPECT_FALSE(registry.KeyExists(L"\\Registry\\Other"));
    EXPECT_EQ(registry.SubKeys(L"\\Registry"), (std::vector<std::wstring>{L"Machine", L"User"}));
}

TEST(RegistryStore, CreateKeyMakesParentsAndDeleteKeyRemovesSubtree) {
    Registry registry;
    ASSERT_TRUE(registry.CreateKey(kInit));
    EXPECT_TRUE(registry.KeyExists(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet"));
    ASSERT_TRUE(registry.SetValue(kInit, L"OP_MODE", hk::kRegBinary, {1}));

    EXPECT_TRUE(registry.DeleteKey(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services"));
    EXPECT_FALSE(registry.KeyExists(kInit));
    EXPECT_FALSE(registry.GetValue(kInit, L"OP_MODE"));
    EXPECT_TRUE(registry.KeyExists(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet"));
    EXPECT_FALSE(registry.DeleteKey(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services"));
}

TEST(RegistryStore, NamesCompareWithoutCaseAndKeepTheirFirstCase) {
    Registry registry;
    ASSERT_TRUE(registry.CreateKey(L"\\Registry\\Machine\\SOFTWARE\\Halvorin"));
    EXPECT_TRUE(registry.KeyExists(L"\\registry\\MACHINE\\software\\hALVORIN"));
    ASSERT_TRUE(registry.CreateKey(L"\\Registry\\Machine\\software\\HALVORIN\\Sub"));
    EXPECT_EQ(registry.SubKeys(L"\\Registry\\Machine\\SOFTWARE"), std::vector<std::wstring>{L"Halvorin"});

    ASSERT_TRUE(registry.SetValue(L"\\Registry\\Machine\\SOFTWARE\\Halvorin", L"InstallDir", hk::kRegSz,
                                  hk::RegSzData(L"C:\\A\\")));
    ASSERT_TRUE(registry.SetValue(L"\\Registry\\Machine\\SOFTWARE\\Halvorin", L"INSTALLDIR", hk::kRegSz,
                                  hk::RegSzData(L"C:\\B\\")));
    const auto value = registry.GetValue(L"\\REGISTRY\\MACHINE\\SOFTWARE\\HALVORIN", L"installdir");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->name, L"InstallDir");
    EXPECT_EQ(hk::RegSzText(value->data), std::wstring(L"C:\\B\\"));
    EXPECT_EQ(registry.Values(L"\\Registry\\Machine\\SOFTWARE\\Halvorin").size(), 1u);

    EXPECT_TRUE(registry.DeleteValue(L"\\Registry\\Machine\\SOFTWARE\\Halvorin", L"INSTALLdir"));
    EXPECT_FALSE(registry.GetValue(L"\\Registry\\Machine\\SOFTWARE\\Halvorin", L"InstallDir"));
    EXPECT_FALSE(registry.DeleteValue(L"\\Registry\\Machine\\SOFTWARE\\Halvorin", L"InstallDir"));
}

TEST(RegistryStore, SubKeysSortedAndValuesInCreationOrder) {
    Registry registry;
    const std::wstring key = L"\\Registry\\User\\CurrentUser";
    for (const wchar_t* name : {L"beta", L"Alpha", L"_under", L"Gamma"}) {
        ASSERT_TRUE(registry.CreateKey(key + L"\\" + name));
    }
    // Upper-case order, as Windows enumerates: '_' sorts after the letters.
    EXPECT_EQ(registry.SubKeys(key), (std::vector<std::wstring>{L"Alpha", L"beta", L"Gamma", L"_under"}));

    ASSERT_TRUE(registry.SetValue(key, L"z", hk::kRegDword, hk::RegDwordData(1)));
    ASSERT_TRUE(registry.SetValue(key, L"a", hk::kRegDword, hk::RegDwordData(2)));
    ASSERT_TRUE(registry.SetValue(key, L"Z", hk::kRegDword, hk::RegDwordData(3)));  // replaces in place
    const auto values = registry.Values(key);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].name, L"z");
    EXPECT_EQ(values[0].data, hk::RegDwordData(3));
    EXPECT_EQ(values[1].name, L"a");
}

TEST(RegistryStore, SetValueNeedsTheKeyUnlessAskedToCreateIt) {
    Registry registry;
    EXPECT_FALSE(registry.SetValue(kInit, L"ERR_CODE", hk::kRegBinary, {0}));
    EXPECT_FALSE(registry.KeyExists(kInit));
    EXPECT_TRUE(registry.SetValue(kInit, L"ERR_CODE", hk::kRegBinary, {0}, /*createKey=*/true));
    EXPECT_TRUE(registry.KeyExists(kInit));
    EXPECT_EQ(registry.GetValue(kInit, L"ERR_CODE")->data, std::vector<std::uint8_t>{0});
}

TEST(RegistryStore, RefusesPathsAndNamesAFileCannotCarry) {
    Registry registry;
    EXPECT_FALSE(registry.CreateKey(L"Registry\\Machine\\A"));
    EXPECT_FALSE(registry.CreateKey(L"\\Registry\\Machine\\\\A"));
    EXPECT_FALSE(registry.CreateKey(L"\\Registry\\Machine\\A\\"));
    EXPECT_FALSE(registry.CreateKey(L"\\RegistryX\\Machine"));
    EXPECT_FALSE(registry.CreateKey(L"\\Registry\\Machine\\" + std::wstring(256, L'k')));
    EXPECT_TRUE(registry.CreateKey(L"\\Registry\\Machine\\" + std::wstring(255, L'k')));
    EXPECT_FALSE(registry.CreateKey(L"\\Registry\\Machine\\line\nbreak"));
    EXPECT_FALSE(registry.SetValue(L"\\Registry\\Machine", L"a\nb", hk::kRegNone, {}));
    EXPECT_FALSE(registry.SetValue(L"\\Registry", L"root", hk::kRegNone, {}));

    std::wstring deep = L"\\Registry\\Machine";
    for (int level = 2; level <= 512; ++level) deep += L"\\k";
    EXPECT_TRUE(registry.CreateKey(deep));
    EXPECT_FALSE(registry.CreateKey(deep + L"\\k"));
}

TEST(RegistryStore, ConcurrentWritersAndReadersSeeConsistentState) {
    Registry registry;
    constexpr int kThreads = 4;
    constexpr int kValuesPerThread = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&registry, t] {
            const std::wstring key = L"\\Registry\\Machine\\T" + std::to_wstring(t);
            for (int i = 0; i < kValuesPerThread; ++i) {
                registry.SetValue(key, L"v" + std::to_wstring(i), hk::kRegDword, hk::RegDwordData(i), true);
                registry.SetValue(L"\\Registry\\Machine\\Shared", L"last", hk::kRegDword, hk::RegDwordData(t), true);
            }
        });
    }
    threads.emplace_back([&registry] {
        for (int i = 0; i < 50; ++i) {
            Registry copy;
            EXPECT_TRUE(Imported(copy, registry.ExportText(), "snapshot"));
        }
    });
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(registry.Values(L"\\Registry\\Machine\\T" + std::to_wstring(t)).size(), std::size_t{kValuesPerThread});
    }
    EXPECT_EQ(registry.Values(L"\\Registry\\Machine\\Shared").size(), 1u);
}

TEST(RegistryStore, RegPathsMapToKernelPaths) {
    EXPECT_EQ(hk::KernelPathFromRegPath(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorin"),
              std::wstring(L"\\Registry\\Machine\\SOFTWARE\\Halvorin"));
    EXPECT_EQ(hk::KernelPathFromRegPath(L"hklm"), std::wstring(L"\\Registry\\Machine"));
    EXPECT_EQ(hk::KernelPathFromRegPath(L"HKEY_USERS\\S-1"), std::wstring(L"\\Registry\\User\\S-1"));
    EXPECT_EQ(hk::KernelPathFromRegPath(L"HKEY_CURRENT_USER\\Console"),
              std::wstring(L"\\Registry\\User\\CurrentUser\\Console"));
    EXPECT_FALSE(hk::KernelPathFromRegPath(L"HKEY_CLASSES_ROOT\\x"));
    EXPECT_FALSE(hk::KernelPathFromRegPath(L"HKLM\\\\x"));
}

}  // namespace
