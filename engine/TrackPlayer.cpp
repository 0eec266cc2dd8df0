#include "engine/TrackPlayer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>
#include <utility>

#include "catalog/ADORecordset.h"
#include "catalog/CatalogOperations.h"
#include "engine/WinAmpPlayer.h"
#include "engine/WmpPlayer.h"
#include "platform/addresses/ServiceAddresses.h"
#include "platform/log/ProgramLog.h"
#include "platform/messages/MessageBox.h"

namespace kavelin {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(300);
constexpr auto kNothingChosenPause = std::chrono::milliseconds(1000);
// How often a pause looks at the stop request, so that shutdown is prompt.
constexpr auto kStopCheckInterval = std::chrono::milliseconds(20);
// A start the window has not taken this long after the post was lost (the
// window did not exist yet); the loop then chooses again.
constexpr auto kStartAnswerTimeout = std::chrono::seconds(10);
// The time the window has, once it took a start, to hand the file to the backend.
constexpr auto kStartHandOver = std::chrono::seconds(1);
constexpr auto kFirstSelectionBackOff = std::chrono::milliseconds(1000);
constexpr auto kLongestSelectionBackOff = std::chrono::milliseconds(30000);

// qCounter's command: statement text with the mood as a 4-byte input parameter.
constexpr int kCommandText = 1;
constexpr int kParameterType = 8;
constexpr int kParameterInput = 1;
constexpr long kParameterSize = 4;
constexpr int kTrue = -1;
// Tries of the sampled fallback draw before all candidates are read.
constexpr int kSampledDraws = 48;

std::mt19937_64& SelectionRandom() {
    thread_local std::mt19937_64 generator(
        static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) ^
        std::hash<std::thread::id>()(std::this_thread::get_id()));
    return generator;
}

std::string Format(const char* format, int value) {
    char text[512];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Format2(const char* format, int first, int second) {
    char text[256];
    std::snprintf(text, sizeof text, format, first, second);
    return text;
}

bool FileExists(const std::string& path) {
    std::error_code ignored;
    return !path.empty() && std::filesystem::is_regular_file(path, ignored);
}

}  // namespace

std::unique_ptr<CPlayer> CreateBackend(int playerType) {
    if (playerType == kPlayerWinAmp) {
        return std::make_unique<CWinAmpPlayer>();
    }
    return std::make_unique<CWmpPlayer>();
}

long DrawRowPosition(long rows) {
    std::uniform_int_distribution<long> draw(1, rows);
    return draw(SelectionRandom());
}

void SeedSelectionRandom(std::uint64_t seed) {
    SelectionRandom().seed(seed);
}

TrackPlayer::TrackPlayer(CADODataBase& database, PendingWrites& writes, PlayerFactory factory)
    : m_database(database), m_writes(writes), m_factory(std::move(factory)) {}

void TrackPlayer::SetMessageTarget(MessageTarget* target) {
    std::lock_guard lock(m_targetLock);
    m_pTarget = target;
}

void TrackPlayer::Post(unsigned message) {
    std::lock_guard lock(m_targetLock);
    if (m_pTarget) {
        m_pTarget->PostMessage(message, 0, 0);
    }
}

void TrackPlayer::ReportProblem(const std::string& text) {
    std::lock_guard lock(m_targetLock);
    if (m_pTarget) {
        m_pTarget->ReportProblem(text);
    }
}

void TrackPlayer::Announce(bool show) {
    {
        std::lock_guard lock(m_trackLock);
        m_bStartWaiting = true;
        m_startPostedAt = std::chrono::steady_clock::now();
    }
    if (show) {
        Post(kMessageShowTrack);
    }
    Post(kMessagePlayTrack);
}

bool TrackPlayer::TakeTrackToStart(CTrackInfo& track) {
    std::lock_guard lock(m_trackLock);
    if (!m_bStartWaiting) {
        return false;
    }
    m_bStartWaiting = false;
    m_startTakenAt = std::chrono::steady_clock::now();
    track = m_currentTrack;
    return true;
}

bool TrackPlayer::AwaitingStart() {
    std::lock_guard lock(m_trackLock);
    const auto now = std::chrono::steady_clock::now();
    // Just taken, the track may not have reached the backend yet.
    return (m_bStartWaiting && now - m_startPostedAt < kStartAnswerTimeout) ||
           now - m_startTakenAt < kStartHandOver;
}

bool TrackPlayer::SelectionDue() {
    std::lock_guard lock(m_playerLock);
    return std::chrono::steady_clock::now() >= m_nextSelection;
}

void TrackPlayer::Rest(std::chrono::milliseconds span) {
    const auto until = std::chrono::steady_clock::now() + span;
    while (!m_bStop) {
        const auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(left, kStopCheckInterval));
    }
}

