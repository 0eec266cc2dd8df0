#include "catalog/WriteWaits.h"

#include <algorithm>

namespace kavelin {

namespace {

// A release that comes from another process, or that falls between a failed
// attempt and the wait, is noticed after this long.
constexpr auto kPollInterval = std::chrono::milliseconds(1);

// Connections belong to one thread each, so the start of the current wait is
// the thread's own.
thread_local std::chrono::steady_clock::time_point t_waitStart;
thread_local std::chrono::milliseconds t_limit = std::chrono::milliseconds::max();

}  // namespace

bool WriteWaits::WaitForRelease(int attempt) {
    const auto now = std::chrono::steady_clock::now();
    if (attempt == 0) {
        t_waitStart = now;
        m_nWaitsBegun.fetch_add(1, std::memory_order_relaxed);
    } else if (now - t_waitStart >= std::min(m_timeout, t_limit)) {
        return false;
    }
    std::unique_lock lock(m_lock);
    const std::uint64_t seen = m_nReleases;
    m_released.wait_for(lock, kPollInterval, [&] { return m_nReleases != seen; });
    return true;
}

void WriteWaits::Released() {
    {
        std::lock_guard lock(m_lock);
        ++m_nReleases;
    }
    m_released.notify_all();
}

WriteWaitLimit::WriteWaitLimit(std::chrono::milliseconds limit) : m_previous(t_limit) {
    t_limit = std::min(limit, t_limit);
}

WriteWaitLimit::~WriteWaitLimit() {
    t_limit = m_previous;
}

}  // namespace kavelin
