// The campaign's own parts: plans drawn from a run seed are valid and
// cover every kind of action, invalid plans are refused, the invariant
// checker flags each kind of broken run, and a run replays exactly from
// its seed.
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <iterator>
#include <numeric>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "invariants.h"
#include "plan.h"
#include "run.h"

namespace {

using campaign::ActionKind;
using hk::kMillisecond;

constexpr std::size_t kKinds = static_cast<std::size_t>(ActionKind::Count);

TEST(CampaignPlan, EveryDrawnPlanIsValidAndTheDrawsCoverEveryStepKind) {
  std::set<ActionKind> seen;
  std::set<campaign::ClockKind> clocks;
  std::set<unsigned> processors;
  std::size_t midFall = 0, releases = 0;
  for (std::uint64_t i = 0; i < 3000; ++i) {
    const campaign::Plan plan = campaign::Generate(campaign::RunSeedOf(7, i));
    auto invalid = campaign::Validate(plan);
    ASSERT_FALSE(invalid) << *invalid << "\n" << plan.ToString();
    clocks.insert(plan.clock);
    processors.insert(plan.processors);
    for (const campaign::Step &s : plan.steps) {
      seen.insert(s.kind);
      if (s.kind != ActionKind::Release106)
        continue;
      ++releases;
      for (const campaign::Step &fall : plan.steps) {
        const bool pinned = fall.kind == ActionKind::Pin && s.at > fall.at &&
                            s.at < fall.at + fall.length;
        const bool dropped = fall.kind == ActionKind::Drop && s.at > fall.at &&
                             s.at < fall.at + 5000000;
        if (pinned || dropped) {
          ++midFall;
          break;
        }
      }
    }
  }
  for (std::size_t k = 0; k < kKinds; ++k) {
    const auto kind = static_cast<ActionKind>(k);
    const bool senderAction =
        kind == ActionKind::Read || kind == ActionKind::Write ||
        kind == ActionKind::Flush || kind == ActionKind::Cancel;
    EXPECT_NE(seen.count(kind) != 0, senderAction)
        << campaign::ActionName(kind);
  }
  EXPECT_GT(midFall * 2, releases)
      << "most releases by command 106 come in the middle of a fall";
  EXPECT_EQ(clocks.size(), std::size(campaign::kClockChoices))
      << "every clock is drawn";
  EXPECT_EQ(processors.size(), std::size(campaign::kProcessorChoices))
      << "every processor count is drawn";
}

TEST(CampaignPlan, ARunSeedGivesOnePlanAndTheSeedsAreDerivedFromItAlone) {
  EXPECT_EQ(campaign::Generate(0x1234).ToString(),
            campaign::Generate(0x1234).ToString());
  EXPECT_NE(campaign::Generate(0x1234).ToString(),
            campaign::Generate(0x1235).ToString());
  const campaign::RunSeeds s = campaign::RunSeeds::From(99);
  const std::set<std::uint64_t> distinct{s.kernel, s.noise, s.motion,
                                         s.disk,   s.plan,  s.senders};
  EXPECT_EQ(distinct.size(), 6u) << s.ToString();
  EXPECT_NE(campaign::RunSeedOf(1, 0), campaign::RunSeedOf(2, 0));
  EXPECT_NE(campaign::RunSeedOf(1, 0), campaign::RunSeedOf(1, 1));
}

TEST(CampaignPlan, PlansThatCannotRunAsPlannedAreRefused) {
  struct Case {
    const char *name;
    std::function<void(campaign::Plan &)> spoil;
    const char *expected;
  };
  auto step = [](ActionKind kind, hk::Time100ns at, hk::Time100ns length = 0) {
    campaign::Step s;
    s.kind = kind;
    s.at = at;
    s.length = length;
    s.value = 4;
    return s;
  };
  const Case cases[] = {
      {"more processors than the campaign draws",
       [](campaign::Plan &p) { p.processors = 3; }, "processor"},
      {"a clock the kernel does not keep",
       [](campaign::Plan &p) { p.clock = static_cast<campaign::ClockKind>(7); },
       "clock"},
      {"steps out of order",
       [&](campaign::Plan &p) {
         p.steps = {step(ActionKind::Shutdown, 50 * kMillisecond),
                    step(ActionKind::Shutdown, 10 * kMillisecond)};
       },
       "out of time order"},
      {"a pin without a length",
       [&](campaign::Plan &p) { p.steps = {step(ActionKind::Pin, 0)}; },
       "length"},
      {"a step after the removal",
       [&](campaign::Plan &p) {
         p.steps = {step(ActionKind::Remove, 0),
                    step(ActionKind::Release106, 5 * kMillisecond)};
       },
       "release-106"},
      {"a removal while a fault lasts",
       [&](campaign::Plan &p) {
         p.steps = {step(ActionKind::DiskFault, 0, 100 * kMillisecond),
                    step(ActionKind::Remove, 50 * kMillisecond)};
       },
       "while"},
      {"power changes overlapping",
       [&](campaign::Plan &p) {
         p.steps = {
             step(ActionKind::DevicePower, 0, 100 * kMillisecond),
             step(ActionKind::Suspend, 50 * kMillisecond, 100 * kMillisecond)};
       },
       "overlaps"},
      {"a device power step to D0",
       [&](campaign::Plan &p) {
         p.steps = {step(ActionKind::DevicePower, 0, 100 * kMillisecond)};
         p.steps[0].value = 1;
       },
       "D1..D3"},
      {"a sender's action as a step",
       [&](campaign::Plan &p) { p.steps = {step(ActionKind::Read, 0)}; },
       "senders"},
      {"a sender above 100%",
       [](campaign::Plan &p) { p.senders.at(0).flushPercent = 90; },
       "percentages"},
      {"no sender", [](campaign::Plan &p) { p.senders.clear(); }, "no sender"},
  };
  for (const Case &c : cases) {
    campaign::Plan plan = campaign::Generate(3);
    plan.senders.at(0).readPercent = 30;
    plan.senders.at(0).writePercent = 30;
    c.spoil(plan);
    auto invalid = campaign::Validate(plan);
    ASSERT_TRUE(invalid) << c.name;
    EXPECT_NE(invalid->find(c.expected), std::string::npos)
        << c.name << ": " << *invalid;
  }
}

// ------------------------------------------------------------ the checker

campaign::RequestFacts Request(char op, std::uint64_t offset,
                               NTSTATUS status = STATUS_SUCCESS) {
  campaign::RequestFacts r;
  r.op = op;
  r.offset = offset;
  r.completed = true;
  r.completions = 1;
  r.status = status;
  return r;
}

campaign::RequestFacts Held(char op, std::uint64_t offset, std::int64_t index,
                            hk::Time100ns at, campaign::LeftBy left) {
  campaign::RequestFacts r = Request(op, offset);
  r.held = true;
  r.holdIndex = index;
  r.heldAt = at;
  r.left = left;
  r.leftAt = at + 100;
  return r;
}

// A clean run: a fall parked at 100 ms, cleared at 400 ms, released at
// 3400 ms; one read before, two writes held and released in order, one
// read cancelled while held.
campaign::RunFacts CleanRun() {
  campaign::RunFacts f;
  f.requests = {
      Request('R', 0x1000),
      Held('W', 0x2000, 0, 150 * kMillisecond, campaign::LeftBy::Release),
      Held('W', 0x3000, 1, 160 * kMillisecond, campaign::LeftBy::Release),
      Request('F', 0),
      Held('R', 0x4000, 2, 170 * kMillisecond, campaign::LeftBy::Nothing)};
  f.requests.back().status = STATUS_CANCELLED;
  f.media = {{0x1000, 50 * kMillisecond, 50 * kMillisecond, false},
             {0x2000, 3400 * kMillisecond, 3400 * kMillisecond, false},
             {0x3000, 3400 * kMillisecond, 3400 * kMillisecond, false}};
  f.blocks = {{100 * kMillisecond, 400 * kMillisecond, 3400 * kMillisecond}};
  f.driverPresent = true;
  f.readQueued = 1;
  f.writeQueued = 2;
  f.dispatchForwardCount = 2;
  f.lastPark = 100 * kMillisecond;
  f.unloaded = true;
  return f;
}

TEST(CampaignCheck, ACleanRunPassesAndEachBrokenInvariantIsNamed) {
  ASSERT_EQ(campaign::Check(CleanRun()), std::vector<std::string>());
  struct Case {
    const char *name;
    std::function<void(campaign::RunFacts &)> spoil;
    const char *expected;
  };
  const Case cases[] = {
      {"completed twice",
       [](campaign::RunFacts &f) { f.requests[0].completions = 2; },
       "completed 2 times"},
      {"never completed",
       [](campaign::RunFacts &f) { f.requests[3].completed = false; }, "flush"},
      {"succeeded without the media",
       [](campaign::RunFacts &f) { f.media.erase(f.media.begin()); },
       "reached the media 0 times"},
      {"cancelled yet written",
       [](campaign::RunFacts &f) {
         f.media.push_back(
             {0x4000, 3500 * kMillisecond, 3500 * kMillisecond, false});
       },
       "cancelled but reached"},
      {"held requests reversed on the disk",
       [](campaign::RunFacts &f) { std::swap(f.media[1], f.media[2]); },
       "before the older"},
      {"a media access while blocked",
       [](campaign::RunFacts &f) {
         f.requests.push_back(Request('R', 0x5000));
         f.media.push_back(
             {0x5000, 200 * kMillisecond, 200 * kMillisecond, false});
       },
       "while blocked"},
      {"a held request completed without leaving",
       [](campaign::RunFacts &f) { f.requests[4].status = STATUS_SUCCESS; },
       "without leaving the queue"},
      {"OutstandingIo left over",
       [](campaign::RunFacts &f) { f.outstandingIo = 1; },
       "OutstandingIo is 1"},
      {"a counter off by one", [](campaign::RunFacts &f) { f.writeQueued = 3; },
       "WriteQueued is 3"},
      {"a release not counted",
       [](campaign::RunFacts &f) { f.dispatchForwardCount = 1; },
       "DispatchForwardCount is 1"},
      {"a verifier stop",
       [](campaign::RunFacts &f) { f.verifierStop = "IRP_COMPLETED_TWICE"; },
       "verifier stop"},
      {"not unloaded", [](campaign::RunFacts &f) { f.unloaded = false; },
       "not unloaded"},
      {"seen on the running machine",
       [](campaign::RunFacts &f) {
         f.seenWhileRunning.push_back(
             "request at 0x2000 completed while still held");
       },
       "completed while still held"},
  };
  for (const Case &c : cases) {
    campaign::RunFacts facts = CleanRun();
    c.spoil(facts);
    const std::vector<std::string> broken = campaign::Check(facts);
    ASSERT_FALSE(broken.empty()) << c.name;
    std::string all;
    for (const std::string &b : broken)
      all += b + "\n";
    EXPECT_NE(all.find(c.expected), std::string::npos) << c.name << ": " << all;
  }
}

// Flush rule: a flush during the fall is held with the writes; once the
// fall has cleared, a flush passes the held requests on.
TEST(CampaignCheck, AFlushPassesHeldRequestsOnOnlyOnceTheFallHasCleared) {
  campaign::RunFacts afterClear = CleanRun();
  afterClear.requests[1].left = campaign::LeftBy::Flush;
  afterClear.requests[1].fallClearedWhenLeft = 400 * kMillisecond;
  afterClear.media[1].received = afterClear.media[1].start = 500 * kMillisecond;
  afterClear.dispatchForwardCount = 1; // a flush passes on below DISPATCH_LEVEL
  EXPECT_EQ(campaign::Check(afterClear), std::vector<std::string>());

  campaign::RunFacts midFall = afterClear;
  midFall.requests[1].fallClearedWhenLeft = -1;
  midFall.media[1].received = midFall.media[1].start = 300 * kMillisecond;
  const std::vector<std::string> broken = campaign::Check(midFall);
  ASSERT_EQ(broken.size(), 1u);
  EXPECT_EQ(broken[0].rfind("FLUSH MID-FALL", 0), 0u) << broken[0];
  campaign::CheckOptions today;
  today.allowFlushDrainMidFall = true;
  EXPECT_EQ(campaign::Check(midFall, today), std::vector<std::string>());
}

// ------------------------------------------------------------ whole runs

campaign::RunOptions Options(bool trace) {
  campaign::RunOptions o;
  o.driverPath = ZHP_MODULE;
  o.sourceDir = SOURCE_DIR;
  o.keepTrace = trace;
  return o;
}

TEST(CampaignRun, ARunReplaysExactlyFromItsSeed) {
  const campaign::Plan plan =
      campaign::Generate(campaign::RunSeedOf(0x2EB1A5ED, 5));
  const campaign::RunResult first = campaign::Execute(plan, Options(true));
  const campaign::RunResult again = campaign::Execute(plan, Options(true));
  EXPECT_TRUE(first.notTaken.empty());
  EXPECT_GT(first.facts.requests.size(), 5u);
  EXPECT_NE(first.trace.find("ZHP_AddDevice"), std::string::npos);
  // Addresses (of requests, devices) differ from run to run; all else is the
  // same.
  const std::regex pointer("0x[0-9A-Fa-f]{5,16}");
  EXPECT_EQ(std::regex_replace(first.trace, pointer, "0x?"),
            std::regex_replace(again.trace, pointer, "0x?"));
  EXPECT_EQ(first.virtualTime, again.virtualTime);
}

TEST(CampaignRun, AFallWithWritersHoldsTheirRequestsAndReleasesThemInOrder) {
  campaign::Plan plan = campaign::Generate(11);
  plan.steps.clear();
  campaign::Step pin;
  pin.kind = ActionKind::Pin;
  pin.at = 100 * kMillisecond;
  pin.length = 300 * kMillisecond;
  plan.steps.push_back(pin);
  plan.senders.resize(2);
  for (campaign::SenderPlan &s : plan.senders) {
    s.from = 0;
    s.until = 600 * kMillisecond;
    s.readPercent = 45;
    s.writePercent = 45;
    s.flushPercent = 0;
    s.maxPause = 20 * kMillisecond;
  }
  ASSERT_FALSE(campaign::Validate(plan));
  const campaign::RunResult r = campaign::Execute(plan, Options(false));
  EXPECT_EQ(campaign::Check(r.facts), std::vector<std::string>());
  ASSERT_EQ(r.facts.blocks.size(), 1u);
  EXPECT_GE(r.facts.blocks[0].cleared, r.facts.blocks[0].parked);
  EXPECT_GT(r.facts.blocks[0].released, r.facts.blocks[0].cleared);
  std::size_t released = 0;
  for (const campaign::RequestFacts &f : r.facts.requests)
    released += f.left == campaign::LeftBy::Release;
  EXPECT_GT(released, 5u);
  EXPECT_EQ(r.taken[static_cast<std::size_t>(ActionKind::Pin)], 1u);
}

// The plan's clock is the run's: under Windows' clock the senders' random
// pauses end on clock interrupts, so every request leaves on the tick grid;
// under the exact clock they leave when their pause is over.
TEST(CampaignRun, ThePlannedClockDecidesWhenTheSendersPausesEnd) {
  auto sendGrid = [](campaign::ClockKind clock) {
    campaign::Plan plan = campaign::Generate(17);
    plan.clock = clock;
    plan.steps.clear();
    EXPECT_FALSE(campaign::Validate(plan));
    const campaign::RunResult r = campaign::Execute(plan, Options(false));
    EXPECT_EQ(campaign::Check(r.facts), std::vector<std::string>());
    EXPECT_GT(r.facts.requests.size(), 10u);
    hk::Time100ns grid = 0;
    for (const campaign::RequestFacts &f : r.facts.requests) {
      grid = std::gcd(grid, f.sentAt - r.facts.requests.front().sentAt);
    }
    return grid;
  };
  const hk::Time100ns windows = sendGrid(campaign::ClockKind::Windows);
  const hk::Time100ns exact = sendGrid(campaign::ClockKind::Exact);
  EXPECT_GE(windows, kMillisecond / 2);
  EXPECT_LT(exact, kMillisecond / 10);
}

} // namespace
