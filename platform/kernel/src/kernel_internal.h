// Internal state of the host kernel, shared by its service files.
#pragma once

#include <pthread.h>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "baton.h"
#include "hostkernel/kernel.h"

namespace hk {
// One kernel call in progress on a thread's stack: the routine and the
// object it works on (a device, a request, a lock, a DPC routine).
struct KernelFrame {
    const char* routine;
    const void* object;
};
constexpr unsigned kMaxFrames = 24;
constexpr unsigned kMaxProcessors = kMaxProcessorCount;
}  // namespace hk

// Dispatcher object types (DISPATCHER_HEADER.Type).
enum : UCHAR {
    kEventNotificationObject = 0,
    kEventSynchronizationObject = 1,
    kThreadObject = 6,
    kTimerNotificationObject = 8,
    kTimerSynchronizationObject = 9,
    kWaitTimeoutTimer = 0x20,  // a thread's private time-out timer
};

enum class ThreadState { Initialized, Ready, Running, Waiting, Terminated };

// A thread. The dispatcher header comes first so that a thread can be waited
// for like any dispatcher object; it is signalled when the thread has ended.
struct _KTHREAD {
    DISPATCHER_HEADER Header;

    std::uint64_t id = 0;
    std::string name;
    KPRIORITY priority = 8;
    ThreadState state = ThreadState::Initialized;
    KIRQL savedIrql = PASSIVE_LEVEL;
    bool external = false;  // an OS thread from outside the machine (host, client)
    bool isIdle = false;    // a processor's idle thread
    // A waiting thread whose OS thread does the processor's idle work, and
    // whether its wait ended meanwhile (it is queued when the work is done).
    bool hostingIdle = false;
    bool readiedWhileHosting = false;
    // Nonzero while the thread stands for a user-mode program: it is inside a
    // request it sent from user mode, so kernel code it runs works in that
    // program's process and a handle it opens lands in that program's table.
    int callerProcessDepth = 0;
    bool hasOsThread = false;
    pthread_t os{};
    hk::Baton baton;  // posted when the thread is handed the processor or must wake

    // Wait state.
    NTSTATUS waitStatus = STATUS_SUCCESS;
    PKWAIT_BLOCK waitBlocks = nullptr;
    ULONG waitCount = 0;
    WAIT_TYPE waitType = WaitAny;
    KTIMER waitTimer;
    KWAIT_BLOCK builtinBlocks[THREAD_WAIT_OBJECTS + 1];

    // Start.
    PKSTART_ROUTINE startRoutine = nullptr;
    PVOID startContext = nullptr;
    std::function<void()> hostFunction;
    PDRIVER_OBJECT ownerDriver = nullptr;

    // The kernel calls this OS thread is inside, innermost last: what a
    // deadlock report shows as its stack. A DPC run on the thread's stack
    // adds to it, as it would on Windows.
    hk::KernelFrame frames[hk::kMaxFrames];
    unsigned frameCount = 0;
};

struct _ETHREAD : _KTHREAD {};

namespace hk {

// Object manager header, placed in front of every object body it creates.
struct ObjectType {
    std::wstring name;
    void (*deleteProcedure)(void* body) = nullptr;
};

struct ObjectHeader {
    std::uint32_t magic;
    ObjectType* type;
    LONG references;
    LONG handles;
    std::wstring name;  // full path in the namespace, empty if unnamed
    std::size_t bodySize;
    void* Body() { return this + 1; }
};

constexpr std::uint32_t kObjectMagic = 0x4F424A21;  // "OBJ!"

ObjectHeader* HeaderOf(const void* body);
void* ObCreateObject(ObjectType* type, std::size_t bodySize, const std::wstring& name, NTSTATUS* status);
NTSTATUS ObInsertHandle(void* body, ACCESS_MASK access, HANDLE* handle);
void* ObLookupName(const std::wstring& name);
void* ObLookupHandle(HANDLE handle);
// The access granted when the handle was opened; 0 for an unknown handle.
ACCESS_MASK ObHandleAccess(HANDLE handle);
// Whether a handle opened now without OBJ_KERNEL_HANDLE would land in a
// user-mode program's handle table.
bool InCallerProcess();
void ObRemoveName(void* body);
std::wstring NormalizeObjectName(const std::wstring& name);

extern ObjectType gThreadType;
extern ObjectType gEventType;
extern ObjectType gDeviceType;
extern ObjectType gDriverType;
extern ObjectType gFileType;
extern ObjectType gKeyType;

struct PoolBlock {
    std::size_t size;
    ULONG tag;
    POOL_TYPE type;
    PDRIVER_OBJECT driver;
};

struct PortMapping {
    std::uint32_t first;
    std::uint32_t count;
    PortHandler* handler;
};

struct MemoryMapping {
    std::uint64_t first;
    std::uint64_t length;
    MemoryHandler* handler;
};

// A view of physical memory from MmMapIoSpace: whole pages, as the memory
// manager maps them, with the caller's address at the physical page offset.
struct IoMapping {
    std::uintptr_t base;     // the address MmMapIoSpace returned
    std::uint64_t physical;  // what base stands for
    std::size_t length;      // the bytes asked for; accesses must stay inside
    std::size_t pageBytes;   // the view, from its first page's start
    MemoryHandler* handler;  // may be null: plain memory with no device behind it
};

}  // namespace hk

