// Multiplexed-transport layer: unpacks the CAN and CAN FD frames tunnelled in
// registered MUXTP messages and feeds each one back into its phy layer (the
// transport-protocol layer) as if it had been logged on the channel that its
// tunnelled channel index maps to; everything else passes on to the next
// layer.
//
// Tunnelled frame, packed one after another in the carrier's payload:
//   byte 0: channel index (bits 7-5), IDE (4), EDL (3), DLC bits 3-1 (2-0)
//   byte 1: DLC bit 0 (7), direction (6), RTR or, for FD, BRS (5),
//           identifier bits 28-24 (extended) or 10-8 (standard, bits 2-0)
//   byte 2: identifier bits 23-16 (extended) or 7-0 (standard)
//   bytes 3, 4: identifier bits 15-8 and 7-0 (extended only)
//   then the data bytes of the DLC; none for a classic remote frame.
// A byte 0 whose low five bits are 00111 ends the list (padding).  A frame
// cut short ends the unpacking of its carrier quietly.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "bus/bus_msg.h"
#include "db/db_kinds.h"

class cBusLayerMux final : public cBusLayer {
 public:
  // Both layers are borrowed and must outlive this one; `phy` may be null
  // (unpacked frames are then dropped) and set later.
  cBusLayerMux(cBusLayer* next, cBusLayer* phy);
  ~cBusLayerMux() override;

  // True when a phy layer was given (and stored).
  bool setPhyLayer(cBusLayer* phy);

  // Registers a MUXTP carrier: channelMap[i] is the bus channel of tunnelled
  // channel index i.  Only the CAN bus kind is accepted.  True when
  // stored or already present (the first registration stands); false, with
  // "Failed to configure MUX message (channel: %u, key: %X)" logged when it
  // cannot be stored.
  bool addConfig(cDBBusKind busKind, uint8_t channel, uint32_t key,
                 const std::array<uint8_t, 4>& channelMap);

  // A registered carrier (CAN data frame) is unpacked and not passed on; the
  // result is true unless a delivery to the phy layer failed.  Frames with a
  // channel index of 4 to 7, or mapped onto the carrier's own channel, are
  // skipped.  Every other message goes to the next layer, with its result.
  bool newMsg(cBusMsg& msg) override;
  bool newFile(const cLogFileInfo& info, bool continuation) override;
  bool endFile(const cLogFileInfo& info) override;

 private:
  struct Key {
    uint8_t channel;
    uint32_t key;
    auto operator<=>(const Key&) const = default;
  };

  bool unpack(const cBusMsg& carrier, const std::array<uint8_t, 4>& channelMap);
  cBusMsg& recordForDepth();

  cBusLayer* next_;
  cBusLayer* phy_;
  std::map<Key, std::array<uint8_t, 4>> config_;
  // One record per nesting level of carriers, reused from frame to frame.
  std::vector<std::unique_ptr<cBusMsg>> records_;
  size_t depth_ = 0;
};

// The layer, or null when it cannot be made.
std::unique_ptr<cBusLayerMux> cBusLayerMux_ctor(cBusLayer* next, cBusLayer* phy);
