// Decodes a fuzz input into operations on a fresh notebook and runs them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver_image.h"

namespace zhpfuzz {

// Operation numbers (the operation byte modulo kOperationCount).
enum Operation : std::uint8_t {
    kOpCommand = 0,       // command selector, word count, words, shape byte
    kOpCommandAsync = 1,  // the same, sent from a caller thread that is left running
    kOpRun = 2,           // duration byte
    kOpPinOn = 3,
    kOpPinOff = 4,
    kOpCancel = 5,        // which pending request
    kOpPower = 6,         // device power state byte
    kOpRemove = 7,
    kOpDiskIo = 8,        // kind byte, sector byte
    kOpPaging = 9,        // add (odd) or remove (even)
    kOpFault = 10,        // which fault to toggle
    kOpOpenClose = 11,
    kOperationCount = 12,
};

// A command's operands: see DecodeCommand (command_block.h).
void RunControlProgram(DriverImage& image, const std::uint8_t* data, std::size_t size);

}  // namespace zhpfuzz
