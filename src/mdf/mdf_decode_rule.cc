#include "mdf/mdf_decode_rule.h"

#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "base/log.h"
#include "mdf/mdf_block_data.h"
#include "mdf/mdf_decoders.h"

namespace {

using Role = cMdfChannelRole;

struct NamedRole {
  std::string_view name;
  Role role;
};

constexpr size_t kMaxKnownNameBytes = 64;

constexpr std::array<NamedRole, 25> kRoles = {{
    {"CAN_DataFrame.BRS", Role::CanBrs},
    {"CAN_DataFrame.BusChannel", Role::CanBusChannel},
    {"CAN_RemoteFrame.BusChannel", Role::CanBusChannel},
    {"CAN_ErrorFrame.BusChannel", Role::CanBusChannel},
    {"CAN_DataFrame.DataBytes", Role::CanDataBytes},
    {"CAN_DataFrame.DataLength", Role::CanDataLength},
    {"CAN_RemoteFrame.DataLength", Role::CanDataLength},
    {"CAN_DataFrame.Dir", Role::CanDir},
    {"CAN_RemoteFrame.Dir", Role::CanDir},
    {"CAN_DataFrame.DLC", Role::CanDlc},
    {"CAN_RemoteFrame.DLC", Role::CanDlc},
    {"CAN_DataFrame.EDL", Role::CanEdl},
    {"CAN_ErrorFrame.ErrorType", Role::CanErrorType},
    {"CAN_DataFrame.ESI", Role::CanEsi},
    {"CAN_DataFrame.ID", Role::CanId},
    {"CAN_RemoteFrame.ID", Role::CanId},
    {"CAN_DataFrame.IDE", Role::CanIde},
    {"CAN_RemoteFrame.IDE", Role::CanIde},
    {"LIN_Frame.BusChannel", Role::LinBusChannel},
    {"LIN_Frame.DataBytes", Role::LinDataBytes},
    {"LIN_Frame.DataLength", Role::LinDataLength},
    {"LIN_Frame.Dir", Role::LinDir},
    {"LIN_Frame.ID", Role::LinId},
    {"LIN_Frame.ReceivedDataByteCount", Role::LinReceivedDataByteCount},
    {"Timestamp", Role::Timestamp},
}};

struct PrefixDecoder {
  std::string_view prefix;
  cMdfDecoder decoder;
};

constexpr std::array<PrefixDecoder, 8> kDecoders = {{
    {"CAN_DataFrame", cMdfDecoders_decodeCanDataFrame},
    {"CAN_RemoteFrame", cMdfDecoders_decodeCanRemoteFrame},
    {"CAN_ErrorFrame", cMdfDecoders_decodeCanErrorFrame},
    {"LIN_Frame", cMdfDecoders_decodeLinFrame},
    {"LIN_ChecksumError", cMdfDecoders_decodeLinChecksumError},
    {"LIN_ReceiveError", cMdfDecoders_decodeLinReceiveError},
    {"LIN_SyncError", cMdfDecoders_decodeLinSyncError},
    {"LIN_TransmissionError", cMdfDecoders_decodeLinTransmissionError},
}};

}  // namespace

double cMdfConversionRule::convertLookupTableExact(double x) const {
  if (table_) {
    const auto it = table_->find(x);
    if (it != table_->end()) return it->second;
  }
  return std::numeric_limits<double>::quiet_NaN();
}

cMdfConversionRule cMdfConversionRule_default() { return cMdfConversionRule{}; }

cMdfConversionRule cMdfConversionRule_linear(double factor, double offset) {
  cMdfConversionRule rule;
  rule.kind_ = cMdfConversionRule::Kind::Linear;
  rule.factor_ = factor;
  rule.offset_ = offset;
  return rule;
}

cMdfConversionRule cMdfConversionRule_lookupTable(std::unordered_map<double, double> table) {
  cMdfConversionRule rule;
  rule.kind_ = cMdfConversionRule::Kind::LookupTableExact;
  rule.table_ = std::make_shared<const std::unordered_map<double, double>>(std::move(table));
  return rule;
}

cMdfChannelRole cMdfDecodeRule_roleOfName(std::string_view name) {
  if (name.empty()) return Role::None;
  for (const NamedRole& entry : kRoles) {
    if (entry.name == name) return entry.role;
  }
  return Role::None;
}

void cMdfDecodeRule_mapName(cMdfDecodeRule& rule) { rule.role = cMdfDecodeRule_roleOfName(rule.name); }

