// An opened MDF 4 log file: its block tree, checked to come from the data
// logger and repaired in memory when the logger could not finish it, and the
// decoding plan of its data groups (rules and record maps, mdf_record.h),
// built in a second pass over the loaded tree.
//
// Only files whose file history names the logger as the writing tool are
// accepted: a file-history comment (##MD) must contain "<tool_id>QZ</tool_id>"
// or "<tool_id>Brenlog</tool_id>" byte for byte.  A file whose identification
// block has unfinalised-flag bit 2 set (the last data block's length was never
// written) gets the last data block extended to the end of the stream.  The
// file itself is never written.
#pragma once

#include <memory>

#include "io/io.h"
#include "mdf/mdf_block_data.h"
#include "mdf/mdf_block_meta.h"
#include "mdf/mdf_merge.h"
#include "mdf/mdf_metadata.h"
#include "mdf/mdf_record.h"

class cMdf {
 public:
  cMdf(cIO* stream, std::shared_ptr<cMdfBlock_ID> tree, cMdfDecodingPlan plan)
      : stream_(stream), tree_(std::move(tree)), plan_(std::move(plan)) {}
  cMdf(const cMdf&) = delete;
  cMdf& operator=(const cMdf&) = delete;

  // The borrowed stream the file is read from.
  cIO* stream() const { return stream_; }
  // The identification block; never null for an opened file.
  const std::shared_ptr<cMdfBlock_ID>& tree() const { return tree_; }
  // One plan per data group of the header, in order; lives as long as the
  // handle.
  const cMdfDecodingPlan& plan() const { return plan_; }

  // A data block reaches beyond the end of the stream (see cMdf_warnCutShort).
  bool cutShort = false;

 private:
  cIO* stream_;
  std::shared_ptr<cMdfBlock_ID> tree_;
  cMdfDecodingPlan plan_;
};

// Opens `stream` (borrowed: it must stay open until the handle is closed, and
// the caller closes it afterwards): loads the block tree, builds the decoding
// plan (its warnings and errors are logged here, in data-group order), checks
// the tool marker, repairs an unfinished file, warns of a data block cut
// short by the end of the file and refuses overlapping data blocks.  Null
// when the tree does not load (the block loader logs why), when no
// file-history comment carries the logger's tool marker ("Unsupported MF4
// file", error level) or when data blocks overlap.
std::unique_ptr<cMdf> cMdf_open(cIO* stream);

// Releases the handle and its reference to the block tree.  Iterators made
// from it must be destroyed first.  Null: nothing happens.
void cMdf_close(std::unique_ptr<cMdf>& mdf);

// A time-ordered iterator over every bus frame of the file (first frame
// current), time stamps on `clock`; null for a null handle.  Must be
// destroyed before cMdf_close.
std::unique_ptr<cMdfParallelIter> cMdf_getIter(const cMdf* mdf,
                                               cMdfClock clock = cMdfClock::kLoggerLocal);

// The logger's metadata entries of the file; empty for a null handle, a file
// without header comment, or malformed XML.
cMdfMetaDataMap cMdf_getMetaData(const cMdf* mdf);

// True when one of the header's file-history comments carries a tool marker.
bool cMdf_hasToolMarker(const cMdfBlock_HD& header);
// Applies the unfinished-file repair to a loaded tree, given the stream size.
// True when a data block was extended.
bool cMdf_repairUnfinished(cMdfBlock_ID& id, uint64_t streamSize);
// Warns of every data block whose stored length reaches beyond the end of the
// stream (a file cut short after it was finished, or an unfinished file the
// repair does not cover): its records up to the end are read, the rest lost.
// True when there was one.
bool cMdf_warnCutShort(const cMdfBlock_ID& id, uint64_t streamSize);
// False, logged, when the payloads of two data blocks overlap: each group's
// records could then be as long as the rest of the file, all read at once.
bool cMdf_dataBlocksApart(const cMdfBlock_ID& id);
