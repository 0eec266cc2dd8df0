#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

namespace kavelin {

// Desktop notification bubbles through the desktop's notification service
// (org.freedesktop.Notifications on the session bus). Each bubble replaces
// the one this object showed before. Calls never wait for the service; when
// there is none, or no bus, nothing is shown and nothing is reported.
class DesktopNotifications : public QObject {
    Q_OBJECT
public:
    explicit DesktopNotifications(QDBusConnection bus = QDBusConnection::sessionBus());

    // `body` is plain text; the service is given it with markup characters escaped.
    void Show(const QString& summary, const QString& body);

private:
    QDBusConnection m_bus;
    uint m_nLastId = 0;  // the service's number of our last bubble, 0 before the first
};

}  // namespace kavelin
