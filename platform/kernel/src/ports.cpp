// Port and register access and MmMapIoSpace, routed to the simulated hardware.
#include <cstdlib>
#include <string>

#include "kernel_internal.h"

using hk::K;
using Impl = hk::Kernel::Impl;

constexpr std::size_t kPageSize = 4096;

static std::uint32_t PortRead(std::uintptr_t port, unsigned width) {
    auto p = static_cast<std::uint16_t>(port);
    for (const auto& m : K().ports) {
        if (p >= m.first && p < m.first + m.count) return m.handler->ReadPort(p, width);
    }
    return width == 8 ? 0xFFu : width == 16 ? 0xFFFFu : 0xFFFFFFFFu;  // nobody answers: the bus floats high
}

static void PortWrite(std::uintptr_t port, std::uint32_t value, unsigned width) {
    auto p = static_cast<std::uint16_t>(port);
    for (const auto& m : K().ports) {
        if (p >= m.first && p < m.first + m.count) {
            m.handler->WritePort(p, value, width);
            return;
        }
    }
}

static hk::MemoryHandler* MemoryHandlerFor(std::uint64_t address) {
    for (const auto& m : K().memory) {
        if (address >= m.first && address < m.first + m.length) return m.handler;
    }
    return nullptr;
}

// The mapping whose pages hold a register access, or null for ordinary
// memory. An access that reaches past the bytes the driver mapped stops the
// machine: on Windows the bytes beyond the length may sit on a page that is
// not mapped at all.
static const hk::IoMapping* MappingOf(volatile const void* address, unsigned bytes, std::uint64_t* physical) {
    Impl& k = K();
    auto a = reinterpret_cast<std::uintptr_t>(address);
    auto it = k.ioMappings.upper_bound(a);
    if (it == k.ioMappings.begin()) return nullptr;
    --it;
    const hk::IoMapping& m = it->second;
    if (a >= it->first + m.pageBytes) return nullptr;
    if (a < m.base || a + bytes > m.base + m.length) {
        k.Stop("IO_SPACE_ACCESS_BEYOND_MAPPING",
               "a register access of " + std::to_string(bytes) + " bytes reaches outside the " +
                   std::to_string(m.length) + " bytes MmMapIoSpace mapped",
               a, bytes, m.base, m.length);
    }
    *physical = m.physical + (a - m.base);
    return &m;
}

template <typename T>
static T RegisterRead(volatile T* reg) {
    std::uint64_t physical = 0;
    const hk::IoMapping* m = MappingOf(reg, sizeof(T), &physical);
    if (m != nullptr && m->handler != nullptr) {
        return static_cast<T>(m->handler->ReadMemory(physical, sizeof(T) * 8));
    }
    // Plain memory; x64 allows a register address of any alignment.
    T value;
    memcpy(&value, const_cast<T*>(reg), sizeof(T));
    return value;
}

template <typename T>
static void RegisterWrite(volatile T* reg, T value) {
    std::uint64_t physical = 0;
    const hk::IoMapping* m = MappingOf(reg, sizeof(T), &physical);
    if (m != nullptr && m->handler != nullptr) {
        m->handler->WriteMemory(physical, value, sizeof(T) * 8);
        return;
    }
    memcpy(const_cast<T*>(reg), &value, sizeof(T));
}

extern "C" {

UCHAR READ_PORT_UCHAR(PUCHAR Port) { return static_cast<UCHAR>(PortRead(reinterpret_cast<std::uintptr_t>(Port), 8)); }
USHORT READ_PORT_USHORT(PUSHORT Port) {
    return static_cast<USHORT>(PortRead(reinterpret_cast<std::uintptr_t>(Port), 16));
}
ULONG READ_PORT_ULONG(PULONG Port) { return PortRead(reinterpret_cast<std::uintptr_t>(Port), 32); }
VOID WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) { PortWrite(reinterpret_cast<std::uintptr_t>(Port), Value, 8); }
VOID WRITE_PORT_USHORT(PUSHORT Port, USHORT Value) { PortWrite(reinterpret_cast<std::uintptr_t>(Port), Value, 16); }
VOID WRITE_PORT_ULONG(PULONG Port, ULONG Value) { PortWrite(reinterpret_cast<std::uintptr_t>(Port), Value, 32); }

UCHAR READ_REGISTER_UCHAR(volatile UCHAR* Register) { return RegisterRead(Register); }
USHORT READ_REGISTER_USHORT(volatile USHORT* Register) { return RegisterRead(Register); }
ULONG READ_REGISTER_ULONG(volatile ULONG* Register) { return RegisterRead(Register); }
VOID WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value) { RegisterWrite(Register, Value); }
VOID WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value) { RegisterWrite(Register, Value); }
VOID WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value) { RegisterWrite(Register, Value); }

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE) {
    Impl& k = K();
    k.RequireIrql("MmMapIoSpace", DISPATCH_LEVEL);
    auto physical = static_cast<std::uint64_t>(PhysicalAddress.QuadPart);
    for (const auto& hole : k.mappingHoles) {
        if (physical < hole.first + hole.second && physical + NumberOfBytes > hole.first) return nullptr;
    }
    if (NumberOfBytes == 0) return nullptr;
    // Whole pages; the returned address keeps the physical page offset.
    const std::size_t offset = physical & (kPageSize - 1);
    const std::size_t pageBytes = (offset + NumberOfBytes + kPageSize - 1) & ~(kPageSize - 1);
    void* view = std::aligned_alloc(kPageSize, pageBytes);
    if (view == nullptr) return nullptr;
    memset(view, 0, pageBytes);
    const auto pages = reinterpret_cast<std::uintptr_t>(view);
    hk::MemoryHandler* handler = MemoryHandlerFor(physical);
    k.ioMappings[pages] = hk::IoMapping{pages + offset, physical, NumberOfBytes, pageBytes, handler};
    // The mapped bytes also hold a snapshot, for code that reads them without
    // the register routines.
    if (handler != nullptr) {
        for (std::size_t i = 0; i < NumberOfBytes; ++i) {
            static_cast<std::uint8_t*>(view)[offset + i] =
                static_cast<std::uint8_t>(handler->ReadMemory(physical + i, 8));
        }
    }
    return reinterpret_cast<PVOID>(pages + offset);
}

VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
    Impl& k = K();
    k.RequireIrql("MmUnmapIoSpace", DISPATCH_LEVEL);
    const auto base = reinterpret_cast<std::uintptr_t>(BaseAddress);
    auto it = k.ioMappings.find(base & ~std::uintptr_t(kPageSize - 1));
    if (it == k.ioMappings.end() || it->second.base != base || it->second.length != NumberOfBytes) {
        k.Stop("BAD_IO_SPACE_UNMAP", "MmUnmapIoSpace of a range that MmMapIoSpace did not map",
               reinterpret_cast<std::uintptr_t>(BaseAddress), NumberOfBytes);
    }
    std::free(reinterpret_cast<void*>(it->first));
    k.ioMappings.erase(it);
}

}  // extern "C"
