#pragma once

#include <cstdint>
#include <string>

namespace kavelin {

// One catalog track, copied by value.
struct CTrackInfo {
    std::int32_t ID = 0;  // 0: no track, or not yet stored
    std::string Filename;
    std::string Trackname;
    std::string Artist;
    std::string Album;
    std::string Year;
    std::string FingerPrint;
    std::int32_t GenreID = 255;    // 255: no genre
    std::int32_t BitRate = 0;      // kbit/s
    std::int32_t RatingLevel = 0;  // 0 none, 1 Bad, 2 Normal, 3 Good, 4 Awesome

    bool operator==(const CTrackInfo&) const = default;
};

// Ratings stored per track and mood.
inline constexpr int kRatingExcluded = -1;
inline constexpr int kRatingBad = 1;
inline constexpr int kRatingNormal = 2;
inline constexpr int kRatingGood = 3;
inline constexpr int kRatingAwesome = 4;

}  // namespace kavelin
