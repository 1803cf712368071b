// Many short runs, one per seed, in virtual time: sender threads race reads,
// writes, flushes, cancellations and the odd shutdown against falls (the
// interrupt line forced on and off) and releases (the timer and command
// 106). Each run checks that every request completes exactly once, that held
// requests leave the queue oldest first and reach the disk in that order, that
// a held flush completes after the requests held before it, and that nothing
// reaches the media while the disk is blocked, except what a flush passes on
// once the fall is over.
#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "core_test_support.h"

namespace {

using hk::kMillisecond;
using hk::kSecond;

constexpr int kSeeds = 200;
constexpr int kSenders = 3;
constexpr hk::Time100ns kActivity = 3 * kSecond;
constexpr std::uint64_t kOffsetUnit = 0x1000;
// Flushes have no offset; they are told apart by a token from this range,
// which no read or write offset reaches.
constexpr std::uint64_t kFlushTokenBase = 1ull << 48;

// The offset of the request the current emulated thread is sending; 0 when
// it sends none. Requests are told apart by their offsets, all different.
thread_local std::uint64_t tSendingOffset = 0;

struct Sent {
    hk::RequestPtr request;
    std::uint64_t offset = 0;  // reads and writes only
    std::uint64_t flushToken = 0;  // flushes only
};

// What the debug output tells about one run, watched line by line as the
// driver prints it.
class QueueWatch {
public:
    QueueWatch(zhptest::Machine& m, DEVICE_EXTENSION* ext) : m_(m), ext_(ext) {}

    void OnLine(const std::string& line) {
        if (line.find("is add into driver managed queue") != std::string::npos) {
            OnHeld(line);
        } else if (line.find("to lower storage stack") != std::string::npos) {
            OnLeft(line, true);
        } else if (line.find("in driver managed queue is canceled") != std::string::npos) {
            OnLeft(line, false);
        } else if (line.find("ZHP_FFDetected(): The Filter driver will park disk") != std::string::npos) {
            if (blockStart_ < 0) blockStart_ = m_.kernel.Now();
        } else if (line.find("ZHP_RecoveryDPC(): The IO will be resumed") != std::string::npos) {
            if (blockStart_ >= 0) blocks_.emplace_back(blockStart_, m_.kernel.Now());
            blockStart_ = -1;
        }
    }

    // The driver puts a request into its queue (under the queue's lock).
    // The queue's order is the age that counts: on two processors two
    // senders may print their lines in one order and queue in the other.
    void OnQueued() {
        if (tSendingOffset == 0) {
            Violation("a request queued outside its sender's dispatch");
            return;
        }
        holdIndex_[tSendingOffset] = holdIndex_.size();
    }

    // Finishes an open block interval at the end of the run.
    void Close() {
        if (blockStart_ >= 0) blocks_.emplace_back(blockStart_, m_.kernel.Now() + 1);
        blockStart_ = -1;
    }

    bool Held(std::uint64_t offset) const { return holdIndex_.count(offset) != 0; }
    // Offsets or flush tokens in the order they were held.
    std::vector<std::uint64_t> HoldOrder() const {
        std::vector<std::uint64_t> order(holdIndex_.size());
        for (const auto& h : holdIndex_) order[h.second] = h.first;
        return order;
    }
    std::size_t HoldIndex(std::uint64_t offset) const { return holdIndex_.at(offset); }
    bool FlushDrained(std::uint64_t offset) const { return flushDrained_.count(offset) != 0; }
    bool ReleasedByTheTimerOrCommand(std::uint64_t offset) const { return released_.count(offset) != 0; }
    bool InBlock(hk::Time100ns t) const {
        for (const auto& b : blocks_) {
            if (t > b.first && t < b.second) return true;
        }
        return false;
    }
    std::size_t HeldCount() const { return holdIndex_.size(); }
    std::size_t FlushDrainedCount() const { return flushDrained_.size(); }
    std::size_t ReleasedCount() const { return released_.size(); }
    std::size_t BlockCount() const { return blocks_.size(); }
    const std::vector<std::string>& Violations() const { return violations_; }
    void Violation(const std::string& text) { violations_.push_back(text); }

private:
    static bool IrpOf(const std::string& line, std::uint32_t* irp) {
        const std::size_t at = line.find("Irp = 0x");
        if (at == std::string::npos) return false;
        *irp = static_cast<std::uint32_t>(std::stoul(line.substr(at + 8, 8), nullptr, 16));
        return true;
    }

