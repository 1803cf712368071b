// The one-line JSON summary of a scenario: what fell, what parked, what
// reached the media while falling, and what became of the requests.
//
//   falls                   rising edges of the sensor's interrupt line (pin on included)
//   parks                   park commands (head unload or standby) that reached a disk
//   media_io_while_falling  media accesses made while the notebook was airborne, all disks
//   drops[]                 per drop: fall_ms, park_after_pin_us (line rise to the park
//                           command reaching the disk), parked_before_impact (heads off
//                           the media at the first impact)
#pragma once

#include "machine.h"
#include "request_ledger.h"

#include <optional>
#include <string>
#include <vector>

namespace notebook {

struct DropReport {
    hk::Time100ns at = 0;  // released
    hk::Time100ns impact = 0;
    double metres = 0.0;
    double fall_ms = 0.0;
    std::optional<hk::Time100ns> line_rise;
    std::optional<hk::Time100ns> park_after_pin;
    bool parked_before_impact = false;
    std::string disk;  // the disk judged: the one that was parked, else the protected one
    std::uint64_t media_io_while_falling = 0;
};

struct Summary {
    bool protected_by_zhp = false;
    std::uint64_t seed = 0;
    std::string clock;                // "windows" or "exact": when timers and delays ended
    unsigned processors = 0;
    std::uint32_t timer_resolution = 0;  // 100-ns units at the end of the run; 0 with the exact clock
    hk::Time100ns end = 0;
    std::uint64_t falls = 0;
    std::uint64_t parks = 0;
    std::uint64_t media_io_while_falling = 0;
    RequestCounts requests;
    int verifier_stops = 0;
    std::vector<DropReport> drops;

    std::string ToJson() const;
};

bool IsParkCommand(const hw::AtaTaskFile& task);
// "windows" or "exact", as scripts name the clock.
const char* ClockName(hk::ClockInterrupt clock);
Summary Summarize(Machine& machine, const RequestLedger& ledger);

}  // namespace notebook
