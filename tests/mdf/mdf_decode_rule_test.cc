#include "mdf/mdf_decode_rule.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "base/log.h"
#include "mdf/mdf_block.h"
#include "mdf/mdf_decoders.h"

namespace {

using Role = cMdfChannelRole;

std::vector<cMdfDecodeRule> rulesNamed(const std::vector<std::string>& names) {
  std::vector<cMdfDecodeRule> rules;
  for (const auto& name : names) {
    cMdfDecodeRule rule;
    rule.name = name;
    cMdfDecodeRule_mapName(rule);
    rules.push_back(rule);
  }
  return rules;
}

TEST(cMdfDecodeRule, NamesMapToRolesExactly) {
  const std::pair<const char*, Role> cases[] = {
      {"CAN_DataFrame.BRS", Role::CanBrs},
      {"CAN_ErrorFrame.BusChannel", Role::CanBusChannel},
      {"CAN_RemoteFrame.DataLength", Role::CanDataLength},
      {"CAN_ErrorFrame.ErrorType", Role::CanErrorType},
      {"CAN_RemoteFrame.ID", Role::CanId},
      {"LIN_Frame.ReceivedDataByteCount", Role::LinReceivedDataByteCount},
      {"Timestamp", Role::Timestamp},
      // Near misses: case, prefixes of other kinds, padding, empty.
      {"CAN_DataFrame.Id", Role::None},
      {"timestamp", Role::None},
      {"CAN_RemoteFrame.BRS", Role::None},
      {"CAN_ErrorFrame.ID", Role::None},
      {"CAN_DataFrame.ID ", Role::None},
      {"", Role::None},
  };

  for (const auto& [name, role] : cases) {
    SCOPED_TRACE(name);
    cMdfDecodeRule rule;
    rule.name = name;
    rule.role = Role::LinId;
    cMdfDecodeRule_mapName(rule);
    EXPECT_EQ(rule.role, role);
  }
}

TEST(cMdfDecodeRule, GroupPrefixChoosesTheDecoder) {
  struct Case {
    std::vector<std::string> names;
    cMdfDecoder decoder;
    bool single;
  };
  const Case cases[] = {
      {{"Timestamp", "CAN_DataFrame.BusChannel", "CAN_DataFrame.ID", "CAN_DataFrame.DataBytes"},
       cMdfDecoders_decodeCanDataFrame, true},
      {{"Timestamp", "CAN_DataFrame.ID", "CAN_RemoteFrame.ID"}, cMdfDecoders_decodeGeneric, false},
      {{"Timestamp"}, cMdfDecoders_decodeGeneric, false},
      {{}, cMdfDecoders_decodeGeneric, false},
      {{"CAN_RemoteFrame.ID"}, cMdfDecoders_decodeCanRemoteFrame, true},
      {{"LIN_ReceiveError.ID"}, cMdfDecoders_decodeLinReceiveError, true},
      {{"LIN_SyncError.BusChannel"}, cMdfDecoders_decodeLinSyncError, true},
      {{"LIN_TransmissionError.ID"}, cMdfDecoders_decodeLinTransmissionError, true},
      {{"GPS.Latitude", "GPS.Longitude"}, cMdfDecoders_decodeGeneric, true},
      {{"can_dataframe.ID"}, cMdfDecoders_decodeGeneric, true},
      // Only the text before the first dot is the prefix.
      {{"CAN_DataFrame.A.B", "CAN_DataFrame.C"}, cMdfDecoders_decodeCanDataFrame, true},
      {{".ID"}, cMdfDecoders_decodeGeneric, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.names));
    cMdfDecoder decoder = nullptr;
    EXPECT_EQ(getOptimalDecoder(rulesNamed(c.names), decoder), c.single);
    EXPECT_EQ(decoder, c.decoder);
  }
}

TEST(cMdfConversionRule, CopiesOutliveTheOriginal) {
  cMdfConversionRule copy;
  {
    cMdfDecodeRule rule;
    rule.conversion = cMdfConversionRule_lookupTable({{4, 40}});
    std::vector<cMdfDecodeRule> rules(3, rule);
    copy = rules[1].conversion;
  }
  EXPECT_EQ(copy.kind(), cMdfConversionRule::Kind::LookupTableExact);
  EXPECT_EQ(copy.convert(4), 40);
}

