#include "library/InfoReader.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <optional>
#include <thread>
#include <vector>

#include "catalog/CatalogOperations.h"
#include "library/TrackInfoReader.h"

namespace kavelin {

namespace {

constexpr const char* kPassQuery =
    "SELECT i.Filename, i.Dir FROM (tInfoRead i LEFT OUTER JOIN tTrack t ON "
    "i.Filename=t.Filename) LEFT OUTER JOIN tDuplicate d ON i.Filename=d.Filename WHERE t.ID IS "
    "NULL AND d.ID IS NULL GROUP BY i.Filename, i.Dir ORDER BY i.Dir DESC";

// Writes of a pass are committed in batches of about this age: one transaction
// per file would cost a sync each, one per pass would hold other threads' writes
// back for the whole pass.
constexpr auto kBatchAge = std::chrono::milliseconds(100);

constexpr std::int16_t kYes = -1;  // True, as yes/no columns hold it

// A statement from its format with one text value, its apostrophes doubled.
std::string FillText(const char* format, const std::string& text) {
    const std::string quoted = QuoteForSql(text);
    const int length = std::snprintf(nullptr, 0, format, quoted.c_str());
    std::string statement(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(statement.data(), statement.size(), format, quoted.c_str());
    statement.resize(static_cast<std::size_t>(length));
    return statement;
}

bool IsMp3Name(const char* name) {
    const std::string_view text(name);
    if (text.size() < 4) {
        return false;
    }
    const std::string_view extension = text.substr(text.size() - 4);
    static constexpr char kLower[] = ".mp3";
    static constexpr char kUpper[] = ".MP3";
    for (std::size_t i = 0; i < 4; ++i) {
        if (extension[i] != kLower[i] && extension[i] != kUpper[i]) {
            return false;
        }
    }
    return true;
}

// Symbolic links are not followed: a link to a directory above would queue
// the same directories for ever.
bool IsRealDirectory(const std::string& directory, const dirent& entry) {
    if (entry.d_type == DT_DIR) {
        return true;
    }
    if (entry.d_type != DT_UNKNOWN) {
        return false;
    }
    struct stat status {};
    return ::lstat((directory + entry.d_name).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

// The transaction of a pass, committed and begun afresh when it is old enough.
// The table recordsets are reopened at each commit, so that no read cursor of
// the old transaction outlives it.
class InfoReader::PassWriter {
public:
    explicit PassWriter(CADODataBase& database) : m_database(database) { Begin(); }

    void RowDone(CADORecordset& tracks, CADORecordset& duplicates) {
        if (std::chrono::steady_clock::now() - m_started < kBatchAge) {
            return;
        }
        tracks.CloseSource();
        duplicates.CloseSource();
        Commit();
        Begin();
        tracks.OpenSource("tTrack", CADORecordset::SourceTable);
        duplicates.OpenSource("tDuplicate", CADORecordset::SourceTable);
    }

    void Commit() {
        if (m_transaction) {
            m_transaction->Commit();
            m_transaction.reset();
        }
    }

private:
    void Begin() {
        m_transaction.emplace(m_database);
        m_started = std::chrono::steady_clock::now();
    }

    CADODataBase& m_database;
    std::optional<CADOTransaction> m_transaction;
    std::chrono::steady_clock::time_point m_started;
};

InfoReader::InfoReader(CADODataBase& database, std::chrono::milliseconds idleSleep)
    : m_database(database), m_idleSleep(idleSleep) {}

void InfoReader::Post(unsigned message, std::intptr_t wParam) {
    if (MessageTarget* window = m_pMainWnd.load()) {
        window->PostMessage(message, wParam, 0);
    }
}

void InfoReader::AddToCount(std::int32_t delta) {
    m_nCount.fetch_add(delta, std::memory_order_relaxed);
}

void InfoReader::QueueFile(const std::string& path) {
    m_database.ExecuteStatement(FillText("INSERT INTO tInfoRead(Filename) VALUES ('%s')", path));
    AddToCount(1);
    Post(WM_INFOREADER_COUNT, 1);
}

void InfoReader::QueueDirectory(const std::string& path) {
    m_database.ExecuteStatement(
        FillText("INSERT INTO tInfoRead(Filename, Dir) VALUES ('%s', True)", path));
    AddToCount(1);
    Post(WM_INFOREADER_COUNT, 1);
}

void InfoReader::ScanDirectory(const std::string& path) {
    // One reading of the directory gives both lists; files are queued before
    // directories.
    std::vector<std::string> files;
    std::vector<std::string> directories;
    if (DIR* directory = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(directory)) {
            const std::string_view name(entry->d_name);
            if (IsMp3Name(entry->d_name)) {
                files.push_back(path + entry->d_name);
            }
            if (name != "." && name != ".." && IsRealDirectory(path, *entry)) {
                directories.push_back(path + entry->d_name + "/");
            }
        }
        ::closedir(directory);
    }

    CADORecordset queue(m_database);
    queue.OpenSource("tInfoRead", CADORecordset::SourceTable);
    auto addRow = [&](const std::string& entry, bool isDirectory) {
        queue.BeginNewRow();
        queue.WriteField(0, entry);
        if (isDirectory) {
            queue.WriteField(1, kYes);
        }
        queue.SaveRow();
        const std::int32_t count = m_nCount.fetch_add(1, std::memory_order_relaxed) + 1;
        if (count % 10 == 0) {
            Post(WM_INFOREADER_COUNT, 1);
        }
    };
    for (const std::string& file : files) {
        addRow(file, false);
    }
    for (const std::string& directory : directories) {
        addRow(directory, true);
    }
    queue.CloseSource();
    Post(WM_INFOREADER_COUNT, 1);
}

void InfoReader::RecordFile(const std::string& path, CADORecordset& tracks,
                            CADORecordset& duplicates, bool& tracksHaveRows) {
    const CTrackInfo track = ReadTrackInfo(path);
    // An empty fingerprint is stored as null and never matches a track.
    bool found = false;
    if (tracksHaveRows && !track.FingerPrint.empty()) {
        try {
            found = tracks.SeekFirstMatch(FillText("FingerPrint='%s'", track.FingerPrint));
        } catch (const CADOException&) {
            found = false;  // the tracks were removed meanwhile: nothing to match
        }
    }
    CADORecordset& table = found ? duplicates : tracks;
    table.BeginNewRow();
    table.WriteField("Filename", track.Filename);  // whole: the queue row keeps the whole path
    if (!found) {
        table.WriteField("SearchString", CutText(MakeSearchString(track.Filename), kMaxNameLength));
    }
    table.WriteField("Artist", CutText(track.Artist, kMaxNameLength));
    table.WriteField("Trackname", CutText(track.Trackname, kMaxNameLength));
    table.WriteField("Album", CutText(track.Album, kMaxNameLength));
    table.WriteField("Year", CutText(track.Year, kMaxYearLength));
    table.WriteField("GenreID", track.GenreID);
    table.WriteField("FingerPrint", track.FingerPrint);
    table.WriteField("BitRate", track.BitRate);
    const bool saved = table.SaveRow();
    if (found) {
        m_database.ExecuteStatement(FillText("DELETE FROM tInfoRead WHERE Filename='%s'", path));
    } else if (saved) {
        tracksHaveRows = true;
    }
}

bool InfoReader::RunPass() {
    long queued = 0;
    {
        CADORecordset count(m_database);
        count.OpenSource("SELECT COUNT(*) FROM tInfoRead", CADORecordset::SourceQuery);
        count.ReadField(0, queued);
    }
    if (queued == 0) {
        m_nCount = 0;
        Post(WM_INFOREADER_COUNT, 1);
        return false;
    }

    CADORecordset tracks(m_database);
    CADORecordset duplicates(m_database);
    CADORecordset pass(m_database);
    tracks.OpenSource("tTrack", CADORecordset::SourceTable);
    duplicates.OpenSource("tDuplicate", CADORecordset::SourceTable);
    pass.OpenSource(kPassQuery, CADORecordset::SourceQuery);
    PassWriter writer(m_database);

    if (!pass.AtEnd()) {
        m_bBusy = 1;
        pass.MoveLast();
        pass.MoveToPosition(1);
        m_nCount = static_cast<std::int32_t>(pass.CountRows());
        Post(WM_INFOREADER_BUSY, 1);

        // Whether the track table has a row at all is asked once; the fingerprint
        // search then runs only when there is something to find.
        bool tracksHaveRows = false;
        {
            CADORecordset first(m_database);
            tracksHaveRows =
                first.OpenSource("SELECT TOP 1 ID FROM tTrack", CADORecordset::SourceQuery) &&
                !first.AtEnd();
        }
        while (!pass.AtEnd() && !m_bStop) {
            std::string path;
            pass.ReadField(0, path);
            if (!path.empty() && path.back() == '/') {
                ScanDirectory(path);
                m_database.ExecuteStatement(
                    FillText("DELETE FROM tInfoRead WHERE Filename='%s'", path));
                // The pass ends after a directory; its entries need a fresh pass query.
                pass.MoveLast();
            } else {
                RecordFile(path, tracks, duplicates, tracksHaveRows);
            }
            AddToCount(-1);
            Post(WM_INFOREADER_COUNT, 1);
            pass.MoveNext();
            writer.RowDone(tracks, duplicates);
        }
    }

    m_database.ExecuteStatement(
        "DELETE i.* FROM tInfoRead i INNER JOIN tTrack t ON i.Filename=t.Filename");
    m_database.ExecuteStatement(
        "DELETE i.* FROM tInfoRead i INNER JOIN tDuplicate d ON i.Filename=d.Filename");
    writer.Commit();
    m_bBusy = 0;
    Post(WM_INFOREADER_BUSY, 0);
    return true;
}

void InfoReader::Run() {
    m_bStopped = false;
    // Reported however the loop ends, an escaping error included, so that
    // shutdown never waits for a loop that is gone.
    struct StoppedReport {
        std::atomic<bool>& stopped;
        ~StoppedReport() { stopped = true; }
    } report{m_bStopped};
    while (!m_bStop) {
        if (!RunPass()) {
            std::this_thread::sleep_for(m_idleSleep);
        }
    }
}

}  // namespace kavelin
