#include "sensor/status_thread.h"

#include "core/driver_globals.h"
#include "core/trace.h"
#include "sensor/free_fall.h"
#include "sensor/hw_config.h"
#include "sensor/port_io.h"
#include "sensor/power_resume.h"
#include "sensor/sensor_transfer.h"
#include "sensor/smbus.h"

#define ZHP_POLL_INTERVAL_100NS (-10000LL)  // 1 ms, relative
// The clock interrupt period the thread needs: timers expire and delays end
// only at the interrupt, every 15.6 ms by default, which would make the
// 1 ms tick and the 1 ms waits of every checked SMBus register write last a
// whole period.
#define ZHP_TIMER_RESOLUTION_100NS 10000UL  // 1 ms

extern "C" {

volatile UCHAR CONFIG_BUSY = 0;
volatile UCHAR INT_RELEASE_RETRY = 0;
// A GPIO address that cannot be mapped is reported once, not on every tick.
volatile BOOLEAN GpioMapFailureReported = FALSE;

_Use_decl_annotations_
VOID ZHP_InitializeSensorEngine(VOID) {
    SM_InitializeBusLock();
    ZHP_InitializeFFEventLock();
    GpioMapFailureReported = FALSE;
    PowerSettleSince = 0;
    StartupPathRuns = 0;
}

_Use_decl_annotations_
VOID ZHP_SensorStatusThread(PVOID StartContext) {
    PDEVICE_OBJECT deviceObject = (PDEVICE_OBJECT)StartContext;
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)deviceObject->DeviceExtension;
    // TRUE while a transfer's transaction holds the SMBus lock from one tick to the next.
    BOOLEAN busHeld = FALSE;

    KeInitializeTimerEx(&extension->PollTimer, SynchronizationTimer);
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    // Held while the thread runs; released on its only way out below.
    ExSetTimerResolution(ZHP_TIMER_RESOLUTION_100NS, TRUE);
    extension->IntState = 0;

    PVOID waitObjects[2] = {&extension->PollTimer, &extension->ThreadStopEvent};
    for (;;) {
        LARGE_INTEGER dueTime;
        dueTime.QuadPart = ZHP_POLL_INTERVAL_100NS;
        KeSetTimer(&extension->PollTimer, dueTime, NULL);
        NTSTATUS woken =
            KeWaitForMultipleObjects(2, waitObjects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);

        if (woken == STATUS_WAIT_1) {
            if (busHeld) {
                SM_ReleaseBus();
            }
            // Nothing of the record may stay in use once the stop event is
            // cleared: those who stop the thread without its object wait for that.
            KeCancelTimer(&extension->PollTimer);
            ExSetTimerResolution(0, FALSE);
            KeClearEvent(&extension->ThreadStopEvent);
            PsTerminateSystemThread(STATUS_SUCCESS);
        }

        ULONG op = extension->SensorOp;
        switch (op) {
        case ZHP_SENSOR_OP_IDLE:
            // A transfer ended by its cancel routine may have left its
            // transaction holding the bus.
            if (busHeld) {
                SM_ReleaseBus();
                busHeld = FALSE;
            }
            ZHP_Proc_INT_Status(extension);
            break;
        case ZHP_SENSOR_OP_READ_REQUESTED:
        case ZHP_SENSOR_OP_READING:
        case ZHP_SENSOR_OP_WRITE_REQUESTED:
        case ZHP_SENSOR_OP_WRITING:
            ZHP_Trace(ZHP_TRACE_SENSOR, ZHP_LEVEL_INFO, "ZHP_SensorStatusThread(): SM_RW CMD =%x", (unsigned)op);
            ZHP_SensorTransferTick(extension, op, &busHeld);
            break;
        default:
            if (busHeld) {
                SM_ReleaseBus();
                busHeld = FALSE;
            }
            break;
        }
    }
}