// Channel blocks built in memory, as the loader leaves them.
std::shared_ptr<cMdfBlock_CN> channel(const std::string& name, uint32_t byteOffset, uint8_t bitOffset,
                                      uint32_t bits, uint8_t dataType = 1) {
  auto cn = std::make_shared<cMdfBlock_CN>();
  auto tx = std::make_shared<cMdfBlock_TX>();
  tx->setData(name);
  cn->name = tx;
  cn->setByteOffset(byteOffset);
  cn->setBitOffset(bitOffset);
  cn->setBitLength(bits);
  cn->setDataType(dataType);
  return cn;
}

std::vector<std::string> names(const std::vector<cMdfDecodeRule>& rules) {
  std::vector<std::string> out;
  for (const auto& r : rules) out.push_back(r.name);
  return out;
}

std::vector<std::string>* gLines = nullptr;
void captureLine(const char* line, int len) {
  if (gLines) gLines->emplace_back(line, static_cast<size_t>(len));
}

TEST(cMdfDecodeRule, LeafChannelGivesPositionEncodingAndRole) {
  struct Case {
    uint8_t dataType;  // getter numbering: stored code + 1
    cMdfValueKind kind;
    bool littleEndian;
    bool warned;
  };
  const Case cases[] = {
      {1, cMdfValueKind::Unsigned, true, false},  {2, cMdfValueKind::Unsigned, false, false},
      {5, cMdfValueKind::Float, true, false},     {6, cMdfValueKind::Float, false, false},
      {11, cMdfValueKind::ByteArray, true, false}, {3, cMdfValueKind::Unsigned, false, true},
      {4, cMdfValueKind::Unsigned, false, true},  {7, cMdfValueKind::Unsigned, false, true},
  };
  std::vector<std::string> lines;
  gLines = &lines;
  zf_log_set_output_callback(captureLine);
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.dataType));
    lines.clear();
    auto cn = channel("CAN_DataFrame.ID", 5, 3, 29, c.dataType);
    std::vector<cMdfDecodeRule> rules;
    createDecodingRulesInner(*cn, rules);
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].bitOffset, 43u);
    EXPECT_EQ(rules[0].bitCount, 29u);
    EXPECT_EQ(rules[0].role, Role::CanId);
    EXPECT_EQ(rules[0].valueKind, c.kind);
    EXPECT_EQ(rules[0].littleEndian, c.littleEndian);
    EXPECT_EQ(rules[0].vlsdDataLink, nullptr);
    const std::string warning = "Unsupported channel data type: " + std::to_string(c.dataType);
    EXPECT_EQ(lines.size() == 1 && lines[0].find(warning) != std::string::npos, c.warned);
  }
  zf_log_set_output_callback(nullptr);
  gLines = nullptr;
}

TEST(cMdfDecodeRule, StructureChannelYieldsItsLeavesInOrder) {
  auto frame = channel("CAN_DataFrame", 0, 0, 0, 11);
  auto flags = channel("CAN_DataFrame.Flags", 0, 0, 0, 11);
  flags->composition = {channel("CAN_DataFrame.IDE", 4, 7, 1), channel("CAN_DataFrame.EDL", 5, 0, 1)};
  frame->composition = {channel("CAN_DataFrame.ID", 0, 0, 29), flags,
                        channel("CAN_DataFrame.DataBytes", 6, 0, 64, 11)};
  std::vector<cMdfDecodeRule> rules;
  createDecodingRulesInner(*channel("Timestamp", 0, 0, 64, 5), rules);
  createDecodingRulesInner(*frame, rules);
  EXPECT_EQ(names(rules), (std::vector<std::string>{"Timestamp", "CAN_DataFrame.ID", "CAN_DataFrame.IDE",
                                                    "CAN_DataFrame.EDL", "CAN_DataFrame.DataBytes"}));
  cMdfDecoder decoder = nullptr;
  EXPECT_TRUE(getOptimalDecoder(rules, decoder));
  EXPECT_EQ(decoder, cMdfDecoders_decodeCanDataFrame);
}

