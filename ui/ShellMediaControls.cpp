#include "ui/ShellMediaControls.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

#include "catalog/ADORecordset.h"
#include "ui/MainDlg.h"
#include "ui/WorkerLinks.h"

namespace kavelin {
namespace {

constexpr int kMaxVolume = 255;

// The rating of a track in a mood as 0 to 1; below 0 when it is not rated.
double ReadRating(CADODataBase& database, int trackId, int moodId) {
    char sql[128];
    std::snprintf(sql, sizeof sql, "SELECT Rating FROM tTrackMood WHERE TrackID=%d AND MoodID=%d",
                  trackId, moodId);
    CADORecordset rows(database);
    int rating = 0;
    if (!rows.OpenSource(sql, CADORecordset::SourceQuery) || rows.AtEnd() ||
        !rows.ReadField(0, rating)) {
        return -1;
    }
    if (rating == kRatingExcluded) {
        return 0;
    }
    if (rating < kRatingBad || rating > kRatingAwesome) {
        return -1;
    }
    return static_cast<double>(rating) / kRatingAwesome;
}

QString ReadGenre(CADODataBase& database, int genreId) {
    char sql[64];
    std::snprintf(sql, sizeof sql, "SELECT Name FROM tGenre WHERE ID=%d", genreId);
    CADORecordset rows(database);
    std::string name;
    if (!rows.OpenSource(sql, CADORecordset::SourceQuery) || rows.AtEnd() ||
        !rows.ReadField(0, name)) {
        return QString();
    }
    return QString::fromStdString(name);
}

}  // namespace

ShellMediaControls::ShellMediaControls(CMainDlg& window, PlaybackEngine& player,
                                       CADODataBase& database)
    : m_window(window), m_player(player), m_database(database), m_server(*this) {
    connect(&window, &CMainDlg::PlaybackChanged, &m_server, &MprisServer::Refresh);
    connect(&window, &CMainDlg::RatingChanged, this, [this] {
        m_details.reset();
        m_server.Refresh();
    });
    connect(&window, &CMainDlg::PositionMoved, this,
            [this](int milliseconds) { m_server.NotifySeeked(qint64{milliseconds} * 1000); });
}

bool ShellMediaControls::Publish(QDBusConnection bus) {
    return m_server.Register(std::move(bus));
}

MediaControls::Status ShellMediaControls::PlaybackStatus() const {
    if (!m_player.HasPlayer() || m_player.GetCurrentTrack().ID == 0) {
        return Status::Stopped;
    }
    if (m_player.IsPaused()) {
        return m_bStopped ? Status::Stopped : Status::Paused;
    }
    return Status::Playing;
}

const ShellMediaControls::Details& ShellMediaControls::DetailsOf(int trackId, int moodId,
                                                                 int genreId) const {
    if (!m_details || m_details->trackId != trackId || m_details->moodId != moodId ||
        m_details->genreId != genreId) {
        Details details{trackId, moodId, genreId, {}, -1};
        try {
            details.genre = ReadGenre(m_database, genreId);
            details.rating = ReadRating(m_database, trackId, moodId);
        } catch (const CADOException&) {
            // Shown without genre and rating.
        }
        m_details = details;
    }
    return *m_details;
}

MediaControls::Track ShellMediaControls::CurrentTrack() const {
    const CTrackInfo info = m_player.GetCurrentTrack();
    Track track;
    if (info.ID == 0) {
        return track;
    }
    const Details& details = DetailsOf(info.ID, m_player.MoodID(), info.GenreID);
    track.id = info.ID;
    track.title = QString::fromStdString(info.Trackname);
    track.artist = QString::fromStdString(info.Artist);
    track.album = QString::fromStdString(info.Album);
    track.path = QString::fromStdString(info.Filename);
    track.genre = details.genre;
    track.rating = details.rating;
    track.lengthUs = static_cast<qint64>(m_player.Length()) * 1000;
    return track;
}

qint64 ShellMediaControls::PositionUs() const {
    return static_cast<qint64>(m_player.Position()) * 1000;
}

double ShellMediaControls::Volume() const {
    return static_cast<double>(m_window.VolumeSliderValue()) / kMaxVolume;
}

void ShellMediaControls::PlayPause() {
    if (m_bStopped) {
        Play();
        return;
    }
    m_window.PressPauseButton();
}

void ShellMediaControls::Play() {
    m_bStopped = false;
    if (m_player.IsPaused()) {
        m_window.PressPauseButton();
    }
}

void ShellMediaControls::Pause() {
    if (!m_player.IsPaused()) {
        m_window.PressPauseButton();
    }
}

void ShellMediaControls::Stop() {
    // Stopping the player itself would make the play loop choose the next
    // track; a pause at the start keeps this one for Play.
    Pause();
    if (!m_player.IsPaused()) {
        return;
    }
    m_window.MovePositionSlider(0);
    m_bStopped = true;
}

void ShellMediaControls::Next() {
    m_bStopped = false;
    m_window.RunCommand(ID_SKIP);
}

void ShellMediaControls::SetPositionUs(qint64 position) {
    m_window.MovePositionSlider(static_cast<int>(position / 1000));
}

void ShellMediaControls::SetVolume(double volume) {
    m_window.MoveVolumeSlider(static_cast<int>(std::lround(volume * kMaxVolume)));
}

void ShellMediaControls::Raise() {
    m_window.ShowFromShell();
}

void ShellMediaControls::Quit() {
    m_window.RunCommand(ID_EXIT);
}

}  // namespace kavelin
