#include "core/trace.h"

#include <stdarg.h>

#include "core/driver_globals.h"

extern "C" {

ZHP_TRACE_SLOT TraceSlots[ZHP_TRACE_SLOT_COUNT];

_Use_decl_annotations_
VOID ZHP_Trace(ULONG Component, ULONG Level, PCSTR Format, ...) {
    if ((Component & TraceComponents) == 0) {
        return;
    }
    if (Level > TraceLevel) {
        return;
    }

    // Claim the first free slot; with all eight busy the message is dropped
    // rather than waited for.
    ZHP_TRACE_SLOT* slot = NULL;
    for (ULONG i = 0; i < ZHP_TRACE_SLOT_COUNT; ++i) {
        if (InterlockedCompareExchange(&TraceSlots[i].Busy, 1, 0) == 0) {
            slot = &TraceSlots[i];
            break;
        }
    }
    if (slot == NULL) {
        return;
    }

    // The kernel's _vsnprintf neither terminates nor reports the length of a
    // text that does not fit: format at most 1023 characters and terminate.
    va_list arguments;
    va_start(arguments, Format);
    _vsnprintf(slot->Text, ZHP_TRACE_SLOT_SIZE - 1, Format, arguments);
    va_end(arguments);
    slot->Text[ZHP_TRACE_SLOT_SIZE - 1] = '\0';

    switch (Level) {
    case ZHP_LEVEL_ERROR:
        DbgPrint("ERROR!!! %s\n", slot->Text);
        break;
    case ZHP_LEVEL_WARNING:
        DbgPrint("WARNING %s\n", slot->Text);
        break;
    case ZHP_LEVEL_INFO:
        DbgPrint("INFO %s\n", slot->Text);
        break;
    default:
        DbgPrint("%s\n", slot->Text);
        break;
    }

    InterlockedExchange(&slot->Busy, 0);
}

}  // extern "C"
