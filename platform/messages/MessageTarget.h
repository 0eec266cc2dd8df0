#pragma once

#include <cstdint>
#include <string>

namespace kavelin {

// Message numbers keep the desktop's WM_APP range so that WM_APP+100 and
// friends read the same everywhere in the program.
inline constexpr unsigned WM_APP = 0x8000;

// Receiver of the numbered messages that workers post. The main window turns
// each post into a queued event on the UI thread; tests record them. A post
// never blocks and is dropped while the receiver has no window.
class MessageTarget {
public:
    virtual ~MessageTarget() = default;
    virtual void PostMessage(unsigned message, std::intptr_t wParam, std::intptr_t lParam) = 0;
    // A problem a worker met and works around (it tries again later), for
    // the window's status line. Never blocks; ignored where nobody shows it.
    virtual void ReportProblem(const std::string& /*text*/) {}
};

}  // namespace kavelin
