#include "library/InfoReader.h"

#include <dirent.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <optional>
#include <thread>
#include <vector>

#include "catalog/CatalogOperations.h"
#include "library/StreamInfo.h"
#include "library/TrackInfoReader.h"
#include "platform/log/ProgramLog.h"

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
// (ratings, plays, queued downloads) waiting. A transaction is never open
// while the scanner reads the disk.
constexpr std::size_t kFilesPerWrite = 64;
constexpr auto kMaxWriteDelay = std::chrono::milliseconds(20);
// Long enough for a woken writer to take the lock before the scanner asks again.
constexpr auto kTurnForOthers = std::chrono::milliseconds(1);
// Queued directories read with the pass, so that the read-ahead knows which
// directories the next passes will expand.
constexpr std::size_t kUpcomingDirectories = 64;

constexpr std::uint32_t kStored = 0;  // no failure

constexpr std::int64_t kYes = -1;  // yes/no columns hold True as -1
constexpr std::int64_t kNo = 0;

constexpr const char* kAddQueueRow = "INSERT INTO tInfoRead(Filename, Dir) VALUES (?, ?)";
constexpr const char* kDropKnownFile =
    "DELETE FROM tInfoRead WHERE Filename=? AND (EXISTS (SELECT 1 FROM tTrack WHERE Filename=?) "
    "OR EXISTS (SELECT 1 FROM tDuplicate WHERE Filename=?))";

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

