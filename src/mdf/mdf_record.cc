// Record map and record reading of a data group.
#include "mdf/mdf_record.h"

#include <algorithm>
#include <cstring>

#include "base/log.h"
#include "db/decode.h"
#include "mdf/mdf_block_meta.h"

namespace {

constexpr uint32_t kMaxVlsdBytes = 128;

bool validIdSize(uint8_t size) {
  return size == 0 || size == 1 || size == 2 || size == 4 || size == 8;
}

std::vector<cMdfDecodeRule> rulesOf(const cMdfBlock_CG& cg) {
  std::vector<cMdfDecodeRule> rules;
  for (const auto& cn : cg.channels) createDecodingRulesInner(*cn, rules);
  // Every rule is evaluated for every record, so rules beyond one per bit of
  // the record (plus some slack) only let a small file cost quadratic time.
  const uint64_t maxRules = 8 * (uint64_t{cg.dataBytes} + cg.invalidationBytes) + 64;
  if (rules.size() > maxRules) {
    LOG_ERROR("Too many channels in channel group at offset %lu",
              static_cast<unsigned long>(cg.fileOffset()));
    rules.clear();
  }
  return rules;
}

cMdfRecordInfo infoOf(const cMdfBlock_CG& cg, const std::vector<cMdfDecodeRule>& rules) {
  cMdfRecordInfo info;
  info.recordId = cg.recordId;
  if (cg.isVLSD()) {
    info.recordLength = cMdfRecordInfo::kVlsd;
    return info;
  }
  // Invalidation bytes follow the data bytes in every record.
  uint64_t length = uint64_t{cg.dataBytes} + cg.invalidationBytes;
  info.recordLength = static_cast<uint32_t>(std::min<uint64_t>(length, cMdfRecordInfo::kVlsd - 1));
  info.rules = &rules;
  cMdfDecodeRule_pickFrameDecoder(rules, info.decoder);
  for (size_t i = 0; i < rules.size(); ++i) {
    const cMdfBlock* link = rules[i].vlsdDataLink;
    if (link == nullptr) continue;
    info.vlsdRule = static_cast<int32_t>(i);
    if (auto* vlsdGroup = mdf_cast<cMdfBlock_CG>(link)) info.vlsdRecordId = vlsdGroup->recordId;
    break;
  }
  return info;
}

// Index of the channel group whose records fill a data group without record
// ids, or -1.
ptrdiff_t soleGroup(const cMdfBlock_DG& dg) {
  if (dg.channelGroups.size() == 1) return 0;
  ptrdiff_t found = -1;
  for (size_t i = 0; i < dg.channelGroups.size(); ++i) {
    const cMdfBlock_CG& cg = *dg.channelGroups[i];
    if (cg.isVLSD() || cg.cycleCount == 0) continue;
    if (found >= 0) return -1;
    found = static_cast<ptrdiff_t>(i);
  }
  return found;
}

void buildRecordMap(cMdfDataGroupPlan& plan) {
  const cMdfBlock_DG& dg = *plan.dataGroup;
  const uint8_t idSize = dg.recordIdSize;
  if (!validIdSize(idSize)) {
    LOG_WARN("Unsupported record id size %u in data group at offset %lu; its records are skipped",
             idSize, static_cast<unsigned long>(dg.fileOffset()));
    return;
  }
  if (idSize == 0) {
    const ptrdiff_t sole = soleGroup(dg);
    if (sole < 0) {
      if (!dg.channelGroups.empty())
        LOG_WARN("Data group at offset %lu has %zu channel groups but no record ids; "
                 "its records are skipped",
                 static_cast<unsigned long>(dg.fileOffset()), dg.channelGroups.size());
      return;
    }
    const auto i = static_cast<size_t>(sole);
    cMdfRecordInfo info = infoOf(*dg.channelGroups[i], plan.rules[i]);
    info.recordId = 0;
    plan.records.insert(info);
    return;
  }
  for (size_t i = 0; i < dg.channelGroups.size(); ++i)
    if (!plan.records.insert(infoOf(*dg.channelGroups[i], plan.rules[i]))) break;
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

// Copies up to `n` payload bytes at `pos` to `dst` through the state's
// read-ahead window; returns the count copied (short only at the end of the
// payload or on a read failure).
size_t fetch(cIO* io, cMdfIteratorState& s, uint64_t pos, uint8_t* dst, size_t n) {
  size_t done = 0;
  while (done < n) {
    uint64_t at = pos + done;
    if (at >= s.windowStart && at < s.windowStart + s.windowFill) {
      size_t from = static_cast<size_t>(at - s.windowStart);
      size_t take = std::min(n - done, s.windowFill - from);
      std::memcpy(dst + done, s.window.data() + from, take);
      done += take;
      continue;
    }
    if (at > static_cast<uint64_t>(INT64_MAX) ||
        io->seek(static_cast<int64_t>(at), cIO::kSeekSet) != static_cast<int64_t>(at))
      break;
    if (n - done >= cMdfIteratorState::kWindowBytes) {  // large: straight to the caller
      int64_t got = io->read(dst + done, static_cast<int64_t>(n - done));
      if (got <= 0) break;
      done += static_cast<size_t>(got);
      continue;
    }
    // No larger than the data block: a file of many small data groups reads
    // ahead of each of them at once.
    const auto capacity =
        static_cast<size_t>(std::min<uint64_t>(cMdfIteratorState::kWindowBytes, s.payloadSize));
    if (s.window.size() < capacity) s.window.resize(capacity);
    int64_t got = io->read(s.window.data(), static_cast<int64_t>(s.window.size()));
    s.windowFill = 0;
    if (got <= 0) break;
    s.windowStart = at;
    s.windowFill = static_cast<size_t>(got);
  }
  return done;
}

// Little-endian id of `size` bytes at `pos`; missing bytes count as zero.
// False when not a single byte is there.
bool fetchId(cIO* io, cMdfIteratorState& s, uint64_t pos, uint8_t size, uint64_t* id,
             bool* whole = nullptr) {
  uint8_t raw[8] = {};
  size_t got = fetch(io, s, pos, raw, size);
  if (whole != nullptr) *whole = got == size;
  if (got == 0) return false;
  uint64_t v = 0;
  for (int i = size - 1; i >= 0; --i) v = (v << 8) | raw[i];
  *id = v;
  return true;
}

// Appends the u32 length `n` and, when n <= 128, the VLSD bytes at `pos`.
bool fetchVlsd(cIO* io, cMdfIteratorState& s, uint64_t pos, uint32_t n) {
  uint8_t len[4] = {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
  s.vlsd.insert(s.vlsd.end(), len, len + 4);
  if (n > kMaxVlsdBytes) {
    LOG_ERROR("Unexpectedly large record: %u", n);
    return true;
  }
  size_t at = s.vlsd.size();
  s.vlsd.resize(at + n);
  return fetch(io, s, pos, s.vlsd.data() + at, n) == n;
}

// VLSD bytes of the record just read (which ends at `pos`).  Returns the
// bytes of the data block consumed behind the record, or -1 on a read failure.
int64_t readVlsd(const cMdfRecordInfo& info, uint8_t idSize, cIO* io, uint64_t pos,
                 cMdfIteratorState& state) {
  const cMdfDecodeRule& rule = (*info.rules)[static_cast<size_t>(info.vlsdRule)];
  if (mdf_cast<cMdfBlock_CG>(rule.vlsdDataLink) != nullptr) {
    if (idSize == 0) return 0;
    uint64_t id = 0;
    bool whole = false;
    // The data end before the VLSD record: the record is incomplete.
    if (!fetchId(io, state, pos, idSize, &id, &whole) || !whole) return -1;
    // Another group's id: no VLSD data for this record; the id stays unread.
    if (id != info.vlsdRecordId) return 0;
    uint8_t raw[4];
    if (fetch(io, state, pos + idSize, raw, 4) != 4) return -1;
    uint32_t n = uint32_t{raw[0]} | uint32_t{raw[1]} << 8 | uint32_t{raw[2]} << 16 |
                 uint32_t{raw[3]} << 24;
    if (!fetchVlsd(io, state, pos + idSize + 4, n)) return -1;
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
    if (at >= sd->getPayloadSize() || sdio->seek(static_cast<int64_t>(at), cIO::kSeekSet) !=
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
  state->windowStart = 0;
  state->windowFill = 0;
  state->payloadSizeKnown = false;
  state->view = cMdfRecordView{};
  return true;
}

std::unique_ptr<cMdfDataGroupPlan> cMdfDataGroupPlan_build(const cMdfBlock_DG& dg) {
  auto plan = std::make_unique<cMdfDataGroupPlan>();
  plan->dataGroup = &dg;
  plan->rules.reserve(dg.channelGroups.size());
  for (const auto& cg : dg.channelGroups) plan->rules.push_back(rulesOf(*cg));
  buildRecordMap(*plan);
  return plan;
}

cMdfDecodingPlan cMdfDecodingPlan_build(const cMdfBlock_ID& id) {
  cMdfDecodingPlan plans;
  if (!id.header) return plans;
  plans.reserve(id.header->dataGroups.size());
  for (const auto& dg : id.header->dataGroups)
    if (dg) plans.push_back(cMdfDataGroupPlan_build(*dg));
  return plans;
}

const cMdfRecordView* cMdfDataGroupPlan_at(const cMdfDataGroupPlan& plan, cMdfIteratorState& state) {
  const cMdfBlock_DG& dg = *plan.dataGroup;
  auto* dt = mdf_cast_mut<cMdfBlock_DT>(dg.data.get());
  const cMdfRecordMap* map = &plan.records;
  if (dt == nullptr || map->empty()) return nullptr;
  cIO* io = dt->getIOInterface();
  if (!state.payloadSizeKnown) {
    state.payloadSize = dt->getPayloadSize();
    state.payloadSizeKnown = true;
  }
  const uint64_t size = state.payloadSize;
  const uint64_t pos = state.position;
  if (pos >= size) return nullptr;
  const uint8_t idSize = dg.recordIdSize;
  uint64_t id = 0;
  if (idSize != 0 && !fetchId(io, state, pos, idSize, &id)) return nullptr;
  const cMdfRecordInfo* info = map->find(id);
  if (info == nullptr || info->recordLength == cMdfRecordInfo::kVlsd) return nullptr;
  // Records of no bytes at all would never move the position on.
  if (idSize == 0 && info->recordLength == 0) return nullptr;
  // A record length is never trusted beyond the data that is left.
  const uint64_t left = size - pos;
  if (idSize > left || info->recordLength > left - idSize) return nullptr;
  state.vlsd.clear();
  const uint64_t at = pos + idSize;
  if (info->vlsdRule < 0 && at >= state.windowStart &&
      at - state.windowStart + info->recordLength <= state.windowFill) {
    // Wholly inside the read-ahead window, which no further read of this
    // record moves: the view points into it, no copy.
    state.view.record = std::span<const uint8_t>(state.window.data() + (at - state.windowStart),
                                                 info->recordLength);
  } else {
    state.record.resize(info->recordLength);
    if (fetch(io, state, at, state.record.data(), info->recordLength) != info->recordLength)
      return nullptr;
    state.view.record = state.record;
  }
  uint64_t advance = uint64_t{idSize} + info->recordLength;
  if (info->vlsdRule >= 0) {
    int64_t extra = readVlsd(*info, idSize, io, pos + advance, state);
    if (extra < 0) return nullptr;
    advance += static_cast<uint64_t>(extra);
  }
  state.position = pos + advance;
  state.view.vlsd = state.vlsd;
  state.view.rules = info->rules;
  state.view.decoder = info->decoder;
  return &state.view;
}
