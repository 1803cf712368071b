#include "invariants.h"

#include <algorithm>
#include <map>
#include <sstream>

namespace campaign {
namespace {

std::string Ms(Time100ns t) {
    std::ostringstream out;
    out << static_cast<double>(t) / hk::kMillisecond << " ms";
    return out.str();
}

std::string Who(const RequestFacts& r) {
    std::ostringstream out;
    out << (r.op == 'R' ? "read" : r.op == 'W' ? "write" : r.op == 'F' ? "flush" : "other request");
    if (r.op == 'R' || r.op == 'W') out << " at 0x" << std::hex << r.offset << std::dec;
    out << " sent at " << Ms(r.sentAt);
    return out.str();
}

std::string Hex(NTSTATUS status) {
    std::ostringstream out;
    out << "0x" << std::hex << static_cast<std::uint32_t>(status);
    return out.str();
}

const Block* BlockAt(const std::vector<Block>& blocks, Time100ns t) {
    for (const Block& b : blocks) {
        // A request the disk received in the same instant as the park came
        // before it (a sleeping disk's queue lets both go at power-up, in
        // order): ZHP holds everything it is sent from the detection on.
        if (t > b.parked && (b.released < 0 || t < b.released)) return &b;
    }
    return nullptr;
}

}  // namespace

std::vector<std::string> Check(const RunFacts& facts, const CheckOptions& options) {
    std::vector<std::string> broken = facts.seenWhileRunning;
    if (facts.verifierStop) broken.push_back("verifier stop: " + *facts.verifierStop);

    std::map<std::uint64_t, std::vector<std::size_t>> mediaOf;
    for (std::size_t i = 0; i < facts.media.size(); ++i) mediaOf[facts.media[i].offset].push_back(i);
    auto reached = [&](const RequestFacts& r) { return mediaOf.count(r.offset) ? mediaOf[r.offset].size() : 0u; };

    // Every request completed exactly once, and its status matches what
    // reached the media.
    for (const RequestFacts& r : facts.requests) {
        if (!r.completed || r.completions != 1) {
            broken.push_back(Who(r) + " completed " + std::to_string(r.completions) + " times");
            continue;
        }
        if (r.op != 'R' && r.op != 'W') continue;
        const std::size_t n = reached(r);
        if (r.status == STATUS_SUCCESS && n != 1) {
            broken.push_back(Who(r) + " succeeded but reached the media " + std::to_string(n) + " times");
        } else if (r.status == STATUS_CANCELLED && n != 0) {
            broken.push_back(Who(r) + " was cancelled but reached the media");
        } else if (n > 1) {
            broken.push_back(Who(r) + " reached the media " + std::to_string(n) + " times");
        }
        if (r.held && r.left == LeftBy::Nothing && r.status != STATUS_CANCELLED) {
            broken.push_back(Who(r) + " completed with " + Hex(r.status) + " without leaving the queue");
        }
    }

    // Held requests passed on from the queue reach the disk oldest first.
    std::vector<const RequestFacts*> passed;
    for (const RequestFacts& r : facts.requests) {
        if ((r.op == 'R' || r.op == 'W') && r.left != LeftBy::Nothing && r.left != LeftBy::DriverCancel && reached(r) > 0) {
            passed.push_back(&r);
        }
    }
    std::sort(passed.begin(), passed.end(),
              [](const RequestFacts* a, const RequestFacts* b) { return a->holdIndex < b->holdIndex; });
    for (std::size_t i = 1; i < passed.size(); ++i) {
        if (mediaOf[passed[i]->offset].front() < mediaOf[passed[i - 1]->offset].front()) {
            broken.push_back("held " + Who(*passed[i]) + " reached the disk before the older " +
                             Who(*passed[i - 1]));
        }
    }

    // Nothing reaches the media from the park command to the release but
    // what a flush passes on once the fall is over. (Flush rule: a flush
    // during the fall is held with the writes; after the fall has cleared it
    // passes the held requests on.)
    std::map<std::uint64_t, const RequestFacts*> byOffset;
    for (const RequestFacts& r : facts.requests) {
        if (r.op == 'R' || r.op == 'W') byOffset[r.offset] = &r;
    }
    for (const MediaFacts& m : facts.media) {
        const Block* b = BlockAt(facts.blocks, m.received);
        if (b == nullptr) continue;
        auto found = byOffset.find(m.offset);
        const RequestFacts* r = found == byOffset.end() ? nullptr : found->second;
        std::ostringstream what;
        what << "media access at 0x" << std::hex << m.offset << std::dec << " received at " << Ms(m.received)
             << ", begun at " << Ms(m.start) << " while blocked (parked at " << Ms(b->parked) << ")";
        if (r == nullptr || r->left != LeftBy::Flush) {
            broken.push_back(what.str());
        } else if (r->fallClearedWhenLeft < 0 && !options.allowFlushDrainMidFall) {
            broken.push_back("FLUSH MID-FALL: " + what.str() + " passed on by a flush before the fall cleared");
        }
    }

    if (facts.driverPresent) {
        if (facts.outstandingIo != 0) {
            broken.push_back("OutstandingIo is " + std::to_string(facts.outstandingIo) + " at the end, not 0");
        }
        // The counters count what was held since the last fall was detected.
        // The detection itself is not seen from outside: it lies after the
        // park before (or the start) and at or before the disk received this
        // fall's park command, which can be much later when the park waits
        // behind requests for a sleeping disk's power-up (and a new fall may
        // end the block before). So at least what was held after this park,
        // at most what was held since the park before.
        Time100ns since = 0;
        if (facts.blocks.size() >= 2) since = facts.blocks[facts.blocks.size() - 2].parked;
        ULONG reads[2] = {0, 0}, writes[2] = {0, 0};  // [after this park, since the park before]
        for (const RequestFacts& r : facts.requests) {
            if (!r.held || facts.lastPark < 0 || r.heldAt < since) continue;
            ULONG* count = r.op == 'R' ? reads : r.op == 'W' ? writes : nullptr;
            if (count == nullptr) continue;
            count[1]++;
            if (r.heldAt > facts.lastPark) count[0]++;
        }
        if (facts.readQueued < reads[0] || facts.readQueued > reads[1]) {
            broken.push_back("ReadQueued is " + std::to_string(facts.readQueued) + " but " +
                             std::to_string(reads[0]) + ".." + std::to_string(reads[1]) +
                             " reads were held since the last fall");
        }
        // Only the release passes requests on at DISPATCH_LEVEL here.
        ULONG released = 0;
        for (const RequestFacts& r : facts.requests) released += r.left == LeftBy::Release;
        if (facts.dispatchForwardCount != released) {
            broken.push_back("DispatchForwardCount is " + std::to_string(facts.dispatchForwardCount) + " but " +
                             std::to_string(released) + " requests were released");
        }
        if (facts.writeQueued < writes[0] || facts.writeQueued > writes[1]) {
            broken.push_back("WriteQueued is " + std::to_string(facts.writeQueued) + " but " +
                             std::to_string(writes[0]) + ".." + std::to_string(writes[1]) +
                             " writes were held since the last fall");
        }
    }
    if (!facts.verifierStop && !facts.unloaded) broken.push_back("the driver was not unloaded at the end");
    return broken;
}

}  // namespace campaign
