-- Artists compare and group by ArtistKey, their name with Unicode case
-- folding, so that "Björk" and "BJÖRK" are one artist in every script; the
-- name keeps its spelling. ArtistOrder orders names in the user's language for
-- the catalog window; the program makes it at start, in the language it finds,
-- and notes that language in tNameOrder. The program keeps both keys beside
-- every artist it writes; a tool that changes an artist outside the program
-- sets both keys to null, and the program makes them at its next start.
ALTER TABLE tTrack ADD COLUMN ArtistKey TEXT;
ALTER TABLE tTrack ADD COLUMN ArtistOrder BLOB;
CREATE TABLE tNameOrder (Collation TEXT);

DROP TRIGGER trTrackMoodAdded;
DROP TRIGGER trTrackMoodChanged;
DROP TRIGGER trTrackMoodRemoved;
DROP TRIGGER trTrackArtistChanged;

UPDATE tTrack SET ArtistKey = FoldCase(Artist) WHERE Artist IS NOT NULL;
CREATE INDEX ixTrackArtistKey ON tTrack (ArtistKey);
CREATE INDEX ixTrackArtistOrder ON tTrack (ArtistOrder);

-- The per-mood sums of artists, summed again by key: spellings that differ
-- only in case become one artist.
ALTER TABLE tArtistMood RENAME COLUMN Artist TO ArtistKey;
DELETE FROM tArtistMood;
INSERT INTO tArtistMood (MoodID, ArtistKey, Rows, Rated, Worth, Skips, Kept)
SELECT m.MoodID, t.ArtistKey, count(*), count(m.Rating),
       sum(CASE m.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4 WHEN 1 THEN 0.1 ELSE 0.0 END),
       sum(CASE WHEN m.Rating IS NULL THEN m.SkipWeight ELSE 0 END),
       sum(m.Rating IS NULL AND coalesce(m.Played, 0) > m.Skipped)
FROM tTrackMood m INNER JOIN tTrack t ON t.ID = m.TrackID
WHERE t.ArtistKey IS NOT NULL AND t.ArtistKey <> ''
GROUP BY m.MoodID, t.ArtistKey;

-- The triggers that keep the sums, by key.
CREATE TRIGGER trTrackMoodAdded AFTER INSERT ON tTrackMood
BEGIN
    INSERT INTO tArtistMood (MoodID, ArtistKey, Rows, Rated, Worth, Skips, Kept)
    SELECT NEW.MoodID, t.ArtistKey, 1, NEW.Rating IS NOT NULL,
           CASE NEW.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4 WHEN 1 THEN 0.1 ELSE 0.0 END,
           CASE WHEN NEW.Rating IS NULL THEN NEW.SkipWeight ELSE 0 END,
           NEW.Rating IS NULL AND coalesce(NEW.Played, 0) > NEW.Skipped
    FROM tTrack t WHERE t.ID = NEW.TrackID AND t.ArtistKey IS NOT NULL AND t.ArtistKey <> ''
    ON CONFLICT (MoodID, ArtistKey) DO UPDATE SET
        Rows = Rows + excluded.Rows, Rated = Rated + excluded.Rated,
        Worth = Worth + excluded.Worth, Skips = Skips + excluded.Skips, Kept = Kept + excluded.Kept;
    INSERT INTO tGenreMood (MoodID, GenreID, Rows, Rated, Worth, Skips, Kept)
    SELECT NEW.MoodID, t.GenreID, 1, NEW.Rating IS NOT NULL,
           CASE NEW.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4 WHEN 1 THEN 0.1 ELSE 0.0 END,
           CASE WHEN NEW.Rating IS NULL THEN NEW.SkipWeight ELSE 0 END,
           NEW.Rating IS NULL AND coalesce(NEW.Played, 0) > NEW.Skipped
    FROM tTrack t WHERE t.ID = NEW.TrackID AND t.GenreID IS NOT NULL
    ON CONFLICT (MoodID, GenreID) DO UPDATE SET
        Rows = Rows + excluded.Rows, Rated = Rated + excluded.Rated,
        Worth = Worth + excluded.Worth, Skips = Skips + excluded.Skips, Kept = Kept + excluded.Kept;
END;

