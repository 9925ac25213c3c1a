// NMEA 2000 fast packet reception.  Byte 0 of every frame holds a 3-bit
// sequence counter (the same for all frames of one packet) and a 5-bit frame
// counter; frame 0 carries the packet size in byte 1 and six data bytes,
// every later frame seven.
#include <algorithm>

#include "bus/bus_tp.h"

namespace {

uint32_t sequenceOf(uint8_t b0) { return b0 >> 5; }
uint32_t frameOf(uint8_t b0) { return b0 & 0x1Fu; }

class cNmeaTp final : public cBusTp {
 public:
  cBusTpResult parse(cBusMsg& msg) override {
    if (msg.data.empty()) return fail();
    switch (state_) {
      case cBusTpState::Idle: return firstFrame(msg);
      case cBusTpState::Receiving: return nextFrame(msg);
      default: return fail();
    }
  }

  bool startsSession(const cBusMsg& msg) const override {
    return !msg.data.empty() && frameOf(msg.data[0]) == 0;
  }

 private:
  cBusTpResult firstFrame(cBusMsg& msg) {
    const std::vector<uint8_t>& d = msg.data;
    if (frameOf(d[0]) != 0) return fail();
    state_ = cBusTpState::Failed;
    if (d.size() < 2) return cBusTpResult::Error;
    sequence_ = sequenceOf(d[0]);
    frame_ = 0;
    size_ = d[1];
    size_t take = std::min<size_t>(size_, d.size() - 2);
    buffer_.assign(d.begin() + 2, d.begin() + 2 + take);
    return progress(msg);
  }

  cBusTpResult nextFrame(cBusMsg& msg) {
    const std::vector<uint8_t>& d = msg.data;
    if (frameOf(d[0]) == 0) return fail();
    state_ = cBusTpState::Failed;
    if (sequenceOf(d[0]) != sequence_ || frameOf(d[0]) != frame_ + 1) return cBusTpResult::Error;
    frame_ = frameOf(d[0]);
    size_t take = std::min<size_t>(size_ - buffer_.size(), d.size() - 1);
    buffer_.insert(buffer_.end(), d.begin() + 1, d.begin() + 1 + take);
    return progress(msg);
  }

  cBusTpResult progress(cBusMsg& msg) {
    if (buffer_.size() < size_) {
      state_ = cBusTpState::Receiving;
      return cBusTpResult::InProgress;
    }
    return complete(msg);
  }

  uint32_t sequence_ = 0;
  uint32_t frame_ = 0;
  uint32_t size_ = 0;
};

}  // namespace

std::unique_ptr<cBusTp> cNmeaTp_ctor() { return std::make_unique<cNmeaTp>(); }
