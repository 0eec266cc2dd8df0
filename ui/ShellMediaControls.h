#pragma once

#include <QObject>
#include <optional>

#include "platform/mpris/MprisServer.h"

namespace kavelin {

class CADODataBase;
class CMainDlg;
class PlaybackEngine;

// The desktop's media controls as the main window's own buttons and sliders:
// each request goes through the handler of the matching control, so a Next
// from a media key is a skip like any other.
class ShellMediaControls : public QObject, public MediaControls {
    Q_OBJECT
public:
    ShellMediaControls(CMainDlg& window, PlaybackEngine& player, CADODataBase& database);

    // Puts the player on the bus; false when there is none (the player works without).
    bool Publish(QDBusConnection bus = QDBusConnection::sessionBus());
    MprisServer& Server() { return m_server; }

    Status PlaybackStatus() const override;
    Track CurrentTrack() const override;
    qint64 PositionUs() const override;
    double Volume() const override;

    void PlayPause() override;
    void Play() override;
    void Pause() override;
    void Stop() override;
    void Next() override;
    void SetPositionUs(qint64 position) override;
    void SetVolume(double volume) override;
    void Raise() override;
    void Quit() override;

private:
    // What the catalog adds to the current track; read once per track and mood.
    struct Details {
        int trackId = 0;
        int moodId = 0;
        int genreId = 0;
        QString genre;
        double rating = -1;
    };
    const Details& DetailsOf(int trackId, int moodId, int genreId) const;

    CMainDlg& m_window;
    PlaybackEngine& m_player;
    CADODataBase& m_database;
    // Stop is a pause at the start of the track, shown as stopped until played again.
    bool m_bStopped = false;
    mutable std::optional<Details> m_details;
    MprisServer m_server;
};

}  // namespace kavelin
