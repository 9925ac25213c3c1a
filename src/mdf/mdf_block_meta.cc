// Identification, header, file-history, text, metadata and source blocks.
#include "mdf/mdf_block_meta.h"

#include <cstring>

#include "base/log.h"
#include "io/serializer.h"
#include "mdf/mdf_block_data.h"
#include "mdf/mdf_block_io.h"

namespace {

void pad8(std::string& s) {
  s.resize(8, ' ');
}

}  // namespace

std::string_view cMdfBlock_getText(const cMdfBlock* block) {
  if (auto tx = mdf_cast<cMdfBlock_TX>(block)) return tx->getData();
  if (auto md = mdf_cast<cMdfBlock_MD>(block)) return md->getData();
  return {};
}

// --- identification --------------------------------------------------------

bool cMdfBlock_ID::load(cMdfLoader& loader, const cMdfBlockHeader& /*header*/,
                        uint64_t* /*nextLink*/) {
  cSerializer s(loader.stream());
  std::string ident;
  if (!s.readCstr(&ident, 8)) return false;
  if (ident.find('\0') != std::string::npos) return false;
  if (ident != "MDF     " && ident != "UnFinMF ") return false;
  // Later fields are informational: a short read leaves them empty.
  versionText_.clear();
  programText_.clear();
  (void)s.readCstr(&versionText_, 8);
  (void)s.readCstr(&programText_, 8);
  s.skip(4);
  (void)s.readU16(&versionNumber_);
  s.skip(30);
  (void)s.readU16(&finalizationFlags);
  (void)s.readU16(&customFinalizationFlags_);
  return true;
}

bool cMdfBlock_ID::save(cMdfSaveContext& ctx, const cMdfBlock* /*next*/) {
  if (header) {
    ctx.place(*this);
    if (!cMdfBlock_save(header.get(), ctx)) return false;
  }
  if (!cMdfBlockIO_seek(ctx.stream, fileOffset())) return false;
  uint8_t raw[64] = {};
  bool unfinished = finalizationFlags != 0 || customFinalizationFlags_ != 0;
  std::memcpy(raw, unfinished ? "UnFinMF " : "MDF     ", 8);
  std::memcpy(raw + 8, versionText_.data(), std::min<size_t>(8, versionText_.size()));
  std::memcpy(raw + 16, programText_.data(), std::min<size_t>(8, programText_.size()));
  std::memcpy(raw + 28, &versionNumber_, 2);
  std::memcpy(raw + 60, &finalizationFlags, 2);
  std::memcpy(raw + 62, &customFinalizationFlags_, 2);
  return ctx.stream->write(raw, 64) == 64;
}

void cMdfBlock_ID::getLinks(std::vector<const cMdfBlock*>& out) const {
  out.push_back(header.get());
}

bool cMdfBlock_ID::setVersion(uint32_t major, uint32_t minor) {
  if (major >= 100 || minor >= 100) return false;
  versionText_ = std::to_string(major) + "." + std::to_string(minor);
  pad8(versionText_);
  versionNumber_ = static_cast<uint16_t>(major * 100 + minor);
  return true;
}

bool cMdfBlock_ID::setProgram(std::string_view program) {
  if (program.size() > 7) return false;
  programText_.assign(program);
  pad8(programText_);
  return true;
}

// --- header ----------------------------------------------------------------

bool cMdfBlock_HD::load(cMdfLoader& loader, const cMdfBlockHeader& header,
                        uint64_t* /*nextLink*/) {
  if (!takeHeader(header, 6)) return false;
  std::vector<uint64_t> links;
  if (!loader.loadLinks(6, links)) return false;
  if (links[2] != kNoLink || links[3] != kNoLink || links[4] != kNoLink) {
    LOG_ERROR("Unsupported parameter present in file");
    return false;
  }
  if (!loader.loadAt(links[1], fileHistories) || !loader.loadAt(links[0], dataGroups) ||
      !cMdfBlockIO_loadSingle(loader, links[5], comment))
    return false;
  if (!cMdfBlockIO_seekData(loader, *this)) return false;
  cSerializer s(loader.stream());
  bool ok = s.readU64(&startTimeNs);
  ok &= s.readI16(&tzOffsetMin);
  ok &= s.readI16(&dstOffsetMin);
  ok &= s.readU8(&timeFlags);
  ok &= s.readU8(&timeClass);
  ok &= s.readU8(&flags);
  s.skip(1);
  ok &= s.readF64(&startAngleRad);
  ok &= s.readF64(&startDistanceM);
  return ok;
}

bool cMdfBlock_HD::save(cMdfSaveContext& ctx, const cMdfBlock* /*next*/) {
  if (!cMdfBlock_saveList(dataGroups, ctx) || !cMdfBlock_saveList(fileHistories, ctx) ||
      !cMdfBlockIO_saveLink(ctx, comment))
    return false;
  setLinkCount(6);
  std::vector<uint64_t> links = {
      linkTo(dataGroups.empty() ? nullptr : dataGroups.front().get()),
      linkTo(fileHistories.empty() ? nullptr : fileHistories.front().get()),
      0, 0, 0, linkTo(comment.get())};
  if (!cMdfBlockIO_writeStart(ctx, *this, links)) return false;
  cSerializer s(ctx.stream);
  uint8_t zero = 0;
  bool ok = s.writeU64(&startTimeNs);
  ok &= s.writeI16(&tzOffsetMin);
  ok &= s.writeI16(&dstOffsetMin);
  ok &= s.writeU8(&timeFlags);
  ok &= s.writeU8(&timeClass);
  ok &= s.writeU8(&flags);
  ok &= s.writeU8(&zero);
  ok &= s.writeF64(&startAngleRad);
  ok &= s.writeF64(&startDistanceM);
  return ok && cMdfBlockIO_finish(ctx, *this);
}

