#include "library/InfoReader.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
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

// Files are read outside the catalog's write lock and recorded in short
// transactions of a few files: a transaction per file would cost a commit
// each, and one long transaction would keep the other threads' writes
// (ratings, plays, queued downloads) waiting until the scan ends.
constexpr std::size_t kFilesPerWrite = 64;
constexpr auto kMaxWriteDelay = std::chrono::milliseconds(20);

constexpr std::int64_t kYes = -1;  // yes/no columns hold True as -1
constexpr std::int64_t kNo = 0;

constexpr const char* kAddQueueRow = "INSERT INTO tInfoRead(Filename, Dir) VALUES (?, ?)";

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

// One reading of a directory gives both lists. A directory that does not
// exist or cannot be read gives none.
DirectoryEntries ListDirectory(const std::string& path) {
    DirectoryEntries entries;
    if (DIR* directory = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(directory)) {
            const std::string_view name(entry->d_name);
            if (IsMp3Name(entry->d_name)) {
                entries.files.push_back(path + entry->d_name);
            }
            if (name != "." && name != ".." && IsRealDirectory(path, *entry)) {
                entries.directories.push_back(path + entry->d_name + "/");
            }
        }
        ::closedir(directory);
    }
    return entries;
}

}  // namespace

// The statements of the loop, prepared once on the scanner's thread: a pass
// runs the same few statements for every file, and preparing them anew would
// cost more than running them. The fingerprint lookup goes through the index
// of tTrack, so the track table is never read as a whole.
struct InfoReader::Statements {
    explicit Statements(CADODataBase& database)
        : countQueue(database, "SELECT COUNT(*) FROM tInfoRead"),
          passQuery(database, kPassQuery),
          findFingerPrint(database, "SELECT TOP 1 ID FROM tTrack WHERE FingerPrint=?"),
          addTrack(database,
                   "INSERT INTO tTrack(Filename, SearchString, Artist, Trackname, Album, Year, "
                   "GenreID, FingerPrint, BitRate) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
          addDuplicate(database,
                       "INSERT INTO tDuplicate(Filename, Artist, Trackname, Album, Year, GenreID, "
                       "FingerPrint, BitRate) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
          addQueueRow(database, kAddQueueRow),
          removeQueueRow(database, "DELETE FROM tInfoRead WHERE Filename=?"),
          removeTracks(database,
                       "DELETE i.* FROM tInfoRead i INNER JOIN tTrack t ON i.Filename=t.Filename"),
          removeDuplicates(
              database,
              "DELETE i.* FROM tInfoRead i INNER JOIN tDuplicate d ON i.Filename=d.Filename") {}

    CADOStatement countQueue;
    CADOStatement passQuery;
    CADOStatement findFingerPrint;
    CADOStatement addTrack;
    CADOStatement addDuplicate;
    CADOStatement addQueueRow;
    CADOStatement removeQueueRow;
    CADOStatement removeTracks;
    CADOStatement removeDuplicates;
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
    CADOStatement addQueueRow(m_database, kAddQueueRow);
    const DirectoryEntries entries = ListDirectory(path);
    CADOTransaction transaction(m_database);
    QueueEntries(entries, addQueueRow);
    transaction.Commit();
}

void InfoReader::QueueEntries(const DirectoryEntries& entries, CADOStatement& addQueueRow) {
    auto addRow = [&](const std::string& entry, std::int64_t dir) {
        addQueueRow.Bind(1, entry);
        addQueueRow.Bind(2, dir);
        addQueueRow.Execute();
        const std::int32_t count = m_nCount.fetch_add(1, std::memory_order_relaxed) + 1;
        if (count % 10 == 0) {
            Post(WM_INFOREADER_COUNT, 1);
        }
    };
    // Files are queued before directories.
    for (const std::string& file : entries.files) {
        addRow(file, kNo);
    }
    for (const std::string& directory : entries.directories) {
        addRow(directory, kYes);
    }
    Post(WM_INFOREADER_COUNT, 1);
}

void InfoReader::RecordTrack(const CTrackInfo& track, Statements& statements) {
    // An empty fingerprint is stored as null and never matches a track.
    bool found = false;
    if (!track.FingerPrint.empty()) {
        statements.findFingerPrint.Bind(1, track.FingerPrint);
        found = statements.findFingerPrint.Step();
        statements.findFingerPrint.Reset();
    }
    // Filename is stored whole: the queue row keeps the whole path, and the
    // clean-up of the pass matches the two exactly.
    CADOStatement& add = found ? statements.addDuplicate : statements.addTrack;
    int position = 1;
    add.Bind(position++, track.Filename);
    if (!found) {
        add.Bind(position++, CutText(MakeSearchString(track.Filename), kMaxNameLength));
    }
    add.Bind(position++, CutText(track.Artist, kMaxNameLength));
    add.Bind(position++, CutText(track.Trackname, kMaxNameLength));
    add.Bind(position++, CutText(track.Album, kMaxNameLength));
    add.Bind(position++, CutText(track.Year, kMaxYearLength));
    add.Bind(position++, std::int64_t{track.GenreID});
    add.Bind(position++, track.FingerPrint);
    add.Bind(position++, std::int64_t{track.BitRate});
    add.Execute();
    if (found) {
        statements.removeQueueRow.Bind(1, track.Filename);
        statements.removeQueueRow.Execute();
    }
}

void InfoReader::RecordFiles(std::vector<CTrackInfo>& files, Statements& statements) {
    if (files.empty()) {
        return;
    }
    CADOTransaction transaction(m_database);
    for (const CTrackInfo& track : files) {
        RecordTrack(track, statements);
    }
    transaction.Commit();
    for (std::size_t i = 0; i < files.size(); ++i) {
        AddToCount(-1);
        Post(WM_INFOREADER_COUNT, 1);
    }
    files.clear();
}

bool InfoReader::RunPass(Statements& statements) {
    std::int64_t queued = 0;
    if (statements.countQueue.Step()) {
        queued = statements.countQueue.ColumnInteger(0);
    }
    statements.countQueue.Reset();
    if (queued == 0) {
        m_nCount = 0;
        Post(WM_INFOREADER_COUNT, 1);
        return false;
    }

    // The pass's rows are read whole before the pass changes the queue.
    std::vector<std::string> rows;
    while (statements.passQuery.Step()) {
        rows.push_back(statements.passQuery.ColumnText(0));
    }
    if (statements.passQuery.Failed()) {
        // As a failed read of the queue always has, this ends the worker; the
        // queue keeps its rows for the next start.
        throw CADOException(m_database.GetLastError(), "SQLite", m_database.GetLastErrorText());
    }
    statements.passQuery.Reset();

    bool cleanedUp = false;
    if (!rows.empty()) {
        m_bBusy = 1;
        m_nCount = static_cast<std::int32_t>(rows.size());
        Post(WM_INFOREADER_BUSY, 1);
        std::vector<CTrackInfo> files;
        auto firstRead = std::chrono::steady_clock::now();
        for (const std::string& path : rows) {
            if (m_bStop) {
                break;
            }
            if (!path.empty() && path.back() == '/') {
                RecordFiles(files, statements);
                // The directory row ends the pass: its entries need a fresh
                // pass query. Its scan, the removal of its row and the
                // clean-up go together.
                const DirectoryEntries entries = ListDirectory(path);
                CADOTransaction transaction(m_database);
                QueueEntries(entries, statements.addQueueRow);
                statements.removeQueueRow.Bind(1, path);
                statements.removeQueueRow.Execute();
                RemoveRecordedRows(statements);
                transaction.Commit();
                cleanedUp = true;
                AddToCount(-1);
                Post(WM_INFOREADER_COUNT, 1);
                break;
            }
            if (files.empty()) {
                firstRead = std::chrono::steady_clock::now();
            }
            files.push_back(ReadTrackInfo(path));
            if (files.size() >= kFilesPerWrite ||
                std::chrono::steady_clock::now() - firstRead >= kMaxWriteDelay) {
                RecordFiles(files, statements);
            }
        }
        RecordFiles(files, statements);
    }

    if (!cleanedUp) {
        CADOTransaction transaction(m_database);
        RemoveRecordedRows(statements);
        transaction.Commit();
    }
    m_bBusy = 0;
    Post(WM_INFOREADER_BUSY, 0);
    return true;
}

void InfoReader::RemoveRecordedRows(Statements& statements) {
    statements.removeTracks.Execute();
    statements.removeDuplicates.Execute();
}

void InfoReader::Run() {
    m_bStopped = false;
    // Reported however the loop ends, an escaping error included, so that
    // shutdown never waits for a loop that is gone.
    struct StoppedReport {
        std::atomic<bool>& stopped;
        ~StoppedReport() { stopped = true; }
    } report{m_bStopped};
    Statements statements(m_database);
    while (!m_bStop) {
        if (!RunPass(statements)) {
            std::this_thread::sleep_for(m_idleSleep);
        }
    }
}

}  // namespace kavelin
