// What a database says about its messages that the layers acting on them
// share: the bus kind of the database and the transport protocol of a
// message.
#pragma once

#include <cstdint>

// Bus kind of a database: which frames its messages describe and how their
// keys are made (db/message_key.h).
enum class cDBBusKind : uint32_t {
  Can = 1,
  J1939 = 2,  // CAN keyed by parameter group, with source and destination addresses
  Lin = 3,
};

// Transport protocol of a message.  2 has no meaning.
enum class cDBTransport : uint32_t {
  None = 0,
  J1939 = 1,           // J1939 transport (never set from a DBC file)
  NmeaFastPacket = 3,  // NMEA 2000 fast packet
  IsoTp = 4,
  MuxTp = 5,           // multiplexed tunnelling; parameter text in transportParameter
};
