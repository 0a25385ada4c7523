-- A format-4 index as release 4's strataloom-cli wrote it (save-version, pin, and the watcher):
-- /nonexistent-strataloom-fixture/notes.txt with two explicit versions, the second pinned, and
-- /nonexistent-strataloom-fixture/other.txt with an explicit version and an automatic one. The
-- documents' paths were moved under /nonexistent-strataloom-fixture (their logs keep where they
-- were written). The stored files and logs are beside this file. Future formats must upgrade it.
PRAGMA foreign_keys=OFF;
BEGIN TRANSACTION;
CREATE TABLE documents (
    id INTEGER PRIMARY KEY,
    uuid TEXT NOT NULL UNIQUE,
    path BLOB UNIQUE,
    device INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    created_ns INTEGER NOT NULL,
    replaced_path BLOB,
    replaced_by TEXT,
    replaced_ns INTEGER
);
INSERT INTO documents VALUES(1,'f6a0d1b9abf4bf5ac4908f775fc3de9c',X'2f6e6f6e6578697374656e742d7374726174616c6f6f6d2d666978747572652f6e6f7465732e747874',65024,11028063,1796645963351259632,NULL,NULL,NULL);
INSERT INTO documents VALUES(2,'4c9d844a7ae9f8d3d885b81415dc3255',X'2f6e6f6e6578697374656e742d7374726174616c6f6f6d2d666978747572652f6f746865722e747874',65024,11028073,1796645963367013667,NULL,NULL,NULL);
CREATE TABLE versions (
    document INTEGER NOT NULL REFERENCES documents(id),
    position INTEGER NOT NULL,
    file TEXT NOT NULL,
    size INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    change_time_ns INTEGER NOT NULL,
    checksum BLOB NOT NULL,
    modification_s INTEGER NOT NULL,
    modification_ns INTEGER NOT NULL,
    creation_s INTEGER NOT NULL,
    creation_ns INTEGER NOT NULL,
    added_ns INTEGER NOT NULL,
    automatic INTEGER NOT NULL DEFAULT 0,
    pinned INTEGER NOT NULL DEFAULT 0,
    seen_modification_ns INTEGER,
    seen_change_time_ns INTEGER,
    PRIMARY KEY (document, position)
) WITHOUT ROWID;
INSERT INTO versions VALUES(1,0,'8202331a83459d9b96585c9ddb9aea48',6,11028070,1796645963351616483,X'e8e629fef167d57b4e91350fcd38b055',1577934245,123456789,1796645963,339250642,1796645963351726667,0,0,NULL,NULL);
INSERT INTO versions VALUES(1,1,'663cc1b25105b35ff6340cc5031f31fa',7,11028072,1796645963357262587,X'5b925e5a2c868f7b1367721b665ab24b',1796645963,351731176,1796645963,339250642,1796645963357326119,0,1,NULL,NULL);
INSERT INTO versions VALUES(2,0,'c89c759a2618f601d16e917c6606338d',7,11028075,1796645963367520346,X'3e26fff87db01c016acccd71e6b24933',1796645963,362389465,1796645963,362389465,1796645963367641316,0,0,NULL,NULL);
INSERT INTO versions VALUES(2,1,'60d1d6251a0d1ae02ee81c77088e0b43',15,11028087,1796645970289411755,X'579b29580ad322e8aeae6f6dc383e760',1796645968,282149808,1796645963,362389465,1796645970289516927,1,0,NULL,NULL);
CREATE INDEX documents_replaced_path ON documents(replaced_path);
COMMIT;
PRAGMA application_id = 1398033485;
PRAGMA user_version = 4;
