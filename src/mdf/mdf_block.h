// MDF 4 block layer, common part: the block header, the loader, the save
// machinery and the base class of every block kind.  A log file is a graph of
// blocks joined by 64-bit file offsets (links).  This module loads that graph
// into a tree of shared block objects, one object per block however often it
// is linked, and writes such a tree back to a stream.  The kinds themselves
// are declared in mdf_block_meta.h (ID, HD, FH, TX, MD, SI) and
// mdf_block_data.h (DG, CG, CN, CC, DT, SD).
//
// File layout of a block (all little-endian): 4-byte identifier ("##DG" ...),
// 4 reserved bytes, 8-byte length (header + links + data), 8-byte link count,
// the links (file offsets, 0 = none), then the data section.  The
// identification block at offset 0 is the exception: 64 bytes, no header.
//
// Loading never trusts a length read from the file beyond the size of the
// stream, refuses links that form a cycle, and walks sibling chains (next
// data group, next channel, ...) iteratively so that chains of any length
// load without deep recursion.  Sibling lists keep the order of the chain.
//
// Loading only reads blocks: how records are decoded is worked out afterwards
// by whoever reads them (see mdf_record.h), so a tree can be loaded, edited
// and saved without any of that.
//
// Lifetime: blocks are held by std::shared_ptr.  Parents own their children
// (single links and sibling lists); a block linked from several places (a text
// shared by many channels) is one object.  DT/SD payload views read from the
// stream the tree was loaded from, which must outlive the tree.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "io/io.h"

// Block kinds, numbered as the loader and the kind field use them.
enum class cMdfBlockKind : uint32_t {
  None = 0,
  ID = 1,  // "MDF     " or "UnFinMF " at offset 0
  CC = 2,
  CG = 3,
  CN = 4,
  DG = 5,
  DT = 6,
  FH = 7,
  HD = 8,
  MD = 9,
  SD = 10,
  SI = 11,
  TX = 12,
};

// The 24-byte block header as read from a file.
struct cMdfBlockHeader {
  cMdfBlockKind kind = cMdfBlockKind::None;
  uint64_t length = 0;     // whole block, header included
  uint64_t linkCount = 0;
};

// Reads a header at the stream's current position.  Fewer than 24 bytes: none,
// silently.  An unknown identifier logs "Unable to load block header for type
// %s" and yields none.  For the identification block the stream is moved back
// to where it was and the header reads length 64, no links.
std::optional<cMdfBlockHeader> cMdfBlockHeader_load(cIO* stream);
// Bytes of the data section: length - 24 - 8 * links, 0 when that underflows.
uint64_t cMdfBlockHeader_getDataSize(const cMdfBlockHeader& header);

class cMdfBlock;
class cMdfBlock_ID;
class cMdfBlock_HD;
class cMdfBlock_FH;
class cMdfBlock_TX;
class cMdfBlock_MD;
class cMdfBlock_SI;
class cMdfBlock_DG;
class cMdfBlock_CG;
class cMdfBlock_CN;
class cMdfBlock_CC;
class cMdfBlock_DT;
class cMdfBlock_SD;

using cMdfBlockPtr = std::shared_ptr<cMdfBlock>;
template <class T>
using cMdfBlockList = std::deque<std::shared_ptr<T>>;
// Blocks by identity, as collected by cMdfBlock_getLinks.
using cMdfBlockSet = std::unordered_set<const cMdfBlock*>;

// State of one tree load: the stream, its size (the bound for every length),
// the offset cache and the offsets whose load is in progress.
class cMdfLoader {
 public:
  // `stream` is borrowed for the duration of the load.
  explicit cMdfLoader(cIO* stream);

  cIO* stream() const { return stream_; }
  uint64_t streamSize() const { return streamSize_; }

  // Loads the block at `offset` without following its next-sibling link.
  // kNoLink yields null (callers treat an absent link as success).  A cached
  // offset yields the shared object.  An offset whose load is in progress (a
  // cycle) logs "Cyclic block link at offset %lu" and yields null.
  cMdfBlockPtr loadAtSingle(uint64_t offset);