void TrackPlayer::Run() {
    m_bStopped = false;
    while (!m_bStop) {
        // The backend is polled without the player lock: the external player
        // can stall for seconds, and the window must meanwhile be able to
        // pause, resume and switch.
        const std::shared_ptr<CPlayer> player = GetPlayer();
        if (player && player->IsActive()) {
            m_nPosition = player->GetPosition();
            m_nLength = player->GetLength();
            m_nState = player->GetState();
            if (m_nState == kPlayStateStopped || m_nState == kPlayStateClosed) {
                // Nothing plays until the window starts the announced track:
                // choosing again meanwhile would queue a start every pass.
                if (!AwaitingStart() && SelectionDue()) {
                    SelectNextTrack();
                }
            } else {
                int resume = m_nResumePosition;
                if (resume != 0 && resume < m_nLength && GetCurrentTrack().ID != 0 &&
                    player == GetPlayer() && m_nResumePosition.compare_exchange_strong(resume, 0)) {
                    player->SetPosition(resume);
                }
            }
            Post(kMessageShowPosition);
        }
        Rest(kPollInterval);
    }
    std::shared_ptr<CPlayer> player;
    {
        std::lock_guard lock(m_backendLock);
        player = std::move(m_pPlayer);
    }
    if (player && player->IsActive()) {
        player->Stop();
    }
    // Destroyed here, or by a window call still under way when it returns.
    player.reset();
    m_bStopped = true;
}

long TrackPlayer::CountOf(const std::string& statement) {
    CADORecordset rs(m_database);
    long count = 0;
    if (rs.OpenSource(statement, CADORecordset::SourceQuery)) {
        rs.ReadField(0, count);
    }
    return count;
}

bool TrackPlayer::MakeCurrent(std::int32_t trackId, int ratingLevel) {
    std::lock_guard lock(m_trackLock);
    m_currentTrack = LoadTrack(m_database, trackId);
    m_currentTrack.RatingLevel = ratingLevel;
    return FileExists(m_currentTrack.Filename);
}

// The fallback choice: a track drawn uniformly among those without any
// track-mood row and those unrated in the mood. Reading every candidate to
// draw one costs a scan of the whole catalog, so the draw first tries track
// IDs drawn uniformly up to the highest: a candidate hit this way is as likely
// as any other. A track heard in the last 20 plays counts as a miss, so that
// the listener does not hear it again at once. Only when the tries miss (few
// candidates left) are all candidates read and one drawn among them.
void TrackPlayer::DrawUnratedTrack(CADORecordset& rs, int moodId) {
    const long highestId = CountOf("SELECT Max(ID) FROM tTrack");
    for (int attempt = 0; highestId > 0 && attempt < kSampledDraws; ++attempt) {
        CADOCommand candidate(m_database,
                              "SELECT t.ID, t.Filename, tm.Rating AS CurrentRating FROM tTrack t "
                              "LEFT JOIN tTrackMood tm ON t.ID = tm.TrackID WHERE t.ID = :TrackID "
                              "AND (((tm.MoodID)=:MoodID Or (tm.MoodID) Is Null) AND "
                              "((tm.Rating) Is Null)) AND NOT EXISTS (SELECT 1 FROM tTrackMood p "
                              "WHERE p.TrackID = t.ID AND p.LastCounter > (SELECT Counter FROM "
                              "tCounter) - 20)",
                              kCommandText);
        candidate.BindParameter("TrackID", kParameterType, kParameterInput, kParameterSize,
                                static_cast<std::int32_t>(DrawRowPosition(highestId)));
        candidate.BindParameter("MoodID", kParameterType, kParameterInput, kParameterSize, moodId);
        if (rs.RunCommand(candidate) && rs.CountRows() != 0) {
            return;
        }
    }
    rs.OpenSource(Format("SELECT t.ID, t.Filename, tm.Rating AS CurrentRating FROM tTrack t "
                         "LEFT JOIN tTrackMood tm ON t.ID = tm.TrackID WHERE "
                         "(((tm.MoodID)=%d Or (tm.MoodID) Is Null) AND ((tm.Rating) Is "
                         "Null)) ORDER BY tm.LastPlayed",
                         moodId),
                  CADORecordset::SourceQuery);
    if (rs.CountRows() != 0) {
        rs.MoveLast();
        rs.MoveToPosition(DrawRowPosition(rs.CountRows()));
    }
}

