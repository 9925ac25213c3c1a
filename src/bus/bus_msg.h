// The bus message record that every frame and reassembled message travels
// in, the file record of newFile/endFile, and the layer interface of the
// chain (transport protocols -> multiplexed transport -> decoder).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class cBusMsgType : uint32_t {
  BUS_MSG_GENERIC = 0,
  BUS_MSG_CAN_DATA_FRAME = 1,
  BUS_MSG_CAN_REMOTE_FRAME = 2,
  BUS_MSG_CAN_ERROR_FRAME = 3,
  BUS_MSG_LIN_FRAME = 4,
  BUS_MSG_LIN_CHECKSUM_ERROR = 5,
  BUS_MSG_LIN_RECEIVE_ERROR = 6,
  BUS_MSG_LIN_TRANSMISSION_ERROR = 7,
  BUS_MSG_LIN_SYNC_ERROR = 8,
};

// Type-dependent views.  Each is kept as its own member (no union), and
// clearTypeArea() zeroes all three.
struct cBusMsgCan {  // types 1 and 2
  bool ide = false;  // 29-bit identifier
  bool dir = false;  // transmitted by the logger
  bool edl = false;  // CAN FD frame
  bool esi = false;  // error state indicator
  bool brs = false;  // bit rate switch
  bool rtr = false;  // remote frame (set only by the remote frame decoder)
  uint8_t dlc = 0;
};
struct cBusMsgLin {  // types 4 and 5
  bool dir = false;
  uint8_t receivedDataByteCount = 0;
};
struct cBusMsgCanError {  // type 3
  uint32_t errorType = 0;  // 1..5 as logged, anything else 0
};

struct cBusMsg {
  double timeStamp = 0.0;  // seconds since 1970 on the logger's local clock, or UTC
  uint8_t channel = 0;     // bus channel as logged
  uint32_t id = 0;         // identifier without flag bits
  std::vector<uint8_t> data;  // payload; cleared, never shrunk, between frames
  cBusMsgType type = cBusMsgType::BUS_MSG_GENERIC;
  cBusMsgCan can;
  cBusMsgLin lin;
  cBusMsgCanError canError;

  void clearTypeArea() {
    can = {};
    lin = {};
    canError = {};
  }
};

// Handed to newFile and endFile; valid from newFile to the matching endFile.
struct cLogFileInfo {
  std::string inputPath;     // relative to the input root
  std::string serialNumber;  // logger serial number from the metadata
  double startTime = 0.0;    // seconds since 1970 UTC, microsecond resolution
  uint32_t session = 0;
  uint32_t split = 0;
  bool compressed = false;  // the file came out of a compressed container
  bool encrypted = false;   // the file came out of an encrypted container
};

// One layer of the chain.  The walker calls, per converted file, newFile once,
// newMsg once per frame in time order, then endFile once (also after a
// failure).  true means success; a layer that forwards returns the forwarded
// result.  The defaults are the no-op table: they do nothing and fail, so an
// unconfigured layer fails every file.
//
// A cBusMsg passed to newMsg is valid only during the call; a layer that keeps
// data across calls copies it.  A layer may change the record before passing
// it on.  newMsg may be re-entered (the multiplexed-transport layer feeds
// unpacked frames back into the transport-protocol layer).
class cBusLayer {
 public:
  cBusLayer() = default;
  cBusLayer(const cBusLayer&) = delete;
  cBusLayer& operator=(const cBusLayer&) = delete;
  virtual ~cBusLayer() = default;

  virtual bool newMsg(cBusMsg& /*msg*/) { return false; }
  virtual bool newFile(const cLogFileInfo& /*info*/, bool /*continuation*/) { return false; }
  virtual bool endFile(const cLogFileInfo& /*info*/) { return false; }
};

// The results of one input, made final or taken back as a whole.  The walker
// calls begin before the chain's newFile; after the chain's endFile, commit
// when the input converted, else (a failure, an interruption) rollback; a
// failed commit is followed by rollback.  An input to be deleted is committed
// with `forDeletion` and finish is called once it is gone.
class cInputTransaction {
 public:
  virtual ~cInputTransaction() = default;
  // `inputPath`: the absolute path of the input.
  virtual void begin(const std::string& /*inputPath*/) {}
  // Makes the input's results final; with `forDeletion` they are on stable
  // storage when it returns true, and an interrupted process deletes the
  // input on its next run.
  [[nodiscard]] virtual bool commit(bool forDeletion) = 0;
  virtual void finish() {}
  virtual void rollback() = 0;
  // Called for every input file that failed, with its path relative to the
  // input root and its result code; after rollback when it had begun.
  virtual void failed(const std::string& /*inputPath*/, int32_t /*code*/) {}
  // Rows the input has produced so far.
  virtual uint64_t pendingRows() const = 0;
};

// Payload bytes of a CAN / CAN FD data length code (low 4 bits used).
inline uint8_t cCanMsg_dlcToNob(uint8_t dlc) {
  static constexpr uint8_t kTable[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
  return kTable[dlc & 0x0F];
}
