#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "catalog/ADODataBase.h"
#include "catalog/CatalogOperations.h"

namespace kavelin {

// One thing the user did that must reach the catalog: a verdict (an exclusion
// is the verdict -1), a play, a skip, a file or folder to scan, a folder to
// watch, or a setting.
struct CatalogWrite {
    enum class Kind { Rating, Play, Skip, Scan, Watch, Setting };
    Kind kind = Kind::Rating;
    int moodId = 0;
    int trackId = 0;
    int rating = 0;        // verdicts only
    std::string playedAt;  // plays only: local time of the play, "YYYY-MM-DD HH:MM:SS"
    int positionMs = 0;    // skips only: how far into the track, and its length (0 unknown)
    int lengthMs = 0;
    // Scans: a file, or a directory whose path ends with "/"; watches: a directory.
    std::string path;
    std::string setting;  // settings only: the name (one word) and the value
    int value = 0;
};

// Why the writes that wait could not be stored.
enum class WriteFailure {
    None,
    Busy,      // another program or thread holds the catalog
    DiskFull,  // the disk holding the catalog is full
    ReadOnly,  // the catalog file or its folder cannot be written
    Other,     // any other failure of the catalog file
};

// Verdicts, plays, skips, folders to scan and watch, and settings on their way
// to the catalog. A
// write is tried at once, waiting only briefly for the catalog, so that the
// window never stalls; one that cannot be stored is kept, in order, retried by
// a thread of its own, and written to a journal beside the catalog so that it
// survives the end of the program. A newer verdict for a track in a mood
// replaces an older one that still waits, so a retry never undoes what the
// user said last. Each kept write carries an id that is stored in the catalog
// with it: a write read back from a journal that an earlier run stored but
// could not yet rewrite is recognised and not stored twice.
class PendingWrites {
public:
    // The journal is read at once; what it holds waits to be stored.
    PendingWrites(CADODataBase& database, std::string journalPath);
    // Stops retrying; what still waits stays in the journal.
    ~PendingWrites();
    PendingWrites(const PendingWrites&) = delete;
    PendingWrites& operator=(const PendingWrites&) = delete;

    // The longest a first attempt waits for another writer; the window thread
    // calls StoreRating and StorePlay.
    static constexpr std::chrono::milliseconds kFirstAttemptWait{60};
    // The longest a retry waits for another writer (on the retry thread).
    static constexpr std::chrono::milliseconds kRetryWait{1000};

    // True when stored now; false when kept to be retried.
    bool StoreRating(int moodId, int trackId, int rating);
    bool StorePlay(int moodId, int trackId);
    bool StoreSkip(int moodId, int trackId, int positionMs, int lengthMs);
    // A file, or a directory (its path ends with "/"), for the scanner's queue.
    bool QueueForScan(const std::string& path);
    // A folder the user added, to be watched from then on; its path ends with "/".
    bool WatchFolder(const std::string& path);
    bool StoreSetting(const std::string& name, int value);
    bool Store(CatalogWrite write);

    // Starts the thread that retries what waits and keeps the journal up to date.
    void StartRetrying();
    // Ends that thread (returning within one retry attempt) and brings the
    // journal up to date.
    void StopRetrying();
    // Tries to store everything that waits, in order, on the calling thread,
    // then brings the journal up to date. True when nothing waits any more.
    bool RetryNow();

    struct Totals {
        std::uint64_t issued = 0;  // writes given to Store (not those read from the journal)
        std::uint64_t stored = 0;  // writes stored in the catalog, late ones included
        std::uint64_t waiting = 0;
        std::uint64_t replaced = 0;  // older verdicts replaced by a newer one for the same pair
    };
    Totals Count() const;
    std::size_t Waiting() const;
    WriteFailure LastFailure() const;
    // False while what waits could not be written to the journal either (the
    // disk is full or the folder read-only): it is then kept in memory only.
    bool JournalSaved() const;
    // What the status line says while writes wait; empty when none wait.
    std::string StatusText() const;

private:
    struct Entry {
        std::uint64_t sequence = 0;
        std::string id;  // stored with the write; unique across runs
        CatalogWrite write;
    };

    // Stores a write that was never kept (`id` empty) or a kept one, in one
    // transaction with its id; a kept write whose id is stored already counts
    // as stored.
    WriteResult Write(const CatalogWrite& write, const std::string& id,
                      std::chrono::milliseconds wait);
    // Forgets the ids of writes that are no longer in the journal: those can
    // never be read back again.
    void ForgetStoredIds();
    bool StoreWaiting();
    // Adds a write to the end of the queue; the caller holds m_lock. An entry
    // read from the journal keeps its id, a new one gets one.
    void Enqueue(CatalogWrite write, std::string id = {});
    bool SaveJournal(const std::deque<Entry>& entries) const;
    void LoadJournal();
    void RetryLoop();
    void SaveJournalIfChanged(std::unique_lock<std::mutex>& lock);

    CADODataBase& m_database;
    const std::string m_strJournalPath;
    const std::string m_strRunId;  // makes the ids of this run differ from every other's

    // Held while a write is stored, so that two threads never store the
    // queue's head twice and a first attempt never passes a waiting write.
    std::mutex m_storeLock;

    mutable std::mutex m_lock;  // guards everything below
    std::condition_variable m_wake;
    std::deque<Entry> m_queue;
    std::uint64_t m_nextSequence = 1;
    Totals m_totals;
    WriteFailure m_failure = WriteFailure::None;
    bool m_bJournalDirty = false;
    bool m_bJournalSaved = true;
    bool m_bRetryRequested = false;
    bool m_bStop = false;
    std::thread m_retryThread;
};

}  // namespace kavelin
