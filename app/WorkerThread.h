#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace kavelin {

// A worker's thread: runs the worker's loop inside a catch-all that shows
// "Unexpected error in module <name>." and ends the thread. Knows when its
// thread has ended, however it ended, so that shutdown never waits for a
// worker that died.
class WorkerThread {
public:
    WorkerThread(std::string moduleName, std::function<void()> loop);
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    void Start();
    bool HasEnded() const { return m_bEnded.load(); }
    // For a worker that is never asked to stop: its thread ends with the process.
    void Detach();

private:
    void Body();

    std::string m_strModuleName;
    std::function<void()> m_loop;
    std::atomic<bool> m_bEnded{false};
    std::thread m_thread;
};

// The stop handshake: sets the worker's stop request, then tests every `poll`
// whether it reported stopped, or its thread ended without reporting. `wait`
// spends each pause (a plain sleep unless the caller has other work meanwhile).
void StopAndWait(std::atomic<bool>& stopRequest, const std::atomic<bool>& stoppedReport,
                 const WorkerThread& thread,
                 std::chrono::milliseconds poll = std::chrono::milliseconds(1000),
                 const std::function<void(std::chrono::milliseconds)>& wait = {});

}  // namespace kavelin
