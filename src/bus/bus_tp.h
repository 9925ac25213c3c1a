// Transport sessions: each collects the frames of one segmented message
// (ISO 15765-2, SAE J1939-21 transport protocol, NMEA 2000 fast packet) and,
// with the last frame, hands the whole message over in that frame's record.
// Only reception is modelled: nothing is ever sent.
//
// The transport-protocol layer owns the sessions, feeds each one the frames of
// its key, and drops it as soon as it reports Complete or Error, so a session
// never sees a frame after it finished.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "bus/bus_msg.h"

// Result of feeding one frame to a session.
enum class cBusTpResult : uint32_t {
  InProgress = 0,  // frame accepted, message not yet complete
  Complete = 1,    // the frame's record now carries the whole message
  Error = 2,       // the frame does not fit the session
};

enum class cBusTpState : uint32_t {
  Idle = 0,       // waiting for the first frame
  Receiving = 1,  // first frame accepted, more expected
  Complete = 2,
  Failed = 3,
};

// Largest ISO-TP message accepted; a session that would buffer more fails
// with the warning "ISO-TP payload overflow (8192)".
inline constexpr uint32_t kIsoTpMaxPayload = 8192;

// One reassembly session.  The base class is the session that has no
// protocol: parse rejects every frame.
class cBusTp {
 public:
  cBusTp() = default;
  cBusTp(const cBusTp&) = delete;
  cBusTp& operator=(const cBusTp&) = delete;
  virtual ~cBusTp() = default;

  // Feeds one frame.  On Complete the session's buffer has been exchanged
  // with msg.data (no copy): the record leaves with the message and the
  // session keeps the frame's old payload.  Other fields of the record stay,
  // except the J1939 identifier, which is rewritten to the transported group.
  // Never reads beyond msg.data.
  virtual cBusTpResult parse(cBusMsg& /*msg*/) { return cBusTpResult::Error; }

  // True when `msg` opens a new message of this protocol in any state (an
  // ISO-TP single or first frame, a fast-packet frame 0).  A session that
  // rejects such a frame leaves it to a fresh session.
  virtual bool startsSession(const cBusMsg& /*msg*/) const { return false; }

  // Back to idle for reuse; the buffer keeps its capacity.
  void clear() {
    state_ = cBusTpState::Idle;
    buffer_.clear();
  }

 protected:
  // Marks the session complete and hands the buffer over to the record.
  cBusTpResult complete(cBusMsg& msg) {
    state_ = cBusTpState::Complete;
    buffer_.swap(msg.data);
    return cBusTpResult::Complete;
  }
  cBusTpResult fail() {
    state_ = cBusTpState::Failed;
    return cBusTpResult::Error;
  }

  cBusTpState state_ = cBusTpState::Idle;
  std::vector<uint8_t> buffer_;
};

// ISO 15765-2 reception.  Variant 0 is the only one; any other variant gives
// null.
std::unique_ptr<cBusTp> cIsoTp_ctor(uint32_t variant);

// SAE J1939-21 transport protocol (broadcast announce and request to send).
std::unique_ptr<cBusTp> cJ1939Tp_ctor();

// NMEA 2000 fast packet.
std::unique_ptr<cBusTp> cNmeaTp_ctor();
