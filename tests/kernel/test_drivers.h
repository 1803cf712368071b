// Small drivers for exercising the host kernel's I/O manager: a bottom
// device whose behaviour each test scripts, and filters stacked above it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <csq.h>

#include "hostkernel/io.h"
#include "hostkernel/kernel.h"

namespace testdrv {

// What the bottom device does with a request it receives.
enum class Bottom { CompleteAtOnce, PendAndHold, PendAndCompleteFromDpc };

struct Stack {
    PDRIVER_OBJECT bottomDriver = nullptr;
    PDRIVER_OBJECT filterDriver = nullptr;
    PDEVICE_OBJECT bottom = nullptr;
    std::vector<PDEVICE_OBJECT> filters;  // lowest first
    PDEVICE_OBJECT Top() const { return filters.empty() ? bottom : filters.back(); }
};

struct Script {
    Bottom bottom = Bottom::CompleteAtOnce;
    NTSTATUS bottomStatus = STATUS_SUCCESS;
    ULONG_PTR bottomInformation = 0;
    // Per filter level: return STATUS_MORE_PROCESSING_REQUIRED from its
    // completion routine (the test completes it again later).
    std::vector<bool> filterStopsCompletion;
    std::vector<std::string> log;           // what happened, in order
    std::vector<PIRP> held;                 // requests the bottom device holds
    std::vector<PIRP> stoppedAt;            // requests whose completion a filter stopped
    std::vector<bool> sawPendingReturned;   // per completion routine call
};

Script& Current();
// Loads the two drivers and builds a stack of the bottom device and n filters.
// Runs on an emulated thread.
Stack BuildStack(int filters);
// Completes a request the bottom device holds.
void CompleteHeld(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

// A driver that queues every read in a cancel-safe queue.
struct QueueDevice {
    IO_CSQ csq;
    KSPIN_LOCK lock;
    LIST_ENTRY list;
    int cancelledCompletions = 0;
};
PDEVICE_OBJECT CreateQueueDevice();
QueueDevice& QueueOf(PDEVICE_OBJECT device);

// Queues `count` reads on a new queue device and spawns two threads that race
// for them: one cancels each, the other takes out what it can, completes it
// with `removerStatus` and then runs `afterwards` (may be empty). Run the
// kernel to let them go.
struct CancelRace {
    PDEVICE_OBJECT device = nullptr;
    std::vector<hk::RequestPtr> requests;
};
CancelRace RaceCancelAgainstRemoval(hk::Kernel& k, int count, NTSTATUS removerStatus,
                                    std::function<void(PDEVICE_OBJECT)> afterwards);

}  // namespace testdrv
