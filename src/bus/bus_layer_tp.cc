#include "bus/bus_layer_tp.h"

#include <algorithm>
#include <new>

#include "base/log.h"
#include "db/j1939.h"
#include "db/message_key.h"

namespace {

constexpr uint32_t kKeyConnection = cDB_can_pgn_id2key(kJ1939PgnTpConnection << 8, 1);
constexpr uint32_t kKeyDataTransfer = cDB_can_pgn_id2key(kJ1939PgnTpDataTransfer << 8, 1);
constexpr uint8_t kRequestToSend = 0x10;
constexpr uint8_t kBroadcastAnnounce = 0x20;
constexpr size_t kMaxSpareSessions = 16;  // per protocol

std::unique_ptr<cBusTp> makeSession(cDBTransport transport) {
  switch (transport) {
    case cDBTransport::J1939: return cJ1939Tp_ctor();
    case cDBTransport::NmeaFastPacket: return cNmeaTp_ctor();
    case cDBTransport::IsoTp:
    case cDBTransport::MuxTp: return cIsoTp_ctor(0);  // a MUXTP message travels as ISO-TP
    default: return nullptr;
  }
}

// Index of the spare pool of a transport type's sessions.
size_t poolOf(cDBTransport transport) {
  switch (transport) {
    case cDBTransport::J1939: return 1;
    case cDBTransport::NmeaFastPacket: return 2;
    default: return 0;
  }
}

bool isSupported(cDBTransport transport) {
  return transport == cDBTransport::J1939 || transport == cDBTransport::NmeaFastPacket ||
         transport == cDBTransport::IsoTp || transport == cDBTransport::MuxTp;
}

uint32_t typeOf(const cBusMsg& msg) { return static_cast<uint32_t>(msg.type); }

}  // namespace

cBusLayerTp::cBusLayerTp(cBusLayer* next) : next_(next) {
  for (auto& pool : spare_) pool.reserve(kMaxSpareSessions);
}
cBusLayerTp::~cBusLayerTp() = default;

bool cBusLayerTp::addConfig(cDBBusKind busKind, uint8_t channel, uint32_t key,
                            cDBTransport transport) {
  cBusMsgType type = busKind == cDBBusKind::Lin ? cBusMsgType::BUS_MSG_LIN_FRAME
                                                : cBusMsgType::BUS_MSG_CAN_DATA_FRAME;
  try {
    config_.try_emplace(Key{static_cast<uint32_t>(type), channel, key}, transport);
  } catch (const std::bad_alloc&) {
    LOG_ERROR("Failed to configure TP message (channel: %u, key: %X)", channel, key);
    return false;
  }
  if (busKind == cDBBusKind::J1939) j1939Channels_.set(channel);
  return true;
}

const cBusLayerTpStatistics& cBusLayerTp::getStatistics() {
  statistics_.unfinished = sessions_.size();
  return statistics_;
}

uint32_t cBusLayerTp::lookupKey(const cBusMsg& msg) const {
  if (msg.type == cBusMsgType::BUS_MSG_LIN_FRAME) return cDB_lin_id2key(msg.id);
  if (msg.can.ide && j1939Channels_.test(msg.channel)) {
    uint32_t key = cDB_can_pgn_id2key(msg.id, 1);
    return key == kKeyDataTransfer ? kKeyConnection : key;
  }
  return cDB_can_id2key(msg.id, msg.can.ide);
}

bool cBusLayerTp::newMsg(cBusMsg& msg) {
  if (msg.type != cBusMsgType::BUS_MSG_CAN_DATA_FRAME &&
      msg.type != cBusMsgType::BUS_MSG_LIN_FRAME) {
    return next_ != nullptr && next_->newMsg(msg);
  }
  auto cfg = config_.find(Key{typeOf(msg), msg.channel, lookupKey(msg)});
  if (cfg == config_.end()) return next_ != nullptr && next_->newMsg(msg);
  const cDBTransport transport = cfg->second;

  if (msg.type == cBusMsgType::BUS_MSG_LIN_FRAME) {
    return handle(msg, Key{typeOf(msg), msg.channel, cDB_lin_id2key(msg.id)}, transport);
  }
  uint32_t sessionKey = cDB_can_id2key(msg.id, msg.can.ide);
  if (transport == cDBTransport::J1939) {
    uint32_t pgnKey = cDB_can_pgn_id2key(msg.id, msg.can.ide);
    // Clear to send, end-of-message acknowledgement and abort belong to the
    // other direction of a transfer: nothing to collect.
    if (pgnKey == kKeyConnection &&
        (msg.data.empty() || (msg.data[0] != kRequestToSend && msg.data[0] != kBroadcastAnnounce))) {
      return true;
    }
    // Data frames join the session of their announcement (same priority,
    // destination and source).
    if (pgnKey == kKeyDataTransfer) {
      sessionKey = cDB_can_id2key(cJ1939_withPgn(msg.id, kJ1939PgnTpConnection), 1);
    }
  }
  return handle(msg, Key{typeOf(msg), msg.channel, sessionKey}, transport);
}

