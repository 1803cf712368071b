// Sentrel in the test's own process (offscreen), against a `notebook serve`
// child whose event log (--events) is the oracle: every control request the
// program sent, with its words. ctest runs each test in a process of its
// own, which the program's program-wide state (first show, the Win32
// connection) needs.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process_support.h"

class TFormGate;
class TFormMain;

namespace apptest {

// One control request from the notebook's event log.
struct Command {
    unsigned number = 0;
    std::vector<unsigned long> request;  // the words sent
    std::vector<unsigned long> reply;    // the words that came back
    unsigned long information = 0;       // bytes returned
    unsigned long sentUs = 0;            // the notebook's clock when it was sent
};
std::vector<Command> ParseCommands(const std::string& eventsText);
std::vector<unsigned> Numbers(const std::vector<Command>& commands);

// Runs the UI thread's event loop for a while, or until the condition holds
// (true) or the limit passes (false).
void Pump(int milliseconds);
bool PumpUntil(const std::function<bool()>& condition, int limitMs = 10000);

// A live notebook with its event log in its directory.
class LiveNotebook {
public:
    explicit LiveNotebook(const std::vector<std::string>& extra = {});
    e2e::Notebook& notebook() { return notebook_; }
    bool started() const { return started_; }

    std::string EventsPath() const { return notebook_.Directory() + "/events.jsonl"; }
    std::vector<Command> Commands() const;
    std::size_t CommandCount() const { return Commands().size(); }
    // The numbers of the commands after the first `mark`, once at least
    // `expected` of them are there (or the limit passed); pumps meanwhile.
    std::vector<unsigned> CommandsAfter(std::size_t mark, std::size_t expected, int limitMs = 10000) const;
    // The QC report file in the notebook's drive C ("" when missing).
    std::string Report() const;
    std::string DriveC() const { return notebook_.StateDir() + "/drive_c"; }

private:
    e2e::Notebook notebook_;
    bool started_ = false;
};

// The program in process: a notebook, then the gate window (which creates and
// shows the main window), pumped until the first show is done.
class SentrelTest : public ::testing::Test {
protected:
    // Extra arguments for `notebook serve`.
    virtual std::vector<std::string> ServeArguments() const { return {}; }
    // The wait thread's time-out.
    virtual unsigned WaitTimeoutMs() const { return 1000000; }
    // Runs after the notebook has started and before the program does
    // (for example to put other files into drive C).
    virtual void BeforeStart() {}

    void SetUp() override;
    void TearDown() override;

    // Ends the program as the given action does (close box, "&Close", "Exit"):
    // runs the message loop until it quits, then destroys the windows.
    void EndProgramBy(const std::function<void()>& action);

    TFormMain& main() const;
    std::vector<unsigned> After(std::size_t mark, std::size_t expected, int limitMs = 10000) const {
        return live->CommandsAfter(mark, expected, limitMs);
    }
    std::size_t Mark() const { return live->CommandCount(); }

    std::unique_ptr<LiveNotebook> live;
    std::unique_ptr<TFormGate> gate;
};

}  // namespace apptest
