// The driver's message routine: level prefixes, the level and component
// filters, the eight formatting slots, the length limit, and the
// pageable-code check that reports through DbgPrint.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/add_device.h"
#include "core/trace.h"
#include "core_test_support.h"

namespace {

using coretest::Lines;

// A loaded driver with no disk: nothing else prints.
zhptest::MachineOptions Idle() {
    zhptest::MachineOptions options;
    options.start = false;
    return options;
}


TEST(Trace, TheLevelChoosesThePrefixAndLevelsAboveTheLimitAreNotPrinted) {
    zhptest::Machine m(Idle());
    auto trace = m.Routine<decltype(ZHP_Trace)>("ZHP_Trace");
    EXPECT_EQ(m.Global<ULONG>("TraceLevel"), 8u);
    EXPECT_EQ(m.Global<ULONG>("TraceComponents"), 0xFFFFFFFFu);

    const std::size_t from = m.kernel.DebugOutput().size();
    m.Do([&] {
        trace(ZHP_TRACE_PNP, 1, "level %d", 1);
        trace(ZHP_TRACE_PNP, 2, "level %d", 2);
        trace(ZHP_TRACE_PNP, 3, "level %d", 3);
        trace(ZHP_TRACE_PNP, 4, "level %d", 4);
        trace(ZHP_TRACE_PNP, 8, "level %d", 8);
        trace(ZHP_TRACE_PNP, 9, "level %d", 9);
        trace(ZHP_TRACE_PNP, 16, "level %d", 16);
        // Any IRQL up to DISPATCH_LEVEL.
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        trace(ZHP_TRACE_HELD_IO, 2, "at %s", "DISPATCH_LEVEL");
        KeLowerIrql(old);
    });
    EXPECT_EQ(Lines(m, from), (std::vector<std::string>{"ERROR!!! level 1\n", "WARNING level 2\n", "level 3\n",
                                                          "level 4\n", "INFO level 8\n",
                                                          "WARNING at DISPATCH_LEVEL\n"}));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Trace, OnlyComponentsInTheMaskAndLevelsUpToTheLimitArePrinted) {
    zhptest::Machine m(Idle());
    auto trace = m.Routine<decltype(ZHP_Trace)>("ZHP_Trace");
    coretest::TraceSettings settings(m);

    std::size_t from = m.kernel.DebugOutput().size();
    m.Do([&] {
        trace(0, 1, "no component");
        trace(ZHP_TRACE_SENSOR, 1, "sensor");
    });
    EXPECT_EQ(Lines(m, from), std::vector<std::string>{"ERROR!!! sensor\n"});

    settings.Set(2, ZHP_TRACE_PNP);
    from = m.kernel.DebugOutput().size();
    m.Do([&] {
        trace(ZHP_TRACE_HELD_IO, 1, "held io");
        trace(ZHP_TRACE_PNP, 1, "pnp");
        trace(ZHP_TRACE_PNP | ZHP_TRACE_HELD_IO, 2, "pnp and held io");
        trace(ZHP_TRACE_PNP, 4, "pnp plain");
        trace(ZHP_TRACE_SENSOR, 1, "sensor");
    });
    EXPECT_EQ(Lines(m, from), (std::vector<std::string>{"ERROR!!! pnp\n", "WARNING pnp and held io\n"}));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

// Each printed message starts the next one from inside DbgPrint, while its
// own slot is still taken: nine messages are in flight at once.
TEST(Trace, OfNineMessagesAtTheSameMomentTheNinthIsDropped) {
    zhptest::Machine m(Idle());
    auto trace = m.Routine<decltype(ZHP_Trace)>("ZHP_Trace");
    ZHP_TRACE_SLOT* slots = &m.Global<ZHP_TRACE_SLOT>("TraceSlots");

    int started = 0;
    const std::size_t from = m.kernel.DebugOutput().size();
    {
        coretest::SinkScope sink(m.kernel, [&](const std::string& line) {
            if (line.rfind("nested", 0) == 0 && started < 9) {
                const int n = started++;
                trace(ZHP_TRACE_HELD_IO, ZHP_LEVEL_PLAIN, "nested %d", n);
            }
        });
        m.Do([&] {
            started = 1;
            trace(ZHP_TRACE_HELD_IO, ZHP_LEVEL_PLAIN, "nested %d", 0);
        });
    }
    EXPECT_EQ(started, 9);
    std::vector<std::string> expected;
    for (int n = 0; n < 8; ++n) expected.push_back("nested " + std::to_string(n) + "\n");
    EXPECT_EQ(Lines(m, from), expected);

    // Every slot is free again.
    for (int i = 0; i < ZHP_TRACE_SLOT_COUNT; ++i) EXPECT_EQ(slots[i].Busy, 0) << i;
    m.Do([&] { trace(ZHP_TRACE_HELD_IO, ZHP_LEVEL_PLAIN, "after"); });
    EXPECT_EQ(m.kernel.DebugOutput().back(), "after\n");
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Trace, AMessageLongerThan1023CharactersIsCut) {
    zhptest::Machine m(Idle());
    auto trace = m.Routine<decltype(ZHP_Trace)>("ZHP_Trace");
    const std::string text2000(2000, 'x');
    const std::string text1023(1023, 'y');
    const std::string text1024(1024, 'z');

    const std::size_t from = m.kernel.DebugOutput().size();
    m.Do([&] {
        trace(ZHP_TRACE_PNP, ZHP_LEVEL_PLAIN, "%s", text2000.c_str());
        trace(ZHP_TRACE_PNP, ZHP_LEVEL_ERROR, "%s", text2000.c_str());
        trace(ZHP_TRACE_PNP, ZHP_LEVEL_PLAIN, "%s", text1023.c_str());
        trace(ZHP_TRACE_PNP, ZHP_LEVEL_PLAIN, "%s", text1024.c_str());
        trace(ZHP_TRACE_PNP, ZHP_LEVEL_PLAIN, "%s", "short");
    });
    EXPECT_EQ(Lines(m, from), (std::vector<std::string>{std::string(1023, 'x') + "\n",
                                                          "ERROR!!! " + std::string(1023, 'x') + "\n",
                                                          text1023 + "\n", std::string(1023, 'z') + "\n",
                                                          "short\n"}));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Trace, PageableCodeAboveApcLevelReportsTheIrqlAndBreaks) {
    zhptest::Machine m(Idle());
    auto unload = m.Routine<decltype(ZHP_Unload)>("ZHP_Unload");

    // At PASSIVE_LEVEL the unload routine does nothing at all.
    std::size_t from = m.kernel.DebugOutput().size();
    m.Do([&] { unload(m.zhp); });
    EXPECT_TRUE(Lines(m, from).empty());

    from = m.kernel.DebugOutput().size();
    const bool ran = m.kernel.Call([&] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        unload(m.zhp);
        KeLowerIrql(old);
    });
    EXPECT_FALSE(ran);
    ASSERT_TRUE(m.kernel.Stopped());
    EXPECT_EQ(m.kernel.Stop().rule, "ASSERTION_FAILED");
    EXPECT_NE(m.kernel.Stop().description.find("drv\\zhp"), std::string::npos) << m.kernel.Stop().description;
    const std::vector<std::string> lines = Lines(m, from);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "EX: Pageable code called at IRQL 2\n");
}

}  // namespace