namespace hk {
struct ObjectHeader;

// A pooled emulated thread that runs Kernel::Call for OS threads outside a
// machine that runs in real time (call_worker.cpp).
struct HostCall {
    const std::function<void()>* fn = nullptr;
    Baton* caller = nullptr;  // posted when fn has returned
    bool done = false;
};

struct CallWorker {
    _KTHREAD* thread = nullptr;
    HostCall* call = nullptr;  // while busy
};
}

namespace hk {
// A logical processor. Only one emulated thread runs at a time, so a
// processor that does not hold the token is paused: its host (the OS thread
// whose stack runs the processor's code) waits inside a kernel call, and the
// processor's live state is kept here until the scheduler switches back.
struct Processor {
    unsigned number = 0;
    _KTHREAD* host = nullptr;  // null: idle, nobody runs on it
    _KTHREAD* current = nullptr;
    KIRQL irql = PASSIVE_LEVEL;
    bool inDpc = false;
    std::vector<PKSPIN_LOCK> heldLocks;
    PDRIVER_OBJECT currentDriver = nullptr;
    LIST_ENTRY dpcQueue;
    PKSPIN_LOCK spinningOn = nullptr;  // a lock another processor holds
    std::uint64_t dispatchCalls = 0;   // kernel calls since its IRQL was last below DISPATCH_LEVEL
    _KTHREAD idleThread;
};
}  // namespace hk

struct hk::Kernel::Impl {
    explicit Impl(const KernelOptions& o);

    KernelOptions options;
    std::mt19937_64 rng;
    Kernel* owner = nullptr;

    // ---------------------------------------------------------- processor and scheduling
    // Scheduler state below is guarded by mu. The rest of the kernel's state
    // is guarded by the processor itself: only the token holder touches it.
    std::mutex mu;
    _KTHREAD* tokenOwner = nullptr;  // OS-level holder of the token: the host of processor cpu
    // The processor the token holder runs on. current, irql, inDpc,
    // heldLocks and currentDriver below are its live state; the other
    // processors keep theirs in their Processor.
    unsigned cpu = 0;
    unsigned processorCount = 1;
    std::unique_ptr<hk::Processor[]> processors;
    _KTHREAD* current = nullptr;     // logical thread running on it
    _KTHREAD& idle;                  // processor 0's idle thread
    KIRQL irql = PASSIVE_LEVEL;
    std::deque<_KTHREAD*> ready[32];
    std::atomic<int> readyCount{0};  // threads in the ready queues
    std::vector<_KTHREAD*> threads;  // every thread ever created, for teardown
    std::vector<_KTHREAD*> zombies;  // ended threads whose OS thread is not joined yet
    std::vector<_KTHREAD*> pendingDereferences;  // thread references the host let go of
    std::uint64_t nextThreadId = 1;
    bool dying = false;
    bool stopped = false;
    // The processor's holder sleeps in the idle wait (real time): whoever
    // makes a thread ready hands it the processor directly.
    bool processorIdle = false;
    std::vector<std::unique_ptr<hk::CallWorker>> callWorkers;
    std::vector<hk::CallWorker*> freeCallWorkers;
    bool inDpc = false;
    std::vector<PKSPIN_LOCK> heldLocks;

