// Record map and record reading of a data group.
#include "mdf/mdf_record.h"

#include <cstring>

#include "app/log.h"
#include "db/decode.h"

namespace {

constexpr uint32_t kMaxVlsdBytes = 128;

bool validIdSize(uint8_t size) {
  return size == 0 || size == 1 || size == 2 || size == 4 || size == 8;
}

cMdfRecordInfo infoOf(cMdfBlock_CG& cg) {
  cMdfRecordInfo info;
  info.recordId = cg.getRecordID();
  if (cg.isVLSD()) {
    info.recordLength = cMdfRecordInfo::kVlsd;
    return info;
  }
  // Invalidation bytes follow the data bytes in every record.
  uint64_t length = uint64_t{cg.getRecordSize()} + cg.getInvalidationBytes();
  info.recordLength = static_cast<uint32_t>(std::min<uint64_t>(length, cMdfRecordInfo::kVlsd - 1));
  info.rules = &cg.getDecodingRules();
  getOptimalDecoder(*info.rules, info.decoder);
  for (size_t i = 0; i < info.rules->size(); ++i) {
    const cMdfBlock* link = (*info.rules)[i].vlsdDataLink;
    if (link == nullptr) continue;
    info.vlsdRule = static_cast<int32_t>(i);
    if (auto* vlsdGroup = mdf_cast<cMdfBlock_CG>(link)) info.vlsdRecordId = vlsdGroup->getRecordID();
    break;
  }
  return info;
}

// The channel group whose records fill a data group without record ids.
cMdfBlock_CG* soleGroup(cMdfBlock_DG& dg) {
  if (dg.channelGroups.size() == 1) return dg.channelGroups.front().get();
  cMdfBlock_CG* found = nullptr;
  for (auto& cg : dg.channelGroups) {
    if (cg->isVLSD() || cg->getCycleCount64() == 0) continue;
    if (found != nullptr) return nullptr;
    found = cg.get();
  }
  return found;
}

// Reads `size` (<= 8) bytes as a little-endian unsigned integer; missing
// bytes count as zero.  False when not a single byte could be read.
bool readId(cIO* io, uint8_t size, uint64_t* id) {
  uint8_t raw[8] = {};
  int64_t got = io->read(raw, size);
  if (got <= 0) return false;
  uint64_t v = 0;
  for (int i = size - 1; i >= 0; --i) v = (v << 8) | raw[i];
  *id = v;
  return true;
}

bool readU32(cIO* io, uint32_t* v) {
  uint8_t raw[4];
  if (io->read(raw, 4) != 4) return false;
  *v = uint32_t{raw[0]} | uint32_t{raw[1]} << 8 | uint32_t{raw[2]} << 16 | uint32_t{raw[3]} << 24;
  return true;
}

// Appends the u32 length and (when small enough) the VLSD bytes read from
// `io` at its current position.  False on a short read of the bytes.
bool appendVlsd(cIO* io, uint32_t n, std::vector<uint8_t>& out) {
  uint8_t len[4] = {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
  out.insert(out.end(), len, len + 4);
  if (n > kMaxVlsdBytes) {
    LOG_ERROR("Unexpectedly large record: %u", n);
    return true;
  }
  size_t at = out.size();
  out.resize(at + n);
  return n == 0 || io->read(out.data() + at, n) == static_cast<int64_t>(n);
}

// VLSD bytes of the record just read.  Returns the bytes of the data stream
// consumed behind the record, or -1 on a read failure.
int64_t readVlsd(const cMdfRecordInfo& info, uint8_t idSize, cIO* io, cMdfIteratorState& state) {
  const cMdfDecodeRule& rule = (*info.rules)[static_cast<size_t>(info.vlsdRule)];
  if (mdf_cast<cMdfBlock_CG>(rule.vlsdDataLink) != nullptr) {
    if (idSize == 0) return 0;
    int64_t here = io->tell();
    uint64_t id = 0;
    if (!readId(io, idSize, &id) || id != info.vlsdRecordId) {
      io->seek(here, cIO::kSeekSet);  // not ours: give the id back
      return 0;
    }
    uint32_t n = 0;
    if (!readU32(io, &n) || !appendVlsd(io, n, state.vlsd)) return -1;
    return int64_t{idSize} + 4 + n;
  }
  auto* sd = mdf_cast_mut<cMdfBlock_SD>(const_cast<cMdfBlock*>(rule.vlsdDataLink));
  uint32_t n = 0;
  cIO* sdio = sd != nullptr ? sd->getIOInterface() : nullptr;
  if (sdio != nullptr) {
    uint64_t at = rule.bitOffset > UINT32_MAX
                      ? UINT64_MAX
                      : cDecode_getRawBits(state.record, static_cast<uint32_t>(rule.bitOffset),
                                           rule.bitCount, rule.littleEndian);
    if (at >= sd->getDataSize() || sdio->seek(static_cast<int64_t>(at), cIO::kSeekSet) !=
                                       static_cast<int64_t>(at) || !readU32(sdio, &n))
      n = 0;
  }
  if (!appendVlsd(sdio, n, state.vlsd)) state.vlsd.resize(4);
  return 0;
}

}  // namespace

bool cMdfBlock_DG_iteratorState_init(cMdfIteratorState* state) {
  if (state == nullptr) return false;
  state->position = 0;
  state->record.clear();
  state->vlsd.clear();
  state->view = cMdfRecordView{};
  return true;
}

void cMdfBlock_DG_updateRecordMap(cMdfBlock_DG& dg) {
  cMdfRecordMap* map = dg.recordMapMut();
  map->clear();
  uint8_t idSize = dg.getRecordIDSize();
  if (!validIdSize(idSize)) {
    LOG_WARN("Unsupported record id size %u in data group at offset %lu; its records are skipped",
             idSize, static_cast<unsigned long>(dg.fileOffset()));
    return;
  }
  if (idSize == 0) {
    cMdfBlock_CG* cg = soleGroup(dg);
    if (cg == nullptr) {
      if (!dg.channelGroups.empty())
        LOG_WARN("Data group at offset %lu has %zu channel groups but no record ids; "
                 "its records are skipped",
                 static_cast<unsigned long>(dg.fileOffset()), dg.channelGroups.size());
      return;
    }
    cMdfRecordInfo info = infoOf(*cg);
    info.recordId = 0;
    map->insert(info);
    return;
  }
  for (auto& cg : dg.channelGroups)
    if (!map->insert(infoOf(*cg))) break;
}

const cMdfRecordView* cMdfBlock_DG_at(const cMdfBlock_DG& dg, cMdfIteratorState& state) {
  auto* dt = mdf_cast_mut<cMdfBlock_DT>(dg.data.get());
  const cMdfRecordMap* map = dg.recordMap();
  if (dt == nullptr || map == nullptr || map->empty()) return nullptr;
  cIO* io = dt->getIOInterface();
  uint64_t size = dt->getDataSize();
  if (state.position >= size ||
      io->seek(static_cast<int64_t>(state.position), cIO::kSeekSet) !=
          static_cast<int64_t>(state.position))
    return nullptr;
  uint8_t idSize = dg.getRecordIDSize();
  uint64_t id = 0;
  if (idSize != 0 && !readId(io, idSize, &id)) return nullptr;
  const cMdfRecordInfo* info = map->find(id);
  if (info == nullptr || info->recordLength == cMdfRecordInfo::kVlsd) return nullptr;
  // A record length is never trusted beyond the data that is left.
  if (info->recordLength > size - state.position - std::min<uint64_t>(idSize, size - state.position))
    return nullptr;
  state.record.resize(info->recordLength);
  state.vlsd.clear();
  if (info->recordLength != 0 &&
      io->read(state.record.data(), info->recordLength) != int64_t{info->recordLength})
    return nullptr;
  uint64_t advance = uint64_t{idSize} + info->recordLength;
  if (info->vlsdRule >= 0) {
    int64_t extra = readVlsd(*info, idSize, io, state);
    if (extra < 0) return nullptr;
    advance += static_cast<uint64_t>(extra);
  }
  state.position += advance;
  state.view.record = state.record;
  state.view.vlsd = state.vlsd;
  state.view.rules = info->rules;
  state.view.decoder = info->decoder;
  return &state.view;
}

bool cMdfBlock_DG_isSorted(const cMdfBlock_DG& dg) {
  return dg.getRecordIDSize() == 0 && dg.channelGroups.size() == 1;
}

int64_t cMdfBlock_DG_getRecordDataRaw(const cMdfBlock_DG& dg, uint64_t offset, cMdfRawRecord& out) {
  auto* dt = mdf_cast_mut<cMdfBlock_DT>(dg.data.get());
  out.bytes.clear();
  const cMdfRecordMap* map = dg.recordMap();
  if (dt == nullptr || map == nullptr || map->empty() || offset > static_cast<uint64_t>(INT64_MAX))
    return -1;
  cIO* io = dt->getIOInterface();
  uint64_t size = dt->getDataSize();
  if (offset >= size || io->seek(static_cast<int64_t>(offset), cIO::kSeekSet) != int64_t(offset))
    return -1;
  uint8_t idSize = dg.getRecordIDSize();
  uint64_t id = 0;
  if (idSize != 0 && !readId(io, idSize, &id)) return -1;
  out.recordId = id;
  const cMdfRecordInfo* info = map->find(id);
  if (info == nullptr) return -1;
  uint64_t left = size - std::min<uint64_t>(size, offset + idSize);
  if (info->recordLength == cMdfRecordInfo::kVlsd) {
    uint32_t n = 0;
    if (!readU32(io, &n) || n > left - std::min<uint64_t>(4, left)) return -1;
    out.bytes.resize(4 + uint64_t{n});
    std::memcpy(out.bytes.data(), &n, 4);
    if (n != 0 && io->read(out.bytes.data() + 4, n) != int64_t{n}) return -1;
    return int64_t{idSize} + 4 + n;
  }
  if (info->recordLength > left) return -1;
  out.bytes.resize(info->recordLength);
  if (info->recordLength != 0 &&
      io->read(out.bytes.data(), info->recordLength) != int64_t{info->recordLength})
    return -1;
  return int64_t{idSize} + info->recordLength;
}
