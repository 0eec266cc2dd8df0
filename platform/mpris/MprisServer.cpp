#include "platform/mpris/MprisServer.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QStringList>
#include <QUrl>

#include "platform/mpris/MprisAdaptors.h"

namespace kavelin {
namespace {

const QString kPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");

QDBusObjectPath TrackPath(int trackId) {
    if (trackId == 0) {
        return QDBusObjectPath(QStringLiteral("/org/mpris/MediaPlayer2/TrackList/NoTrack"));
    }
    return QDBusObjectPath(QStringLiteral("/org/kavelin/track/%1").arg(trackId));
}

QVariantMap MetadataOf(const MediaControls::Track& track) {
    QVariantMap metadata;
    metadata.insert("mpris:trackid", QVariant::fromValue(TrackPath(track.id)));
    if (track.id == 0) {
        return metadata;
    }
    if (track.lengthUs > 0) {
        metadata.insert("mpris:length", track.lengthUs);
    }
    metadata.insert("xesam:title", track.title);
    metadata.insert("xesam:artist", QStringList{track.artist});
    metadata.insert("xesam:album", track.album);
    if (!track.genre.isEmpty()) {
        metadata.insert("xesam:genre", QStringList{track.genre});
    }
    metadata.insert("xesam:url", QUrl::fromLocalFile(track.path).toString(QUrl::FullyEncoded));
    if (track.rating >= 0) {
        metadata.insert("xesam:userRating", track.rating);
    }
    return metadata;
}

QString StatusName(MediaControls::Status status) {
    switch (status) {
        case MediaControls::Status::Playing:
            return QStringLiteral("Playing");
        case MediaControls::Status::Paused:
            return QStringLiteral("Paused");
        case MediaControls::Status::Stopped:
            break;
    }
    return QStringLiteral("Stopped");
}

}  // namespace

MprisRootAdaptor::MprisRootAdaptor(MprisServer& server)
    : QDBusAbstractAdaptor(&server), m_server(server) {}

void MprisRootAdaptor::Raise() {
    m_server.Controls().Raise();
}

void MprisRootAdaptor::Quit() {
    m_server.Controls().Quit();
}

MprisPlayerAdaptor::MprisPlayerAdaptor(MprisServer& server)
    : QDBusAbstractAdaptor(&server), m_server(server) {}

QString MprisPlayerAdaptor::PlaybackStatus() const {
    return StatusName(m_server.Controls().PlaybackStatus());
}

QVariantMap MprisPlayerAdaptor::Metadata() const {
    return MetadataOf(m_server.Controls().CurrentTrack());
}

double MprisPlayerAdaptor::Volume() const {
    return m_server.Controls().Volume();
}

void MprisPlayerAdaptor::SetVolume(double volume) {
    m_server.Controls().SetVolume(qBound(0.0, volume, 1.0));
    m_server.Refresh();
}

qlonglong MprisPlayerAdaptor::Position() const {
    return m_server.Controls().PositionUs();
}

bool MprisPlayerAdaptor::CanSeek() const {
    return m_server.Controls().CurrentTrack().id != 0;
}

void MprisPlayerAdaptor::Next() {
    m_server.Controls().Next();
    m_server.Refresh();
}

void MprisPlayerAdaptor::Pause() {
    m_server.Controls().Pause();
    m_server.Refresh();
}

void MprisPlayerAdaptor::PlayPause() {
    m_server.Controls().PlayPause();
    m_server.Refresh();
}

void MprisPlayerAdaptor::Stop() {
    m_server.Controls().Stop();
    m_server.Refresh();
}

void MprisPlayerAdaptor::Play() {
    m_server.Controls().Play();
    m_server.Refresh();
}

void MprisPlayerAdaptor::Seek(qlonglong offset) {
    const MediaControls::Track track = m_server.Controls().CurrentTrack();
    if (track.id == 0) {
        return;
    }
    const qlonglong target = m_server.Controls().PositionUs() + offset;
    if (track.lengthUs > 0 && target >= track.lengthUs) {
        // Past the end is the same as the end of the track.
        Next();
        return;
    }
    m_server.Controls().SetPositionUs(qMax<qlonglong>(0, target));
}

void MprisPlayerAdaptor::SetPosition(const QDBusObjectPath& trackId, qlonglong position) {
    const MediaControls::Track track = m_server.Controls().CurrentTrack();
    // A request meant for a track that has ended since is stale: ignore it.
    if (track.id == 0 || trackId != TrackPath(track.id) || position < 0 ||
        (track.lengthUs > 0 && position > track.lengthUs)) {
        return;
    }
    m_server.Controls().SetPositionUs(position);
}

void MprisPlayerAdaptor::OpenUri(const QString&) {
    if (calledFromDBus()) {
        sendErrorReply(QDBusError::NotSupported,
                       QStringLiteral("Kavelin plays the tracks of its catalog only."));
    }
}

MprisServer::MprisServer(MediaControls& controls, QObject* parent)
    : QObject(parent), m_controls(controls), m_bus(QString()) {
    new MprisRootAdaptor(*this);
    new MprisPlayerAdaptor(*this);
}

MprisServer::~MprisServer() {
    if (m_bRegistered) {
        m_bus.unregisterObject(kObjectPath);
        m_bus.unregisterService(kServiceName);
    }
}

bool MprisServer::Register(QDBusConnection bus) {
    if (m_bRegistered || !bus.isConnected()) {
        return false;
    }
    if (!bus.registerObject(kObjectPath, this, QDBusConnection::ExportAdaptors)) {
        return false;
    }
    if (!bus.registerService(kServiceName)) {
        bus.unregisterObject(kObjectPath);
        return false;
    }
    m_bus = bus;
    m_bRegistered = true;
    m_published = PlayerProperties();
    return true;
}

QVariantMap MprisServer::PlayerProperties() const {
    const MediaControls::Track track = m_controls.CurrentTrack();
    return {
        {"PlaybackStatus", StatusName(m_controls.PlaybackStatus())},
        {"Metadata", MetadataOf(track)},
        {"Volume", m_controls.Volume()},
        {"CanSeek", track.id != 0},
    };
}

void MprisServer::Refresh() {
    if (!m_bRegistered) {
        return;
    }
    const QVariantMap current = PlayerProperties();
    QVariantMap changed;
    for (auto property = current.begin(); property != current.end(); ++property) {
        if (m_published.value(property.key()) != property.value()) {
            changed.insert(property.key(), property.value());
        }
    }
    m_published = current;
    if (changed.isEmpty()) {
        return;
    }
    QDBusMessage signal =
        QDBusMessage::createSignal(kObjectPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                   QStringLiteral("PropertiesChanged"));
    signal << kPlayerInterface << changed << QStringList();
    m_bus.send(signal);
}

void MprisServer::NotifySeeked(qint64 positionUs) {
    if (m_bRegistered) {
        emit findChild<MprisPlayerAdaptor*>()->Seeked(positionUs);
    }
}

}  // namespace kavelin
