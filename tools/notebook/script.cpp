#include "script.h"

#include "hw/storage.h"

#include <hostkernel/registry.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace notebook {
namespace {

struct Token {
    std::string text;
    bool quoted = false;
};

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Splits a line into words; a double-quoted word may hold spaces and the
// escapes \" and \\ (kept as written; any other backslash is itself);
// '#' outside quotes ends the line.
bool Tokenize(const std::string& line, std::vector<Token>* tokens, std::string* problem) {
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
            continue;
        }
        if (c == '#') break;
        Token token;
        if (c == '"') {
            token.quoted = true;
            std::size_t j = i + 1;
            token.text = "\"";
            for (; j < line.size() && line[j] != '"'; ++j) {
                const bool escape = line[j] == '\\' && j + 1 < line.size() && (line[j + 1] == '"' || line[j + 1] == '\\');
                if (escape) token.text += line[j++];
                token.text += line[j];
            }
            if (j >= line.size()) {
                *problem = "expected a closing quote";
                return false;
            }
            token.text += '"';
            i = j + 1;
        } else {
            std::size_t j = i;
            while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
            token.text = line.substr(i, j - i);
            i = j;
        }
        tokens->push_back(token);
    }
    return true;
}

std::string Unquote(const Token& token) {
    if (!token.quoted) return token.text;
    std::string out;
    for (std::size_t i = 1; i + 1 < token.text.size(); ++i) {
        const char next = i + 2 < token.text.size() ? token.text[i + 1] : '\0';
        if (token.text[i] == '\\' && (next == '"' || next == '\\')) ++i;
        out += token.text[i];
    }
    return out;
}

std::string RegQuote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::optional<std::uint64_t> ParseUnsigned(const std::string& text, std::uint64_t maximum) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > maximum) return std::nullopt;
    return v;
}

std::optional<double> ParseNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(v)) return std::nullopt;
    return v;
}

class Parser {
public:
    explicit Parser(const ScriptSource& source) : source_(source) { script_.file = source.file; }

    ParseResult Run() {
        std::istringstream in(source_.text);
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            line_ = number;
            std::vector<Token> tokens;
            std::string problem;
            if (!Tokenize(line, &tokens, &problem)) return Fail(problem);
            if (tokens.empty()) continue;
            if (!Statement(tokens)) return Failure();
        }
        line_ = number;
        if (!booted_ && !Boot(false)) return Failure();
        ParseResult result;
        result.script = std::move(script_);
        return result;
    }

