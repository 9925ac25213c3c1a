// Transport-protocol layer: reassembles ISO-TP, J1939 transport-protocol and
// NMEA 2000 fast-packet sessions of registered messages and passes every
// other frame on unchanged.
//
// A frame of no registered message costs one ordered-map look-up.  A frame of
// a registered message feeds the session of its (message type, channel,
// session key); the completed message travels on in the record of the
// session's last frame.  newMsg may be re-entered from the next layer (the
// multiplexed-transport layer feeds unpacked frames back in); a frame that
// arrives for the session whose message is being delivered is dropped, so a
// tunnelled frame never reaches the session that carried it.
#pragma once

#include <array>
#include <bitset>
#include <compare>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "bus/bus_msg.h"
#include "bus/bus_tp.h"
#include "db/db_kinds.h"

struct cBusLayerTpStatistics {
  uint64_t successful = 0;
  uint64_t failed = 0;
  uint64_t unfinished = 0;
};

class cBusLayerTp final : public cBusLayer {
 public:
  // Sessions open at one time; a frame that would open one more drops an
  // unfinished session (counted as failed, with a warning).
  static constexpr size_t kMaxOpenSessions = 4096;

  // `next` is borrowed and must outlive the layer; with a null `next` every
  // frame that would be passed on fails.
  explicit cBusLayerTp(cBusLayer* next);
  ~cBusLayerTp() override;

  // Registers a message of a database of `busKind` for reassembly with
  // `transport` (a MUXTP message travels as ISO-TP).  LIN registers LIN
  // frames, the others CAN data frames; J1939 also marks the channel as J1939.
  // True also when the entry already exists (the first registration stands);
  // false, with "Failed to configure TP message (channel: %u, key: %X)"
  // logged, when it cannot be stored.
  bool addConfig(cDBBusKind busKind, uint8_t channel, uint32_t key, cDBTransport transport);

  // Counters; `unfinished` is refreshed to the number of open sessions.
  const cBusLayerTpStatistics& getStatistics();

  // CAN data frames and LIN frames of registered messages are consumed (true)
  // until their session completes; the completed message goes to the next
  // layer and its result is returned.  Everything else is passed on.
  bool newMsg(cBusMsg& msg) override;
  // Discards open sessions (uncounted) unless `continuation`, then forwards.
  bool newFile(const cLogFileInfo& info, bool continuation) override;
  bool endFile(const cLogFileInfo& info) override;

 private:
  struct Key {
    uint32_t type;
    uint8_t channel;
    uint32_t key;
    auto operator<=>(const Key&) const = default;
  };
  struct Session {
    std::unique_ptr<cBusTp> tp;
    cDBTransport transport = cDBTransport::None;
    bool delivering = false;  // its message is with the next layer
  };
  using SessionMap = std::map<Key, Session>;

  uint32_t lookupKey(const cBusMsg& msg) const;
  bool handle(cBusMsg& msg, const Key& sessionKey, cDBTransport transport);
  SessionMap::iterator openSession(const Key& sessionKey, cDBTransport transport);
  void closeSession(SessionMap::iterator it);
  bool deliver(cBusMsg& msg, SessionMap::iterator it);

  cBusLayer* next_;
  std::bitset<256> j1939Channels_;
  std::map<Key, cDBTransport> config_;
  SessionMap sessions_;
  // Finished sessions kept for reuse, per protocol (ISO-TP, J1939, fast
  // packet), so that steady traffic allocates nothing.
  std::array<std::vector<SessionMap::node_type>, 3> spare_;
  cBusLayerTpStatistics statistics_;
};

// The layer, or null when it cannot be made.
std::unique_ptr<cBusLayerTp> cBusLayerTp_ctor(cBusLayer* next);
