#include "catalog/PendingWrites.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

#include "catalog/CatalogOperations.h"
#include "catalog/WriteWaits.h"

namespace kavelin {
namespace {

constexpr const char* kJournalHeader = "Kavelin pending writes 1";

// Between failed retries the thread waits this long at first, doubling up to the maximum.
constexpr std::chrono::milliseconds kFirstBackOff(250);
constexpr std::chrono::milliseconds kMaxBackOff(8000);

std::string LocalTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

WriteFailure FailureOf(std::uint32_t code) {
    if ((code & 0xFFFF0000u) != kSqliteCodeBase) {
        return WriteFailure::Other;
    }
    switch (code & 0xFFu) {
        case 5:  // SQLITE_BUSY
        case 6:  // SQLITE_LOCKED
            return WriteFailure::Busy;
        case 13:  // SQLITE_FULL
            return WriteFailure::DiskFull;
        case 8:  // SQLITE_READONLY
            return WriteFailure::ReadOnly;
        default:
            return WriteFailure::Other;
    }
}

bool SameVerdict(const CatalogWrite& a, const CatalogWrite& b) {
    return a.kind == CatalogWrite::Kind::Rating && b.kind == CatalogWrite::Kind::Rating &&
           a.moodId == b.moodId && a.trackId == b.trackId;
}

// Writes the whole file beside its final name and renames it over, so that a
// crash leaves either the old journal or the new one, never half of one.
bool WriteFileAtomically(const std::string& path, const std::string& content) {
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < content.size()) {
        const ssize_t written = ::write(fd, content.data() + done, content.size() - done);
        ok = written > 0;
        done += ok ? static_cast<std::size_t>(written) : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && std::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        std::remove(temporary.c_str());
    }
    return ok;
}

}  // namespace

PendingWrites::PendingWrites(CADODataBase& database, std::string journalPath)
    : m_database(database), m_strJournalPath(std::move(journalPath)) {
    LoadJournal();
}

PendingWrites::~PendingWrites() {
    StopRetrying();
}

bool PendingWrites::StoreRating(int moodId, int trackId, int rating) {
    CatalogWrite write;
    write.kind = CatalogWrite::Kind::Rating;
    write.moodId = moodId;
    write.trackId = trackId;
    write.rating = rating;
    return Store(std::move(write));
}

bool PendingWrites::StorePlay(int moodId, int trackId) {
    CatalogWrite write;
    write.kind = CatalogWrite::Kind::Play;
    write.moodId = moodId;
    write.trackId = trackId;
    write.playedAt = LocalTimeNow();
    return Store(std::move(write));
}

bool PendingWrites::Store(CatalogWrite write) {
    {
        std::lock_guard lock(m_lock);
        ++m_totals.issued;
        if (!m_queue.empty()) {
            // Others wait: this one goes behind them, never past them.
            Enqueue(std::move(write));
            return false;
        }
    }
    std::lock_guard storing(m_storeLock);
    {
        std::lock_guard lock(m_lock);
        if (!m_queue.empty()) {
            Enqueue(std::move(write));
            return false;
        }
    }
    const bool stored = Write(write, kFirstAttemptWait);
    std::lock_guard lock(m_lock);
    if (stored) {
        ++m_totals.stored;
        return true;
    }
    m_failure = FailureOf(m_database.GetLastError());
    Enqueue(std::move(write));
    return false;
}

void PendingWrites::Enqueue(CatalogWrite write) {
    if (write.kind == CatalogWrite::Kind::Rating) {
        // The head may be being stored right now; it is then stored first and
        // this newer verdict after it, so the newer one still wins.
        const auto older = std::remove_if(m_queue.begin(), m_queue.end(), [&](const Entry& entry) {
            return SameVerdict(entry.write, write);
        });
        m_totals.replaced += static_cast<std::uint64_t>(m_queue.end() - older);
        m_queue.erase(older, m_queue.end());
    }
    m_queue.push_back({m_nextSequence++, std::move(write)});
    m_bJournalDirty = true;
    m_bRetryRequested = true;
    m_wake.notify_all();
}

bool PendingWrites::Write(const CatalogWrite& write, std::chrono::milliseconds wait) {
    const WriteWaitLimit limit(wait);
    if (write.kind == CatalogWrite::Kind::Rating) {
        return SetRating(m_database, write.moodId, write.trackId, write.rating);
    }
    return RecordPlay(m_database, write.moodId, write.trackId, write.playedAt);
}

bool PendingWrites::RetryNow() {
    const bool allStored = StoreWaiting();
    std::unique_lock lock(m_lock);
    // A journal that could not be written is tried again with the writes.
    m_bJournalDirty = m_bJournalDirty || !m_bJournalSaved;
    SaveJournalIfChanged(lock);
    return allStored;
}

bool PendingWrites::StoreWaiting() {
    std::lock_guard storing(m_storeLock);
    for (;;) {
        Entry head;
        {
            std::lock_guard lock(m_lock);
            if (m_queue.empty()) {
                m_failure = WriteFailure::None;
                return true;
            }
            head = m_queue.front();
        }
        const bool stored = Write(head.write, kRetryWait);
        std::lock_guard lock(m_lock);
        if (!stored) {
            m_failure = FailureOf(m_database.GetLastError());
            return false;
        }
        ++m_totals.stored;
        if (!m_queue.empty() && m_queue.front().sequence == head.sequence) {
            m_queue.pop_front();
        } else {
            // A newer verdict replaced it while it was being stored; that one
            // waits further back and is stored after it. It was stored, not dropped.
            --m_totals.replaced;
        }
        m_bJournalDirty = true;
    }
}

