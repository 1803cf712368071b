// A wake-up signal for one OS thread: a futex word that one side posts and
// the owner waits on.
//
// The scheduler hands the processor from thread to thread through these.
// Unlike a condition variable, a baton is posted and waited on without the
// scheduler's lock, so the woken thread does not run straight into a lock
// its waker still holds: one hand-off costs one OS wake-up.
//
// A post is remembered until the owner consumes it, so a post that comes
// before the wait is not lost. Waits may also end early; callers re-check
// what they wait for.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace hk {

class Baton {
public:
    // Wakes the owner, or lets its next wait return at once.
    void Post() {
        if (word_.exchange(kPosted, std::memory_order_release) == kSleeping) {
            syscall(SYS_futex, &word_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
        }
    }

    // Waits for a post, at most until deadlineNs on CLOCK_MONOTONIC (negative:
    // no limit). True if a post was consumed.
    bool Wait(std::int64_t deadlineNs = -1) {
        std::uint32_t expected = kPosted;
        if (word_.compare_exchange_strong(expected, kIdle, std::memory_order_acquire)) return true;
        expected = kIdle;
        if (word_.compare_exchange_strong(expected, kSleeping, std::memory_order_acquire)) {
            timespec deadline{};
            timespec* limit = nullptr;
            if (deadlineNs >= 0) {
                deadline.tv_sec = static_cast<time_t>(deadlineNs / 1000000000);
                deadline.tv_nsec = static_cast<long>(deadlineNs % 1000000000);
                limit = &deadline;
            }
            // An absolute deadline on the monotonic clock; returns at once if
            // a post already changed the word.
            syscall(SYS_futex, &word_, FUTEX_WAIT_BITSET_PRIVATE, kSleeping, limit, nullptr,
                    FUTEX_BITSET_MATCH_ANY);
        }
        return word_.exchange(kIdle, std::memory_order_acquire) == kPosted;
    }

private:
    static constexpr std::uint32_t kIdle = 0;
    static constexpr std::uint32_t kPosted = 1;
    static constexpr std::uint32_t kSleeping = 2;
    std::atomic<std::uint32_t> word_{kIdle};
};

}  // namespace hk
