#include "app/WorkerThread.h"

#include <algorithm>
#include <cstdio>
#include <exception>

namespace kavelin {
namespace {

constexpr auto kLongestPause = std::chrono::milliseconds(60000);
// A loop that ran this long before its error starts the pauses afresh.
constexpr auto kSteadyRun = std::chrono::minutes(5);
constexpr auto kStopCheckInterval = std::chrono::milliseconds(20);

}  // namespace

WorkerThread::WorkerThread(std::string moduleName, std::function<void()> loop,
                           const std::atomic<bool>* stopRequest, ProblemReport report,
                           std::chrono::milliseconds firstPause)
    : m_strModuleName(std::move(moduleName)),
      m_loop(std::move(loop)),
      m_pStopRequest(stopRequest),
      m_report(std::move(report)),
      m_firstPause(firstPause) {}

WorkerThread::~WorkerThread() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void WorkerThread::Start() {
    m_thread = std::thread([this] { Body(); });
}

void WorkerThread::Detach() {
    if (m_thread.joinable()) {
        m_thread.detach();
    }
}

void WorkerThread::Report(const std::string& text) const {
    if (m_report) {
        m_report(text);
    } else {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
}

bool WorkerThread::PauseBeforeRetry(std::chrono::milliseconds span) const {
    const auto until = std::chrono::steady_clock::now() + span;
    while (!StopRequested()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) {
            return true;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(until - now, kStopCheckInterval));
    }
    return false;
}

void WorkerThread::Body() {
    auto pause = m_firstPause;
    for (;;) {
        const auto started = std::chrono::steady_clock::now();
        std::string what;
        try {
            m_loop();
            break;
        } catch (const std::exception& error) {
            what = error.what();
        } catch (...) {
            what = "unknown error";
        }
        if (StopRequested()) {
            break;
        }
        if (std::chrono::steady_clock::now() - started >= kSteadyRun) {
            pause = m_firstPause;
        }
        const auto seconds =
            std::max<long long>(1, std::chrono::duration_cast<std::chrono::seconds>(pause).count());
        Report("Unexpected error in module " + m_strModuleName + " (" + what +
               "). Trying again in " + std::to_string(seconds) + " s.");
        if (!PauseBeforeRetry(pause)) {
            break;
        }
        pause = std::min<std::chrono::milliseconds>(pause * 2, kLongestPause);
    }
    m_bEnded = true;
}

void StopAndWait(std::atomic<bool>& stopRequest, const std::atomic<bool>& stoppedReport,
                 const WorkerThread& thread, std::chrono::milliseconds poll,
                 const std::function<void(std::chrono::milliseconds)>& wait) {
    stopRequest = true;
    while (!stoppedReport && !thread.HasEnded()) {
        if (wait) {
            wait(poll);
        } else {
            std::this_thread::sleep_for(poll);
        }
    }
}

}  // namespace kavelin
