// libFuzzer target: the registry's .reg reader (Registry::ImportText) on
// arbitrary bytes. Besides the sanitizers' findings it checks the reader's
// two promises:
//   - all or nothing: a file with an error leaves the registry as it was;
//   - a registry exported and imported into an empty one comes back
//     exactly (keys, values, types and bytes), so export, import, export
//     gives the same text twice.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "hostkernel/registry.h"

namespace {

// What every input's registry holds before the import: a key with values
// of each type, so an import that touches them before failing would show.
const char kBefore[] =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ZHP\\INIT]\n"
    "\"PCI_SMBUS_ADDR\"=dword:0000f000\n"
    "\"Name\"=\"value\"\n"
    "\"Bytes\"=hex:01,02,03\n"
    "\"Multi\"=hex(7):41,00,00,00,00,00\n";

[[noreturn]] void Finding(const char* what, const std::string& a, const std::string& b) {
    std::fprintf(stderr, "finding: %s\n--- first\n%s\n--- second\n%s\n", what, a.c_str(), b.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    hk::Registry registry;
    if (registry.ImportText(kBefore, "before.reg")) std::abort();
    const std::string before = registry.ExportText();

    if (std::optional<hk::RegError> error = registry.ImportText(text, "input.reg")) {
        if (error->message.empty() || error->line < 0) Finding("an error without a message or line", error->ToString(), "");
        const std::string after = registry.ExportText();
        if (after != before) Finding("a refused file changed the registry", before, after);
        return 0;
    }

    const std::string exported = registry.ExportText();
    hk::Registry copy;
    if (std::optional<hk::RegError> error = copy.ImportText(exported, "exported.reg")) {
        Finding("the registry's own export does not import", exported, error->ToString());
    }
    const std::string again = copy.ExportText();
    if (again != exported) Finding("export, import, export changed the text", exported, again);
    return 0;
}
