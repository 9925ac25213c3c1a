#include "bus/bus_layer_mux.h"

#include <new>

#include "base/log.h"
#include "db/message_key.h"

namespace {

// One tunnelled frame's header, decoded.
struct Tunnelled {
  uint8_t channelIndex;
  bool ide, edl, dir, flag;  // flag: RTR for classic frames, BRS for FD
  uint8_t dlc;
  uint32_t id;
  size_t headerBytes;
  size_t dataBytes;
};

// Decodes the frame at the start of `p`; false at padding or when the frame
// does not fit in `p`.
bool decodeTunnelled(std::span<const uint8_t> p, Tunnelled& t) {
  const uint8_t b0 = p[0];
  if ((b0 & 0x1Fu) == 0x07u) return false;
  t.ide = (b0 & 0x10u) != 0;
  t.headerBytes = t.ide ? 5 : 3;
  if (p.size() < t.headerBytes) return false;
  const uint8_t b1 = p[1];
  t.channelIndex = b0 >> 5;
  t.edl = (b0 & 0x08u) != 0;
  t.dlc = static_cast<uint8_t>(((b0 & 0x07u) << 1) | (b1 >> 7));
  t.dir = (b1 & 0x40u) != 0;
  t.flag = (b1 & 0x20u) != 0;
  t.id = t.ide ? (uint32_t{b1 & 0x1Fu} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 8) | p[4]
               : (uint32_t{b1 & 0x07u} << 8) | p[2];
  const bool remote = !t.edl && t.flag;
  t.dataBytes = remote ? 0 : cCanMsg_dlcToNob(t.dlc);
  return p.size() - t.headerBytes >= t.dataBytes;
}

void fillRecord(const Tunnelled& t, std::span<const uint8_t> data, double timeStamp,
                uint8_t channel, cBusMsg& rec) {
  rec.timeStamp = timeStamp;
  rec.channel = channel;
  rec.id = t.id;
  const bool remote = !t.edl && t.flag;
  rec.type = remote ? cBusMsgType::BUS_MSG_CAN_REMOTE_FRAME : cBusMsgType::BUS_MSG_CAN_DATA_FRAME;
  rec.clearTypeArea();
  rec.can.ide = t.ide;
  rec.can.dir = t.dir;
  rec.can.edl = t.edl;
  rec.can.brs = t.edl && t.flag;
  rec.can.rtr = remote;
  rec.can.dlc = t.dlc;
  rec.data.assign(data.begin(), data.end());
}

}  // namespace

cBusLayerMux::cBusLayerMux(cBusLayer* next, cBusLayer* phy) : next_(next), phy_(phy) {}
cBusLayerMux::~cBusLayerMux() = default;

bool cBusLayerMux::setPhyLayer(cBusLayer* phy) {
  if (phy == nullptr) return false;
  phy_ = phy;
  return true;
}

bool cBusLayerMux::addConfig(cDBBusKind busKind, uint8_t channel, uint32_t key,
                             const std::array<uint8_t, 4>& channelMap) {
  if (busKind != cDBBusKind::Can) return false;
  try {
    config_.try_emplace(Key{channel, key}, channelMap);
  } catch (const std::bad_alloc&) {
    LOG_ERROR("Failed to configure MUX message (channel: %u, key: %X)", channel, key);
    return false;
  }
  return true;
}

bool cBusLayerMux::newMsg(cBusMsg& msg) {
  if (msg.type == cBusMsgType::BUS_MSG_CAN_DATA_FRAME) {
    auto cfg = config_.find(Key{msg.channel, cDB_can_id2key(msg.id, msg.can.ide)});
    if (cfg != config_.end()) return msg.data.empty() || unpack(msg, cfg->second);
  }
  return next_ != nullptr && next_->newMsg(msg);
}

cBusMsg& cBusLayerMux::recordForDepth() {
  if (records_.size() < depth_) records_.push_back(std::make_unique<cBusMsg>());
  return *records_[depth_ - 1];
}

bool cBusLayerMux::unpack(const cBusMsg& carrier, const std::array<uint8_t, 4>& channelMap) {
  // Frames delivered from here may come back through the phy layer with a
  // carrier of their own: each nesting level has its own record.
  ++depth_;
  cBusMsg& rec = recordForDepth();
  const std::span<const uint8_t> payload(carrier.data);
  bool result = true;
  Tunnelled t;
  for (size_t pos = 0; pos < payload.size();) {
    const std::span<const uint8_t> rest = payload.subspan(pos);
    if (!decodeTunnelled(rest, t)) break;
    pos += t.headerBytes + t.dataBytes;
    if (t.channelIndex > 3 || phy_ == nullptr) continue;
    const uint8_t channel = channelMap[t.channelIndex];
    if (channel == carrier.channel) continue;  // never back onto its own bus
    fillRecord(t, rest.subspan(t.headerBytes, t.dataBytes), carrier.timeStamp, channel, rec);
    // One failed delivery fails the carrier; the other frames still go.
    if (!phy_->newMsg(rec)) result = false;
  }
  --depth_;
  return result;
}

bool cBusLayerMux::newFile(const cLogFileInfo& info, bool continuation) {
  return next_ != nullptr && next_->newFile(info, continuation);
}

bool cBusLayerMux::endFile(const cLogFileInfo& info) {
  return next_ != nullptr && next_->endFile(info);
}

std::unique_ptr<cBusLayerMux> cBusLayerMux_ctor(cBusLayer* next, cBusLayer* phy) {
  return std::make_unique<cBusLayerMux>(next, phy);
}
