// Data group, channel group, channel, conversion, data and signal-data blocks,
// and the payload view of the last two.
#include "mdf/mdf_block_data.h"

#include <algorithm>

#include "base/log.h"
#include "io/serializer.h"
#include "mdf/mdf_block_io.h"
#include "mdf/mdf_block_meta.h"

// --- data group ------------------------------------------------------------

bool cMdfBlock_DG::load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* nextLink) {
  if (!takeHeader(header, 4)) return false;
  std::vector<uint64_t> links;
  if (!loader.loadLinks(4, links)) return false;
  *nextLink = links[0];
  if (!loader.loadAt(links[1], channelGroups) || !cMdfBlockIO_loadSingle(loader, links[2], data) ||
      !cMdfBlockIO_loadSingle(loader, links[3], comment))
    return false;
  // Records are read once per data group: a data block shared by several
  // groups would multiply the work of reading a small file.
  if (data && !loader.claim(data->fileOffset())) return false;
  if (!cMdfBlockIO_seekData(loader, *this)) return false;
  cSerializer s(loader.stream());
  return s.readU8(&recordIdSize);
}

bool cMdfBlock_DG::save(cMdfSaveContext& ctx, const cMdfBlock* next) {
  if (!cMdfBlock_saveList(channelGroups, ctx) || !cMdfBlockIO_saveLink(ctx, data) ||
      !cMdfBlockIO_saveLink(ctx, comment))
    return false;
  setLinkCount(4);
  std::vector<uint64_t> links = {
      linkTo(next), linkTo(channelGroups.empty() ? nullptr : channelGroups.front().get()),
      linkTo(data.get()), linkTo(comment.get())};
  if (!cMdfBlockIO_writeStart(ctx, *this, links)) return false;
  cSerializer s(ctx.stream);
  return s.writeU8(&recordIdSize) && cMdfBlockIO_finish(ctx, *this);
}

void cMdfBlock_DG::getLinks(std::vector<const cMdfBlock*>& out) const {
  out.push_back(comment.get());
  out.push_back(data.get());
  for (auto& cg : channelGroups) out.push_back(cg.get());
}

// --- channel group ---------------------------------------------------------

bool cMdfBlock_CG::load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* nextLink) {
  if (!takeHeader(header, 6)) return false;
  std::vector<uint64_t> links;
  if (!loader.loadLinks(6, links)) return false;
  *nextLink = links[0];
  if (!loader.loadAt(links[1], channels) ||
      !cMdfBlockIO_loadSingle(loader, links[2], acquisitionName) ||
      !cMdfBlockIO_loadSingle(loader, links[3], acquisitionSource))
    return false;
  if (links[4] != kNoLink) {
    LOG_ERROR("Unsupported parameter present in file");
    return false;
  }
  if (!cMdfBlockIO_loadSingle(loader, links[5], comment)) return false;
  if (!cMdfBlockIO_seekData(loader, *this)) return false;
  cSerializer s(loader.stream());
  bool ok = s.readU64(&recordId);
  ok &= s.readU64(&cycleCount);
  ok &= s.readU16(&flags);
  ok &= s.readU16(&pathSeparator);
  s.skip(4);
  ok &= s.readU32(&dataBytes);
  ok &= s.readU32(&invalidationBytes);
  return ok;
}

bool cMdfBlock_CG::save(cMdfSaveContext& ctx, const cMdfBlock* next) {
  if (!cMdfBlock_saveList(channels, ctx) || !cMdfBlockIO_saveLink(ctx, acquisitionName) ||
      !cMdfBlockIO_saveLink(ctx, acquisitionSource) || !cMdfBlockIO_saveLink(ctx, comment))
    return false;
  setLinkCount(6);
  std::vector<uint64_t> links = {
      linkTo(next), linkTo(channels.empty() ? nullptr : channels.front().get()),
      linkTo(acquisitionName.get()), linkTo(acquisitionSource.get()), 0, linkTo(comment.get())};
  if (!cMdfBlockIO_writeStart(ctx, *this, links)) return false;
  cSerializer s(ctx.stream);
  uint32_t reserved = 0;
  bool ok = s.writeU64(&recordId);
  ok &= s.writeU64(&cycleCount);
  ok &= s.writeU16(&flags);
  ok &= s.writeU16(&pathSeparator);
  ok &= s.writeU32(&reserved);
  ok &= s.writeU32(&dataBytes);
  ok &= s.writeU32(&invalidationBytes);
  return ok && cMdfBlockIO_finish(ctx, *this);
}

void cMdfBlock_CG::getLinks(std::vector<const cMdfBlock*>& out) const {
  out.push_back(comment.get());
  out.push_back(acquisitionSource.get());
  out.push_back(acquisitionName.get());
  for (auto& cn : channels) out.push_back(cn.get());
}

// --- channel ---------------------------------------------------------------

