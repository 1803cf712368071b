#include "kernel_requests.h"

#include <cerrno>
#include <chrono>
#include <cwctype>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "status_mapping.h"
#include "win32_errors.h"

namespace hostuser {

namespace {

constexpr LONGLONG kMillisecond = 10000;  // 100-ns units

std::wstring Upper(const std::wstring& s) {
    std::wstring u = s;
    for (auto& c : u) c = static_cast<wchar_t>(std::towupper(c));
    return u;
}

// Unnamed events still need a name for IoCreate*Event: one outside every
// directory user mode can name.
std::wstring UnnamedEventName() {
    static std::atomic<std::uint64_t> serial{0};
    return L"\\Win32Server\\UnnamedEvent" + std::to_wstring(++serial);
}

UNICODE_STRING UnicodeFrom(const std::wstring& s) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, s.c_str());
    return u;
}

}  // namespace

// ---------------------------------------------------------------- timers directory

std::shared_ptr<NamedTimer> TimerDirectory::Find(const std::wstring& kernelName) {
    std::lock_guard<std::mutex> lk(mutex_);
    auto it = timers_.find(Upper(kernelName));
    if (it == timers_.end()) return nullptr;
    std::shared_ptr<NamedTimer> timer = it->second.lock();
    if (!timer) timers_.erase(it);
    return timer;
}

void TimerDirectory::Add(const std::shared_ptr<NamedTimer>& timer) {
    std::lock_guard<std::mutex> lk(mutex_);
    timers_[Upper(timer->name)] = timer;
}

// ---------------------------------------------------------------- completion

