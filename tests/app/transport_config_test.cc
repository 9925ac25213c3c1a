// Registration of the databases' transport-protocol and MUXTP messages with
// the transport layers: whether the layers are needed, and the channel map
// of the MUXTP parameter.
#include "app/transport_config.h"

#include <gtest/gtest.h>

#include <array>
#include <utility>

#include "bus/test_frames.h"
#include "support/log_capture.h"
#include "support/recording_layer.h"

namespace {

using namespace bustest;

// Configures the layers, wired as the driver wires them, from a database on
// channel 1 holding message 0x700, and sends `frames`: whether the layers
// are needed, and channel and payload of what reached the decoder.
std::pair<bool, std::vector<std::pair<int, Bytes>>> run(cDBBusKind busKind, cDBTransport transport,
                                                        const char* parameter, std::vector<cBusMsg> frames) {
  RecordingLayer decoder;
  cBusLayerMux mux(&decoder, nullptr);
  cBusLayerTp tp(&mux);
  EXPECT_TRUE(mux.setPhyLayer(&tp));
  cDBMap databases;
  cDB& db = *databases[1].emplace_back(std::make_unique<cDB>(busKind));
  EXPECT_NE(cDB_messageAdd(&db, "M", 0x700, 8, transport, parameter, 0), nullptr);
  const bool needed = configureTransportLayers(databases, tp, mux);
  for (cBusMsg& f : frames) EXPECT_TRUE(tp.newMsg(f));
  std::vector<std::pair<int, Bytes>> got;
  for (const cBusMsg& m : decoder.msgs) got.emplace_back(m.channel, m.data);
  return {needed, got};
}

TEST(ConfigureTransportLayers, LayersAreNeededForJ1939DatabasesAndTransportMessages) {
  const Bytes sf = {0x02, 0xAB, 0xCD};
  EXPECT_EQ(run(cDBBusKind::Can, cDBTransport::None, "", frames(0x700, {sf})), std::pair(false, std::vector{std::pair(1, sf)}));
  EXPECT_EQ(run(cDBBusKind::Can, cDBTransport::IsoTp, "", frames(0x700, {sf})), std::pair(true, std::vector{std::pair(1, Bytes{0xAB, 0xCD})}));
  EXPECT_TRUE(run(cDBBusKind::Can, cDBTransport::NmeaFastPacket, "", {}).first);
  EXPECT_EQ(run(cDBBusKind::J1939, cDBTransport::None, "", j1939Transfer(0xFEF1, ramp(9))),
            std::pair(true, std::vector{std::pair(1, ramp(9))}));
}

TEST(ConfigureTransportLayers, MuxParameterGivesTheChannelMap) {
  const std::array<uint8_t, 4> invalid{};
  const std::pair<const char*, std::array<uint8_t, 4>> cases[] = {  // channels of tunnelled indices 0 to 3
      {"MUXTP#2:3:4:5", {2, 3, 4, 5}},
      {"MUXTP#256:257:1000:0", {0, 1, 232, 0}},  // low byte; channel 1 is the carrier's own
      {"MUXTP#18446744073709551617:0002:9:10", {1, 2, 9, 10}},
      {"MUXTP#2:3:4", invalid},     {"MUXTP#2:3:4:5:6", invalid}, {"MUXTP#2:3:4:5 ", invalid},
      {"MUXTP#2:3:4:5\n", invalid}, {" MUXTP#2:3:4:5", invalid},  {"muxtp#2:3:4:5", invalid},
      {"MUXTP#2:3:-4:5", invalid},  {"MUXTP#2:3::5", invalid},    {"MUXTP#0x2:3:4:5", invalid},
      {"MUXTP#2;3;4;5", invalid},   {"", invalid},                {"MUXTP#\xB2:3:4:5", invalid}};
  Bytes carried;  // one frame per channel index, its byte the index
  for (uint8_t index = 0; index < 4; ++index) carried.insert(carried.end(), {uint8_t(index << 5), 0x81, 0x23, index});
  for (const auto& [text, channels] : cases) {
    SCOPED_TRACE(text);
    LogCapture log;
    std::vector<std::pair<int, Bytes>> expected;
    for (uint8_t i = 0; i < 4 && channels != invalid; ++i) {
      if (channels[i] != 1) expected.push_back({channels[i], {i}});
    }
    if (channels == invalid) expected.push_back({1, carried});  // reassembled, passed on whole
    EXPECT_EQ(run(cDBBusKind::Can, cDBTransport::MuxTp, text, frames(0x700, isoTpFrames(carried))), std::pair(true, expected));
    EXPECT_EQ(log.messages(), channels == invalid ? std::vector<std::string>{"E Failed to add MUX config"}
                                                  : std::vector<std::string>{});
  }
}

}  // namespace
