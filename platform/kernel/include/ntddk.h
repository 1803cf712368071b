// Host edition of <ntddk.h>: the Windows Driver Model API (wdm.h) plus the
// cancel-safe queue, as the WDK provides them.
#pragma once

#include "wdm.h"