    // ---------------------------------------------------------- time
    Time100ns now = 0;
    std::int64_t realBase = 0;  // steady clock at boot, ns
    LONGLONG bootSystemTime = 0;
    LIST_ENTRY timerList;  // sorted by due time
    // Cancel-safe queues whose cancel routine has begun and not yet
    // returned: the routine still uses the queue (and the record holding it).
    std::vector<const void*> queuesBeingCancelled;
    PLIST_ENTRY DpcQueue() { return &processors[cpu].dpcQueue; }
    struct ClockSource : TimeSource {
        Impl* k;
        Time100ns Now() const override;
    } clock;

    // ---------------------------------------------------------- clock interrupt (clock.cpp)
    // Interrupts fall at anchor + n * increment (n >= 0) of the current grid
    // and, before its anchor, on the previous grid: a new resolution takes
    // effect at the next interrupt of the old one.
    struct TickGrid {
        Time100ns anchor = 0;
        Time100ns increment = kDefaultTimeIncrement;
    };
    TickGrid tickGrid;
    TickGrid previousGrid;
    ULONG grantedIncrement = kDefaultTimeIncrement;  // finest granted while requests are held
    ULONG resolutionRequests = 0;                    // ExSetTimerResolution requests not yet released
    std::map<PDRIVER_OBJECT, ULONG> resolutionHolders;  // requests per driver, for the check at unload
    bool ExactClock() const { return options.clockInterrupt == ClockInterrupt::Exact; }
    Time100ns TickAtOrAfter(Time100ns t) const;   // the first clock interrupt at or after t
    Time100ns TickAtOrBefore(Time100ns t) const;  // the last clock interrupt at or before t
    Time100ns InterruptTime() const { return TickAtOrBefore(clock.Now()); }  // as drivers read it
    void SetIncrement(Time100ns increment);
    // When the timer expires: its due time, or the interrupt that ends it.
    Time100ns ExpiryOf(const KTIMER* timer) const;

    // ---------------------------------------------------------- objects
    // The object tables are also touched by threads entering the machine
    // from outside (their thread objects), so they have a lock of their own.
    std::mutex obMu;
    std::map<std::wstring, void*> names;  // upper-cased full name -> body
    std::unordered_map<std::uintptr_t, void*> handles;
    std::unordered_map<std::uintptr_t, ACCESS_MASK> handleAccess;  // granted at open
    std::unordered_set<ObjectHeader*> liveObjects;
    std::unordered_set<void*> liveIrps;  // tracker blocks of requests not yet freed
    std::uintptr_t nextHandle = 4;

    // ---------------------------------------------------------- pool
    std::unordered_map<void*, PoolBlock> pool;
    PoolStatistics poolStats;
    PDRIVER_OBJECT currentDriver = nullptr;

    // ---------------------------------------------------------- hardware
    std::vector<PortMapping> ports;
    std::vector<MemoryMapping> memory;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> mappingHoles;
    std::map<std::uintptr_t, IoMapping> ioMappings;  // start of the view's first page -> mapping

    // ---------------------------------------------------------- debug and verifier
    std::vector<std::string> debugOutput;
    std::function<void(const std::string&)> debugSink;
    StopReport stop;

    // ---------------------------------------------------------- registry and drivers
    std::unique_ptr<Registry> registry;
    std::vector<PDRIVER_OBJECT> drivers;
    std::map<PDRIVER_OBJECT, void*> driverModules;  // dlopen handles
    KSPIN_LOCK cancelLock = 0;
    bool failRegistryWrites = false;
    std::map<KernelFault, unsigned> pendingFaults;  // fault -> successful calls still to let pass
    bool InjectedFault(KernelFault fault);
    std::deque<void*> irpQuarantine;  // freed requests kept a while to catch late use
    std::uint64_t nextRequestId = 1;  // host requests of this machine
    std::uint64_t completedRequests = 0;

