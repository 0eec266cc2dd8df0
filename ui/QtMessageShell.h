#pragma once

#include "platform/messages/MessageBox.h"

namespace kavelin {

// Message boxes and web pages on the desktop. A box asked for on another
// thread is shown on the UI thread while the asking thread waits for the answer.
class QtMessageShell : public MessageShell {
public:
    MessageAnswer ShowMessage(const std::string& text, const std::string& title, MessageIcon icon,
                              MessageButtons buttons) override;
    bool OpenAddress(const std::string& address) override;
};

}  // namespace kavelin