void PendingWrites::StartRetrying() {
    std::lock_guard lock(m_lock);
    if (m_retryThread.joinable()) {
        return;
    }
    m_bStop = false;
    m_retryThread = std::thread([this] { RetryLoop(); });
}

void PendingWrites::StopRetrying() {
    {
        std::lock_guard lock(m_lock);
        m_bStop = true;
    }
    m_wake.notify_all();
    if (m_retryThread.joinable()) {
        m_retryThread.join();
    }
    std::unique_lock lock(m_lock);
    SaveJournalIfChanged(lock);
}

void PendingWrites::RetryLoop() {
    std::chrono::milliseconds backOff = kFirstBackOff;
    auto nextAttempt = std::chrono::steady_clock::now();
    std::unique_lock lock(m_lock);
    while (!m_bStop) {
        SaveJournalIfChanged(lock);
        if (m_bStop) {
            break;
        }
        if (m_queue.empty()) {
            backOff = kFirstBackOff;
            m_bRetryRequested = false;
            m_wake.wait(lock, [this] { return m_bStop || m_bJournalDirty || !m_queue.empty(); });
            continue;
        }
        if (m_bRetryRequested) {
            // Something new was done: a good moment to try again at once.
            m_bRetryRequested = false;
            nextAttempt = std::chrono::steady_clock::now();
        }
        if (std::chrono::steady_clock::now() < nextAttempt) {
            m_wake.wait_until(lock, nextAttempt,
                              [this] { return m_bStop || m_bJournalDirty || m_bRetryRequested; });
            continue;
        }
        lock.unlock();
        const bool allStored = RetryNow();
        lock.lock();
        if (allStored) {
            backOff = kFirstBackOff;
        } else {
            nextAttempt = std::chrono::steady_clock::now() + backOff;
            backOff = std::min(backOff * 2, kMaxBackOff);
        }
    }
}

void PendingWrites::SaveJournalIfChanged(std::unique_lock<std::mutex>& lock) {
    if (!m_bJournalDirty) {
        return;
    }
    m_bJournalDirty = false;
    const std::deque<Entry> snapshot = m_queue;
    lock.unlock();
    const bool saved = SaveJournal(snapshot);
    lock.lock();
    m_bJournalSaved = saved;
}

bool PendingWrites::SaveJournal(const std::deque<Entry>& entries) const {
    if (entries.empty()) {
        return std::remove(m_strJournalPath.c_str()) == 0 || errno == ENOENT;
    }
    std::ostringstream text;
    text << kJournalHeader << '\n';
    for (const Entry& entry : entries) {
        const CatalogWrite& write = entry.write;
        if (write.kind == CatalogWrite::Kind::Rating) {
            text << "R " << write.moodId << ' ' << write.trackId << ' ' << write.rating << '\n';
        } else {
            text << "P " << write.moodId << ' ' << write.trackId << ' ' << write.playedAt << '\n';
        }
    }
    return WriteFileAtomically(m_strJournalPath, text.str());
}

void PendingWrites::LoadJournal() {
    std::ifstream file(m_strJournalPath);
    std::string line;
    if (!std::getline(file, line) || line != kJournalHeader) {
        return;
    }
    std::lock_guard lock(m_lock);
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string kind;
        CatalogWrite write;
        fields >> kind >> write.moodId >> write.trackId;
        if (kind == "R" && fields >> write.rating) {
            write.kind = CatalogWrite::Kind::Rating;
        } else if (kind == "P" && std::getline(fields >> std::ws, write.playedAt) &&
                   write.playedAt.size() == 19) {
            write.kind = CatalogWrite::Kind::Play;
        } else {
            continue;  // a line this build does not know; the rest is still good
        }
        Enqueue(std::move(write));
    }
    // What was read is on disk already.
    m_bJournalDirty = false;
}

PendingWrites::Totals PendingWrites::Count() const {
    std::lock_guard lock(m_lock);
    Totals totals = m_totals;
    totals.waiting = m_queue.size();
    return totals;
}

std::size_t PendingWrites::Waiting() const {
    std::lock_guard lock(m_lock);
    return m_queue.size();
}

WriteFailure PendingWrites::LastFailure() const {
    std::lock_guard lock(m_lock);
    return m_failure;
}

bool PendingWrites::JournalSaved() const {
    std::lock_guard lock(m_lock);
    return m_bJournalSaved;
}

std::string PendingWrites::StatusText() const {
    std::lock_guard lock(m_lock);
    if (m_queue.empty()) {
        return {};
    }
    std::string text = m_queue.size() == 1 ? std::string("1 rating or play is waiting to be saved")
                                           : std::to_string(m_queue.size()) +
                                                 " ratings or plays are waiting to be saved";
    switch (m_failure) {
        case WriteFailure::Busy:
            text += ": the catalog is in use by another program";
            break;
        case WriteFailure::DiskFull:
            text += ": the disk holding the catalog is full";
            break;
        case WriteFailure::ReadOnly:
            text += ": the catalog cannot be written (read-only)";
            break;
        case WriteFailure::Other:
            text += ": the catalog cannot be written";
            break;
        case WriteFailure::None:
            break;
    }
    text += m_bJournalSaved ? ". Kavelin keeps trying."
                            : ". Kavelin keeps trying; they are held in memory only, as the "
                              "disk cannot take them either.";
    return text;
}

}  // namespace kavelin
