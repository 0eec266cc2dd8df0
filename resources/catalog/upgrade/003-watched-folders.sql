-- The folders the user added: MP3 files that appear under them later are
-- queued for the scanner without the folder being added again.
CREATE TABLE tWatchedFolder (
    ID   INTEGER PRIMARY KEY AUTOINCREMENT,
    Path TEXT NOT NULL UNIQUE
);
