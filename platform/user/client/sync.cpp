// Events, waitable timers and waits: the notebook kernel's own dispatcher
// objects, named in its object namespace.
#include <windows.h>

#include <string>

#include "call_helpers.h"
#include "local_handles.h"

using namespace hostuser;
using namespace hostuser::client;

namespace {

// Creates a named or unnamed object; sets ERROR_ALREADY_EXISTS when a
// named one existed, and clears the last error otherwise, as Windows does.
HANDLE CreateObject(wire::Writer& w) {
    std::optional<Reply> reply = CallOrFail(w);
    if (!reply) return nullptr;
    wire::Reader r(reply->body);
    HANDLE h = HandleFrom(r.U64());
    bool existed = r.U32() != 0;
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

BOOL HandleOnlyCall(wire::Op op, HANDLE h) {
    if (IsNeverAHandle(h) || IsPseudoHandle(h) || IsLocalHandle(HandleValue(h))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    wire::Writer w = Request(op);
    w.U64(HandleValue(h));
    return CallOrFail(w) ? TRUE : FALSE;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
    bool named = lpName != nullptr && lpName[0] != '\0';
    wire::Writer w = Request(wire::Op::CreateEvent);
    w.U32(bManualReset ? 1 : 0).U32(bInitialState ? 1 : 0).U32(named ? 1 : 0).Str(named ? lpName : "");
    return CreateObject(w);
}

HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
    if (lpName == nullptr || lpName[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    wire::Writer w = Request(wire::Op::OpenEvent);
    w.Str(lpName).U32(dwDesiredAccess);
    std::optional<Reply> reply = CallOrFail(w);
    if (!reply) return nullptr;
    wire::Reader r(reply->body);
    return HandleFrom(r.U64());
}

BOOL WINAPI SetEvent(HANDLE hEvent) { return HandleOnlyCall(wire::Op::SetEvent, hEvent); }

BOOL WINAPI ResetEvent(HANDLE hEvent) { return HandleOnlyCall(wire::Op::ResetEvent, hEvent); }

HANDLE WINAPI CreateWaitableTimerA(LPSECURITY_ATTRIBUTES lpTimerAttributes, BOOL bManualReset, LPCSTR lpTimerName) {
    bool named = lpTimerName != nullptr && lpTimerName[0] != '\0';
    wire::Writer w = Request(wire::Op::CreateTimer);
    w.U32(bManualReset ? 1 : 0).U32(named ? 1 : 0).Str(named ? lpTimerName : "");
    return CreateObject(w);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    wire::Writer w = Request(wire::Op::Wait);
    w.U32(nCount);
    for (DWORD i = 0; i < nCount; ++i) {
        if (IsNeverAHandle(lpHandles[i]) || IsPseudoHandle(lpHandles[i]) ||
            IsLocalHandle(HandleValue(lpHandles[i]))) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        w.U64(HandleValue(lpHandles[i]));
    }
    w.U32(bWaitAll ? 1 : 0).U32(dwMilliseconds);
    std::optional<Reply> reply = CallOrFail(w);
    if (!reply) return WAIT_FAILED;
    wire::Reader r(reply->body);
    return r.U32();
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

}  // extern "C"
