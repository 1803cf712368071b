// The access token of the simulated user, SIDs, and object security.
#include <aclapi.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "call_helpers.h"
#include "local_handles.h"

using namespace hostuser;
using namespace hostuser::client;

namespace {

// The layout of a SID, as Windows keeps it.
struct SidHeader {
    BYTE Revision;
    BYTE SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    // DWORD SubAuthority[SubAuthorityCount] follows
};
constexpr BYTE kSidRevision = 1;
constexpr BYTE kSidMaxSubAuthorities = 15;

DWORD SidLength(BYTE subAuthorities) { return sizeof(SidHeader) + subAuthorities * sizeof(DWORD); }

std::vector<BYTE> MakeSid(BYTE authority, std::initializer_list<DWORD> subAuthorities) {
    std::vector<BYTE> sid(SidLength(static_cast<BYTE>(subAuthorities.size())));
    auto* h = reinterpret_cast<SidHeader*>(sid.data());
    h->Revision = kSidRevision;
    h->SubAuthorityCount = static_cast<BYTE>(subAuthorities.size());
    std::memset(h->IdentifierAuthority.Value, 0, 6);
    h->IdentifierAuthority.Value[5] = authority;
    std::memcpy(sid.data() + sizeof(SidHeader), subAuthorities.begin(), subAuthorities.size() * sizeof(DWORD));
    return sid;
}

struct Group {
    std::vector<BYTE> sid;
    DWORD attributes;
};

// The groups of the logged-on user's token, in the order Windows lists them.
std::vector<Group> UserGroups(bool administrator) {
    const DWORD enabled = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
    std::vector<Group> groups;
    groups.push_back({MakeSid(1, {SECURITY_WORLD_RID}), enabled});
    if (administrator) {
        groups.push_back({MakeSid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}), enabled | SE_GROUP_OWNER});
    }
    groups.push_back({MakeSid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS}), enabled});
    groups.push_back({MakeSid(5, {SECURITY_INTERACTIVE_RID}), enabled});
    groups.push_back({MakeSid(5, {SECURITY_AUTHENTICATED_USER_RID}), enabled});
    return groups;
}

std::optional<LocalObject> Token(HANDLE h) {
    std::optional<LocalObject> object = FindLocalHandle(reinterpret_cast<std::uintptr_t>(h));
    if (!object || object->kind != LocalKind::Token) return std::nullopt;
    return object;
}

}  // namespace

