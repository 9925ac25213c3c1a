// MDF 4 block layer.  A log file is a graph of blocks joined by 64-bit file
// offsets (links).  This module loads that graph into a tree of shared block
// objects, one object per block however often it is linked, and writes such a
// tree back to a stream.
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
// Lifetime: blocks are held by std::shared_ptr.  Parents own their children
// (single links and sibling lists); a block linked from several places (a text
// shared by many channels) is one object.  DT/SD payload views read from the
// stream the tree was loaded from, which must outlive the tree.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "io/io.h"

struct cMdfDecodeRule;  // where a channel's value lies in a record
class cMdfRecordMap;    // record id -> record layout of a data group

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

 private:
  cIO* stream_;
  uint64_t streamSize_ = 0;
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
// block below fails; nothing partial is returned.  The stream must outlive
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

// Text of a comment/name link: the text of an MD or TX block, else empty.
// The view lives as long as the block.
std::string_view cMdfBlock_getText(const cMdfBlock* block);

// ---------------------------------------------------------------------------
// Identification block: 64 bytes at offset 0, no header, no links.
class cMdfBlock_ID final : public cMdfBlock {
 public:
  static constexpr cMdfBlockKind kKind = cMdfBlockKind::ID;
  cMdfBlock_ID() : cMdfBlock(kKind, 64, 0) {}

  bool load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* nextLink) override;
  // Writes "UnFinMF " when either flag word is nonzero, else "MDF     ".
  bool save(cMdfSaveContext& ctx, const cMdfBlock* next) override;
  void getLinks(std::vector<const cMdfBlock*>& out) const override;

  const std::shared_ptr<cMdfBlock_HD>& getHeader() const { return header_; }
  void setHeader(std::shared_ptr<cMdfBlock_HD> header) { header_ = std::move(header); }
  uint16_t getFinalizationFlags() const { return finalizationFlags_; }
  void setFinalizationFlags(uint16_t flags) { finalizationFlags_ = flags; }
  uint16_t getFinalizationFlagsCustom() const { return customFinalizationFlags_; }
  void setCustomFinalizationFlags(uint16_t flags) { customFinalizationFlags_ = flags; }
  // Version text "major.minor" padded to 8; number major*100+minor.  False
  // when either part is 100 or more.
  bool setVersion(uint32_t major, uint32_t minor);
  // Program text padded to 8 characters; false when longer than 7.
  bool setProgram(std::string_view program);
  const std::string& versionText() const { return versionText_; }
  const std::string& programText() const { return programText_; }
  uint16_t versionNumber() const { return versionNumber_; }

 private:
  std::shared_ptr<cMdfBlock_HD> header_;
  std::string versionText_;
  std::string programText_;
  uint16_t versionNumber_ = 0;
  uint16_t finalizationFlags_ = 0;
  uint16_t customFinalizationFlags_ = 0;
};

// Header block ("##HD", 6 links) at offset 64: data groups, file histories,
// comment (the logger's XML metadata), start time.  Channel hierarchies,
// attachments and events are not supported: such a link fails the load with
// "Unsupported parameter present in file".
class cMdfBlock_HD final : public cMdfBlock {
 public:
  static constexpr cMdfBlockKind kKind = cMdfBlockKind::HD;
  cMdfBlock_HD() : cMdfBlock(kKind, 104, 6) {}

  bool load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* nextLink) override;
  bool save(cMdfSaveContext& ctx, const cMdfBlock* next) override;
  void getLinks(std::vector<const cMdfBlock*>& out) const override;

  cMdfBlockList<cMdfBlock_DG> dataGroups;
  cMdfBlockList<cMdfBlock_FH> fileHistories;
  cMdfBlockPtr comment;  // MD or TX

  // Text of the comment if it is an MD or TX block, else empty.
  std::string_view getComment() const { return cMdfBlock_getText(comment.get()); }
  uint64_t getStartTimeNs() const { return startTimeNs; }
  void setStartTimeNs(uint64_t ns) { startTimeNs = ns; }
  uint8_t getTimeFlags() const { return timeFlags; }
  void setTimeFlags(uint8_t flags) { timeFlags = flags; }

  uint64_t startTimeNs = 0;      // since 1970-01-01
  int16_t tzOffsetMin = 0;       // time-zone offset in minutes
  int16_t dstOffsetMin = 0;      // daylight-saving offset in minutes
  uint8_t timeFlags = 0;
  uint8_t timeClass = 0;
  uint8_t flags = 0;
  double startAngleRad = 0.0;
  double startDistanceM = 0.0;
};