private:
    ParseResult Fail(const std::string& message) {
        error_ = ScriptError{source_.file, line_, message};
        return Failure();
    }
    ParseResult Failure() {
        ParseResult result;
        result.error = error_;
        return result;
    }
    bool Error(const std::string& message) {
        error_ = ScriptError{source_.file, line_, message};
        return false;
    }

    bool Statement(const std::vector<Token>& t) {
        const std::string& word = t[0].text;
        if (word == "seed") return Seed(t);
        if (word == "clock") return Clock(t);
        if (word == "processors") return Processors(t);
        if (word == "registry") return Registry(t);
        if (word == "reg") return Reg(t);
        if (word == "disk") return Disk(t);
        if (word == "chipset") return Chipset(t);
        if (word == "boot") {
            if (t.size() != 1) return Error("expected nothing after boot");
            if (booted_) return Error(implicit_boot_ ? "expected boot before the first at or run" : "expected one boot only");
            return Boot(true);
        }
        if (word == "at") return At(t);
        if (word == "run") return RunTo(t);
        return Error("expected seed, clock, processors, registry, reg, disk, chipset, boot, at or run");
    }

    bool BeforeBoot(const std::string& what) {
        if (!booted_) return true;
        return Error("expected " + what + " before boot" + (implicit_boot_ ? " (the first at or run boots)" : ""));
    }

    bool Seed(const std::vector<Token>& t) {
        if (!BeforeBoot("seed")) return false;
        if (t.size() != 2) return Error("expected seed NUMBER");
        auto v = ParseUnsigned(t[1].text, UINT64_MAX);
        if (!v) return Error("expected a seed number, not \"" + t[1].text + "\"");
        script_.seed = *v;
        return true;
    }

    bool Clock(const std::vector<Token>& t) {
        if (!BeforeBoot("clock")) return false;
        if (t.size() != 2 || (t[1].text != "windows" && t[1].text != "exact")) {
            return Error("expected clock windows or clock exact");
        }
        script_.clock = t[1].text == "exact" ? hk::ClockInterrupt::Exact : hk::ClockInterrupt::Windows;
        return true;
    }

    bool Processors(const std::vector<Token>& t) {
        if (!BeforeBoot("processors")) return false;
        const auto v = t.size() == 2 ? ParseUnsigned(t[1].text, hk::kMaxProcessorCount) : std::nullopt;
        if (!v || *v < 1) {
            return Error("expected processors N with N from 1 to " + std::to_string(hk::kMaxProcessorCount));
        }
        script_.processors = static_cast<unsigned>(*v);
        return true;
    }

    bool Registry(const std::vector<Token>& t) {
        if (!BeforeBoot("registry")) return false;
        if (t.size() != 2) return Error("expected registry FILE");
        const std::string name = Unquote(t[1]);
        std::string path;
        if (!name.empty() && name[0] == '/') {
            path = name;
        } else if (FileExists(source_.script_dir + "/" + name)) {
            path = source_.script_dir + "/" + name;
        } else {
            path = source_.source_dir + "/" + name;
        }
        if (!FileExists(path)) return Error("expected a registry file that exists, not \"" + name + "\"");
        return AddRegistryFile(path);
    }

    bool AddRegistryFile(const std::string& path) {
        hk::Registry scratch;
        if (auto err = scratch.ImportFile(path)) {
            std::ostringstream where;
            where << " (registry file named at " << source_.file << ":" << line_ << ")";
            error_ = ScriptError{err->file, err->line, err->message + where.str()};
            return false;
        }
        script_.registry_files.push_back(path);
        return true;
    }

    bool Reg(const std::vector<Token>& t) {
        if (t.size() < 2 || (t[1].text != "set" && t[1].text != "delete")) return Error("expected reg set or reg delete");
        const bool set = t[1].text == "set";
        if (set && t.size() != 5) return Error("expected reg set KEYPATH NAME VALUE");
        if (!set && t.size() != 3 && t.size() != 4) return Error("expected reg delete KEYPATH [NAME]");
        const std::string key = Unquote(t[2]);
        auto kernelPath = hk::KernelPathFromRegPath(Widen(key));
        if (!kernelPath) return Error("expected a key path like HKEY_LOCAL_MACHINE\\SOFTWARE\\Name, not \"" + key + "\"");
        Statement_ s;
        s.kind = StatementKind::RegEdit;
        s.line = line_;
        s.edit.key = *kernelPath;
        if (!set) {
            s.edit.remove = true;
            s.edit.whole_key = t.size() == 3;
            if (!s.edit.whole_key) s.edit.name = Widen(Unquote(t[3]));
            script_.statements.push_back(s);
            return true;
        }
        const std::string name = Unquote(t[3]);
        // The value goes through the .reg importer, so it reads exactly as regedit reads it.
        const std::string text = "Windows Registry Editor Version 5.00\n\n[" + key + "]\n" + RegQuote(name) + "=" +
                                 t[4].text + "\n";
        hk::Registry scratch;
        if (auto err = scratch.ImportText(text, source_.file)) {
            return Error("expected a value as in a .reg file (hex:aa,bb  dword:0000001f  \"text\"): " + err->message);
        }
        auto value = scratch.GetValue(*kernelPath, Widen(name));
        if (!value) return Error("expected a value as in a .reg file");
        s.edit.name = Widen(name);
        s.edit.type = value->type;
        s.edit.data = value->data;
        script_.statements.push_back(s);
        return true;
    }

    bool Chipset(const std::vector<Token>& t) {
        if (!BeforeBoot("chipset")) return false;
        if (t.size() != 2 || t[1].text.rfind("gpio=", 0) != 0) return Error("expected chipset gpio=ADDRESS");
        const std::string text = t[1].text.substr(5);
        // PCI_GPIO_ADDR holds 32 bits; address 0 is no register.
        auto address = ParseUnsigned(text, UINT32_MAX);
        if (!address || *address == 0) {
            return Error("expected a GPIO address from 0x1 to 0xFFFFFFFF, not \"" + text + "\"");
        }
        script_.gpio_address = *address;
        return true;
    }

    bool Disk(const std::vector<Token>& t) {
        if (!BeforeBoot("disk")) return false;
        if (t.size() < 2) return Error("expected disk NAME driver=DRIVER [removable] [readonly] [floppy]");
        hw::DiskConfig config;
        config.name = t[1].text;
        if (names_.count(config.name)) return Error("expected a disk name not used before, not \"" + config.name + "\"");
        for (std::size_t i = 2; i < t.size(); ++i) {
            const std::string& option = t[i].text;
            const auto eq = option.find('=');
            const std::string key = option.substr(0, eq);
            const std::string value = eq == std::string::npos ? std::string() : option.substr(eq + 1);
            if (option == "removable") {
                config.removable = true;
            } else if (option == "readonly") {
                config.read_only = true;
            } else if (option == "floppy") {
                config.floppy = true;
            } else if (option == "fail_park") {
                config.faults.fail_park = true;
            } else if (key == "driver" && eq != std::string::npos) {
                if (!hw::StorageSubsystem::IsUsableBusDriverName(value)) {
                    return Error("expected a bus driver name (letters, digits, _ - .; not disk), not \"" + value + "\"");
                }
                config.bus_driver = value;
            } else if (key == "io_error_every" && eq != std::string::npos) {
                auto n = ParseUnsigned(value, UINT32_MAX);
                if (!n) return Error("expected io_error_every=N");
                config.faults.io_error_every = static_cast<std::uint32_t>(*n);
            } else if (key == "slow_park" && eq != std::string::npos) {
                auto time = ParseTime(value);
                if (!time) return Error("expected slow_park=TIME like 1500ms");
                config.faults.slow_park = *time;
            } else {
                return Error("expected driver=DRIVER, removable, readonly, floppy, io_error_every=N, slow_park=TIME "
                             "or fail_park, not \"" + option + "\"");
            }
        }
        names_.insert(config.name);
        script_.disks.push_back(config);
        return true;
    }

    bool Boot(bool explicitBoot) {
        if (script_.registry_files.empty()) {
            for (const std::string& path : DefaultRegistryFiles(source_.source_dir)) {
                if (!FileExists(path)) return Error("expected the default registry file " + path);
                if (!AddRegistryFile(path)) return false;
            }
        }
        if (script_.disks.empty()) {
            script_.disks.push_back(hw::DiskConfig{});
            names_.insert(script_.disks.back().name);
        }
        for (std::size_t i = 0; i < script_.disks.size(); ++i) script_.disks[i].seed = script_.seed * 1000003 + i;
        booted_ = true;
        implicit_boot_ = !explicitBoot;
        Statement_ s;
        s.kind = StatementKind::Boot;
        s.line = explicitBoot ? line_ : 0;
        script_.statements.push_back(s);
        return true;
    }

    bool TimeAfterLastRun(const std::string& text, Time100ns* time) {
        auto t = ParseTime(text);
        if (!t) return Error("expected a time like 250ms or 1.5s, not \"" + text + "\"");
        if (*t < last_run_) return Error("expected a time no earlier than the run before (" + last_run_text_ + ")");
        *time = *t;
        return true;
    }

    bool RunTo(const std::vector<Token>& t) {
        if (t.size() != 2) return Error("expected run TIME");
        Statement_ s;
        s.kind = StatementKind::Run;
        s.line = line_;
        if (!TimeAfterLastRun(t[1].text, &s.time)) return false;
        if (!booted_ && !Boot(false)) return false;
        last_run_ = s.time;
        last_run_text_ = t[1].text;
        script_.statements.push_back(s);
        return true;
    }

    bool At(const std::vector<Token>& t) {
        if (t.size() < 3) return Error("expected at TIME ACTION");
        Statement_ s;
        s.kind = StatementKind::At;
        s.line = line_;
        if (!TimeAfterLastRun(t[1].text, &s.time)) return false;
        if (!booted_ && !Boot(false)) return false;
        std::vector<Token> words(t.begin() + 2, t.end());
        if (!ParseAction(words, &s.action)) return false;
        s.action.line = line_;
        for (const Token& w : words) s.action.text += (s.action.text.empty() ? "" : " ") + w.text;
        script_.statements.push_back(s);
        return true;
    }

    bool KnownDisk(const std::string& name) {
        if (names_.count(name)) return true;
        return Error("expected the name of a disk, not \"" + name + "\"");
    }

    bool ParseAction(const std::vector<Token>& t, Action* a) {
        const std::string& verb = t[0].text;
        const std::size_t n = t.size();
        auto exactly = [&](std::size_t count, const char* form) { return n == count || Error(std::string("expected ") + form); };
        if (verb == "pin") {
            if (n != 2 || (t[1].text != "on" && t[1].text != "off" && t[1].text != "low")) {
                return Error("expected pin on, pin off or pin low");
            }
            a->kind = t[1].text == "on" ? ActionKind::PinOn : t[1].text == "off" ? ActionKind::PinOff : ActionKind::PinLow;
            return true;
        }
        if (verb == "drop") {
            if (!exactly(2, "drop METRES")) return false;
            auto h = ParseNumber(t[1].text);
            if (!h || *h <= 0.0 || *h > 100.0) return Error("expected a height in metres above 0, not \"" + t[1].text + "\"");
            a->kind = ActionKind::Drop;
            a->value = *h;
            return true;
        }
        if (verb == "rest" || verb == "carry" || verb == "typing" || verb == "flush" || verb == "suspend" ||
            verb == "resume" || verb == "shutdown") {
            if (!exactly(1, (verb + " (alone)").c_str())) return false;
            a->kind = verb == "rest"      ? ActionKind::Rest
                      : verb == "carry"   ? ActionKind::Carry
                      : verb == "typing"  ? ActionKind::Typing
                      : verb == "flush"   ? ActionKind::Flush
                      : verb == "suspend" ? ActionKind::Suspend
                      : verb == "resume"  ? ActionKind::Resume
                                          : ActionKind::Shutdown;
            return true;
        }
        if (verb == "tilt") {
            if (!exactly(3, "tilt PITCH ROLL (degrees)")) return false;
            auto p = ParseNumber(t[1].text), r = ParseNumber(t[2].text);
            if (!p || !r) return Error("expected tilt PITCH ROLL in degrees");
            a->kind = ActionKind::Tilt;
            a->value = *p;
            a->value2 = *r;
            return true;
        }
        if (verb == "reads" || verb == "writes") {
            if (n != 4 || t[2].text != "every") return Error("expected " + verb + " N every TIME");
            auto count = ParseUnsigned(t[1].text, 1000000);
            if (!count || *count == 0) return Error("expected a request count from 1 to 1000000, not \"" + t[1].text + "\"");
            auto every = ParseTime(t[3].text);
            if (!every || *every <= 0) return Error("expected a time above 0 like 10ms, not \"" + t[3].text + "\"");
            a->kind = verb == "reads" ? ActionKind::Reads : ActionKind::Writes;
            a->count = static_cast<std::uint32_t>(*count);
            a->every = *every;
            return true;
        }
        if (verb == "ioctl") {
            if (n < 2) return Error("expected ioctl CMD [OFFSET=VALUE ...]");
            auto cmd = ParseUnsigned(t[1].text, UINT32_MAX);
            if (!cmd) return Error("expected a command number, not \"" + t[1].text + "\"");
            a->kind = ActionKind::Ioctl;
            a->words[0] = static_cast<std::uint32_t>(*cmd);
            for (std::size_t i = 2; i < n; ++i) {
                const auto eq = t[i].text.find('=');
                auto offset = eq == std::string::npos ? std::nullopt : ParseUnsigned(t[i].text.substr(0, eq), 76);
                auto value = eq == std::string::npos ? std::nullopt : ParseUnsigned(t[i].text.substr(eq + 1), UINT32_MAX);
                if (!offset || *offset % 4 != 0 || !value) {
                    return Error("expected OFFSET=VALUE with OFFSET a multiple of 4 from 0 to 76, not \"" + t[i].text + "\"");
                }
                a->words[*offset / 4] = static_cast<std::uint32_t>(*value);
            }
            return true;
        }
        if (verb == "power") {
            if (n != 2 || t[1].text.size() != 2 || t[1].text[0] != 'D' || t[1].text[1] < '0' || t[1].text[1] > '3') {
                return Error("expected power D0, D1, D2 or D3");
            }
            a->kind = ActionKind::Power;
            a->power = static_cast<hw::DevicePower>(t[1].text[1] - '0' + 1);
            return true;
        }
        if (verb == "remove") {
            if (!exactly(2, "remove NAME")) return false;
            if (!KnownDisk(t[1].text)) return false;
            a->kind = ActionKind::Remove;
            a->disk = t[1].text;
            return true;
        }
        if (verb == "fault") {
            const char* form = "expected fault NAME fail_park on|off, fault NAME slow_park TIME or fault NAME io_errors N";
            if (n != 4) return Error(form);
            if (!KnownDisk(t[1].text)) return false;
            a->kind = ActionKind::Fault;
            a->disk = t[1].text;
            if (t[2].text == "fail_park" && (t[3].text == "on" || t[3].text == "off")) {
                a->fault = FaultKind::FailPark;
                a->count = t[3].text == "on";
            } else if (t[2].text == "slow_park" && ParseTime(t[3].text)) {
                a->fault = FaultKind::SlowPark;
                a->every = *ParseTime(t[3].text);
            } else if (t[2].text == "io_errors" && ParseUnsigned(t[3].text, UINT32_MAX)) {
                a->fault = FaultKind::IoErrors;
                a->count = static_cast<std::uint32_t>(*ParseUnsigned(t[3].text, UINT32_MAX));
            } else {
                return Error(form);
            }
            return true;
        }
        return Error("expected an action (pin, drop, rest, carry, typing, tilt, reads, writes, flush, ioctl, power, "
                     "suspend, resume, remove, fault, shutdown), not \"" + verb + "\"");
    }

    using Statement_ = notebook::Statement;

    const ScriptSource& source_;
    Script script_;
    std::optional<ScriptError> error_;
    int line_ = 0;
    bool booted_ = false;
    bool implicit_boot_ = false;
    Time100ns last_run_ = 0;
    std::string last_run_text_ = "0s";
    std::set<std::string> names_;
};

}  // namespace

