// SAE J1939-21 transport protocol reception: a connection-management frame
// (TP.CM, request to send or broadcast announce) opens the transfer with its
// size and parameter group, numbered data-transfer frames (TP.DT) carry seven
// bytes each.  The completed message takes the transported group's
// identifier.
#include <algorithm>

#include "bus/bus_tp.h"
#include "db/j1939.h"

namespace {

constexpr uint8_t kRequestToSend = 0x10;
constexpr uint8_t kBroadcastAnnounce = 0x20;
constexpr size_t kFrameBytes = 8;

class cJ1939Tp final : public cBusTp {
 public:
  cBusTpResult parse(cBusMsg& msg) override {
    uint32_t pgn = cJ1939_pgn(msg.id);
    if (pgn != kJ1939PgnTpDataTransfer && pgn != kJ1939PgnTpConnection) return cBusTpResult::Error;
    if (msg.data.empty()) return fail();
    return pgn == kJ1939PgnTpConnection ? connection(msg.data) : dataTransfer(msg);
  }

 private:
  cBusTpResult connection(const std::vector<uint8_t>& d) {
    switch (state_) {
      case cBusTpState::Idle: return open(d);
      case cBusTpState::Receiving: return cBusTpResult::InProgress;  // repeated announcement
      default: return cBusTpResult::Error;
    }
  }

  cBusTpResult open(const std::vector<uint8_t>& d) {
    if (d[0] != kRequestToSend && d[0] != kBroadcastAnnounce) return cBusTpResult::Error;
    if (d.size() != kFrameBytes) return fail();
    size_ = uint32_t{d[1]} | (uint32_t{d[2]} << 8);
    // An empty transfer would complete with no data; one above 255 packets
    // can never complete and would hold the key against the next transfer.
    if (size_ == 0 || size_ > kJ1939TpMaxPayload) return fail();
    pgn_ = uint32_t{d[5]} | (uint32_t{d[6]} << 8) | (uint32_t{d[7]} << 16);
    sequence_ = 0;
    buffer_.clear();
    state_ = cBusTpState::Receiving;
    return cBusTpResult::InProgress;
  }

  cBusTpResult dataTransfer(cBusMsg& msg) {
    const std::vector<uint8_t>& d = msg.data;
    if (state_ != cBusTpState::Receiving) return fail();
    state_ = cBusTpState::Failed;
    if (d.size() != kFrameBytes || d[0] != sequence_ + 1) return cBusTpResult::Error;
    sequence_ = d[0];
    size_t take = std::min<size_t>(size_ - buffer_.size(), kFrameBytes - 1);
    buffer_.insert(buffer_.end(), d.begin() + 1, d.begin() + 1 + take);
    if (buffer_.size() < size_) {
      state_ = cBusTpState::Receiving;
      return cBusTpResult::InProgress;
    }
    // Priority and source address come from the data frame; a destination-
    // specific group also keeps its destination byte.
    msg.id = cJ1939_withPgn(msg.id, pgn_);
    return complete(msg);
  }

  uint32_t pgn_ = 0;
  uint32_t sequence_ = 0;
  uint32_t size_ = 0;
};

}  // namespace

std::unique_ptr<cBusTp> cJ1939Tp_ctor() { return std::make_unique<cJ1939Tp>(); }
