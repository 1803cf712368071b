#include "drop_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

namespace notebook {

namespace {

constexpr hk::Time100ns kBefore = 100 * hk::kMillisecond;
constexpr hk::Time100ns kAfter = 200 * hk::kMillisecond;
constexpr hk::Time100ns kLongest = 6 * hk::kSecond;
// Impacts reach tens of g; the scale stops here so free fall and 1 g stay readable.
constexpr double kMaxScaleG = 4.0;

// Page layout (pixels).
constexpr double kWidth = 960, kHeight = 620;
constexpr double kLeft = 78, kRight = 24;
struct Panel {
    double top, bottom;
};
constexpr Panel kAccelPanel{108, 318};
constexpr Panel kLinePanel{350, 400};
constexpr Panel kRequestPanel{432, 552};

const char* kAccelColour = "#1f77b4";
const char* kLineColour = "#6a3d9a";
const char* kRequestColour = "#7f7f7f";
const char* kReleaseColour = "#000000";
const char* kParkColour = "#ff7f0e";
const char* kHeadsColour = "#2ca02c";
const char* kImpactColour = "#d62728";
const char* kFallShade = "#deebf7";

double Ms(hk::Time100ns t) { return static_cast<double>(t) / hk::kMillisecond; }

std::string Num(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        default: out += c;
        }
    }
    return out;
}

// A tick step of 1, 2 or 5 times a power of ten that gives at most `most` ticks.
double TickStep(double span, int most) {
    double step = std::pow(10.0, std::floor(std::log10(std::max(span, 1e-9) / most)));
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        if (span / (step * m) <= most) return step * m;
    }
    return step * 10;
}

class Page {
public:
    Page(double x0, double x1) : x0_(x0), x1_(x1) {}
    double X(double ms) const { return kLeft + (ms - x0_) / (x1_ - x0_) * (kWidth - kLeft - kRight); }
    static double Y(const Panel& p, double v, double vmax) { return p.bottom - v / vmax * (p.bottom - p.top); }

    void Add(const std::string& element) { svg_ += element + "\n"; }
    void Text(double x, double y, const std::string& text, const char* anchor = "start", int size = 12,
              const char* weight = "normal", const char* colour = "#222") {
        Add("<text x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" font-size=\"" + std::to_string(size) +
            "\" font-weight=\"" + weight + "\" fill=\"" + colour + "\" text-anchor=\"" + anchor + "\">" +
            Escape(text) + "</text>");
    }
    void Line(double x1, double y1, double x2, double y2, const char* colour, double width = 1,
              const char* dash = nullptr) {
        Add("<line x1=\"" + Num(x1) + "\" y1=\"" + Num(y1) + "\" x2=\"" + Num(x2) + "\" y2=\"" + Num(y2) +
            "\" stroke=\"" + colour + "\" stroke-width=\"" + Num(width) + "\"" +
            (dash ? std::string(" stroke-dasharray=\"") + dash + "\"" : std::string()) + "/>");
    }
    void Polyline(const std::vector<std::pair<double, double>>& points, const char* colour, double width,
                  const char* fill = "none") {
        std::string d;
        for (const auto& [x, y] : points) d += Num(x) + "," + Num(y) + " ";
        Add("<polyline points=\"" + d + "\" fill=\"" + fill + "\" stroke=\"" + colour + "\" stroke-width=\"" +
            Num(width) + "\" stroke-linejoin=\"round\"/>");
    }
    void Rect(double x, double y, double w, double h, const char* fill, const char* stroke = "none") {
        Add("<rect x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"" + Num(std::max(w, 0.0)) + "\" height=\"" +
            Num(std::max(h, 0.0)) + "\" fill=\"" + fill + "\" stroke=\"" + stroke + "\"/>");
    }

    // Frame, horizontal grid and value labels of a panel.
    void PanelFrame(const Panel& p, double vmax, double step, const std::string& unit, const std::string& title) {
        for (double v = 0; v <= vmax + 1e-9; v += step) {
            double y = Y(p, v, vmax);
            Line(kLeft, y, kWidth - kRight, y, "#e5e5e5");
            char label[32];
            std::snprintf(label, sizeof label, step < 1 ? "%.1f" : "%.0f", v);
            Text(kLeft - 6, y + 4, label, "end", 11);
        }
        Rect(kLeft, p.top, kWidth - kLeft - kRight, p.bottom - p.top, "none", "#444");
        Text(kLeft + 6, p.top - 6, title, "start", 12, "bold");
        // The unit, turned along the axis.
        double mid = (p.top + p.bottom) / 2;
        Add("<text x=\"16\" y=\"" + Num(mid) + "\" font-size=\"11\" fill=\"#222\" text-anchor=\"middle\" "
            "transform=\"rotate(-90 16 " + Num(mid) + ")\">" + Escape(unit) + "</text>");
    }