// File-history block ("##FH", 2 links): next history, comment (MD).
class cMdfBlock_FH final : public cMdfBlock {
 public:
  static constexpr cMdfBlockKind kKind = cMdfBlockKind::FH;
  cMdfBlock_FH() : cMdfBlock(kKind, 56, 2) {}

  bool load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* nextLink) override;
  bool save(cMdfSaveContext& ctx, const cMdfBlock* next) override;
  void getLinks(std::vector<const cMdfBlock*>& out) const override;

  cMdfBlockPtr comment;
  uint64_t timeNs = 0;
  int16_t tzOffsetMin = 0;
  int16_t dstOffsetMin = 0;
  uint8_t timeFlags = 0;
};

// Text ("##TX") and XML metadata ("##MD") blocks: no links, zero-terminated
// UTF-8 text.  The two kinds differ only in their identifier.
template <cMdfBlockKind K>
class cMdfBlock_Text : public cMdfBlock {
 public:
  static constexpr cMdfBlockKind kKind = K;
  cMdfBlock_Text() : cMdfBlock(K, 24, 0) {}

  bool load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* nextLink) override;
  bool save(cMdfSaveContext& ctx, const cMdfBlock* next) override;

  // The text; valid as long as the block and until the next setData.
  std::string_view getData() const { return text_; }
  // At most `length` bytes of `text`, cut at a zero byte; block length =
  // text length + 25 (header, text, terminating zero).
  void setData(const char* text, size_t length);
  void setData(std::string_view text) { setData(text.data(), text.size()); }

 private:
  std::string text_;
};
class cMdfBlock_TX final : public cMdfBlock_Text<cMdfBlockKind::TX> {};
class cMdfBlock_MD final : public cMdfBlock_Text<cMdfBlockKind::MD> {};

// Source-information block ("##SI", 3 links): name, path, comment.
class cMdfBlock_SI final : public cMdfBlock {
 public:
  static constexpr cMdfBlockKind kKind = cMdfBlockKind::SI;
  cMdfBlock_SI() : cMdfBlock(kKind, 56, 3) {}

  bool load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* nextLink) override;
  bool save(cMdfSaveContext& ctx, const cMdfBlock* next) override;
  void getLinks(std::vector<const cMdfBlock*>& out) const override;

  cMdfBlockPtr name;
  cMdfBlockPtr path;
  cMdfBlockPtr comment;

  // 2 when the stored source type is 2 (bus), else 6.
  uint8_t getType() const { return sourceType_ == 2 ? 2 : 6; }
  // Stores 1..5, anything else as 0.
  void setType(uint8_t type) { sourceType_ = (type >= 1 && type <= 5) ? type : 0; }
  // 0 none, 2 CAN, 3 LIN, 4 other (stored 1 and everything above 3).
  uint8_t getBusType() const;
  // Stores 1..3, anything else as 0.
  void setBusType(uint8_t bus) { busType_ = (bus >= 1 && bus <= 3) ? bus : 0; }
  std::string_view getComment() const { return cMdfBlock_getText(comment.get()); }
  uint8_t flags = 0;

 private:
  uint8_t sourceType_ = 0;
  uint8_t busType_ = 0;
};

// Data group ("##DG", 4 links): channel groups, data block, comment, record
// id size.  The record map (which record id is which channel group) is built
// when the group is loaded; see mdf_record.h.
class cMdfBlock_DG final : public cMdfBlock {
 public:
  static constexpr cMdfBlockKind kKind = cMdfBlockKind::DG;
  cMdfBlock_DG();
  ~cMdfBlock_DG() override;

