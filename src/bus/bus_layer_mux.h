// Multiplexed-transport layer: unpacks the CAN frames tunnelled in registered
// MUXTP messages and feeds them back into its phy layer (the transport-
// protocol layer); everything else passes on to the next layer.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "bus/bus_msg.h"

class cBusLayerMux final : public cBusLayer {
 public:
  // Both layers are borrowed; `phy` may be null and set later.
  cBusLayerMux(cBusLayer* next, cBusLayer* phy);
  ~cBusLayerMux() override;

  // True when a phy layer was given.
  bool setPhyLayer(cBusLayer* phy);

  // Registers a MUXTP carrier: channelMap[i] is the bus channel of tunnelled
  // channel index i.  Only database bus kind 1 (CAN) is accepted.  True when
  // stored or already present.
  bool addConfig(uint32_t busKind, uint8_t channel, uint32_t key,
                 const std::array<uint8_t, 4>& channelMap);

  bool newMsg(cBusMsg& msg) override;
  bool newFile(const cLogFileInfo& info, bool continuation) override;
  bool endFile(const cLogFileInfo& info) override;

 private:
  struct State;
  cBusLayer* next_;
  cBusLayer* phy_;
  std::unique_ptr<State> state_;
};

std::unique_ptr<cBusLayerMux> cBusLayerMux_ctor(cBusLayer* next, cBusLayer* phy);
