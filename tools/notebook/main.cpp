// notebook --script FILE [--trace FILE] [--events FILE] [--registry-out FILE] [--driver PATH]
// notebook serve ... | notebook ctl ...   (the live notebook: serve/serve.h)
//
// Boots the simulated notebook in virtual time, runs the scenario, writes
// the requested files and ends standard output with one JSON summary line.
// Exit status: 0 ran, 1 the verifier stopped the machine, 2 bad input.
#include "scenario.h"
#include "script.h"
#include "serve.h"

#include <fstream>
#include <iostream>
#include <string>
#include <sys/stat.h>

namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

const char* kUsage =
    "usage: notebook --script FILE [--trace FILE] [--events FILE] [--registry-out FILE]\n"
    "                [--driver PATH]\n"
    "         runs a scenario script in virtual time and prints a JSON summary line\n"
    "       notebook serve [--socket PATH] [--state DIR] [--events FILE] ...   (notebook serve --help)\n"
    "         runs the notebook in real time for user-mode programs\n"
    "       notebook ctl [--socket PATH] ACTION ...   (notebook ctl help)\n"
    "         acts on a serving notebook's world\n";

int Usage(const std::string& problem) {
    std::cerr << "notebook: " << problem << "\n" << kUsage;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // The live notebook: notebook serve ..., notebook ctl ... (serve/serve.h).
    if (argc >= 2 && std::string(argv[1]) == "serve") {
        return notebook::ServeMain(argc - 1, argv + 1, NOTEBOOK_SOURCE_DIR, NOTEBOOK_ZHP_MODULE);
    }
    if (argc >= 2 && std::string(argv[1]) == "ctl") return notebook::CtlMain(argc - 1, argv + 1);
    std::string script, trace, events, registryOut, driver;
    bool driverGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (i + 1 >= argc) return Usage("expected a value after " + arg);
        const std::string value = argv[++i];
        if (arg == "--script") {
            script = value;
        } else if (arg == "--trace") {
            trace = value;
        } else if (arg == "--events") {
            events = value;
        } else if (arg == "--registry-out") {
            registryOut = value;
        } else if (arg == "--driver") {
            driver = value;
            driverGiven = true;
        } else {
            return Usage("unknown option " + arg);
        }
    }
    if (script.empty()) return Usage("expected --script FILE");

    notebook::ParseResult parsed = notebook::ParseScriptFile(script, NOTEBOOK_SOURCE_DIR);
    if (parsed.error) {
        std::cerr << "notebook: " << parsed.error->ToString() << "\n";
        return 2;
    }

    if (driverGiven) {
        if (!Exists(driver)) return Usage("no ZHP driver at " + driver);
    } else {
        driver = NOTEBOOK_ZHP_MODULE;
        if (driver.empty() || !Exists(driver)) {
            std::cerr << "notebook: no ZHP driver" << (driver.empty() ? std::string() : " at " + driver)
                      << "; the notebook runs unprotected\n";
            driver.clear();
        }
    }

    notebook::ScenarioOptions options;
    options.driver_path = driver;
    notebook::ScenarioResult result = notebook::RunScenario(*parsed.script, options);
    for (const std::string& note : result.notes) std::cerr << "notebook: " << note << "\n";
    if (!result.stop_report.empty()) std::cerr << "notebook: VERIFIER STOP " << result.stop_report << "\n";

    int status = result.exit_code;
    const std::pair<const std::string&, const std::string&> outputs[] = {
        {trace, result.trace}, {events, result.events}, {registryOut, result.registry}};
    for (const auto& [path, text] : outputs) {
        if (path.empty()) continue;
        if (!WriteFile(path, text)) {
            std::cerr << "notebook: cannot write " << path << "\n";
            if (status == 0) status = 2;
        }
    }
    if (status != 2 || !result.summary_json.empty()) std::cout << result.summary_json << std::endl;
    return status;
}
