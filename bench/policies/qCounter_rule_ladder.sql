-- The rule ladder the program shipped before its selection weighed skips and
-- freshness; the listener simulation plays it as the policy "previous", so that
-- every later selection is compared with it. Not part of the catalog.
--
-- qCounter: the next track for the mood :MoodID, best candidate first.
-- Columns: ID, Filename, the rating value (the track's own or a guess), then
-- three flags (-1 = true) telling what the value rests on: the track's own
-- rating in this mood; the ratings of the artist's tracks in this mood; the
-- track's own ratings in other moods, or its genre's ratings in this mood.
--
-- The candidates come in layers, and the first layer with an eligible track
-- answers (the later layers are not even computed):
--   1. Awesome in this mood, not played in the last 22 plays of any mood;
--   2. Good, not played in the last 30;
--   3. a guess from the artist: not rated here, by an artist whose ratings in
--      this mood average at least 2.6 once shrunk towards Normal (a single
--      Good rating is enough), not played in the last 50;
--   4. a guess from the genre: never played, of one of the three genres rated
--      best here, if that genre's shrunk average is at least 2.75;
--   5. a guess from other moods: not rated here, Awesome in another mood, not
--      played in the last 50;
--   6. Normal in this mood, not played in the last 1000.
-- Within a layer the track played longest ago comes first. Bad and excluded
-- tracks are never suggested. Now and then the query yields nothing, so that
-- the player draws a random unrated track and new music gets heard: 20 % of
-- the time while the mood has no favourites, 200 / (1 + favourites / 2) per
-- thousand as they grow (about 3 % with 12 Good or Awesome tracks).
-- The layers and their numbers were chosen on the listener simulation
-- (bench/listener_sim).
WITH
clock AS MATERIALIZED (SELECT Counter AS c FROM tCounter LIMIT 1),
gate AS MATERIALIZED (
    SELECT clock.c FROM clock
    WHERE abs(random()) % 1000 >=
          200.0 / (1.0 + (SELECT count(*) FROM tTrackMood f
                          WHERE f.MoodID = :MoodID AND f.Rating >= 3) / 2.0)),
artistGuess AS MATERIALIZED (
    SELECT t.Artist, (sum(max(m.Rating, 0)) + 2.5) / (count(*) + 1.0) AS value
    FROM tTrackMood m INNER JOIN tTrack t ON t.ID = m.TrackID
    WHERE m.MoodID = :MoodID AND m.Rating IS NOT NULL AND t.Artist IS NOT NULL
    GROUP BY t.Artist),
genreGuess AS MATERIALIZED (
    SELECT t.GenreID, (sum(max(m.Rating, 0)) + 2.5 * 2) / (count(*) + 2.0) AS value
    FROM tTrackMood m INNER JOIN tTrack t ON t.ID = m.TrackID
    WHERE m.MoodID = :MoodID AND m.Rating IS NOT NULL
    GROUP BY t.GenreID
    ORDER BY value DESC LIMIT 3)
SELECT * FROM (
    SELECT tm.TrackID AS ID, t.Filename, 4.0 AS RatingValue,
           -1 AS FromMoodRating, 0 AS FromArtist, 0 AS FromOther
    FROM tTrackMood tm INNER JOIN tTrack t ON t.ID = tm.TrackID
    WHERE EXISTS (SELECT 1 FROM gate) AND tm.MoodID = :MoodID AND tm.Rating = 4
      AND t.Deleted = 0
      AND NOT EXISTS (SELECT 1 FROM tTrackMood p
                      WHERE p.TrackID = tm.TrackID AND p.LastCounter > (SELECT c FROM gate) - 22)
    ORDER BY tm.LastCounter LIMIT 1)
UNION ALL SELECT * FROM (
    SELECT tm.TrackID, t.Filename, 3.0, -1, 0, 0
    FROM tTrackMood tm INNER JOIN tTrack t ON t.ID = tm.TrackID
    WHERE EXISTS (SELECT 1 FROM gate) AND tm.MoodID = :MoodID AND tm.Rating = 3
      AND t.Deleted = 0
      AND NOT EXISTS (SELECT 1 FROM tTrackMood p
                      WHERE p.TrackID = tm.TrackID AND p.LastCounter > (SELECT c FROM gate) - 30)
    ORDER BY tm.LastCounter LIMIT 1)
UNION ALL SELECT * FROM (
    SELECT t.ID, t.Filename, a.value, 0, -1, 0
    FROM artistGuess a CROSS JOIN tTrack t ON t.Artist = a.Artist
    WHERE EXISTS (SELECT 1 FROM gate) AND a.value >= 2.6 AND t.Deleted = 0
      AND NOT EXISTS (SELECT 1 FROM tTrackMood m
                      WHERE m.MoodID = :MoodID AND m.TrackID = t.ID AND m.Rating IS NOT NULL)
      AND NOT EXISTS (SELECT 1 FROM tTrackMood p
                      WHERE p.TrackID = t.ID AND p.LastCounter > (SELECT c FROM gate) - 50)
    ORDER BY a.value DESC,
             (SELECT max(p.LastCounter) FROM tTrackMood p WHERE p.TrackID = t.ID)
    LIMIT 1)
UNION ALL SELECT * FROM (
    SELECT t.ID, t.Filename, g.value, 0, 0, -1
    FROM genreGuess g CROSS JOIN tTrack t ON t.GenreID = g.GenreID
    WHERE EXISTS (SELECT 1 FROM gate) AND g.value >= 2.75 AND t.Deleted = 0
      AND NOT EXISTS (SELECT 1 FROM tTrackMood p
                      WHERE p.TrackID = t.ID AND (p.LastCounter IS NOT NULL
                                                  OR p.MoodID = :MoodID))
    ORDER BY g.value DESC LIMIT 1)
UNION ALL SELECT * FROM (
    SELECT o.TrackID, t.Filename, 3.25, 0, 0, -1
    FROM tTrackMood o INNER JOIN tTrack t ON t.ID = o.TrackID
    WHERE EXISTS (SELECT 1 FROM gate) AND o.Rating = 4 AND o.MoodID <> :MoodID
      AND t.Deleted = 0
      AND NOT EXISTS (SELECT 1 FROM tTrackMood m
                      WHERE m.MoodID = :MoodID AND m.TrackID = o.TrackID
                        AND m.Rating IS NOT NULL)
      AND NOT EXISTS (SELECT 1 FROM tTrackMood p
                      WHERE p.TrackID = o.TrackID AND p.LastCounter > (SELECT c FROM gate) - 50)
    ORDER BY o.LastCounter LIMIT 1)
UNION ALL SELECT * FROM (
    SELECT tm.TrackID, t.Filename, 2.0, -1, 0, 0
    FROM tTrackMood tm INNER JOIN tTrack t ON t.ID = tm.TrackID
    WHERE EXISTS (SELECT 1 FROM gate) AND tm.MoodID = :MoodID AND tm.Rating = 2
      AND t.Deleted = 0
      AND NOT EXISTS (SELECT 1 FROM tTrackMood p
                      WHERE p.TrackID = tm.TrackID AND p.LastCounter > (SELECT c FROM gate) - 1000)
    ORDER BY tm.LastCounter LIMIT 1)
