// Helpers shared by the block kinds' load and save code (not part of the
// block layer's public interface).
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

#include "io/serializer.h"
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

// Reads and writes a one-byte code field (an enum class over uint8_t) as the
// byte stored in the file.
template <class E>
bool cMdfBlockIO_readCode(cSerializer& s, E* code) {
  static_assert(std::is_same_v<std::underlying_type_t<E>, uint8_t>);
  uint8_t raw = 0;
  if (!s.readU8(&raw)) return false;
  *code = static_cast<E>(raw);
  return true;
}
template <class E>
bool cMdfBlockIO_writeCode(cSerializer& s, E code) {
  const auto raw = static_cast<uint8_t>(code);
  return s.writeU8(&raw);
}
