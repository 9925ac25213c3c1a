// Transport-protocol layer: reassembles ISO-TP, J1939 transport-protocol and
// NMEA 2000 fast-packet sessions of registered messages and passes every
// other frame on unchanged.
#pragma once

#include <cstdint>
#include <memory>

#include "bus/bus_msg.h"

struct cBusLayerTpStatistics {
  uint64_t successful = 0;
  uint64_t failed = 0;
  uint64_t unfinished = 0;
};

class cBusLayerTp final : public cBusLayer {
 public:
  // `next` is borrowed and must outlive the layer.
  explicit cBusLayerTp(cBusLayer* next);
  ~cBusLayerTp() override;

  // Registers a message for reassembly.  databaseKind: 1 CAN, 2 J1939, 3 LIN;
  // tpType: 1 J1939 TP, 3 NMEA fast packet, 4 ISO-TP, 5 MUXTP.  True also when
  // the entry already exists (the first registration stands).
  bool addConfig(uint32_t databaseKind, uint8_t channel, uint32_t key, uint32_t tpType);

  // Counters; `unfinished` is refreshed to the number of open sessions.
  const cBusLayerTpStatistics& getStatistics();

  bool newMsg(cBusMsg& msg) override;
  bool newFile(const cLogFileInfo& info, bool continuation) override;
  bool endFile(const cLogFileInfo& info) override;

 private:
  struct State;
  cBusLayer* next_;
  std::unique_ptr<State> state_;
  cBusLayerTpStatistics statistics_;
};

std::unique_ptr<cBusLayerTp> cBusLayerTp_ctor(cBusLayer* next);
