// The logger's metadata: named entries in the `common_properties` sections of
// the XML comments of an MDF file (the header's comment and the comments of
// the CAN and LIN bus source-information blocks).  The input walker takes
// "serial number", "session" and "split" from it.
//
// An entry's path joins the root element's name, the `name` of every `tree`
// (or other element) above it and its own `name` with "." (the
// `common_properties` level is left out): <r><common_properties><tree
// name="a"><e name="b">...</e> has the path "r.a.b".  The first entry of a
// path wins.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

class cMdfBlock_ID;

struct cMdfMetaData {
  std::string name;         // `name` attribute
  std::string description;  // `description` attribute
  std::string unit;         // `unit` attribute
  std::string type;         // `type` attribute
  std::string value;        // character data, leading spaces (code 32) removed
  bool readOnly = false;    // true exactly when `ro` is "true"

  void clear() { *this = cMdfMetaData{}; }
};

using cMdfMetaDataMap = std::unordered_map<std::string, cMdfMetaData>;

// Parses one XML text and adds the entries found to `map` (existing paths are
// kept).  False when the text is not well-formed XML (entries of the part
// before the error may have been added; callers discard the map then) or is
// too large for the parser.
bool parseXml(std::string_view xml, cMdfMetaDataMap& map);

// All metadata of a file: the header comment, then the comments of every
// source-information block with source type bus and bus type CAN or LIN.
// Empty when there is no header comment, or when any of these comments is not
// well-formed XML.
cMdfMetaDataMap cMdfMetaData_collect(const cMdfBlock_ID& id);