    // ---------------------------------------------------------- scheduler operations
    _KTHREAD* NewThread(const std::string& name, KPRIORITY priority);
    void StartOsThread(_KTHREAD* t);
    void MakeReady(_KTHREAD* t);
    // The same with mu held. A thread whose OS thread is busy with idle work
    // is only marked: on several processors it may be paused inside a DPC
    // there, and another processor must not pick it from the ready queue.
    void MakeReadyLocked(_KTHREAD* t);
    void WakeProcessorLocked();             // a thread became ready: take the processor from its idle wait
    void PushReadyLocked(_KTHREAD* t, bool front);
    // The next thread to run: highest priority first, a seeded random
    // choice among equals; null if none is ready.
    _KTHREAD* PopReadyLocked();
    void Dispatch(_KTHREAD* self);          // token holder's thread can not continue
    void SchedulingPoint();                 // may hand the processor to another ready thread
    void Block();                           // current thread waits
    [[noreturn]] void ExitCurrentThread(NTSTATUS status);
    _KTHREAD* AttachExternal(const std::string& name, KPRIORITY priority);
    void DetachExternal(_KTHREAD* self);
    // One step of idle work by owner, lk held on entry and exit. False when
    // the processor was handed on while owner slept.
    bool IdleStep(std::unique_lock<std::mutex>& lk, _KTHREAD* owner);
    [[noreturn]] void ParkForever(std::unique_lock<std::mutex>& lk, _KTHREAD* self);
    bool WaitForToken(std::unique_lock<std::mutex>& lk, _KTHREAD* self);
    void ReapZombies();       // joins ended OS threads; token holder or teardown
    bool OnEmulatedThread();  // the calling OS thread holds the processor
    bool CallOnWorker(const std::function<void()>& fn, KPRIORITY priority, const std::string& name);
    void WakeCallersLocked();  // a stop or teardown: no job will finish
    std::int64_t RealDeadlineNs(Time100ns due) const { return realBase + due * 100; }
    void StartIdleThreads();

    // ---------------------------------------------------------- processors (processors.cpp)
    // The token holder's processor sets what it hosts.
    void SetHostLocked(_KTHREAD* host) {
        tokenOwner = host;
        processors[cpu].host = host;
    }
    // Moves the token to processor q: saves the live state, loads q's and
    // wakes its host (its idle thread or a ready thread if it was idle).
    // The caller then waits for the token unless it ends.
    void SwitchProcessorLocked(unsigned q);
    // Whether processor q, not the live one, can go on if switched to.
    bool ProcessorHasWorkLocked(unsigned q) const;
    bool OtherProcessorHasWorkLocked() const;
    // A processor other than the live one that can go on, chosen by the
    // seeded generator; kMaxProcessors if none.
    unsigned PickOtherProcessorLocked();
    // A processor that spins on a lock still held; kMaxProcessors if none.
    unsigned SpinningProcessorLocked() const;
    // A kernel call where the scheduler may let another processor run.
    void ProcessorSwitchPoint();
    // Spins on a lock another processor holds until it is free: runs the
    // holder, and stops the machine when processors spin on each other.
    void SpinWait(PKSPIN_LOCK lock);
    // Waits until no processor has a DPC queued or running.
    void FlushAllDpcs();
    // Each processor's state and stack of kernel calls, for reports.
    std::vector<std::string> DescribeProcessorsLocked() const;
    void PushFrame(const char* routine, const void* object);
    void PopFrame();
    // Halts the machine with a verifier report. Never returns to an emulated thread.
    [[noreturn]] void Stop(const std::string& rule, const std::string& description, std::uintptr_t p1 = 0,
                           std::uintptr_t p2 = 0, std::uintptr_t p3 = 0, std::uintptr_t p4 = 0);

    // ---------------------------------------------------------- dispatcher operations
    void SignalObject(PDISPATCHER_HEADER header);
    void SatisfyWait(_KTHREAD* t, NTSTATUS status);
    bool TryConsume(PDISPATCHER_HEADER header);
    NTSTATUS WaitForObjects(ULONG count, PVOID objects[], WAIT_TYPE type, PLARGE_INTEGER timeout,
                            PKWAIT_BLOCK blocks);
    void InsertTimer(PKTIMER timer, Time100ns due);
    void ExpireTimers();
    Time100ns NextTimerDue() const;  // -1 if none
    // Real time: when the processor must wake at the latest for the next
    // expiry, a coalescable timer's tolerance included (-1 if none).
    Time100ns NextWakeDeadline() const;
    void RunDpcs();
    Time100ns DueFromRelativeOrAbsolute(LONGLONG dueTime) const;

    // ---------------------------------------------------------- checks
    void RequireIrql(const char* routine, KIRQL maximum);
    void CheckFreedRange(const void* start, std::size_t length, const char* what);
};

namespace hk {
// The kernel of the running machine; null outside a Kernel's life.
extern Kernel::Impl* gK;
inline Kernel::Impl& K() { return *gK; }

// Records a kernel call on the running thread's stack for its lifetime.
class FrameScope {
public:
    FrameScope(const char* routine, const void* object) { K().PushFrame(routine, object); }
    ~FrameScope() { K().PopFrame(); }
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;
};
}  // namespace hk
