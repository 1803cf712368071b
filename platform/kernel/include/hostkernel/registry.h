// The host kernel's registry: a tree of keys and values behind ZwOpenKey,
// ZwQueryValueKey, RtlWriteRegistryValue and the user-mode registry reads,
// loaded from and saved to .reg files in regedit's own text format.
//
// Key paths are kernel paths: "\Registry" followed by "\Machine" or "\User"
// and the key names below, e.g.
//   \Registry\Machine\SYSTEM\CurrentControlSet\Services\ZHP\INIT
// The keys \Registry, \Registry\Machine and \Registry\User always exist and
// cannot be deleted; nothing else lives directly under \Registry.
//
// Key and value names compare case-insensitively (ASCII letters) and keep the
// case they were created with. A name is refused when a .reg file could not
// carry it: key names must be 1..255 characters without '\', value names at
// most 16383 characters, and neither may contain NUL, CR, LF or code points
// that are not Unicode scalar values. Keys nest at most 512 levels below
// \Registry.
//
// REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ data are kept exactly as Windows
// keeps them: UTF-16LE bytes including the terminating NUL character(s).
//
// .reg hive names:
//   HKEY_LOCAL_MACHINE (HKLM)  <->  \Registry\Machine
//   HKEY_USERS (HKU)           <->  \Registry\User
//   HKEY_CURRENT_USER (HKCU)    ->  \Registry\User\CurrentUser
// The simulated notebook has one logged-on user whose hive is the key
// "CurrentUser" under \Registry\User; export therefore writes those keys as
// [HKEY_USERS\CurrentUser\...], which imports back to the same place.
//
// Every public method may be called from several OS threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace hk {

namespace registry_detail {
struct KeyNode;  // defined in registry.cpp
}

constexpr std::uint32_t kRegNone = 0;
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;
constexpr std::uint32_t kRegQword = 11;

struct RegValue {
    std::wstring name;  // empty for the key's default value
    std::uint32_t type = kRegNone;
    std::vector<std::uint8_t> data;
};

// Where a .reg file went wrong. Line is 1-based; 0 when the whole file is
// concerned (for instance it cannot be read).
struct RegError {
    std::string file;
    int line = 0;
    std::string message;  // "expected ..."
    std::string ToString() const;  // "FILE:LINE: message"
};

// Data of a REG_SZ value holding text: UTF-16LE plus the terminating NUL.
std::vector<std::uint8_t> RegSzData(const std::wstring& text);
// Data of a REG_DWORD value: 4 bytes little-endian.
std::vector<std::uint8_t> RegDwordData(std::uint32_t value);
// The text of REG_SZ/REG_EXPAND_SZ data up to its first NUL character;
// nullopt when the bytes are not UTF-16LE (odd length, broken surrogates).
std::optional<std::wstring> RegSzText(const std::vector<std::uint8_t>& data);
// "HKEY_LOCAL_MACHINE\SOFTWARE\Halvorin" (or HKLM\...) -> kernel path;
// nullopt for an unknown hive or an empty key name between backslashes.
std::optional<std::wstring> KernelPathFromRegPath(const std::wstring& regPath);

class Registry {
public:
    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    bool KeyExists(const std::wstring& path) const;
    // Creates the key and its missing parents; false for an invalid path.
    bool CreateKey(const std::wstring& path);
    // Deletes the key with its subtree; false when it does not exist or is
    // one of the permanent keys.
    bool DeleteKey(const std::wstring& path);
    // Creates or replaces a value; a replaced value keeps its position and
    // the case of its name. False when the key does not exist (and createKey
    // is false), or the path or name is invalid.
    bool SetValue(const std::wstring& path, const std::wstring& name, std::uint32_t type,
                  std::vector<std::uint8_t> data, bool createKey = false);
    std::optional<RegValue> GetValue(const std::wstring& path, const std::wstring& name) const;
    bool DeleteValue(const std::wstring& path, const std::wstring& name);
    // Names of the direct subkeys, sorted case-insensitively (as Windows
    // enumerates them); empty when the key does not exist.
    std::vector<std::wstring> SubKeys(const std::wstring& path) const;
    // The key's values in the order they were created.
    std::vector<RegValue> Values(const std::wstring& path) const;

    // Applies a .reg file ("Windows Registry Editor Version 5.00" or
    // "REGEDIT4"; UTF-8 with or without BOM, or UTF-16LE with BOM; CRLF or
    // LF). All or nothing: on the first error nothing is applied and the
    // error names the file, the line and what was expected there.
    std::optional<RegError> ImportText(const std::string& text, const std::string& fileName);
    std::optional<RegError> ImportFile(const std::string& path);

    // Every key at or below rootPath that has values or has no subkeys
    // (importing a key creates its parents), depth-first in case-insensitive
    // order, as UTF-8 with LF line ends. Exporting and importing the text into
    // an empty registry reproduces the keys, values, types and bytes exactly.
    std::string ExportText(const std::wstring& rootPath = L"\\Registry") const;
    // Writes ExportText() to a temporary file in the same directory, flushes
    // it to disk and renames it over path; on failure the old file is
    // untouched, no temporary file is left and *error (if given) says why.
    bool SaveFileAtomic(const std::string& path, std::string* error) const;

private:
    mutable std::mutex mutex_;
    std::unique_ptr<registry_detail::KeyNode> root_;  // \Registry
};

}  // namespace hk
