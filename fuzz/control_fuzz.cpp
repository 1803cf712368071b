// libFuzzer target: the control device's command protocol under arbitrary
// sequences of command blocks, buffer lengths and control codes, mixed with
// falls, cancellations, device power changes, paging notifications, disk
// I/O, bus and registry faults and the removal of the disk.
//
// Input: byte 0 seeds the kernel's scheduler, byte 1 sets its preemption
// chance; then operations, each an operation byte followed by its operands
// (see Program::Step). A missing operand reads as zero. At the end the
// machine settles, the disk is removed, every request must have completed
// exactly once, and the driver is unloaded so that leaked pool shows.
//
// A verifier stop, a hang, a request never completed or a reply that breaks
// the protocol's rules aborts with a report; so do the sanitizers.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "control_program.h"
#include "driver_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static zhpfuzz::DriverImage image(ZHP_MODULE_PATH);
    zhpfuzz::RunControlProgram(image, data, size);
    return 0;
}
