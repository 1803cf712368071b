// Requests sent by simulated callers, and the Plug and Play and power
// managers' requests. Every function here runs on an emulated thread (inside
// Kernel::Call or a spawned thread), as the callers it stands for do.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <ntddk.h>

#include "hostkernel/io_space.h"

namespace hk {

// One request and what became of it. The record outlives the request.
struct HostRequest {
    std::uint64_t id = 0;
    UCHAR major = 0;
    PIRP irp = nullptr;                  // valid only while not completed
    bool completed = false;
    std::uint64_t completionOrder = 0;   // 1, 2, 3 ... in the order requests completed
    std::uint32_t completions = 0;       // how often the I/O manager finished it (must be 1)
    NTSTATUS dispatchStatus = STATUS_PENDING;  // what IoCallDriver returned
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    Time100ns sentAt = 0;
    Time100ns completedAt = 0;
    std::vector<std::uint8_t> buffer;    // data written, data read, or device-control output
    KEVENT done;
};

using RequestPtr = std::shared_ptr<HostRequest>;

struct RequestSpec {
    UCHAR major = IRP_MJ_READ;
    UCHAR minor = 0;
    ULONGLONG offset = 0;
    ULONG length = 0;
    ULONG ioControlCode = 0;
    std::vector<std::uint8_t> input;  // write data or device-control input
    ULONG outputLength = 0;
    ULONG irpFlags = 0;
    KPROCESSOR_MODE requestorMode = KernelMode;
    PFILE_OBJECT fileObject = nullptr;
};

// What a buffered request's system buffer holds past the caller's input
// until a driver writes there: Windows does not clear it, so whatever pool
// memory held before goes back to the caller with the information count.
constexpr std::uint8_t kStaleSystemBufferByte = 0xA5;

// Builds a request as the I/O manager would for this device (buffered or
// direct I/O by the device's flags) and passes it to the device.
RequestPtr SendRequest(PDEVICE_OBJECT device, const RequestSpec& spec);
RequestPtr SendRead(PDEVICE_OBJECT device, ULONGLONG offset, ULONG length);
RequestPtr SendWrite(PDEVICE_OBJECT device, ULONGLONG offset, std::vector<std::uint8_t> data);
RequestPtr SendFlush(PDEVICE_OBJECT device);
RequestPtr SendShutdown(PDEVICE_OBJECT device);
RequestPtr SendDeviceControl(PDEVICE_OBJECT device, ULONG code, std::vector<std::uint8_t> input, ULONG outputLength,
                             KPROCESSOR_MODE mode = KernelMode);

// Cancels the request as its sender would (IoCancelIrp); false if it has
// completed already or had no cancel routine.
bool CancelRequest(HostRequest& request);
// Waits for completion; false on time-out (timeout < 0: no limit).
bool WaitRequest(HostRequest& request, Time100ns timeout = -1);
// Number of requests the I/O manager has finished so far.
std::uint64_t CompletedRequestCount();

// Top of the stack a device belongs to (the device requests are sent to).
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
PDEVICE_OBJECT FindDevice(const std::wstring& name);
// Whether an object of any type has this full name (\BaseNamedObjects\X, ...).
bool NamedObjectExists(const std::wstring& name);

// Opening and closing a device, as a create/cleanup/close sequence.
PFILE_OBJECT OpenDevice(PDEVICE_OBJECT device, NTSTATUS* status);
NTSTATUS CloseDevice(PFILE_OBJECT file);

// ---------------------------------------------------------------- Plug and Play
// Calls the driver's add-device routine for the physical device object.
NTSTATUS PnpAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);
NTSTATUS PnpStartDevice(PDEVICE_OBJECT physicalDevice);
// Query-remove, then remove; the stack's drivers detach and delete their devices.
NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT physicalDevice);
NTSTATUS PnpDeviceUsageNotification(PDEVICE_OBJECT physicalDevice, DEVICE_USAGE_NOTIFICATION_TYPE type, bool inPath);
NTSTATUS PnpSendMinor(PDEVICE_OBJECT physicalDevice, UCHAR minor);

// ---------------------------------------------------------------- power
NTSTATUS PoSetDevicePower(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state);
NTSTATUS PoSetSystemPower(PDEVICE_OBJECT physicalDevice, SYSTEM_POWER_STATE state);
NTSTATUS PoQueryDevicePower(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state);

}  // namespace hk
