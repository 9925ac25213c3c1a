// Decoder layer: the end of the chain.  Decodes every CAN and LIN message
// with the databases of its channel and writes one CSV row per decoded
// message into the file of its signal set.
#pragma once

#include <cstdint>
#include <memory>

#include "bus/bus_msg.h"
#include "db/db.h"

class cFS;

struct cDecoderStatistics {
  uint64_t files = 0;     // writer creations attempted
  uint64_t messages = 0;  // rows handed to writers
  uint64_t signals = 0;   // values within their limits
};

class cDecoder final : public cBusLayer {
 public:
  // All pointers are borrowed and must outlive the decoder.
  cDecoder(cFS* outputFs, const cDBMap* canDatabases, const cDBMap* linDatabases,
           bool noAppendRoot, bool concat, bool pgnSrcMerge, bool pgnDstMerge);
  ~cDecoder() override;

  const cDecoderStatistics& getStatistics() const { return statistics_; }

  bool newMsg(cBusMsg& msg) override;
  bool newFile(const cLogFileInfo& info, bool continuation) override;
  bool endFile(const cLogFileInfo& info) override;

 private:
  cFS* outputFs_;
  const cDBMap* canDatabases_;
  const cDBMap* linDatabases_;
  bool noAppendRoot_;
  bool concat_;
  bool pgnSrcMerge_;
  bool pgnDstMerge_;
  cDecoderStatistics statistics_;
};

std::unique_ptr<cDecoder> cDecoder_ctor(cFS* outputFs, const cDBMap* canDatabases,
                                        const cDBMap* linDatabases, bool noAppendRoot,
                                        bool concat, bool pgnSrcMerge, bool pgnDstMerge);