    // A held request's offset, or a held flush's token.
    std::uint64_t KeyOf(PIRP irp) const {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_FLUSH_BUFFERS) {
            auto token = heldByIrp_.find(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(irp)));
            return token == heldByIrp_.end() ? 0 : token->second;
        }
        return static_cast<std::uint64_t>(IoGetCurrentIrpStackLocation(irp)->Parameters.Read.ByteOffset.QuadPart);
    }

    void OnHeld(const std::string& line) {
        std::uint32_t irp;
        if (!IrpOf(line, &irp) || tSendingOffset == 0) {
            Violation("a request held outside its sender's dispatch: " + line);
            return;
        }
        heldByIrp_[irp] = tSendingOffset;
    }

    // A held request has just been taken out of the queue to be passed on
    // (or cancelled): no request held before it may still be in the queue.
    void OnLeft(const std::string& line, bool passedOn) {
        std::uint32_t irp;
        auto found = IrpOf(line, &irp) ? heldByIrp_.find(irp) : heldByIrp_.end();
        if (found == heldByIrp_.end()) {
            Violation("a request left the queue that was never held: " + line);
            return;
        }
        const std::uint64_t offset = found->second;
        heldByIrp_.erase(found);
        const std::size_t index = holdIndex_.at(offset);
        for (LIST_ENTRY* e = ext_->PendingIrpList.Flink; e != &ext_->PendingIrpList; e = e->Flink) {
            PIRP queuedIrp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
            const std::uint64_t queued = KeyOf(queuedIrp);
            // A request whose cancel has begun (on another processor) is on
            // its way out as cancelled: the queue passes over it.
            const bool beingCancelled = queuedIrp->Cancel && queuedIrp->CancelRoutine == nullptr;
            if (queued == offset) {
                Violation("a request is still queued after it left: " + line);
            } else if (!beingCancelled && (holdIndex_.count(queued) == 0 || holdIndex_.at(queued) < index)) {
                std::ostringstream text;
                text << "request at 0x" << std::hex << offset << " left the queue before the older one at 0x"
                     << queued << ": " << line;
                Violation(text.str());
            }
        }
        if (!passedOn) return;
        if (line.rfind("ZHP_Flush(", 0) == 0) {
            // Held writes passed down mid-fall would load the heads again.
            if ((ext_->Flag & ZHP_FLAG_FALL_CLEARED) == 0) {
                Violation("a flush passed a held request on before the fall was over: " + line);
            }
            flushDrained_.insert(offset);
        } else if (line.rfind("ZHP_RecoveryDPC(", 0) == 0) {
            released_.insert(offset);
        }
    }

    zhptest::Machine& m_;
    DEVICE_EXTENSION* ext_;
    std::map<std::uint64_t, std::size_t> holdIndex_;
    std::unordered_map<std::uint32_t, std::uint64_t> heldByIrp_;
    std::set<std::uint64_t> flushDrained_;
    std::set<std::uint64_t> released_;
    hk::Time100ns blockStart_ = -1;
    std::vector<std::pair<hk::Time100ns, hk::Time100ns>> blocks_;
    std::vector<std::string> violations_;
};

