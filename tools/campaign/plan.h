// One campaign run, planned before the machine boots: the machine's
// parameters, the world's actions on a timeline and the sender threads.
//
// Every random choice of a run comes from its run seed, through RunSeeds:
// the same run seed gives the same plan and the same machine, so a failing
// run replays from its seed alone.
//
// Times are virtual time since the end of boot.
#pragma once

#include <hostkernel/io_space.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace campaign {

using hk::Time100ns;

// The seeds of one run, all drawn from the run seed here and nowhere else.
struct RunSeeds {
    std::uint64_t run = 0;
    std::uint64_t kernel = 0;   // the scheduler's tie breaks
    std::uint64_t noise = 0;    // the sensor's noise
    std::uint64_t motion = 0;   // the motion model
    std::uint64_t disk = 0;     // the disk's service times
    std::uint64_t plan = 0;     // the generator of the plan below
    std::uint64_t senders = 0;  // first sender's seed; sender i has senders + i

    static RunSeeds From(std::uint64_t run);
    std::string ToString() const;
};

// The seed of the index-th run of a campaign started with `master`.
std::uint64_t RunSeedOf(std::uint64_t master, std::uint64_t index);

// The clock the kernel keeps: timers and delays end exactly when due, or
// at Windows' clock interrupt (as scripts say: clock exact | clock windows).
enum class ClockKind { Exact, Windows };

// What the generator may choose for the machine: one processor, or two as
// in a notebook (DPCs beside threads, spin locks with a second holder).
inline constexpr unsigned kProcessorChoices[] = {1, 2};
inline constexpr ClockKind kClockChoices[] = {ClockKind::Exact, ClockKind::Windows};

// The kinds of action a run can take; the campaign asserts each was taken.
enum class ActionKind {
    Drop,          // the notebook falls from a height
    Pin,           // the interrupt line forced high for a while, then given back
    Read,          // sender actions
    Write,
    Flush,
    Cancel,        // a sender cancels one of its own pending requests
    Release106,    // command 106 while a fall is in progress
    SwitchOff102,  // command 102 switching protection off while a fall is in progress
    SwitchOn102,
    Write100,      // sensor register transfers
    Read101,
    DevicePower,   // the disk to D1..D3 and back to D0 later
    Suspend,       // the system sleeps, then resumes
    Shutdown,
    Remove,        // the disk is unplugged
    DiskFault,     // failing or slow parks, media errors, for a while
    BusFault,      // a hung SMBus controller or a silent sensor, for a while
    Count,
};
const char* ActionName(ActionKind kind);

enum class DiskFaultKind { FailPark, SlowPark, IoErrors };
enum class BusFaultKind { HungController, SilentSensor };

struct Step {
    ActionKind kind = ActionKind::Drop;
    Time100ns at = 0;
    Time100ns length = 0;  // Pin, DevicePower, Suspend, DiskFault, BusFault: how long it lasts
    double metres = 0.0;   // Drop
    unsigned value = 0;    // DevicePower: 2..4 (D1..D3); DiskFault: slow park in ms or error period
    DiskFaultKind diskFault = DiskFaultKind::FailPark;
    BusFaultKind busFault = BusFaultKind::HungController;
    std::string ToString() const;
};

// A thread sending reads, writes and flushes at random moments and
// cancelling some of its own pending requests; percentages of its actions.
struct SenderPlan {
    std::uint64_t seed = 0;
    Time100ns from = 0;
    Time100ns until = 0;
    unsigned readPercent = 0;
    unsigned writePercent = 0;
    unsigned flushPercent = 0;  // the rest cancels
    Time100ns maxPause = 0;
};

struct Plan {
    RunSeeds seeds;
    unsigned processors = 1;
    ClockKind clock = ClockKind::Exact;
    unsigned preemptPercent = 10;
    std::vector<Step> steps;  // by time
    std::vector<SenderPlan> senders;
    Time100ns activity = 0;   // every action starts before this
    std::string ToString() const;
};

Plan Generate(std::uint64_t runSeed);

// Why a plan cannot run as planned; nullopt when it can. The generator
// must only produce plans that can.
std::optional<std::string> Validate(const Plan& plan);

}  // namespace campaign
