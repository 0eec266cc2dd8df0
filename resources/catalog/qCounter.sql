-- qCounter: the next track for the mood :MoodID, best candidate first.
-- Columns: ID, Filename, rating value, then three flags (-1 = true) telling on
-- which ground the value stands: the track's own rating in this mood, ...
-- This first policy plays the best-rated track of the mood (Normal or better)
-- that was not among the last 20 plays of any mood, least recently played
-- first; it yields nothing when no such track exists.
SELECT tm.TrackID AS ID, t.Filename, tm.Rating AS RatingValue,
       True AS FromMoodRating, False AS FromArtist, False AS FromOther
FROM tTrackMood tm INNER JOIN tTrack t ON t.ID = tm.TrackID
WHERE tm.MoodID = :MoodID AND tm.Rating >= 2 AND t.Deleted = 0
  AND NOT EXISTS (SELECT * FROM tTrackMood p
                  WHERE p.TrackID = tm.TrackID
                    AND p.LastCounter > (SELECT TOP 1 Counter FROM tCounter) - 20)
ORDER BY tm.Rating DESC, tm.LastCounter
