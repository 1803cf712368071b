// A drop's timeline picture: what it shows, from the span it covers to the
// facts written on it.
#include "drop_plot.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using notebook::DropTimeline;
constexpr hk::Time100ns kMs = hk::kMillisecond;

hw::DropFacts Drop(hk::Time100ns at, hk::Time100ns fallMs, hk::Time100ns settleMs) {
    hw::DropFacts d;
    d.height_m = 0.8;
    d.fall_start = at;
    d.impact = at + fallMs * kMs;
    d.bounces.push_back({d.impact + 50 * kMs, d.impact + 120 * kMs});
    d.settled = at + settleMs * kMs;
    return d;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(DropPlot, TheSpanCoversTheDropAndTheRequestsSentDuringIt) {
    const hw::DropFacts d = Drop(2000 * kMs, 400, 900);
    struct Case {
        const char* name;
        std::vector<std::pair<hk::Time100ns, hk::Time100ns>> requests;
        hk::Time100ns limit;
        hk::Time100ns from, to;
    };
    const Case cases[] = {
        {"no requests: settled plus 200 ms", {}, 60000 * kMs, 1900 * kMs, 3100 * kMs},
        {"a request held to 5 s", {{2100 * kMs, 5000 * kMs}}, 60000 * kMs, 1900 * kMs, 5200 * kMs},
        {"one sent before the drop does not stretch it", {{1500 * kMs, 7000 * kMs}}, 60000 * kMs, 1900 * kMs,
         3100 * kMs},
        {"pending requests do not stretch it", {{2100 * kMs, DropTimeline::kPending}}, 60000 * kMs, 1900 * kMs,
         3100 * kMs},
        {"the next drop ends it", {{2100 * kMs, 5000 * kMs}}, 4000 * kMs, 1900 * kMs, 4000 * kMs},
        {"at most six seconds", {{2100 * kMs, 30000 * kMs}}, 60000 * kMs, 1900 * kMs, 8000 * kMs},
    };
    for (const Case& c : cases) {
        auto [from, to] = notebook::DropSpan(d, c.requests, c.limit);
        EXPECT_EQ(from, c.from) << c.name;
        EXPECT_EQ(to, c.to) << c.name;
    }
    // A drop right after power-on starts the picture at 0.
    EXPECT_EQ(notebook::DropSpan(Drop(30 * kMs, 400, 900), {}, 60000 * kMs).first, 0);
}

TEST(DropPlot, TheCutKeepsWhatFallsIntoTheSpanAndTheLinesLevelBefore) {
    const hw::DropFacts d = Drop(2000 * kMs, 400, 900);
    const std::vector<notebook::LineEdge> edges = {
        {500 * kMs, true, true}, {2015 * kMs, false, false}, {2020 * kMs, true, false}, {9000 * kMs, false, false}};
    DropTimeline t = notebook::CutTimeline(
        3, d, 1900 * kMs, 3100 * kMs, edges, {1000 * kMs, 2030 * kMs}, {2250 * kMs, 8000 * kMs}, {}, {2100 * kMs},
        {{1000 * kMs, 1100 * kMs}, {1800 * kMs, 2200 * kMs}, {2500 * kMs, DropTimeline::kPending}, {4000 * kMs, 4100 * kMs}});
    EXPECT_EQ(t.number, 3);
    EXPECT_TRUE(t.line_high_before);  // forced up at 500 ms and not down before the span
    ASSERT_EQ(t.edges.size(), 2u);
    EXPECT_EQ(t.parks, std::vector<hk::Time100ns>{2030 * kMs});
    EXPECT_EQ(t.heads_off, std::vector<hk::Time100ns>{2250 * kMs});
    EXPECT_EQ(t.media_io_while_falling.size(), 1u);
    ASSERT_EQ(t.requests.size(), 2u);  // the ones overlapping the span
    EXPECT_EQ(t.requests[0].first, 1800 * kMs);
    EXPECT_FALSE(t.heads_off_before);
}

TEST(DropPlot, HeadsParkedBeforeTheReleaseAreSeen) {
    const hw::DropFacts d = Drop(2000 * kMs, 400, 900);
    struct Case {
        const char* name;
        std::vector<hk::Time100ns> off, on;
        bool offBefore;
    };
    const Case cases[] = {
        {"never unloaded", {}, {}, false},
        {"unloaded by an earlier drop", {1500 * kMs}, {}, true},
        {"unloaded, then loaded again", {1500 * kMs}, {1700 * kMs}, false},
        {"loaded, then unloaded", {1500 * kMs}, {1200 * kMs}, true},
        {"unloaded only during the drop", {2250 * kMs}, {}, false},
    };
    for (const Case& c : cases) {
        DropTimeline t = notebook::CutTimeline(1, d, 1900 * kMs, 3100 * kMs, {}, {}, c.off, c.on, {}, {});
        EXPECT_EQ(t.heads_off_before, c.offBefore) << c.name;
        const std::string svg = notebook::DropTimelineSvg(t);
        EXPECT_EQ(svg.find("heads off the media already") != std::string::npos, c.offBefore) << c.name;
    }
}

DropTimeline Timeline(bool parked, bool bigImpact) {
    const hw::DropFacts d = Drop(1000 * kMs, 400, 900);
    std::vector<hk::Time100ns> parks, off;
    if (parked) {
        parks.push_back(1020 * kMs);
        off.push_back(1250 * kMs);
    }
    DropTimeline t = notebook::CutTimeline(1, d, 900 * kMs, 2500 * kMs, {{1015 * kMs, true, false}, {1700 * kMs, false, false}},
                                           parks, off, {}, parked ? std::vector<hk::Time100ns>{} : std::vector<hk::Time100ns>{1300 * kMs},
                                           {{1010 * kMs, 2200 * kMs}, {1050 * kMs, 2200 * kMs}, {1100 * kMs, 2200 * kMs}});
    for (hk::Time100ns at = t.from; at <= t.to; at += 10 * kMs) {
        const bool falling = at >= d.fall_start && at < d.impact;
        t.magnitude_g.emplace_back(at, falling ? 0.0 : at == d.impact ? (bigImpact ? 60.0 : 1.8) : 1.0);
    }
    return t;
}

TEST(DropPlot, ThePictureStatesTheFactsWithAxesLabelsAndLegend) {
    const std::string svg = notebook::DropTimelineSvg(Timeline(true, false));
    EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    EXPECT_EQ(Count(svg, "<text"), Count(svg, "</text>"));
    for (const char* text : {"Drop 1: 0.80 m, free fall 400 ms", "line up 15.0 ms", "park command 20.0 ms",
                             "heads off the media 250.0 ms (before the impact at 400.0 ms)",
                             // the legend
                             ">release<", ">park command at the disk<", ">heads off the media<", ">impact<", ">bounce<",
                             ">free fall<",
                             // panels and axes
                             "acceleration magnitude", "acceleration (g)", "sensor interrupt line", ">high<", ">low<",
                             "disk requests waiting", "time since release (ms)", ">0<", ">200<", ">1400<"}) {
        EXPECT_NE(svg.find(text), std::string::npos) << text;
    }
    // The request scale reaches the three waiting at once.
    EXPECT_NE(svg.find(">3<"), std::string::npos);
    EXPECT_EQ(svg.find("cut off"), std::string::npos);
}

TEST(DropPlot, NoParkAndMediaAccessWhileFallingAreSaid) {
    const std::string svg = notebook::DropTimelineSvg(Timeline(false, true));
    EXPECT_NE(svg.find("no park command, heads not parked, 1 media access(es) while falling"), std::string::npos);
    // Only the legend's swatch is orange and green: no markers.
    EXPECT_EQ(Count(svg, "stroke=\"#ff7f0e\""), 1u);
    EXPECT_EQ(Count(svg, "stroke=\"#2ca02c\""), 1u);
    // An impact of 60 g does not squash the rest: the scale stops at 4 g and says so.
    EXPECT_NE(svg.find("peaks beyond 4.0 g cut off; highest 60.0 g"), std::string::npos);
}

TEST(DropPlot, FilesAreNumberedByDrop) {
    EXPECT_EQ(notebook::DropPlotName(1), "drop-01.svg");
    EXPECT_EQ(notebook::DropPlotName(12), "drop-12.svg");
}

}  // namespace
