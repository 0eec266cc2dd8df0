#include "app/WorkerThread.h"

#include "platform/messages/MessageBox.h"

namespace kavelin {

WorkerThread::WorkerThread(std::string moduleName, std::function<void()> loop)
    : m_strModuleName(std::move(moduleName)), m_loop(std::move(loop)) {}

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

void WorkerThread::Body() {
    try {
        m_loop();
    } catch (...) {
        ShowMessageBox("Unexpected error in module " + m_strModuleName + ".", "Fatal Error...",
                       MessageIcon::Error);
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
