#include "db/db_json.h"

#include <cstdio>

namespace {

const char* busName(cDBBusKind busKind) {
  switch (busKind) {
    case cDBBusKind::Can: return "CAN";
    case cDBBusKind::J1939: return "CAN-PGN";
    case cDBBusKind::Lin: return "LIN";
    default: return "";
  }
}

const char* transportName(cDBTransport type) {
  switch (type) {
    case cDBTransport::J1939: return "J1939TP";
    case cDBTransport::NmeaFastPacket: return "NMEATP";
    case cDBTransport::IsoTp: return "ISOTP";
    case cDBTransport::MuxTp: return "MUXTP";
    default: return "";
  }
}

const char* boolText(bool value) { return value ? "true" : "false"; }

void appendName(std::string& out, std::string_view name) {
  for (char c : name) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
}

void appendUnsigned(std::string& out, uint64_t value) {
  char text[32];
  int n = std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
  out.append(text, static_cast<size_t>(n));
}

// "%f": six decimals.
void appendReal(std::string& out, double value) {
  char text[512];
  int n = std::snprintf(text, sizeof text, "%f", value);
  if (n > 0) out.append(text, static_cast<size_t>(n) < sizeof text ? n : sizeof text - 1);
}

void signals2json(std::string& out, const std::vector<cDBSignal>& signals);

void signal2json(std::string& out, const cDBSignal& signal) {
  const cDBSignalParameters& p = signal.params;
  out += "{\"name\":\"";
  appendName(out, signal.name);
  out += "\",\"ignored\":";
  out += boolText(signal.ignored != 0);
  out += ",\"bitpos\":";
  appendUnsigned(out, p.bitPosition);
  out += ",\"bitlen\":";
  appendUnsigned(out, p.bitLength);
  out += ",\"bigendian\":";
  out += boolText(p.byteOrder == cDBByteOrder::BigEndian);
  out += ",\"signed\":";
  out += boolText(p.valueType == cDBValueType::Signed);
  out += ",\"factor\":";
  appendReal(out, p.factor);
  out += ",\"offset\":";
  appendReal(out, p.offset);
  out += ",\"min\":";
  appendReal(out, p.minimum);
  out += ",\"max\":";
  appendReal(out, p.maximum);
  out += ",\"multiplexed\":[";
  bool first = true;
  for (const cDBRange& range : signal.ranges) {
    if (!first) out += ',';
    first = false;
    out += "{\"from\":";
    appendUnsigned(out, range.from);
    out += ",\"to\":";
    appendUnsigned(out, range.to);
    out += ",\"signals\":";
    signals2json(out, range.signals);
    out += '}';
  }
  out += "]}";
}

void signals2json(std::string& out, const std::vector<cDBSignal>& signals) {
  out += '[';
  bool first = true;
  for (const cDBSignal& signal : signals) {
    if (!first) out += ',';
    first = false;
    signal2json(out, signal);
  }
  out += ']';
}

}  // namespace

void cDB_db2json(std::string& out, const cDB* db) {
  out.clear();
  if (db == nullptr) return;
  out += "{\"bus\":\"";
  out += busName(db->busKind());
  out += "\",\"messages\":[";
  bool first = true;
  for (const auto& [key, message] : db->messages()) {
    if (!first) out += ',';
    first = false;
    out += "{ \"key\":";
    appendUnsigned(out, key);
    out += ",\"name\":\"";
    appendName(out, message.name);
    out += "\",\"tp\":\"";
    out += transportName(message.transportType);
    out += "\",\"ignored\":";
    out += boolText(message.ignored != 0);
    out += ",\"length\":";
    appendUnsigned(out, message.length);
    out += ",\"signals\":";
    signals2json(out, message.signals);
    out += '}';
  }
  out += "]}";
}
