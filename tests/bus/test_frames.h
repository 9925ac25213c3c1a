// Frame builders for transport-protocol tests: CAN frames, numbered payloads
// and the frames of segmented ISO-TP, J1939 and fast-packet messages.
#pragma once

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

#include "bus/bus_msg.h"

namespace bustest {

using Bytes = std::vector<uint8_t>;

// A CAN data frame; identifiers above 0x7FF are 29-bit ones.
inline cBusMsg canFrame(uint32_t id, Bytes data, uint8_t channel = 1) {
  return {.timeStamp = 1.5, .channel = channel, .id = id, .data = std::move(data),
          .type = cBusMsgType::BUS_MSG_CAN_DATA_FRAME, .can = {.ide = id > 0x7FF}, .lin = {}, .canError = {}};
}

inline std::vector<cBusMsg> frames(uint32_t id, const std::vector<Bytes>& data, uint8_t channel = 1) {
  std::vector<cBusMsg> out;
  for (const Bytes& d : data) out.push_back(canFrame(id, d, channel));
  return out;
}

// Bytes first, first + 1, ... (mod 256): every byte shows where it came from.
inline Bytes ramp(size_t n, uint8_t first = 0) {
  Bytes v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

inline Bytes cat(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// `head` with the first `first` bytes of `payload`, then frames of the byte
// next(i) (i from 1) and `chunk` more bytes each, the last one padded.
template <typename Next>
std::vector<Bytes> segments(const Bytes& payload, Bytes head, size_t first, size_t chunk, Next next) {
  first = std::min(first, payload.size());
  std::vector<Bytes> out{cat(std::move(head), Bytes(payload.begin(), payload.begin() + first))};
  for (size_t at = first, i = 1; at < payload.size(); at += chunk, ++i) {
    Bytes f{next(i)};
    for (size_t k = 0; k < chunk; ++k) f.push_back(at + k < payload.size() ? payload[at + k] : 0xCC);
    out.push_back(f);
  }
  return out;
}

// ISO-TP first frame (12-bit length, or the 32-bit escape) and consecutive
// frames, counter from 1.
inline std::vector<Bytes> isoTpFrames(const Bytes& payload, bool escape = false) {
  const size_t n = payload.size();
  return segments(payload,
                  escape ? Bytes{0x10, 0, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)}
                         : Bytes{uint8_t(0x10 | (n >> 8)), uint8_t(n)},
                  escape ? 2 : 6, 7, [](size_t i) { return uint8_t(0x20 | (i & 0x0F)); });
}

// Fast packet with sequence counter `seq`: frame 0 holds the size and six
// bytes, later frames seven.
inline std::vector<Bytes> fastPacketFrames(const Bytes& payload, uint8_t seq) {
  std::vector<Bytes> out = segments(payload, {uint8_t(seq << 5), uint8_t(payload.size())}, 6, 7,
                                    [seq](size_t i) { return uint8_t((seq << 5) | (i & 0x1F)); });
  out[0].resize(8, 0xCC);
  return out;
}

// J1939 connection management (TP.CM) of `size` bytes of group `pgn`.
inline Bytes j1939Announce(uint8_t control, size_t size, uint32_t pgn) {
  return {control, uint8_t(size), uint8_t(size >> 8), uint8_t((size + 6) / 7), 0xFF,
          uint8_t(pgn), uint8_t(pgn >> 8), uint8_t(pgn >> 16)};
}

// J1939 data transfer (TP.DT) packets: sequence number, seven bytes.
inline std::vector<Bytes> j1939Packets(const Bytes& payload) {
  std::vector<Bytes> out = segments(payload, {}, 0, 7, [](size_t i) { return uint8_t(i); });
  out.erase(out.begin());
  return out;
}

// A J1939 transfer (group `pgn`, `src` to `dst`): broadcast announce or
// request to send, then the data packets with priority `prio`.
inline std::vector<cBusMsg> j1939Transfer(uint32_t pgn, const Bytes& payload, uint8_t src = 0,
                                          uint8_t dst = 0xFF, uint32_t prio = 7) {
  const uint32_t addr = (uint32_t{dst} << 8) | src;
  std::vector<cBusMsg> out =
      frames(0x1CEC0000 | addr, {j1939Announce(dst == 0xFF ? 0x20 : 0x10, payload.size(), pgn)});
  for (const cBusMsg& dt : frames((prio << 26) | 0xEB0000 | addr, j1939Packets(payload))) out.push_back(dt);
  return out;
}

}  // namespace bustest
