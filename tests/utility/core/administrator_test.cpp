// The Administrators test for the notebook's administrator (this process)
// and for its standard user (a probe process on the standard user's socket).
#include <gtest/gtest.h>

#include <string>

#include "administrator.h"
#include "core_machine.h"

namespace {

// Threads never impersonate: the thread token cannot be opened, so the test
// always falls back to the process token and says so.
const std::string kThreadTokenMessage = "Cannot open thread token, trying process token [1008].\n";

TEST(Administrator, TheAdministratorPassesAfterFallingBackToTheProcessToken) {
    testing::internal::CaptureStdout();
    const bool administrator = IsAdministrator();
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(administrator);
    EXPECT_EQ(output, kThreadTokenMessage);
}

TEST(Administrator, AStandardUserIsNotAnAdministrator) {
    e2e::RunResult standard = coretest::RunProbe(coretest::StandardUserSocket(), {"admin"});
    EXPECT_EQ(standard.exitCode, 0);
    EXPECT_EQ(standard.output, kThreadTokenMessage + "administrator: no\n");
    EXPECT_EQ(coretest::RunProbe(coretest::AdministratorSocket(), {"admin"}).output,
              kThreadTokenMessage + "administrator: yes\n");
}

TEST(Administrator, ATokenThatCannotBeOpenedCountsAsMembership) {
    // No notebook to ask: the process token cannot be opened either.
    const std::string output = coretest::RunProbe("/nonexistent/notebook.sock", {"admin"}).output;
    EXPECT_NE(output.find(kThreadTokenMessage + "Cannot open process token, quitting [1167].\n"), std::string::npos)
        << output;
    EXPECT_NE(output.find("administrator: yes\n"), std::string::npos) << output;
}

}  // namespace
