// The driver boots on the simulated notebook and protects the disk from a
// forced interrupt: park, hold, release 3 s after the line drops.
#include <gtest/gtest.h>

#include "driver_machine.h"

namespace {

using hk::kMillisecond;
using hk::kSecond;

TEST(Boot, FiltersTheDiskAndProtectsItOnAForcedInterrupt) {
    zhptest::Machine m;
    ASSERT_EQ(m.startResults.size(), 1u);
    ASSERT_EQ(m.startResults[0], STATUS_SUCCESS);
    ASSERT_NE(m.Filter(), nullptr);
    EXPECT_EQ(m.DiskTop(), m.Filter());
    ASSERT_NE(m.Control(), nullptr);
    // Protection on, as the utility does it.
    zhptest::Reply on = m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}});
    EXPECT_EQ(on.status, STATUS_SUCCESS);
    on = m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}});
    EXPECT_EQ(on.Word(76), ZHP_RESULT_ALREADY_ON);
    m.Pin(true);
    m.Run(kSecond);  // detection waits for the park before it blocks
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_IO_BLOCKED);
    hk::RequestPtr write;
    m.Do([&] { write = hk::SendWrite(m.DiskTop(), 0, std::vector<std::uint8_t>(512, 1)); });
    m.Run(500 * kMillisecond);
    EXPECT_FALSE(write->completed);
    EXPECT_EQ(m.Disk().AtaCommands().size(), 1u);
    m.Pin(false);
    m.Run(2900 * kMillisecond);
    EXPECT_FALSE(write->completed);
    m.Run(600 * kMillisecond);  // 3 s after the tick that saw the line drop
    EXPECT_TRUE(write->completed);
    EXPECT_EQ(write->status, STATUS_SUCCESS);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

}  // namespace
