#include "platform/notify/DesktopNotifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include "platform/log/ProgramLog.h"

namespace kavelin {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
constexpr int kServerDefaultTimeout = -1;

}  // namespace

DesktopNotifications::DesktopNotifications(QDBusConnection bus) : m_bus(std::move(bus)) {}

void DesktopNotifications::Show(const QString& summary, const QString& body) {
    if (!m_bus.isConnected()) {
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
    // Services may read the body as markup: a tag's "&" or "<" must stay text.
    call.setArguments({QStringLiteral("Kavelin"), m_nLastId, QStringLiteral("kavelin"), summary,
                       body.toHtmlEscaped(), QStringList(), QVariantMap(), kServerDefaultTimeout});
    // A service that is missing answers with an error; one that is started on
    // demand may take a while. Either way the window does not wait.
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<uint> reply = *finished;
                if (reply.isValid()) {
                    m_nLastId = reply.value();
                } else {
                    Log(LogLevel::Debug, "notify", reply.error().message().toStdString());
                }
                finished->deleteLater();
            });
}

}  // namespace kavelin
