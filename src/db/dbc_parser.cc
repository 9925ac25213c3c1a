#include "db/dbc_parser.h"

#include <re2/re2.h>

#include <cstdlib>
#include <new>
#include <string_view>

#include "base/log.h"
#include "db/dbc_records.h"
#include "io/io.h"

namespace {

using dbc::Records;

// The line patterns.  Every match covers the whole (trimmed) line.  Runs of
// blanks are accepted where DBC writers vary (BO_ and SG_ lines, BA_DEF_
// without an object word or without a trailing blank), and the four numbers of
// an SG_ line may carry an exponent sign ("1.8446744073709552E+019").
constexpr const char* kBO = R"re(^BO_[ \t]+(\d+)[ \t]+([[:graph:]]+)[ \t]*:[ \t]+(\d+)[ \t]+([[:graph:]]+)$)re";
constexpr const char* kSG =
    R"re(^SG_[ \t]+([[:graph:]]+)[ \t]+([0-9mM]*)[ \t]*:[ \t]+(\d+)\|(\d+)@(0|1)(\+|\-)[ \t]+)re"
    R"re(\(([0-9eE\.\+\-]+),([0-9eE\.\+\-]+)\)[ \t]+\[([0-9eE\.\+\-]+)\|([0-9eE\.\+\-]+)\].*$)re";
constexpr const char* kMuxIndicator = R"re(^(m*)(\d*)(M*)$)re";
constexpr const char* kSGMulVal =
    R"re(^SG_MUL_VAL_ (\d*) ([[:graph:]]+) ([[:graph:]]+) (\d*)-(\d*);?$)re";
constexpr const char* kBADef =
    R"re(^BA_DEF_\s+(?:(BU_|BO_|SG_)\s+)?"([[:graph:]]+)"\s+(INT|FLOAT|STRING|ENUM)(?:\s+([[:ascii:]]+)?)?;$)re";
constexpr const char* kBADefDef = R"re(^BA_DEF_DEF_\s+"([[:graph:]]+)"\s+([[:graph:]]+);$)re";
constexpr const char* kBA =
    R"re(^BA_ "([[:graph:]]+)" ?(BU_|BO_|SG_)* ?(\d+)* ?([[:graph:]]+)* ([[:ascii:]]+);$)re";
constexpr const char* kSigValType = R"re(^SIG_VALTYPE_ (\d+) ([[:graph:]]+) : (\d+);$)re";

RE2::Options latin1Options() {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingLatin1);
  options.set_log_errors(false);
  return options;
}

// Compiled once; RE2 objects are safe to share.
struct Patterns {
  RE2 bo{kBO, latin1Options()};
  RE2 sg{kSG, latin1Options()};
  RE2 muxIndicator{kMuxIndicator, latin1Options()};
  RE2 sgMulVal{kSGMulVal, latin1Options()};
  RE2 baDef{kBADef, latin1Options()};
  RE2 baDefDef{kBADefDef, latin1Options()};
  RE2 ba{kBA, latin1Options()};
  RE2 sigValType{kSigValType, latin1Options()};
};

const Patterns& patterns() {
  static const Patterns compiled;
  return compiled;
}

constexpr int kMaxGroups = 10;

// Whole-line match; captures that took no part come back empty.
bool matchLine(const RE2& re, std::string_view line, std::string_view* captures) {
  re2::StringPiece pieces[kMaxGroups + 1];
  int groups = re.NumberOfCapturingGroups();
  re2::StringPiece text(line.data(), line.size());
  if (!re.Match(text, 0, text.size(), RE2::ANCHOR_BOTH, pieces, groups + 1)) return false;
  for (int i = 1; i <= groups; ++i) {
    captures[i] = pieces[i].data() == nullptr ? std::string_view()
                                              : std::string_view(pieces[i].data(), pieces[i].size());
  }
  return true;
}

// Base-10 digits as strtoul would read them on a 64-bit system: empty gives 0,
// overflow saturates.
uint64_t toUnsigned(std::string_view digits) {
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') break;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (~0ull - digit) / 10) return ~0ull;
    value = value * 10 + digit;
  }
  return value;
}