void TrackPlayer::SelectNextTrack() {
    std::unique_lock lock(m_playerLock);
    bool chose = false;
    std::uint32_t failure = 0;
    try {
        failure = ChooseNextTrack(chose);
    } catch (const CADOException& error) {
        failure = error.Code() != 0 ? error.Code() : kUnspecifiedError;
    }
    if (failure != 0) {
        SelectionFailed(failure, lock);
        return;
    }
    m_selectionBackOff = std::chrono::milliseconds(0);
    if (!chose) {
        lock.unlock();
        Rest(kNothingChosenPause);
    }
}

void TrackPlayer::SelectionFailed(std::uint32_t code, std::unique_lock<CMutex>& lock) {
    m_selectionBackOff =
        std::clamp(m_selectionBackOff * 2, kFirstSelectionBackOff, kLongestSelectionBackOff);
    m_nextSelection = std::chrono::steady_clock::now() + m_selectionBackOff;
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(m_selectionBackOff).count();
    // Whatever follows may wait for the window, which may meanwhile need the lock.
    lock.unlock();
    if (CatalogUnusable(code)) {
        ShowMessageBox(
            "Kavelin needs an update to your system. Please install the latest MDAC "
            "from " +
                MdacDownloadPage() + ".",
            "Fatal Error...", MessageIcon::Error);
        ShellOpen(MdacHelpPage());
        return;
    }
    ReportProblem("Cannot choose the next track (" + CodeMeaning(code) + "). Trying again in " +
                  std::to_string(seconds) + " s.");
}

std::uint32_t TrackPlayer::ChooseNextTrack(bool& chose) {
    const int moodId = m_nMoodID;
    m_nTotalTracks = static_cast<int>(CountOf("SELECT Count(*) FROM tTrack"));
    // Counted from the mood's ratings alone: every track-mood row belongs to a
    // catalog track (tracks are only ever marked deleted), and the join with
    // tTrack would cost a look-up per rating, some 15 ms in a large catalog.
    m_nRatedTracks = static_cast<int>(CountOf(
        Format("SELECT Count(*) FROM tTrackMood WHERE MoodID=%d AND Rating IS NOT NULL", moodId)));
    m_dRating = 0.0;
    m_bFromCounter = true;

    CADORecordset rs(m_database);
    CADOCommand command(m_database, "SELECT TOP 1 * FROM qCounter", kCommandText);
    command.BindParameter("MoodID", kParameterType, kParameterInput, kParameterSize, moodId);
    if (!rs.RunCommand(command)) {
        return rs.GetLastError() != 0 ? rs.GetLastError() : kUnspecifiedError;
    }

    if (rs.CountRows() != 0) {
        double rating = 0.0;
        rs.ReadField(2, rating);
        m_dRating = rating;
    } else {
        if (rs.IsOpen()) {
            rs.CloseSource();
        }
        DrawUnratedTrack(rs, moodId);
        if (!rs.IsOpen()) {
            return rs.GetLastError() != 0 ? rs.GetLastError() : kUnspecifiedError;
        }
        m_dRating = 0.0;
        m_bFromCounter = false;
        m_nSelectionBasis = 0;
    }

    if (rs.CountRows() == 0) {
        return 0;
    }
    long trackId = 0;
    rs.ReadField(0, trackId);
    if (m_bFromCounter) {
        int fromMoodRating = 0;
        int fromFirstGuess = 0;
        int fromSecondGuess = 0;
        rs.ReadField(3, fromMoodRating);
        rs.ReadField(4, fromFirstGuess);
        rs.ReadField(5, fromSecondGuess);
        m_nSelectionBasis = fromMoodRating == kTrue    ? 1
                            : fromFirstGuess == kTrue  ? 2
                            : fromSecondGuess == kTrue ? 3
                                                       : 0;
    }
    const int ratingLevel = static_cast<int>(m_dRating + 0.49);
    chose = true;
    if (MakeCurrent(static_cast<std::int32_t>(trackId), ratingLevel)) {
        Log(LogLevel::Info, "player",
            "chose track " + std::to_string(trackId) + " for mood " + std::to_string(moodId));
        Announce(true);
    } else {
        Log(LogLevel::Warning, "player",
            "file of track " + std::to_string(trackId) + " is gone; marked deleted");
        SetTrackDeleted(m_database, static_cast<int>(trackId), 1);
    }
    return 0;
}

void TrackPlayer::Skip() {
    // No lock is held while the backend is asked (the external player can
    // stall for seconds) or the skip is stored (the catalog may keep it
    // waiting). Asked of the backend now: the polled values may be 300 ms old.
    const int trackId = GetCurrentTrack().ID;
    const std::shared_ptr<CPlayer> player = GetPlayer();
    const int position = player ? player->GetPosition() : m_nPosition.load();
    const int length = player ? player->GetLength() : m_nLength.load();
    if (trackId != 0) {
        m_writes.StoreSkip(m_nMoodID, trackId, position, length);
    }
    SelectNextTrack();
}

