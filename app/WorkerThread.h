#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace kavelin {

// A worker's thread. An error that escapes the worker's loop does not end
// the worker for good: it is reported ("Unexpected error in module <name>
// ...") and the loop runs again after a pause that doubles with each error
// in a row, up to a minute. The thread ends when the loop returns, or when
// the stop request is set while it pauses. Knows when its thread has ended,
// however it ended, so that shutdown never waits for a worker that is gone.
class WorkerThread {
public:
    // Receives the text of each report; without one the text goes to standard error.
    using ProblemReport = std::function<void(const std::string&)>;

    // `stopRequest` is the worker's stop flag, or null for a worker that is
    // never asked to stop; `firstPause` is the pause after a first error.
    WorkerThread(std::string moduleName, std::function<void()> loop,
                 const std::atomic<bool>* stopRequest = nullptr, ProblemReport report = {},
                 std::chrono::milliseconds firstPause = std::chrono::seconds(1));
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    void Start();
    bool HasEnded() const { return m_bEnded.load(); }
    // For a worker that is never asked to stop: its thread ends with the process.
    void Detach();

private:
    void Body();
    void Report(const std::string& text) const;
    // False when the stop request came during the pause.
    bool PauseBeforeRetry(std::chrono::milliseconds span) const;
    bool StopRequested() const { return m_pStopRequest != nullptr && m_pStopRequest->load(); }

    std::string m_strModuleName;
    std::function<void()> m_loop;
    const std::atomic<bool>* m_pStopRequest;
    ProblemReport m_report;
    std::chrono::milliseconds m_firstPause;
    std::atomic<bool> m_bEnded{false};
    std::thread m_thread;
};

// The stop handshake: sets the worker's stop request, then tests every `poll`
// whether it reported stopped, or its thread ended without reporting. `wait`
// spends each pause (a plain sleep unless the caller has other work meanwhile).
void StopAndWait(std::atomic<bool>& stopRequest, const std::atomic<bool>& stoppedReport,
                 const WorkerThread& thread,
                 std::chrono::milliseconds poll = std::chrono::milliseconds(20),
                 const std::function<void(std::chrono::milliseconds)>& wait = {});

}  // namespace kavelin