CREATE TRIGGER trTrackMoodChanged AFTER UPDATE OF Rating, Played, Skipped, SkipWeight ON tTrackMood
BEGIN
    INSERT INTO tArtistMood (MoodID, ArtistKey, Rows, Rated, Worth, Skips, Kept)
    SELECT NEW.MoodID, t.ArtistKey, 0,
           (NEW.Rating IS NOT NULL) - (OLD.Rating IS NOT NULL),
           CASE NEW.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4 WHEN 1 THEN 0.1 ELSE 0.0 END
           - CASE OLD.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4 WHEN 1 THEN 0.1 ELSE 0.0 END,
           CASE WHEN NEW.Rating IS NULL THEN NEW.SkipWeight ELSE 0 END
           - CASE WHEN OLD.Rating IS NULL THEN OLD.SkipWeight ELSE 0 END,
           (NEW.Rating IS NULL AND coalesce(NEW.Played, 0) > NEW.Skipped)
           - (OLD.Rating IS NULL AND coalesce(OLD.Played, 0) > OLD.Skipped)
    FROM tTrack t WHERE t.ID = NEW.TrackID AND t.ArtistKey IS NOT NULL AND t.ArtistKey <> ''
    ON CONFLICT (MoodID, ArtistKey) DO UPDATE SET
        Rated = Rated + excluded.Rated, Worth = Worth + excluded.Worth,
        Skips = Skips + excluded.Skips, Kept = Kept + excluded.Kept;
    INSERT INTO tGenreMood (MoodID, GenreID, Rows, Rated, Worth, Skips, Kept)
    SELECT NEW.MoodID, t.GenreID, 0,
           (NEW.Rating IS NOT NULL) - (OLD.Rating IS NOT NULL),
           CASE NEW.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4 WHEN 1 THEN 0.1 ELSE 0.0 END
           - CASE OLD.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4 WHEN 1 THEN 0.1 ELSE 0.0 END,
           CASE WHEN NEW.Rating IS NULL THEN NEW.SkipWeight ELSE 0 END
           - CASE WHEN OLD.Rating IS NULL THEN OLD.SkipWeight ELSE 0 END,
           (NEW.Rating IS NULL AND coalesce(NEW.Played, 0) > NEW.Skipped)
           - (OLD.Rating IS NULL AND coalesce(OLD.Played, 0) > OLD.Skipped)
    FROM tTrack t WHERE t.ID = NEW.TrackID AND t.GenreID IS NOT NULL
    ON CONFLICT (MoodID, GenreID) DO UPDATE SET
        Rated = Rated + excluded.Rated, Worth = Worth + excluded.Worth,
        Skips = Skips + excluded.Skips, Kept = Kept + excluded.Kept;
END;

CREATE TRIGGER trTrackMoodRemoved AFTER DELETE ON tTrackMood
BEGIN
    UPDATE tArtistMood SET
        Rows = Rows - 1,
        Rated = Rated - (OLD.Rating IS NOT NULL),
        Worth = Worth - CASE OLD.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4 WHEN 1 THEN 0.1 ELSE 0.0 END,
        Skips = Skips - CASE WHEN OLD.Rating IS NULL THEN OLD.SkipWeight ELSE 0 END,
        Kept = Kept - (OLD.Rating IS NULL AND coalesce(OLD.Played, 0) > OLD.Skipped)
    WHERE MoodID = OLD.MoodID AND ArtistKey = (SELECT ArtistKey FROM tTrack WHERE ID = OLD.TrackID);
    UPDATE tGenreMood SET
        Rows = Rows - 1,
        Rated = Rated - (OLD.Rating IS NOT NULL),
        Worth = Worth - CASE OLD.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4 WHEN 1 THEN 0.1 ELSE 0.0 END,
        Skips = Skips - CASE WHEN OLD.Rating IS NULL THEN OLD.SkipWeight ELSE 0 END,
        Kept = Kept - (OLD.Rating IS NULL AND coalesce(OLD.Played, 0) > OLD.Skipped)
    WHERE MoodID = OLD.MoodID AND GenreID = (SELECT GenreID FROM tTrack WHERE ID = OLD.TrackID);
END;

-- A track whose artist key changed (renamed to another artist, or its key
-- filled in) takes its shares along.
CREATE TRIGGER trTrackArtistChanged AFTER UPDATE OF ArtistKey ON tTrack
WHEN OLD.ArtistKey IS NOT NEW.ArtistKey
BEGIN
    UPDATE tArtistMood SET
        Rows = Rows - 1,
        Rated = Rated - (SELECT m.Rating IS NOT NULL FROM tTrackMood m
                         WHERE m.TrackID = OLD.ID AND m.MoodID = tArtistMood.MoodID),
        Worth = Worth - (SELECT CASE m.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4
                                              WHEN 1 THEN 0.1 ELSE 0.0 END
                         FROM tTrackMood m WHERE m.TrackID = OLD.ID AND m.MoodID = tArtistMood.MoodID),
        Skips = Skips - (SELECT CASE WHEN m.Rating IS NULL THEN m.SkipWeight ELSE 0 END
                         FROM tTrackMood m WHERE m.TrackID = OLD.ID AND m.MoodID = tArtistMood.MoodID),
        Kept = Kept - (SELECT m.Rating IS NULL AND coalesce(m.Played, 0) > m.Skipped
                       FROM tTrackMood m WHERE m.TrackID = OLD.ID AND m.MoodID = tArtistMood.MoodID)
    WHERE ArtistKey = OLD.ArtistKey
      AND MoodID IN (SELECT MoodID FROM tTrackMood WHERE TrackID = OLD.ID);
    INSERT INTO tArtistMood (MoodID, ArtistKey, Rows, Rated, Worth, Skips, Kept)
    SELECT m.MoodID, NEW.ArtistKey, 1, m.Rating IS NOT NULL,
           CASE m.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4 WHEN 1 THEN 0.1 ELSE 0.0 END,
           CASE WHEN m.Rating IS NULL THEN m.SkipWeight ELSE 0 END,
           m.Rating IS NULL AND coalesce(m.Played, 0) > m.Skipped
    FROM tTrackMood m WHERE m.TrackID = NEW.ID AND NEW.ArtistKey IS NOT NULL AND NEW.ArtistKey <> ''
    ON CONFLICT (MoodID, ArtistKey) DO UPDATE SET
        Rows = Rows + excluded.Rows, Rated = Rated + excluded.Rated,
        Worth = Worth + excluded.Worth, Skips = Skips + excluded.Skips, Kept = Kept + excluded.Kept;
END;