bool cMdfBlock_CN::load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* nextLink) {
  if (!takeHeader(header, 8)) return false;
  std::vector<uint64_t> links;
  if (!loader.loadLinks(8, links)) return false;
  *nextLink = links[0];
  if (!loader.loadAt(links[1], composition)) return false;
  cMdfBlockPtr* singles[] = {&name, &source, &conversion, &signalData, &unit, &comment};
  for (size_t i = 0; i < 6; ++i)
    if (!cMdfBlockIO_loadSingle(loader, links[2 + i], *singles[i])) return false;
  if (!cMdfBlockIO_seekData(loader, *this)) return false;
  cSerializer s(loader.stream());
  bool ok = cMdfBlockIO_readCode(s, &channelType);
  ok &= cMdfBlockIO_readCode(s, &syncType);
  ok &= cMdfBlockIO_readCode(s, &dataType);
  ok &= s.readU8(&bitOffset);
  ok &= s.readU32(&byteOffset);
  ok &= s.readU32(&bitCount);
  ok &= s.readU32(&flags);
  ok &= s.readU32(&invalidationBitPos);
  ok &= s.readU8(&precision);
  s.skip(1);
  ok &= s.readU16(&attachmentCount);
  for (double& r : ranges) ok &= s.readF64(&r);
  return ok;
}

bool cMdfBlock_CN::save(cMdfSaveContext& ctx, const cMdfBlock* next) {
  if (!cMdfBlock_saveList(composition, ctx)) return false;
  for (auto* single : {&name, &source, &conversion, &signalData, &unit, &comment})
    if (!cMdfBlockIO_saveLink(ctx, *single)) return false;
  setLinkCount(8);
  std::vector<uint64_t> links = {
      linkTo(next), linkTo(composition.empty() ? nullptr : composition.front().get()),
      linkTo(name.get()), linkTo(source.get()), linkTo(conversion.get()),
      linkTo(signalData.get()), linkTo(unit.get()), linkTo(comment.get())};
  if (!cMdfBlockIO_writeStart(ctx, *this, links)) return false;
  cSerializer s(ctx.stream);
  uint8_t reserved = 0;
  bool ok = cMdfBlockIO_writeCode(s, channelType);
  ok &= cMdfBlockIO_writeCode(s, syncType);
  ok &= cMdfBlockIO_writeCode(s, dataType);
  ok &= s.writeU8(&bitOffset);
  ok &= s.writeU32(&byteOffset);
  ok &= s.writeU32(&bitCount);
  ok &= s.writeU32(&flags);
  ok &= s.writeU32(&invalidationBitPos);
  ok &= s.writeU8(&precision);
  ok &= s.writeU8(&reserved);
  ok &= s.writeU16(&attachmentCount);
  for (const double& r : ranges) ok &= s.writeF64(&r);
  if (!ok) return false;
  int64_t pos = ctx.stream->tell();
  uint64_t expected = fileOffset() + length();
  if (pos < 0 || static_cast<uint64_t>(pos) != expected) {
    LOG_ERROR("Error during save. Expected to be at %zu but stream is at %zu",
              static_cast<size_t>(expected), static_cast<size_t>(pos));
    return false;
  }
  return cMdfBlockIO_finish(ctx, *this);
}

std::string_view cMdfBlock_CN::getName() const { return cMdfBlock_getText(name.get()); }

void cMdfBlock_CN::getLinks(std::vector<const cMdfBlock*>& out) const {
  for (auto* single : {&comment, &name, &signalData, &conversion, &source, &unit})
    out.push_back(single->get());
  for (auto& cn : composition) out.push_back(cn.get());
}

// --- conversion ------------------------------------------------------------

bool cMdfBlock_CC::load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* /*next*/) {
  if (!takeHeader(header, 4)) return false;
  std::vector<uint64_t> links;
  if (!loader.loadLinks(4, links)) return false;
  cMdfBlockPtr* singles[] = {&name, &unit, &comment, &inverse};
  for (size_t i = 0; i < 4; ++i)
    if (!cMdfBlockIO_loadSingle(loader, links[i], *singles[i])) return false;
  if (!cMdfBlockIO_seekData(loader, *this)) return false;
  cSerializer s(loader.stream());
  uint16_t count = 0;
  bool ok = cMdfBlockIO_readCode(s, &type);
  ok &= s.readU8(&precision);
  ok &= s.readU16(&flags);
  ok &= s.readU16(&refCount);
  ok &= s.readU16(&count);
  ok &= s.readF64(&physMin);
  ok &= s.readF64(&physMax);
  if (!ok) return false;
  // The values must lie inside the block.
  if (uint64_t{count} * 8 > cMdfBlockHeader_getDataSize(header) - std::min<uint64_t>(
                                 24, cMdfBlockHeader_getDataSize(header)))
    return false;
  values.assign(count, 0.0);
  for (double& v : values) ok &= s.readF64(&v);
  return ok;
}

