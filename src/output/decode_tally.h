// What the decoder made of each bus channel's frames, for the closing
// summary: messages decoded per channel and per database of the channel, and
// the identifiers of the frames that no database of their channel knows.
//
// "Decoded" counts the messages that reach the decoder and that a database
// of their channel knows (the message is in it and not ignored), whether or
// not a row is written (all values out of their limits) and whether or not
// the input's rows are later rolled back.  A frame that several databases
// know counts once for the channel and once for each of those databases.  A
// transport-protocol message counts once, as the message reassembled from its
// frames: those frames are read but not decoded one by one, so a channel that
// carries transport protocols shows fewer messages decoded than frames read.
// A frame unpacked from a multiplexed-transport carrier counts on the channel
// it is mapped to, the carrier itself not at all.
//
// Unknown identifiers are kept per channel (and standard or extended) for at
// most kMaxIdentifiers distinct pairs; frames with a further new identifier
// are only counted as unknown.  Known frames cost two increments.
#pragma once

#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "bus/bus_channels.h"

struct cIdentifierCount {
  uint32_t id = 0;
  bool extended = false;
  uint64_t frames = 0;
};

class cDecodeTally {
 public:
  static constexpr size_t kMaxIdentifiers = 65536;

  // A message of channel `slot` (cBusChannel_slot) that the database at
  // `index` (load order) of its channel knows.
  void decodedBy(size_t slot, size_t index) {
    if (index < kInlineDatabases)
      ++firstDatabases_[slot][index];
    else
      countFurtherDatabase(slot, index);
  }
  // Ends the decoding of a message of channel `slot`: decoded by some
  // database, or not.
  void finish(const cBusMsg& msg, size_t slot, bool decoded) {
    if (decoded)
      ++decoded_[slot];
    else
      countUnknown(msg, slot);
  }

  uint64_t decoded(size_t slot) const { return decoded_[slot]; }
  // Adds the counts of another tally (a worker's); identifiers beyond
  // kMaxIdentifiers are counted, not listed, as in one tally.
  void add(const cDecodeTally& other);
  // Messages the database at `index` of the channel decoded.
  uint64_t decodedBy(size_t slot, size_t index) const;
  uint64_t unknown(size_t slot) const { return unknown_[slot]; }
  // The unknown identifiers of a channel, most frames first, then standard
  // before extended and by identifier.
  std::vector<cIdentifierCount> unknownIdentifiers(size_t slot) const;

 private:
  // Databases of a channel counted in place; the later ones in a map.
  static constexpr size_t kInlineDatabases = 4;

  void countFurtherDatabase(size_t slot, size_t index);
  void countUnknown(const cBusMsg& msg, size_t slot);

  std::array<uint64_t, kBusChannelSlots> decoded_{};
  std::array<uint64_t, kBusChannelSlots> unknown_{};
  std::array<std::array<uint64_t, kInlineDatabases>, kBusChannelSlots> firstDatabases_{};
  // Key: slot << 32 | index.
  std::unordered_map<uint64_t, uint64_t> furtherDatabases_;
  // Key: slot << 32 | extended << 31 | identifier.
  std::unordered_map<uint64_t, uint64_t> identifiers_;
};
