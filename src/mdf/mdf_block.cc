// Block header, loader (offset cache, cycle and length checks, iterative
// sibling chains), tree load, reachability and the common save machinery.
#include "mdf/mdf_block.h"

#include <algorithm>
#include <cstring>

#include "base/log.h"
#include "io/serializer.h"
#include "mdf/mdf_block_data.h"
#include "mdf/mdf_block_io.h"
#include "mdf/mdf_block_meta.h"

namespace {

// Deeper nesting than any sane file has (ID -> HD -> DG -> CG -> CN -> ...);
// bounds the recursion a hostile file can cause through child links.
constexpr uint32_t kMaxDepth = 64;

struct KindName {
  const char* id;
  cMdfBlockKind kind;
};
constexpr KindName kFirstGroup[] = {
    {"##CC", cMdfBlockKind::CC}, {"##CG", cMdfBlockKind::CG}, {"##CN", cMdfBlockKind::CN},
    {"##DG", cMdfBlockKind::DG}, {"##DT", cMdfBlockKind::DT}, {"##FH", cMdfBlockKind::FH},
    {"##HD", cMdfBlockKind::HD},
};
constexpr KindName kSecondGroup[] = {
    {"##MD", cMdfBlockKind::MD}, {"##SD", cMdfBlockKind::SD},
    {"##SI", cMdfBlockKind::SI}, {"##TX", cMdfBlockKind::TX},
};

bool isPayloadKind(cMdfBlockKind kind) {
  return kind == cMdfBlockKind::DT || kind == cMdfBlockKind::SD;
}

}  // namespace

const char* cMdfBlock_identifier(cMdfBlockKind kind) {
  for (const auto& k : kFirstGroup)
    if (k.kind == kind) return k.id;
  for (const auto& k : kSecondGroup)
    if (k.kind == kind) return k.id;
  return nullptr;
}

std::optional<cMdfBlockHeader> cMdfBlockHeader_load(cIO* stream) {
  if (stream == nullptr) return std::nullopt;
  int64_t start = stream->tell();
  uint8_t raw[24];
  if (stream->read(raw, 24) != 24) return std::nullopt;
  cMdfBlockHeader header;
  for (const auto& k : kFirstGroup)
    if (std::memcmp(raw, k.id, 4) == 0) header.kind = k.kind;
  if (header.kind == cMdfBlockKind::None &&
      (std::memcmp(raw, "UnFinMF ", 8) == 0 || std::memcmp(raw, "MDF     ", 8) == 0)) {
    if (start < 0 || stream->seek(start, cIO::kSeekSet) != start) return std::nullopt;
    header.kind = cMdfBlockKind::ID;
    header.length = 64;
    header.linkCount = 0;
    return header;
  }
  if (header.kind == cMdfBlockKind::None)
    for (const auto& k : kSecondGroup)
      if (std::memcmp(raw, k.id, 4) == 0) header.kind = k.kind;
  if (header.kind == cMdfBlockKind::None) {
    char shown[5];
    for (int i = 0; i < 4; ++i) shown[i] = (raw[i] >= 32 && raw[i] < 127) ? char(raw[i]) : '?';
    shown[4] = '\0';
    LOG_ERROR("Unable to load block header for type %s", shown);
    return std::nullopt;
  }
  std::memcpy(&header.length, raw + 8, 8);
  std::memcpy(&header.linkCount, raw + 16, 8);
  return header;
}

uint64_t cMdfBlockHeader_getDataSize(const cMdfBlockHeader& header) {
  if (header.linkCount > (UINT64_MAX - 24) / 8) return 0;
  uint64_t fixed = 24 + 8 * header.linkCount;
  return header.length > fixed ? header.length - fixed : 0;
}

bool cMdfBlockHeader_save(const cMdfBlock& block, cIO* stream) {
  const char* id = cMdfBlock_identifier(block.kind());
  if (id == nullptr) return true;
  uint8_t raw[24] = {};
  std::memcpy(raw, id, 4);
  uint64_t length = block.length(), links = block.linkCount();
  std::memcpy(raw + 8, &length, 8);
  std::memcpy(raw + 16, &links, 8);
  return stream != nullptr && stream->write(raw, 24) == 24;
}

// --- loading ---------------------------------------------------------------

cMdfLoader::cMdfLoader(cIO* stream) : stream_(stream) {
  int64_t size = stream_ != nullptr ? stream_->getSize() : -1;
  streamSize_ = size > 0 ? static_cast<uint64_t>(size) : 0;
}

bool cMdfLoader::loadLinks(uint64_t count, std::vector<uint64_t>& links) {
  links.clear();
  if (count > streamSize_ / 8) return false;
  links.reserve(count);
  cSerializer s(stream_);
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t link;
    if (!s.readU64(&link)) break;
    links.push_back(link == 0 ? cMdfBlock::kNoLink : link);
  }
  return links.size() == count;
}