bool cMdfBlock_CC::save(cMdfSaveContext& ctx, const cMdfBlock* /*next*/) {
  for (auto* single : {&name, &unit, &comment, &inverse})
    if (!cMdfBlockIO_saveLink(ctx, *single)) return false;
  setLinkCount(4);
  std::vector<uint64_t> links = {linkTo(name.get()), linkTo(unit.get()), linkTo(comment.get()),
                                 linkTo(inverse.get())};
  if (!cMdfBlockIO_writeStart(ctx, *this, links)) return false;
  cSerializer s(ctx.stream);
  uint16_t count = static_cast<uint16_t>(values.size());
  bool ok = cMdfBlockIO_writeCode(s, type);
  ok &= s.writeU8(&precision);
  ok &= s.writeU16(&flags);
  ok &= s.writeU16(&refCount);
  ok &= s.writeU16(&count);
  ok &= s.writeF64(&physMin);
  ok &= s.writeF64(&physMax);
  for (size_t i = 0; i < count; ++i) ok &= s.writeF64(&values[i]);
  return ok && cMdfBlockIO_finish(ctx, *this);
}

void cMdfBlock_CC::getLinks(std::vector<const cMdfBlock*>& out) const {
  for (auto* single : {&comment, &name, &inverse, &unit}) out.push_back(single->get());
}

void cMdfBlock_CC::setLinear(double offset, double factor) {
  type = cMdfConversionType::Linear;
  values = {offset, factor};
  setLength(80 + 8 * values.size());
}

// --- payload view, data and signal-data blocks -----------------------------

uint64_t cMdfPayloadView::payloadSize() const {
  cMdfBlockHeader h{block_.kind(), block_.length(), block_.linkCount()};
  uint64_t available = sourceSize_ > dataOffset_ ? sourceSize_ - dataOffset_ : 0;
  return std::min(cMdfBlockHeader_getDataSize(h), available);
}

int64_t cMdfPayloadView::read(void* dst, int64_t n) {
  if (n < 0 || dst == nullptr) return -1;
  uint64_t size = payloadSize();
  uint64_t count = position_ >= size ? 0 : std::min<uint64_t>(static_cast<uint64_t>(n), size - position_);
  if (count == 0) return 0;
  if (!cMdfBlockIO_seekExact(source_, dataOffset_ + position_)) return -1;
  int64_t got = source_->read(dst, static_cast<int64_t>(count));
  if (got > 0) position_ += static_cast<uint64_t>(got);
  return got;
}

int64_t cMdfPayloadView::seek(int64_t offset, int32_t origin) {
  uint64_t size = payloadSize();
  uint64_t target;
  switch (origin) {
    case kSeekSet: target = offset < 0 ? 0 : std::min<uint64_t>(static_cast<uint64_t>(offset), size); break;
    case kSeekCur: {
      int64_t t = static_cast<int64_t>(position_) + offset;
      target = t < 0 ? 0 : std::min<uint64_t>(static_cast<uint64_t>(t), size);
      break;
    }
    case kSeekEnd: target = size; break;
    default: return -1;
  }
  if (target > static_cast<uint64_t>(INT64_MAX)) return -1;
  if (!cMdfBlockIO_seekExact(source_, dataOffset_ + target)) return -1;
  position_ = target;
  return static_cast<int64_t>(target);
}

template <cMdfBlockKind K>
bool cMdfBlock_Data<K>::load(cMdfLoader& loader, const cMdfBlockHeader& header,
                             uint64_t* /*nextLink*/) {
  setLength(header.length);
  setLinkCount(header.linkCount);
  owned_.reset();
  view_.bind(loader.stream(), fileOffset() + 24 + 8 * header.linkCount, loader.streamSize());
  return true;
}

template <cMdfBlockKind K>
bool cMdfBlock_Data<K>::setData(std::unique_ptr<cIO> source) {
  if (!source) return false;
  int64_t size = source->getSize();
  if (size < 0) return false;
  owned_ = std::move(source);
  setLinkCount(0);
  setLength(24 + static_cast<uint64_t>(size));
  view_.bind(owned_.get(), 0, static_cast<uint64_t>(size));
  return true;
}

template <cMdfBlockKind K>
bool cMdfBlock_Data<K>::save(cMdfSaveContext& ctx, const cMdfBlock* /*next*/) {
  uint64_t size = getPayloadSize();
  setLinkCount(0);
  setLength(24 + size);
  if (!cMdfBlockIO_writeStart(ctx, *this, {})) return false;
  if (view_.seek(0, cIO::kSeekSet) != 0) return false;
  cIO_cat(&view_, ctx.stream);
  int64_t pos = ctx.stream->tell();
  if (pos < 0 || static_cast<uint64_t>(pos) != fileOffset() + length()) return false;
  return cMdfBlockIO_finish(ctx, *this);
}

template class cMdfBlock_Data<cMdfBlockKind::DT>;
template class cMdfBlock_Data<cMdfBlockKind::SD>;

std::shared_ptr<cMdfBlock_DT> cMdfBlock_DT_ctor_fromIO(std::unique_ptr<cIO> source) {
  auto dt = std::make_shared<cMdfBlock_DT>();
  return dt->setData(std::move(source)) ? dt : nullptr;
}
