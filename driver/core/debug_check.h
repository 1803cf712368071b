// Assertions and the pageable-code check of the driver.
//
// Assertions name the source as "drv\zhp" (the name the driver's checked
// build has always reported) with the expression text and the line, through
// RtlAssert. They are live in checked builds (DBG=1) only.
#pragma once

#include <ntddk.h>

#define ZHP_ASSERT_SOURCE_NAME "drv\\zhp"

#if DBG
#define ZHP_ASSERT(exp) \
    ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)ZHP_ASSERT_SOURCE_NAME, __LINE__, NULL), FALSE) : TRUE)
#else
#define ZHP_ASSERT(exp) ((void)0)
#endif

// First statement of every routine that must run at PASSIVE_LEVEL (it may
// block or touch pageable data): above APC_LEVEL it reports the IRQL and
// breaks into the debugger through an assertion.
#define ZHP_PAGED_CODE()                                                          \
    do {                                                                          \
        if (KeGetCurrentIrql() > APC_LEVEL) {                                     \
            DbgPrint("EX: Pageable code called at IRQL %d\n", (int)KeGetCurrentIrql()); \
            ZHP_ASSERT(FALSE);                                                    \
        }                                                                         \
    } while (0)
