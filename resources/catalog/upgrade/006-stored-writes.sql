-- The ids of kept writes (ratings, plays, skips, scan requests) that reached
-- the catalog, each stored in the same transaction as its write: a write read
-- back from the journal of a run that ended before it could rewrite the
-- journal is then recognised and not stored a second time.
CREATE TABLE tStoredWrite (
    WriteID TEXT PRIMARY KEY
);