    std::string Finish() const {
        return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(kWidth) + "\" height=\"" + Num(kHeight) +
               "\" viewBox=\"0 0 " + Num(kWidth) + " " + Num(kHeight) + "\" font-family=\"DejaVu Sans, sans-serif\">\n" +
               "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n" + svg_ + "</svg>\n";
    }

private:
    double x0_, x1_;
    std::string svg_;
};

}  // namespace

std::pair<hk::Time100ns, hk::Time100ns> DropSpan(const hw::DropFacts& drop,
                                                 const std::vector<std::pair<hk::Time100ns, hk::Time100ns>>& requests,
                                                 hk::Time100ns limit) {
    hk::Time100ns end = std::max(drop.settled, drop.impact);
    for (const auto& [sent, completed] : requests) {
        if (sent >= drop.fall_start && sent < drop.settled && completed != DropTimeline::kPending) {
            end = std::max(end, completed);
        }
    }
    end = std::min({end + kAfter, drop.fall_start + kLongest, std::max(limit, drop.fall_start + kAfter)});
    return {drop.fall_start - std::min(kBefore, drop.fall_start), end};
}

void SampleMagnitude(const hw::MotionModel& motion, DropTimeline& timeline, hk::Time100ns step) {
    timeline.magnitude_g.clear();
    for (hk::Time100ns t = timeline.from; t <= timeline.to; t += step) {
        timeline.magnitude_g.emplace_back(t, hw::Magnitude(motion.Sample(t)));
    }
}

DropTimeline CutTimeline(int number, const hw::DropFacts& drop, hk::Time100ns from, hk::Time100ns to,
                         const std::vector<LineEdge>& edges, const std::vector<hk::Time100ns>& parks,
                         const std::vector<hk::Time100ns>& headsOff, const std::vector<hk::Time100ns>& headsOn,
                         const std::vector<hk::Time100ns>& mediaWhileFalling,
                         const std::vector<std::pair<hk::Time100ns, hk::Time100ns>>& requests) {
    DropTimeline t;
    t.number = number;
    t.drop = drop;
    t.from = from;
    t.to = to;
    auto within = [&](hk::Time100ns at) { return at >= from && at <= to; };
    for (const LineEdge& e : edges) {
        if (e.t < from) t.line_high_before = e.high;
        if (within(e.t)) t.edges.push_back(e);
    }
    for (hk::Time100ns p : parks) {
        if (within(p)) t.parks.push_back(p);
    }
    std::optional<hk::Time100ns> lastOff, lastOn;
    for (hk::Time100ns h : headsOff) {
        if (within(h)) t.heads_off.push_back(h);
        if (h < from && (!lastOff || h > *lastOff)) lastOff = h;
    }
    for (hk::Time100ns h : headsOn) {
        if (h < from && (!lastOn || h > *lastOn)) lastOn = h;
    }
    t.heads_off_before = lastOff && (!lastOn || *lastOn < *lastOff);
    for (hk::Time100ns m : mediaWhileFalling) {
        if (within(m)) t.media_io_while_falling.push_back(m);
    }
    for (const auto& r : requests) {
        if (r.first <= to && r.second >= from) t.requests.push_back(r);
    }
    return t;
}

std::string DropPlotName(int number) {
    char name[32];
    std::snprintf(name, sizeof name, "drop-%02d.svg", number);
    return name;
}

