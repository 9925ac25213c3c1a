// The frames of one log file in time order, read either by the converting
// thread itself or, for a processor that would otherwise stay idle, by a
// thread of their own: the two-stage pipeline of one large file.  The
// reading thread walks the time-ordered merge (records, frame decoders) and
// hands the frames over in batches through a short queue; the converting
// thread runs the layer chain (transport protocols, signal decoding, CSV
// rows).  Frames come out in the same order either way, so the output is
// the same.
//
// A frame handed out is a copy owned by the source, valid until the next
// call; layers may change it as they may change the merge's own record.
#pragma once

#include <memory>

#include "bus/bus_msg.h"
#include "mdf/mdf_merge.h"

class cFrameSource {
 public:
  virtual ~cFrameSource() = default;
  // The first frame (null: none); call once, before next().
  virtual cBusMsg* first() = 0;
  // The next frame, null at the end.
  virtual cBusMsg* next() = 0;
};

// Frames of `merge` (taken over; may be null: no frames), read by a thread
// of their own when `readAhead` is set.  Destroying the source stops the
// reading thread, also before the end (an interruption, a failed frame).
std::unique_ptr<cFrameSource> cFrameSource_ctor(std::unique_ptr<cMdfParallelIter> merge,
                                                bool readAhead);
