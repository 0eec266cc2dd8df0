#include "library/InfoReader.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <thread>
#include <vector>

#include "catalog/CatalogOperations.h"
#include "library/TrackInfoReader.h"

namespace kavelin {

// The waiting entries, files (Dir 0) before directories (Dir True, -1). The
// grouping and the order follow the index ixInfoReadPass, so rows come
// straight from it, without a sort, and a pass reads no further than the
// first directory it expands.
const char* const kInfoReaderPassQuery =
    "SELECT i.Filename, i.Dir FROM (tInfoRead i LEFT OUTER JOIN tTrack t ON "
    "i.Filename=t.Filename) LEFT OUTER JOIN tDuplicate d ON i.Filename=d.Filename WHERE t.ID IS "
    "NULL AND d.ID IS NULL GROUP BY i.Dir, i.Filename ORDER BY i.Dir DESC, i.Filename";

namespace {

// The scanner's writes go into transactions of a few passes: a commit per
// file, or per pass on albums of ten files, would cost more than the work
// itself, and one long transaction would keep the other threads' writes
// (ratings, plays, queued downloads) waiting until the scan ends.
constexpr std::size_t kFilesPerWrite = 64;
constexpr auto kMaxWriteDelay = std::chrono::milliseconds(20);
// Long enough for a woken writer to take the lock before the scanner asks again.
constexpr auto kTurnForOthers = std::chrono::milliseconds(1);

constexpr std::int64_t kYes = -1;  // yes/no columns hold True as -1
constexpr std::int64_t kNo = 0;

constexpr const char* kAddQueueRow = "INSERT INTO tInfoRead(Filename, Dir) VALUES (?, ?)";
constexpr const char* kDropKnownFile =
    "DELETE FROM tInfoRead WHERE Filename=? AND (EXISTS (SELECT 1 FROM tTrack WHERE Filename=?) "
    "OR EXISTS (SELECT 1 FROM tDuplicate WHERE Filename=?))";

// A statement from its format with one text value, its apostrophes doubled.
std::string FillText(const char* format, const std::string& text) {
    const std::string quoted = QuoteForSql(text);
    const int length = std::snprintf(nullptr, 0, format, quoted.c_str());
    std::string statement(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(statement.data(), statement.size(), format, quoted.c_str());
    statement.resize(static_cast<std::size_t>(length));
    return statement;
}

bool IsDirectoryRow(const std::string& path) {
    return !path.empty() && path.back() == '/';
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
          passQuery(database, kInfoReaderPassQuery),
          findFingerPrint(database, "SELECT TOP 1 ID FROM tTrack WHERE FingerPrint=?"),
          addTrack(database,
                   "INSERT INTO tTrack(Filename, SearchString, Artist, Trackname, Album, Year, "
                   "GenreID, FingerPrint, BitRate) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
          addDuplicate(database,
                       "INSERT INTO tDuplicate(Filename, Artist, Trackname, Album, Year, GenreID, "
                       "FingerPrint, BitRate) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
          addQueueRow(database, kAddQueueRow),
          dropKnownFile(database, kDropKnownFile),
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
    CADOStatement dropKnownFile;
    CADOStatement removeQueueRow;
    CADOStatement removeTracks;
    CADOStatement removeDuplicates;
};

// The scanner's open write transaction. Passes add to it until it holds
// kFilesPerWrite files, has been open for kMaxWriteDelay, or another thread
// waits to write: that thread then gets its turn before the scan goes on.
class InfoReader::ScanWrites {
public:
    explicit ScanWrites(CADODataBase& database) : m_database(database) {}

    void Open() {
        if (!m_transaction) {
            m_transaction.emplace(m_database);
            // Read once the lock is ours: a wait of the scanner's own is no reason to yield.
            m_waitsSeen = m_database.WriteWaitsBegun();
            m_opened = std::chrono::steady_clock::now();
            m_files = 0;
        }
    }
    void AddFile() { ++m_files; }
    void CommitIfDue() {
        if (!m_transaction) {
            return;
        }
        const bool othersWait = m_database.WriteWaitsBegun() != m_waitsSeen;
        if (othersWait || m_files >= kFilesPerWrite ||
            std::chrono::steady_clock::now() - m_opened >= kMaxWriteDelay) {
            Commit();
        }
        if (othersWait) {
            std::this_thread::sleep_for(kTurnForOthers);
        }
    }
    void Commit() {
        if (m_transaction) {
            m_transaction->Commit();
            m_transaction.reset();
        }
    }

private:
    CADODataBase& m_database;
    std::optional<CADOTransaction> m_transaction;
    std::chrono::steady_clock::time_point m_opened;
    std::size_t m_files = 0;
    std::uint64_t m_waitsSeen = 0;
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
    m_bQueuedElsewhere = true;
    AddToCount(1);
    Post(WM_INFOREADER_COUNT, 1);
}

void InfoReader::QueueDirectory(const std::string& path) {
    m_database.ExecuteStatement(
        FillText("INSERT INTO tInfoRead(Filename, Dir) VALUES ('%s', True)", path));
    m_bQueuedElsewhere = true;
    AddToCount(1);
    Post(WM_INFOREADER_COUNT, 1);
}

void InfoReader::ScanDirectory(const std::string& path) {
    CADOStatement addQueueRow(m_database, kAddQueueRow);
    CADOStatement dropKnownFile(m_database, kDropKnownFile);
    const DirectoryEntries entries = ListDirectory(path);
    CADOTransaction transaction(m_database);
    QueueEntries(entries, addQueueRow, dropKnownFile);
    transaction.Commit();
}

void InfoReader::QueueEntries(const DirectoryEntries& entries, CADOStatement& addQueueRow,
                              CADOStatement& dropKnownFile) {
    auto addRow = [&](const std::string& entry, std::int64_t dir) {
        addQueueRow.Bind(1, entry);
        addQueueRow.Bind(2, dir);
        addQueueRow.Execute();
        if (dir == kNo) {
            // A file that is a track or a duplicate already (a directory
            // added again) leaves the queue at once, as the clean-up would
            // remove it.
            for (int position = 1; position <= 3; ++position) {
                dropKnownFile.Bind(position, entry);
            }
            dropKnownFile.Execute();
        }
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
    // clean-up matches the two exactly.
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
    // In the same transaction, so that a file is either recorded or still queued.
    statements.removeQueueRow.Bind(1, track.Filename);
    statements.removeQueueRow.Execute();
}

void InfoReader::RecordFile(const CTrackInfo& track, Statements& statements, ScanWrites& writes) {
    writes.Open();
    RecordTrack(track, statements);
    writes.AddFile();
    AddToCount(-1);
    Post(WM_INFOREADER_COUNT, 1);
}

bool InfoReader::RunPass(Statements& statements, ScanWrites& writes) {
    std::int64_t queued = 0;
    if (statements.countQueue.Step()) {
        queued = statements.countQueue.ColumnInteger(0);
    }
    statements.countQueue.Reset();
    if (queued == 0) {
        writes.Commit();
        m_nCount = 0;
        Post(WM_INFOREADER_COUNT, 1);
        return false;
    }

    // The pass's rows are read before the pass changes the queue, up to the
    // first directory row (known by its trailing "/"): the pass ends with it.
    std::vector<std::string> files;
    std::string directory;
    while (statements.passQuery.Step()) {
        std::string path = statements.passQuery.ColumnText(0);
        if (IsDirectoryRow(path)) {
            directory = std::move(path);
            break;
        }
        files.push_back(std::move(path));
    }
    if (statements.passQuery.Failed()) {
        // As a failed read of the queue always has, this ends the worker; the
        // queue keeps its rows for the next start.
        throw CADOException(m_database.GetLastError(), "SQLite", m_database.GetLastErrorText());
    }
    statements.passQuery.Reset();

    if (!files.empty() || !directory.empty()) {
        m_bBusy = 1;
        // A pass that stopped at a directory did not count the rows behind
        // it; the queue's size stands in for them in this display hint.
        m_nCount = static_cast<std::int32_t>(directory.empty() ? files.size() : queued);
        Post(WM_INFOREADER_BUSY, 1);
        for (const std::string& path : files) {
            if (m_bStop) {
                break;
            }
            RecordFile(ReadTrackInfo(path), statements, writes);
            // After every file: a slow disk must not keep other writers waiting.
            writes.CommitIfDue();
        }
        if (!directory.empty() && !m_bStop) {
            // The directory row ends the pass: its entries need a fresh pass query.
            const DirectoryEntries entries = ListDirectory(directory);
            writes.Open();
            QueueEntries(entries, statements.addQueueRow, statements.dropKnownFile);
            statements.removeQueueRow.Bind(1, directory);
            statements.removeQueueRow.Execute();
            AddToCount(-1);
            Post(WM_INFOREADER_COUNT, 1);
        }
    }

    // The pass's own rows are settled already: recorded files took their queue
    // rows with them, and files found known when queued were dropped. The
    // clean-up statements read the whole queue, so they run when rows may have
    // come from elsewhere, and on passes that read the whole queue anyway.
    const bool queuedElsewhere = m_bQueuedElsewhere.exchange(false);
    if (directory.empty() || queuedElsewhere) {
        writes.Open();
        statements.removeTracks.Execute();
        statements.removeDuplicates.Execute();
    }
    writes.CommitIfDue();
    m_bBusy = 0;
    Post(WM_INFOREADER_BUSY, 0);
    return true;
}

void InfoReader::Run() {
    m_bStopped = false;
    // Rows left by an earlier run may name files that are known by now.
    m_bQueuedElsewhere = true;
    Statements statements(m_database);
    ScanWrites writes(m_database);
    try {
        while (!m_bStop) {
            if (!RunPass(statements, writes)) {
                IdleWait();
            }
        }
    } catch (...) {
        // What was recorded stays recorded. The stopped report is left
        // alone: the error is still on its way to the thread's entry, and
        // shutdown learns of that thread's end from the thread itself.
        writes.Commit();
        throw;
    }
    writes.Commit();
    m_bStopped = true;
}

void InfoReader::IdleWait() {
    // In short steps, so that a stop request is seen at once.
    constexpr auto kStep = std::chrono::milliseconds(20);
    const auto until = std::chrono::steady_clock::now() + m_idleSleep;
    for (auto now = std::chrono::steady_clock::now(); now < until && !m_bStop;
         now = std::chrono::steady_clock::now()) {
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(kStep, until - now));
    }
}

}  // namespace kavelin