double toReal(std::string_view text) {
  std::string copy(text);
  return std::strtod(copy.c_str(), nullptr);
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

uint32_t objectKind(std::string_view word) {
  if (word.empty()) return dbc::kObjectNetwork;
  if (equalsNoCase(word, "BU_")) return dbc::kObjectNode;
  if (equalsNoCase(word, "BO_")) return dbc::kObjectMessage;
  if (equalsNoCase(word, "SG_")) return dbc::kObjectSignal;
  return dbc::kObjectOther;
}

std::string_view stripQuotes(std::string_view text) {
  while (!text.empty() && text.front() == '"') text.remove_prefix(1);
  while (!text.empty() && text.back() == '"') text.remove_suffix(1);
  return text;
}

bool startsWith(std::string_view line, std::string_view prefix) {
  return line.substr(0, prefix.size()) == prefix;
}

class LineParser {
 public:
  explicit LineParser(Records& records) : records_(records) {}
  void parseLine(std::string_view line, size_t number);
  // Logs how many unreadable signal lines were not named one by one.
  void finish() const;

 private:
  void parseMessage(std::string_view line);
  void parseSignal(std::string_view line);
  // A signal line that gives no signal: its column would be missing from
  // the output without a word.
  void skipSignalLine(std::string_view line);
  void parseRange(std::string_view line);
  void parseValueType(std::string_view line);
  void parseDefinition(std::string_view line);
  void parseDefault(std::string_view line);
  void parseAssignment(std::string_view line);

  Records& records_;
  std::string_view captures_[kMaxGroups + 1];
  // Signals stand under the last readable BO_ line; after an unreadable one
  // (or before any) they belong to no message and are skipped.
  bool inMessage_ = false;
  bool warned_ = false;
  std::string_view badMessageLine_;
  size_t number_ = 0;  // of the line being parsed, from 1
  size_t unreadableSignals_ = 0;
};

// Signal lines named one by one when they cannot be read.
constexpr size_t kNamedUnreadableSignals = 10;

void LineParser::parseLine(std::string_view line, size_t number) {
  number_ = number;
  if (line.size() < 4) return;
  if (startsWith(line, "BA_DEF_ ")) return parseDefinition(line);
  if (line.size() >= 12 && startsWith(line, "BA_DEF_DEF_ ")) return parseDefault(line);
  if (startsWith(line, "BA_ ")) return parseAssignment(line);
  if (startsWith(line, "BO_ ")) return parseMessage(line);
  if (startsWith(line, "SG_ ")) return parseSignal(line);
  if (line.size() >= 12 && startsWith(line, "SG_MUL_VAL_ ")) return parseRange(line);
  if (line.size() >= 13 && startsWith(line, "SIG_VALTYPE_ ")) return parseValueType(line);
  // Blanks left before it by the trimming (a tab, then a space).
  const size_t text = line.find_first_not_of(" \t");
  if (text != std::string_view::npos && startsWith(line.substr(text), "SG_ ")) skipSignalLine(line);
}

void LineParser::skipSignalLine(std::string_view line) {
  if (++unreadableSignals_ <= kNamedUnreadableSignals)
    LOG_WARN("Skipping unreadable signal line %zu: %.*s", number_, static_cast<int>(line.size()),
             line.data());
}

void LineParser::finish() const {
  if (unreadableSignals_ > kNamedUnreadableSignals)
    LOG_WARN("Skipping %zu more unreadable signal lines",
             unreadableSignals_ - kNamedUnreadableSignals);
}

void LineParser::parseMessage(std::string_view line) {
  if (!matchLine(patterns().bo, line, captures_)) {
    inMessage_ = false;
    warned_ = false;
    badMessageLine_ = line;
    return;
  }
  dbc::MessageRecord& message = records_.messages.emplace_back();
  message.id = static_cast<uint32_t>(toUnsigned(captures_[1]));
  message.name.assign(captures_[2]);
  message.length = static_cast<uint32_t>(toUnsigned(captures_[3]));
  inMessage_ = true;
}

void LineParser::parseSignal(std::string_view line) {
  if (!matchLine(patterns().sg, line, captures_)) return skipSignalLine(line);
  if (!inMessage_) {
    if (!warned_ && badMessageLine_.empty()) {
      LOG_WARN("Skipping signals outside any message, from: %.*s", static_cast<int>(line.size()),
               line.data());
    } else if (!warned_) {
      LOG_WARN("Skipping signals of unreadable message line: %.*s",
               static_cast<int>(badMessageLine_.size()), badMessageLine_.data());
    }
    warned_ = true;
    return;
  }
  const dbc::MessageRecord& message = records_.messages.back();
  dbc::SignalRecord signal;
  signal.name.assign(captures_[1]);
  signal.messageId = message.id;
  signal.owner = records_.messages.size() - 1;
  std::string_view indicator = captures_[2];
  uint64_t position = toUnsigned(captures_[3]);
  uint64_t length = toUnsigned(captures_[4]);
  bool littleEndian = captures_[5] != "0";
  cDBSignalParameters& p = signal.params;
  p.byteOrder = littleEndian ? cDBByteOrder::LittleEndian : cDBByteOrder::BigEndian;
  p.valueType = captures_[6] == "+" ? cDBValueType::Unsigned : cDBValueType::Signed;
  p.factor = toReal(captures_[7]);
  p.offset = toReal(captures_[8]);
  p.minimum = toReal(captures_[9]);
  p.maximum = toReal(captures_[10]);
  signal.fits = position <= 0xFFFF && length <= 0xFF;
  p.bitPosition = static_cast<uint16_t>(
      cDecode_dbcBitPosition2Internal(static_cast<uint16_t>(position), littleEndian));
  p.bitLength = static_cast<uint8_t>(length);
  std::string_view mux[4];
  if (!indicator.empty() && matchLine(patterns().muxIndicator, indicator, mux)) {
    signal.isMultiplexed = mux[1].empty() ? 0 : 1;
    signal.multiplexerValue = static_cast<uint32_t>(toUnsigned(mux[2]));
    signal.isMultiplexor = mux[3].empty() ? 0 : 1;
  }
  records_.signals.push_back(std::move(signal));
}

void LineParser::parseRange(std::string_view line) {
  if (!matchLine(patterns().sgMulVal, line, captures_)) return;
  dbc::RangeRecord& range = records_.ranges.emplace_back();
  range.messageId = static_cast<uint32_t>(toUnsigned(captures_[1]));
  range.multiplexed.assign(captures_[2]);
  range.multiplexor.assign(captures_[3]);
  range.from = static_cast<uint32_t>(toUnsigned(captures_[4]));
  range.to = static_cast<uint32_t>(toUnsigned(captures_[5]));
}

void LineParser::parseValueType(std::string_view line) {
  if (!matchLine(patterns().sigValType, line, captures_)) return;
  dbc::ValueTypeRecord& record = records_.valueTypes.emplace_back();
  record.messageId = static_cast<uint32_t>(toUnsigned(captures_[1]));
  record.signal.assign(captures_[2]);
  char type = captures_[3].front();
  record.valueType = type == '1'   ? cDBValueType::Float
                     : type == '2' ? cDBValueType::Double
                                   : cDBValueType::None;
}

void LineParser::parseDefinition(std::string_view line) {
  if (!matchLine(patterns().baDef, line, captures_)) return;
  uint32_t object = objectKind(captures_[1]);
  if (object == dbc::kObjectNode) return;
  dbc::AttrDefinition& definition = records_.definitions.emplace_back();
  definition.object = object;
  definition.name.assign(captures_[2]);
  std::string_view type = captures_[3];
  definition.type = type == "INT"      ? uint32_t{dbc::kAttrInt}
                    : type == "FLOAT"  ? uint32_t{dbc::kAttrFloat}
                    : type == "STRING" ? uint32_t{dbc::kAttrString}
                    : type == "ENUM"   ? uint32_t{dbc::kAttrEnum}
                                       : 0u;
  definition.rest.assign(captures_[4]);
}

void LineParser::parseDefault(std::string_view line) {
  if (!matchLine(patterns().baDefDef, line, captures_)) return;
  dbc::AttrDefault& value = records_.defaults.emplace_back();
  value.name.assign(stripQuotes(captures_[1]));
  value.value.assign(stripQuotes(captures_[2]));
}

void LineParser::parseAssignment(std::string_view line) {
  if (!matchLine(patterns().ba, line, captures_)) return;
  std::string_view name = captures_[1];
  uint32_t object = objectKind(captures_[2]);
  bool kept = (object == dbc::kObjectNetwork && (name == "BusType" || name == "ProtocolType")) ||
              (object == dbc::kObjectMessage &&
               (name == "MessageIgnore" || name == "TransportProtocolType")) ||
              (object == dbc::kObjectSignal && name == "SignalIgnore");
  if (!kept) return;
  dbc::AttrAssignment& assignment = records_.assignments.emplace_back();
  assignment.name.assign(name);
  assignment.object = object;
  assignment.id = static_cast<uint32_t>(toUnsigned(captures_[3]));
  assignment.objectName.assign(captures_[4]);
  assignment.value.assign(stripQuotes(captures_[5]));
}

// Carriage returns, then spaces, then tabs, each from both ends, once.
std::string_view trimLine(std::string_view line) {
  for (char c : {'\r', ' ', '\t'}) {
    while (!line.empty() && line.front() == c) line.remove_prefix(1);
    while (!line.empty() && line.back() == c) line.remove_suffix(1);
  }
  return line;
}

}  // namespace

std::unique_ptr<cDB> cDBC_dbc2db(cIO* stream) {
  if (stream == nullptr) return nullptr;
  int64_t size = stream->getSize();
  if (size == 0) return nullptr;
  if (size < 0) {
    LOG_ERROR("Could not read DBC-file");
    return nullptr;
  }
  std::string text;
  try {
    text.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    LOG_ERROR("Could not allocate memory for DBC-file");
    return nullptr;
  } catch (const std::length_error&) {
    LOG_ERROR("Could not allocate memory for DBC-file");
    return nullptr;
  }
  if (stream->read(text.data(), size) != size) {
    LOG_ERROR("Could not read DBC-file");
    return nullptr;
  }
  for (char& c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) c = '_';
  }
  Records records;
  LineParser parser(records);
  std::string_view rest(text);
  for (size_t number = 1; !rest.empty(); ++number) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    line = trimLine(line);
    if (line.empty()) continue;
    try {
      parser.parseLine(line, number);
    } catch (const std::bad_alloc&) {
      LOG_FATAL("Could not allocate memory");
    }
  }
  parser.finish();
  return dbc::buildDatabase(records);
}
