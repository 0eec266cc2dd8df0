#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kavelin {

// How the threads of the program wait for the catalog's write lock.
//
// SQLite's own busy wait sleeps for growing spans, up to 100 ms at a time,
// and so can miss every short gap between the scanner's transactions until
// its timeout runs out and the write (a rating, a play) fails. Here a waiting
// thread is woken as soon as a transaction of this program ends, and the
// scanner can see that somebody waits and let them go first.
class WriteWaits {
public:
    explicit WriteWaits(std::chrono::milliseconds timeout) : m_timeout(timeout) {}

    // The busy handler of a connection: `attempt` counts from 0 for each
    // statement. Waits for the next release or a short while; false once the
    // statement has waited the whole timeout.
    bool WaitForRelease(int attempt);
    // Called when a transaction of this program has ended.
    void Released();
    // How many waits have begun so far; a change means a thread wants to write.
    std::uint64_t WaitsBegun() const { return m_nWaitsBegun.load(std::memory_order_relaxed); }

private:
    const std::chrono::milliseconds m_timeout;
    std::atomic<std::uint64_t> m_nWaitsBegun{0};
    std::mutex m_lock;
    std::condition_variable m_released;
    std::uint64_t m_nReleases = 0;
};

// Shortens every wait for the write lock on the calling thread while it
// lives: the window thread must not stall behind another program's hold, and
// a write that cannot get the lock soon is kept and retried elsewhere.
class WriteWaitLimit {
public:
    explicit WriteWaitLimit(std::chrono::milliseconds limit);
    ~WriteWaitLimit();
    WriteWaitLimit(const WriteWaitLimit&) = delete;
    WriteWaitLimit& operator=(const WriteWaitLimit&) = delete;

private:
    std::chrono::milliseconds m_previous;
};

}  // namespace kavelin
