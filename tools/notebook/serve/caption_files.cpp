#include "caption_files.h"

#include <filesystem>
#include <optional>
#include <system_error>

#include <hostkernel/registry.h>

namespace notebook {

namespace {

std::optional<std::string> HalvorinDirectory(const hk::Registry& registry) {
    for (const wchar_t* name : {L"AppDataDir", L"InstallDir"}) {
        auto value = registry.GetValue(L"\\Registry\\Machine\\SOFTWARE\\Halvorin", name);
        if (!value) continue;
        std::optional<std::wstring> text = hk::RegSzText(value->data);
        if (!text) return std::nullopt;
        std::string narrow;
        for (wchar_t c : *text) {
            if (c > 0x7F) return std::nullopt;  // installer paths are plain ASCII
            narrow.push_back(static_cast<char>(c));
        }
        return narrow;
    }
    return std::nullopt;
}

}  // namespace

std::string PlaceCaptionFiles(const hk::Registry& registry, const std::string& sourceDir, const std::string& driveC,
                              std::string* problem) {
    namespace fs = std::filesystem;
    std::optional<std::string> windowsDir = HalvorinDirectory(registry);
    if (!windowsDir) {
        *problem = "no caption directory in HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorin";
        return {};
    }
    const std::string& dir = *windowsDir;
    if (dir.size() < 3 || (dir[0] != 'C' && dir[0] != 'c') || dir[1] != ':' || dir[2] != '\\') {
        *problem = "expected the caption directory on drive C, found \"" + dir + "\"";
        return {};
    }
    fs::path target = driveC;
    std::string component;
    for (std::size_t i = 3; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '\\') {
            if (component == "..") {
                *problem = "the caption directory \"" + dir + "\" climbs out of drive C";
                return {};
            }
            if (!component.empty() && component != ".") target /= component;
            component.clear();
        } else {
            component.push_back(dir[i]);
        }
    }
    std::error_code error;
    fs::create_directories(target, error);
    const fs::path source = fs::path(sourceDir) / "install" / "captions";
    for (fs::directory_iterator it(source, error), end; !error && it != end; it.increment(error)) {
        if (!it->is_regular_file()) continue;
        fs::copy_file(it->path(), target / it->path().filename(), fs::copy_options::overwrite_existing, error);
        if (error) break;
    }
    if (error) {
        *problem = "cannot place the caption files in " + target.string() + ": " + error.message();
        return {};
    }
    return dir;
}

}  // namespace notebook