  bool load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* nextLink) override;
  bool save(cMdfSaveContext& ctx, const cMdfBlock* next) override;
  void getLinks(std::vector<const cMdfBlock*>& out) const override;

  cMdfBlockList<cMdfBlock_CG> channelGroups;
  cMdfBlockPtr data;     // a DT block for record access
  cMdfBlockPtr comment;  // MD or TX

  uint8_t getRecordIDSize() const { return recordIdSize_; }
  // Stores sizes up to 8; larger values are ignored.
  void setRecordIDSize(uint8_t size) {
    if (size <= 8) recordIdSize_ = size;
  }
  // Record layouts by record id; null before the first load/update.
  const cMdfRecordMap* recordMap() const { return recordMap_.get(); }
  cMdfRecordMap* recordMapMut() { return recordMap_.get(); }

 private:
  uint8_t recordIdSize_ = 0;
  std::unique_ptr<cMdfRecordMap> recordMap_;
};

// Channel group ("##CG", 6 links): channels, acquisition name and source,
// comment, record layout.  Sample reductions are not supported.
class cMdfBlock_CG final : public cMdfBlock {
 public:
  static constexpr cMdfBlockKind kKind = cMdfBlockKind::CG;
  cMdfBlock_CG();
  ~cMdfBlock_CG() override;

  bool load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* nextLink) override;
  bool save(cMdfSaveContext& ctx, const cMdfBlock* next) override;
  void getLinks(std::vector<const cMdfBlock*>& out) const override;

  cMdfBlockList<cMdfBlock_CN> channels;
  cMdfBlockPtr acquisitionName;    // TX
  cMdfBlockPtr acquisitionSource;  // SI
  cMdfBlockPtr comment;            // MD or TX

  uint16_t getFlags() const { return flags_; }
  void setFlags(uint16_t flags) { flags_ = flags; }
  uint64_t getRecordID() const { return recordId_; }
  void setRecordID(uint64_t id) { recordId_ = id; }
  // Data bytes per record (without record id and invalidation bytes).
  uint32_t getRecordSize() const { return dataBytes_; }
  // Only for a group that is not variable-length; ignored otherwise.
  void setRecordSize(uint32_t bytes) {
    if (!isVLSD()) dataBytes_ = bytes;
  }
  uint32_t getInvalidationBytes() const { return invalidationBytes_; }
  void setInvalidationBytes(uint32_t bytes) {
    if (!isVLSD()) invalidationBytes_ = bytes;
  }
  // Only for a variable-length group: the 64-bit byte count that the two
  // 32-bit size fields form.
  void setVLSDBytes(uint64_t bytes) {
    if (!isVLSD()) return;
    dataBytes_ = static_cast<uint32_t>(bytes);
    invalidationBytes_ = static_cast<uint32_t>(bytes >> 32);
  }
  uint64_t getVLSDBytes() const { return (uint64_t{invalidationBytes_} << 32) | dataBytes_; }
  // Low 32 bits of the cycle count.
  uint32_t getCycleCount() const { return static_cast<uint32_t>(cycleCount_); }
  void setCycleCount(uint64_t count) { cycleCount_ = count; }
  uint64_t getCycleCount64() const { return cycleCount_; }
  void setPathSeparator(uint16_t c) { pathSeparator_ = c; }
  uint16_t getPathSeparator() const { return pathSeparator_; }
  // Variable-length signal-data group (flags bit 0).
  bool isVLSD() const { return (flags_ & 1u) != 0; }

  // Decoding rules of the group's channels, in channel order, built at load.
  std::vector<cMdfDecodeRule>& getDecodingRules() { return *rules_; }
  const std::vector<cMdfDecodeRule>& decodingRules() const { return *rules_; }
  // Rebuilds the rules from the channels.
  void rebuildDecodingRules();

 private:
  uint64_t recordId_ = 0;
  uint64_t cycleCount_ = 0;
  uint16_t flags_ = 0;
  uint16_t pathSeparator_ = 0;
  uint32_t dataBytes_ = 0;
  uint32_t invalidationBytes_ = 0;
  std::unique_ptr<std::vector<cMdfDecodeRule>> rules_;
};

