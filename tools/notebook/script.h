// Scenario scripts of the simulated notebook.
//
//   # comment
//   seed 42
//   clock windows | clock exact         timers and delays end at Windows' clock
//                                       interrupt (the default) or exactly on time
//   processors N                        logical processors, 1 to 8 (default 2)
//   registry FILE.reg
//   reg set KEYPATH NAME VALUE          VALUE: hex:aa,bb  dword:0000001f  "string"
//   reg delete KEYPATH [NAME]           without NAME the key goes
//   disk NAME driver=DRIVER [removable] [readonly] [floppy]
//        [io_error_every=N] [slow_park=TIME] [fail_park]
//   chipset gpio=ADDRESS                where the GPIO level register sits: an
//                                       I/O port up to 0xFFFF, else physical memory
//   boot
//   at TIME ACTION
//   run TIME
//
// TIME is a decimal number with a unit: 250ms, 1.5s, 800us. Times are
// virtual time since power-on. Booting takes time of its own (with ZHP about
// 135 ms: the driver sets the sensor up over the SMBus); an action due
// before the boot has ended is taken right after it.
//
// Actions:
//   pin on | pin off | pin low          force the interrupt line high, give it
//                                       back to the sensor, force it low
//   drop METRES                         released from that height
//   rest | carry | typing | tilt PITCH ROLL      what the notebook does
//   reads N every TIME | writes N every TIME    a user thread's requests to
//                                       the first disk (4 KiB each)
//   flush                               a flush to the first disk
//   ioctl CMD [OFFSET=VALUE ...]        an 80-byte command block to the
//                                       control device
//   power D0|D1|D2|D3                   device set-power of the first disk
//   suspend | resume                    system sleep and wake of every disk
//   remove NAME                         the disk is unplugged
//   fault NAME fail_park on|off | fault NAME slow_park TIME | fault NAME io_errors N
//   shutdown                            the system shuts down
//
// Order: seed, clock, processors, registry, disk and chipset come before boot; reg may come anywhere
// (before boot it edits the registry the machine boots with, after it the
// running machine's). A script without boot boots before its first at or
// run. Each at names a time no earlier than the run before it; at the end
// the machine runs until its last action has been taken.
#pragma once

#include "hw/disk.h"

#include <hostkernel/io_space.h>
#include <hostkernel/kernel.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace notebook {

using hk::Time100ns;

struct ScriptError {
    std::string file;
    int line = 0;
    std::string message;  // "expected ..."
    std::string ToString() const;  // "FILE:LINE: message"
};

enum class ActionKind {
    PinOn,
    PinOff,
    PinLow,
    Drop,
    Rest,
    Carry,
    Typing,
    Tilt,
    Reads,
    Writes,
    Flush,
    Ioctl,
    Power,
    Suspend,
    Resume,
    Remove,
    Fault,
    Shutdown,
};

enum class FaultKind { FailPark, SlowPark, IoErrors };

struct Action {
    ActionKind kind = ActionKind::PinOn;
    int line = 0;
    double value = 0.0;   // Drop: metres; Tilt: pitch
    double value2 = 0.0;  // Tilt: roll
    std::uint32_t count = 0;  // Reads, Writes: N; Fault IoErrors: N; Fault FailPark: 1 on, 0 off
    Time100ns every = 0;      // Reads, Writes; Fault SlowPark: the time
    std::array<std::uint32_t, 20> words{};  // Ioctl: the command block
    hw::DevicePower power = hw::DevicePower::D0;
    std::string disk;  // Remove, Fault
    FaultKind fault = FaultKind::FailPark;
    std::string text;  // the action as written, for the event log
};

struct RegEdit {
    bool remove = false;
    std::wstring key;   // kernel path, \Registry\Machine\...
    std::wstring name;  // empty with remove: the whole key
    bool whole_key = false;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

enum class StatementKind { RegEdit, Boot, At, Run };

struct Statement {
    StatementKind kind = StatementKind::Boot;
    int line = 0;
    RegEdit edit;
    Time100ns time = 0;  // At, Run
    Action action;       // At
};

struct Script {
    std::string file;
    std::uint64_t seed = 1;
    hk::ClockInterrupt clock = hk::ClockInterrupt::Windows;
    unsigned processors = 2;  // a notebook has several
    std::vector<std::string> registry_files;  // resolved paths, in order
    std::vector<hw::DiskConfig> disks;        // boot order
    std::optional<std::uint64_t> gpio_address;  // the chipset's default when absent
    std::vector<Statement> statements;        // reg edits before boot first, then the timeline
};

struct ScriptSource {
    std::string text;
    std::string file;          // as named to the user
    std::string script_dir;    // relative registry files are looked for here first,
    std::string source_dir;    // then here (the source tree)
};

struct ParseResult {
    std::optional<Script> script;
    std::optional<ScriptError> error;
};

// Parses and checks the whole script, registry files included; a script
// with an error yields no Script.
ParseResult ParseScript(const ScriptSource& source);
// Reads the file and parses it; registry files resolve against its directory.
ParseResult ParseScriptFile(const std::string& path, const std::string& source_dir);

// "250ms" -> 2'500'000; nullopt when it is not a time.
std::optional<Time100ns> ParseTime(const std::string& text);
// The default registry files of the source tree.
std::vector<std::string> DefaultRegistryFiles(const std::string& source_dir);

}  // namespace notebook
