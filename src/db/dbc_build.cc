// Second stage of the DBC parser: attributes, value types, messages and the
// placement of signals into their multiplexing trees.
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/log.h"
#include "db/dbc_records.h"

namespace dbc {
namespace {

// Deeper multiplexing trees are refused, so that walking a tree never
// exhausts the stack (real files nest a few levels).
constexpr int kMaxNesting = 64;

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && lower(a) == lower(b);
}

std::string joinKey(std::string_view a, uint64_t b, uint64_t c, std::string_view d) {
  std::string key(a);
  key += '\0';
  key += std::to_string(b);
  key += '\0';
  key += std::to_string(c);
  key += '\0';
  key += d;
  return key;
}

struct AttrValue {
  uint32_t type = 0;
  int32_t integer = 0;
  std::string text;
};

// Attribute lookups: the first definition of a name (letter case ignored) and
// object kind, then the first matching assignment, else the first default.
class Attributes {
 public:
  explicit Attributes(const Records& records) : records_(records) {
    for (size_t i = 0; i < records.definitions.size(); ++i) {
      const AttrDefinition& d = records.definitions[i];
      definitions_.emplace(joinKey(lower(d.name), d.object, 0, ""), i);
    }
    for (size_t i = 0; i < records.defaults.size(); ++i) {
      defaults_.emplace(lower(records.defaults[i].name), i);
    }
    for (size_t i = 0; i < records.assignments.size(); ++i) {
      const AttrAssignment& a = records.assignments[i];
      assignments_.emplace(joinKey(lower(a.name), a.object, a.id, a.objectName), i);
    }
  }

  std::optional<AttrValue> get(std::string_view name, uint32_t object, uint32_t id,
                               std::string_view objectName) const {
    std::string lowered = lower(name);
    auto definition = definitions_.find(joinKey(lowered, object, 0, ""));
    if (definition == definitions_.end()) return std::nullopt;
    const AttrDefinition& def = records_.definitions[definition->second];
    const std::string* text = nullptr;
    auto assignment = assignments_.find(joinKey(lowered, object, id, objectName));
    if (assignment != assignments_.end()) {
      text = &records_.assignments[assignment->second].value;
    } else if (auto found = defaults_.find(lowered); found != defaults_.end()) {
      text = &records_.defaults[found->second].value;
    }
    if (text == nullptr || def.type == 0) return std::nullopt;
    AttrValue value;
    value.type = def.type;
    value.text = *text;
    if (def.type == kAttrInt) value.integer = static_cast<int32_t>(std::strtol(text->c_str(), nullptr, 10));
    return value;
  }

