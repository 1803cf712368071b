// Port and register access and MmMapIoSpace, routed to the simulated hardware.
#include <cstdlib>

#include "kernel_internal.h"

using hk::K;
using Impl = hk::Kernel::Impl;

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

// The mapping that holds a register address, or null for ordinary memory.
static const hk::IoMapping* MappingOf(volatile const void* address, std::uint64_t* physical) {
    auto a = reinterpret_cast<std::uintptr_t>(address);
    auto& maps = K().ioMappings;
    auto it = maps.upper_bound(a);
    if (it == maps.begin()) return nullptr;
    --it;
    if (a >= it->first + it->second.length) return nullptr;
    *physical = it->second.physical + (a - it->first);
    return &it->second;
}

template <typename T>
static T RegisterRead(volatile T* reg) {
    std::uint64_t physical = 0;
    const hk::IoMapping* m = MappingOf(reg, &physical);
    if (m != nullptr && m->handler != nullptr) {
        return static_cast<T>(m->handler->ReadMemory(physical, sizeof(T) * 8));
    }
    return *reg;
}

template <typename T>
static void RegisterWrite(volatile T* reg, T value) {
    std::uint64_t physical = 0;
    const hk::IoMapping* m = MappingOf(reg, &physical);
    if (m != nullptr && m->handler != nullptr) {
        m->handler->WriteMemory(physical, value, sizeof(T) * 8);
        return;
    }
    *reg = value;
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
        if (physical >= hole.first && physical < hole.first + hole.second) return nullptr;
    }
    if (NumberOfBytes == 0) return nullptr;
    // Room for a full register read at the last mapped byte.
    std::size_t size = (NumberOfBytes + 8 + 4095) & ~std::size_t(4095);
    void* view = std::aligned_alloc(4096, size);
    if (view == nullptr) return nullptr;
    memset(view, 0, size);
    hk::MemoryHandler* handler = MemoryHandlerFor(physical);
    k.ioMappings[reinterpret_cast<std::uintptr_t>(view)] = hk::IoMapping{physical, NumberOfBytes, handler};
    // The view also holds a snapshot, for code that reads it without the
    // register routines.
    if (handler != nullptr) {
        for (std::size_t i = 0; i + 4 <= size && i < NumberOfBytes + 4; i += 4) {
            std::uint32_t v = handler->ReadMemory(physical + i, 32);
            memcpy(static_cast<char*>(view) + i, &v, 4);
        }
    }
    return view;
}

VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
    Impl& k = K();
    k.RequireIrql("MmUnmapIoSpace", DISPATCH_LEVEL);
    auto it = k.ioMappings.find(reinterpret_cast<std::uintptr_t>(BaseAddress));
    if (it == k.ioMappings.end() || it->second.length != NumberOfBytes) {
        k.Stop("BAD_IO_SPACE_UNMAP", "MmUnmapIoSpace of a range that MmMapIoSpace did not map",
               reinterpret_cast<std::uintptr_t>(BaseAddress), NumberOfBytes);
    }
    k.ioMappings.erase(it);
    std::free(BaseAddress);
}

}  // extern "C"
