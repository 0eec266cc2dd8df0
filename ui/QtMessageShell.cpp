#include "ui/QtMessageShell.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QThread>
#include <QUrl>
#include <future>

namespace kavelin {
namespace {

QMessageBox::Icon ToQt(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Error:
            return QMessageBox::Critical;
        case MessageIcon::Warning:
            return QMessageBox::Warning;
        case MessageIcon::Information:
            return QMessageBox::Information;
        case MessageIcon::Question:
            return QMessageBox::Question;
        case MessageIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

MessageAnswer ShowOnThisThread(const std::string& text, const std::string& title, MessageIcon icon,
                               MessageButtons buttons) {
    QMessageBox box(
        ToQt(icon), QString::fromStdString(title), QString::fromStdString(text),
        buttons == MessageButtons::YesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    QPalette colours = box.palette();
    colours.setColor(QPalette::Window, QColor(190, 190, 210));
    box.setPalette(colours);
    const int answer = box.exec();
    if (buttons == MessageButtons::Ok) {
        return MessageAnswer::Ok;
    }
    return answer == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
}

bool OnUiThread() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

}  // namespace

MessageAnswer QtMessageShell::ShowMessage(const std::string& text, const std::string& title,
                                          MessageIcon icon, MessageButtons buttons) {
    if (OnUiThread()) {
        return ShowOnThisThread(text, title, icon, buttons);
    }
    // The asking thread waits on the answer itself, so that the hand-over is
    // one the standard library (and the thread checker) can see.
    std::promise<MessageAnswer> answer;
    std::future<MessageAnswer> answered = answer.get_future();
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [&] { answer.set_value(ShowOnThisThread(text, title, icon, buttons)); },
        Qt::QueuedConnection);
    return answered.get();
}

bool QtMessageShell::OpenAddress(const std::string& address) {
    if (!IsWebAddress(address)) {
        return false;
    }
    const QUrl url(QString::fromStdString(address));
    if (OnUiThread()) {
        return QDesktopServices::openUrl(url);
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [url] { QDesktopServices::openUrl(url); },
        Qt::QueuedConnection);
    return true;
}

}  // namespace kavelin
