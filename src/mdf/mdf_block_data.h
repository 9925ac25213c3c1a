// MDF 4 data blocks: data group (DG), channel group (CG), channel (CN),
// conversion (CC), data (DT) and signal data (SD), and the payload view that
// reads a DT/SD payload from the file.  They say where the records are and
// how they are laid out.  Fields are the file's values as stored (enumerated
// codes as enum classes with the file's numbering, unknown codes kept): what
// a code means for decoding is decided by the decoding rules
// (mdf_decode_rule.h) and the record layer (mdf_record.h), never here.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "mdf/mdf_block.h"

class cMdfConversionRule;

// Data group ("##DG", 4 links): channel groups, data block, comment, record
// id size.
class cMdfBlock_DG final : public cMdfBlock {
 public:
  static constexpr cMdfBlockKind kKind = cMdfBlockKind::DG;
  cMdfBlock_DG() : cMdfBlock(kKind, 64, 4) {}

  bool load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* nextLink) override;
  bool save(cMdfSaveContext& ctx, const cMdfBlock* next) override;
  void getLinks(std::vector<const cMdfBlock*>& out) const override;

  cMdfBlockList<cMdfBlock_CG> channelGroups;
  cMdfBlockPtr data;     // a DT block for record access
  cMdfBlockPtr comment;  // MD or TX

  // Bytes of the record id in front of every record (0, 1, 2, 4 or 8 in a
  // valid file; any stored value is kept).
  uint8_t recordIdSize = 0;
};

// Channel group ("##CG", 6 links): channels, acquisition name and source,
// comment, record layout.  Sample reductions are not supported.
class cMdfBlock_CG final : public cMdfBlock {
 public:
  static constexpr cMdfBlockKind kKind = cMdfBlockKind::CG;
  // cg_flags bits.
  static constexpr uint16_t kFlagVlsd = 1;            // variable-length signal data
  static constexpr uint16_t kFlagBusEvent = 2;        // records are bus events
  static constexpr uint16_t kFlagPlainBusEvent = 4;   // only the bus event structure

  cMdfBlock_CG() : cMdfBlock(kKind, 104, 6) {}

  bool load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* nextLink) override;
  bool save(cMdfSaveContext& ctx, const cMdfBlock* next) override;
  void getLinks(std::vector<const cMdfBlock*>& out) const override;

  cMdfBlockList<cMdfBlock_CN> channels;
  cMdfBlockPtr acquisitionName;    // TX
  cMdfBlockPtr acquisitionSource;  // SI
  cMdfBlockPtr comment;            // MD or TX

  // Variable-length signal-data group (flags bit 0).
  bool isVLSD() const { return (flags & kFlagVlsd) != 0; }
  // The byte count of a variable-length group: the two 32-bit size fields
  // form one 64-bit number (data bytes low, invalidation bytes high).
  void setVLSDBytes(uint64_t bytes) {
    dataBytes = static_cast<uint32_t>(bytes);
    invalidationBytes = static_cast<uint32_t>(bytes >> 32);
  }

  uint64_t recordId = 0;
  uint64_t cycleCount = 0;
  uint16_t flags = 0;
  uint16_t pathSeparator = 0;
  // Data bytes per record (without record id and invalidation bytes).
  uint32_t dataBytes = 0;
  uint32_t invalidationBytes = 0;
};

// Channel type, numbered as in the file (cn_type).
enum class cMdfChannelType : uint8_t {
  FixedLength = 0,
  VariableLength = 1,  // VLSD: the value locates the bytes in a SD block or VLSD group
  Master = 2,
  VirtualMaster = 3,
  Synchronization = 4,
  MaximumLength = 5,
  VirtualData = 6,
};

// Synchronization type, numbered as in the file (cn_sync_type).
enum class cMdfSyncType : uint8_t { None = 0, Time = 1, Angle = 2, Distance = 3, Index = 4 };

// Data type, numbered as in the file (cn_data_type).
enum class cMdfDataType : uint8_t {
  UnsignedLE = 0,
  UnsignedBE = 1,
  SignedLE = 2,
  SignedBE = 3,
  FloatLE = 4,
  FloatBE = 5,
  StringLatin1 = 6,
  StringUtf8 = 7,
  StringUtf16LE = 8,
  StringUtf16BE = 9,
  ByteArray = 10,
  MimeSample = 11,
  MimeStream = 12,
  CanOpenDate = 13,
  CanOpenTime = 14,
  ComplexLE = 15,
  ComplexBE = 16,
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

  // The text of the name link (empty without one); lives as long as that block.
  std::string_view getName() const;

  cMdfChannelType channelType = cMdfChannelType::FixedLength;
  cMdfSyncType syncType = cMdfSyncType::None;
  cMdfDataType dataType = cMdfDataType::UnsignedLE;
  uint8_t bitOffset = 0;   // 0..7, added to byteOffset * 8
  uint32_t byteOffset = 0;  // after the record id
  uint32_t bitCount = 0;
  uint32_t flags = 0;
  uint32_t invalidationBitPos = 0;
  uint8_t precision = 0;
  uint16_t attachmentCount = 0;
  // Value range min/max, limit min/max, extended limit min/max.
  double ranges[6] = {0, 0, 0, 0, 0, 0};
};

// Conversion type, numbered as in the file (cc_type).
enum class cMdfConversionType : uint8_t {
  Identity = 0,
  Linear = 1,              // physical = values[0] + values[1] * raw
  Rational = 2,
  Algebraic = 3,
  ValueToValueInterpolated = 4,
  ValueToValue = 5,        // (key, value) pairs, no interpolation
  ValueRangeToValue = 6,
  ValueToText = 7,
  ValueRangeToText = 8,
  TextToValue = 9,
  TextToText = 10,
  BitfieldText = 11,
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

  // Linear conversion: physical = offset + factor * raw; sets the length.
  void setLinear(double offset, double factor);

  cMdfConversionType type = cMdfConversionType::Identity;
  uint8_t precision = 0;
  uint16_t flags = 0;
  uint16_t refCount = 0;
  double physMin = 0.0;
  double physMax = 0.0;
  std::vector<double> values;  // the value count is values.size()
  // The exact look-up a value-to-value table gives, once made for a channel
  // (cMdfBlock_CC_getConversionRule).
  mutable std::shared_ptr<const cMdfConversionRule> lookupRule;
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
  // The payload bytes that can actually be read: length - 24 - 8 * links
  // (0 when that underflows), cut at the end of the source stream.  What the
  // payload view reads and seeks within.
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

// A new DT block owning `source` (see setData); null on failure.
std::shared_ptr<cMdfBlock_DT> cMdfBlock_DT_ctor_fromIO(std::unique_ptr<cIO> source);
