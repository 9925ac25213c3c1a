// Inputs of the end-to-end benchmark: DBC texts and log descriptions for the
// log writer, for plain CAN traffic and for transport-protocol traffic.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Start of every benchmark log: 2024-03-05 08:00:00 UTC, in nanoseconds.
inline constexpr uint64_t kBenchStartNs = 1709625600ull * 1000000000ull;

// `count` CAN identifiers: the first half standard (11-bit), the rest
// extended (29-bit, all above 0x7FF, so the writer sets IDE for them).
std::vector<uint32_t> benchCanIds(int count);

// A CAN DBC with one 8-byte message per identifier of `ids` (only the first
// `decoded` of them; -1 for all), each with 8 signals, Intel and Motorola
// byte order mixed, signed and unsigned, various factors and offsets; every
// value of any payload lies within the signals' limits.
std::string benchCanDbc(const std::vector<uint32_t>& ids, int decoded = -1);

// Number of signals per message of benchCanDbc.
inline constexpr int kBenchSignalsPerMessage = 8;

// A log description of `frames` classic CAN frames in two data groups
// (channels 1 and 2, 1000 and 1100 frames per second), each cycling through
// all of `ids`; the frames are generated while the file is written.
std::string benchBulkDescription(uint64_t frames, const std::vector<uint32_t>& ids);

// Transport-protocol traffic: `isoTpMessages` ISO-TP transfers of 100 bytes
// (first frame, a flow control frame of the other direction, 14 consecutive
// frames) on channel 1, alternating with `bamMessages` J1939 broadcast
// transfers of 20 bytes (announcement and 3 data frames) from 4 source
// addresses on channel 2.
struct cTpTraffic {
  uint64_t isoTpMessages = 0;
  uint64_t bamMessages = 0;
  uint64_t frames() const { return isoTpMessages * 16 + bamMessages * 4; }
};

// Log description of `traffic` (held in memory: about 60 bytes per frame).
std::string tpDescription(const cTpTraffic& traffic);

// The DBC of channel 1 for tpDescription: the 100-byte diagnostic response,
// carried by ISO-TP.
std::string tpCanDbc();

// The J1939 DBC of channel 2 for tpDescription: the 20-byte parameter group
// carried by broadcast transfers.
std::string tpJ1939Dbc();