std::string ScriptError::ToString() const { return file + ":" + std::to_string(line) + ": " + message; }

std::optional<Time100ns> ParseTime(const std::string& text) {
    std::size_t digits = 0;
    while (digits < text.size() && (std::isdigit(static_cast<unsigned char>(text[digits])) || text[digits] == '.')) ++digits;
    if (digits == 0) return std::nullopt;
    const std::string unit = text.substr(digits);
    Time100ns scale = 0;
    if (unit == "us") scale = hk::kMicrosecond;
    if (unit == "ms") scale = hk::kMillisecond;
    if (unit == "s") scale = hk::kSecond;
    auto value = ParseNumber(text.substr(0, digits));
    if (scale == 0 || !value || *value < 0.0 || *value * scale > 1e6 * hk::kSecond) return std::nullopt;
    return static_cast<Time100ns>(std::llround(*value * static_cast<double>(scale)));
}

std::vector<std::string> DefaultRegistryFiles(const std::string& source_dir) {
    return {source_dir + "/install/ZHP.reg", source_dir + "/install/Halvorin.reg"};
}

ParseResult ParseScript(const ScriptSource& source) { return Parser(source).Run(); }

ParseResult ParseScriptFile(const std::string& path, const std::string& source_dir) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ParseResult result;
        result.error = ScriptError{path, 0, "expected a script file that can be read"};
        return result;
    }
    std::ostringstream text;
    text << in.rdbuf();
    ScriptSource source{text.str(), path, DirectoryOf(path), source_dir};
    return ParseScript(source);
}

}  // namespace notebook
