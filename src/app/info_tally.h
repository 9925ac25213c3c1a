// Inspection tally: what one log file holds, counted while the reader walks
// it, for the inspection mode (--info).  Nothing is decoded or written.
//
// cInfoTally is the head of the chain: it counts every record per bus channel
// (data frames per identifier, remote and error records) and the first and
// last time stamp, then passes the record on.  Its tail() layer sits where the
// decoder would (behind the transport-protocol layers, so reassembled
// messages arrive whole) and looks each CAN data frame and LIN frame up in the
// databases of its channel: known frames count as decoded under their
// message names, the others' identifiers are unknown.
//
// As the reader's transaction it learns each file's outcome: a committed file
// goes to the sink as its report, a failed one as a report with its result
// code only.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>

#include "bus/bus_msg.h"
#include "db/db.h"

// A bus channel as the output names it: "CAN1", "LIN2".
struct cInfoChannelKey {
  bool lin = false;
  uint8_t channel = 0;
  auto operator<=>(const cInfoChannelKey&) const = default;
};

// Identifier of a frame: a CAN identifier with bit 31 set for the extended
// format (as message keys have it), or a LIN frame identifier.
using cInfoFrameId = uint32_t;

struct cInfoChannel {
  uint64_t frames = 0;        // data frames
  uint64_t remoteFrames = 0;  // CAN remote frames
  uint64_t errorFrames = 0;   // CAN error frames, LIN error records
  std::unordered_map<cInfoFrameId, uint64_t> ids;  // data frames per identifier
  bool hasDatabase = false;   // a database is given for the channel
  uint64_t decoded = 0;       // frames and reassembled messages a database knows
  std::map<std::string, uint64_t> messages;  // decoded per message name
  std::set<cInfoFrameId> unknown;            // identifiers no database knows
};

struct cInfoFileReport {
  std::string path;  // relative to the input root
  int32_t failure = 0;  // the file's result code when it failed; nothing else is set then
  std::string serialNumber;
  uint32_t session = 0;
  uint32_t split = 0;
  bool compressed = false;
  bool encrypted = false;
  bool hasRecords = false;
  double firstTime = 0.0;  // time stamps as the CSV column t has them
  double lastTime = 0.0;
  std::map<cInfoChannelKey, cInfoChannel> channels;
};

class cInfoTally final : public cBusLayer, public cInputTransaction {
 public:
  using Sink = std::function<void(const cInfoFileReport&)>;

  // The databases are borrowed and must outlive the tally.
  cInfoTally(const cDBMap* canDatabases, const cDBMap* linDatabases, Sink sink);

  // Where records go after counting: the transport-protocol layer, or tail().
  void setNext(cBusLayer* next) { next_ = next; }
  // The end of the chain, where frames are looked up in the databases.
  cBusLayer* tail() { return &tail_; }

  bool newMsg(cBusMsg& msg) override;
  bool newFile(const cLogFileInfo& info, bool continuation) override;
  bool endFile(const cLogFileInfo& info) override;

  void begin(const std::string& /*inputPath*/) override {}
  bool commit(bool forDeletion) override;
  void rollback() override { report_ = {}; }
  void failed(const std::string& inputPath, int32_t code) override;
  uint64_t pendingRows() const override { return 0; }

 private:
  class Tail final : public cBusLayer {
   public:
    explicit Tail(cInfoTally& owner) : owner_(owner) {}
    bool newMsg(cBusMsg& msg) override;
    bool newFile(const cLogFileInfo&, bool) override { return true; }
    bool endFile(const cLogFileInfo&) override { return true; }

   private:
    cInfoTally& owner_;
  };

  // The channel's entry, marked with whether it has databases.
  cInfoChannel& channel(bool lin, uint8_t number);
  void lookUp(cInfoChannel& entry, const cDBMap& databases, const cBusMsg& msg);

  const cDBMap* canDatabases_;
  const cDBMap* linDatabases_;
  Sink sink_;
  cBusLayer* next_ = nullptr;
  Tail tail_{*this};
  cInfoFileReport report_;
};

// The identifier as text: "0x100" (standard), "0x18FEF100" (extended, eight
// digits), "0x21" (LIN).
std::string cInfoFrameId_text(bool lin, cInfoFrameId id);