_Use_decl_annotations_
VOID ZHP_StopSensorThread(PDEVICE_EXTENSION Extension) {
    KeSetEvent(&Extension->ThreadStopEvent, IO_NO_INCREMENT, FALSE);
    if (Extension->SensorThread != NULL) {
        KeWaitForSingleObject(Extension->SensorThread, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(Extension->SensorThread);
        Extension->SensorThread = NULL;
        return;
    }
    // Without the thread object: the thread clears the stop event as its
    // last act on the record before it terminates.
    while (KeReadStateEvent(&Extension->ThreadStopEvent) != 0) {
        DelayMs(1);
    }
}

_Use_decl_annotations_
BOOLEAN TriggerPinConfirm(ULONG Address, UCHAR Pin) {
    ULONG value;
    if (Address <= 0xFFFF) {
        value = ReadPort(Address, 32);
        if ((value & Pin) == 0) {
            return FALSE;
        }
        ZHP_Trace(ZHP_TRACE_CONTROL, ZHP_LEVEL_INFO,
                  "TriggerPinConfirm(): Trigger Source from Ph_GPIO_ADDR(0x%08x)= 0x%08x\n", Address, value);
        return TRUE;
    }

    // Map the whole 32 bits that are read: an address near a page's end puts
    // the register's last bytes on the next page, which a shorter mapping
    // leaves unmapped.
    PHYSICAL_ADDRESS physicalAddress;
    physicalAddress.QuadPart = Address;
    PVOID mapping = MmMapIoSpace(physicalAddress, sizeof(ULONG), MmNonCached);
    if (mapping == NULL) {
        // Unreadable: the pin counts as not asserted.
        if (!GpioMapFailureReported) {
            GpioMapFailureReported = TRUE;
            ZHP_Trace(ZHP_TRACE_CONTROL, ZHP_LEVEL_ERROR,
                      "TriggerPinConfirm(): Ph_MEM_ADDR(0x%08x) can not be mapped, the pin reads as not asserted\n",
                      Address);
        }
        return FALSE;
    }
    GpioMapFailureReported = FALSE;
    value = READ_REGISTER_ULONG((volatile ULONG*)mapping);
    MmUnmapIoSpace(mapping, sizeof(ULONG));

    if ((value & Pin) == 0) {
        return FALSE;
    }
    ZHP_Trace(ZHP_TRACE_CONTROL, ZHP_LEVEL_INFO,
              "TriggerPinConfirm(): Trigger Source from Ph_MEM_ADDR(0x%08x)= 0x%08x\n", Address, value);
    return TRUE;
}

_Use_decl_annotations_
VOID ZHP_Proc_INT_Status(PDEVICE_EXTENSION Extension) {
    if (POW_RESUME != 0) {
        ZHP_SettleAfterPowerChange(Extension);
        return;
    }

    // Only one of bits 0..7 can be the interrupt pin; any other mask never
    // counts as asserted.
    BOOLEAN pin = FALSE;
    UCHAR pinMask = PCI_TRIG_PIN;
    if (pinMask != 0 && (pinMask & (pinMask - 1)) == 0) {
        pin = TriggerPinConfirm(PCI_GPIO_ADDR, pinMask);
    }

    if (Extension->IntState == 0) {
        if (pin) {
            if (CONFIG_BUSY == 1) {
                SignalFFEvent(Extension->FreeFallEvent, Extension);
            } else {
                ZHP_FFDetected(Extension);
                ZHP_Trace(ZHP_TRACE_SENSOR, ZHP_LEVEL_INFO,
                          "ZHP_Proc_INT_Status():Got a TRUE INT of FreeFall form G-sensor \n");
            }
            Extension->IntState = 1;
        } else {
            INT_RELEASE_RETRY = 0;
        }
        return;
    }

    if (!pin) {
        // The fall is over.
        if (CONFIG_BUSY == 1) {
            SignalFFEvent(Extension->FreeFallClearedEvent, Extension);
        } else {
            ZHP_FFCleared(Extension);
        }
        Extension->IntState = 0;
        INT_RELEASE_RETRY = 0;
        return;
    }

    if (INT_RELEASE_RETRY < ZHP_INT_RELEASE_ATTEMPTS) {
        // Reading the source registers releases the latched interrupt.
        DelayMs(100);
        GsensorReadRegister(GSENSOR_REG_FF1_SOURCE);
        DelayMs(100);
        GsensorReadRegister(GSENSOR_REG_FF2_SOURCE);
        INT_RELEASE_RETRY = (UCHAR)(INT_RELEASE_RETRY + 1);
        return;
    }

    // Give up releasing: report the fall as over and repeat about every
    // 1.1 s until the pin drops.
    ZHP_FFCleared(Extension);
    ZHP_Trace(ZHP_TRACE_SENSOR, ZHP_LEVEL_INFO,
              "ZHP_Proc_INT_Status(): >_<  Due tu retry too mcuh time of INT Release so bolck the relese accessec!!\n");
    SignalFFEvent(Extension->FreeFallEvent, Extension);
    DelayMs(100);
    SignalFFEvent(Extension->FreeFallClearedEvent, Extension);
    // One release per round, at the end of its pause, so that the next tick
    // sees the line drop as soon as the motion has ended. Without it a latch
    // taken while the notebook kept tumbling through the attempts above is
    // never read again: the line would stay up for good and no later fall
    // would be detected.
    DelayMs(ZHP_GIVE_UP_PAUSE_MS - ZHP_GIVE_UP_RELEASE_MS);
    GsensorReadRegister(GSENSOR_REG_FF1_SOURCE);
    GsensorReadRegister(GSENSOR_REG_FF2_SOURCE);
}

}  // extern "C"
