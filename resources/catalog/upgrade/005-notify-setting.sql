-- The option for desktop notifications of new tracks; on unless the user turns it off.
INSERT INTO tSettings (Name, ValueInt)
SELECT 'Notify', 1 WHERE NOT EXISTS (SELECT 1 FROM tSettings WHERE Name = 'Notify');
