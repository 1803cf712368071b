// The disk class driver's part in removal that the I/O manager would do.
#pragma once

namespace hw::class_driver {

// Deletes removed devices whose upper filters have detached since
// (PASSIVE_LEVEL, emulated thread).
void DeleteRemovedDevices();

}  // namespace hw::class_driver