  // Loads the sibling chain that starts at `offset` and appends its blocks to
  // `list` in chain order.  Every block must be of `kind`.  A block belongs to
  // one sibling chain only: reaching a member of an earlier chain again logs
  // "Block at offset %lu is linked twice" (shared lists would let a small
  // file stand for an exponentially large tree).  False on any failure (the
  // list may then hold part of the chain).
  bool loadChain(uint64_t offset, cMdfBlockKind kind, std::deque<cMdfBlockPtr>& list);
  template <class T>
  bool loadAt(uint64_t offset, cMdfBlockList<T>& list);

  // Reads exactly `count` links from the current stream position; 0 becomes
  // kNoLink.  False on a short read.
  bool loadLinks(uint64_t count, std::vector<uint64_t>& links);

  // Records that the block at `offset` has its one owner (a sibling chain,
  // or the data group whose records it holds).  False, logged as "Block at
  // offset %lu is linked twice", when it already has one.
  bool claim(uint64_t offset);

  // Counts `bytes` of text (and metadata) blocks read: texts that do not
  // overlap cannot hold more than the stream.  False, logged as "Text blocks
  // overlap", once they would.
  bool chargeText(uint64_t bytes);

 private:
  cIO* stream_;
  uint64_t streamSize_ = 0;
  uint64_t textBytes_ = 0;
  uint32_t depth_ = 0;
  std::unordered_map<uint64_t, cMdfBlockPtr> cache_;
  std::unordered_set<uint64_t> inProgress_;
  std::unordered_set<uint64_t> owned_;  // offsets claimed by an owner
};

// Where blocks are written: the output stream, the next free file offset and
// the blocks already written.
struct cMdfSaveContext {
  explicit cMdfSaveContext(cIO* out) : stream(out) {}
  cIO* stream;               // borrowed
  uint64_t nextFree = 0;     // multiple of 8
  cMdfBlockSet written;

  // Gives an unplaced block the next free offset and reserves its length
  // rounded up to a multiple of 8.  A placed block keeps its offset.
  void place(cMdfBlock& block);
};

// Common part of every block.  A kind overrides what it has; the defaults
// fail (load, save) or visit nothing (getLinks).
class cMdfBlock {
 public:
  static constexpr uint64_t kNoLink = UINT64_MAX;    // link absent
  static constexpr uint64_t kNoOffset = UINT64_MAX;  // block not placed yet

  cMdfBlock(const cMdfBlock&) = delete;
  cMdfBlock& operator=(const cMdfBlock&) = delete;
  virtual ~cMdfBlock() = default;

  cMdfBlockKind kind() const { return kind_; }
  uint64_t length() const { return length_; }
  void setLength(uint64_t length) { length_ = length; }
  uint64_t linkCount() const { return linkCount_; }
  uint64_t fileOffset() const { return fileOffset_; }
  void setFileOffset(uint64_t offset) { fileOffset_ = offset; }
  // File offset for a link to `block`: 0 for none or an unplaced block.
  static uint64_t linkTo(const cMdfBlock* block);

  // Fills the block from the stream, positioned just after `header`.  A kind
  // with a next-sibling link stores its raw value in *nextLink (kNoLink when
  // absent); the loader follows it.  False on any failure.
  virtual bool load(cMdfLoader& /*loader*/, const cMdfBlockHeader& /*header*/,
                    uint64_t* /*nextLink*/) {
    return false;
  }
  // Writes the block at its file offset (the stream is positioned there) after
  // saving the blocks it links to.  `next` is the following sibling of its
  // list, already placed, or null.  False on a write failure.
  virtual bool save(cMdfSaveContext& /*ctx*/, const cMdfBlock* /*next*/) { return false; }
  // Appends the blocks this one links to (single links and list members).
  virtual void getLinks(std::vector<const cMdfBlock*>& /*out*/) const {}

