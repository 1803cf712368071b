#include "plan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>

namespace campaign {
namespace {

using hk::kMillisecond;

// splitmix64: spreads consecutive inputs over the whole range.
std::uint64_t Mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

class Draw {
public:
    explicit Draw(std::uint64_t seed) : rng_(seed) {}
    std::uint64_t Below(std::uint64_t n) { return n == 0 ? 0 : rng_() % n; }
    bool Chance(unsigned percent) { return Below(100) < percent; }
    Time100ns Between(Time100ns low, Time100ns high) {
        return low + static_cast<Time100ns>(Below(static_cast<std::uint64_t>(high - low + 1)));
    }
    double Real(double low, double high) {
        return low + (high - low) * static_cast<double>(Below(1000001)) / 1000000.0;
    }
    template <typename T, std::size_t N>
    T Pick(const T (&choices)[N]) {
        return choices[Below(N)];
    }

private:
    std::mt19937_64 rng_;
};

// The free fall of a drop from `metres`, as the motion model has it.
Time100ns FallTime(double metres) {
    return static_cast<Time100ns>(std::sqrt(2.0 * metres / 9.80665) * hk::kSecond);
}

struct Window {
    Time100ns from;
    Time100ns to;
};

Time100ns EndOf(const Step& s) { return s.at + s.length; }

bool Lasts(ActionKind kind) {
    return kind == ActionKind::Pin || kind == ActionKind::DevicePower || kind == ActionKind::Suspend ||
           kind == ActionKind::DiskFault || kind == ActionKind::BusFault;
}

bool Overlap(const Step& a, const Step& b) { return a.at < EndOf(b) && b.at < EndOf(a); }

}  // namespace

RunSeeds RunSeeds::From(std::uint64_t run) {
    RunSeeds s;
    s.run = run;
    s.kernel = Mix(run ^ 0x6B65726E656Cull);
    s.noise = Mix(run ^ 0x6E6F697365ull) | 1;
    s.motion = Mix(run ^ 0x6D6F74696F6Eull) | 1;
    s.disk = Mix(run ^ 0x6469736Bull) | 1;
    s.plan = Mix(run ^ 0x706C616Eull);
    s.senders = Mix(run ^ 0x73656E64ull);
    return s;
}

std::string RunSeeds::ToString() const {
    char text[256];
    std::snprintf(text, sizeof text,
                  "run 0x%016llx: kernel 0x%016llx noise 0x%016llx motion 0x%016llx disk 0x%016llx plan 0x%016llx "
                  "senders 0x%016llx",
                  static_cast<unsigned long long>(run), static_cast<unsigned long long>(kernel),
                  static_cast<unsigned long long>(noise), static_cast<unsigned long long>(motion),
                  static_cast<unsigned long long>(disk), static_cast<unsigned long long>(plan),
                  static_cast<unsigned long long>(senders));
    return text;
}

std::uint64_t RunSeedOf(std::uint64_t master, std::uint64_t index) { return Mix(Mix(master) + index); }

const char* ActionName(ActionKind kind) {
    static const char* const names[] = {"drop",   "pin",         "read",         "write",       "flush",
                                        "cancel", "release-106", "switch-off-102", "switch-on-102", "write-100",
                                        "read-101", "device-power", "suspend",   "shutdown",    "remove",
                                        "disk-fault", "bus-fault"};
    static_assert(sizeof names / sizeof names[0] == static_cast<std::size_t>(ActionKind::Count), "a name per kind");
    return names[static_cast<int>(kind)];
}

std::string Step::ToString() const {
    std::ostringstream out;
    out << static_cast<double>(at) / kMillisecond << "ms " << ActionName(kind);
    switch (kind) {
    case ActionKind::Drop: out << " " << metres << "m"; break;
    case ActionKind::DevicePower: out << " D" << (value - 1); break;
    case ActionKind::DiskFault:
        out << (diskFault == DiskFaultKind::FailPark   ? " fail-park"
                : diskFault == DiskFaultKind::SlowPark ? " slow-park " + std::to_string(value) + "ms"
                                                        : " io-errors every " + std::to_string(value));
        break;
    case ActionKind::BusFault: out << (busFault == BusFaultKind::HungController ? " hung-controller" : " silent-sensor"); break;
    default: break;
    }
    if (Lasts(kind)) out << " for " << static_cast<double>(length) / kMillisecond << "ms";
    return out.str();
}

std::string Plan::ToString() const {
    std::ostringstream out;
    out << seeds.ToString() << "\n"
        << "processors " << processors << ", clock " << (clock == ClockKind::Exact ? "exact" : "windows")
        << ", preempt " << preemptPercent << "%, activity " << static_cast<double>(activity) / kMillisecond << "ms\n";
    for (const SenderPlan& s : senders) {
        out << "sender " << static_cast<double>(s.from) / kMillisecond << "ms.."
            << static_cast<double>(s.until) / kMillisecond << "ms read " << s.readPercent << "% write "
            << s.writePercent << "% flush " << s.flushPercent << "% pause <= "
            << static_cast<double>(s.maxPause) / kMillisecond << "ms\n";
    }
    for (const Step& s : steps) out << s.ToString() << "\n";
    return out.str();
}

Plan Generate(std::uint64_t runSeed) {
    Plan plan;
    plan.seeds = RunSeeds::From(runSeed);
    Draw draw(plan.seeds.plan);
    plan.processors = draw.Pick(kProcessorChoices);
    plan.clock = draw.Pick(kClockChoices);
    plan.preemptPercent = static_cast<unsigned>(2 + draw.Below(40));
    plan.activity = draw.Between(300 * kMillisecond, 2000 * kMillisecond);
    const Time100ns activity = plan.activity;

    // Falls first: commands "mid-fall" are placed inside one of them.
    std::vector<Window> falls;
    const unsigned drops = static_cast<unsigned>(draw.Below(3));
    for (unsigned i = 0; i < drops; ++i) {
        Step s;
        s.kind = ActionKind::Drop;
        s.at = draw.Between(0, activity);
        s.metres = std::round(draw.Real(0.05, 1.2) * 100.0) / 100.0;
        plan.steps.push_back(s);
        falls.push_back({s.at, s.at + FallTime(s.metres)});
    }
    const unsigned pins = static_cast<unsigned>(draw.Below(3));
    for (unsigned i = 0; i < pins; ++i) {
        Step s;
        s.kind = ActionKind::Pin;
        s.at = draw.Between(0, activity);
        s.length = draw.Between(5 * kMillisecond, 1200 * kMillisecond);
        plan.steps.push_back(s);
        falls.push_back({s.at, EndOf(s)});
    }
    auto midFallOrAnyTime = [&] {
        if (falls.empty() || draw.Chance(20)) return draw.Between(0, activity);
        const Window& w = falls[draw.Below(falls.size())];
        // Detection takes a few milliseconds: aim past it, before the end.
        return w.from + (w.to - w.from) * static_cast<Time100ns>(20 + draw.Below(75)) / 100 + kMillisecond;
    };
    auto add = [&](ActionKind kind, Time100ns at, Time100ns length = 0) -> Step& {
        Step s;
        s.kind = kind;
        s.at = at;
        s.length = length;
        plan.steps.push_back(s);
        return plan.steps.back();
    };

    if (draw.Chance(35)) add(ActionKind::Release106, midFallOrAnyTime());
    if (draw.Chance(25)) add(ActionKind::SwitchOff102, midFallOrAnyTime());
    if (draw.Chance(30)) add(ActionKind::SwitchOn102, draw.Between(0, activity));
    if (draw.Chance(25)) add(ActionKind::Write100, draw.Between(0, activity));
    if (draw.Chance(25)) add(ActionKind::Read101, midFallOrAnyTime());
    // Power changes of the disk and of the system take turns: at most one
    // of them at a time.
    std::vector<Step> power;
    if (draw.Chance(20)) {
        Step s;
        s.kind = ActionKind::DevicePower;
        s.at = draw.Between(0, activity);
        s.length = draw.Between(20 * kMillisecond, 800 * kMillisecond);
        s.value = static_cast<unsigned>(2 + draw.Below(3));
        power.push_back(s);
    }
    if (draw.Chance(12)) {
        Step s;
        s.kind = ActionKind::Suspend;
        s.at = draw.Between(0, activity);
        s.length = draw.Between(50 * kMillisecond, 1000 * kMillisecond);
        if (power.empty() || !Overlap(power.front(), s)) power.push_back(s);
    }
    plan.steps.insert(plan.steps.end(), power.begin(), power.end());
    if (draw.Chance(8)) add(ActionKind::Shutdown, draw.Between(0, activity));
    if (draw.Chance(20)) {
        Step& s = add(ActionKind::DiskFault, draw.Between(0, activity), draw.Between(100 * kMillisecond, 1500 * kMillisecond));
        s.diskFault = static_cast<DiskFaultKind>(draw.Below(3));
        s.value = s.diskFault == DiskFaultKind::SlowPark ? static_cast<unsigned>(50 + draw.Below(550))
                  : s.diskFault == DiskFaultKind::IoErrors ? static_cast<unsigned>(2 + draw.Below(5))
                                                           : 0;
    }
    if (draw.Chance(15)) {
        Step& s = add(ActionKind::BusFault, midFallOrAnyTime(), draw.Between(20 * kMillisecond, 800 * kMillisecond));
        s.busFault = static_cast<BusFaultKind>(draw.Below(2));
    }

    std::stable_sort(plan.steps.begin(), plan.steps.end(), [](const Step& a, const Step& b) { return a.at < b.at; });
    // Removal ends the disk's story: it comes after everything else is over.
    if (draw.Chance(8)) {
        Time100ns last = 0;
        for (const Step& s : plan.steps) last = std::max(last, EndOf(s));
        add(ActionKind::Remove, last + draw.Between(0, 300 * kMillisecond));
    }

    const unsigned senders = static_cast<unsigned>(1 + draw.Below(4));
    for (unsigned i = 0; i < senders; ++i) {
        SenderPlan s;
        s.seed = plan.seeds.senders + i;
        s.from = draw.Between(0, activity / 2);
        s.until = draw.Between(s.from + 50 * kMillisecond, activity + 200 * kMillisecond);
        s.readPercent = static_cast<unsigned>(20 + draw.Below(30));
        s.writePercent = static_cast<unsigned>(20 + draw.Below(25));
        s.flushPercent = static_cast<unsigned>(draw.Below(std::min<unsigned>(100 - s.readPercent - s.writePercent, 15)));
        s.maxPause = draw.Between(2 * kMillisecond, 60 * kMillisecond);
        plan.senders.push_back(s);
    }
    return plan;
}

std::optional<std::string> Validate(const Plan& plan) {
    auto bad = [](const std::string& what) { return std::optional<std::string>("invalid plan: " + what); };
    if (std::find(std::begin(kProcessorChoices), std::end(kProcessorChoices), plan.processors) ==
        std::end(kProcessorChoices)) {
        return bad("the kernel has no " + std::to_string(plan.processors) + "-processor machine");
    }
    if (std::find(std::begin(kClockChoices), std::end(kClockChoices), plan.clock) == std::end(kClockChoices)) {
        return bad("the kernel does not keep that clock");
    }
    if (plan.preemptPercent > 100) return bad("preemption above 100%");
    const Step* powered = nullptr;  // the last power change, device or system
    const Step* removal = nullptr;
    for (std::size_t i = 0; i < plan.steps.size(); ++i) {
        const Step& s = plan.steps[i];
        const std::string which = "step \"" + s.ToString() + "\": ";
        if (s.at < 0) return bad(which + "before boot ended");
        if (i > 0 && s.at < plan.steps[i - 1].at) return bad(which + "out of time order");
        if (Lasts(s.kind) != (s.length > 0)) return bad(which + "a length only and always for lasting actions");
        if (removal != nullptr) return bad(which + "after the disk was removed");
        switch (s.kind) {
        case ActionKind::Drop:
            if (!(s.metres > 0.0 && s.metres <= 3.0)) return bad(which + "height outside 0..3 m");
            break;
        case ActionKind::Read:
        case ActionKind::Write:
        case ActionKind::Flush:
        case ActionKind::Cancel:
        case ActionKind::Count: return bad(which + "senders' actions are not steps");
        case ActionKind::DevicePower:
        case ActionKind::Suspend:
            if (s.kind == ActionKind::DevicePower && (s.value < 2 || s.value > 4)) return bad(which + "not D1..D3");
            if (powered != nullptr && Overlap(*powered, s)) return bad(which + "overlaps another power change");
            powered = &s;
            break;
        case ActionKind::Remove:
            for (const Step& other : plan.steps) {
                if (&other != &s && EndOf(other) > s.at) return bad(which + "while \"" + other.ToString() + "\" lasts");
            }
            removal = &s;
            break;
        default: break;
        }
    }
    for (const SenderPlan& s : plan.senders) {
        if (s.from < 0 || s.until <= s.from) return bad("a sender with an empty time span");
        if (s.readPercent + s.writePercent + s.flushPercent > 100) return bad("a sender's percentages above 100");
        if (s.maxPause <= 0) return bad("a sender that never pauses");
    }
    if (plan.senders.empty()) return bad("no sender");
    return std::nullopt;
}

}  // namespace campaign
