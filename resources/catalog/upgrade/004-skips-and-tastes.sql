-- What the selection learns from besides ratings: skips per track and mood,
-- and per-mood sums over artists and genres, so that qCounter reads a few
-- summary rows instead of grouping every rating of the mood at each track change.

-- Skips of the track in the mood. SkipWeight adds up how early each skip came
-- (1 at the start of the track, less towards its end) and is cleared by a
-- rating: the user's verdict outranks what the skips suggested before it.
ALTER TABLE tTrackMood ADD COLUMN Skipped INTEGER NOT NULL DEFAULT 0;
ALTER TABLE tTrackMood ADD COLUMN SkipWeight REAL NOT NULL DEFAULT 0;
ALTER TABLE tTrackMood ADD COLUMN LastSkipPosition INTEGER;  -- milliseconds into the track

-- Per mood and artist (and per mood and genre): the mood's rows of the
-- artist's tracks (Rows), how many are rated and the sum of their ratings as
-- pleasure (Awesome 1, Good 0.8, Normal 0.4, Bad 0.1, Excluded 0), the skip
-- weight of the unrated ones and how many unrated ones were heard to the end
-- at least once (Kept). The triggers below keep them in step with tTrackMood
-- and with renames in tTrack.
CREATE TABLE tArtistMood (
    MoodID INTEGER NOT NULL,
    Artist TEXT COLLATE NOCASE NOT NULL,
    Rows   INTEGER NOT NULL DEFAULT 0,
    Rated  INTEGER NOT NULL DEFAULT 0,
    Worth  REAL NOT NULL DEFAULT 0,
    Skips  REAL NOT NULL DEFAULT 0,
    Kept   INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY (MoodID, Artist)
);
CREATE TABLE tGenreMood (
    MoodID  INTEGER NOT NULL,
    GenreID INTEGER NOT NULL,
    Rows    INTEGER NOT NULL DEFAULT 0,
    Rated   INTEGER NOT NULL DEFAULT 0,
    Worth   REAL NOT NULL DEFAULT 0,
    Skips   REAL NOT NULL DEFAULT 0,
    Kept    INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY (MoodID, GenreID)
);

-- The selection reads a mood's artists best liked first, without reading them all: what the
-- artist's ratings, skips and full plays say, shrunk towards Normal (a skip as
-- 0.8 of a rating of 0.1, a full play as 0.3 of one of 0.55, 1.5 ratings of 0.4).
CREATE INDEX ixArtistMoodLiking ON tArtistMood
    (MoodID, (Worth + 0.08 * Skips + 0.165 * Kept + 0.6) / (Rated + 0.8 * Skips + 0.3 * Kept + 1.5));

INSERT INTO tArtistMood (MoodID, Artist, Rows, Rated, Worth, Skips, Kept)
SELECT m.MoodID, t.Artist, count(*), count(m.Rating),
       sum(CASE m.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4 WHEN 1 THEN 0.1 ELSE 0.0 END),
       0, sum(m.Rating IS NULL AND coalesce(m.Played, 0) > m.Skipped)
FROM tTrackMood m INNER JOIN tTrack t ON t.ID = m.TrackID
WHERE t.Artist IS NOT NULL AND t.Artist <> ''
GROUP BY m.MoodID, t.Artist;

INSERT INTO tGenreMood (MoodID, GenreID, Rows, Rated, Worth, Skips, Kept)
SELECT m.MoodID, t.GenreID, count(*), count(m.Rating),
       sum(CASE m.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4 WHEN 1 THEN 0.1 ELSE 0.0 END),
       0, sum(m.Rating IS NULL AND coalesce(m.Played, 0) > m.Skipped)
FROM tTrackMood m INNER JOIN tTrack t ON t.ID = m.TrackID
WHERE t.GenreID IS NOT NULL
GROUP BY m.MoodID, t.GenreID;