// Channel ("##CN", 8 links).
class cMdfBlock_CN final : public cMdfBlock {
 public:
  static constexpr cMdfBlockKind kKind = cMdfBlockKind::CN;
  cMdfBlock_CN() : cMdfBlock(kKind, 160, 8) {}

  bool load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* nextLink) override;
  bool save(cMdfSaveContext& ctx, const cMdfBlock* next) override;
  void getLinks(std::vector<const cMdfBlock*>& out) const override;

  cMdfBlockList<cMdfBlock_CN> composition;  // children of a structure channel
  cMdfBlockPtr name;        // TX
  cMdfBlockPtr source;      // SI
  cMdfBlockPtr conversion;  // CC
  cMdfBlockPtr signalData;  // SD block or VLSD channel group
  cMdfBlockPtr unit;        // MD or TX
  cMdfBlockPtr comment;     // MD or TX

  std::string_view getName() const { return cMdfBlock_getText(name.get()); }

  // Stored channel type if below 7, else 7.
  uint8_t getChannelType() const { return channelType_ < 7 ? channelType_ : 7; }
  // Stored value + 1 if below 11, else 0: 1 unsigned LE ... 11 byte array.
  uint8_t getDataType() const { return dataType_ < 11 ? dataType_ + 1 : 0; }
  // Stored value if below 5, else 5.
  uint8_t getSyncType() const { return syncType_ < 5 ? syncType_ : 5; }
  // Setters take the numbering of the getters; out-of-range stores 0.
  void setChannelType(uint8_t t) { channelType_ = t < 7 ? t : 0; }
  void setDataType(uint8_t t) { dataType_ = (t >= 1 && t <= 11) ? t - 1 : 0; }
  void setSyncType(uint8_t t) { syncType_ = (t >= 1 && t <= 4) ? t : 0; }
  // The raw codes as stored in the file.
  uint8_t storedChannelType() const { return channelType_; }
  uint8_t storedDataType() const { return dataType_; }

  uint8_t getBitOffset() const { return bitOffset_; }
  void setBitOffset(uint8_t v) { bitOffset_ = v; }
  uint32_t getByteOffset() const { return byteOffset_; }
  void setByteOffset(uint32_t v) { byteOffset_ = v; }
  uint32_t getBitLength() const { return bitCount_; }
  void setBitLength(uint32_t v) { bitCount_ = v; }
  uint32_t getChannelFlags() const { return flags_; }
  void setChannelFlags(uint32_t v) { flags_ = v; }
  uint32_t getInvalidationBitPos() const { return invalBitPos_; }
  void setInvalidationBitPos(uint32_t v) { invalBitPos_ = v; }

  uint8_t precision = 0;
  uint16_t attachmentCount = 0;
  // Value range min/max, limit min/max, extended limit min/max.
  double ranges[6] = {0, 0, 0, 0, 0, 0};

 private:
  uint8_t channelType_ = 0;
  uint8_t syncType_ = 0;
  uint8_t dataType_ = 0;
  uint8_t bitOffset_ = 0;
  uint32_t byteOffset_ = 0;
  uint32_t bitCount_ = 0;
  uint32_t flags_ = 0;
  uint32_t invalBitPos_ = 0;
};

// Conversion ("##CC", exactly 4 links: name, unit, comment, inverse).
// Conversions with reference links (text tables) are not loadable.
class cMdfBlock_CC final : public cMdfBlock {
 public:
  static constexpr cMdfBlockKind kKind = cMdfBlockKind::CC;
  cMdfBlock_CC() : cMdfBlock(kKind, 80, 4) {}

