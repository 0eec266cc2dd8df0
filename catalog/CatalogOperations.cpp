#include "catalog/CatalogOperations.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>

#include "catalog/ADORecordset.h"

namespace kavelin {
namespace {

// A failure whose result code was lost still counts as one.
std::uint32_t FailureCode(std::uint32_t code) {
    return code != 0 ? code : kUnspecifiedError;
}

// Whether tTrackMood holds a row for the pair; nothing when the look-up could
// not run, with the reason in `failure`.
std::optional<bool> TrackMoodRowExists(CADODataBase& database, int moodId, int trackId,
                                       std::uint32_t& failure) {
    CADORecordset rs(database);
    if (!rs.OpenSource(FormatStatement("SELECT ID FROM tTrackMood WHERE MoodID=%d AND TrackID=%d",
                                       moodId, trackId),
                       CADORecordset::SourceQuery)) {
        database.SetError(rs.GetLastError(), "Kavelin catalog", rs.GetLastErrorText());
        failure = FailureCode(rs.GetLastError());
        return std::nullopt;
    }
    return !rs.AtEnd();
}

// Writes one row of tTrackMood in the open transaction: `update` when the pair
// has its row, `insert` otherwise. 0, or the code of the failure.
std::uint32_t WriteTrackMoodRow(CADODataBase& database, int moodId, int trackId,
                                const std::string& update, const std::string& insert) {
    std::uint32_t failure = 0;
    const std::optional<bool> exists = TrackMoodRowExists(database, moodId, trackId, failure);
    if (!exists) {
        return failure;
    }
    return database.Execute(*exists ? update : insert);
}

WriteResult Committed(CADOTransaction& transaction, std::uint32_t failure) {
    if (failure != 0) {
        return {failure};
    }
    return {transaction.Commit() ? 0 : FailureCode(transaction.LastError())};
}

WriteResult StorePlay(CADODataBase& database, int moodId, int trackId, const std::string& when) {
    CADOTransaction transaction(database);
    if (!transaction.IsActive()) {
        return {FailureCode(transaction.LastError())};
    }
    if (const std::uint32_t failure =
            database.Execute("UPDATE tCounter SET tCounter.[Counter] = Counter+1;")) {
        return {failure};
    }
    int counter = 0;
    {
        CADORecordset rs(database);
        if (!rs.OpenSource("SELECT Counter FROM TCounter", CADORecordset::SourceAuto) ||
            rs.AtEnd() || !rs.ReadField(0, counter)) {
            database.SetError(rs.GetLastError(), "Kavelin catalog", rs.GetLastErrorText());
            return {FailureCode(rs.GetLastError())};
        }
    }
    return Committed(
        transaction,
        WriteTrackMoodRow(
            database, moodId, trackId,
            FormatStatement("UPDATE tTrackMood SET Played=Played+1, LastPlayed=%s, LastCounter=%d "
                            "WHERE MoodID=%d AND TrackID=%d",
                            when.c_str(), counter, moodId, trackId),
            FormatStatement("INSERT INTO tTrackMood(MoodID, TrackID, Played, LastPlayed, "
                            "LastCounter) VALUES (%d, %d, %d, %s, %d)",
                            moodId, trackId, 1, when.c_str(), counter)));
}

}  // namespace

std::string QuoteForSql(const std::string& text) {
    std::string quoted;
    quoted.reserve(text.size() + 8);
    for (char c : text) {
        quoted += c;
        if (c == '\'') {
            quoted += '\'';
        }
    }
    return quoted;
}

std::string CutText(const std::string& text, std::size_t maxLength) {
    if (text.size() <= maxLength) {
        return text;
    }
    std::size_t cut = maxLength;
    // Step back over UTF-8 continuation bytes so that no character is split.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return text.substr(0, cut);
}

int GetSettingInt(CADODataBase& database, const std::string& key) {
    CADORecordset rs(database);
    int value = 0;
    if (rs.OpenSource(
            FormatStatement("SELECT ValueInt FROM tSettings WHERE Name = '%s'", key.c_str()),
            CADORecordset::SourceAuto) &&
        !rs.AtEnd()) {
        rs.ReadField("ValueInt", value);
    }
    rs.CloseSource();
    return value;
}

WriteResult SetSettingInt(CADODataBase& database, const std::string& key, int value) {
    return {database.Execute(FormatStatement("UPDATE tSettings SET ValueInt = %i WHERE Name = '%s'",
                                             value, QuoteForSql(key).c_str()))};
}

void SetTrackDeleted(CADODataBase& database, int trackId, int flag) {
    database.ExecuteStatement(
        flag == 1 ? FormatStatement("UPDATE tTrack SET Deleted = True WHERE ID = %d", trackId)
                  : FormatStatement("UPDATE tTrack SET Deleted = False WHERE ID = %d", trackId));
}

WriteResult SetRating(CADODataBase& database, int moodId, int trackId, int rating) {
    // Look-up and write in one transaction: two threads rating the same pair
    // can never both insert a row.
    CADOTransaction transaction(database);
    if (!transaction.IsActive()) {
        return {FailureCode(transaction.LastError())};
    }
    return Committed(
        transaction,
        WriteTrackMoodRow(database, moodId, trackId,
                          FormatStatement("UPDATE tTrackMood SET Rating=%d, RatingType=1, "
                                          "SkipWeight=0 WHERE MoodID=%d AND TrackID=%d",
                                          rating, moodId, trackId),
                          FormatStatement("INSERT INTO tTrackMood(MoodID, TrackID, Rating, "
                                          "RatingType) VALUES (%d, %d, %d, 1)",
                                          moodId, trackId, rating)));
}

WriteResult RecordPlay(CADODataBase& database, int moodId, int trackId) {
    return StorePlay(database, moodId, trackId, "Now()");
}

WriteResult RecordPlay(CADODataBase& database, int moodId, int trackId,
                       const std::string& playedAt) {
    return StorePlay(database, moodId, trackId, "'" + QuoteForSql(playedAt) + "'");
}

double SkipWeight(int positionMs, int lengthMs) {
    if (lengthMs <= 0) {
        return 0.6;
    }
    const double share = std::clamp(static_cast<double>(positionMs) / lengthMs, 0.0, 1.0);
    return 1.0 - 0.8 * share;
}

WriteResult RecordSkip(CADODataBase& database, int moodId, int trackId, int positionMs,
                       int lengthMs) {
    // Written with to_chars: the user's locale may spell the decimal point as a comma.
    char weight[32];
    const auto end =
        std::to_chars(weight, weight + sizeof weight - 1, SkipWeight(positionMs, lengthMs)).ptr;
    *end = '\0';
    const int position = std::max(positionMs, 0);
    CADOTransaction transaction(database);
    if (!transaction.IsActive()) {
        return {FailureCode(transaction.LastError())};
    }
    return Committed(
        transaction,
        WriteTrackMoodRow(
            database, moodId, trackId,
            FormatStatement("UPDATE tTrackMood SET Skipped=Skipped+1, SkipWeight=SkipWeight+%s, "
                            "LastSkipPosition=%d WHERE MoodID=%d AND TrackID=%d",
                            weight, position, moodId, trackId),
            FormatStatement(
                "INSERT INTO tTrackMood(MoodID, TrackID, Skipped, SkipWeight, LastSkipPosition) "
                "VALUES (%d, %d, 1, %s, %d)",
                moodId, trackId, weight, position)));
}

WriteResult QueueForScan(CADODataBase& database, const std::string& path) {
    const bool directory = !path.empty() && path.back() == '/';
    const std::string quoted = QuoteForSql(path);
    return {database.Execute(
        directory
            ? FormatStatement("INSERT INTO tInfoRead(Filename, Dir) VALUES ('%s', True)",
                              quoted.c_str())
            : FormatStatement("INSERT INTO tInfoRead(Filename) VALUES ('%s')", quoted.c_str()))};
}

WriteResult WatchFolder(CADODataBase& database, const std::string& path) {
    const std::string quoted = QuoteForSql(path);
    CADOTransaction transaction(database);
    if (!transaction.IsActive()) {
        return {FailureCode(transaction.LastError())};
    }
    long known = 0;
    {
        CADORecordset rs(database);
        if (!rs.OpenSource(FormatStatement("SELECT Count(*) FROM tWatchedFolder WHERE Path='%s'",
                                           quoted.c_str()),
                           CADORecordset::SourceQuery) ||
            !rs.ReadField(0, known)) {
            return {FailureCode(rs.GetLastError())};
        }
    }
    return Committed(transaction, known != 0 ? 0
                                             : database.Execute(FormatStatement(
                                                   "INSERT INTO tWatchedFolder(Path) VALUES ('%s')",
                                                   quoted.c_str())));
}

CTrackInfo LoadTrack(CADODataBase& database, int trackId) {
    CTrackInfo track;
    track.ID = trackId;
    CADORecordset rs(database);
    if (rs.OpenSource("tTrack", CADORecordset::SourceTable) &&
        rs.SeekFirstMatch(FormatStatement("ID=%d", trackId))) {
        rs.ReadField("Filename", track.Filename);
        rs.ReadField("Artist", track.Artist);
        rs.ReadField("Trackname", track.Trackname);
        rs.ReadField("Album", track.Album);
        rs.ReadField("Year", track.Year);
        int genre = track.GenreID;
        if (rs.ReadField("GenreID", genre)) {
            track.GenreID = genre;
        }
    }
    rs.CloseSource();
    return track;
}

}  // namespace kavelin