 private:
  const Records& records_;
  std::unordered_map<std::string, size_t> definitions_;
  std::unordered_map<std::string, size_t> defaults_;
  std::unordered_map<std::string, size_t> assignments_;
};

cDBBusKind resolveBusType(const Attributes& attributes) {
  std::optional<cDBBusKind> bus;
  std::optional<AttrValue> value = attributes.get("BusType", kObjectNetwork, 0, "");
  if (value && value->type == kAttrString && !value->text.empty()) {
    if (equalsNoCase(value->text, "CAN") || equalsNoCase(value->text, "CAN FD")) {
      bus = cDBBusKind::Can;
    } else if (equalsNoCase(value->text, "LIN")) {
      bus = cDBBusKind::Lin;
    } else {
      LOG_ERROR("Unknown \"BusType\": \"%s\"", value->text.c_str());
    }
  }
  if (!bus) {
    LOG_WARN("\"BusType\" attribute not set. Defaulting to \"CAN\"");
    bus = cDBBusKind::Can;
  }
  if (bus == cDBBusKind::Can) {
    value = attributes.get("ProtocolType", kObjectNetwork, 0, "");
    if (value && value->type == kAttrString && value->text == "J1939") bus = cDBBusKind::J1939;
  }
  return *bus;
}

void resolveMessageAttributes(Records& records, const Attributes& attributes) {
  for (MessageRecord& message : records.messages) {
    auto value = attributes.get("TransportProtocolType", kObjectMessage, message.id, "");
    if (value && value->type == kAttrString) {
      const std::string& text = value->text;
      if (text == "ISOTP") {
        message.transportType = cDBTransport::IsoTp;
      } else if (text == "NMEATP") {
        message.transportType = cDBTransport::NmeaFastPacket;
      } else if (text.starts_with("MUXTP")) {
        message.transportType = cDBTransport::MuxTp;
        message.transportParameter = text;
      } else if (!text.empty()) {
        LOG_ERROR("\"TransportProtocolType\" \"%s\" not supported (\"%s\")", text.c_str(),
                  message.name.c_str());
      }
    }
  }
  for (MessageRecord& message : records.messages) {
    auto value = attributes.get("MessageIgnore", kObjectMessage, message.id, "");
    if (value && value->type == kAttrInt && value->integer != 0) message.ignored = 1;
  }
}

void resolveSignalAttributes(Records& records, const Attributes& attributes) {
  for (SignalRecord& signal : records.signals) {
    auto value = attributes.get("SignalIgnore", kObjectSignal, signal.messageId, signal.name);
    if (value && value->type == kAttrInt && value->integer != 0) signal.ignored = 1;
  }
  std::unordered_map<std::string, cDBValueType> valueTypes;
  for (const ValueTypeRecord& record : records.valueTypes) {
    valueTypes.emplace(joinKey(record.signal, record.messageId, 0, ""), record.valueType);
  }
  for (SignalRecord& signal : records.signals) {
    auto found = valueTypes.find(joinKey(signal.name, signal.messageId, 0, ""));
    if (found != valueTypes.end() && found->second != cDBValueType::None) {
      signal.params.valueType = found->second;
    }
  }
}

uint32_t messageKey(cDBBusKind busKind, uint32_t id) {
  uint32_t extended = id >> 31;
  if (busKind == cDBBusKind::J1939) return cDB_can_pgn_id2key(id, extended);
  if (busKind == cDBBusKind::Lin) return cDB_lin_id2key(id);
  return cDB_can_id2key(id, extended);
}

// Where a placed signal sits: its index in the message's list, then for each
// level below a range index and a signal index.  Indices stay valid while
// signals are only appended, whereas addresses move when a vector grows.
using Path = std::vector<uint32_t>;

cDBSignal* resolve(cDBMessage& message, const Path& path) {
  cDBSignal* signal = &message.signals[path[0]];
  for (size_t i = 1; i + 1 < path.size(); i += 2) signal = &signal->ranges[path[i]].signals[path[i + 1]];
  return signal;
}

int depthOf(const Path& path) { return static_cast<int>(path.size() / 2); }

enum class Placement { Placed, Wait, Dropped };

class Placer {
 public:
  Placer(Records& records, const std::vector<cDBMessage*>& messages)
      : records_(records), messages_(messages), placed_(messages.size()),
        firstMultiplexor_(messages.size(), SIZE_MAX), byOwner_(messages.size()) {
    for (size_t i = 0; i < records.ranges.size(); ++i) {
      const RangeRecord& r = records.ranges[i];
      ranges_.emplace(joinKey(r.multiplexed, r.messageId, 0, ""), i);
    }
    // Extended multiplexing: a multiplexor that is itself listed as
    // multiplexed (in its own message) hangs under another multiplexor.
    for (SignalRecord& s : records.signals) {
      if (s.isMultiplexor && ranges_.contains(joinKey(s.name, s.messageId, 0, ""))) {
        s.isMultiplexed = 1;
      }
    }
    for (size_t i = 0; i < records.signals.size(); ++i) {
      const SignalRecord& s = records.signals[i];
      byOwner_[s.owner].push_back(i);
      if (s.isMultiplexor && !s.isMultiplexed && firstMultiplexor_[s.owner] == SIZE_MAX) {
        firstMultiplexor_[s.owner] = i;
      }
    }
  }

  // Repeated passes in file order while a pass places anything, so that a
  // signal listed before its multiplexor, and nesting of any order, resolve.
  void placeAll() {
    std::vector<size_t> pending;
    for (size_t i = 0; i < records_.signals.size(); ++i) {
      if (messages_[records_.signals[i].owner] != nullptr) pending.push_back(i);
    }
    bool progress = true;
    while (progress && !pending.empty()) {
      progress = false;
      std::vector<size_t> waiting;
      for (size_t index : pending) {
        Placement result = place(records_.signals[index]);
        if (result == Placement::Placed) progress = true;
        if (result == Placement::Wait) waiting.push_back(index);
      }
      pending.swap(waiting);
    }
  }

  void reportMissing(const std::vector<uint32_t>& keys) const {
    for (size_t m = 0; m < messages_.size(); ++m) {
      if (messages_[m] == nullptr) continue;  // removed on purpose
      if (cDB_messageFind(messages_[m]->owner, keys[m]) == nullptr) {
        LOG_ERROR("Failed to load message %s", records_.messages[m].name.c_str());
        continue;
      }
      for (size_t index : byOwner_[m]) {
        const SignalRecord& s = records_.signals[index];
        if (!placed_[m].contains(s.name)) LOG_ERROR("Failed to load signal %s", s.name.c_str());
      }
    }
  }