std::string DropTimelineSvg(const DropTimeline& tl) {
    const hk::Time100ns zero = tl.drop.fall_start;
    auto rel = [&](hk::Time100ns t) { return Ms(t - zero); };
    const double x0 = rel(tl.from), x1 = std::max(rel(tl.to), x0 + 1);
    Page page(x0, x1);
    auto clampX = [&](double ms) { return page.X(std::clamp(ms, x0, x1)); };

    // Title and the facts in one line.
    char title[160];
    std::snprintf(title, sizeof title, "Drop %d: %.2f m, free fall %.0f ms", tl.number, tl.drop.height_m,
                  Ms(tl.drop.impact - tl.drop.fall_start));
    page.Text(kLeft, 26, title, "start", 17, "bold");
    std::string facts;
    auto first = [](const std::vector<hk::Time100ns>& v) { return v.empty() ? -1 : *std::min_element(v.begin(), v.end()); };
    std::optional<hk::Time100ns> rise;
    for (const LineEdge& e : tl.edges) {
        if (e.high && !rise) rise = e.t;
    }
    const hk::Time100ns park = first(tl.parks), off = first(tl.heads_off);
    facts += rise ? "line up " + Num(rel(*rise)) + " ms" : std::string("line not up");
    facts += park >= 0 ? ", park command " + Num(rel(park)) + " ms" : std::string(", no park command");
    if (off >= 0) {
        facts += ", heads off the media " + Num(rel(off)) + " ms (" +
                 (off <= tl.drop.impact ? "before" : "after") + " the impact at " +
                 Num(rel(tl.drop.impact)) + " ms)";
    } else if (tl.heads_off_before) {
        facts += ", heads off the media already (parked before the release)";
    } else {
        facts += ", heads not parked";
    }
    if (!tl.media_io_while_falling.empty()) {
        facts += ", " + std::to_string(tl.media_io_while_falling.size()) + " media access(es) while falling";
    }
    page.Text(kLeft, 46, facts, "start", 12);

    // Legend.
    struct Key {
        const char* colour;
        const char* dash;
        const char* text;
    };
    const Key keys[] = {{kReleaseColour, "4,3", "release"},
                        {kParkColour, nullptr, "park command at the disk"},
                        {kHeadsColour, nullptr, "heads off the media"},
                        {kImpactColour, nullptr, "impact"},
                        {kImpactColour, "2,3", "bounce"}};
    double lx = kLeft;
    for (const Key& k : keys) {
        page.Line(lx, 68, lx + 22, 68, k.colour, 2.5, k.dash);
        page.Text(lx + 27, 72, k.text, "start", 11);
        lx += 34 + 6.4 * std::char_traits<char>::length(k.text);
    }
    page.Rect(lx, 62, 22, 12, kFallShade, "#9ecae1");
    page.Text(lx + 27, 72, "free fall", "start", 11);

    // Free fall shaded in every panel.
    for (const Panel& p : {kAccelPanel, kLinePanel, kRequestPanel}) {
        double a = clampX(rel(tl.drop.fall_start)), b = clampX(rel(tl.drop.impact));
        page.Rect(a, p.top, b - a, p.bottom - p.top, kFallShade);
    }

    // Acceleration magnitude.
    double peak = 0;
    for (const auto& s : tl.magnitude_g) peak = std::max(peak, s.second);
    const double gMax = std::min(kMaxScaleG, std::max(2.0, std::ceil(peak)));
    page.PanelFrame(kAccelPanel, gMax, gMax > 2 ? 1.0 : 0.5, "acceleration (g)",
                    "acceleration magnitude" + (peak > gMax ? " (peaks beyond " + Num(gMax) + " g cut off; highest " +
                                                                 Num(peak) + " g)"
                                                           : std::string()));
    std::vector<std::pair<double, double>> points;
    for (const auto& [t, g] : tl.magnitude_g) {
        points.emplace_back(page.X(rel(t)), Page::Y(kAccelPanel, std::min(g, gMax), gMax));
    }
    page.Polyline(points, kAccelColour, 1.5);
    page.Line(kLeft, Page::Y(kAccelPanel, 1, gMax), kWidth - kRight, Page::Y(kAccelPanel, 1, gMax), "#9e9e9e", 1,
              "6,4");
    page.Text(kWidth - kRight - 4, Page::Y(kAccelPanel, 1, gMax) - 4, "1 g at rest", "end", 10, "normal", "#777");

    // Interrupt line.
    page.Rect(kLeft, kLinePanel.top, kWidth - kLeft - kRight, kLinePanel.bottom - kLinePanel.top, "none", "#444");
    page.Text(kLeft + 6, kLinePanel.top - 6, "sensor interrupt line", "start", 12, "bold");
    page.Text(kLeft - 6, kLinePanel.top + 12, "high", "end", 11);
    page.Text(kLeft - 6, kLinePanel.bottom - 2, "low", "end", 11);
    auto lineY = [&](bool high) { return high ? kLinePanel.top + 8 : kLinePanel.bottom - 8; };
    points.clear();
    bool level = tl.line_high_before;
    points.emplace_back(page.X(x0), lineY(level));
    for (const LineEdge& e : tl.edges) {
        points.emplace_back(page.X(rel(e.t)), lineY(level));
        level = e.high;
        points.emplace_back(page.X(rel(e.t)), lineY(level));
    }
    points.emplace_back(page.X(x1), lineY(level));
    page.Polyline(points, kLineColour, 2);

    // Requests waiting: sent and not completed, at each moment.
    std::vector<std::pair<hk::Time100ns, int>> steps;
    for (const auto& [sent, completed] : tl.requests) {
        steps.emplace_back(sent, +1);
        if (completed != DropTimeline::kPending) steps.emplace_back(completed, -1);
    }
    std::sort(steps.begin(), steps.end());
    int waiting = 0, most = 0;
    std::vector<std::pair<hk::Time100ns, int>> counts;  // the count from this time on
    for (const auto& [t, d] : steps) {
        waiting += d;
        most = std::max(most, waiting);
        if (!counts.empty() && counts.back().first == t) {
            counts.back().second = waiting;
        } else {
            counts.emplace_back(t, waiting);
        }
    }
    const double step = TickStep(std::max(most, 1), 4);
    const double rMax = std::max(step, std::ceil(std::max(most, 1) / step) * step);
    page.PanelFrame(kRequestPanel, rMax, step, "requests",
                    "disk requests waiting (sent, not completed: held by ZHP or in the disk)");
    points.clear();
    int now = 0;
    points.emplace_back(page.X(x0), Page::Y(kRequestPanel, 0, rMax));
    for (const auto& [t, c] : counts) {
        double x = clampX(rel(t));
        points.emplace_back(x, Page::Y(kRequestPanel, now, rMax));
        now = c;
        points.emplace_back(x, Page::Y(kRequestPanel, now, rMax));
    }
    points.emplace_back(page.X(x1), Page::Y(kRequestPanel, now, rMax));
    points.emplace_back(page.X(x1), Page::Y(kRequestPanel, 0, rMax));
    page.Polyline(points, kRequestColour, 1.5, "#d9d9d9");
    for (hk::Time100ns m : tl.media_io_while_falling) {
        double x = clampX(rel(m));
        page.Line(x, kRequestPanel.bottom - 10, x, kRequestPanel.bottom, kImpactColour, 2);
    }

    // Markers across the panels.
    auto marker = [&](hk::Time100ns t, const char* colour, double width, const char* dash) {
        if (t < tl.from || t > tl.to) return;
        double x = page.X(rel(t));
        for (const Panel& p : {kAccelPanel, kLinePanel, kRequestPanel}) page.Line(x, p.top, x, p.bottom, colour, width, dash);
    };
    marker(tl.drop.fall_start, kReleaseColour, 1.5, "4,3");
    for (const auto& b : tl.drop.bounces) marker(b.land, kImpactColour, 1.2, "2,3");
    marker(tl.drop.impact, kImpactColour, 2, nullptr);
    for (hk::Time100ns p : tl.parks) marker(p, kParkColour, 2, nullptr);
    for (hk::Time100ns h : tl.heads_off) marker(h, kHeadsColour, 2, nullptr);

    // Time axis.
    const double tick = TickStep(x1 - x0, 12);
    for (double ms = std::ceil(x0 / tick) * tick; ms <= x1 + 1e-9; ms += tick) {
        double x = page.X(ms);
        page.Line(x, kRequestPanel.bottom, x, kRequestPanel.bottom + 5, "#444");
        char label[32];
        std::snprintf(label, sizeof label, "%.0f", std::abs(ms) < tick / 2 ? 0.0 : ms);
        page.Text(x, kRequestPanel.bottom + 18, label, "middle", 11);
    }
    page.Text((kLeft + kWidth - kRight) / 2, kRequestPanel.bottom + 40, "time since release (ms)", "middle", 12);
    return page.Finish();
}

}  // namespace notebook
