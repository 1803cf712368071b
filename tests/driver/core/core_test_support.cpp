#include "core_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

namespace coretest {

SinkScope::SinkScope(hk::Kernel& kernel, std::function<void(const std::string&)> sink) : kernel_(kernel) {
    kernel_.SetDebugSink(std::move(sink));
}

SinkScope::~SinkScope() { kernel_.SetDebugSink(nullptr); }

void SwitchProtectionOn(zhptest::Machine& m) {
    zhptest::Reply on = m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}});
    ASSERT_EQ(on.status, STATUS_SUCCESS);
    ASSERT_TRUE(m.Flag() & ZHP_FLAG_SENSOR_ON);
}

void BlockDisk(zhptest::Machine& m) {
    SwitchProtectionOn(m);
    m.Pin(true);
    m.Run(hk::kSecond);  // detection waits for the park before it blocks
    ASSERT_TRUE(m.Flag() & ZHP_FLAG_IO_BLOCKED) << std::hex << m.Flag();
}

zhptest::Reply ReleaseNow(zhptest::Machine& m) { return m.Command(ZHP_CMD_RELEASE_DISK); }

hk::RequestPtr Read(zhptest::Machine& m, std::uint64_t offset) {
    hk::RequestPtr request;
    m.Do([&] { request = hk::SendRead(m.DiskTop(), offset, hw::kSectorSize); });
    return request;
}

hk::RequestPtr Write(zhptest::Machine& m, std::uint64_t offset) {
    hk::RequestPtr request;
    m.Do([&] {
        request = hk::SendWrite(m.DiskTop(), offset, std::vector<std::uint8_t>(hw::kSectorSize, 0x5A));
    });
    return request;
}

std::vector<PIRP> HeldIrps(zhptest::Machine& m) {
    std::vector<PIRP> irps;
    LIST_ENTRY* head = &m.FilterExt()->PendingIrpList;
    for (LIST_ENTRY* e = head->Flink; e != head; e = e->Flink) {
        irps.push_back(CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry));
    }
    return irps;
}

std::vector<std::uint64_t> MediaOffsets(zhptest::Machine& m, std::size_t from) {
    std::vector<std::uint64_t> offsets;
    const auto& accesses = m.Disk().MediaAccesses();
    for (std::size_t i = from; i < accesses.size(); ++i) offsets.push_back(accesses[i].offset);
    return offsets;
}

std::vector<std::string> Lines(const zhptest::Machine& m, std::size_t from) {
    const auto& all = m.kernel.DebugOutput();
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end());
}

std::string PointerText(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)));
    return text;
}

bool HasRun(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
    return std::search(lines.begin(), lines.end(), expected.begin(), expected.end()) != lines.end();
}

std::size_t Count(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

}  // namespace coretest
