#pragma once

#include <memory>
#include <string>

namespace kavelin {

enum class MessageIcon { None, Error, Warning, Information, Question };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

// The desktop's message box and shell "open". The default shell writes to
// standard error (no display, tests); the user interface installs one that
// shows real boxes on the UI thread.
class MessageShell {
public:
    virtual ~MessageShell() = default;
    virtual MessageAnswer ShowMessage(const std::string& text, const std::string& title,
                                      MessageIcon icon, MessageButtons buttons) = 0;
    // Opens a web page with the desktop's browser. Only http and https
    // addresses are opened; anything else is refused with false.
    virtual bool OpenAddress(const std::string& address) = 0;
};

// Replaces the shell used from now on; nullptr restores the standard-error one.
// Returns the previous shell so that tests can put it back.
std::shared_ptr<MessageShell> InstallMessageShell(std::shared_ptr<MessageShell> shell);

MessageAnswer ShowMessageBox(const std::string& text, const std::string& title,
                             MessageIcon icon = MessageIcon::None,
                             MessageButtons buttons = MessageButtons::Ok);
bool ShellOpen(const std::string& address);

// True for an absolute http:// or https:// address without blanks or control
// characters: the only kind of text the program hands to the desktop to open.
bool IsWebAddress(const std::string& address);

}  // namespace kavelin
