// Bookkeeping the I/O manager keeps beside every request it allocates, for
// its own completion work and for the verifier's checks.
#pragma once

#include "kernel_internal.h"

namespace hk {

constexpr std::uint32_t kIrpAlive = 0x49525021;   // "IRP!"
constexpr std::uint32_t kIrpFreed = 0x46524545;   // "FREE"
constexpr int kMaxIrpStack = 32;

struct alignas(16) IrpTracker {
    std::uint32_t magic;
    int callDepth;          // IofCallDriver/IofCompleteRequest frames using the request
    bool freePending;
    bool ioManagerOwned;    // built by the I/O manager: it finishes the request
    bool callerWaits;       // built for a caller that waits on its event (IoBuildDeviceIoControlRequest)
    std::size_t blockSize;
    // Buffered device I/O control and reads/writes of buffered devices.
    void* systemBuffer;
    void* userBuffer;
    ULONG userBufferLength;
    bool copyOut;
    PMDL mdl;
    // Host request that waits for the request, if any.
    void (*onComplete)(PIRP irp, void* context);
    void* onCompleteContext;
    void (*dropContext)(void* context);  // frees onCompleteContext if the request never completes
    struct Level {
        bool passed;         // completion has passed this stack location
        bool pendingMarked;  // SL_PENDING_RETURNED was set there
        NTSTATUS status;     // status as completion passed it
        bool returnedPending;  // its dispatch returned STATUS_PENDING before completion got there
    } levels[kMaxIrpStack + 2];
};

inline IrpTracker* TrackerOf(PIRP irp) { return reinterpret_cast<IrpTracker*>(irp) - 1; }

// The request must be one the I/O manager handed out and has not freed.
IrpTracker* CheckIrp(PIRP irp, const char* routine);
void ReleaseIrpUse(PIRP irp);
void FreeIrpMemory(PIRP irp);
// A system buffer of size bytes (at least one) that starts with the input
// and holds stale bytes after it: the pool does not clear what it hands out.
void* AllocateSystemBuffer(std::size_t size, const void* input, std::size_t inputLength);

}  // namespace hk
