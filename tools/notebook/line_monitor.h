// Watches the sensor's interrupt line at the GPIO level register and keeps
// its edges. A kernel timer DPC looks every sample period; the pin actions
// look at once. A rise caused by the sensor is dated at the sensor sample
// that raised its request, so the rise times are exact whatever the period.
#pragma once

#include "hw/chipset.h"

#include <ntddk.h>

#include <functional>
#include <vector>

namespace notebook {

struct LineEdge {
    hk::Time100ns t = 0;
    bool high = false;
    bool forced = false;  // a pin action moved the line, not the sensor
};

class LineMonitor {
public:
    explicit LineMonitor(hw::Chipset& chipset);
    LineMonitor(const LineMonitor&) = delete;
    LineMonitor& operator=(const LineMonitor&) = delete;

    // The following run on an emulated thread (PASSIVE_LEVEL) or in a DPC.
    void Start(hk::Time100ns period);
    void Stop();
    // Tells the monitor that a pin action changed who drives the line; the
    // next Check dates an edge at its own time.
    void SetForced(bool forced) {
        forced_ = forced;
        force_changed_ = true;
    }
    void Check();

    // Called for each edge, in the processor's context.
    void OnEdge(std::function<void(const LineEdge&)> callback) { on_edge_ = std::move(callback); }
    const std::vector<LineEdge>& Edges() const { return edges_; }
    std::size_t Rises() const;

private:
    static VOID TimerDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
    void Arm();

    hw::Chipset& chipset_;
    KTIMER timer_{};
    KDPC dpc_{};
    hk::Time100ns period_ = 0;
    bool running_ = false;
    bool forced_ = false;
    bool force_changed_ = false;
    bool level_ = false;
    hk::Time100ns last_check_ = 0;
    std::vector<LineEdge> edges_;
    std::function<void(const LineEdge&)> on_edge_;
};

}  // namespace notebook
