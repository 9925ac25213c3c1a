// Pass-through until the unpacking lands.
#include "bus/bus_layer_mux.h"

struct cBusLayerMux::State {};

cBusLayerMux::cBusLayerMux(cBusLayer* next, cBusLayer* phy)
    : next_(next), phy_(phy), state_(std::make_unique<State>()) {}
cBusLayerMux::~cBusLayerMux() = default;

bool cBusLayerMux::setPhyLayer(cBusLayer* phy) {
  if (phy == nullptr) return false;
  phy_ = phy;
  return true;
}
bool cBusLayerMux::addConfig(uint32_t busKind, uint8_t, uint32_t, const std::array<uint8_t, 4>&) {
  return busKind == 1;
}
bool cBusLayerMux::newMsg(cBusMsg& msg) { return next_ != nullptr && next_->newMsg(msg); }
bool cBusLayerMux::newFile(const cLogFileInfo& info, bool continuation) {
  return next_ != nullptr && next_->newFile(info, continuation);
}
bool cBusLayerMux::endFile(const cLogFileInfo& info) {
  return next_ != nullptr && next_->endFile(info);
}

std::unique_ptr<cBusLayerMux> cBusLayerMux_ctor(cBusLayer* next, cBusLayer* phy) {
  return std::make_unique<cBusLayerMux>(next, phy);
}
