#include "platform/messages/MessageBox.h"

#include <iostream>
#include <mutex>

namespace kavelin {
namespace {

class StandardErrorShell : public MessageShell {
public:
    MessageAnswer ShowMessage(const std::string& text, const std::string& title, MessageIcon,
                              MessageButtons buttons) override {
        std::cerr << title << ": " << text << std::endl;
        return buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
    }
    bool OpenAddress(const std::string& address) override {
        if (!IsWebAddress(address)) {
            return false;
        }
        std::cerr << "open: " << address << std::endl;
        return true;
    }
};

std::mutex g_shellLock;

std::shared_ptr<MessageShell>& CurrentShell() {
    static std::shared_ptr<MessageShell> shell = std::make_shared<StandardErrorShell>();
    return shell;
}

std::shared_ptr<MessageShell> GetShell() {
    std::lock_guard lock(g_shellLock);
    return CurrentShell();
}

}  // namespace

std::shared_ptr<MessageShell> InstallMessageShell(std::shared_ptr<MessageShell> shell) {
    std::lock_guard lock(g_shellLock);
    auto previous = CurrentShell();
    CurrentShell() = shell ? std::move(shell) : std::make_shared<StandardErrorShell>();
    return previous;
}

MessageAnswer ShowMessageBox(const std::string& text, const std::string& title, MessageIcon icon,
                             MessageButtons buttons) {
    return GetShell()->ShowMessage(text, title, icon, buttons);
}

bool ShellOpen(const std::string& address) {
    return IsWebAddress(address) && GetShell()->OpenAddress(address);
}

bool IsWebAddress(const std::string& address) {
    std::string_view rest;
    if (address.starts_with("http://")) {
        rest = std::string_view(address).substr(7);
    } else if (address.starts_with("https://")) {
        rest = std::string_view(address).substr(8);
    } else {
        return false;
    }
    if (rest.empty() || rest.front() == '/') {
        return false;
    }
    for (unsigned char c : address) {
        if (c <= ' ' || c == 0x7F) {
            return false;
        }
    }
    return true;
}

}  // namespace kavelin
