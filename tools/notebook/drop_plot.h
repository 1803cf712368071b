// A picture of one drop: an SVG timeline of what the protection table sums
// up. Three panels share the time axis (milliseconds since the release):
// the acceleration magnitude, the sensor's interrupt line, and the disk
// requests waiting (sent, not yet completed) — the ones ZHP holds back
// during a fall show as a plateau that ends at their release. Vertical
// markers: the release, the park command reaching the disk, the heads
// leaving the media, the impact and the bounces.
#pragma once

#include "line_monitor.h"

#include "hw/motion_model.h"

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace notebook {

struct DropTimeline {
    int number = 0;
    hw::DropFacts drop;
    hk::Time100ns from = 0, to = 0;  // the span shown
    std::vector<std::pair<hk::Time100ns, double>> magnitude_g;  // in time order
    bool line_high_before = false;  // the line's level at `from`
    std::vector<LineEdge> edges;    // edges within the span
    std::vector<hk::Time100ns> parks;      // park commands reaching a disk
    std::vector<hk::Time100ns> heads_off;  // heads onto the ramp
    bool heads_off_before = false;         // already on the ramp at `from`
    std::vector<hk::Time100ns> media_io_while_falling;
    // Requests by the time they were sent and completed (kPending: not yet).
    static constexpr hk::Time100ns kPending = std::numeric_limits<hk::Time100ns>::max();
    std::vector<std::pair<hk::Time100ns, hk::Time100ns>> requests;
};

// The span to show for a drop: from a little before the release to a little
// after it settled and the requests sent during it completed, at most
// `limit` (the next drop's release).
std::pair<hk::Time100ns, hk::Time100ns> DropSpan(const hw::DropFacts& drop,
                                                 const std::vector<std::pair<hk::Time100ns, hk::Time100ns>>& requests,
                                                 hk::Time100ns limit);

// Fills the timeline's magnitude by sampling the motion every `step`.
void SampleMagnitude(const hw::MotionModel& motion, DropTimeline& timeline, hk::Time100ns step = hk::kMillisecond);

// Keeps only what falls into [from, to] (requests that overlap it), the
// line's level before it and whether the heads were off the media then
// (`headsOn`: the heads loaded onto the media again).
DropTimeline CutTimeline(int number, const hw::DropFacts& drop, hk::Time100ns from, hk::Time100ns to,
                         const std::vector<LineEdge>& edges, const std::vector<hk::Time100ns>& parks,
                         const std::vector<hk::Time100ns>& headsOff, const std::vector<hk::Time100ns>& headsOn,
                         const std::vector<hk::Time100ns>& mediaWhileFalling,
                         const std::vector<std::pair<hk::Time100ns, hk::Time100ns>>& requests);

std::string DropTimelineSvg(const DropTimeline& timeline);

// "drop-01.svg"
std::string DropPlotName(int number);

}  // namespace notebook