// Lengths are checked against the stream before anything is read or sized
// from them.  DT/SD payloads are never read at load time, so their stored
// length is not bounded here: a logger that lost power leaves the last data
// block with a length that the open repairs.
static bool lengthPlausible(const cMdfBlockHeader& h, uint64_t offset, uint64_t streamSize) {
  if (h.kind == cMdfBlockKind::ID) return streamSize >= 64;
  if (h.linkCount > streamSize / 8) return false;
  if (isPayloadKind(h.kind)) return true;
  if (h.length < 24 + 8 * h.linkCount) return false;
  return offset <= streamSize && h.length <= streamSize - offset;
}

cMdfBlockPtr cMdfLoader::loadAtSingle(uint64_t offset) {
  if (offset == cMdfBlock::kNoLink) return nullptr;
  if (auto it = cache_.find(offset); it != cache_.end()) return it->second;
  if (inProgress_.count(offset) != 0) {
    LOG_ERROR("Cyclic block link at offset %lu", static_cast<unsigned long>(offset));
    return nullptr;
  }
  if (depth_ >= kMaxDepth) {
    LOG_ERROR("Block links nested too deeply at offset %lu", static_cast<unsigned long>(offset));
    return nullptr;
  }
  if (!cMdfBlockIO_seekExact(stream_, offset)) return nullptr;
  auto header = cMdfBlockHeader_load(stream_);
  if (!header) return nullptr;
  if (!lengthPlausible(*header, offset, streamSize_)) {
    LOG_ERROR("Invalid length of block at offset %lu", static_cast<unsigned long>(offset));
    return nullptr;
  }
  cMdfBlockPtr block = cMdfBlock_create(header->kind);
  if (!block) {
    LOG_ERROR("Could not parse block at offset %lu", static_cast<unsigned long>(offset));
    return nullptr;
  }
  block->setFileOffset(offset);
  inProgress_.insert(offset);
  ++depth_;
  uint64_t next = cMdfBlock::kNoLink;
  bool ok = block->load(*this, *header, &next);
  --depth_;
  inProgress_.erase(offset);
  if (!ok) return nullptr;
  block->setLoadedNextLink(next);
  cache_.emplace(offset, block);
  return block;
}

bool cMdfLoader::claim(uint64_t offset) {
  if (owned_.insert(offset).second) return true;
  LOG_ERROR("Block at offset %lu is linked twice", static_cast<unsigned long>(offset));
  return false;
}

bool cMdfLoader::chargeText(uint64_t bytes) {
  if (bytes <= streamSize_ - textBytes_) {  // textBytes_ never passes streamSize_
    textBytes_ += bytes;
    return true;
  }
  LOG_ERROR("Text blocks overlap: they would hold more than the file's %lu bytes",
            static_cast<unsigned long>(streamSize_));
  return false;
}

bool cMdfLoader::loadChain(uint64_t offset, cMdfBlockKind kind, std::deque<cMdfBlockPtr>& list) {
  std::unordered_set<uint64_t> seen;
  while (offset != cMdfBlock::kNoLink) {
    if (!seen.insert(offset).second) {
      LOG_ERROR("Cyclic block link at offset %lu", static_cast<unsigned long>(offset));
      return false;
    }
    // A block whose load is in progress is a cycle, reported as such below.
    if (inProgress_.count(offset) == 0 && !claim(offset)) return false;
    cMdfBlockPtr block = loadAtSingle(offset);
    if (!block) return false;
    if (block->kind() != kind) {
      LOG_ERROR("Unexpected block kind at offset %lu", static_cast<unsigned long>(offset));
      return false;
    }
    list.push_back(block);
    offset = block->loadedNextLink();
  }
  return true;
}

std::shared_ptr<cMdfBlock_ID> cMdfBlock_loadTree(cIO* stream) {
  if (stream == nullptr) return nullptr;
  cMdfLoader loader(stream);
  auto id = mdf_cast<cMdfBlock_ID>(loader.loadAtSingle(0));
  if (!id) return nullptr;
  auto hd = mdf_cast<cMdfBlock_HD>(loader.loadAtSingle(64));
  if (!hd) return nullptr;
  id->header = std::move(hd);
  return id;
}

// --- blocks ----------------------------------------------------------------

uint64_t cMdfBlock::linkTo(const cMdfBlock* block) {
  if (block == nullptr || block->fileOffset() == kNoOffset) return 0;
  return block->fileOffset();
}

bool cMdfBlock::takeHeader(const cMdfBlockHeader& header, uint64_t requiredLinks) {
  if (header.linkCount != requiredLinks) return false;
  length_ = header.length;
  linkCount_ = header.linkCount;
  return true;
}

