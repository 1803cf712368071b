// Protection after a device power change of the disk. Every successful
// change sets POW_RESUME, which keeps the free-fall engine idle until the
// sensor start-up path has run again; normally the next control command runs
// it. A disk that spins down after an idle time-out and up again gets no
// command (the utility hears of no power change), so once the disk is back in
// D0 or D1 and no command has run the path within a short settle time, the
// sensor status thread runs it itself.
//
// The path is run by one caller at a time where it can be helped: the thread
// runs it only while no command, and no start of the disk, is inside it. A command still runs it
// whenever it finds POW_RESUME set, as the protocol says, even while the
// thread is inside; both runs end with the same sensor set-up.
#pragma once

#include <ntddk.h>

#include "core/device_extension.h"

// How long the disk must have been back in D0 or D1, with the start-up still
// pending, before the thread sets the sensor up itself.
#define ZHP_POWER_SETTLE_100NS (150LL * 10000LL)

extern "C" {

// Runs of the start-up path in progress, by commands and by the thread.
extern volatile LONG StartupPathRuns;
// Interrupt time of the last successful device power change of the disk.
extern volatile ULONGLONG PowerSettleSince;

// A command or the start of the disk enters the start-up path (always) and
// leaves it.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ZHP_EnterStartupPath(VOID);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ZHP_LeaveStartupPath(VOID);

// Stamps a successful device power change; called by the power completion
// before it sets POW_RESUME.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ZHP_NotePowerChange(VOID);

// One idle tick of the sensor status thread while POW_RESUME is set: waits
// for the settle time, then runs the start-up path unless a command is in it.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ZHP_SettleAfterPowerChange(_In_ PDEVICE_EXTENSION Extension);

}  // extern "C"
