// What a disk port driver offers the storage subsystem besides its dispatch
// routines: reporting a disk on its bus and deleting it once it is gone.
#pragma once

#include "hw/disk.h"

#include <ntddk.h>

#include <string>

namespace hw::port_driver {

// Creates the disk's physical device object (PASSIVE_LEVEL, emulated thread).
NTSTATUS ReportDisk(PDRIVER_OBJECT bus, Disk& disk, const std::wstring& name, PDEVICE_OBJECT* pdo);
// Deletes it after Plug and Play removal (PASSIVE_LEVEL, emulated thread).
void DeleteGoneDisk(PDEVICE_OBJECT pdo);
// True while the request waits for the disk or is in it (machine paused).
bool HoldsRequest(PDEVICE_OBJECT pdo, PIRP irp);

}  // namespace hw::port_driver
