// Command blocks decoded from fuzz input bytes, and the rules every reply to
// one keeps. Shared by the fuzz targets that send commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <ntddk.h>

#include "hostkernel/io.h"

namespace zhpfuzz {

// Input bytes, read front to back; a missing byte reads as zero.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t Word() {
        std::uint32_t w = 0;
        for (int i = 0; i < 4; ++i) w |= static_cast<std::uint32_t>(Byte()) << (8 * i);
        return w;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// One device control request as the input describes it.
//
// Encoding: a command selector (below 0x80 an index into a table of every
// command and some unlisted numbers, otherwise the next four bytes are the
// raw command number, little-endian); a word count (modulo 8) and that many
// (offset, value) pairs: an offset byte (word index modulo 20) and a value
// byte, the value itself or, with bit 7 set, the next four bytes; then a
// shape byte: bits 0..1 the buffer lengths (0: 80/80, 1: input 79,
// 2: output 79, 3: two more bytes give them), bit 2 another control code,
// bit 3 sent to the filter device instead of the control device.
struct CommandRequest {
    std::vector<std::uint8_t> input;
    ULONG outLength = 0;
    ULONG code = 0;
    bool toFilter = false;
    std::uint32_t number = 0;  // the command number the driver reads (word 0)
    bool command = false;      // our control code
};
CommandRequest DecodeCommand(Reader& in);

// A command sent and its request.
struct SentCommand {
    CommandRequest what;
    hk::RequestPtr request;
};

// What is wrong with the reply of a completed command, or empty.
std::string ReplyFault(const SentCommand& sent);

}  // namespace zhpfuzz
