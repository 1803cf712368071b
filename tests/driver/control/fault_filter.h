// A small WDM filter for the tests, placed between the disk class driver and
// ZHP: it passes everything down unless told to fail a request the way a
// lower driver can (a start that pends and then fails, a refused usage
// notification, a refused device set-power request).
#pragma once

#include <ntddk.h>

namespace zhptest {

struct FaultFilterSettings {
    // Non-success: the start request is held pending and completed with this
    // status a few milliseconds later, without reaching the disk.
    NTSTATUS failStart = STATUS_SUCCESS;
    // Non-success: device usage notifications complete with this status.
    NTSTATUS failUsageNotification = STATUS_SUCCESS;
    // Non-success: device set-power requests complete with this status.
    NTSTATUS failSetPower = STATUS_SUCCESS;
};

// What the filter saw; reset when the driver is loaded.
struct FaultFilterRecord {
    bool startPended = false;
    bool startFailed = false;  // the held start request has been completed
};

FaultFilterSettings& FaultFilter();
const FaultFilterRecord& FaultFilterSeen();

// Entry for hk::Kernel::LoadDriver. The filter's messages begin with
// "FaultFilter: ".
NTSTATUS FaultFilterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

}  // namespace zhptest
