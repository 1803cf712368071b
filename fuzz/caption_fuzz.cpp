// Fuzz target: Sentrel's caption reader on any file contents. Every window's
// reading is replayed on the input (sections %1, %2, %3 with 15, 4 and 21
// entries, the way the windows ask for them) plus a section that may not be
// there and entries read with no section found; no caption or hint may
// exceed its 63 characters, and nothing may crash or overrun.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "captions.h"

namespace {

void ReadWindow(const std::uint8_t* data, std::size_t size, char digit, int items, bool findSection) {
    // fmemopen refuses a zero-sized buffer: an empty file is a temporary file.
    std::FILE* file = size > 0 ? fmemopen(const_cast<std::uint8_t*>(data), size, "rb") : std::tmpfile();
    CaptionReader reader;
    if (!reader.Attach(file)) std::abort();
    if (findSection && !reader.FindSection(digit)) return;
    bool ended = false;
    for (int i = 0; i < items; ++i) {
        CaptionEntry entry{"built-in", "built-in"};
        if (!reader.ReadCaptionEntry(&entry)) {
            ended = true;
            if (entry.caption != "built-in" || entry.hint != "built-in") std::abort();  // no entry: untouched
            continue;
        }
        if (ended) std::abort();  // a section that ended stays ended
        if (entry.caption.size() > kCaptionTextMax || entry.hint.size() > kCaptionTextMax) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ReadWindow(data, size, '1', 15, true);
    ReadWindow(data, size, '2', 4, true);
    ReadWindow(data, size, '3', 21, true);
    ReadWindow(data, size, '9', 3, true);
    ReadWindow(data, size, '1', 200, false);
    return 0;
}
