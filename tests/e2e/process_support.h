// Programs under test as separate processes: the live notebook (`notebook
// serve`), zhpctl, `notebook ctl` and the helper client, each with its own
// private temporary state and socket.
#pragma once

#include <string>
#include <vector>

namespace e2e {

struct RunResult {
    int exitCode = -1;  // -1: killed (also on time-out)
    std::string output; // standard output and error together
};

// Starts a program with ZHP_NOTEBOOK_SOCKET=socketPath; its standard output
// and error go to outputPath. Returns the pid.
int Spawn(const std::vector<std::string>& argv, const std::string& socketPath, const std::string& outputPath);
// Waits for the process for at most timeoutMs; kills it when it outlives that.
// Returns the exit code, -1 when it was killed by a signal or time-out.
int WaitFor(int pid, int timeoutMs);
// Runs a program to its end (or to the time-out).
RunResult Run(const std::vector<std::string>& argv, const std::string& socketPath, int timeoutMs = 60000);

std::string ReadFile(const std::string& path);
// Polls until the file contains the text (true) or the limit passes.
bool FileEventuallyContains(const std::string& path, const std::string& text, int limitMs = 60000);
std::size_t CountOccurrences(const std::string& text, const std::string& what);

// A serving notebook in a temporary directory of its own.
class Notebook {
public:
    Notebook();
    ~Notebook();  // stops it if running, removes the directory
    Notebook(const Notebook&) = delete;
    Notebook& operator=(const Notebook&) = delete;

    // Starts `notebook serve --state DIR/state` (plus extra arguments) and
    // waits until it serves. False when it did not come up; Log() says why.
    bool Start(const std::vector<std::string>& extra = {});
    // SIGTERM and wait; the exit code.
    int Stop();
    // SIGKILL: gone without shutting anything down.
    void Kill();
    bool Running() const { return pid_ > 0; }

    RunResult Zhpctl(const std::vector<std::string>& args);
    RunResult Ctl(const std::vector<std::string>& args);
    // The utility's protection-on sequence: 107, 102, 106, 203, 111, 111.
    bool ProtectionOn();

    std::string Log() const;
    bool LogEventuallyContains(const std::string& text, int limitMs = 60000) const;

    const std::string& Directory() const { return dir_; }
    const std::string& Socket() const { return socket_; }
    std::string StateDir() const { return dir_ + "/state"; }
    std::string LogPath() const { return dir_ + "/serve.log"; }
    // The driver's debug output of the current start (serve --trace).
    std::string TracePath() const { return dir_ + "/trace.txt." + std::to_string(starts_); }
    // How many messages of that output contain text.
    std::size_t TraceCount(const std::string& text) const;

private:
    std::string dir_;
    std::string socket_;
    int pid_ = -1;
    int starts_ = 0;
};

// The JSON reply of zhpctl --json: "status", "bytes", "words".
struct ZhpctlReply {
    bool parsed = false;
    unsigned status = 0;
    unsigned bytes = 0;
    std::vector<unsigned long> words;
};
ZhpctlReply ParseZhpctlJson(const std::string& output);

extern const char* const kNotebook;
extern const char* const kZhpctl;
extern const char* const kClient;

}  // namespace e2e
