// The live protection log of the serving notebook: watches the running
// machine and tells, as it happens, each drop, the sensor's interrupt line,
// the park command and the heads, the requests ZHP holds and releases; and
// sums each drop up in one row of a table.
//
// It looks every few tens of milliseconds through the kernel gate (the
// machine's models are read while this thread holds the processor). Given an
// event log, it adds to it what the disks recorded and the requests that
// completed since the last look, as a scenario's log has them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <hostkernel/io.h>
#include <hostuser/kernel_gate.h>

#include "hw/disk.h"
#include "hw/motion_model.h"
#include "line_monitor.h"
#include "machine.h"
#include "event_log.h"
#include "request_ledger.h"

namespace notebook {

// One drop, as far as it has gone. Times are milliseconds after release.
struct DropRow {
    int number = 0;
    double metres = 0.0;
    double fall_ms = 0.0;                   // release to impact
    std::optional<double> line_up_ms;       // the sensor's interrupt line rose (detection)
    std::optional<double> park_command_ms;  // ZHP's park command reached the disk
    std::optional<double> heads_parked_ms;  // the heads were on the ramp
    bool parked_before_impact = false;
    std::uint64_t held = 0;      // requests ZHP held back during the fall
    std::uint64_t released = 0;  // of those, completed since
    std::uint64_t media_io_while_falling = 0;
    bool over = false;  // settled, line down, nothing held any more
};

// What the machine looked like at one moment, copied on an emulated thread.
struct MachineFacts {
    hk::Time100ns now = 0;
    std::vector<hw::DropFacts> drops;
    std::vector<LineEdge> edges;
    std::vector<hw::AtaCommandRecord> parks;  // park commands, all disks
    std::vector<hw::HeadEvent> unloads;       // heads going onto the ramp, all disks
    std::vector<hw::MediaAccess> fallingAccesses;
    struct Request {
        hk::Time100ns sent = 0;
        hk::Time100ns completed = 0;  // valid when done
        bool done = false;
        bool queued = false;  // pending in ZHP's queue (held back by ZHP)
        bool inDisk = false;  // pending further down: the disk's queue or the disk itself
    };
    std::vector<Request> requests;
};

// Rows of every drop from the facts (a pure function: the table's rules).
std::vector<DropRow> DropRows(const MachineFacts& facts);
// The table with a totals row, for people.
std::string DropTable(const std::vector<DropRow>& rows);

class ProtectionMonitor {
public:
    ProtectionMonitor(Machine& machine, RequestLedger& ledger, hostuser::KernelGate& gate,
                      std::function<void(hk::Time100ns, const std::string&)> print, EventLog* events = nullptr);
    ~ProtectionMonitor();
    ProtectionMonitor(const ProtectionMonitor&) = delete;
    ProtectionMonitor& operator=(const ProtectionMonitor&) = delete;

    void Start();
    void Stop();
    // Up-to-date rows (looks at the machine now).
    std::vector<DropRow> Rows();
    MachineFacts Facts();

private:
    void Run();
    void Look();
    // Takes the disks' records that are new since the last look (on an
    // emulated thread) and lets the disks forget the media accesses.
    void TakeDiskRecords();
    // The request waits in ZHP's queue (on an emulated thread).
    bool HeldByZhp(PIRP irp) const;

    Machine& machine_;
    RequestLedger& ledger_;
    hostuser::KernelGate& gate_;
    std::function<void(hk::Time100ns, const std::string&)> print_;
    EventLog* events_ = nullptr;
    std::mutex mutex_;  // facts gathering and the reported state (and the lists below)
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;

    // A request sent through the ledger, as far as the log has seen it. The
    // request itself is let go once it has completed (its facts stay).
    struct WatchedRequest {
        IssuedRequest issued;  // its request is let go once completed
        MachineFacts::Request facts;
    };

    // How far the log has read a disk's command and head records.
    struct DiskRecordsSeen {
        std::size_t ataCommands = 0;
        std::size_t headEvents = 0;
    };

    // Facts gathered so far; lists grow by what is new at each look.
    std::vector<DiskRecordsSeen> seenPerDisk_;  // in the storage's disk order
    std::uint64_t requestsSeen_ = 0;            // the ledger's requests taken, by id
    std::vector<hw::AtaCommandRecord> parks_;   // park commands, all disks
    std::vector<hw::HeadEvent> unloads_;        // heads going onto the ramp, all disks, in time order
    std::vector<hw::MediaAccess> fallingAccesses_;
    std::vector<WatchedRequest> requests_;

    // What the log has told.
    std::size_t dropsTold_ = 0, edgesTold_ = 0, parksTold_ = 0, unloadsTold_ = 0, rowsOverTold_ = 0;
    std::uint64_t heldPeak_ = 0;
    bool diskBehindTold_ = false;  // the log said the disk falls behind, and not yet that it caught up
    bool stopTold_ = false;  // most requests held at once in the current episode
};

}  // namespace notebook
