#include "process_support.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace e2e {

const char* const kNotebook = E2E_NOTEBOOK;
const char* const kZhpctl = E2E_ZHPCTL;
const char* const kClient = E2E_CLIENT;

int Spawn(const std::vector<std::string>& argv, const std::string& socketPath, const std::string& outputPath) {
    // Everything the child needs is prepared before fork: between fork and
    // exec a threaded process may only make async-signal-safe calls.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::string(*e).rfind("ZHP_NOTEBOOK_SOCKET=", 0) != 0) env.push_back(*e);
    }
    env.push_back("ZHP_NOTEBOOK_SOCKET=" + socketPath);
    std::vector<std::string> args = argv;
    std::vector<char*> cargv, cenv;
    for (auto& a : args) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    for (auto& e : env) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    const char* out = outputPath.c_str();
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    return pid;
}

int WaitFor(int pid, int timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0) return -1;
        if (std::chrono::steady_clock::now() >= until) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

RunResult Run(const std::vector<std::string>& argv, const std::string& socketPath, int timeoutMs) {
    char pattern[] = "/tmp/zhp-e2e-run-XXXXXX";
    int fd = mkstemp(pattern);
    close(fd);
    std::string path = pattern;
    RunResult result;
    result.exitCode = WaitFor(Spawn(argv, socketPath, path), timeoutMs);
    result.output = ReadFile(path);
    unlink(path.c_str());
    return result;
}

bool FileEventuallyContains(const std::string& path, const std::string& text, int limitMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        if (ReadFile(path).find(text) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::size_t CountOccurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

Notebook::Notebook() {
    char pattern[] = "/tmp/zhp-e2e-XXXXXX";
    dir_ = mkdtemp(pattern);
    socket_ = dir_ + "/notebook.sock";
}

Notebook::~Notebook() {
    if (pid_ > 0) Stop();
    std::string command = "rm -rf '" + dir_ + "'";
    (void)!std::system(command.c_str());
}

bool Notebook::Start(const std::vector<std::string>& extra) {
    // Each start appends to the same log: a restart keeps the history.
    std::string log = LogPath() + "." + std::to_string(++starts_);
    std::vector<std::string> argv = {kNotebook, "serve", "--state", StateDir(), "--trace", TracePath()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    pid_ = Spawn(argv, socket_, log);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < until) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        if (ReadFile(log).find("serving user mode on") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::size_t Notebook::TraceCount(const std::string& text) const {
    const std::string trace = ReadFile(TracePath());
    std::size_t count = 0;
    for (std::size_t at = trace.find(text); at != std::string::npos; at = trace.find(text, at + text.size())) ++count;
    return count;
}

int Notebook::Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int code = WaitFor(pid_, 60000);
    pid_ = -1;
    return code;
}

void Notebook::Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    WaitFor(pid_, 60000);
    pid_ = -1;
}

std::string Notebook::Log() const {
    std::string all;
    for (int i = 1; i <= starts_; ++i) all += ReadFile(LogPath() + "." + std::to_string(i));
    return all;
}

bool Notebook::LogEventuallyContains(const std::string& text, int limitMs) const {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        if (Log().find(text) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

RunResult Notebook::Zhpctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kZhpctl};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv, socket_);
}

RunResult Notebook::Ctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kNotebook, "ctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv, socket_);
}

bool Notebook::ProtectionOn() {
    const std::vector<std::vector<std::string>> sequence = {
        {"107"}, {"102", "16=50", "32=10", "36=1"}, {"106"}, {"203"}, {"111", "16=50", "36=1"}, {"111", "16=50", "36=1"}};
    for (const auto& command : sequence) {
        if (Zhpctl(command).exitCode != 0) return false;
    }
    ZhpctlReply query = ParseZhpctlJson(Zhpctl({"--json", "107"}).output);
    return query.parsed && (query.words[2] & 0x02) != 0;  // FLAG_SENSOR_ON
}

ZhpctlReply ParseZhpctlJson(const std::string& output) {
    ZhpctlReply reply;
    unsigned long words[20];
    int consumed = 0;
    if (std::sscanf(output.c_str(), "{\"status\":%u,\"bytes\":%u,\"words\":[%n", &reply.status, &reply.bytes,
                    &consumed) != 2 ||
        consumed == 0) {
        return reply;
    }
    const char* p = output.c_str() + consumed;
    for (int i = 0; i < 20; ++i) {
        char* end = nullptr;
        words[i] = std::strtoul(p, &end, 10);
        if (end == p) return reply;
        p = end + 1;  // the comma or the closing bracket
        reply.words.push_back(words[i]);
    }
    reply.parsed = true;
    return reply;
}

}  // namespace e2e
