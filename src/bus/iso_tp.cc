// ISO 15765-2 reception: single frames (classic and the CAN FD escape), first
// frames (12-bit and 32-bit lengths), consecutive frames with their 4-bit
// counter, and flow control frames of the other side, which are tolerated.
#include <algorithm>

#include "base/log.h"
#include "bus/bus_tp.h"

namespace {

enum : uint8_t {
  kSingleFrame = 0x0,
  kFirstFrame = 0x1,
  kConsecutiveFrame = 0x2,
  kFlowControl = 0x3,
};

class cIsoTp final : public cBusTp {
 public:
  cBusTpResult parse(cBusMsg& msg) override {
    const std::vector<uint8_t>& d = msg.data;
    if (d.empty()) return fail();
    switch (d[0] >> 4) {
      case kSingleFrame: return singleFrame(msg);
      case kFirstFrame: return firstFrame(d);
      case kConsecutiveFrame: return consecutiveFrame(msg);
      case kFlowControl: return flowControl(d);
      default: return cBusTpResult::Error;
    }
  }

  bool startsSession(const cBusMsg& msg) const override {
    if (msg.data.empty()) return false;
    uint8_t pci = msg.data[0] >> 4;
    return pci == kSingleFrame || pci == kFirstFrame;
  }

 private:
  cBusTpResult singleFrame(cBusMsg& msg) {
    const std::vector<uint8_t>& d = msg.data;
    if (state_ != cBusTpState::Idle) return cBusTpResult::Error;
    size_t length = d[0];
    size_t start = 1;
    if (d[0] == 0) {  // CAN FD: the length moves to byte 1
      if (d.size() < 2) return cBusTpResult::Error;
      length = d[1];
      start = 2;
    }
    if (d.size() - start < length) return cBusTpResult::Error;
    buffer_.assign(d.begin() + start, d.begin() + start + length);
    return complete(msg);
  }

  cBusTpResult firstFrame(const std::vector<uint8_t>& d) {
    if (state_ != cBusTpState::Idle || d.size() < 2) return cBusTpResult::Error;
    size_t start = 2;
    uint32_t length = (uint32_t{d[0] & 0x0Fu} << 8) | d[1];
    if (d[0] == 0x10 && d[1] == 0) {  // 32-bit length escape
      if (d.size() < 6) return cBusTpResult::Error;
      length = (uint32_t{d[2]} << 24) | (uint32_t{d[3]} << 16) | (uint32_t{d[4]} << 8) | d[5];
      start = 6;
    }
    // A message that fits in the first frame is not segmented; such a frame
    // is malformed and would otherwise complete with bytes beyond the length.
    if (length <= d.size() - start) return fail();
    buffer_.assign(d.begin() + start, d.end());
    counter_ = 0;
    length_ = length;
    state_ = cBusTpState::Receiving;
    return cBusTpResult::InProgress;
  }

  cBusTpResult consecutiveFrame(cBusMsg& msg) {
    const std::vector<uint8_t>& d = msg.data;
    if (state_ != cBusTpState::Receiving) return cBusTpResult::Error;
    state_ = cBusTpState::Failed;
    if (((counter_ + 1) & 0x0Fu) != (d[0] & 0x0Fu)) return cBusTpResult::Error;
    ++counter_;
    size_t take = std::min<size_t>(length_ - buffer_.size(), d.size() - 1);
    buffer_.insert(buffer_.end(), d.begin() + 1, d.begin() + 1 + take);
    if (buffer_.size() > kIsoTpMaxPayload) {
      LOG_WARN("ISO-TP payload overflow (%u)", kIsoTpMaxPayload);
      return cBusTpResult::Error;
    }
    if (buffer_.size() < length_) {
      state_ = cBusTpState::Receiving;
      return cBusTpResult::InProgress;
    }
    return complete(msg);
  }

  // Flow control comes from the receiver; continue-to-send and wait leave
  // the transfer running, overflow and reserved states end it.
  cBusTpResult flowControl(const std::vector<uint8_t>& d) {
    if (state_ != cBusTpState::Receiving) return cBusTpResult::Error;
    if (d.size() >= 3 && (d[0] & 0x0Fu) <= 1) return cBusTpResult::InProgress;
    return fail();
  }

  uint32_t counter_ = 0;
  uint32_t length_ = 0;
};

}  // namespace

std::unique_ptr<cBusTp> cIsoTp_ctor(uint32_t variant) {
  if (variant != 0) return nullptr;
  return std::make_unique<cIsoTp>();
}