void TrackPlayer::PlayTrack(std::int32_t trackId) {
    std::lock_guard lock(m_playerLock);
    try {
        // The user's choice is shown with its own rating in the mood, as a
        // selection of that track would show it.
        long rating = 0;
        CADORecordset rs(m_database);
        if (rs.OpenSource(Format2("SELECT Rating FROM tTrackMood WHERE TrackID=%d AND MoodID=%d",
                                  trackId, m_nMoodID.load()),
                          CADORecordset::SourceQuery) &&
            !rs.AtEnd()) {
            rs.ReadField(0, rating);
        }
        const bool rated = rating >= kRatingBad && rating <= kRatingAwesome;
        m_nSelectionBasis = rated ? 1 : 0;
        m_bFromCounter = false;
        m_dRating = rated ? static_cast<double>(rating) : 0.0;
        if (MakeCurrent(trackId, rated ? static_cast<int>(rating) : 0)) {
            Announce(true);
        }
    } catch (const CADOException& error) {
        ReportProblem("Cannot play the chosen track (" + std::string(error.what()) + ").");
    }
}

void TrackPlayer::SetMood(const std::string& moodName) {
    CADORecordset rs(m_database);
    if (!rs.OpenSource(
            "SELECT ID FROM tMood WHERE FoldCase(Name)=FoldCase('" + QuoteForSql(moodName) + "')",
            CADORecordset::SourceQuery) ||
        rs.AtEnd()) {
        return;
    }
    long moodId = 0;
    if (rs.ReadField("ID", moodId)) {
        m_nMoodID = static_cast<int>(moodId);
    }
}

CTrackInfo TrackPlayer::GetCurrentTrack() {
    std::lock_guard lock(m_trackLock);
    return m_currentTrack;
}

std::shared_ptr<CPlayer> TrackPlayer::InitBackend(int playerType) {
    std::shared_ptr<CPlayer> player = m_factory(playerType);
    MessageTarget* owner = nullptr;
    {
        std::lock_guard lock(m_targetLock);
        owner = m_pTarget;
    }
    if (!player || player->Init(owner) != 1) {
        return nullptr;
    }
    return player;
}

int TrackPlayer::CreatePlayer() {
    const int preferred = m_nPlayerType;
    const int fallback = preferred == kPlayerWinAmp ? kPlayerMediaPlayer : kPlayerWinAmp;
    for (const int type : {preferred, fallback}) {
        if (auto player = InitBackend(type)) {
            Log(LogLevel::Info, "player",
                type == kPlayerWinAmp ? "external player ready" : "built-in player ready");
            std::lock_guard lock(m_backendLock);
            m_pPlayer = std::move(player);
            m_nPlayerType = type;
            return 1;
        }
    }
    Log(LogLevel::Error, "player", "neither player could be started");
    return 0;
}

int TrackPlayer::SwitchPlayer(int playerType) {
    if (playerType == m_nPlayerType) {
        return 1;
    }
    std::shared_ptr<CPlayer> old = GetPlayer();
    if (!old) {
        m_nPlayerType = playerType;
        return 1;
    }
    std::shared_ptr<CPlayer> player = InitBackend(playerType);
    if (!player) {
        return 0;
    }
    // The same track goes on in the new player where it was: a switch is
    // neither a new play nor a new announcement. The old player holds still
    // meanwhile, so that the loop does not take it for the end of the track;
    // the loop seeks once the new player knows the track's length.
    const int position = old->GetPosition();
    const CTrackInfo track = GetCurrentTrack();
    if (track.ID != 0) {
        old->Pause();
        player->Play(track.Filename);
        if (m_bPaused) {
            player->Pause();
        }
    }
    {
        std::lock_guard playerLock(m_playerLock);
        {
            std::lock_guard backendLock(m_backendLock);
            old = std::exchange(m_pPlayer, std::move(player));
        }
        m_nResumePosition = position;
        m_nPlayerType = playerType;
    }
    old->Stop();
    Log(LogLevel::Info, "player",
        playerType == kPlayerWinAmp ? "switched to the external player"
                                    : "switched to the built-in player");
    return 1;
}

// Neither takes the player lock: a selection in progress must not hold the
// window's button up.
void TrackPlayer::Pause() {
    if (const std::shared_ptr<CPlayer> player = GetPlayer()) {
        player->Pause();
        m_bPaused = true;
    }
}

void TrackPlayer::Resume() {
    if (const std::shared_ptr<CPlayer> player = GetPlayer()) {
        player->Resume();
        m_bPaused = false;
    }
}

std::shared_ptr<CPlayer> TrackPlayer::GetPlayer() {
    std::lock_guard lock(m_backendLock);
    return m_pPlayer;
}

}  // namespace kavelin
