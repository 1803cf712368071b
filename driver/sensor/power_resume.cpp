#include "sensor/power_resume.h"

#include "core/driver_globals.h"
#include "core/trace.h"
#include "sensor/free_fall.h"
#include "sensor/hw_config.h"
#include "sensor/status_thread.h"

extern "C" {

volatile LONG StartupPathRuns = 0;
volatile ULONGLONG PowerSettleSince = 0;

_Use_decl_annotations_
VOID ZHP_EnterStartupPath(VOID) {
    InterlockedIncrement(&StartupPathRuns);
}

_Use_decl_annotations_
VOID ZHP_LeaveStartupPath(VOID) {
    InterlockedDecrement(&StartupPathRuns);
}

_Use_decl_annotations_
VOID ZHP_NotePowerChange(VOID) {
    PowerSettleSince = KeQueryInterruptTime();
}

_Use_decl_annotations_
VOID ZHP_SettleAfterPowerChange(PDEVICE_EXTENSION Extension) {
    // Only a disk that has started and is back at full or near-full power is
    // worth protecting; before the start, and in D2 or D3, keep waiting.
    ULONG powerState = Extension->DevicePowerState;
    if (powerState != PowerDeviceD0 && powerState != PowerDeviceD1) {
        return;
    }
    // The stamp of the last change is taken before POW_RESUME and the new
    // state are stored, so a change still being recorded is never taken for
    // a settled one.
    if (KeQueryInterruptTime() - PowerSettleSince < (ULONGLONG)ZHP_POWER_SETTLE_100NS) {
        return;
    }
    // A command is setting the sensor up right now; it clears POW_RESUME.
    if (InterlockedCompareExchange(&StartupPathRuns, 1, 0) != 0) {
        return;
    }
    // Or one has just done so.
    if (POW_RESUME == 0) {
        ZHP_LeaveStartupPath();
        return;
    }

    ZHP_Trace(ZHP_TRACE_POWER, ZHP_LEVEL_PLAIN,
              "ZHP_SettleAfterPowerChange(): No command has set the sensor up since the power change, Flag = 0x%08x\n",
              Extension->Flag);
    // What a command's start-up path does, without a caller's buffer to
    // store: events, protection on, the start-up sequence (which clears
    // POW_RESUME). Report-only mode ends with it, as after command 200.
    ZHP_CreateFFEvents(Extension);
    ZHP_ClearFlags(Extension, FLAG_SENSOR_OFF);
    ZHP_SetFlags(Extension, FLAG_SENSOR_ON);
    CONFIG_BUSY = 1;
    ZHP_SensorStartup();
    CONFIG_BUSY = 0;
    ZHP_LeaveStartupPath();
}

}  // extern "C"