void cMdfBlock_HD::getLinks(std::vector<const cMdfBlock*>& out) const {
  out.push_back(comment.get());
  for (auto& dg : dataGroups) out.push_back(dg.get());
  for (auto& fh : fileHistories) out.push_back(fh.get());
}

// --- file history ----------------------------------------------------------

bool cMdfBlock_FH::load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* nextLink) {
  if (!takeHeader(header, 2)) return false;
  std::vector<uint64_t> links;
  if (!loader.loadLinks(2, links)) return false;
  *nextLink = links[0];
  if (!cMdfBlockIO_loadSingle(loader, links[1], comment)) return false;
  if (!cMdfBlockIO_seekData(loader, *this)) return false;
  cSerializer s(loader.stream());
  bool ok = s.readU64(&timeNs);
  ok &= s.readI16(&tzOffsetMin);
  ok &= s.readI16(&dstOffsetMin);
  ok &= s.readU8(&timeFlags);
  return ok;
}

bool cMdfBlock_FH::save(cMdfSaveContext& ctx, const cMdfBlock* next) {
  if (!cMdfBlockIO_saveLink(ctx, comment)) return false;
  setLinkCount(2);
  if (!cMdfBlockIO_writeStart(ctx, *this, {linkTo(next), linkTo(comment.get())})) return false;
  cSerializer s(ctx.stream);
  bool ok = s.writeU64(&timeNs);
  ok &= s.writeI16(&tzOffsetMin);
  ok &= s.writeI16(&dstOffsetMin);
  ok &= s.writeU8(&timeFlags);
  return ok && cMdfBlockIO_finish(ctx, *this);
}

void cMdfBlock_FH::getLinks(std::vector<const cMdfBlock*>& out) const {
  out.push_back(comment.get());
}

// --- text and metadata -----------------------------------------------------

template <cMdfBlockKind K>
bool cMdfBlock_Text<K>::load(cMdfLoader& loader, const cMdfBlockHeader& header,
                             uint64_t* /*nextLink*/) {
  if (!takeHeader(header, 0)) return false;
  text_.clear();
  uint64_t size = cMdfBlockHeader_getDataSize(header);
  if (size == 0) return true;
  if (!loader.chargeText(size)) return false;
  cSerializer s(loader.stream());
  if (!s.readCstr(&text_, size)) return false;
  size_t zero = text_.find('\0');
  if (zero != std::string::npos && zero != 0) text_.resize(zero);
  return true;
}

template <cMdfBlockKind K>
bool cMdfBlock_Text<K>::save(cMdfSaveContext& ctx, const cMdfBlock* /*next*/) {
  setLinkCount(0);
  if (length() < text_.size() + 25) setLength(text_.size() + 25);
  if (!cMdfBlockIO_writeStart(ctx, *this, {})) return false;
  uint8_t zero = 0;
  return ctx.stream->write(text_.data(), static_cast<int64_t>(text_.size())) ==
             static_cast<int64_t>(text_.size()) &&
         ctx.stream->write(&zero, 1) == 1 && cMdfBlockIO_finish(ctx, *this);
}

template <cMdfBlockKind K>
void cMdfBlock_Text<K>::setData(const char* text, size_t length) {
  text_.clear();
  if (text != nullptr) {
    const void* zero = std::memchr(text, '\0', length);
    text_.assign(text, zero != nullptr ? static_cast<const char*>(zero) - text : length);
  }
  setLength(text_.size() + 25);
}

template class cMdfBlock_Text<cMdfBlockKind::TX>;
template class cMdfBlock_Text<cMdfBlockKind::MD>;

// --- source information ----------------------------------------------------

bool cMdfBlock_SI::load(cMdfLoader& loader, const cMdfBlockHeader& header, uint64_t* /*nextLink*/) {
  if (!takeHeader(header, 3)) return false;
  std::vector<uint64_t> links;
  if (!loader.loadLinks(3, links)) return false;
  if (!cMdfBlockIO_loadSingle(loader, links[0], name) ||
      !cMdfBlockIO_loadSingle(loader, links[1], path) ||
      !cMdfBlockIO_loadSingle(loader, links[2], comment))
    return false;
  if (!cMdfBlockIO_seekData(loader, *this)) return false;
  cSerializer s(loader.stream());
  bool ok = cMdfBlockIO_readCode(s, &sourceType);
  ok &= cMdfBlockIO_readCode(s, &busType);
  ok &= s.readU8(&flags);
  return ok;
}

bool cMdfBlock_SI::save(cMdfSaveContext& ctx, const cMdfBlock* /*next*/) {
  if (!cMdfBlockIO_saveLink(ctx, name) || !cMdfBlockIO_saveLink(ctx, path) ||
      !cMdfBlockIO_saveLink(ctx, comment))
    return false;
  setLinkCount(3);
  if (!cMdfBlockIO_writeStart(ctx, *this,
                              {linkTo(name.get()), linkTo(path.get()), linkTo(comment.get())}))
    return false;
  cSerializer s(ctx.stream);
  bool ok = cMdfBlockIO_writeCode(s, sourceType);
  ok &= cMdfBlockIO_writeCode(s, busType);
  ok &= s.writeU8(&flags);
  return ok && cMdfBlockIO_finish(ctx, *this);
}

void cMdfBlock_SI::getLinks(std::vector<const cMdfBlock*>& out) const {
  out.push_back(comment.get());
  out.push_back(name.get());
  out.push_back(path.get());
}
