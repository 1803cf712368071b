// Event log entries for what the machine's models recorded and for control
// requests, written the same way by a scenario (after the run) and by the
// serving notebook (as it happens).
#pragma once

#include "event_log.h"
#include "machine.h"

#include "hw/disk.h"

#include <cstdint>
#include <string>
#include <vector>

namespace notebook {

// "disk" per disk and "boot": how the machine came up.
void LogBoot(EventLog& log, Machine& machine, const BootReport& report);
// "line" for every edge of the interrupt line from now on (before boot).
void LogLineEdges(EventLog& log, Machine& machine);

// "ata": one command the disk received.
void LogAtaCommand(EventLog& log, const std::string& disk, const hw::AtaCommandRecord& c);
// "heads": loaded, unloaded, spun up, spun down.
void LogHeadEvent(EventLog& log, const std::string& disk, const hw::HeadEvent& h);
// "media_io_while_falling": an access that touched the media while falling
// (other accesses are not logged).
void LogFallingAccess(EventLog& log, const std::string& disk, const hw::MediaAccess& a);

// A command block as JSON numbers: one little-endian 32-bit word per four
// bytes, a short last word zero-padded.
std::string BlockWords(const std::vector<std::uint8_t>& bytes);

// The "ioctl" event's fields: the command (word 0 of the request), when it
// was sent, its status and byte count, the request's words and the reply's
// words ("words").
JsonObject ControlRequestFields(const std::vector<std::uint8_t>& request, hk::Time100ns sentAt, std::int32_t status,
                                std::uint64_t information, const std::vector<std::uint8_t>& reply);

}  // namespace notebook
