#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "catalog/ADODataBase.h"
#include "catalog/ADOStatement.h"
#include "catalog/PendingWrites.h"
#include "catalog/TrackInfo.h"
#include "library/ScanReadAhead.h"
#include "platform/messages/MessageTarget.h"

namespace kavelin {

// Progress messages of the scanner; the receiver reads m_nCount itself.
inline constexpr unsigned WM_INFOREADER_BUSY = WM_APP + 200;   // wParam 1 pass starts, 0 ends
inline constexpr unsigned WM_INFOREADER_COUNT = WM_APP + 201;  // m_nCount changed

// The query that starts each pass: the distinct queued paths that are neither
// tracks nor duplicates yet, files first.
extern const char* const kInfoReaderPassQuery;

// The scanning worker: drains the queue table tInfoRead in passes, expanding
// queued directories one level per pass and recording every queued MP3 file
// as a catalog track or, when its fingerprint is known, as a duplicate.
//
// Files and directories are read while the catalog is not locked; the write
// lock is taken only to store what was read, so a slow disk never keeps a
// rating or a play waiting. What cannot be stored (a full disk, a catalog
// held by another program) stays in memory and is stored again after a
// pause; it is never read again, and a file leaves the queue only in the
// transaction that records it.
class InfoReader {
public:
    // `idleSleep` is the pause when the queue is empty and between attempts
    // to store what the catalog refused. Files and folders queued from other
    // threads reach the catalog through `writes`.
    InfoReader(CADODataBase& database, PendingWrites& writes,
               std::chrono::milliseconds idleSleep = std::chrono::milliseconds(5000),
               TrackFileReader readTrack = nullptr,
               std::chrono::milliseconds unreadableRetry = std::chrono::minutes(10));
    InfoReader(const InfoReader&) = delete;
    InfoReader& operator=(const InfoReader&) = delete;

    // Set once the main window exists; progress is posted only while one is set.
    void SetMainWindow(MessageTarget* window) { m_pMainWnd.store(window); }

    // Queue one file (called by the download thread for finished downloads).
    // Neither queue call waits for a catalog that another program holds or
    // that has no room: the entry is then kept, retried and saved beside the
    // catalog until it is stored.
    void QueueFile(const std::string& path);
    // Queue one directory; the path ends with "/".
    void QueueDirectory(const std::string& path);
    // The worker loop, the body of the scanner's thread.
    void Run();
    // Expands one queued directory (its path ends with "/") into file rows and
    // directory rows of the queue; used by the loop.
    void ScanDirectory(const std::string& path);

    std::atomic<bool> m_bStop{false};     // set by the application to end Run
    std::atomic<bool> m_bStopped{false};  // set when Run has ended normally
    std::atomic<int> m_bBusy{0};          // 1 while a pass with work runs
    // Queue entries believed to be waiting: a display hint, never used to drive the work.
    std::atomic<std::int32_t> m_nCount{0};
    // Set while the disk holding the catalog is full and the scan waits for
    // space; reported once with a progress message when it is set and once when it clears.
    std::atomic<bool> m_bCatalogDiskFull{false};

private:
    struct Statements;
    struct Write;
    class ScanWrites;

    void Post(unsigned message, std::intptr_t wParam);
    // The pause between passes while the queue is empty; ends early on a stop request.
    void IdleWait();
    void AddToCount(std::int32_t delta);
    // Runs one cycle; false when it found nothing to do (an empty queue, or
    // only files waiting for their retry).
    bool RunPass(Statements& statements, ScanWrites& writes, ScanReadAhead& readAhead);
    // Adds a directory's entries to the queue, files first; files that are
    // known already are dropped again. 0, or the code of the statement that failed.
    std::uint32_t QueueEntries(const DirectoryEntries& entries, CADOStatement& addQueueRow,
                               CADOStatement& dropKnownFile);
    // A file that exists but cannot be read now stays queued and out of the
    // catalog; the scan passes it by until its retry time.
    bool IsDeferred(const std::string& path);
    void Defer(const std::string& path);
    // Records one file in tTrack, or in tDuplicate when a track has its
    // fingerprint, and removes its queue rows. 0, or the code of the failure.
    std::uint32_t RecordTrack(const CTrackInfo& track, Statements& statements);
    // Makes one change in the open transaction: 0, or the code of the failure.
    std::uint32_t Apply(const Write& write, Statements& statements);
    // Counts and reports a change once it is committed.
    void Report(const Write& write);
    void ReportQueued(const DirectoryEntries& entries);

    CADODataBase& m_database;
    PendingWrites& m_writes;
    const TrackFileReader m_readTrack;
    std::atomic<MessageTarget*> m_pMainWnd{nullptr};
    // Set when another thread queued rows: the next pass runs the clean-up
    // statements over the whole queue.
    std::atomic<bool> m_bQueuedElsewhere{true};
    const std::chrono::milliseconds m_idleSleep;
    const std::chrono::milliseconds m_unreadableRetry;
    // Used by the scanner's thread only.
    std::unordered_map<std::string, std::chrono::steady_clock::time_point> m_deferred;
    // Files read since the queue was last found empty; the scanner thread's own.
    long m_nFilesSinceIdle = 0;
};

}  // namespace kavelin