// One sender thread: requests of every kind at random moments; flushes
// take `flushPermille` of them.
void SendAtRandom(zhptest::Machine& m, std::uint64_t seed, unsigned flushPermille, std::uint64_t* nextOffset,
                  std::vector<Sent>* sent, hk::Time100ns until) {
    std::mt19937_64 rng(seed);
    std::vector<hk::RequestPtr> mine;
    while (static_cast<hk::Time100ns>(KeQueryInterruptTime()) < until) {
        const unsigned op = rng() % 1000;
        if (op < 800) {
            const bool read = op < 420;
            Sent s;
            s.offset = (*nextOffset)++ * kOffsetUnit;
            tSendingOffset = s.offset;
            s.request = read ? hk::SendRead(m.DiskTop(), s.offset, hw::kSectorSize)
                             : hk::SendWrite(m.DiskTop(), s.offset,
                                             std::vector<std::uint8_t>(hw::kSectorSize, static_cast<std::uint8_t>(op)));
            tSendingOffset = 0;
            mine.push_back(s.request);
            sent->push_back(s);
        } else if (op < 800 + flushPermille) {
            Sent s;
            s.flushToken = kFlushTokenBase + (*nextOffset)++;
            tSendingOffset = s.flushToken;
            s.request = hk::SendFlush(m.DiskTop());
            tSendingOffset = 0;
            sent->push_back(s);
        } else if (op < 995) {
            std::vector<hk::RequestPtr> pending;
            for (const auto& r : mine) {
                if (!r->completed) pending.push_back(r);
            }
            if (!pending.empty()) hk::CancelRequest(*pending[rng() % pending.size()]);
        } else {
            sent->push_back(Sent{hk::SendShutdown(m.DiskTop()), 0});
        }
        LARGE_INTEGER pause;
        pause.QuadPart = -static_cast<LONGLONG>(rng() % (20 * kMillisecond));
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
}

// What the runs exercised, summed over the seeds.
struct Coverage {
    std::size_t held = 0;
    std::size_t blocks = 0;
    std::size_t flushDrained = 0;
    std::size_t released = 0;
    std::size_t heldThenCancelled = 0;
    std::size_t heldFlushes = 0;
    std::size_t shutdowns = 0;
};

// The watch of the running seed and the driver's own insert routine, which
// WatchedInsert calls after telling the watch.
QueueWatch* gWatch = nullptr;
PIO_CSQ_INSERT_IRP gDriverInsert = nullptr;

VOID WatchedInsert(PIO_CSQ csq, PIRP irp) {
    gWatch->OnQueued();
    gDriverInsert(csq, irp);
}

// One run; returns what went wrong.
std::vector<std::string> RunSeed(std::uint64_t seed, unsigned processors, Coverage* coverage) {
    zhptest::MachineOptions options;
    options.seed = seed;
    options.processors = processors;
    options.preemptPercent = 5 + static_cast<unsigned>(seed % 40);
    // Windows' clock: the senders' pauses end together on the 1 ms
    // interrupts, so flushes, the release and stranded requests often drain
    // the queue at the same moment (seed 135 has two flushes at once).
    options.clockInterrupt = hk::ClockInterrupt::Windows;
    zhptest::Machine m(options);
    DEVICE_EXTENSION* ext = m.FilterExt();
    QueueWatch watch(m, ext);
    gWatch = &watch;
    gDriverInsert = ext->CancelSafeQueue.CsqInsertIrp;
    ext->CancelSafeQueue.CsqInsertIrp = WatchedInsert;
    coretest::SinkScope sink(m.kernel, [&](const std::string& line) { watch.OnLine(line); });
    coretest::SwitchProtectionOn(m);

    std::mt19937_64 rng(seed * 7919 + 1);
    std::uint64_t nextOffset = 1;
    std::vector<Sent> sent;
    std::vector<hk::RequestPtr> commands;
    const hk::Time100ns until = m.kernel.Now() + kActivity;
    // In most runs held requests wait for their release; in the others
    // flushes often pass them on first.
    const unsigned flushPermille = seed % 3 == 0 ? 40 : 2;
    std::vector<PKTHREAD> senders;
    for (int i = 0; i < kSenders; ++i) {
        senders.push_back(m.kernel.Spawn(
            [&, i] {
                SendAtRandom(m, seed * 131 + static_cast<std::uint64_t>(i), flushPermille, &nextOffset, &sent, until);
            },
            8, "sender"));
    }

    bool pin = false;
    while (m.kernel.Now() < until && !m.kernel.Stopped()) {
        const unsigned action = rng() % 100;
        if (action < 25) {
            pin = !pin;
            m.Pin(pin);
        } else if (action < 40) {
            commands.push_back(m.SendCommand(ZHP_CMD_RELEASE_DISK));
        }
        m.Run(static_cast<hk::Time100ns>(1 + rng() % 200) * kMillisecond);
    }

    // The last fall ends; everything still held is released by the timer.
    m.Pin(false);
    for (PKTHREAD t : senders) {
        EXPECT_TRUE(m.kernel.Join(t, 5 * kSecond)) << "seed " << seed << ": a sender did not finish";
        m.kernel.ReleaseThread(t);
    }
    auto allDone = [&] {
        for (const auto& s : sent) {
            if (!s.request->completed) return false;
        }
        for (const auto& c : commands) {
            if (!c->completed) return false;
        }
        return true;
    };
    for (int i = 0; i < 100 && !allDone() && !m.kernel.Stopped(); ++i) m.Run(100 * kMillisecond);
    watch.Close();

    if (m.kernel.Stopped()) watch.Violation("verifier: " + m.kernel.Stop().ToString());
    for (const auto& c : commands) {
        if (!c->completed || c->completions != 1) watch.Violation("a release command did not complete once");
    }
    if (!coretest::HeldIrps(m).empty()) watch.Violation("requests are still held at the end");

    // Where each offset reached the media.
    std::map<std::uint64_t, std::vector<std::size_t>> mediaIndex;
    const auto& accesses = m.Disk().MediaAccesses();
    for (std::size_t i = 0; i < accesses.size(); ++i) mediaIndex[accesses[i].offset].push_back(i);

    for (const Sent& s : sent) {
        const hk::HostRequest& r = *s.request;
        std::ostringstream who;
        who << "request " << r.id << " (major " << static_cast<int>(r.major) << ", offset 0x" << std::hex << s.offset
            << ")";
        if (!r.completed || r.completions != 1) {
            watch.Violation(who.str() + " completed " + std::to_string(r.completions) + " times");
            continue;
        }
        if (s.offset == 0) {
            coverage->shutdowns += r.major == IRP_MJ_SHUTDOWN;
            continue;
        }
        coverage->heldThenCancelled += watch.Held(s.offset) && r.status == STATUS_CANCELLED;
        const std::size_t reached = mediaIndex.count(s.offset) ? mediaIndex[s.offset].size() : 0;
        if (r.status == STATUS_SUCCESS && reached != 1) {
            watch.Violation(who.str() + " succeeded but reached the media " + std::to_string(reached) + " times");
        } else if (r.status == STATUS_CANCELLED && reached != 0) {
            watch.Violation(who.str() + " was cancelled but reached the media");
        } else if (r.status != STATUS_SUCCESS && r.status != STATUS_CANCELLED) {
            std::ostringstream status;
            status << std::hex << r.status;
            watch.Violation(who.str() + " completed with status 0x" + status.str());
        }
    }

    // A held flush that went down completes after every request held before
    // it that went down too: it is released behind them.
    std::map<std::uint64_t, const hk::HostRequest*> byKey;
    for (const Sent& s : sent) {
        const std::uint64_t key = s.flushToken != 0 ? s.flushToken : s.offset;
        if (key != 0) byKey[key] = s.request.get();
    }
    const std::vector<std::uint64_t> order = watch.HoldOrder();
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (order[i] < kFlushTokenBase) continue;
        coverage->heldFlushes++;
        const hk::HostRequest& flush = *byKey.at(order[i]);
        if (flush.status != STATUS_SUCCESS) continue;
        for (std::size_t j = 0; j < i; ++j) {
            const hk::HostRequest& before = *byKey.at(order[j]);
            if (before.status == STATUS_SUCCESS && before.completionOrder > flush.completionOrder) {
                std::ostringstream text;
                text << "held flush " << flush.id << " completed before request " << before.id << " held ahead of it";
                watch.Violation(text.str());
            }
        }
    }

    // Released requests reach the disk in the order they were held; nothing
    // but a flush's held requests reaches it while the disk is blocked.
    std::size_t lastHoldIndex = 0;
    bool first = true;
    for (const hw::MediaAccess& a : accesses) {
        if (watch.ReleasedByTheTimerOrCommand(a.offset)) {
            const std::size_t index = watch.HoldIndex(a.offset);
            if (!first && index < lastHoldIndex) {
                std::ostringstream text;
                text << "released request at 0x" << std::hex << a.offset << " reached the disk after a younger one";
                watch.Violation(text.str());
            }
            lastHoldIndex = index;
            first = false;
        }
        if (watch.InBlock(a.received) && !watch.FlushDrained(a.offset)) {
            std::ostringstream text;
            text << "media access at 0x" << std::hex << a.offset << std::dec << " received at " << a.received
                 << " while the disk was blocked";
            watch.Violation(text.str());
        }
    }
    coverage->held += watch.HeldCount();
    coverage->blocks += watch.BlockCount();
    coverage->flushDrained += watch.FlushDrainedCount();
    coverage->released += watch.ReleasedCount();
    return watch.Violations();
}