// A music file is a regular file, or a link to one: pipes, sockets, devices,
// directories and dangling links named like music files are none.
bool IsRegularFile(const std::string& directory, const dirent& entry) {
    if (entry.d_type == DT_REG) {
        return true;
    }
    if (entry.d_type != DT_LNK && entry.d_type != DT_UNKNOWN) {
        return false;
    }
    struct stat status {};
    return ::stat((directory + entry.d_name).c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// A path longer than the system can open is left out, and the program's log says so.
bool SkipsTooLongPath(const std::string& path) {
    if (path.size() < PATH_MAX) {
        return false;
    }
    std::size_t shown = 200;
    while ((static_cast<unsigned char>(path[shown]) & 0xC0) == 0x80) {
        --shown;  // not inside a character
    }
    Log(LogLevel::Warning, "scan",
        "skipped a path longer than the system allows (" + std::to_string(path.size()) +
            " bytes): " + path.substr(0, shown) + "...");
    return true;
}

// One reading of a directory gives both lists. A directory that does not
// exist or cannot be read gives none.
DirectoryEntries ListDirectory(const std::string& path) {
    DirectoryEntries entries;
    if (DIR* directory = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(directory)) {
            const std::string_view name(entry->d_name);
            if (name != "." && name != ".." && SkipsTooLongPath(path + entry->d_name + "/")) {
                continue;
            }
            if (IsMp3Name(entry->d_name) && IsRegularFile(path, *entry)) {
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
          findKnownFile(database,
                        "SELECT 1 FROM tTrack WHERE Filename=? UNION ALL SELECT 1 FROM tDuplicate "
                        "WHERE Filename=?"),
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
    CADOStatement findKnownFile;
    CADOStatement removeTracks;
    CADOStatement removeDuplicates;
};

// One change that the scanner makes, kept until its transaction is
// committed, so that a transaction the catalog refused can be made again
// without reading the disk again.
struct InfoReader::Write {
    enum class Kind { Track, Directory, Drop, CleanUp };
    Kind kind;
    CTrackInfo track;          // Track: the file to record
    std::string directory;     // Directory: the expanded directory's row; Drop: the queue row...
    DirectoryEntries entries;  // ...and what it holds
};

// The scanner's open write transaction. Passes add to it until it holds
// kFilesPerWrite files, has been open for kMaxWriteDelay, or another thread
// waits to write: that thread then gets its turn before the scan goes on. It
// is committed before the scanner reads the disk. When the catalog refuses a
// write or the commit, the transaction is rolled back and made again after a
// pause, until it is stored or the scanner is asked to stop.
class InfoReader::ScanWrites {
public:
    ScanWrites(InfoReader& reader, Statements& statements)
        : m_reader(reader), m_statements(statements) {}

    // False when a stop request ended the wait for the catalog; nothing of
    // the open transaction was stored then.
    bool Add(Write write) {
        if (!m_transaction) {
            m_transaction.emplace(m_reader.m_database);
            // Read once the lock is ours: a wait of the scanner's own is no reason to yield.
            m_waitsSeen = m_reader.m_database.WriteWaitsBegun();
            m_opened = std::chrono::steady_clock::now();
            m_files = 0;
        }
        m_files += write.kind == Write::Kind::Track ? 1 : 0;
        m_log.push_back(std::move(write));
        if (!m_transaction->IsActive()) {
            return Retry(m_transaction->LastError());
        }
        const std::uint32_t failure = m_reader.Apply(m_log.back(), m_statements);
        return failure == kStored || Retry(failure);
    }
    bool CommitIfDue() {
        if (!m_transaction) {
            return true;
        }
        const bool othersWait = m_reader.m_database.WriteWaitsBegun() != m_waitsSeen;
        bool stored = true;
        if (othersWait || m_files >= kFilesPerWrite ||
            std::chrono::steady_clock::now() - m_opened >= kMaxWriteDelay) {
            stored = Commit();
        }
        if (othersWait) {
            std::this_thread::sleep_for(kTurnForOthers);
        }
        return stored;
    }
    bool Commit() {
        if (!m_transaction) {
            return true;
        }
        if (!m_transaction->Commit()) {
            return Retry(m_transaction->LastError());
        }
        m_transaction.reset();
        Stored();
        return true;
    }

private:
    bool Retry(std::uint32_t failure) {
        m_transaction.reset();  // rolls back
        for (;;) {
            // A full disk is said once; the pause keeps the scan from taking
            // at once every bit of space the user frees.
            if (failure == SqliteResultCode(SQLITE_FULL) &&
                !m_reader.m_bCatalogDiskFull.exchange(true)) {
                m_reader.Post(WM_INFOREADER_COUNT, 1);
            }
            if (m_reader.m_bStop) {
                m_log.clear();  // still queued, read again at the next start
                return false;
            }
            m_reader.IdleWait();
            CADOTransaction transaction(m_reader.m_database);
            failure = transaction.IsActive() ? kStored : transaction.LastError();
            for (auto write = m_log.begin(); failure == kStored && write != m_log.end(); ++write) {
                failure = m_reader.Apply(*write, m_statements);
            }
            if (failure == kStored && !transaction.Commit()) {
                failure = transaction.LastError();
            }
            if (failure == kStored) {
                Stored();
                return true;
            }
        }
    }
    void Stored() {
        if (m_reader.m_bCatalogDiskFull.exchange(false)) {
            m_reader.Post(WM_INFOREADER_COUNT, 1);
        }
        for (const Write& write : m_log) {
            m_reader.Report(write);
        }
        m_log.clear();
    }

    InfoReader& m_reader;
    Statements& m_statements;
    std::optional<CADOTransaction> m_transaction;
    std::vector<Write> m_log;  // what the open transaction holds
    std::chrono::steady_clock::time_point m_opened;
    std::size_t m_files = 0;
    std::uint64_t m_waitsSeen = 0;
};

InfoReader::InfoReader(CADODataBase& database, PendingWrites& writes,
                       std::chrono::milliseconds idleSleep, TrackFileReader readTrack,
                       std::chrono::milliseconds unreadableRetry)
    : m_database(database),
      m_writes(writes),
      m_readTrack(readTrack ? std::move(readTrack) : TrackFileReader(ReadTrackFile)),
      m_idleSleep(idleSleep),
      m_unreadableRetry(unreadableRetry) {}

void InfoReader::Post(unsigned message, std::intptr_t wParam) {
    if (MessageTarget* window = m_pMainWnd.load()) {
        window->PostMessage(message, wParam, 0);
    }
}

void InfoReader::AddToCount(std::int32_t delta) {
    m_nCount.fetch_add(delta, std::memory_order_relaxed);
}

void InfoReader::QueueFile(const std::string& path) {
    m_writes.QueueForScan(path);
    m_bQueuedElsewhere = true;
    AddToCount(1);
    Post(WM_INFOREADER_COUNT, 1);
}

void InfoReader::QueueDirectory(const std::string& path) {
    Log(LogLevel::Info, "scan", "folder queued: " + path);
    m_writes.QueueForScan(IsDirectoryRow(path) ? path : path + "/");
    m_bQueuedElsewhere = true;
    AddToCount(1);
    Post(WM_INFOREADER_COUNT, 1);
}

std::uint32_t InfoReader::QueueEntries(const DirectoryEntries& entries, CADOStatement& addQueueRow,
                                       CADOStatement& dropKnownFile) {
    auto addRow = [&](const std::string& entry, std::int64_t dir) -> std::uint32_t {
        addQueueRow.Bind(1, entry);
        addQueueRow.Bind(2, dir);
        if (!addQueueRow.Execute()) {
            return addQueueRow.LastError();
        }
        if (dir == kNo) {
            // A file that is a track or a duplicate already (a directory
            // added again) leaves the queue at once, as the clean-up would
            // remove it.
            for (int position = 1; position <= 3; ++position) {
                dropKnownFile.Bind(position, entry);
            }
            if (!dropKnownFile.Execute()) {
                return dropKnownFile.LastError();
            }
        }
        return kStored;
    };
    // Files are queued before directories.
    for (const std::string& file : entries.files) {
        if (const std::uint32_t failure = addRow(file, kNo)) {
            return failure;
        }
    }
    for (const std::string& directory : entries.directories) {
        if (const std::uint32_t failure = addRow(directory, kYes)) {
            return failure;
        }
    }
    return kStored;
}

std::uint32_t InfoReader::RecordTrack(const CTrackInfo& track, Statements& statements) {
    // An empty fingerprint is stored as null and never matches a track, and
    // one too short to tell tracks apart is not looked up.
    bool found = false;
    if (track.FingerPrint.size() >= kMinDuplicateFingerPrintLength) {
        CADOStatement& find = statements.findFingerPrint;
        find.Bind(1, track.FingerPrint);
        found = find.Step();
        const bool failed = find.Failed();
        find.Reset();
        if (failed) {
            return find.LastError();
        }
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
    if (!add.Execute()) {
        return add.LastError();
    }
    // In the same transaction, so that a file is either recorded or still queued.
    statements.removeQueueRow.Bind(1, track.Filename);
    return statements.removeQueueRow.Execute() ? kStored : statements.removeQueueRow.LastError();
}

bool InfoReader::IsDeferred(const std::string& path) {
    const auto found = m_deferred.find(path);
    if (found == m_deferred.end()) {
        return false;
    }
    if (std::chrono::steady_clock::now() < found->second) {
        return true;
    }
    m_deferred.erase(found);
    return false;
}

void InfoReader::Defer(const std::string& path) {
    m_deferred[path] = std::chrono::steady_clock::now() + m_unreadableRetry;
}

std::uint32_t InfoReader::Apply(const Write& write, Statements& statements) {
    switch (write.kind) {
        case Write::Kind::Track:
            return RecordTrack(write.track, statements);
        case Write::Kind::Directory:
            if (const std::uint32_t failure =
                    QueueEntries(write.entries, statements.addQueueRow, statements.dropKnownFile)) {
                return failure;
            }
            statements.removeQueueRow.Bind(1, write.directory);
            return statements.removeQueueRow.Execute() ? kStored
                                                       : statements.removeQueueRow.LastError();
        case Write::Kind::Drop:
            statements.removeQueueRow.Bind(1, write.directory);
            return statements.removeQueueRow.Execute() ? kStored
                                                       : statements.removeQueueRow.LastError();
        case Write::Kind::CleanUp:
            for (CADOStatement* cleanUp :
                 {&statements.removeTracks, &statements.removeDuplicates}) {
                if (!cleanUp->Execute()) {
                    return cleanUp->LastError();
                }
            }
            return kStored;
    }
    return kStored;
}

void InfoReader::Report(const Write& write) {
    if (write.kind == Write::Kind::Track || write.kind == Write::Kind::Drop) {
        AddToCount(-1);
        Post(WM_INFOREADER_COUNT, 1);
    } else if (write.kind == Write::Kind::Directory) {
        ReportQueued(write.entries);
        AddToCount(-1);
        Post(WM_INFOREADER_COUNT, 1);
    }
}

void InfoReader::ReportQueued(const DirectoryEntries& entries) {
    const std::size_t queued = entries.files.size() + entries.directories.size();
    for (std::size_t i = 0; i < queued; ++i) {
        if ((m_nCount.fetch_add(1, std::memory_order_relaxed) + 1) % 10 == 0) {
            Post(WM_INFOREADER_COUNT, 1);
        }
    }
    Post(WM_INFOREADER_COUNT, 1);  // the end of the directory's scan
}

void InfoReader::ScanDirectory(const std::string& path) {
    const DirectoryEntries entries = ListDirectory(path);
    CADOStatement addQueueRow(m_database, kAddQueueRow);
    CADOStatement dropKnownFile(m_database, kDropKnownFile);
    CADOTransaction transaction(m_database);
    QueueEntries(entries, addQueueRow, dropKnownFile);
    transaction.Commit();
    ReportQueued(entries);
}

bool InfoReader::RunPass(Statements& statements, ScanWrites& writes, ScanReadAhead& readAhead) {
    std::int64_t queued = 0;
    if (statements.countQueue.Step()) {
        queued = statements.countQueue.ColumnInteger(0);
    }
    statements.countQueue.Reset();
    if (queued == 0) {
        writes.Commit();
        if (m_nFilesSinceIdle != 0) {
            Log(LogLevel::Info, "scan",
                "queue empty; " + std::to_string(m_nFilesSinceIdle) + " files read");
            m_nFilesSinceIdle = 0;
        }
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
    // When the disk must be read, a few directory rows behind it tell the
    // read-ahead what the next passes will want.
    std::vector<std::string> upcoming;
    const bool allRead =
        std::all_of(files.begin(), files.end(),
                    [&](const std::string& file) { return readAhead.HasTrack(file); }) &&
        (directory.empty() || readAhead.HasEntries(directory));
    while (!allRead && !directory.empty() && upcoming.size() < kUpcomingDirectories &&
           statements.passQuery.Step()) {
        upcoming.push_back(statements.passQuery.ColumnText(0));
    }
    if (statements.passQuery.Failed()) {
        // As a failed read of the queue always has, this ends the worker; the
        // queue keeps its rows for the next start.
        throw CADOException(statements.passQuery.LastError(), "SQLite",
                            m_database.GetLastErrorText());
    }
    statements.passQuery.Reset();

    // A pass that finds only files waiting for their retry is idle.
    bool handled = false;
    // Reads the disk once the catalog is unlocked; false when a stop request
    // ended a wait for the catalog.
    const auto readFrom = [&](std::size_t first, const std::string& expand) {
        if (!writes.Commit()) {
            return false;
        }
        const CADOReadTransaction lookups(m_database);  // for the read-ahead's look-ups
        readAhead.Read(std::span(files).subspan(first), expand, upcoming, m_bStop);
        return true;
    };
    bool storing = true;
    if (!files.empty() || !directory.empty()) {
        m_bBusy = 1;
        handled = !directory.empty();
        // A pass that stopped at a directory did not count the rows behind
        // it; the queue's size stands in for them in this display hint.
        m_nCount = static_cast<std::int32_t>(directory.empty() ? files.size() : queued);
        Post(WM_INFOREADER_BUSY, 1);
        for (std::size_t i = 0; storing && i < files.size() && !m_bStop; ++i) {
            if (IsDeferred(files[i])) {
                continue;
            }
            if (!readAhead.HasTrack(files[i]) && !readFrom(i, directory)) {
                storing = false;
                break;
            }
            TrackFile file = readAhead.TakeTrack(files[i]);
            if (file.status == OpenStatus::Unreadable) {
                Defer(files[i]);
                continue;
            }
            handled = true;
            if (file.status == OpenStatus::NotAFile) {
                SkipsTooLongPath(files[i]);  // queued from elsewhere: say why it goes
            }
            // A path that is no file to read leaves the queue and never becomes a track.
            storing = (file.status == OpenStatus::Opened
                           ? writes.Add({Write::Kind::Track, std::move(file.track), {}, {}})
                           : writes.Add({Write::Kind::Drop, {}, files[i], {}})) &&
                      writes.CommitIfDue();
            if (storing) {
                ++m_nFilesSinceIdle;
            }
        }
        if (storing && !directory.empty() && !m_bStop) {
            // The directory row ends the pass: its entries need a fresh pass query.
            Log(LogLevel::Debug, "scan", "folder read: " + directory);
            storing =
                (readAhead.HasEntries(directory) || readFrom(files.size(), directory)) &&
                writes.Add(
                    {Write::Kind::Directory, {}, directory, readAhead.TakeEntries(directory)});
        }
    }

    // The pass's own rows are settled already: recorded files take their
    // queue rows with them, and files found known when queued are dropped. The
    // clean-up statements read the whole queue, so they run when rows may have
    // come from elsewhere, and on passes that read the whole queue anyway.
    const bool queuedElsewhere = m_bQueuedElsewhere.exchange(false);
    if (storing && (directory.empty() || queuedElsewhere)) {
        storing = writes.Add({Write::Kind::CleanUp, {}, {}, {}});
    }
    if (storing && m_bStop) {
        // A pass that a stop request ends reports its last files before its end.
        writes.Commit();
    } else if (storing) {
        writes.CommitIfDue();
    }
    m_bBusy = 0;
    Post(WM_INFOREADER_BUSY, 0);
    if (!handled) {
        Post(WM_INFOREADER_COUNT, 1);  // idle as with an empty queue
    }
    return handled;
}

void InfoReader::Run() {
    m_bStopped = false;
    // Rows left by an earlier run may name files that are known by now.
    m_bQueuedElsewhere = true;
    Statements statements(m_database);
    ScanWrites writes(*this, statements);
    const auto isKnown = [&statements](const std::string& path) {
        CADOStatement& find = statements.findKnownFile;
        find.Bind(1, path);
        find.Bind(2, path);
        const bool known = find.Step();
        find.Reset();
        return known;
    };
    ScanReadAhead readAhead(m_readTrack, ListDirectory, isKnown);
    try {
        while (!m_bStop) {
            if (!RunPass(statements, writes, readAhead)) {
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