TEST(cMdfDecodeRule, DeepCompositionIsWalkedWithoutRecursion) {
  const int depth = 1000;
  auto root = channel("CAN_DataFrame", 0, 0, 0);
  cMdfBlock_CN* at = root.get();
  for (int i = 0; i < depth; ++i) {
    auto child = channel("CAN_DataFrame.S", 0, 0, 0);
    at->composition.push_back(child);
    at = child.get();
  }
  at->composition.push_back(channel("CAN_DataFrame.ID", 0, 0, 11));
  std::vector<cMdfDecodeRule> rules;
  createDecodingRulesInner(*root, rules);
  EXPECT_EQ(names(rules), std::vector<std::string>{"CAN_DataFrame.ID"});
  // Release the chain from the bottom so destruction does not recurse deeply.
  std::vector<std::shared_ptr<cMdfBlock_CN>> keep;
  for (cMdfBlock_CN* c = root.get(); !c->composition.empty(); c = keep.back().get())
    keep.push_back(c->composition.front());
  for (auto it = keep.rbegin(); it != keep.rend(); ++it) (*it)->composition.clear();
}

TEST(cMdfDecodeRule, OnlyVlsdChannelsKeepTheirSignalDataLink) {
  auto sd = std::make_shared<cMdfBlock_SD>();
  for (uint8_t type : {0, 1, 2}) {
    SCOPED_TRACE(static_cast<int>(type));
    auto cn = channel("CAN_DataFrame.DataBytes", 0, 0, 64, 11);
    cn->setChannelType(type);
    cn->signalData = sd;
    std::vector<cMdfDecodeRule> rules;
    createDecodingRulesInner(*cn, rules);
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].vlsdDataLink, type == 1 ? sd.get() : nullptr);
  }
}

TEST(cMdfDecodeRule, ConversionBlocksBecomeRules) {
  const double nan = std::nan("");
  struct Case {
    const char* what;
    int type;  // -1: no block
    std::vector<double> values;
    std::vector<std::pair<double, double>> conversions;  // in -> out (NaN: NaN)
  };
  const Case cases[] = {
      {"no block", -1, {}, {{10, 10}}},
      {"linear offset 0.5 factor 2", 1, {0.5, 2}, {{10, 20.5}, {0, 0.5}}},
      {"linear with one value", 1, {3}, {{10, 10}}},
      {"value table, first of a key counts", 5, {1, 100, 2, 200, 1, 300},
       {{1, 100}, {2, 200}, {3, nan}}},
      {"value table with odd count", 5, {1, 100, 2}, {{1, 100}, {2, nan}}},
      {"empty value table", 5, {}, {{0, nan}}},
      {"identity type", 0, {}, {{7, 7}}},
      {"rational (unsupported)", 3, {1, 2, 3, 4, 5, 6}, {{7, 7}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto cn = channel("CAN_DataFrame.ID", 0, 0, 8);
    if (c.type >= 0) {
      auto cc = std::make_shared<cMdfBlock_CC>();
      cc->type = static_cast<uint8_t>(c.type);
      cc->values = c.values;
      cn->conversion = cc;
    }
    std::vector<cMdfDecodeRule> rules;
    createDecodingRulesInner(*cn, rules);
    ASSERT_EQ(rules.size(), 1u);
    for (auto [in, out] : c.conversions) {
      const double got = rules[0].conversion.convert(in);
      if (std::isnan(out)) {
        EXPECT_TRUE(std::isnan(got)) << in << " -> " << got;
      } else {
        EXPECT_EQ(got, out) << in;
      }
    }
  }
  auto cc = std::make_shared<cMdfBlock_CC>();
  cc->setLinear(1.0, 4.0);
  EXPECT_EQ(cMdfBlock_CC_getConversionRule(cc.get()).convert(2), 9.0);
}

}  // namespace