 private:
  Placement place(const SignalRecord& s) {
    cDBMessage* message = messages_[s.owner];
    std::unordered_map<std::string_view, Path>& placed = placed_[s.owner];
    if (placed.contains(s.name)) return Placement::Dropped;
    std::vector<cDBSignal>* target = &message->signals;
    Path path;
    if (s.isMultiplexed) {
      std::string_view multiplexor;
      uint32_t from = s.multiplexerValue;
      uint32_t to = s.multiplexerValue;
      if (auto r = ranges_.find(joinKey(s.name, s.messageId, 0, "")); r != ranges_.end()) {
        const RangeRecord& range = records_.ranges[r->second];
        multiplexor = range.multiplexor;
        from = range.from;
        to = range.to;
      } else if (firstMultiplexor_[s.owner] != SIZE_MAX) {
        multiplexor = records_.signals[firstMultiplexor_[s.owner]].name;
      } else {
        return Placement::Dropped;
      }
      auto found = placed.find(multiplexor);
      if (found == placed.end()) return Placement::Wait;
      if (from > to) return Placement::Dropped;
      if (!fitsPayload(s, *message) || depthOf(found->second) + 1 >= kMaxNesting) {
        return refuse(s, *message);
      }
      cDBSignal* mux = resolve(*message, found->second);
      cDBRange* range = cDB_multiplexedFindRange(mux->ranges, from, to);
      if (range == nullptr) range = cDB_multiplexAdd(&mux->ranges, from, to);
      path = found->second;
      path.push_back(static_cast<uint32_t>(range - mux->ranges.data()));
      target = &range->signals;
    } else if (!fitsPayload(s, *message)) {
      return refuse(s, *message);
    }
    path.push_back(static_cast<uint32_t>(target->size()));
    if (cDB_signalAdd(target, s.name, s.params, s.ignored) == nullptr) return Placement::Dropped;
    placed.emplace(s.name, std::move(path));
    return Placement::Placed;
  }

  static bool fitsPayload(const SignalRecord& s, const cDBMessage& message) {
    uint64_t end = static_cast<uint64_t>(s.params.bitPosition) + s.params.bitLength;
    return s.fits && end <= 8 * static_cast<uint64_t>(message.length);
  }

  static Placement refuse(const SignalRecord& s, const cDBMessage& message) {
    LOG_FATAL("Failed to add signal %s to message %s", s.name.c_str(), message.name.c_str());
    return Placement::Dropped;
  }

  Records& records_;
  const std::vector<cDBMessage*>& messages_;  // per message record; null when removed
  std::vector<std::unordered_map<std::string_view, Path>> placed_;  // per message, by name
  std::vector<size_t> firstMultiplexor_;  // per message record: first plain multiplexor
  std::vector<std::vector<size_t>> byOwner_;  // signal records per message record
  std::unordered_map<std::string, size_t> ranges_;  // first range record per signal
};

}  // namespace

std::unique_ptr<cDB> buildDatabase(Records& records) {
  Attributes attributes(records);
  cDBBusKind busKind = resolveBusType(attributes);
  resolveMessageAttributes(records, attributes);
  resolveSignalAttributes(records, attributes);
  auto db = std::make_unique<cDB>(busKind);

  size_t removed = SIZE_MAX;
  for (size_t m = 0; m < records.messages.size(); ++m) {
    if (records.messages[m].name == "VECTOR__INDEPENDENT_SIG_MSG") {
      removed = m;
      LOG_WARN("Ignoring message: %s", records.messages[m].name.c_str());
      break;
    }
  }
  std::vector<cDBMessage*> messages(records.messages.size(), nullptr);
  std::vector<uint32_t> keys(records.messages.size(), 0);
  for (size_t m = 0; m < records.messages.size(); ++m) {
    if (m == removed) continue;
    const MessageRecord& r = records.messages[m];
    keys[m] = messageKey(busKind, r.id);
    messages[m] = cDB_messageAdd(db.get(), r.name, keys[m], r.length, r.transportType,
                                 r.transportParameter, r.ignored);
    if (messages[m] == nullptr) {
      LOG_FATAL("Failed to add message %s with DBC key: %X and DB key: %X", r.name.c_str(), r.id,
                keys[m]);
      return nullptr;
    }
  }
  Placer placer(records, messages);
  placer.placeAll();
  placer.reportMissing(keys);
  return db;
}

}  // namespace dbc