-- A row's share in the sums, added for NEW and taken away for OLD. Every
-- trigger spells the same four terms:
--   Rated: Rating IS NOT NULL
--   Worth: the rating as pleasure
--   Skips: SkipWeight while unrated
--   Kept:  unrated and played more often than skipped
CREATE TRIGGER trTrackMoodAdded AFTER INSERT ON tTrackMood
BEGIN
    INSERT INTO tArtistMood (MoodID, Artist, Rows, Rated, Worth, Skips, Kept)
    SELECT NEW.MoodID, t.Artist, 1, NEW.Rating IS NOT NULL,
           CASE NEW.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4 WHEN 1 THEN 0.1 ELSE 0.0 END,
           CASE WHEN NEW.Rating IS NULL THEN NEW.SkipWeight ELSE 0 END,
           NEW.Rating IS NULL AND coalesce(NEW.Played, 0) > NEW.Skipped
    FROM tTrack t WHERE t.ID = NEW.TrackID AND t.Artist IS NOT NULL AND t.Artist <> ''
    ON CONFLICT (MoodID, Artist) DO UPDATE SET
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
    INSERT INTO tArtistMood (MoodID, Artist, Rows, Rated, Worth, Skips, Kept)
    SELECT NEW.MoodID, t.Artist, 0,
           (NEW.Rating IS NOT NULL) - (OLD.Rating IS NOT NULL),
           CASE NEW.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4 WHEN 1 THEN 0.1 ELSE 0.0 END
           - CASE OLD.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4 WHEN 1 THEN 0.1 ELSE 0.0 END,
           CASE WHEN NEW.Rating IS NULL THEN NEW.SkipWeight ELSE 0 END
           - CASE WHEN OLD.Rating IS NULL THEN OLD.SkipWeight ELSE 0 END,
           (NEW.Rating IS NULL AND coalesce(NEW.Played, 0) > NEW.Skipped)
           - (OLD.Rating IS NULL AND coalesce(OLD.Played, 0) > OLD.Skipped)
    FROM tTrack t WHERE t.ID = NEW.TrackID AND t.Artist IS NOT NULL AND t.Artist <> ''
    ON CONFLICT (MoodID, Artist) DO UPDATE SET
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
    WHERE MoodID = OLD.MoodID AND Artist = (SELECT Artist FROM tTrack WHERE ID = OLD.TrackID);
    UPDATE tGenreMood SET
        Rows = Rows - 1,
        Rated = Rated - (OLD.Rating IS NOT NULL),
        Worth = Worth - CASE OLD.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4 WHEN 1 THEN 0.1 ELSE 0.0 END,
        Skips = Skips - CASE WHEN OLD.Rating IS NULL THEN OLD.SkipWeight ELSE 0 END,
        Kept = Kept - (OLD.Rating IS NULL AND coalesce(OLD.Played, 0) > OLD.Skipped)
    WHERE MoodID = OLD.MoodID AND GenreID = (SELECT GenreID FROM tTrack WHERE ID = OLD.TrackID);
END;

-- A renamed artist (the catalog window renames all tracks of a name) or a
-- changed genre takes the track's shares along.
CREATE TRIGGER trTrackArtistChanged AFTER UPDATE OF Artist ON tTrack
WHEN OLD.Artist IS NOT NEW.Artist
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
    WHERE Artist = OLD.Artist
      AND MoodID IN (SELECT MoodID FROM tTrackMood WHERE TrackID = OLD.ID);
    INSERT INTO tArtistMood (MoodID, Artist, Rows, Rated, Worth, Skips, Kept)
    SELECT m.MoodID, NEW.Artist, 1, m.Rating IS NOT NULL,
           CASE m.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4 WHEN 1 THEN 0.1 ELSE 0.0 END,
           CASE WHEN m.Rating IS NULL THEN m.SkipWeight ELSE 0 END,
           m.Rating IS NULL AND coalesce(m.Played, 0) > m.Skipped
    FROM tTrackMood m WHERE m.TrackID = NEW.ID AND NEW.Artist IS NOT NULL AND NEW.Artist <> ''
    ON CONFLICT (MoodID, Artist) DO UPDATE SET
        Rows = Rows + excluded.Rows, Rated = Rated + excluded.Rated,
        Worth = Worth + excluded.Worth, Skips = Skips + excluded.Skips, Kept = Kept + excluded.Kept;
END;

CREATE TRIGGER trTrackGenreChanged AFTER UPDATE OF GenreID ON tTrack
WHEN OLD.GenreID IS NOT NEW.GenreID
BEGIN
    UPDATE tGenreMood SET
        Rows = Rows - 1,
        Rated = Rated - (SELECT m.Rating IS NOT NULL FROM tTrackMood m
                         WHERE m.TrackID = OLD.ID AND m.MoodID = tGenreMood.MoodID),
        Worth = Worth - (SELECT CASE m.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4
                                              WHEN 1 THEN 0.1 ELSE 0.0 END
                         FROM tTrackMood m WHERE m.TrackID = OLD.ID AND m.MoodID = tGenreMood.MoodID),
        Skips = Skips - (SELECT CASE WHEN m.Rating IS NULL THEN m.SkipWeight ELSE 0 END
                         FROM tTrackMood m WHERE m.TrackID = OLD.ID AND m.MoodID = tGenreMood.MoodID),
        Kept = Kept - (SELECT m.Rating IS NULL AND coalesce(m.Played, 0) > m.Skipped
                       FROM tTrackMood m WHERE m.TrackID = OLD.ID AND m.MoodID = tGenreMood.MoodID)
    WHERE GenreID = OLD.GenreID
      AND MoodID IN (SELECT MoodID FROM tTrackMood WHERE TrackID = OLD.ID);
    INSERT INTO tGenreMood (MoodID, GenreID, Rows, Rated, Worth, Skips, Kept)
    SELECT m.MoodID, NEW.GenreID, 1, m.Rating IS NOT NULL,
           CASE m.Rating WHEN 4 THEN 1.0 WHEN 3 THEN 0.8 WHEN 2 THEN 0.4 WHEN 1 THEN 0.1 ELSE 0.0 END,
           CASE WHEN m.Rating IS NULL THEN m.SkipWeight ELSE 0 END,
           m.Rating IS NULL AND coalesce(m.Played, 0) > m.Skipped
    FROM tTrackMood m WHERE m.TrackID = NEW.ID AND NEW.GenreID IS NOT NULL
    ON CONFLICT (MoodID, GenreID) DO UPDATE SET
        Rows = Rows + excluded.Rows, Rated = Rated + excluded.Rated,
        Worth = Worth + excluded.Worth, Skips = Skips + excluded.Skips, Kept = Kept + excluded.Kept;
END;
