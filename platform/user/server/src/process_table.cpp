#include "process_table.h"

namespace hostuser {

std::uint64_t ProcessRecord::Insert(const HandleEntry& entry) {
    std::lock_guard<std::mutex> lk(mutex);
    std::uint64_t value = nextHandle;
    nextHandle += 4;
    handles[value] = entry;
    return value;
}

std::optional<HandleEntry> ProcessRecord::Find(std::uint64_t value) {
    std::lock_guard<std::mutex> lk(mutex);
    auto it = handles.find(value);
    if (it == handles.end()) return std::nullopt;
    return it->second;
}

std::optional<HandleEntry> ProcessRecord::Remove(std::uint64_t value) {
    std::lock_guard<std::mutex> lk(mutex);
    auto it = handles.find(value);
    if (it == handles.end()) return std::nullopt;
    HandleEntry entry = it->second;
    handles.erase(it);
    return entry;
}

std::vector<HandleEntry> ProcessRecord::TakeAll() {
    std::lock_guard<std::mutex> lk(mutex);
    std::vector<HandleEntry> all;
    for (auto& entry : handles) all.push_back(entry.second);
    handles.clear();
    return all;
}

std::shared_ptr<ProcessRecord> ProcessTable::Attach(std::uint32_t pid) {
    std::lock_guard<std::mutex> lk(mutex_);
    std::shared_ptr<ProcessRecord>& process = processes_[pid];
    if (!process) {
        process = std::make_shared<ProcessRecord>();
        process->pid = pid;
    }
    process->connections++;
    return process;
}

bool ProcessTable::Detach(const std::shared_ptr<ProcessRecord>& process) {
    std::lock_guard<std::mutex> lk(mutex_);
    if (--process->connections > 0) return false;
    auto it = processes_.find(process->pid);
    if (it != processes_.end() && it->second == process) processes_.erase(it);
    return true;
}

std::size_t ProcessTable::Count() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return processes_.size();
}

}  // namespace hostuser
