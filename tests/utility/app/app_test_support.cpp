#include "app_test_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdlib>

#include "gate_window.h"
#include "main_window.h"

namespace apptest {

namespace {

// The numbers of a JSON array starting at `at` (just after '[').
std::vector<unsigned long> ArrayAt(const std::string& line, std::size_t at) {
    std::vector<unsigned long> values;
    const char* p = line.c_str() + at;
    while (*p != '\0' && *p != ']') {
        char* end = nullptr;
        values.push_back(std::strtoul(p, &end, 10));
        if (end == p) break;
        p = end;
        if (*p == ',') ++p;
    }
    return values;
}

bool NumberAfter(const std::string& line, const std::string& key, unsigned long* value) {
    const std::size_t at = line.find("\"" + key + "\":");
    if (at == std::string::npos) return false;
    *value = std::strtoul(line.c_str() + at + key.size() + 3, nullptr, 10);
    return true;
}

}  // namespace

std::vector<Command> ParseCommands(const std::string& eventsText) {
    std::vector<Command> commands;
    std::size_t start = 0;
    while (start < eventsText.size()) {
        std::size_t end = eventsText.find('\n', start);
        if (end == std::string::npos) break;  // a line still being written
        const std::string line = eventsText.substr(start, end - start);
        start = end + 1;
        if (line.find("\"event\":\"ioctl\"") == std::string::npos) continue;
        Command c;
        unsigned long number = 0;
        if (!NumberAfter(line, "cmd", &number)) continue;
        c.number = static_cast<unsigned>(number);
        NumberAfter(line, "information", &c.information);
        NumberAfter(line, "sent_us", &c.sentUs);
        const std::size_t request = line.find("\"request\":[");
        if (request != std::string::npos) c.request = ArrayAt(line, request + 11);
        const std::size_t reply = line.find("\"words\":[");
        if (reply != std::string::npos) c.reply = ArrayAt(line, reply + 9);
        commands.push_back(c);
    }
    return commands;
}

std::vector<unsigned> Numbers(const std::vector<Command>& commands) {
    std::vector<unsigned> numbers;
    for (const Command& c : commands) numbers.push_back(c.number);
    return numbers;
}

void Pump(int milliseconds) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < milliseconds) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QApplication::sendPostedEvents();
    }
}

bool PumpUntil(const std::function<bool()>& condition, int limitMs) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        if (condition()) return true;
        if (clock.elapsed() >= limitMs) return false;
    }
}

LiveNotebook::LiveNotebook(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"--events", EventsPath()};
    args.insert(args.end(), extra.begin(), extra.end());
    started_ = notebook_.Start(args);
    // The program's Win32 calls find this notebook.
    setenv("ZHP_NOTEBOOK_SOCKET", notebook_.Socket().c_str(), 1);
}

std::vector<Command> LiveNotebook::Commands() const { return ParseCommands(e2e::ReadFile(EventsPath())); }

std::vector<unsigned> LiveNotebook::CommandsAfter(std::size_t mark, std::size_t expected, int limitMs) const {
    std::vector<Command> all;
    PumpUntil(
        [&] {
            all = Commands();
            return all.size() >= mark + expected;
        },
        limitMs);
    if (all.size() < mark) return {};
    return Numbers(std::vector<Command>(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end()));
}

std::string LiveNotebook::Report() const { return e2e::ReadFile(DriveC() + "/Users/Public/G_TEST.txt"); }

void SentrelTest::SetUp() {
    live = std::make_unique<LiveNotebook>(ServeArguments());
    ASSERT_TRUE(live->started()) << live->notebook().Log();
    BeforeStart();
    gate = std::make_unique<TFormGate>(WaitTimeoutMs());
    ASSERT_TRUE(PumpUntil([this] { return gate->mainWindow()->isVisible(); }));
}

void SentrelTest::TearDown() {
    gate.reset();
    live.reset();
}

void SentrelTest::EndProgramBy(const std::function<void()>& action) {
    QTimer::singleShot(0, action);
    // A stuck program fails the test instead of hanging it.
    QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
    EXPECT_EQ(QApplication::exec(), 0) << "the program did not end";
    gate.reset();
}

TFormMain& SentrelTest::main() const { return *gate->mainWindow(); }

}  // namespace apptest