void RunAllSeeds(unsigned processors) {
    Coverage coverage;
    for (int seed = 1; seed <= kSeeds; ++seed) {
        const std::vector<std::string> violations =
            RunSeed(static_cast<std::uint64_t>(seed), processors, &coverage);
        if (!violations.empty()) {
            std::ostringstream report;
            for (std::size_t i = 0; i < violations.size() && i < 10; ++i) report << "\n  " << violations[i];
            ADD_FAILURE() << processors << " processor(s), seed " << seed << ": " << violations.size()
                          << " violation(s)" << report.str();
            break;
        }
    }
    // The runs did exercise the queue and every way out of it.
    EXPECT_GT(coverage.held, static_cast<std::size_t>(kSeeds) * 5);
    EXPECT_GT(coverage.blocks, static_cast<std::size_t>(kSeeds));
    EXPECT_GT(coverage.flushDrained, static_cast<std::size_t>(kSeeds));
    EXPECT_GT(coverage.released, static_cast<std::size_t>(kSeeds));
    EXPECT_GT(coverage.heldThenCancelled, static_cast<std::size_t>(kSeeds));
    EXPECT_GT(coverage.heldFlushes, static_cast<std::size_t>(kSeeds) / 4);
    EXPECT_GT(coverage.shutdowns, 10u);
    std::cout << processors << " processor(s): held requests: " << coverage.held << ", blocks: " << coverage.blocks
              << ", released: " << coverage.released << ", passed on by a flush: " << coverage.flushDrained
              << ", cancelled while held: " << coverage.heldThenCancelled << ", flushes held: " << coverage.heldFlushes
              << ", shutdowns: " << coverage.shutdowns
              << std::endl;
}

TEST(HeldIoRandom, RacingSendersFallsAndReleasesLoseNothingAndKeepTheOrder) { RunAllSeeds(1); }

// The release DPC, a flush and the pass-on of stranded requests now also
// run on different processors at once, beside the senders.
TEST(HeldIoRandom, OnTwoProcessorsTheReleaseFlushesAndSendersRaceAndKeepTheOrder) { RunAllSeeds(2); }

}  // namespace
