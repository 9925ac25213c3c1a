// Internal to the DBC parser: the records kept while reading a DBC file, and
// the second stage that turns them into a database.  Not for other modules.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/db.h"

namespace dbc {

// Object kinds of attribute definitions and assignments.
enum : uint32_t {
  kObjectOther = 0,
  kObjectNetwork = 1,
  kObjectNode = 2,
  kObjectMessage = 3,
  kObjectSignal = 4,
};

// Attribute value types.
enum : uint32_t {
  kAttrInt = 1,
  kAttrFloat = 2,
  kAttrString = 3,
  kAttrEnum = 4,
};

struct MessageRecord {  // one BO_ line
  std::string name;
  uint32_t id = 0;      // as written: bit 31 marks an extended identifier
  uint32_t length = 0;  // bytes
  uint8_t ignored = 0;
  cDBTransport transportType = cDBTransport::None;
  std::string transportParameter;
};

struct SignalRecord {  // one SG_ line
  std::string name;
  uint32_t messageId = 0;
  size_t owner = 0;  // index of the message record the line stands under
  cDBSignalParameters params;
  bool fits = true;  // position and length fit their 16 and 8 bits
  uint8_t isMultiplexor = 0;
  uint8_t isMultiplexed = 0;
  uint32_t multiplexerValue = 0;
  uint8_t ignored = 0;
};

struct RangeRecord {  // one SG_MUL_VAL_ line
  uint32_t messageId = 0;
  std::string multiplexed;
  std::string multiplexor;
  uint32_t from = 0;
  uint32_t to = 0;
};

struct ValueTypeRecord {  // one SIG_VALTYPE_ line
  uint32_t messageId = 0;
  std::string signal;
  cDBValueType valueType = cDBValueType::None;  // None: keep the SG_ sign
};

struct AttrDefinition {  // one BA_DEF_ line (node attributes are not kept)
  uint32_t object = kObjectOther;
  std::string name;
  uint32_t type = 0;
  std::string rest;  // text after the type word
};

struct AttrDefault {  // one BA_DEF_DEF_ line
  std::string name;
  std::string value;
};

struct AttrAssignment {  // one BA_ line of a kept attribute
  std::string name;
  uint32_t object = kObjectNetwork;
  uint32_t id = 0;
  std::string objectName;
  std::string value;
};

struct Records {
  std::vector<MessageRecord> messages;
  std::vector<SignalRecord> signals;
  std::vector<RangeRecord> ranges;
  std::vector<ValueTypeRecord> valueTypes;
  std::vector<AttrDefinition> definitions;
  std::vector<AttrDefault> defaults;
  std::vector<AttrAssignment> assignments;
};

// Resolves attributes and value types, creates the database, adds the messages
// and places the signals.  Null (after a fatal message) on a key collision.
std::unique_ptr<cDB> buildDatabase(Records& records);

}  // namespace dbc
