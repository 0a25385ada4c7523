-- A format-2 index: one document, /nonexistent-strataloom-fixture/notes.txt, with an explicit
-- pinned version and an automatic one whose stored files are beside this file. Future formats
-- must upgrade it.
PRAGMA foreign_keys=OFF;
BEGIN TRANSACTION;
CREATE TABLE documents (
    id INTEGER PRIMARY KEY,
    uuid TEXT NOT NULL UNIQUE,
    path BLOB UNIQUE,
    device INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    created_ns INTEGER NOT NULL
);
INSERT INTO documents VALUES(1,'185da89d0964cf69c32aad665f83f28a',X'2f6e6f6e6578697374656e742d7374726174616c6f6f6d2d666978747572652f6e6f7465732e747874',65024,10953006,1796602710254515551);
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
    PRIMARY KEY (document, position)
) WITHOUT ROWID;
INSERT INTO versions VALUES(1,0,'79d0b33b44267410b83f57785424e36f',6,10956325,1796602710251631462,X'e8e629fef167d57b4e91350fcd38b055',1577934245,123456789,1796602710,215631463,1796602710256315781,0,1);
INSERT INTO versions VALUES(1,1,'32b2993a9eddadefefc289d7f0554d25',7,10956327,1796602710274847570,X'5b925e5a2c868f7b1367721b665ab24b',1623053350,500000000,1796602710,215631463,1796602710275918448,1,0);
COMMIT;
PRAGMA application_id = 1398033485;
PRAGMA user_version = 2;
