-- qCounter: the next track for the mood :MoodID, best candidate first.
-- Columns: ID, Filename, the rating value (the track's own rating, or a guess on
-- the same 1 to 4 scale), then three flags (-1 = true) telling what the value
-- rests on: the track's own rating in this mood; what this mood thinks of the
-- track's artist; what it thinks of the track's genre, or of the mood's tracks
-- as a whole. No row at all while the mood knows nothing yet: the player then
-- draws an unrated track uniformly.
--
-- Every candidate is scored by the pleasure it is expected to give:
--   value x rest + curiosity.
-- Value is on a pleasure scale (Awesome 1, Good 0.8, Normal 0.4, Bad 0.1,
-- Excluded 0). A rated track is worth its rating, lowered by skips since that
-- rating. An unrated track is worth a guess that pools, within this mood, the
-- ratings, skips and full plays of its artist, shrunk towards its genre's,
-- shrunk towards the mood's, shrunk towards Normal; its own skips refine that
-- guess. A skip counts as a weak Bad (the earlier it came, the more), a play to
-- the end as a weak better-than-Normal. An unrated track heard to its end is
-- most likely not one the listener dislikes, so its guess is lifted part of the
-- way towards Awesome.
-- A track heard a moment ago pleases less: its freshness is about
-- 1 - 0.7 exp(-gap / 60), gap being the plays of any mood since its last play.
-- Playing a favourite now also spends the freshness its next turn would have
-- had, so a replay is scored by what it adds over the whole evening,
--   rest = 1 - 0.7 exp(-gap / s) (1 + gap / s),
-- which stays low for longer than freshness does: favourites take turns, the
-- more of them there are the longer each rests, and unheard tracks of liked
-- artists get their chance in between. No track comes back within 20 plays.
-- Curiosity is a bonus for unrated tracks whose artist the mood knows little
-- about, the larger the more of the artist's tracks are still unheard here
-- (there is more to gain from learning about the artist), plus a little noise:
-- exploring never stops, and it starts from the artists and genres the mood
-- likes. Bad and excluded tracks are never suggested in their mood.
--
-- Scoring the whole catalog would cost a scan per track change, so only a few
-- hundred candidates are scored: the longest rested tracks of each rating
-- level, the longest rested heard-but-unrated tracks, the unheard tracks of the
-- best-liked artists that still have some, tracks of the best-liked genres from
-- a drawn place on, and tracks drawn from anywhere. The per-mood sums of
-- tArtistMood and tGenreMood are kept up to date by triggers. Artists are told
-- apart by ArtistKey, so spellings that differ only in letter case are one.
-- The numbers were chosen on the listener simulation (bench/listener_sim).
WITH
k AS MATERIALIZED (
    SELECT 0.4  AS prior,         -- Normal: what an unknown track is taken to be
           0.8  AS skipEvidence,  -- a whole skip counts as this much of a rating...
           0.1  AS skipValue,     -- ...of this pleasure
           0.3  AS keptEvidence,  -- a play to the end counts as this much...
           0.55 AS keptValue,     -- ...of this pleasure
           6.0  AS moodShrink, 4.0 AS genreShrink, 1.5 AS artistShrink, 1.0 AS trackShrink,
           0.5  AS skipSink,      -- how much skips since a rating lower the rating
           0.35 AS keptLift,      -- share of the way to Awesome for an unrated track heard to its end
           80.0 AS restScale,     -- plays (s above)
           20   AS minGap,
           0.04 AS curiosity,     -- for an unknown artist with ten unheard tracks
           0.03 AS noise),
clock AS MATERIALIZED (SELECT Counter AS c FROM tCounter LIMIT 1),
mood AS MATERIALIZED (
    SELECT (sum(g.Worth) + k.skipEvidence * k.skipValue * sum(g.Skips)
            + k.keptEvidence * k.keptValue * sum(g.Kept) + k.moodShrink * k.prior)
           / (sum(g.Rated) + k.skipEvidence * sum(g.Skips) + k.keptEvidence * sum(g.Kept)
              + k.moodShrink) AS value,
           sum(g.Rated) + sum(g.Skips) + sum(g.Kept) AS evidence
    FROM tGenreMood g CROSS JOIN k WHERE g.MoodID = :MoodID),
