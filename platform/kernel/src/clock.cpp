// The clock interrupt and the timer resolution.
//
// Windows expires timers, ends timed waits and updates the interrupt time
// and the system time only at its clock interrupt. The interrupt comes every
// 15.625 ms until a driver asks for a finer resolution with
// ExSetTimerResolution; the finest request held wins, down to 0.5 ms, and
// the default comes back once every request is released. A new period takes
// effect at the next interrupt of the old one.
//
// Interrupts are not events here: the time of the interrupt at or after (or
// at or before) any moment follows from the grid they fall on, so virtual
// time still jumps straight to the next expiry and real time sleeps until
// it. The exact clock (ClockInterrupt::Exact) has an interrupt at every
// moment. Hardware models and the simulated world keep exact time through
// hk::MarkTimerExact and Kernel::Now().
#include "kernel_internal.h"

using hk::K;
using hk::Time100ns;
using Impl = hk::Kernel::Impl;

namespace {

// Floor and ceiling of a division by a positive divisor, for any sign of
// the dividend.
Time100ns FloorDiv(Time100ns a, Time100ns b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
Time100ns CeilDiv(Time100ns a, Time100ns b) { return -FloorDiv(-a, b); }

Time100ns UpOnGrid(const Impl::TickGrid& g, Time100ns t) {
    return g.anchor + CeilDiv(t - g.anchor, g.increment) * g.increment;
}

Time100ns DownOnGrid(const Impl::TickGrid& g, Time100ns t) {
    return g.anchor + FloorDiv(t - g.anchor, g.increment) * g.increment;
}

}  // namespace

Time100ns Impl::TickAtOrAfter(Time100ns t) const {
    if (ExactClock()) return t;
    if (t >= tickGrid.anchor) return UpOnGrid(tickGrid, t);
    return std::min(UpOnGrid(previousGrid, t), tickGrid.anchor);
}

Time100ns Impl::TickAtOrBefore(Time100ns t) const {
    if (ExactClock()) return t;
    if (t >= tickGrid.anchor) return DownOnGrid(tickGrid, t);
    return DownOnGrid(previousGrid, t);
}

void Impl::SetIncrement(Time100ns increment) {
    if (ExactClock() || increment == tickGrid.increment) return;
    const Time100ns t = clock.Now();
    const Time100ns next = TickAtOrAfter(t + 1);
    // A change still waiting for its first interrupt is replaced; the grid
    // before it stays the one in force.
    if (t >= tickGrid.anchor) previousGrid = tickGrid;
    tickGrid.anchor = next;
    tickGrid.increment = increment;
}

Time100ns Impl::ExpiryOf(const KTIMER* timer) const {
    const auto due = static_cast<Time100ns>(timer->DueTime.QuadPart);
    if (timer->HostExact) return due;
    if (timer->Header.Type == kWaitTimeoutTimer && reinterpret_cast<const _KTHREAD*>(timer->Dpc)->external) {
        return due;  // the host observing the machine is no Windows thread
    }
    return TickAtOrAfter(due);
}

namespace hk {

void MarkTimerExact(PKTIMER timer) { timer->HostExact = TRUE; }

ULONG Kernel::TimerResolution() const {
    return impl_->ExactClock() ? 0 : static_cast<ULONG>(impl_->tickGrid.increment);
}

}  // namespace hk

extern "C" {

ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution) {
    Impl& k = K();
    k.RequireIrql("ExSetTimerResolution", APC_LEVEL);
    _KTHREAD* self = k.current;
    PDRIVER_OBJECT driver = self != nullptr && self->ownerDriver != nullptr ? self->ownerDriver : k.currentDriver;
    if (SetResolution) {
        // Below the finest the clock supports, the finest is granted; a
        // coarser request than the one in force changes nothing, but it is
        // a request all the same and is released like one.
        k.resolutionRequests++;
        k.resolutionHolders[driver]++;
        const ULONG wanted = std::max(DesiredTime, hk::kMinimumTimeIncrement);
        if (wanted < k.grantedIncrement) k.grantedIncrement = wanted;
    } else {
        // A release without a request of the caller's changes nothing.
        auto it = k.resolutionHolders.find(driver);
        if (it != k.resolutionHolders.end() && it->second > 0) {
            if (--it->second == 0) k.resolutionHolders.erase(it);
            if (--k.resolutionRequests == 0) k.grantedIncrement = hk::kDefaultTimeIncrement;
        }
    }
    const ULONG inEffect = k.options.lockTimerResolution ? hk::kDefaultTimeIncrement : k.grantedIncrement;
    k.SetIncrement(inEffect);
    return inEffect;
}

// The tick count and its increment stay in units of the default period,
// whatever the resolution, as on Windows.
ULONG KeQueryTimeIncrement(VOID) { return hk::kDefaultTimeIncrement; }

VOID KeQueryTickCount(PLARGE_INTEGER TickCount) {
    TickCount->QuadPart = K().InterruptTime() / hk::kDefaultTimeIncrement;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = K().bootSystemTime + K().InterruptTime();
}

ULONGLONG KeQueryInterruptTime(VOID) { return static_cast<ULONGLONG>(K().InterruptTime()); }

}  // extern "C"
