-- The catalog of a fresh installation. Column types name the catalog's kinds:
-- INTEGER is a 32-bit long, SMALLINT a 16-bit integer, YESNO a yes/no value
-- stored as -1 or 0, DATETIME a local time 'YYYY-MM-DD HH:MM:SS'.
-- Names and titles compare without regard to letter case; file names and
-- fingerprints compare exactly.

PRAGMA application_id = 1263946830;  -- 'KVLN': marks the file as a Kavelin catalog
PRAGMA user_version = 1;

CREATE TABLE tTrack (
    ID           INTEGER PRIMARY KEY AUTOINCREMENT,
    Filename     TEXT,
    Artist       TEXT COLLATE NOCASE,
    Trackname    TEXT COLLATE NOCASE,
    Album        TEXT COLLATE NOCASE,
    Year         TEXT,
    GenreID      INTEGER,
    FingerPrint  TEXT,
    BitRate      INTEGER,
    SearchString TEXT,
    Deleted      YESNO NOT NULL DEFAULT 0
);
CREATE INDEX ixTrackFilename ON tTrack (Filename);
CREATE INDEX ixTrackFingerPrint ON tTrack (FingerPrint);
CREATE INDEX ixTrackArtist ON tTrack (Artist);
CREATE INDEX ixTrackSearchString ON tTrack (SearchString);
-- A narrow copy of the key: joins that only test whether a track exists read
-- this small index instead of the wide track rows.
CREATE INDEX ixTrackID ON tTrack (ID);

CREATE TABLE tTrackMood (
    ID          INTEGER PRIMARY KEY AUTOINCREMENT,
    MoodID      INTEGER NOT NULL,
    TrackID     INTEGER NOT NULL,
    Rating      SMALLINT,
    RatingType  SMALLINT,
    Played      SMALLINT DEFAULT 0,  -- a track rated before its first play counts plays from 1
    LastPlayed  DATETIME,
    LastCounter INTEGER
);
CREATE UNIQUE INDEX ixTrackMoodPair ON tTrackMood (MoodID, TrackID);
CREATE INDEX ixTrackMoodTrack ON tTrackMood (TrackID);
-- The rated tracks of a mood, counted at every track change.
CREATE INDEX ixTrackMoodRated ON tTrackMood (MoodID, TrackID, Rating) WHERE Rating IS NOT NULL;

CREATE TABLE tMood (
    ID   INTEGER PRIMARY KEY AUTOINCREMENT,
    Name TEXT COLLATE NOCASE
);
CREATE INDEX ixMoodName ON tMood (Name);

CREATE TABLE tGenre (
    ID   INTEGER PRIMARY KEY,
    Name TEXT
);

CREATE TABLE tSettings (
    Name     TEXT PRIMARY KEY COLLATE NOCASE,
    ValueInt INTEGER
);

CREATE TABLE tCounter (
    Counter INTEGER
);

-- The scan queue. The scanner adds rows by position: the path first, then the
-- directory flag.
CREATE TABLE tInfoRead (
    Filename TEXT,
    Dir      YESNO DEFAULT 0
);
CREATE INDEX ixInfoReadFilename ON tInfoRead (Filename);
-- The order of the scanner's pass query: read from this index, a pass stops at
-- its first directory instead of sorting the whole queue.
CREATE INDEX ixInfoReadPass ON tInfoRead (Dir DESC, Filename);

CREATE TABLE tDuplicate (
    ID          INTEGER PRIMARY KEY AUTOINCREMENT,
    Filename    TEXT,
    Artist      TEXT COLLATE NOCASE,
    Trackname   TEXT COLLATE NOCASE,
    Album       TEXT COLLATE NOCASE,
    Year        TEXT,
    GenreID     INTEGER,
    FingerPrint TEXT,
    BitRate     INTEGER
);
CREATE INDEX ixDuplicateFilename ON tDuplicate (Filename);

CREATE TABLE tRecommender (
    ID             INTEGER PRIMARY KEY AUTOINCREMENT,
    Name           TEXT COLLATE NOCASE,
    LastDownloaded DATETIME
);
CREATE INDEX ixRecommenderName ON tRecommender (Name);
CREATE INDEX ixRecommenderOrder ON tRecommender (LastDownloaded, ID);

-- Stored queries: a name and its SQL in the catalog's dialect, with named
-- parameters such as :MoodID. "FROM qCounter" runs the stored text.
CREATE TABLE tStoredQuery (
    Name TEXT PRIMARY KEY COLLATE NOCASE,
    SQL  TEXT NOT NULL
);

-- Indexes for qCounter: a mood's tracks by rating in the order they were last
-- played, a track's latest play in any mood, tracks by rating elsewhere, tracks by genre.
CREATE INDEX ixTrackMoodRating ON tTrackMood (MoodID, Rating, LastCounter);
CREATE INDEX ixTrackMoodLastPlay ON tTrackMood (TrackID, LastCounter);
CREATE INDEX ixTrackMoodAnyRating ON tTrackMood (Rating, LastCounter);
CREATE INDEX ixTrackGenre ON tTrack (GenreID);
