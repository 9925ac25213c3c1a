// Database JSON dump: a loaded message database as one line of JSON, so that a
// user can see how a DBC file was understood (bus kind, messages with key,
// transport and ignore flag, signals with their internal parameters and their
// multiplexing tree).  Names are written as they are, except that a double
// quote or a backslash in a name is escaped so that the text stays JSON.
#pragma once

#include <string>

#include "db/db.h"

// Replaces `out` with the JSON text of `db`: {"bus":...,"messages":[...]},
// messages in ascending key order, signals in insertion order, ranges nested
// under their multiplexor; numbers "%u" and "%f".  A
// null database gives an empty string.
void cDB_db2json(std::string& out, const cDB* db);