genre AS MATERIALIZED (
    SELECT g.GenreID,
           (g.Worth + k.skipEvidence * k.skipValue * g.Skips + k.keptEvidence * k.keptValue * g.Kept
            + k.genreShrink * mood.value)
           / (g.Rated + k.skipEvidence * g.Skips + k.keptEvidence * g.Kept + k.genreShrink) AS value
    FROM tGenreMood g CROSS JOIN k CROSS JOIN mood WHERE g.MoodID = :MoodID),
-- The best-liked artists that may still have unheard tracks here. The order is
-- read from the index ixArtistMoodLiking, whose expression this must repeat.
likedArtist AS MATERIALIZED (
    SELECT ArtistKey FROM (
        SELECT a.ArtistKey, a.Rows FROM tArtistMood a
        WHERE a.MoodID = :MoodID
        ORDER BY (a.Worth + 0.08 * a.Skips + 0.165 * a.Kept + 0.6)
                 / (a.Rated + 0.8 * a.Skips + 0.3 * a.Kept + 1.5) DESC
        LIMIT 40) l
    WHERE (SELECT count(*) FROM tTrack t WHERE t.ArtistKey = l.ArtistKey) > l.Rows
    LIMIT 12),
likedGenre AS MATERIALIZED (
    SELECT GenreID, row_number() OVER (ORDER BY value DESC) AS place
    FROM genre ORDER BY value DESC LIMIT 3),
highestId AS MATERIALIZED (SELECT max(ID) AS id FROM tTrack),
draws(n, id) AS (
    SELECT 1, 1 + abs(random()) % highestId.id FROM highestId WHERE highestId.id > 0
    UNION ALL
    SELECT n + 1, 1 + abs(random()) % highestId.id FROM draws, highestId WHERE n < 24),
candidate AS (
    SELECT TrackID AS ID FROM (SELECT TrackID FROM tTrackMood
                               WHERE MoodID = :MoodID AND Rating = 4 ORDER BY LastCounter LIMIT 32)
    UNION SELECT TrackID FROM (SELECT TrackID FROM tTrackMood
                               WHERE MoodID = :MoodID AND Rating = 3 ORDER BY LastCounter LIMIT 32)
    UNION SELECT TrackID FROM (SELECT TrackID FROM tTrackMood
                               WHERE MoodID = :MoodID AND Rating = 2 ORDER BY LastCounter LIMIT 8)
    UNION SELECT TrackID FROM (SELECT TrackID FROM tTrackMood
                               WHERE MoodID = :MoodID AND Rating IS NULL
                                 AND LastCounter IS NOT NULL AND Played > Skipped
                               ORDER BY LastCounter LIMIT 16)
    UNION SELECT t.ID FROM likedArtist l INNER JOIN tTrack t ON t.ArtistKey = l.ArtistKey
    UNION SELECT ID FROM (
        SELECT t.ID FROM tTrack t
        WHERE t.GenreID = (SELECT GenreID FROM likedGenre WHERE place = 1)
          AND t.ID >= (SELECT id FROM draws WHERE n = 1)
          AND NOT EXISTS (SELECT 1 FROM tTrackMood x WHERE x.MoodID = :MoodID AND x.TrackID = t.ID)
        ORDER BY t.ID LIMIT 8)
    UNION SELECT ID FROM (
        SELECT t.ID FROM tTrack t
        WHERE t.GenreID = (SELECT GenreID FROM likedGenre WHERE place = 2)
          AND t.ID >= (SELECT id FROM draws WHERE n = 2)
          AND NOT EXISTS (SELECT 1 FROM tTrackMood x WHERE x.MoodID = :MoodID AND x.TrackID = t.ID)
        ORDER BY t.ID LIMIT 6)
    UNION SELECT ID FROM (
        SELECT t.ID FROM tTrack t
        WHERE t.GenreID = (SELECT GenreID FROM likedGenre WHERE place = 3)
          AND t.ID >= (SELECT id FROM draws WHERE n = 3)
          AND NOT EXISTS (SELECT 1 FROM tTrackMood x WHERE x.MoodID = :MoodID AND x.TrackID = t.ID)
        ORDER BY t.ID LIMIT 4)
    UNION SELECT id FROM draws WHERE n > 3),
