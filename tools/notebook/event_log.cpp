#include "event_log.h"

#include <algorithm>

namespace notebook {

std::string Event::ToJson() const {
    std::string out = "{\"t_us\":" + std::to_string(t / hk::kMicrosecond) + ",\"event\":" + JsonString(name);
    if (!fields.empty()) out += "," + fields;
    return out + "}";
}

void EventLog::Add(hk::Time100ns t, const std::string& name, const JsonObject& fields) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (listener_) {
        listener_(Event{t, name, fields.Members()});
        return;
    }
    events_.push_back(Event{t, name, fields.Members()});
}

void EventLog::PassOn(std::function<void(const Event&)> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

std::vector<Event> EventLog::Sorted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Event> sorted = events_;
    std::stable_sort(sorted.begin(), sorted.end(), [](const Event& a, const Event& b) { return a.t < b.t; });
    return sorted;
}

std::size_t EventLog::Count(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(events_.begin(), events_.end(), [&](const Event& e) { return e.name == name; }));
}

std::string EventLog::Text() const {
    std::string text;
    for (const Event& e : Sorted()) text += e.ToJson() + "\n";
    return text;
}

}  // namespace notebook
