// Pool memory with tags, accounted per driver so that a leak at unload is seen.
#include <cstdlib>

#include "kernel_internal.h"

using hk::K;
using Impl = hk::Kernel::Impl;

namespace {
constexpr std::size_t kPageSize = 4096;
}

void Impl::CheckFreedRange(const void* start, std::size_t length, const char* what) {
    auto inside = [&](const void* p) {
        auto a = reinterpret_cast<std::uintptr_t>(p);
        auto s = reinterpret_cast<std::uintptr_t>(start);
        return a >= s && a < s + length;
    };
    for (PLIST_ENTRY e = timerList.Flink; e != &timerList; e = e->Flink) {
        PKTIMER timer = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
        if (inside(timer)) {
            Stop("TIMER_IN_FREED_MEMORY", std::string(what) + " holds a timer that is still set",
                 reinterpret_cast<std::uintptr_t>(timer), reinterpret_cast<std::uintptr_t>(start), length);
        }
    }
    for (unsigned n = 0; n < processorCount; ++n) {
        PLIST_ENTRY queue = &processors[n].dpcQueue;
        for (PLIST_ENTRY e = queue->Flink; e != queue; e = e->Flink) {
            PKDPC dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
            if (inside(dpc)) {
                Stop("DPC_IN_FREED_MEMORY", std::string(what) + " holds a DPC that is still queued",
                     reinterpret_cast<std::uintptr_t>(dpc), reinterpret_cast<std::uintptr_t>(start), length);
            }
        }
    }
    for (const void* queue : queuesBeingCancelled) {
        if (inside(queue)) {
            Stop("CANCEL_IN_FREED_MEMORY",
                 std::string(what) + " holds a cancel-safe queue whose cancel routine is still running",
                 reinterpret_cast<std::uintptr_t>(queue), reinterpret_cast<std::uintptr_t>(start), length);
        }
    }
}

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    Impl& k = K();
    k.RequireIrql("ExAllocatePoolWithTag", (PoolType & 1) ? APC_LEVEL : DISPATCH_LEVEL);
    std::size_t size = NumberOfBytes == 0 ? 1 : NumberOfBytes;
    // As Windows places them: a page or more starts on a page, a smaller
    // block lies within one page (it is aligned to its size rounded up to a
    // power of two, at least 16 bytes).
    std::size_t alignment = kPageSize;
    if (size < kPageSize) {
        alignment = 16;
        while (alignment < size) alignment *= 2;
    }
    void* p = std::aligned_alloc(alignment, (size + alignment - 1) & ~(alignment - 1));
    if (p == nullptr) return nullptr;
    k.pool[p] = hk::PoolBlock{NumberOfBytes, Tag, PoolType, k.currentDriver};
    k.poolStats.allocations++;
    k.poolStats.outstanding++;
    k.poolStats.outstandingBytes += NumberOfBytes;
    return p;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E);  // 'None'
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    Impl& k = K();
    k.RequireIrql("ExFreePool", DISPATCH_LEVEL);
    auto it = k.pool.find(P);
    if (it == k.pool.end()) {
        k.Stop("BAD_POOL_FREE", "ExFreePool of memory that is not an allocated pool block",
               reinterpret_cast<std::uintptr_t>(P));
    }
    if (Tag != 0 && it->second.tag != Tag) {
        k.Stop("POOL_TAG_MISMATCH", "ExFreePoolWithTag with another tag than the allocation's",
               reinterpret_cast<std::uintptr_t>(P), Tag, it->second.tag);
    }
    k.CheckFreedRange(P, it->second.size, "freed pool");
    k.poolStats.frees++;
    k.poolStats.outstanding--;
    k.poolStats.outstandingBytes -= it->second.size;
    k.pool.erase(it);
    std::free(P);
}

VOID ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

}  // extern "C"
