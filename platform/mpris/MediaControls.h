#pragma once

#include <QString>
#include <QtGlobal>

namespace kavelin {

// What the desktop's media controls see of the player and what they ask of it.
// The player reports seeks itself (MprisServer::NotifySeeked), wherever they come from.
class MediaControls {
public:
    enum class Status { Stopped, Playing, Paused };

    struct Track {
        int id = 0;  // 0: nothing is playing
        QString title, artist, album, genre, path;
        qint64 lengthUs = 0;
        double rating = -1;  // 0 to 1; below 0 when the track is not rated
    };

    virtual ~MediaControls() = default;

    virtual Status PlaybackStatus() const = 0;
    virtual Track CurrentTrack() const = 0;
    virtual qint64 PositionUs() const = 0;
    virtual double Volume() const = 0;  // 0 to 1

    virtual void PlayPause() = 0;
    virtual void Play() = 0;
    virtual void Pause() = 0;
    virtual void Stop() = 0;
    virtual void Next() = 0;
    virtual void SetPositionUs(qint64 position) = 0;
    virtual void SetVolume(double volume) = 0;  // 0 to 1
    virtual void Raise() = 0;
    virtual void Quit() = 0;
};

}  // namespace kavelin
