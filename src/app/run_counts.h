// The counters of a run's statistics block: the reader's, the transport
// layer's and the writers', summed over the worker threads of a parallel run.
#pragma once

#include <cstdint>

struct cRunCounts {
  uint64_t files = 0;     // accepted input files
  uint64_t messages = 0;  // messages handed to the chains
  uint64_t bytes = 0;     // sum of the accepted files' sizes
  uint64_t tpSuccessful = 0;
  uint64_t tpFailed = 0;
  uint64_t tpUnfinished = 0;  // sessions still open after the last file
  uint64_t writerFiles = 0;
  uint64_t writerMessages = 0;
  uint64_t writerSignals = 0;
};
