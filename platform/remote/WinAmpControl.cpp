#include "platform/remote/WinAmpControl.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QProcess>
#include <QUrl>
#include <QVariant>
#include <chrono>
#include <thread>

#include "platform/log/ProgramLog.h"
#include "platform/messages/MessageBox.h"

namespace kavelin {
namespace {

const QString kService = QStringLiteral("org.atheme.audacious");
const QString kPath = QStringLiteral("/org/atheme/audacious");
const QString kInterface = QStringLiteral("org.atheme.audacious");
const QString kProgram = QStringLiteral("audacious");

constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kStartPoll = std::chrono::milliseconds(100);
// Audacious adds entries in the background; a play right after the add
// would find an empty list.
constexpr auto kAddTimeout = std::chrono::seconds(3);
constexpr auto kAddPoll = std::chrono::milliseconds(10);

QDBusMessage Call(const QString& method, const QList<QVariant>& arguments = {}) {
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    message.setArguments(arguments);
    return QDBusConnection::sessionBus().call(message, QDBus::Block);
}

// The first value of a reply, or `fallback` when the call failed.
QVariant Answer(const QDBusMessage& reply, const QVariant& fallback) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return fallback;
    }
    return reply.arguments().constFirst();
}

bool ServiceRegistered() {
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return false;
    }
    const QDBusReply<bool> reply = bus.interface()->isServiceRegistered(kService);
    return reply.isValid() && reply.value();
}

bool StartAndWait() {
    if (!QDBusConnection::sessionBus().isConnected() || !QProcess::startDetached(kProgram, {})) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ServiceRegistered()) {
            return true;
        }
        std::this_thread::sleep_for(kStartPoll);
    }
    return false;
}

int PlaylistLength() {
    return Answer(Call(QStringLiteral("Length")), 0).toInt();
}

}  // namespace

bool CWinAmpControl::EnsureWindow() {
    if (ServiceRegistered()) {
        m_bFound = true;
        return true;
    }
    m_bFound = false;
    Log(LogLevel::Info, "player", "starting the external player");
    if (!StartAndWait()) {
        Log(LogLevel::Error, "player", "the external player could not be started");
        m_bMissingUnreported = true;
        return false;
    }
    m_bFound = true;
    m_bStartedIt = true;
    return true;
}

void CWinAmpControl::CloseIfStarted() {
    if (!m_bStartedIt.exchange(false) || !ServiceRegistered()) {
        return;
    }
    Log(LogLevel::Info, "player", "closing the external player it started");
    Call(QStringLiteral("Quit"));
    m_bFound = false;
}

void CWinAmpControl::ReportIfMissing() {
    if (m_bMissingUnreported.exchange(false)) {
        ShowMessageBox(
            "Cannot locate WinAmp. Note: Only WinAmp 2.xx is supported, not WinAmp 3.0. Start "
            "WinAmp first and try again.",
            "WinAmp not found", MessageIcon::Warning);
    }
}

void CWinAmpControl::Command(int id) {
    if (!EnsureWindow()) {
        return;
    }
    switch (id) {
        case kCommandPlay:
            Call(QStringLiteral("Play"));
            break;
        case kCommandPause:
            Call(QStringLiteral("Pause"));
            break;
        case kCommandStop:
            Call(QStringLiteral("Stop"));
            break;
        default:
            break;
    }
}

void CWinAmpControl::Start() {
    if (EnsureWindow()) {
        Call(QStringLiteral("Play"));
    }
}

void CWinAmpControl::AddFile(const std::string& path) {
    if (!EnsureWindow()) {
        return;
    }
    const int before = PlaylistLength();
    const QString url = QUrl::fromLocalFile(QString::fromStdString(path)).toString();
    Call(QStringLiteral("AddUrl"), {url});
    const auto deadline = std::chrono::steady_clock::now() + kAddTimeout;
    while (PlaylistLength() <= before && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kAddPoll);
    }
}

void CWinAmpControl::ClearList() {
    if (EnsureWindow()) {
        Call(QStringLiteral("Clear"));
    }
}

int CWinAmpControl::IsPlaying() {
    if (!EnsureWindow()) {
        return kNotPlaying;
    }
    if (!Answer(Call(QStringLiteral("Playing")), false).toBool()) {
        return kNotPlaying;
    }
    return Answer(Call(QStringLiteral("Paused")), false).toBool() ? kPaused : kPlaying;
}

int CWinAmpControl::GetPosition() {
    if (!EnsureWindow()) {
        return 0;
    }
    return static_cast<int>(Answer(Call(QStringLiteral("Time")), 0u).toUInt());
}

int CWinAmpControl::GetLength() {
    if (!EnsureWindow()) {
        return 0;
    }
    const QVariant entry = Answer(Call(QStringLiteral("Position")), 0u);
    const int seconds = Answer(Call(QStringLiteral("SongLength"), {entry}), 0).toInt();
    return seconds > 0 ? seconds : 0;  // -1 while the length is unknown
}

void CWinAmpControl::JumpToTime(int milliseconds) {
    if (EnsureWindow()) {
        Call(QStringLiteral("Seek"), {static_cast<uint>(milliseconds < 0 ? 0 : milliseconds)});
    }
}

void CWinAmpControl::SetListPosition(int position) {
    if (EnsureWindow()) {
        Call(QStringLiteral("Jump"), {static_cast<uint>(position > 1 ? position - 1 : 0)});
    }
}

void CWinAmpControl::SetVolume(int volume) {
    if (!EnsureWindow()) {
        return;
    }
    const int percent = (volume < 0 ? 0 : volume > 255 ? 255 : volume) * 100 / 255;
    Call(QStringLiteral("SetVolume"), {percent, percent});
}

}  // namespace kavelin