bool cMdfDecodeRule_pickFrameDecoder(const std::vector<cMdfDecodeRule>& rules, cMdfDecoder& decoder) {
  decoder = cMdfDecoders_decodeGeneric;
  std::string_view prefix;
  bool found = false;
  for (const cMdfDecodeRule& rule : rules) {
    const std::string_view name = rule.name;
    const size_t dot = name.find('.');
    if (dot == std::string_view::npos) continue;
    const std::string_view p = name.substr(0, dot);
    if (!found) {
      prefix = p;
      found = true;
    } else if (p != prefix) {
      return false;
    }
  }
  if (!found) return false;
  for (const PrefixDecoder& entry : kDecoders) {
    if (entry.prefix == prefix) {
      decoder = entry.decoder;
      break;
    }
  }
  return true;
}

cMdfConversionRule cMdfBlock_CC_getConversionRule(const cMdfBlock_CC* conversion) {
  if (conversion == nullptr) return cMdfConversionRule_default();
  const std::vector<double>& v = conversion->values;
  switch (conversion->type) {
    case cMdfConversionType::Linear:
      if (v.size() < 2) return cMdfConversionRule_default();
      return cMdfConversionRule_linear(v[1], v[0]);
    case cMdfConversionType::ValueToValue: {
      // Built once per block: the channels that share a table share its rule.
      if (conversion->lookupRule) return *conversion->lookupRule;
      std::unordered_map<double, double> table;
      table.reserve(v.size() / 2);
      for (size_t i = 0; i + 1 < v.size(); i += 2) table.emplace(v[i], v[i + 1]);
      conversion->lookupRule =
          std::make_shared<cMdfConversionRule>(cMdfConversionRule_lookupTable(std::move(table)));
      return *conversion->lookupRule;
    }
    default:
      return cMdfConversionRule_default();
  }
}

namespace {

// Fills value kind and byte order from the channel's data type.
void setEncoding(cMdfDecodeRule& rule, cMdfDataType dataType) {
  using T = cMdfDataType;
  switch (dataType) {
    case T::UnsignedLE: rule.valueKind = cMdfValueKind::Unsigned; rule.littleEndian = true; return;
    case T::UnsignedBE: rule.valueKind = cMdfValueKind::Unsigned; rule.littleEndian = false; return;
    case T::FloatLE: rule.valueKind = cMdfValueKind::Float; rule.littleEndian = true; return;
    case T::FloatBE: rule.valueKind = cMdfValueKind::Float; rule.littleEndian = false; return;
    case T::ByteArray: rule.valueKind = cMdfValueKind::ByteArray; rule.littleEndian = true; return;
    default: {
      // The message has always counted data types from 1, with 0 for every
      // code above the byte array's.
      const int code = static_cast<int>(dataType);
      LOG_WARN("Unsupported channel data type: %d", code <= static_cast<int>(T::ByteArray) ? code + 1 : 0);
      rule.valueKind = cMdfValueKind::Unsigned;
      rule.littleEndian = false;
      return;
    }
  }
}

void appendLeafRule(const cMdfBlock_CN& channel, std::vector<cMdfDecodeRule>& rules) {
  cMdfDecodeRule rule;
  // A name longer than any the decoders know is none of theirs; it is not
  // copied (many channels may share one long name block).
  const std::string_view name = channel.getName();
  if (name.size() <= kMaxKnownNameBytes) rule.name = std::string(name);
  cMdfDecodeRule_mapName(rule);
  rule.bitOffset = uint64_t{channel.byteOffset} * 8 + channel.bitOffset;
  rule.bitCount = channel.bitCount;
  setEncoding(rule, channel.dataType);
  rule.conversion = cMdfBlock_CC_getConversionRule(mdf_cast<cMdfBlock_CC>(channel.conversion.get()));
  if (channel.channelType == cMdfChannelType::VariableLength) rule.vlsdDataLink = channel.signalData.get();
  rule.plainInteger = rule.valueKind == cMdfValueKind::Unsigned && rule.littleEndian &&
                      rule.bitCount >= 1 && rule.bitCount <= 53 && rule.conversion.isIdentity();
  try {
    rules.push_back(std::move(rule));
  } catch (const std::bad_alloc&) {
    // The rule is lost; building goes on with the next channel.
  }
}

}  // namespace

void createDecodingRulesInner(const cMdfBlock_CN& channel, std::vector<cMdfDecodeRule>& rules) {
  // Depth-first over structure channels without recursion, so that deeply
  // nested compositions in a damaged file cannot exhaust the stack.  Each
  // frame is a composition list and the index of the next child in it.
  if (channel.composition.empty()) {
    appendLeafRule(channel, rules);
    return;
  }
  std::vector<std::pair<const cMdfBlockList<cMdfBlock_CN>*, size_t>> stack;
  stack.emplace_back(&channel.composition, 0);
  while (!stack.empty()) {
    auto& [list, index] = stack.back();
    if (index >= list->size()) {
      stack.pop_back();
      continue;
    }
    const cMdfBlock_CN* child = (*list)[index++].get();
    if (child == nullptr) continue;
    if (child->composition.empty()) {
      appendLeafRule(*child, rules);
    } else {
      stack.emplace_back(&child->composition, 0);
    }
  }
}
