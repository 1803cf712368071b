// The wait thread on the notebook's named events: falls signalled by ZHP
// itself (its interrupt line forced), events set before the thread runs,
// time-outs, quits, and events it cannot have.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core_machine.h"
#include "driver_client.h"
#include "settings.h"
#include "wait_thread.h"

namespace {

using coretest::Eventually;
using Posts = std::vector<std::string>;

class RecordingSink : public WaitThreadSink {
public:
    void PostFallDetected() override { Add("detected"); }
    void PostFallWakeUpdates() override { Add("updates"); }
    void PostFallCleared() override { Add("cleared"); }
    Posts Get() {
        std::lock_guard<std::mutex> lk(mutex_);
        return posts_;
    }
    bool Holds(const Posts& expected) {
        return Eventually([&] { return Get() == expected; });
    }

private:
    void Add(const char* what) {
        std::lock_guard<std::mutex> lk(mutex_);
        posts_.push_back(what);
    }
    std::mutex mutex_;
    Posts posts_;
};

const Posts kFall = {"detected", "updates"};

// A handle of our own on one of the three events.
struct Event {
    explicit Event(const char* name) : handle(CreateEventA(nullptr, TRUE, FALSE, name)) {}
    ~Event() {
        if (handle != nullptr) CloseHandle(handle);
    }
    bool Signalled() const { return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0; }
    HANDLE handle;
};

class WaitThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        client.Open();
        LoadSettingsDefaults(settings);
        // ZHP switches protection on by itself after the boot's power-up;
        // each case starts with it off (the driver then holds no event).
        SetProtection(false);
    }
    void TearDown() override {
        thread.reset();
        coretest::ForceInterruptPin(false);
        SetProtection(false);
    }
    void SetProtection(bool on) {
        if (on) {
            ASSERT_NE(client.SetParameters(settings), 0u);
        } else {
            client.SetWord(command_word::kProtection, 0);
            client.SendCommand(102);
        }
    }
    void Start(DWORD timeoutMs = TWaitThread::kWaitTimeoutMs) {
        thread = std::make_unique<TWaitThread>(sink, timeoutMs);
        ASSERT_TRUE(Eventually([&] { return thread->Waiting() || thread->Ended(); }));
    }
    // A fall as the driver reports it: the line active, then quiet again.
    void Fall() {
        coretest::ForceInterruptPin(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        coretest::ForceInterruptPin(false);
    }

    DriverClient client;
    SettingsRecord settings;
    RecordingSink sink;
    std::unique_ptr<TWaitThread> thread;
};

TEST_F(WaitThreadTest, OneFallFromTheDriverIsReportedOnceAndItsEventReset) {
    SetProtection(true);
    Start();
    EXPECT_TRUE(thread->SecurityChanged());
    Fall();
    ASSERT_TRUE(sink.Holds({"detected", "updates", "cleared"})) << testing::PrintToString(sink.Get());
    Event fall("Global\\VrFFEvent01"), cleared("Global\\VrFFEvent02");
    EXPECT_FALSE(fall.Signalled());
    EXPECT_FALSE(cleared.Signalled());
}

TEST_F(WaitThreadTest, EventsSetBeforeTheThreadRunsAreReportedFallFirst) {
    Event fall("Global\\VrFFEvent01"), cleared("Global\\VrFFEvent02");
    SetEvent(cleared.handle);
    SetEvent(fall.handle);
    Start();
    ASSERT_TRUE(sink.Holds({"detected", "updates", "cleared"})) << testing::PrintToString(sink.Get());
    EXPECT_FALSE(fall.Signalled());
    EXPECT_FALSE(cleared.Signalled());
}

TEST_F(WaitThreadTest, AFallLeftSignalledFromBeforeStartIsReportedOnce) {
    Event fall("Global\\VrFFEvent01");
    SetEvent(fall.handle);
    Start();
    ASSERT_TRUE(sink.Holds(kFall));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(sink.Get(), kFall);
    EXPECT_FALSE(fall.Signalled());
}

TEST_F(WaitThreadTest, EveryTimeOutPostsARelease) {
    Start(30);
    ASSERT_TRUE(Eventually([&] { return sink.Get().size() >= 3; }));
    for (const std::string& post : sink.Get()) EXPECT_EQ(post, "cleared");
}

TEST_F(WaitThreadTest, AQuitFromAnotherProcessIsResetAndWaitingGoesOn) {
    SetProtection(true);
    Start();
    Event quit("Global\\ApEvent01");
    EXPECT_EQ(coretest::RunProbe(coretest::AdministratorSocket(), {"quit"}).exitCode, 0);
    ASSERT_TRUE(Eventually([&] { return !quit.Signalled(); })) << "the thread resets the quit event";
    EXPECT_TRUE(thread->Waiting());
    EXPECT_TRUE(sink.Get().empty());
    Fall();
    ASSERT_TRUE(sink.Holds({"detected", "updates", "cleared"}));
}

TEST_F(WaitThreadTest, TheTerminateRequestAndQuitEventEndItAndCloseItsHandles) {
    Start();
    EXPECT_TRUE(coretest::GlobalObjectExists(L"ApEvent01"));
    thread->RequestTerminate();
    ASSERT_TRUE(TWaitThread::SetQuitEvent());
    ASSERT_TRUE(Eventually([&] { return thread->Ended(); }));
    EXPECT_FALSE(thread->Waiting());
    EXPECT_TRUE(sink.Get().empty());
    // Protection is off, so the driver holds none of the three either.
    EXPECT_FALSE(coretest::GlobalObjectExists(L"ApEvent01"));
    EXPECT_FALSE(coretest::GlobalObjectExists(L"VrFFEvent01"));
    EXPECT_FALSE(coretest::GlobalObjectExists(L"VrFFEvent02"));
}

TEST_F(WaitThreadTest, AnExistingQuitEventLeavesTheSecurityAlone) {
    Event other("Global\\ApEvent01");  // another utility's
    Start();
    EXPECT_TRUE(thread->Waiting());
    EXPECT_FALSE(thread->SecurityChanged());
}

TEST_F(WaitThreadTest, TheDriverLoadedAfterTheUtilityOpensTheSameEvents) {
    // Protection off: the driver holds no event; the utility creates both.
    ASSERT_FALSE(coretest::GlobalObjectExists(L"VrFFEvent01"));
    Start();
    ASSERT_TRUE(coretest::GlobalObjectExists(L"VrFFEvent01"));
    SetProtection(true);
    Fall();
    ASSERT_TRUE(sink.Holds({"detected", "updates", "cleared"})) << testing::PrintToString(sink.Get());
}

TEST_F(WaitThreadTest, ANameHeldByAnotherKindOfObjectEndsTheThreadSilently) {
    HANDLE timer = CreateWaitableTimerA(nullptr, TRUE, "Global\\VrFFEvent02");
    ASSERT_NE(timer, nullptr);
    Start();
    EXPECT_TRUE(Eventually([&] { return thread->Ended(); }));
    EXPECT_FALSE(thread->Waiting());
    Event fall("Global\\VrFFEvent01");
    SetEvent(fall.handle);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(sink.Get().empty());
    ResetEvent(fall.handle);
    CloseHandle(timer);
}

}  // namespace
