// The scenario's event log: one JSON object per line, each with the virtual
// time in microseconds ("t_us") and the event's name first. Events may be
// added out of time order (facts harvested from the disk after the run); the
// log is written sorted by time, events of the same time in the order added.
//
// A live log (the serving notebook's) passes each event on as it is added
// instead of keeping it: it runs for hours.
#pragma once

#include "json.h"

#include <hostkernel/io_space.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace notebook {

struct Event {
    hk::Time100ns t = 0;
    std::string name;
    std::string fields;  // JSON members without braces; may be empty
    std::string ToJson() const;
};

class EventLog {
public:
    void Add(hk::Time100ns t, const std::string& name, const JsonObject& fields = JsonObject());
    // From now on every event goes to the listener, in the order added (one
    // at a time), and is not kept.
    void PassOn(std::function<void(const Event&)> listener);
    std::vector<Event> Sorted() const;
    std::size_t Count(const std::string& name) const;
    // The sorted log as JSON lines.
    std::string Text() const;

private:
    mutable std::mutex mutex_;
    std::vector<Event> events_;
    std::function<void(const Event&)> listener_;
};

}  // namespace notebook