Completion::Completion() { wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

Completion::~Completion() {
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void Completion::Signal() {
    std::lock_guard<std::mutex> lk(mutex_);
    done_ = true;
    std::uint64_t one = 1;
    if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);
    cv_.notify_all();
}

bool Completion::WaitFor(int milliseconds) {
    std::unique_lock<std::mutex> lk(mutex_);
    return cv_.wait_for(lk, std::chrono::milliseconds(milliseconds), [&] { return done_; });
}

bool Completion::Done() {
    std::lock_guard<std::mutex> lk(mutex_);
    return done_;
}

// ---------------------------------------------------------------- devices

std::uint32_t KernelOpenDevice(ProcessRecord& process, const std::string& name, std::uint64_t* handle) {
    std::wstring deviceName = L"\\DosDevices\\";
    for (unsigned char c : name) deviceName += static_cast<wchar_t>(c);
    if (name.find('\\') != std::string::npos) return win32::kFileNotFound;
    PDEVICE_OBJECT device = hk::FindDevice(deviceName);
    if (device == nullptr) return win32::kFileNotFound;
    NTSTATUS status = STATUS_SUCCESS;
    PFILE_OBJECT file = hk::OpenDevice(device, &status);
    if (file == nullptr) {
        std::uint32_t error = Win32ErrorFromStatus(status);
        return error != 0 ? error : win32::kGenFailure;
    }
    HandleEntry entry;
    entry.kind = wire::HandleKind::Device;
    entry.file = file;
    *handle = process.Insert(entry);
    return win32::kSuccess;
}

void KernelCloseEntry(const HandleEntry& entry) {
    switch (entry.kind) {
        case wire::HandleKind::Device:
            hk::CloseDevice(entry.file);
            break;
        case wire::HandleKind::Event:
            ZwClose(entry.kernelHandle);
            break;
        case wire::HandleKind::Timer:
            break;  // the entry's reference goes with it
    }
}

std::uint32_t KernelCloseHandle(ProcessRecord& process, std::uint64_t handle) {
    std::optional<HandleEntry> entry = process.Remove(handle);
    if (!entry) return win32::kInvalidHandle;
    KernelCloseEntry(*entry);
    return win32::kSuccess;
}

// ---------------------------------------------------------------- events and timers

std::uint32_t KernelCreateEvent(ProcessRecord& process, TimerDirectory& timers, bool manualReset, bool initialState,
                                const std::wstring& kernelName, std::uint64_t* handle, bool* existed) {
    std::wstring name = kernelName.empty() ? UnnamedEventName() : kernelName;
    // A name is one object: a timer of that name makes this fail.
    if (!kernelName.empty() && timers.Find(kernelName)) return win32::kInvalidHandle;
    // The lookup and the creation have no scheduling point between them.
    *existed = !kernelName.empty() && hk::NamedObjectExists(name);
    UNICODE_STRING unicodeName = UnicodeFrom(name);
    HANDLE kernelHandle = nullptr;
    PKEVENT event = manualReset ? IoCreateNotificationEvent(&unicodeName, &kernelHandle)
                                : IoCreateSynchronizationEvent(&unicodeName, &kernelHandle);
    if (event == nullptr) return win32::kInvalidHandle;  // the name belongs to another kind of object
    if (!*existed) {
        // A new event starts signalled; the caller chose its initial state.
        if (initialState) {
            KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        } else {
            KeClearEvent(event);
        }
    }
    HandleEntry entry;
    entry.kind = wire::HandleKind::Event;
    entry.kernelHandle = kernelHandle;
    entry.event = event;
    *handle = process.Insert(entry);
    return win32::kSuccess;
}

std::uint32_t KernelOpenEvent(ProcessRecord& process, TimerDirectory& timers, const std::wstring& kernelName,
                              std::uint64_t* handle) {
    if (timers.Find(kernelName)) return win32::kInvalidHandle;
    if (!hk::NamedObjectExists(kernelName)) return win32::kFileNotFound;
    UNICODE_STRING unicodeName = UnicodeFrom(kernelName);
    HANDLE kernelHandle = nullptr;
    // Opens the existing event (of whichever kind it is).
    PKEVENT event = IoCreateNotificationEvent(&unicodeName, &kernelHandle);
    if (event == nullptr) return win32::kInvalidHandle;
    HandleEntry entry;
    entry.kind = wire::HandleKind::Event;
    entry.kernelHandle = kernelHandle;
    entry.event = event;
    *handle = process.Insert(entry);
    return win32::kSuccess;
}

std::uint32_t KernelSetEvent(ProcessRecord& process, std::uint64_t handle, bool signalled) {
    std::optional<HandleEntry> entry = process.Find(handle);
    if (!entry || entry->kind != wire::HandleKind::Event) return win32::kInvalidHandle;
    // Another thread of the process may close the handle meanwhile.
    ObfReferenceObject(entry->event);
    if (signalled) {
        KeSetEvent(entry->event, IO_NO_INCREMENT, FALSE);
    } else {
        KeClearEvent(entry->event);
    }
    ObfDereferenceObject(entry->event);
    return win32::kSuccess;
}

std::uint32_t KernelCreateTimer(ProcessRecord& process, TimerDirectory& timers, bool manualReset,
                                const std::wstring& kernelName, std::uint64_t* handle, bool* existed) {
    std::shared_ptr<NamedTimer> timer;
    *existed = false;
    if (!kernelName.empty()) {
        if (hk::NamedObjectExists(kernelName)) return win32::kInvalidHandle;  // an event has that name
        timer = timers.Find(kernelName);
        *existed = timer != nullptr;
    }
    if (!timer) {
        timer = std::make_shared<NamedTimer>();
        timer->name = kernelName;
        KeInitializeTimerEx(&timer->timer, manualReset ? NotificationTimer : SynchronizationTimer);
        if (!kernelName.empty()) timers.Add(timer);
    }
    HandleEntry entry;
    entry.kind = wire::HandleKind::Timer;
    entry.timer = timer;
    *handle = process.Insert(entry);
    return win32::kSuccess;
}

// ---------------------------------------------------------------- device I/O control

void KernelStartIo(ProcessRecord& process, std::uint64_t handle, std::uint32_t code,
                   const std::vector<std::uint8_t>& input, IoJob& job) {
    std::optional<HandleEntry> entry = process.Find(handle);
    if (!entry || entry->kind != wire::HandleKind::Device) {
        job.error = win32::kInvalidHandle;
        job.finished = true;
        return;
    }
    // The request keeps the file object, whatever happens to the handle.
    job.file = entry->file;
    ObfReferenceObject(job.file);
    hk::RequestSpec spec;
    spec.major = IRP_MJ_DEVICE_CONTROL;
    spec.ioControlCode = code;
    spec.input = input;
    spec.outputLength = job.outputLength;
    spec.requestorMode = UserMode;
    spec.fileObject = job.file;
    job.request = hk::SendRequest(hk::TopOfStack(job.file->DeviceObject), spec);
    if (job.request->completed) KernelFinishIo(job);
}

void KernelFinishIo(IoJob& job) {
    if (job.finished) return;
    hk::WaitRequest(*job.request);
    const hk::HostRequest& r = *job.request;
    job.error = Win32ErrorFromStatus(r.status);
    // What the I/O manager copies back: the information count, at most the
    // output buffer; nothing for an error status.
    std::size_t bytes = NT_ERROR(r.status) ? 0 : r.information;
    if (bytes > job.outputLength) bytes = job.outputLength;
    job.bytesReturned = static_cast<std::uint32_t>(NT_ERROR(r.status) ? 0 : r.information);
    job.output.assign(r.buffer.begin(), r.buffer.begin() + static_cast<std::ptrdiff_t>(bytes));
    ObfDereferenceObject(job.file);
    job.finished = true;
}

void KernelCancelIo(IoJob& job) {
    if (job.request && !job.finished) hk::CancelRequest(*job.request);
}

// ---------------------------------------------------------------- waits

namespace {

void ReleaseWaitObjects(WaitJob& job) {
    for (PVOID object : job.referencedObjects) ObfDereferenceObject(object);
    job.referencedObjects.clear();
    job.timers.clear();
}

std::uint32_t WaitResult(NTSTATUS status, std::size_t count) {
    if (status == STATUS_TIMEOUT) return win32::kWaitTimeout;
    auto index = static_cast<std::uint32_t>(status - STATUS_WAIT_0);
    if (status >= STATUS_WAIT_0 && index < count) return win32::kWaitObject0 + index;
    return win32::kWaitFailed;
}

NTSTATUS WaitOnce(WaitJob& job, ULONG count, PLARGE_INTEGER timeout) {
    return KeWaitForMultipleObjects(count, job.objects.data(), job.waitAll ? WaitAll : WaitAny, UserRequest, UserMode,
                                    FALSE, timeout, job.blocks.data());
}

}  // namespace

void KernelStartWait(ProcessRecord& process, const std::vector<std::uint64_t>& handles, WaitJob& job) {
    for (std::uint64_t handle : handles) {
        std::optional<HandleEntry> entry = process.Find(handle);
        if (!entry || entry->kind == wire::HandleKind::Device) {
            ReleaseWaitObjects(job);
            job.error = win32::kInvalidHandle;
            job.result = win32::kWaitFailed;
            job.finished = true;
            return;
        }
        if (entry->kind == wire::HandleKind::Event) {
            ObfReferenceObject(entry->event);
            job.referencedObjects.push_back(entry->event);
            job.objects.push_back(entry->event);
        } else {
            job.timers.push_back(entry->timer);
            job.objects.push_back(&entry->timer->timer);
        }
    }
    job.blocks.resize(job.objects.size() + 1);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    NTSTATUS status = WaitOnce(job, static_cast<ULONG>(job.objects.size()), &zero);
    if (status != STATUS_TIMEOUT || job.milliseconds == 0) {
        job.result = WaitResult(status, job.objects.size());
        ReleaseWaitObjects(job);
        job.finished = true;
        return;
    }
    // A wait for any one object takes the abort event as one more object;
    // a wait for all of them (or for the most a wait takes) looks at the
    // abort request between slices instead.
    if (!job.waitAll && job.objects.size() < MAXIMUM_WAIT_OBJECTS) {
        KeInitializeEvent(&job.abortEvent, NotificationEvent, FALSE);
        job.abortArmed = true;
    }
}

void KernelFinishWait(WaitJob& job) {
    if (job.finished) return;
    const auto count = static_cast<ULONG>(job.objects.size());
    const bool infinite = job.milliseconds == win32::kInfinite;
    NTSTATUS status;
    if (job.abortArmed) {
        job.objects.push_back(&job.abortEvent);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -static_cast<LONGLONG>(job.milliseconds) * kMillisecond;
        status = WaitOnce(job, count + 1, infinite ? nullptr : &timeout);
        job.objects.pop_back();
    } else {
        const LONGLONG slice = 100 * kMillisecond;
        const ULONGLONG deadline = KeQueryInterruptTime() + static_cast<ULONGLONG>(job.milliseconds) * kMillisecond;
        for (;;) {
            LONGLONG left = infinite ? slice : static_cast<LONGLONG>(deadline - KeQueryInterruptTime());
            if (!infinite && (left <= 0 || static_cast<ULONGLONG>(KeQueryInterruptTime()) >= deadline)) {
                status = STATUS_TIMEOUT;
                break;
            }
            LARGE_INTEGER timeout;
            timeout.QuadPart = -(left < slice ? left : slice);
            status = WaitOnce(job, count, &timeout);
            if (status != STATUS_TIMEOUT || job.abort) break;
        }
    }
    job.result = job.abort ? win32::kWaitFailed : WaitResult(status, count);
    if (job.abort) job.error = win32::kOperationAborted;
    ReleaseWaitObjects(job);
    job.finished = true;
}

void KernelAbortWait(WaitJob& job) {
    job.abort = true;
    if (job.abortArmed && !job.finished) KeSetEvent(&job.abortEvent, IO_NO_INCREMENT, FALSE);
}

}  // namespace hostuser
