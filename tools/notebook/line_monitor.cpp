#include "line_monitor.h"

#include <hostkernel/kernel.h>

#include <algorithm>

namespace notebook {

LineMonitor::LineMonitor(hw::Chipset& chipset) : chipset_(chipset) {}

void LineMonitor::Start(hk::Time100ns period) {
    period_ = period;
    KeInitializeTimer(&timer_);
    hk::MarkTimerExact(&timer_);  // the world's look, not a Windows timer
    KeInitializeDpc(&dpc_, TimerDpc, this);
    running_ = true;
    Check();
    Arm();
}

void LineMonitor::Stop() {
    running_ = false;
    KeCancelTimer(&timer_);
    KeRemoveQueueDpc(&dpc_);
}

void LineMonitor::Arm() {
    LARGE_INTEGER due;
    due.QuadPart = -period_;
    // Edges are dated by the sensor's samples, not by this look, so the look
    // may wait up to a period to share a wake-up with other timers (in real
    // time it otherwise costs a wake-up of its own every period).
    const auto tolerance = static_cast<ULONG>((period_ + hk::kMillisecond - 1) / hk::kMillisecond);
    KeSetCoalescableTimer(&timer_, due, 0, tolerance, &dpc_);
}

VOID LineMonitor::TimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<LineMonitor*>(context);
    if (!self->running_) return;
    self->Check();
    self->Arm();
}

void LineMonitor::Check() {
    const hk::Time100ns now = hk::Kernel::Current().Now();
    hw::GpioLevelRegister& gpio = chipset_.Gpio();
    const bool high = (gpio.Level() & gpio.PinMask()) != 0;
    if (high != level_) {
        const bool byPin = forced_ || force_changed_;
        LineEdge edge{now, high, byPin};
        // A rise is dated at the sample that raised the request: later
        // samples may have come before this look.
        const hw::AccelerationSensor& sensor = chipset_.Sensor();
        const hk::Time100ns sample = high ? sensor.RequestRoseAt() : sensor.LatestSampleTime();
        if (!byPin && sample > last_check_ && sample <= now) edge.t = sample;
        edges_.push_back(edge);
        level_ = high;
        if (on_edge_) on_edge_(edge);
    }
    last_check_ = now;
    force_changed_ = false;
}

std::size_t LineMonitor::Rises() const {
    return static_cast<std::size_t>(std::count_if(edges_.begin(), edges_.end(), [](const LineEdge& e) { return e.high; }));
}

}  // namespace notebook
