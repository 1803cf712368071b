#include "command_block.h"

#include <cstdio>
#include <utility>

#include "shared/zhp_command.h"

namespace zhpfuzz {
namespace {

// Every command, and unlisted numbers around them.
const std::uint32_t kCommands[] = {
    100, 101, 102, 106, 107, 110, 111, 200, 201, 202, 203, 204, 205, 206, 207, 208, 209, 210, 211, 212,
    213, 214, 215, 0,   99,  103, 104, 105, 108, 109, 112, 199, 216, 255, 0xFFFFFFFF,
};

}  // namespace

CommandRequest DecodeCommand(Reader& in) {
    std::uint8_t selector = in.Byte();
    std::uint32_t command =
        selector < 0x80 ? kCommands[selector % (sizeof(kCommands) / sizeof(kCommands[0]))] : in.Word();
    std::vector<std::pair<unsigned, std::uint32_t>> words;
    unsigned count = in.Byte() % 8;
    for (unsigned i = 0; i < count; ++i) {
        unsigned offset = (in.Byte() % 20) * 4;
        std::uint8_t size = in.Byte();
        words.emplace_back(offset, (size & 0x80) ? in.Word() : size);
    }
    std::uint8_t shape = in.Byte();
    ULONG inLength = ZHP_COMMAND_BLOCK_SIZE, outLength = ZHP_COMMAND_BLOCK_SIZE;
    switch (shape & 3) {
    case 1:
        inLength = ZHP_COMMAND_BLOCK_SIZE - 1;
        break;
    case 2:
        outLength = ZHP_COMMAND_BLOCK_SIZE - 1;
        break;
    case 3:
        // At least one byte in: the host I/O manager cannot build a
        // buffered request from an empty input with an output buffer.
        inLength = 1 + in.Byte() % 130;
        outLength = in.Byte() % 130;
        break;
    }
    CommandRequest r;
    r.code = (shape & 4) ? CTL_CODE(FILE_DEVICE_DISK, 0x809, METHOD_BUFFERED, FILE_ANY_ACCESS) : ZHP_IOCTL_COMMAND;
    r.command = r.code == ZHP_IOCTL_COMMAND;
    r.toFilter = (shape & 8) != 0;
    r.outLength = outLength;
    r.input.assign(inLength, 0);
    auto put = [&](unsigned offset, std::uint32_t value) {
        for (unsigned i = 0; i < 4 && offset + i < r.input.size(); ++i) r.input[offset + i] = (value >> (8 * i)) & 0xFF;
    };
    put(0, command);
    for (const auto& w : words) put(w.first, w.second);
    // The number the driver reads: a word at offset 0 replaces it.
    for (unsigned i = 0; i < 4 && i < r.input.size(); ++i) {
        r.number |= static_cast<std::uint32_t>(r.input[i]) << (8 * i);
    }
    return r;
}

std::string ReplyFault(const SentCommand& sent) {
    const hk::HostRequest& r = *sent.request;
    const CommandRequest& what = sent.what;
    if (!r.completed) return "a request was never completed";
    if (r.completions != 1) return "a request completed more than once";
    if (r.information > what.outLength) return "more bytes returned than the output buffer holds";
    if (!what.command) return std::string();
    bool small = what.input.size() < ZHP_COMMAND_BLOCK_SIZE || what.outLength < ZHP_COMMAND_BLOCK_SIZE;
    if (small && (r.status != STATUS_BUFFER_TOO_SMALL || r.information != 0)) {
        return "a short command buffer was not refused with no bytes";
    }
    if (small) return std::string();
    if (r.information != 0 && r.information != ZHP_COMMAND_BLOCK_SIZE && r.information != what.outLength) {
        return "a command returned neither 0, 80 nor the output length";
    }
    // Success, missing-value bits, a refused or cancelled request, or a
    // registry write's failure.
    bool expected = r.status == STATUS_SUCCESS || (r.status >= 1 && r.status <= 7) ||
                    r.status == STATUS_NOT_IMPLEMENTED || r.status == STATUS_NO_SUCH_DEVICE ||
                    r.status == STATUS_CANCELLED || r.status == static_cast<NTSTATUS>(0xC0000022);
    if (!expected) {
        char text[96];
        std::snprintf(text, sizeof text, "command %u completed with status 0x%08X", what.number,
                      static_cast<unsigned>(r.status));
        return text;
    }
    bool listed = (what.number >= 100 && what.number <= 102) || what.number == 106 || what.number == 107 ||
                  what.number == 110 || what.number == 111 || (what.number >= 200 && what.number <= 215);
    if (listed && r.status == STATUS_NOT_IMPLEMENTED) {
        return "command " + std::to_string(what.number) + " was not implemented (" + std::to_string(r.information) +
               " bytes)";
    }
    if ((r.status == STATUS_NO_SUCH_DEVICE || r.status == STATUS_CANCELLED) && r.information != 0) {
        return "a refused or cancelled command returned bytes";
    }
    return std::string();
}

}  // namespace zhpfuzz
