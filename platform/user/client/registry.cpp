// Registry reads from the notebook's registry. Key handles live in this
// process and hold the key's kernel path; each read asks the notebook.
#include <windows.h>

#include <cstring>
#include <string>

#include "call_helpers.h"
#include "local_handles.h"
#include "text.h"

using namespace hostuser;
using namespace hostuser::client;

namespace {

std::optional<std::wstring> KeyPath(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return std::wstring(L"\\Registry\\Machine");
    if (key == HKEY_USERS) return std::wstring(L"\\Registry\\User");
    if (key == HKEY_CURRENT_USER) return std::wstring(L"\\Registry\\User\\CurrentUser");
    if (key == HKEY_CLASSES_ROOT) return std::wstring(L"\\Registry\\Machine\\SOFTWARE\\Classes");
    std::optional<LocalObject> object = FindLocalHandle(reinterpret_cast<std::uintptr_t>(key));
    if (!object || object->kind != LocalKind::RegistryKey) return std::nullopt;
    return object->keyPath;
}

bool IsPredefined(HKEY key) {
    return key == HKEY_LOCAL_MACHINE || key == HKEY_USERS || key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT;
}

// Registry string data as the A functions return it: the UTF-16 text in
// this process's narrow encoding (UTF-8), NULs kept.
std::vector<std::uint8_t> NarrowData(DWORD type, const std::vector<std::uint8_t>& data) {
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return data;
    std::string text = Utf8FromUtf16Le(data);
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

}  // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    std::optional<std::wstring> base = KeyPath(hKey);
    if (!base) return ERROR_INVALID_HANDLE;
    std::wstring path = *base;
    if (lpSubKey != nullptr && lpSubKey[0] != '\0') {
        std::string sub(lpSubKey);
        // A key name is never empty: "A\\B", "\A" and "A\" name no key.
        if (sub.front() == '\\' || sub.back() == '\\' || sub.find("\\\\") != std::string::npos) {
            return ERROR_FILE_NOT_FOUND;
        }
        path += L"\\" + WideFromUtf8(sub);
    }
    wire::Writer w = Request(wire::Op::RegKeyExists);
    w.Str(Utf8FromWide(path));
    std::optional<Reply> reply = Call(w);
    if (!reply) return ERROR_DEVICE_NOT_CONNECTED;
    if (reply->error != ERROR_SUCCESS) return static_cast<LSTATUS>(reply->error);
    LocalObject key;
    key.kind = LocalKind::RegistryKey;
    key.keyPath = path;
    *phkResult = reinterpret_cast<HKEY>(AddLocalHandle(key));
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
    std::optional<std::wstring> path = KeyPath(hKey);
    if (!path) return ERROR_INVALID_HANDLE;
    wire::Writer w = Request(wire::Op::RegQueryValue);
    w.Str(Utf8FromWide(*path)).Str(lpValueName != nullptr ? lpValueName : "");
    std::optional<Reply> reply = Call(w);
    if (!reply) return ERROR_DEVICE_NOT_CONNECTED;
    if (reply->error != ERROR_SUCCESS) return static_cast<LSTATUS>(reply->error);
    wire::Reader r(reply->body);
    DWORD type = r.U32();
    std::vector<std::uint8_t> data = NarrowData(type, r.Bytes());
    if (lpType != nullptr) *lpType = type;
    auto size = static_cast<DWORD>(data.size());
    if (lpcbData == nullptr) return ERROR_SUCCESS;
    if (lpData == nullptr) {
        *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (size > 0) std::memcpy(lpData, data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (IsPredefined(hKey)) return ERROR_SUCCESS;
    auto value = reinterpret_cast<std::uintptr_t>(hKey);
    std::optional<LocalObject> object = FindLocalHandle(value);
    if (!object || object->kind != LocalKind::RegistryKey) return ERROR_INVALID_HANDLE;
    RemoveLocalHandle(value);
    return ERROR_SUCCESS;
}

}  // extern "C"
