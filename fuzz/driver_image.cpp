#include "driver_image.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace zhpfuzz {
namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "driver image: %s\n", what.c_str());
    std::abort();
}

std::vector<char> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail("cannot read " + path);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The sections hold the sanitizer's poisoned red zones between globals: copy
// them byte by byte, out of the sanitizer's sight.
#if defined(__clang__) || defined(__GNUC__)
__attribute__((no_sanitize("address")))
#endif
void CopyBytes(volatile std::uint8_t* to, const volatile std::uint8_t* from, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) to[i] = from[i];
}

}  // namespace

DriverImage::DriverImage(const std::string& path) {
    // RTLD_NODELETE: the kernel never loads or unloads this image; it stays.
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle_ == nullptr) Fail(std::string("dlopen: ") + dlerror());
    entry_ = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(handle_, "DriverEntry"));
    if (entry_ == nullptr) Fail("no DriverEntry in " + path);
    struct link_map* map = nullptr;
    if (dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) Fail("no link map for " + path);

    // The writable data sections, found through the file's section headers.
    std::vector<char> file = ReadFile(path);
    if (file.size() < sizeof(Elf64_Ehdr) || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0) Fail("not ELF: " + path);
    const auto* header = reinterpret_cast<const Elf64_Ehdr*>(file.data());
    if (header->e_shoff == 0 || header->e_shoff + header->e_shnum * sizeof(Elf64_Shdr) > file.size()) {
        Fail("no section headers in " + path);
    }
    const auto* sections = reinterpret_cast<const Elf64_Shdr*>(file.data() + header->e_shoff);
    const Elf64_Shdr& names = sections[header->e_shstrndx];
    for (unsigned i = 0; i < header->e_shnum; ++i) {
        const Elf64_Shdr& s = sections[i];
        const char* name = file.data() + names.sh_offset + s.sh_name;
        if (std::strcmp(name, ".data") != 0 && std::strcmp(name, ".bss") != 0) continue;
        if ((s.sh_flags & SHF_WRITE) == 0 || (s.sh_flags & SHF_ALLOC) == 0 || s.sh_size == 0) continue;
        Section section;
        section.address = reinterpret_cast<std::uint8_t*>(map->l_addr + s.sh_addr);
        section.initial.resize(s.sh_size);
        CopyBytes(section.initial.data(), section.address, s.sh_size);
        sections_.push_back(std::move(section));
    }
    if (sections_.empty()) Fail("no data sections in " + path);
}

void* DriverImage::Symbol(const char* name) const {
    void* p = dlsym(handle_, name);
    if (p == nullptr) Fail(std::string("no driver symbol ") + name);
    return p;
}

void DriverImage::Reset() {
    for (Section& s : sections_) CopyBytes(s.address, s.initial.data(), s.initial.size());
}

}  // namespace zhpfuzz
