-- The rows a fresh catalog needs: the moods, one play counter, the settings.

INSERT INTO tMood (Name) VALUES
    ('Neutral'), ('Happy'), ('Relaxed'), ('Energetic'),
    ('Romantic'), ('Melancholic'), ('Party'), ('Focus');

INSERT INTO tCounter (Counter) VALUES (0);

INSERT INTO tSettings (Name, ValueInt) VALUES
    ('Player', 1), ('Voice', 1), ('Download', 0), ('CloseCount', 0), ('FirstUse', 1);