cMdfBlockPtr cMdfBlock_create(cMdfBlockKind kind) {
  switch (kind) {
    case cMdfBlockKind::ID: return std::make_shared<cMdfBlock_ID>();
    case cMdfBlockKind::CC: return std::make_shared<cMdfBlock_CC>();
    case cMdfBlockKind::CG: return std::make_shared<cMdfBlock_CG>();
    case cMdfBlockKind::CN: return std::make_shared<cMdfBlock_CN>();
    case cMdfBlockKind::DG: return std::make_shared<cMdfBlock_DG>();
    case cMdfBlockKind::DT: return std::make_shared<cMdfBlock_DT>();
    case cMdfBlockKind::FH: return std::make_shared<cMdfBlock_FH>();
    case cMdfBlockKind::HD: return std::make_shared<cMdfBlock_HD>();
    case cMdfBlockKind::MD: return std::make_shared<cMdfBlock_MD>();
    case cMdfBlockKind::SD: return std::make_shared<cMdfBlock_SD>();
    case cMdfBlockKind::SI: return std::make_shared<cMdfBlock_SI>();
    case cMdfBlockKind::TX: return std::make_shared<cMdfBlock_TX>();
    case cMdfBlockKind::None: break;
  }
  return nullptr;
}

void cMdfBlock_getLinks(const cMdfBlock* block, cMdfBlockSet& set) {
  std::vector<const cMdfBlock*> pending;
  if (block != nullptr) pending.push_back(block);
  while (!pending.empty()) {
    const cMdfBlock* b = pending.back();
    pending.pop_back();
    if (b == nullptr || !set.insert(b).second) continue;
    b->getLinks(pending);
  }
}

// --- saving ----------------------------------------------------------------

void cMdfSaveContext::place(cMdfBlock& block) {
  if (block.fileOffset() != cMdfBlock::kNoOffset) return;
  block.setFileOffset(nextFree);
  nextFree += (block.length() + 7) & ~uint64_t{7};
}

bool cMdfBlock_save(cMdfBlock* block, cMdfSaveContext& ctx, const cMdfBlock* next) {
  if (block == nullptr) return true;
  if (!ctx.written.insert(block).second) return true;
  ctx.place(*block);
  if (next == nullptr) next = block->saveNext();
  bool ok = cMdfBlockIO_seek(ctx.stream, block->fileOffset()) && block->save(ctx, next);
  if (!ok) ctx.written.erase(block);
  return ok;
}

bool cMdfBlockIO_seek(cIO* stream, uint64_t offset) {
  if (stream == nullptr || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  auto target = static_cast<int64_t>(offset);
  if (stream->seek(target, cIO::kSeekSet) == target) return true;
  // A fresh output may be shorter than the offset: extend it with zeros.
  int64_t size = stream->seek(0, cIO::kSeekEnd);
  if (size < 0 || size > target) return false;
  static const uint8_t kZeros[512] = {};
  while (size < target) {
    int64_t piece = std::min<int64_t>(512, target - size);
    if (stream->write(kZeros, piece) != piece) return false;
    size += piece;
  }
  return stream->tell() == target;
}

bool cMdfBlockIO_writeStart(cMdfSaveContext& ctx, const cMdfBlock& block,
                            const std::vector<uint64_t>& links) {
  if (!cMdfBlockIO_seek(ctx.stream, block.fileOffset())) return false;
  if (!cMdfBlockHeader_save(block, ctx.stream)) return false;
  for (uint64_t link : links)
    if (ctx.stream->write(&link, 8) != 8) return false;
  return true;
}

bool cMdfBlockIO_finish(cMdfSaveContext& ctx, const cMdfBlock& block) {
  // Fill the rest of the block and its alignment gap with zero bytes.
  int64_t pos = ctx.stream->tell();
  uint64_t end = block.fileOffset() + ((block.length() + 7) & ~uint64_t{7});
  if (pos < 0 || static_cast<uint64_t>(pos) > end) return pos >= 0;
  static const uint8_t kZeros[512] = {};
  uint64_t left = end - static_cast<uint64_t>(pos);
  while (left > 0) {
    int64_t piece = static_cast<int64_t>(std::min<uint64_t>(512, left));
    if (ctx.stream->write(kZeros, piece) != piece) return false;
    left -= static_cast<uint64_t>(piece);
  }
  return true;
}

bool cMdfBlockIO_loadSingle(cMdfLoader& loader, uint64_t link, cMdfBlockPtr& out) {
  if (link == cMdfBlock::kNoLink) return true;
  out = loader.loadAtSingle(link);
  return out != nullptr;
}

bool cMdfBlockIO_seekExact(cIO* stream, uint64_t offset) {
  if (stream == nullptr || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return stream->seek(static_cast<int64_t>(offset), cIO::kSeekSet) == static_cast<int64_t>(offset);
}

bool cMdfBlockIO_seekData(cMdfLoader& loader, const cMdfBlock& block) {
  return cMdfBlockIO_seekExact(loader.stream(), block.fileOffset() + 24 + 8 * block.linkCount());
}