  // Raw next-sibling offset read at load time (kNoLink when none); lets the
  // loader continue a chain through a block first reached by another link.
  uint64_t loadedNextLink() const { return loadedNext_; }
  void setLoadedNextLink(uint64_t offset) { loadedNext_ = offset; }
  // Following sibling for the save side, set by cMdfBlock_saveList before any
  // member is written, so that a member first reached through another link
  // (a VLSD channel group behind a channel) still links to its next sibling.
  const cMdfBlock* saveNext() const { return saveNext_; }
  void setSaveNext(const cMdfBlock* next) { saveNext_ = next; }

 protected:
  cMdfBlock(cMdfBlockKind kind, uint64_t length, uint64_t linkCount)
      : kind_(kind), length_(length), linkCount_(linkCount) {}
  // Checks the required link count and copies length and link count from the
  // header; false (silently) on a mismatch.
  bool takeHeader(const cMdfBlockHeader& header, uint64_t requiredLinks);
  void setLinkCount(uint64_t count) { linkCount_ = count; }

 private:
  cMdfBlockKind kind_;
  uint64_t length_;
  uint64_t linkCount_;
  uint64_t fileOffset_ = kNoOffset;
  uint64_t loadedNext_ = kNoLink;
  const cMdfBlock* saveNext_ = nullptr;
};

// Creates an empty block of `kind` with the default length and link count of
// that kind; null for kind None or an unknown number.
cMdfBlockPtr cMdfBlock_create(cMdfBlockKind kind);

// The block as kind T, or null when the kind differs (or block is null).
template <class T>
std::shared_ptr<T> mdf_cast(const cMdfBlockPtr& block) {
  if (!block || block->kind() != T::kKind) return nullptr;
  return std::static_pointer_cast<T>(block);
}
template <class T>
const T* mdf_cast(const cMdfBlock* block) {
  if (block == nullptr || block->kind() != T::kKind) return nullptr;
  return static_cast<const T*>(block);
}
template <class T>
T* mdf_cast_mut(cMdfBlock* block) {
  if (block == nullptr || block->kind() != T::kKind) return nullptr;
  return static_cast<T*>(block);
}

template <class T>
bool cMdfLoader::loadAt(uint64_t offset, cMdfBlockList<T>& list) {
  std::deque<cMdfBlockPtr> chain;
  bool ok = loadChain(offset, T::kKind, chain);
  for (auto& b : chain) list.push_back(std::static_pointer_cast<T>(b));
  return ok;
}

// Loads the whole tree: the identification block at 0 and the header block at
// 64 with everything reachable from it.  Null when either is missing or any
// block below fails; nothing partial is returned.  Only blocks are built.  The stream must outlive
// the tree (DT/SD views read from it).
std::shared_ptr<cMdfBlock_ID> cMdfBlock_loadTree(cIO* stream);

// Adds `block` and every block reachable from it to `set`.  Iterative; null is
// ignored.
void cMdfBlock_getLinks(const cMdfBlock* block, cMdfBlockSet& set);

// Writes `block` unless it was written already: places it when unplaced, seeks
// there and calls its save.  `next` as for cMdfBlock::save; null takes the
// block's saveNext().
bool cMdfBlock_save(cMdfBlock* block, cMdfSaveContext& ctx, const cMdfBlock* next = nullptr);
// Saves a sibling list: places every member first (so each can link to the
// next), then saves them in order.
template <class T>
bool cMdfBlock_saveList(const cMdfBlockList<T>& list, cMdfSaveContext& ctx) {
  for (size_t i = 0; i < list.size(); ++i) {
    list[i]->setSaveNext(i + 1 < list.size() ? list[i + 1].get() : nullptr);
    ctx.place(*list[i]);
  }
  bool ok = true;
  for (auto& b : list) ok = ok && cMdfBlock_save(b.get(), ctx);
  return ok;
}
// Writes the 24-byte header of `block` at the stream position (nothing for
// kinds None and ID).
bool cMdfBlockHeader_save(const cMdfBlock& block, cIO* stream);
