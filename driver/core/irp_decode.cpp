#include "core/irp_decode.h"

#include "core/trace.h"

namespace {

// Each table maps a code to the Windows Driver Kit's constant name for it.

const PCSTR MajorFunctionNames[] = {
    "IRP_MJ_CREATE",
    "IRP_MJ_CREATE_NAMED_PIPE",
    "IRP_MJ_CLOSE",
    "IRP_MJ_READ",
    "IRP_MJ_WRITE",
    "IRP_MJ_QUERY_INFORMATION",
    "IRP_MJ_SET_INFORMATION",
    "IRP_MJ_QUERY_EA",
    "IRP_MJ_SET_EA",
    "IRP_MJ_FLUSH_BUFFERS",
    "IRP_MJ_QUERY_VOLUME_INFORMATION",
    "IRP_MJ_SET_VOLUME_INFORMATION",
    "IRP_MJ_DIRECTORY_CONTROL",
    "IRP_MJ_FILE_SYSTEM_CONTROL",
    "IRP_MJ_DEVICE_CONTROL",
    "IRP_MJ_INTERNAL_DEVICE_CONTROL",
    "IRP_MJ_SHUTDOWN",
    "IRP_MJ_LOCK_CONTROL",
    "IRP_MJ_CLEANUP",
    "IRP_MJ_CREATE_MAILSLOT",
    "IRP_MJ_QUERY_SECURITY",
    "IRP_MJ_SET_SECURITY",
    "IRP_MJ_POWER",
    "IRP_MJ_SYSTEM_CONTROL",
    "IRP_MJ_DEVICE_CHANGE",
    "IRP_MJ_QUERY_QUOTA",
    "IRP_MJ_SET_QUOTA",
    "IRP_MJ_PNP",
};

// Minor function 14 has no name.
const PCSTR PnpMinorFunctionNames[] = {
    "IRP_MN_START_DEVICE",
    "IRP_MN_QUERY_REMOVE_DEVICE",
    "IRP_MN_REMOVE_DEVICE",
    "IRP_MN_CANCEL_REMOVE_DEVICE",
    "IRP_MN_STOP_DEVICE",
    "IRP_MN_QUERY_STOP_DEVICE",
    "IRP_MN_CANCEL_STOP_DEVICE",
    "IRP_MN_QUERY_DEVICE_RELATIONS",
    "IRP_MN_QUERY_INTERFACE",
    "IRP_MN_QUERY_CAPABILITIES",
    "IRP_MN_QUERY_RESOURCES",
    "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
    "IRP_MN_QUERY_DEVICE_TEXT",
    "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
    NULL,
    "IRP_MN_READ_CONFIG",
    "IRP_MN_WRITE_CONFIG",
    "IRP_MN_EJECT",
    "IRP_MN_SET_LOCK",
    "IRP_MN_QUERY_ID",
    "IRP_MN_QUERY_PNP_DEVICE_STATE",
    "IRP_MN_QUERY_BUS_INFORMATION",
    "IRP_MN_DEVICE_USAGE_NOTIFICATION",
    "IRP_MN_SURPRISE_REMOVAL",
    "IRP_MN_QUERY_LEGACY_BUS_INFORMATION",
};

const PCSTR PowerMinorFunctionNames[] = {
    "IRP_MN_WAIT_WAKE",
    "IRP_MN_POWER_SEQUENCE",
    "IRP_MN_SET_POWER",
    "IRP_MN_QUERY_POWER",
};

const PCSTR SystemPowerStateNames[] = {
    "PowerSystemUnspecified",
    "PowerSystemWorking",
    "PowerSystemSleeping1",
    "PowerSystemSleeping2",
    "PowerSystemSleeping3",
    "PowerSystemHibernate",
    "PowerSystemShutdown",
    "PowerSystemMaximum",
};

const PCSTR DevicePowerStateNames[] = {
    "PowerDeviceUnspecified",
    "PowerDeviceD0",
    "PowerDeviceD1",
    "PowerDeviceD2",
    "PowerDeviceD3",
    "PowerDeviceMaximum",
};

const PCSTR SystemControlMinorFunctionNames[] = {
    "IRP_MN_QUERY_ALL_DATA",
    "IRP_MN_QUERY_SINGLE_INSTANCE",
    "IRP_MN_CHANGE_SINGLE_INSTANCE",
    "IRP_MN_CHANGE_SINGLE_ITEM",
    "IRP_MN_ENABLE_EVENTS",
    "IRP_MN_DISABLE_EVENTS",
    "IRP_MN_ENABLE_COLLECTION",
    "IRP_MN_DISABLE_COLLECTION",
    "IRP_MN_REGINFO",
    "IRP_MN_EXECUTE_METHOD",
};

template <size_t N>
PCSTR LookUp(const PCSTR (&table)[N], ULONG code, PCSTR unknown) {
    if (code < N && table[code] != NULL) {
        return table[code];
    }
    return unknown;
}

struct FlagName {
    ULONG Bit;
    PCSTR Name;
};

// Printed in this order; names that share a value are both printed.
const FlagName RequestFlagNames[] = {
    {IRP_NOCACHE, "IRP_NOCACHE"},
    {IRP_PAGING_IO, "IRP_PAGING_IO"},
    {IRP_MOUNT_COMPLETION, "IRP_MOUNT_COMPLETION"},
    {IRP_SYNCHRONOUS_API, "IRP_SYNCHRONOUS_API"},
    {IRP_ASSOCIATED_IRP, "IRP_ASSOCIATED_IRP"},
    {IRP_BUFFERED_IO, "IRP_BUFFERED_IO"},
    {IRP_DEALLOCATE_BUFFER, "IRP_DEALLOCATE_BUFFER"},
    {IRP_INPUT_OPERATION, "IRP_INPUT_OPERATION"},
    {IRP_SYNCHRONOUS_PAGING_IO, "IRP_SYNCHRONOUS_PAGING_IO"},
    {IRP_CREATE_OPERATION, "IRP_CREATE_OPERATION"},
    {IRP_READ_OPERATION, "IRP_READ_OPERATION"},
    {IRP_WRITE_OPERATION, "IRP_WRITE_OPERATION"},
    {IRP_CLOSE_OPERATION, "IRP_CLOSE_OPERATION"},
    {IRP_DEFER_IO_COMPLETION, "IRP_DEFER_IO_COMPLETION"},
    {IRP_OB_QUERY_NAME, "IRP_OB_QUERY_NAME"},
};

const FlagName AllocationFlagNames[] = {
    {IRP_QUOTA_CHARGED, "IRP_QUOTA_CHARGED"},
    {IRP_ALLOCATED_MUST_SUCCEED, "IRP_ALLOCATED_MUST_SUCCEED"},
    {IRP_ALLOCATED_FIXED_SIZE, "IRP_ALLOCATED_FIXED_SIZE"},
    {IRP_LOOKASIDE_ALLOCATION, "IRP_LOOKASIDE_ALLOCATION"},
};

const FlagName FileObjectFlagNames[] = {
    {FO_FILE_OPEN, "FO_FILE_OPEN"},
    {FO_SYNCHRONOUS_IO, "FO_SYNCHRONOUS_IO"},
    {FO_ALERTABLE_IO, "FO_ALERTABLE_IO"},
    {FO_NO_INTERMEDIATE_BUFFERING, "FO_NO_INTERMEDIATE_BUFFERING"},
    {FO_WRITE_THROUGH, "FO_WRITE_THROUGH"},
    {FO_SEQUENTIAL_ONLY, "FO_SEQUENTIAL_ONLY"},
    {FO_CACHE_SUPPORTED, "FO_CACHE_SUPPORTED"},
    {FO_NAMED_PIPE, "FO_NAMED_PIPE"},
    {FO_STREAM_FILE, "FO_STREAM_FILE"},
    {FO_MAILSLOT, "FO_MAILSLOT"},
    {FO_GENERATE_AUDIT_ON_CLOSE, "FO_GENERATE_AUDIT_ON_CLOSE"},
    {FO_DIRECT_DEVICE_OPEN, "FO_DIRECT_DEVICE_OPEN"},
    {FO_FILE_MODIFIED, "FO_FILE_MODIFIED"},
    {FO_FILE_SIZE_CHANGED, "FO_FILE_SIZE_CHANGED"},
    {FO_CLEANUP_COMPLETE, "FO_CLEANUP_COMPLETE"},
    {FO_TEMPORARY_FILE, "FO_TEMPORARY_FILE"},
    {FO_DELETE_ON_CLOSE, "FO_DELETE_ON_CLOSE"},
    {FO_OPENED_CASE_SENSITIVE, "FO_OPENED_CASE_SENSITIVE"},
    {FO_HANDLE_CREATED, "FO_HANDLE_CREATED"},
    {FO_FILE_FAST_IO_READ, "FO_FILE_FAST_IO_READ"},
    {FO_RANDOM_ACCESS, "FO_RANDOM_ACCESS"},
    {FO_FILE_OPEN_CANCELLED, "FO_FILE_OPEN_CANCELLED"},
    {FO_VOLUME_OPEN, "FO_VOLUME_OPEN"},
};

template <size_t N>
void TraceSetFlags(const FlagName (&names)[N], ULONG flags, ULONG component) {
    for (size_t i = 0; i < N; ++i) {
        if (flags & names[i].Bit) {
            ZHP_Trace(component, ZHP_LEVEL_PLAIN, "ZHP_IrpInfo()   %s", names[i].Name);
        }
    }
}

}  // namespace

