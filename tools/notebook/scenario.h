// Runs a parsed script on a fresh machine in virtual time and collects what
// the notebook produces: the summary, the event log, the driver's debug
// output and the registry at exit.
#pragma once

#include "script.h"
#include "summary.h"

#include <string>
#include <vector>

namespace notebook {

struct ScenarioOptions {
    std::string driver_path;  // the ZHP module; empty: the notebook runs unprotected
    hk::Time100ns line_sample_period = 500 * hk::kMicrosecond;
    bool plots = false;  // draw a timeline of every drop
};

struct NamedFile {
    std::string name;
    std::string text;
};

struct ScenarioResult {
    int exit_code = 0;  // 0 ran; 1 the verifier stopped the machine; 2 the machine could not run
    Summary summary;
    std::string summary_json;
    std::string events;    // JSON lines, in time order
    std::string trace;     // the debug output exactly as printed
    std::string registry;  // .reg text of the registry at exit
    std::string stop_report;         // empty unless the verifier stopped the machine
    std::vector<std::string> notes;  // for standard error
    std::vector<NamedFile> plots;    // per drop "drop-NN.svg", when asked for
};

ScenarioResult RunScenario(const Script& script, const ScenarioOptions& options);

}  // namespace notebook