  bool load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* nextLink) override;
  bool save(cMdfSaveContext& ctx, const cMdfBlock* next) override;
  void getLinks(std::vector<const cMdfBlock*>& out) const override;

  cMdfBlockPtr name;
  cMdfBlockPtr unit;
  cMdfBlockPtr comment;
  cMdfBlockPtr inverse;

  // Type 1: physical = offset + factor * raw.
  void setLinear(double offset, double factor);
  // Type 5: key/value pairs in ascending key order.
  void setLookup(const std::map<double, double>& table);

  uint8_t type = 0;  // 0 identity, 1 linear, ..., 5 value-to-value table
  uint8_t precision = 0;
  uint16_t flags = 0;
  uint16_t refCount = 0;
  double physMin = 0.0;
  double physMax = 0.0;
  std::vector<double> values;  // the value count is values.size()
};

// Payload of a DT or SD block as a read-only stream (read, tell, seek; no
// write, close does nothing).  Positions are relative to the payload start;
// reads and seeks are clamped to the payload size.  Reads fail (-1) when the
// source cannot be positioned.
class cMdfPayloadView final : public cIO {
 public:
  explicit cMdfPayloadView(const cMdfBlock& block) : block_(block) {}
  int64_t read(void* dst, int64_t n) override;
  int64_t tell() override { return static_cast<int64_t>(position_); }
  int64_t seek(int64_t offset, int32_t origin) override;
  int32_t close() override { return 0; }

  // Reads from `source` at `dataOffset`; `sourceSize` bounds the payload
  // whatever the block's stored length claims.
  void bind(cIO* source, uint64_t dataOffset, uint64_t sourceSize) {
    source_ = source;
    dataOffset_ = dataOffset;
    sourceSize_ = sourceSize;
    position_ = 0;
  }
  cIO* source() const { return source_; }
  uint64_t dataOffset() const { return dataOffset_; }
  // The block's payload size, cut at the end of the source.
  uint64_t payloadSize() const;

 private:
  const cMdfBlock& block_;
  cIO* source_ = nullptr;
  uint64_t dataOffset_ = 0;
  uint64_t sourceSize_ = 0;
  uint64_t position_ = 0;
};

// Data ("##DT") and signal-data ("##SD") blocks: header and payload, any
// link count accepted (links are not read).  The payload is not read at load
// time; it is reached through getIOInterface().
template <cMdfBlockKind K>
class cMdfBlock_Data : public cMdfBlock {
 public:
  static constexpr cMdfBlockKind kKind = K;
  cMdfBlock_Data() : cMdfBlock(K, 24, 0), view_(*this) {}

  bool load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* nextLink) override;
  // Writes a header without links (length = 24 + getPayloadSize()) and
  // copies the payload from the view after it.
  bool save(cMdfSaveContext& ctx, const cMdfBlock* next) override;

  // The payload stream; lives as long as the block.
  cIO* getIOInterface() { return &view_; }
  // Absolute position of the payload in the source stream.
  uint64_t getDataOffset() const { return view_.dataOffset(); }
  // Payload bytes: length - 24 - 8 * links (0 when that underflows).
  uint64_t getDataSize() const;
  // The payload bytes that can actually be read: getDataSize(), cut at the
  // end of the source stream.  What the payload view reads and seeks within.
  uint64_t getPayloadSize() const { return view_.payloadSize(); }
  // The payload now comes from `source` (owned), data offset 0; length =
  // 24 + size of the source.  False for a null source or one without a size.
  bool setData(std::unique_ptr<cIO> source);

 private:
  std::unique_ptr<cIO> owned_;
  cMdfPayloadView view_;
};
class cMdfBlock_DT final : public cMdfBlock_Data<cMdfBlockKind::DT> {};
class cMdfBlock_SD final : public cMdfBlock_Data<cMdfBlockKind::SD> {};

// A new DT/SD block owning `source` (see setData); null on failure.
std::shared_ptr<cMdfBlock_DT> cMdfBlock_DT_ctor_fromIO(std::unique_ptr<cIO> source);
std::shared_ptr<cMdfBlock_SD> cMdfBlock_SD_ctor_fromIO(std::unique_ptr<cIO> source);
