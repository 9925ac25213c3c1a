// MDF 4 metadata blocks: identification (ID), header (HD), file history (FH),
// text (TX), XML metadata (MD) and source information (SI).  They describe the
// file, the tool that wrote it and where the logged data came from; the
// records themselves hang off the header's data groups (mdf_block_data.h).
// Fields are the file's values as stored: loading keeps them, saving writes
// them back unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "mdf/mdf_block.h"

// Text of a comment/name link: the text of an MD or TX block, else empty.
// The view lives as long as the block.
std::string_view cMdfBlock_getText(const cMdfBlock* block);

// Identification block: 64 bytes at offset 0, no header, no links.
class cMdfBlock_ID final : public cMdfBlock {
 public:
  static constexpr cMdfBlockKind kKind = cMdfBlockKind::ID;
  // Unfinalised flag bit 2: the length of the last data block was never
  // written.
  static constexpr uint16_t kLastDtLengthUnset = 4;

  cMdfBlock_ID() : cMdfBlock(kKind, 64, 0) {}

  bool load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* nextLink) override;
  // Writes "UnFinMF " when either flag word is nonzero, else "MDF     ".
  bool save(cMdfSaveContext& ctx, const cMdfBlock* next) override;
  void getLinks(std::vector<const cMdfBlock*>& out) const override;

  // Version text "major.minor" padded to 8; number major*100+minor.  False
  // when either part is 100 or more.
  bool setVersion(uint32_t major, uint32_t minor);
  // Program text padded to 8 characters; false when longer than 7.
  bool setProgram(std::string_view program);

  std::shared_ptr<cMdfBlock_HD> header;  // the header block at offset 64
  uint16_t finalizationFlags = 0;        // standard unfinalised flags

 private:
  std::string versionText_;
  std::string programText_;
  uint16_t versionNumber_ = 0;
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

// Source type of a source-information block, numbered as in the file
// (si_type).  Codes beyond User are kept as they are.
enum class cMdfSourceType : uint8_t { Other = 0, Ecu = 1, Bus = 2, IoDevice = 3, Tool = 4, User = 5 };

// Bus type of a source-information block, numbered as in the file
// (si_bus_type).  Codes beyond Usb are kept as they are.
enum class cMdfBusType : uint8_t {
  None = 0,
  Other = 1,
  Can = 2,
  Lin = 3,
  Most = 4,
  FlexRay = 5,
  KLine = 6,
  Ethernet = 7,
  Usb = 8,
};

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

  cMdfSourceType sourceType = cMdfSourceType::Other;
  cMdfBusType busType = cMdfBusType::None;
  uint8_t flags = 0;
};
