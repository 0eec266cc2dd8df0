#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QVariantMap>

#include "platform/mpris/MediaControls.h"

namespace kavelin {

// Publishes the player on the session bus as org.mpris.MediaPlayer2.kavelin,
// the interface through which media keys, panels and shell widgets control
// players. Every call is handed to the MediaControls; Refresh() tells the bus
// what changed since the last time.
class MprisServer : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kServiceName = "org.mpris.MediaPlayer2.kavelin";
    static constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";

    explicit MprisServer(MediaControls& controls, QObject* parent = nullptr);
    ~MprisServer() override;

    // Takes the name on the bus; false (and nothing published) when there is
    // no bus or the name is taken. The player works the same either way.
    bool Register(QDBusConnection bus = QDBusConnection::sessionBus());
    bool IsRegistered() const { return m_bRegistered; }

    // Compares the properties with those last published and signals the changed ones.
    void Refresh();
    // The position jumped (a seek): tells the bus the new position.
    void NotifySeeked(qint64 positionUs);

    MediaControls& Controls() const { return m_controls; }
    QVariantMap PlayerProperties() const;

private:
    MediaControls& m_controls;
    QDBusConnection m_bus;
    bool m_bRegistered = false;
    QVariantMap m_published;
};

}  // namespace kavelin
