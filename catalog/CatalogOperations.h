#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "catalog/ADODataBase.h"
#include "catalog/TrackInfo.h"

namespace kavelin {

// The catalog's connection string; the data source is the file in the working directory.
inline constexpr const char* kCatalogFileName = "Kavelin.mdb";
// Verdicts and plays that could not be stored yet, kept beside the catalog.
inline constexpr const char* kPendingWritesFileName = "Kavelin.pending";
inline constexpr const char* kCatalogConnectionString =
    "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=Kavelin.mdb;";

// Column limits of the catalog's text columns. Paths are kept whole: a path
// cut short names another file, or none.
inline constexpr std::size_t kMaxNameLength = 255;
inline constexpr std::size_t kMaxYearLength = 10;

// Doubles every apostrophe so that the text can stand between apostrophes in a statement.
std::string QuoteForSql(const std::string& text);

// Fills one of the program's statement formats, printf-style.
template <typename... Args>
std::string FormatStatement(const char* format, Args... args) {
    const int length = std::snprintf(nullptr, 0, format, args...);
    std::string text(static_cast<std::size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, format, args...);
    return text;
}

// Cuts a text to at most `maxLength` bytes without splitting a UTF-8 character.
std::string CutText(const std::string& text, std::size_t maxLength);

// The outcome of a write that must reach the catalog, with the reason when it
// did not: read from here, as the database's last error may be another
// thread's by then.
struct WriteResult {
    std::uint32_t failure = 0;  // 0 when stored; otherwise the result code that stopped it
    explicit operator bool() const { return failure == 0; }
};

// Integer settings by name. A key without a row reads as 0; writing it changes nothing.
int GetSettingInt(CADODataBase& database, const std::string& key);
WriteResult SetSettingInt(CADODataBase& database, const std::string& key, int value);

void SetTrackDeleted(CADODataBase& database, int trackId, int flag);

// Stores the user's verdict for a track in a mood (one row per pair, added or
// updated). All or nothing: a transaction that cannot begin writes nothing.
WriteResult SetRating(CADODataBase& database, int moodId, int trackId, int rating);

// Advances the global play counter and records the play of a track in a mood,
// as of now or of `playedAt` (local time, "YYYY-MM-DD HH:MM:SS") for a play
// stored late. Nothing is written when it could not be stored.
WriteResult RecordPlay(CADODataBase& database, int moodId, int trackId);
WriteResult RecordPlay(CADODataBase& database, int moodId, int trackId,
                       const std::string& playedAt);

// Records that the listener skipped a track in a mood `positionMs` into it (of
// `lengthMs`, 0 when unknown). A skip is no rating: it only weighs in the
// selection, the more the earlier it came, until the track is rated.
WriteResult RecordSkip(CADODataBase& database, int moodId, int trackId, int positionMs,
                       int lengthMs);

// Adds a file, or a directory (its path ends with "/"), to the scanner's queue.
WriteResult QueueForScan(CADODataBase& database, const std::string& path);

// Remembers a folder the user added (its path ends with "/"), once, so that
// it is watched from then on.
WriteResult WatchFolder(CADODataBase& database, const std::string& path);

// How much a skip at this point says against the track: 1 at the start, falling
// to 0.2 at the end; 0.6 when the length is unknown.
double SkipWeight(int positionMs, int lengthMs);

// The track's record; a track not in the catalog gives a record with only its ID set.
CTrackInfo LoadTrack(CADODataBase& database, int trackId);

}  // namespace kavelin
