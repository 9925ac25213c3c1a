#include "mdf/mdf_decode_rule.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

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
      {"CAN_RemoteFrame.BusChannel", Role::CanBusChannel},
      {"CAN_DataFrame.DataBytes", Role::CanDataBytes},
      {"CAN_RemoteFrame.DataLength", Role::CanDataLength},
      {"CAN_RemoteFrame.Dir", Role::CanDir},
      {"CAN_DataFrame.DLC", Role::CanDlc},
      {"CAN_DataFrame.EDL", Role::CanEdl},
      {"CAN_ErrorFrame.ErrorType", Role::CanErrorType},
      {"CAN_DataFrame.ESI", Role::CanEsi},
      {"CAN_RemoteFrame.ID", Role::CanId},
      {"CAN_DataFrame.IDE", Role::CanIde},
      {"LIN_Frame.BusChannel", Role::LinBusChannel},
      {"LIN_Frame.DataBytes", Role::LinDataBytes},
      {"LIN_Frame.DataLength", Role::LinDataLength},
      {"LIN_Frame.Dir", Role::LinDir},
      {"LIN_Frame.ID", Role::LinId},
      {"LIN_Frame.ReceivedDataByteCount", Role::LinReceivedDataByteCount},
      {"Timestamp", Role::Timestamp},
      // Near misses: case, prefixes of other kinds, padding, empty.
      {"CAN_DataFrame.Id", Role::None},
      {"timestamp", Role::None},
      {"CAN_RemoteFrame.BRS", Role::None},
      {"CAN_ErrorFrame.ID", Role::None},
      {"CAN_DataFrame.ID ", Role::None},
      {"CAN_DataFrame", Role::None},
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
      {{"CAN_ErrorFrame.ErrorType"}, cMdfDecoders_decodeCanErrorFrame, true},
      {{"LIN_Frame.ID"}, cMdfDecoders_decodeLinFrame, true},
      {{"LIN_ChecksumError.ID"}, cMdfDecoders_decodeLinChecksumError, true},
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

TEST(cMdfConversionRule, ConvertsByKind) {
  const double nan = std::nan("");
  struct Case {
    cMdfConversionRule rule;
    double in;
    double out;  // NaN: expect NaN
  };
  const Case cases[] = {
      {cMdfConversionRule_default(), 10, 10},
      {cMdfConversionRule{}, -3.5, -3.5},
      {cMdfConversionRule_linear(2, 0.5), 10, 20.5},
      {cMdfConversionRule_linear(0, 7), 123, 7},
      {cMdfConversionRule_lookupTable({{1, 100}, {2, 200}}), 1, 100},
      {cMdfConversionRule_lookupTable({{1, 100}, {2, 200}}), 2, 200},
      {cMdfConversionRule_lookupTable({{1, 100}, {2, 200}}), 3, nan},
      {cMdfConversionRule_lookupTable({{1, 100}}), 1.0000001, nan},
      {cMdfConversionRule_lookupTable({}), 0, nan},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    const double got = c.rule.convert(c.in);
    if (std::isnan(c.out)) {
      EXPECT_TRUE(std::isnan(got)) << got;
    } else {
      EXPECT_EQ(got, c.out);
    }
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

}  // namespace
