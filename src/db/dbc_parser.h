// DBC parser: turns one DBC database file into a message database.
//
// Only a subset of the format is read: messages (BO_), signals (SG_),
// extended multiplexing ranges (SG_MUL_VAL_), signal value types
// (SIG_VALTYPE_), and the attributes that decide the bus type ("BusType",
// "ProtocolType"), a message's transport protocol ("TransportProtocolType")
// and the ignore flags ("MessageIgnore", "SignalIgnore"), with their
// definitions (BA_DEF_) and defaults (BA_DEF_DEF_).  Every other line is
// skipped without a message.  Bytes 0x80 to 0xFF are read as '_'.
#pragma once

#include <memory>

#include "db/db.h"

class cIO;

// Reads the whole of `stream` (freshly opened, at position 0; borrowed) and
// returns the database it describes, owned by the caller.  Null, without a
// message, for a null stream or an empty file; null with an error for a
// buffer that cannot be allocated ("Could not allocate memory for DBC-file")
// or a short read ("Could not read DBC-file"); null with a fatal message when
// two messages have one key ("Failed to add message %s with DBC key: %X and
// DB key: %X").  Any other problem is logged and loading goes on; a file
// without usable messages gives an empty database.  The parser keeps no state
// between calls.
std::unique_ptr<cDB> cDBC_dbc2db(cIO* stream);
