// Pass-through until the reassembly sessions land.
#include "bus/bus_layer_tp.h"

struct cBusLayerTp::State {};

cBusLayerTp::cBusLayerTp(cBusLayer* next) : next_(next), state_(std::make_unique<State>()) {}
cBusLayerTp::~cBusLayerTp() = default;

bool cBusLayerTp::addConfig(uint32_t, uint8_t, uint32_t, uint32_t) { return true; }
const cBusLayerTpStatistics& cBusLayerTp::getStatistics() { return statistics_; }
bool cBusLayerTp::newMsg(cBusMsg& msg) { return next_ != nullptr && next_->newMsg(msg); }
bool cBusLayerTp::newFile(const cLogFileInfo& info, bool continuation) {
  return next_ != nullptr && next_->newFile(info, continuation);
}
bool cBusLayerTp::endFile(const cLogFileInfo& info) {
  return next_ != nullptr && next_->endFile(info);
}

std::unique_ptr<cBusLayerTp> cBusLayerTp_ctor(cBusLayer* next) {
  return std::make_unique<cBusLayerTp>(next);
}
