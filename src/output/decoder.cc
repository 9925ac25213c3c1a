// Accepts every file and message until decoding lands.
#include "output/decoder.h"

cDecoder::cDecoder(cFS* outputFs, const cDBMap* canDatabases, const cDBMap* linDatabases,
                   bool noAppendRoot, bool concat, bool pgnSrcMerge, bool pgnDstMerge)
    : outputFs_(outputFs), canDatabases_(canDatabases), linDatabases_(linDatabases),
      noAppendRoot_(noAppendRoot), concat_(concat), pgnSrcMerge_(pgnSrcMerge),
      pgnDstMerge_(pgnDstMerge) {}
cDecoder::~cDecoder() = default;

bool cDecoder::newMsg(cBusMsg&) { return true; }
bool cDecoder::newFile(const cLogFileInfo&, bool) { return true; }
bool cDecoder::endFile(const cLogFileInfo&) { return true; }

std::unique_ptr<cDecoder> cDecoder_ctor(cFS* outputFs, const cDBMap* canDatabases,
                                        const cDBMap* linDatabases, bool noAppendRoot,
                                        bool concat, bool pgnSrcMerge, bool pgnDstMerge) {
  return std::make_unique<cDecoder>(outputFs, canDatabases, linDatabases, noAppendRoot, concat,
                                    pgnSrcMerge, pgnDstMerge);
}
