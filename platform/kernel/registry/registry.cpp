#include "hostkernel/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "key_path.h"
#include "reg_file.h"

namespace hk {

namespace registry_detail {

struct KeyNode {
    std::wstring name;  // as created
    // Keyed by folded name, so iteration is the case-insensitive order in
    // which Windows enumerates subkeys.
    std::map<std::wstring, std::unique_ptr<KeyNode>> subkeys;
    std::vector<RegValue> values;  // in creation order
};

}  // namespace registry_detail

namespace {

using registry_detail::FoldName;
using registry_detail::KeyComponents;
using registry_detail::KeyNode;
using registry_detail::NamesEqual;
using registry_detail::RegFileEdit;

KeyNode* FindKey(KeyNode* root, const KeyComponents& components) {
    KeyNode* key = root;
    for (const std::wstring& name : components) {
        auto it = key->subkeys.find(FoldName(name));
        if (it == key->subkeys.end()) return nullptr;
        key = it->second.get();
    }
    return key;
}

// Only the hives live directly under \Registry, so nothing can be created
// beside them.
KeyNode* CreateKeyPath(KeyNode* root, const KeyComponents& components) {
    if (!components.empty() && !registry_detail::IsHiveName(components.front())) return nullptr;
    KeyNode* key = root;
    for (const std::wstring& name : components) {
        std::unique_ptr<KeyNode>& child = key->subkeys[FoldName(name)];
        if (!child) {
            child = std::make_unique<KeyNode>();
            child->name = name;
        }
        key = child.get();
    }
    return key;
}

// The hive roots and \Registry itself are permanent.
bool DeleteKeyPath(KeyNode* root, const KeyComponents& components) {
    if (components.size() < 2) return false;
    KeyNode* parent = FindKey(root, KeyComponents(components.begin(), components.end() - 1));
    return parent && parent->subkeys.erase(FoldName(components.back())) == 1;
}

std::vector<RegValue>::iterator FindValue(KeyNode* key, const std::wstring& name) {
    auto it = key->values.begin();
    while (it != key->values.end() && !NamesEqual(it->name, name)) ++it;
    return it;
}

bool SetValueIn(KeyNode* key, const std::wstring& name, std::uint32_t type, std::vector<std::uint8_t> data) {
    auto it = FindValue(key, name);
    if (it != key->values.end()) {
        it->type = type;
        it->data = std::move(data);
    } else {
        key->values.push_back(RegValue{name, type, std::move(data)});
    }
    return true;
}

bool DeleteValueIn(KeyNode* key, const std::wstring& name) {
    auto it = FindValue(key, name);
    if (it == key->values.end()) return false;
    key->values.erase(it);
    return true;
}

// Edits come from a parsed file, so their paths and names are already valid
// and none of them can fail.
void ApplyEdit(KeyNode* root, RegFileEdit& edit) {
    switch (edit.kind) {
    case RegFileEdit::Kind::kCreateKey:
        CreateKeyPath(root, edit.key);
        break;
    case RegFileEdit::Kind::kDeleteKey:
        DeleteKeyPath(root, edit.key);
        break;
    case RegFileEdit::Kind::kSetValue:
        SetValueIn(CreateKeyPath(root, edit.key), edit.valueName, edit.type, std::move(edit.data));
        break;
    case RegFileEdit::Kind::kDeleteValue:
        if (KeyNode* key = FindKey(root, edit.key)) DeleteValueIn(key, edit.valueName);
        break;
    }
}

// A key is written when it has values or no subkeys (importing a key creates
// its parents); the always-present hive roots only when they have values.
void ExportKey(const KeyNode& key, KeyComponents* path, std::string* out) {
    const bool isHiveRoot = path->size() == 1;
    const bool write = !path->empty() && (!key.values.empty() || (!isHiveRoot && key.subkeys.empty()));
    if (write) {
        *out += registry_detail::FormatKeyLine(*path);
        for (const RegValue& value : key.values) {
            if (value.name.empty()) *out += registry_detail::FormatValue(value);
        }
        for (const RegValue& value : key.values) {
            if (!value.name.empty()) *out += registry_detail::FormatValue(value);
        }
        *out += '\n';
    }
    for (const auto& entry : key.subkeys) {
        path->push_back(entry.second->name);
        ExportKey(*entry.second, path, out);
        path->pop_back();
    }
}

std::string ErrnoText(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

Registry::Registry() : root_(std::make_unique<KeyNode>()) {
    root_->name = L"Registry";
    CreateKeyPath(root_.get(), {std::wstring(registry_detail::kMachineHive)});
    CreateKeyPath(root_.get(), {std::wstring(registry_detail::kUserHive)});
}

Registry::~Registry() = default;

bool Registry::KeyExists(const std::wstring& path) const {
    const auto components = registry_detail::ParseKernelPath(path);
    if (!components) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return FindKey(root_.get(), *components) != nullptr;
}

bool Registry::CreateKey(const std::wstring& path) {
    const auto components = registry_detail::ParseKernelPath(path);
    if (!components) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return CreateKeyPath(root_.get(), *components) != nullptr;
}

bool Registry::DeleteKey(const std::wstring& path) {
    const auto components = registry_detail::ParseKernelPath(path);
    if (!components) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return DeleteKeyPath(root_.get(), *components);
}

bool Registry::SetValue(const std::wstring& path, const std::wstring& name, std::uint32_t type,
                        std::vector<std::uint8_t> data, bool createKey) {
    const auto components = registry_detail::ParseKernelPath(path);
    // \Registry itself has no .reg name, so it holds no values.
    if (!components || components->empty() || !registry_detail::IsValidValueName(name)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    KeyNode* key = createKey ? CreateKeyPath(root_.get(), *components) : FindKey(root_.get(), *components);
    return key && SetValueIn(key, name, type, std::move(data));
}

std::optional<RegValue> Registry::GetValue(const std::wstring& path, const std::wstring& name) const {
    const auto components = registry_detail::ParseKernelPath(path);
    if (!components) return std::nullopt;
    std::lock_guard<std::mutex> lock(mutex_);
    const KeyNode* key = FindKey(root_.get(), *components);
    if (!key) return std::nullopt;
    for (const RegValue& value : key->values) {
        if (NamesEqual(value.name, name)) return value;
    }
    return std::nullopt;
}

bool Registry::DeleteValue(const std::wstring& path, const std::wstring& name) {
    const auto components = registry_detail::ParseKernelPath(path);
    if (!components) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    KeyNode* key = FindKey(root_.get(), *components);
    return key && DeleteValueIn(key, name);
}

std::vector<std::wstring> Registry::SubKeys(const std::wstring& path) const {
    std::vector<std::wstring> names;
    const auto components = registry_detail::ParseKernelPath(path);
    if (!components) return names;
    std::lock_guard<std::mutex> lock(mutex_);
    if (const KeyNode* key = FindKey(root_.get(), *components)) {
        for (const auto& entry : key->subkeys) names.push_back(entry.second->name);
    }
    return names;
}

std::vector<RegValue> Registry::Values(const std::wstring& path) const {
    const auto components = registry_detail::ParseKernelPath(path);
    if (!components) return {};
    std::lock_guard<std::mutex> lock(mutex_);
    const KeyNode* key = FindKey(root_.get(), *components);
    return key ? key->values : std::vector<RegValue>{};
}

std::optional<RegError> Registry::ImportText(const std::string& text, const std::string& fileName) {
    std::vector<RegFileEdit> edits;
    if (auto error = registry_detail::ParseRegFile(text, fileName, &edits)) return error;
    std::lock_guard<std::mutex> lock(mutex_);
    for (RegFileEdit& edit : edits) ApplyEdit(root_.get(), edit);
    return std::nullopt;
}

std::optional<RegError> Registry::ImportFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return RegError{path, 0, std::string("expected a readable file (") + std::strerror(errno) + ")"};
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) return RegError{path, 0, std::string("expected a readable file (") + std::strerror(errno) + ")"};
    return ImportText(content.str(), path);
}

std::string Registry::ExportText(const std::wstring& rootPath) const {
    std::string out(registry_detail::kRegFileHeader);
    out += "\n\n";
    auto components = registry_detail::ParseKernelPath(rootPath);
    if (!components) return out;
    std::lock_guard<std::mutex> lock(mutex_);
    const KeyNode* key = root_.get();
    for (std::wstring& name : *components) {
        auto it = key->subkeys.find(FoldName(name));
        if (it == key->subkeys.end()) return out;
        key = it->second.get();
        name = key->name;  // the key lines show the names as created
    }
    ExportKey(*key, &*components, &out);
    return out;
}

bool Registry::SaveFileAtomic(const std::string& path, std::string* error) const {
    auto fail = [error](std::string message) {
        if (error) *error = std::move(message);
        return false;
    };
    const std::string text = ExportText();

    // The temporary file sits beside the target so that rename() replaces
    // it in one step on the same file system.
    std::string tempPath = path + ".tmp.XXXXXX";
    const int fd = ::mkstemp(tempPath.data());
    if (fd < 0) return fail(ErrnoText("cannot create a temporary file for", path));
    bool written = ::fchmod(fd, 0644) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
    std::string failure = written ? std::string() : ErrnoText("cannot write", tempPath);
    if (::close(fd) != 0 && written) {
        written = false;
        failure = ErrnoText("cannot write", tempPath);
    }
    if (!written) {
        ::unlink(tempPath.c_str());
        return fail(failure);
    }
    if (::rename(tempPath.c_str(), path.c_str()) != 0) {
        const std::string renameError = ErrnoText("cannot rename " + tempPath + " to", path);
        ::unlink(tempPath.c_str());
        return fail(renameError);
    }

    // Make the rename itself durable; a directory that cannot be opened or
    // synced (some file systems) leaves the new content in place anyway.
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

}  // namespace hk