extern "C" {

BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf, PHANDLE TokenHandle) {
    if (TokenHandle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The simulated user's threads never impersonate anybody.
    SetLastError(ThreadHandle == GetCurrentThread() ? ERROR_NO_TOKEN : ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    if (TokenHandle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (ProcessHandle != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::optional<wire::HelloReply> info = CurrentMachineInfo();
    if (!info) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    LocalObject token;
    token.kind = LocalKind::Token;
    token.administrator = info->administrator != 0;
    *TokenHandle = reinterpret_cast<HANDLE>(AddLocalHandle(token));
    return TRUE;
}

BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                LPVOID TokenInformation, DWORD TokenInformationLength, PDWORD ReturnLength) {
    std::optional<LocalObject> token = Token(TokenHandle);
    if (!token) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (ReturnLength == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (TokenInformationClass != TokenGroups) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    std::vector<Group> groups = UserGroups(token->administrator);
    // TOKEN_GROUPS with its array, then the SIDs the array points to.
    std::size_t header = offsetof(TOKEN_GROUPS, Groups) + groups.size() * sizeof(SID_AND_ATTRIBUTES);
    std::size_t total = header;
    for (const Group& g : groups) total += g.sid.size();
    *ReturnLength = static_cast<DWORD>(total);
    if (TokenInformation == nullptr || TokenInformationLength < total) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* base = static_cast<BYTE*>(TokenInformation);
    auto* list = static_cast<TOKEN_GROUPS*>(TokenInformation);
    list->GroupCount = static_cast<DWORD>(groups.size());
    std::size_t at = header;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        std::memcpy(base + at, groups[i].sid.data(), groups[i].sid.size());
        list->Groups[i].Sid = base + at;
        list->Groups[i].Attributes = groups[i].attributes;
        at += groups[i].sid.size();
    }
    return TRUE;
}

BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                                     DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2,
                                     DWORD nSubAuthority3, DWORD nSubAuthority4, DWORD nSubAuthority5,
                                     DWORD nSubAuthority6, DWORD nSubAuthority7, PSID* pSid) {
    if (pIdentifierAuthority == nullptr || pSid == nullptr || nSubAuthorityCount > 8) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD sub[8] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                          nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
    auto* sid = static_cast<BYTE*>(std::calloc(1, SidLength(nSubAuthorityCount)));
    if (sid == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    auto* h = reinterpret_cast<SidHeader*>(sid);
    h->Revision = kSidRevision;
    h->SubAuthorityCount = nSubAuthorityCount;
    h->IdentifierAuthority = *pIdentifierAuthority;
    std::memcpy(sid + sizeof(SidHeader), sub, nSubAuthorityCount * sizeof(DWORD));
    *pSid = sid;
    return TRUE;
}

PVOID WINAPI FreeSid(PSID pSid) {
    std::free(pSid);
    return nullptr;
}

BOOL WINAPI IsValidSid(PSID pSid) {
    if (pSid == nullptr) return FALSE;
    auto* h = static_cast<const SidHeader*>(pSid);
    return h->Revision == kSidRevision && h->SubAuthorityCount <= kSidMaxSubAuthorities;
}

DWORD WINAPI GetLengthSid(PSID pSid) {
    if (!IsValidSid(pSid)) return 0;
    return SidLength(static_cast<const SidHeader*>(pSid)->SubAuthorityCount);
}

BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2) {
    if (!IsValidSid(pSid1) || !IsValidSid(pSid2)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    DWORD length = GetLengthSid(pSid1);
    return length == GetLengthSid(pSid2) && std::memcmp(pSid1, pSid2, length) == 0;
}

BOOL WINAPI CheckTokenMembership(HANDLE TokenHandle, PSID SidToCheck, PBOOL IsMember) {
    if (IsMember == nullptr || !IsValidSid(SidToCheck)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool administrator;
    if (TokenHandle == nullptr) {
        std::optional<wire::HelloReply> info = CurrentMachineInfo();
        if (!info) {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        administrator = info->administrator != 0;
    } else {
        std::optional<LocalObject> token = Token(TokenHandle);
        if (!token) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        administrator = token->administrator;
    }
    *IsMember = FALSE;
    for (const Group& g : UserGroups(administrator)) {
        if ((g.attributes & SE_GROUP_ENABLED) && EqualSid(const_cast<BYTE*>(g.sid.data()), SidToCheck)) *IsMember = TRUE;
    }
    return TRUE;
}

DWORD WINAPI SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                             PSID psidOwner, PSID psidGroup, PACL pDacl, PACL pSacl) {
    if (IsNeverAHandle(handle) || IsPseudoHandle(handle) || IsLocalHandle(HandleValue(handle))) {
        return ERROR_INVALID_HANDLE;
    }
    if (ObjectType != SE_KERNEL_OBJECT && ObjectType != SE_FILE_OBJECT) return ERROR_INVALID_PARAMETER;
    // The notebook's objects carry no security descriptor: every program of
    // the user may already use them, which is what a null DACL grants. Other
    // changes would have to be enforced and are refused.
    if ((SecurityInfo & ~static_cast<SECURITY_INFORMATION>(DACL_SECURITY_INFORMATION)) != 0 || pDacl != nullptr) {
        return ERROR_NOT_SUPPORTED;
    }
    wire::Writer w = Request(wire::Op::CheckHandle);
    w.U64(HandleValue(handle));
    std::optional<Reply> reply = Call(w);
    if (!reply) return ERROR_DEVICE_NOT_CONNECTED;
    if (reply->error != ERROR_SUCCESS) return reply->error;
    wire::Reader r(reply->body);
    auto kind = static_cast<wire::HandleKind>(r.U32());
    bool fileObject = kind == wire::HandleKind::Device;
    if (fileObject != (ObjectType == SE_FILE_OBJECT)) return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

}  // extern "C"