bool cBusLayerTp::handle(cBusMsg& msg, const Key& sessionKey, cDBTransport transport) {
  if (!isSupported(transport)) {
    LOG_ERROR("Unsupported transport protocol");
    return true;
  }
  for (;;) {
    auto it = sessions_.find(sessionKey);
    const bool fresh = it == sessions_.end();
    if (fresh) {
      it = openSession(sessionKey, transport);
      if (it == sessions_.end()) {
        LOG_ERROR("Failed to initialize TP session");
        return true;
      }
    } else if (it->second.delivering) {
      // Tunnelled back onto the key of the message that carried it.
      LOG_INFO("TP error (time: %f, id: 0x%X)", msg.timeStamp, msg.id);
      return true;
    }
    switch (it->second.tp->parse(msg)) {
      case cBusTpResult::InProgress: return true;
      case cBusTpResult::Complete: return deliver(msg, it);
      case cBusTpResult::Error: break;
    }
    LOG_INFO("TP error (time: %f, id: 0x%X)", msg.timeStamp, msg.id);
    ++statistics_.failed;
    // A frame that opens a new message ends the unfinished one and starts
    // its own session instead of being lost with it.
    const bool restart = !fresh && it->second.tp->startsSession(msg);
    closeSession(it);
    if (!restart) return true;
  }
}

bool cBusLayerTp::deliver(cBusMsg& msg, SessionMap::iterator it) {
  const Key key = it->first;
  const cBusTp* tp = it->second.tp.get();
  it->second.delivering = true;
  ++statistics_.successful;
  // The next layer may come back into newMsg and open or close other
  // sessions; only the key is trusted afterwards.
  bool result = next_ != nullptr && next_->newMsg(msg);
  auto again = sessions_.find(key);
  if (again != sessions_.end() && again->second.tp.get() == tp) closeSession(again);
  return result;
}

cBusLayerTp::SessionMap::iterator cBusLayerTp::openSession(const Key& sessionKey,
                                                           cDBTransport transport) {
  // Every J1939 sender and receiver pair may hold a session; a file that
  // opens them by the million must not take all memory with it.  At the
  // bound an unfinished session makes room, so that transfers that never
  // end cannot keep all later ones out.
  if (sessions_.size() >= kMaxOpenSessions) {
    auto victim = std::find_if(sessions_.begin(), sessions_.end(),
                               [](const auto& entry) { return !entry.second.delivering; });
    if (victim == sessions_.end()) return sessions_.end();
    LOG_WARN("Too many open transport sessions (%zu): an unfinished one is dropped",
             kMaxOpenSessions);
    ++statistics_.failed;
    closeSession(victim);
  }
  try {
    std::vector<SessionMap::node_type>& pool = spare_[poolOf(transport)];
    if (!pool.empty()) {
      SessionMap::node_type node = std::move(pool.back());
      pool.pop_back();
      node.key() = sessionKey;
      Session& s = node.mapped();
      s.tp->clear();
      s.transport = transport;
      s.delivering = false;
      return sessions_.insert(std::move(node)).position;
    }
    std::unique_ptr<cBusTp> tp = makeSession(transport);
    if (tp == nullptr) return sessions_.end();
    return sessions_.emplace(sessionKey, Session{std::move(tp), transport, false}).first;
  } catch (const std::bad_alloc&) {
    return sessions_.end();
  }
}

void cBusLayerTp::closeSession(SessionMap::iterator it) {
  std::vector<SessionMap::node_type>& pool = spare_[poolOf(it->second.transport)];
  SessionMap::node_type node = sessions_.extract(it);
  if (pool.size() < kMaxSpareSessions) pool.push_back(std::move(node));
}

bool cBusLayerTp::newFile(const cLogFileInfo& info, bool continuation) {
  if (!continuation) {
    while (!sessions_.empty()) closeSession(sessions_.begin());
  }
  return next_ != nullptr && next_->newFile(info, continuation);
}

bool cBusLayerTp::endFile(const cLogFileInfo& info) {
  return next_ != nullptr && next_->endFile(info);
}

std::unique_ptr<cBusLayerTp> cBusLayerTp_ctor(cBusLayer* next) {
  return std::make_unique<cBusLayerTp>(next);
}
