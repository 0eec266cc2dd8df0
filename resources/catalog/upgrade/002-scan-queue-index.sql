-- Catalogs made before the scanner read its passes from an index lack it; without
-- it every pass sorts the whole scan queue.
CREATE INDEX IF NOT EXISTS ixInfoReadPass ON tInfoRead (Dir DESC, Filename);
