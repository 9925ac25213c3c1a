#include "app/transport_config.h"

#include <re2/re2.h>

#include <string_view>

#include "base/log.h"
#include "db/j1939.h"
#include "db/message_key.h"

namespace {

// Value of a decimal digit string truncated to its low 8 bits (the digits'
// value modulo 256, however long the string).
uint8_t lowByteOfDecimal(std::string_view digits) {
  uint32_t value = 0;
  for (char c : digits) value = (value * 10 + static_cast<uint32_t>(c - '0')) & 0xFFu;
  return static_cast<uint8_t>(value);
}

// Channel map of a MUXTP parameter text "MUXTP#a:b:c:d": entry i is the bus
// channel of tunnelled channel index i.  False when the text does not match.
bool parseChannelMap(const std::string& text, std::array<uint8_t, 4>& channelMap) {
  static const RE2 kPattern = [] {
    RE2::Options options;
    options.set_encoding(RE2::Options::EncodingLatin1);
    options.set_log_errors(false);
    return RE2(R"(^MUXTP#(\d+)\:(\d+)\:(\d+)\:(\d+)$)", options);
  }();
  re2::StringPiece captures[4];
  if (!RE2::PartialMatch(text, kPattern, &captures[0], &captures[1], &captures[2], &captures[3])) {
    return false;
  }
  for (size_t i = 0; i < 4; ++i) {
    channelMap[i] = lowByteOfDecimal(std::string_view(captures[i].data(), captures[i].size()));
  }
  return true;
}

void configureMessage(cDBBusKind busKind, uint8_t channel, uint32_t key, const cDBMessage& message,
                      cBusLayerTp& tp, cBusLayerMux& mux) {
  if (!tp.addConfig(busKind, channel, key, message.transportType)) {
    LOG_ERROR("Failed to add TP config");
  }
  if (message.transportType != cDBTransport::MuxTp) return;
  std::array<uint8_t, 4> channelMap{};
  if (!parseChannelMap(message.transportParameter, channelMap) ||
      !mux.addConfig(cDBBusKind::Can, channel, key, channelMap)) {
    LOG_ERROR("Failed to add MUX config");
  }
}

}  // namespace

bool configureTransportLayers(const cDBMap& canDatabases, cBusLayerTp& tp, cBusLayerMux& mux) {
  bool needed = false;
  for (const auto& [channel, databases] : canDatabases) {
    for (const std::unique_ptr<cDB>& db : databases) {
      if (db == nullptr) continue;
      if (db->busKind() == cDBBusKind::J1939) {
        // Connection management (TP.CM); data transfer frames are looked up
        // under the same key.
        needed = true;
        const uint32_t key = cDB_can_pgn_id2key(kJ1939PgnTpConnection << 8, 1);
        if (!tp.addConfig(cDBBusKind::J1939, channel, key, cDBTransport::J1939)) {
          LOG_ERROR("Failed to add TP config");
        }
      }
      for (const auto& [key, message] : db->messages()) {
        if (message.transportType == cDBTransport::None) continue;
        needed = true;
        configureMessage(db->busKind(), channel, key, message, tp, mux);
      }
    }
  }
  return needed;
}
