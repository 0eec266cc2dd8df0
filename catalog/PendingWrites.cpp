#include "catalog/PendingWrites.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <vector>

#include "catalog/ADORecordset.h"
#include "catalog/WriteWaits.h"
#include "platform/log/ProgramLog.h"

namespace kavelin {
namespace {

// Each line of the journal is one write. The first version's lines had no id.
constexpr const char* kJournalHeader = "Kavelin pending writes 2";
constexpr const char* kFirstJournalHeader = "Kavelin pending writes 1";

// Between failed retries the thread waits this long at first, doubling up to the maximum.
constexpr std::chrono::milliseconds kFirstBackOff(250);
constexpr std::chrono::milliseconds kMaxBackOff(8000);

// A random number per run, so that ids never repeat across runs.
std::string NewRunId() {
    std::random_device random;
    const std::uint64_t value = (std::uint64_t{random()} << 32) ^ random();
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// A path may hold any byte but NUL; in the journal a line break and the
// backslash are written as \n and \\.
std::string EscapeLine(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '\\' || c == '\n') {
            escaped += '\\';
            escaped += c == '\n' ? 'n' : '\\';
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string UnescapeLine(const std::string& text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            plain += text[++i] == 'n' ? '\n' : text[i];
        } else {
            plain += text[i];
        }
    }
    return plain;
}

WriteResult Apply(CADODataBase& database, const CatalogWrite& write) {
    switch (write.kind) {
        case CatalogWrite::Kind::Rating:
            return SetRating(database, write.moodId, write.trackId, write.rating);
        case CatalogWrite::Kind::Play:
            return RecordPlay(database, write.moodId, write.trackId, write.playedAt);
        case CatalogWrite::Kind::Skip:
            return RecordSkip(database, write.moodId, write.trackId, write.positionMs,
                              write.lengthMs);
        case CatalogWrite::Kind::Scan:
            return QueueForScan(database, write.path);
        case CatalogWrite::Kind::Watch:
            return WatchFolder(database, write.path);
        case CatalogWrite::Kind::Setting:
            return SetSettingInt(database, write.setting, write.value);
    }
    return {kUnspecifiedError};
}

// Whether a write with this id was stored; nothing when the catalog could not
// be read, with the reason in `failure`.
std::optional<bool> IsStored(CADODataBase& database, const std::string& id,
                             std::uint32_t& failure) {
    CADORecordset rs(database);
    if (!rs.OpenSource(FormatStatement("SELECT 1 FROM tStoredWrite WHERE WriteID='%s'",
                                       QuoteForSql(id).c_str()),
                       CADORecordset::SourceQuery)) {
        failure = rs.GetLastError() != 0 ? rs.GetLastError() : kUnspecifiedError;
        return std::nullopt;
    }
    return !rs.AtEnd();
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

// Whether a newer write makes an older one that still waits pointless: a
// verdict for the same track and mood, a value of the same setting.
bool Replaces(const CatalogWrite& newer, const CatalogWrite& older) {
    if (newer.kind != older.kind) {
        return false;
    }
    switch (newer.kind) {
        case CatalogWrite::Kind::Rating:
            return newer.moodId == older.moodId && newer.trackId == older.trackId;
        case CatalogWrite::Kind::Setting:
            return newer.setting == older.setting;
        default:
            return false;
    }
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
    : m_database(database), m_strJournalPath(std::move(journalPath)), m_strRunId(NewRunId()) {
    LoadJournal();
    ForgetStoredIds();
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
    write.playedAt = LocalTimeText("%Y-%m-%d %H:%M:%S");
    return Store(std::move(write));
}

bool PendingWrites::StoreSkip(int moodId, int trackId, int positionMs, int lengthMs) {
    CatalogWrite write;
    write.kind = CatalogWrite::Kind::Skip;
    write.moodId = moodId;
    write.trackId = trackId;
    write.positionMs = positionMs;
    write.lengthMs = lengthMs;
    return Store(std::move(write));
}

bool PendingWrites::QueueForScan(const std::string& path) {
    CatalogWrite write;
    write.kind = CatalogWrite::Kind::Scan;
    write.path = path;
    return Store(std::move(write));
}

bool PendingWrites::WatchFolder(const std::string& path) {
    CatalogWrite write;
    write.kind = CatalogWrite::Kind::Watch;
    write.path = path;
    return Store(std::move(write));
}

bool PendingWrites::StoreSetting(const std::string& name, int value) {
    CatalogWrite write;
    write.kind = CatalogWrite::Kind::Setting;
    write.setting = name;
    write.value = value;
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
    const WriteResult result = Write(write, {}, kFirstAttemptWait);
    std::lock_guard lock(m_lock);
    if (result) {
        ++m_totals.stored;
        return true;
    }
    m_failure = FailureOf(result.failure);
    Enqueue(std::move(write));
    return false;
}

void PendingWrites::Enqueue(CatalogWrite write, std::string id) {
    // The head may be being stored right now; it is then stored first and
    // this newer write after it, so the newer one still wins.
    const auto older = std::remove_if(m_queue.begin(), m_queue.end(), [&](const Entry& entry) {
        return Replaces(write, entry.write);
    });
    m_totals.replaced += static_cast<std::uint64_t>(m_queue.end() - older);
    m_queue.erase(older, m_queue.end());
    const std::uint64_t sequence = m_nextSequence++;
    if (id.empty()) {
        id = m_strRunId + "-" + std::to_string(sequence);
    }
    m_queue.push_back({sequence, std::move(id), std::move(write)});
    m_bJournalDirty = true;
    m_bRetryRequested = true;
    m_wake.notify_all();
}

WriteResult PendingWrites::Write(const CatalogWrite& write, const std::string& id,
                                 std::chrono::milliseconds wait) {
    const WriteWaitLimit limit(wait);
    if (id.empty()) {
        return Apply(m_database, write);
    }
    // The write's own transaction joins this one, so the id is stored with it or not at all.
    CADOTransaction transaction(m_database);
    if (!transaction.IsActive()) {
        return {transaction.LastError() != 0 ? transaction.LastError() : kUnspecifiedError};
    }
    std::uint32_t failure = 0;
    const std::optional<bool> stored = IsStored(m_database, id, failure);
    if (!stored) {
        return {failure};
    }
    if (*stored) {
        return {};
    }
    if (const WriteResult result = Apply(m_database, write); !result) {
        return result;
    }
    if (const std::uint32_t code = m_database.Execute(FormatStatement(
            "INSERT INTO tStoredWrite(WriteID) VALUES ('%s')", QuoteForSql(id).c_str()))) {
        return {code};
    }
    if (!transaction.Commit()) {
        return {transaction.LastError() != 0 ? transaction.LastError() : kUnspecifiedError};
    }
    return {};
}

void PendingWrites::ForgetStoredIds() {
    std::string kept;
    {
        std::lock_guard lock(m_lock);
        for (const Entry& entry : m_queue) {
            kept += (kept.empty() ? "'" : ", '") + QuoteForSql(entry.id) + "'";
        }
    }
    // Tidying only: when the catalog is busy now, the ids wait for the next start.
    const WriteWaitLimit limit(kFirstAttemptWait);
    m_database.Execute(kept.empty()
                           ? std::string("DELETE FROM tStoredWrite")
                           : "DELETE FROM tStoredWrite WHERE WriteID NOT IN (" + kept + ")");
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
        const WriteResult result = Write(head.write, head.id, kRetryWait);
        std::lock_guard lock(m_lock);
        if (!result) {
            m_failure = FailureOf(result.failure);
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
        text << entry.id << ' ';
        switch (write.kind) {
            case CatalogWrite::Kind::Rating:
                text << "R " << write.moodId << ' ' << write.trackId << ' ' << write.rating;
                break;
            case CatalogWrite::Kind::Play:
                text << "P " << write.moodId << ' ' << write.trackId << ' ' << write.playedAt;
                break;
            case CatalogWrite::Kind::Skip:
                text << "S " << write.moodId << ' ' << write.trackId << ' ' << write.positionMs
                     << ' ' << write.lengthMs;
                break;
            case CatalogWrite::Kind::Scan:
                text << "Q " << EscapeLine(write.path);
                break;
            case CatalogWrite::Kind::Watch:
                text << "W " << EscapeLine(write.path);
                break;
            case CatalogWrite::Kind::Setting:
                text << "T " << write.setting << ' ' << write.value;
                break;
        }
        text << '\n';
    }
    return WriteFileAtomically(m_strJournalPath, text.str());
}

void PendingWrites::LoadJournal() {
    std::ifstream file(m_strJournalPath);
    std::string line;
    if (!std::getline(file, line) || (line != kJournalHeader && line != kFirstJournalHeader)) {
        return;
    }
    const bool withIds = line == kJournalHeader;
    std::lock_guard lock(m_lock);
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string id;
        std::string kind;
        if (withIds) {
            fields >> id;
        }
        fields >> kind;
        CatalogWrite write;
        bool known = true;
        if (kind == "Q" || kind == "W") {
            write.kind = kind == "Q" ? CatalogWrite::Kind::Scan : CatalogWrite::Kind::Watch;
            std::getline(fields.ignore(1), write.path);
            write.path = UnescapeLine(write.path);
            known = !write.path.empty();
        } else if (kind == "T") {
            write.kind = CatalogWrite::Kind::Setting;
            known = static_cast<bool>(fields >> write.setting >> write.value);
        } else if (!(fields >> write.moodId >> write.trackId)) {
            known = false;
        } else if (kind == "R") {
            write.kind = CatalogWrite::Kind::Rating;
            known = static_cast<bool>(fields >> write.rating);
        } else if (kind == "P") {
            write.kind = CatalogWrite::Kind::Play;
            known = std::getline(fields >> std::ws, write.playedAt) && write.playedAt.size() == 19;
        } else if (kind == "S") {
            write.kind = CatalogWrite::Kind::Skip;
            known = static_cast<bool>(fields >> write.positionMs >> write.lengthMs);
        } else {
            known = false;
        }
        if (known) {
            Enqueue(std::move(write), std::move(id));
        }
        // A line this build does not know is passed by; the rest is still good.
    }
    // What was read is on disk already; entries of the first version get
    // their ids when the journal is next written.
    m_bJournalDirty = !withIds && !m_queue.empty();
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
    // A folder the user added waits to be queued and to be watched: it is
    // one folder to the user.
    std::set<std::string> paths;
    std::size_t settings = 0;
    std::size_t others = 0;
    for (const Entry& entry : m_queue) {
        switch (entry.write.kind) {
            case CatalogWrite::Kind::Scan:
            case CatalogWrite::Kind::Watch:
                paths.insert(entry.write.path);
                break;
            case CatalogWrite::Kind::Setting:
                ++settings;
                break;
            default:
                ++others;
                break;
        }
    }
    const auto count = [](std::size_t n, const char* one, const char* many) {
        return n == 1 ? std::string("1 ") + one : std::to_string(n) + " " + many;
    };
    std::vector<std::string> parts;
    if (others != 0) {
        parts.push_back(count(others, "rating or play", "ratings or plays"));
    }
    if (!paths.empty()) {
        parts.push_back(count(paths.size(), "folder or file to scan", "folders or files to scan"));
    }
    if (settings != 0) {
        parts.push_back(count(settings, "setting", "settings"));
    }
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    }
    text += others + paths.size() + settings == 1 ? " is waiting to be saved"
                                                  : " are waiting to be saved";
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