extern "C" {

_Use_decl_annotations_
PCSTR ZHP_MajorFunctionName(ULONG MajorFunction) {
    return LookUp(MajorFunctionNames, MajorFunction, "Unknown IRP Request");
}

_Use_decl_annotations_
PCSTR ZHP_PnpMinorFunctionName(ULONG MinorFunction) {
    return LookUp(PnpMinorFunctionNames, MinorFunction, "Unknown PnP Request");
}

_Use_decl_annotations_
PCSTR ZHP_PowerMinorFunctionName(ULONG MinorFunction) {
    return LookUp(PowerMinorFunctionNames, MinorFunction, "Unknown Power Request");
}

_Use_decl_annotations_
PCSTR ZHP_SystemPowerStateName(ULONG State) {
    return LookUp(SystemPowerStateNames, State, "PowerSystemUnknown");
}

_Use_decl_annotations_
PCSTR ZHP_DevicePowerStateName(ULONG State) {
    return LookUp(DevicePowerStateNames, State, "PowerDeviceUnknown");
}

_Use_decl_annotations_
PCSTR ZHP_SystemControlMinorFunctionName(ULONG MinorFunction) {
    return LookUp(SystemControlMinorFunctionNames, MinorFunction, "Unknown System Control Request");
}

_Use_decl_annotations_
ULONG ZHP_DumpComponent(ULONG MajorFunction) {
    switch (MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return ZHP_TRACE_CREATE_CLOSE;
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return ZHP_TRACE_DUMP_IO;
    case IRP_MJ_POWER:
        return ZHP_TRACE_POWER;
    case IRP_MJ_SYSTEM_CONTROL:
        return ZHP_TRACE_DUMP_SYSCTL;
    case IRP_MJ_PNP:
        return ZHP_TRACE_PNP;
    default:
        return ZHP_TRACE_HELD_IO;
    }
}

_Use_decl_annotations_
VOID ZHP_DumpIrpOperation(BOOLEAN PreOperation, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG component = ZHP_DumpComponent(stack->MajorFunction);

    ZHP_Trace(component, ZHP_LEVEL_PLAIN,
              PreOperation ? "ZHP_DumpIrpOperation(): Irp 0x%p preoperation %s"
                           : "ZHP_DumpIrpOperation(): Irp 0x%p postoperation %s",
              (PVOID)Irp, ZHP_MajorFunctionName(stack->MajorFunction));

    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        ZHP_Trace(component, ZHP_LEVEL_PLAIN, "%s", ZHP_PnpMinorFunctionName(stack->MinorFunction));
        break;
    case IRP_MJ_POWER:
        ZHP_Trace(component, ZHP_LEVEL_PLAIN, "%s", ZHP_PowerMinorFunctionName(stack->MinorFunction));
        if (stack->Parameters.Power.Type == SystemPowerState) {
            ZHP_Trace(component, ZHP_LEVEL_PLAIN, "%s",
                      ZHP_SystemPowerStateName((ULONG)stack->Parameters.Power.State.SystemState));
        } else {
            ZHP_Trace(component, ZHP_LEVEL_PLAIN, "%s",
                      ZHP_DevicePowerStateName((ULONG)stack->Parameters.Power.State.DeviceState));
        }
        break;
    case IRP_MJ_SYSTEM_CONTROL:
        ZHP_Trace(component, ZHP_LEVEL_PLAIN, "%s", ZHP_SystemControlMinorFunctionName(stack->MinorFunction));
        break;
    default:
        break;
    }
}

_Use_decl_annotations_
VOID ZHP_IrpInfo(PIRP Irp, ULONG Component) {
    ZHP_Trace(Component, ZHP_LEVEL_PLAIN, "ZHP_IrpInfo()   Irp Flag");
    TraceSetFlags(RequestFlagNames, Irp->Flags, Component);
    TraceSetFlags(AllocationFlagNames, Irp->AllocationFlags, Component);
    if (Irp->Flags & IRP_HOLD_DEVICE_QUEUE) {
        ZHP_Trace(Component, ZHP_LEVEL_PLAIN, "ZHP_IrpInfo()   %s", "IRP_HOLD_DEVICE_QUEUE");
    }
    ZHP_Trace(Component, ZHP_LEVEL_PLAIN, "\n");

    ZHP_Trace(Component, ZHP_LEVEL_PLAIN, "ZHP_IrpInfo()   File Object Flag");
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (fileObject != NULL) {
        TraceSetFlags(FileObjectFlagNames, fileObject->Flags, Component);
    }
    ZHP_Trace(Component, ZHP_LEVEL_PLAIN, "\n");
}

}  // extern "C"
