#pragma once

#include <string>

struct sqlite3;

namespace kavelin {

// Artists are compared and grouped by tTrack.ArtistKey, the name with Unicode
// case folding ("BJÖRK" and "Björk" give one key), and listed in the order of
// tTrack.ArtistOrder, a sort key in the user's language. Both columns sit
// beside the name, which keeps its spelling; the catalog file holds no
// function or collation of the program's, so other SQLite tools read and
// change it as they are.

// Makes FoldCase(text) and NameOrder(text) callable in this connection's
// statements. NameOrder gives a name's sort key in the order of `locale` (as
// LC_COLLATE names it; ORDER BY NameOrder(Trackname) lists titles as the user
// reads them), and null for a null or empty name.
bool RegisterNameFunctions(sqlite3* connection, const std::string& locale);

// Keeps both keys beside every artist this connection writes, with triggers
// that live in the connection only, once the catalog has the key columns.
// Repeating it changes nothing.
void KeepArtistKeys(sqlite3* connection);

// At start: fills the keys that tools outside the program left empty, and
// makes the order keys anew when the user's language (or its collation
// version) differs from the one they were made in. A catalog that cannot be
// written keeps what it has.
void RefreshArtistKeys(sqlite3* connection, const std::string& locale);

}  // namespace kavelin
