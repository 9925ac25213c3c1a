// Helpers shared by the block kinds' load and save code (not part of the
// block layer's public interface).
#pragma once

#include <cstdint>
#include <vector>

#include "mdf/mdf_block.h"

// The 4-character identifier of `kind` ("##DG"), or null for None and ID.
const char* cMdfBlock_identifier(cMdfBlockKind kind);

// Seeks exactly to `offset`; false when the stream reports anything else.
bool cMdfBlockIO_seekExact(cIO* stream, uint64_t offset);
// Seeks an output stream to `offset`, extending it with zero bytes when it is
// shorter.
bool cMdfBlockIO_seek(cIO* stream, uint64_t offset);
// Seeks to the block's offset and writes its header and `links` (0 = none).
bool cMdfBlockIO_writeStart(cMdfSaveContext& ctx, const cMdfBlock& block,
                            const std::vector<uint64_t>& links);
// Pads from the stream position to the block's end, rounded up to 8, with
// zero bytes.
bool cMdfBlockIO_finish(cMdfSaveContext& ctx, const cMdfBlock& block);
// Loads a single link into `out`: true for an absent link or a loaded block.
bool cMdfBlockIO_loadSingle(cMdfLoader& loader, uint64_t link, cMdfBlockPtr& out);
// Seeks the loader's stream to the block's data section (after the links).
bool cMdfBlockIO_seekData(cMdfLoader& loader, const cMdfBlock& block);
// Saves a single linked block (null: nothing to do).
inline bool cMdfBlockIO_saveLink(cMdfSaveContext& ctx, const cMdfBlockPtr& block) {
  return cMdfBlock_save(block.get(), ctx);
}