known AS (
    SELECT t.ID, t.Filename, own.Rating,
           coalesce(own.SkipWeight, 0) AS skipWeight,
           coalesce(own.Rating IS NULL AND own.Played > own.Skipped, 0) AS kept,
           (SELECT max(p.LastCounter) FROM tTrackMood p WHERE p.TrackID = t.ID) AS lastPlay,
           coalesce(a.Worth + k.skipEvidence * k.skipValue * a.Skips
                    + k.keptEvidence * k.keptValue * a.Kept, 0) AS artistWorth,
           coalesce(a.Rated + k.skipEvidence * a.Skips + k.keptEvidence * a.Kept, 0)
               AS artistEvidence,
           coalesce(g.value, mood.value) AS genreValue,
           (SELECT count(*) FROM tTrack x WHERE x.ArtistKey = t.ArtistKey) - coalesce(a.Rows, 0)
               AS unheardSiblings
    FROM candidate c
    INNER JOIN tTrack t ON t.ID = c.ID
    LEFT JOIN tTrackMood own ON own.MoodID = :MoodID AND own.TrackID = t.ID
    LEFT JOIN tArtistMood a ON a.MoodID = :MoodID AND a.ArtistKey = t.ArtistKey
    LEFT JOIN genre g ON g.GenreID = t.GenreID
    CROSS JOIN mood CROSS JOIN k
    WHERE t.Deleted = 0 AND coalesce(own.Rating, 0) NOT IN (1, -1)),
guessed AS (
    SELECT known.*,
           CASE WHEN Rating IS NOT NULL
                THEN CASE Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 ELSE 0.4 END
                     / (1 + k.skipSink * skipWeight)
                ELSE (k.skipEvidence * k.skipValue * skipWeight
                      + k.trackShrink * (artistWorth + k.artistShrink * genreValue)
                                      / (artistEvidence + k.artistShrink))
                     / (k.skipEvidence * skipWeight + k.trackShrink)
           END AS guess,
           CASE WHEN lastPlay IS NULL THEN 1.0
                ELSE 1 - 0.7 * exp(-(clock.c + 1 - lastPlay) / k.restScale)
                             * (1 + (clock.c + 1 - lastPlay) / k.restScale)
           END AS rest
    FROM known CROSS JOIN k CROSS JOIN clock
    WHERE lastPlay IS NULL OR lastPlay <= clock.c - k.minGap),
valued AS (
    SELECT guessed.*,
           CASE WHEN kept THEN guess + k.keptLift * (1 - guess) ELSE guess END AS value
    FROM guessed CROSS JOIN k)
SELECT v.ID, v.Filename,
       CASE WHEN v.Rating IS NOT NULL THEN v.Rating
            WHEN v.value >= 0.8 THEN 3 + (min(v.value, 1.0) - 0.8) / 0.2
            WHEN v.value >= 0.4 THEN 2 + (v.value - 0.4) / 0.4
            ELSE max(1, 1 + (v.value - 0.1) / 0.3)
       END AS RatingValue,
       CASE WHEN v.Rating IS NOT NULL THEN -1 ELSE 0 END AS FromMoodRating,
       CASE WHEN v.Rating IS NULL AND v.artistEvidence > 0 THEN -1 ELSE 0 END AS FromArtist,
       CASE WHEN v.Rating IS NULL AND v.artistEvidence = 0 THEN -1 ELSE 0 END AS FromGenre
FROM valued v CROSS JOIN k CROSS JOIN mood
WHERE mood.evidence > 0
ORDER BY v.value * v.rest
         + CASE WHEN v.Rating IS NULL
                THEN k.curiosity * min(v.unheardSiblings, 20) / 10.0 / (1 + v.artistEvidence)
                ELSE 0 END
         + k.noise * (abs(random()) % 1000) / 1000.0 DESC
