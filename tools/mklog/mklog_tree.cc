// Building the block tree of a description: header, histories, data groups
// with their bus-logging channel groups, and the record payloads.
#include <cmath>
#include <cstring>

#include "mklog.h"
#include "mklog_layout.h"

namespace {

std::string xmlEscape(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

template <class T>
std::shared_ptr<T> textBlock(std::string_view text) {
  auto b = std::make_shared<T>();
  b->setData(text);
  return b;
}

// Frames generated on the fly: the payload of a bulk data group.
class BulkStream final : public cIO {
 public:
  BulkStream(const cMklogBulk& bulk, cMklogKind kind, uint8_t idSize, uint8_t recordId,
             uint32_t invalidationBytes)
      : bulk_(bulk), kind_(kind), idSize_(idSize), recordId_(recordId) {
    recordBytes_ = cMklog_layout(kind).recordSize;
    stride_ = idSize + recordBytes_ + invalidationBytes;
    size_ = bulk.count * stride_;
    scratch_.assign(stride_, 0);
    frame_.data.assign(8, 0);
    frame_.length = bulk.length;
  }

  int64_t read(void* dst, int64_t n) override {
    if (n < 0) return -1;
    auto* out = static_cast<uint8_t*>(dst);
    int64_t done = 0;
    while (done < n && position_ < size_) {
      uint64_t index = position_ / stride_, within = position_ % stride_;
      if (index != cached_) fill(index);
      uint64_t take = std::min<uint64_t>(stride_ - within, static_cast<uint64_t>(n - done));
      std::memcpy(out + done, scratch_.data() + within, take);
      done += static_cast<int64_t>(take);
      position_ += take;
    }
    return done;
  }
  int64_t tell() override { return static_cast<int64_t>(position_); }
  int64_t seek(int64_t offset, int32_t origin) override {
    int64_t base = origin == kSeekSet ? 0 : origin == kSeekCur ? int64_t(position_) : int64_t(size_);
    if (origin < 0 || origin > 2 || base + offset < 0) return -1;
    position_ = std::min<uint64_t>(static_cast<uint64_t>(base + offset), size_);
    return static_cast<int64_t>(position_);
  }

 private:
  void fill(uint64_t i) {
    frame_.t = bulk_.t0 + static_cast<double>(i) / bulk_.rate;
    frame_.id = bulk_.ids[i % bulk_.ids.size()];
    frame_.ide = frame_.id > 0x7FF;
    frame_.channel = bulk_.channels[i % bulk_.channels.size()];
    for (int k = 0; k < 8; ++k) frame_.data[k] = static_cast<uint8_t>(i >> (8 * k));
    for (uint8_t k = 0; k < idSize_; ++k) scratch_[k] = k == 0 ? recordId_ : 0;
    cMklog_encode(kind_, frame_, 0, scratch_.data() + idSize_);
    cached_ = i;
  }

  cMklogBulk bulk_;
  cMklogKind kind_;
  uint8_t idSize_;
  uint8_t recordId_;
  uint32_t recordBytes_ = 0;
  uint64_t stride_ = 0;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
  uint64_t cached_ = UINT64_MAX;
  std::vector<uint8_t> scratch_;
  cMklogFrame frame_;
};

struct Shared {
  std::shared_ptr<cMdfBlock_CC> timeConversion;
  std::shared_ptr<cMdfBlock_TX> secondsUnit;
};

std::shared_ptr<cMdfBlock_CN> channel(std::string_view name, uint32_t byteOffset, uint8_t bitOffset,
                                      uint32_t bitCount, cMdfDataType dataType) {
  auto cn = std::make_shared<cMdfBlock_CN>();
  cn->name = textBlock<cMdfBlock_TX>(name);
  cn->byteOffset = byteOffset;
  cn->bitOffset = bitOffset;
  cn->bitCount = bitCount;
  cn->dataType = dataType;
  return cn;
}

constexpr cMdfDataType kUnsignedLE = cMdfDataType::UnsignedLE;
constexpr cMdfDataType kByteArray = cMdfDataType::ByteArray;

bool isLin(cMklogKind kind) {
  return kind == cMklogKind::Lin || kind == cMklogKind::LinChecksumError ||
         kind == cMklogKind::LinReceiveError || kind == cMklogKind::LinSyncError ||
         kind == cMklogKind::LinTransmissionError;
}

// The channel group of one description group (records of `recordId`).
std::shared_ptr<cMdfBlock_CG> buildGroup(const cMklogGroup& g, uint64_t recordId, Shared& shared,
                                         cMdfBlockPtr vlsdTarget) {
  const cMklogLayout& layout = cMklog_layout(g.kind);
  auto cg = std::make_shared<cMdfBlock_CG>();
  cg->recordId = recordId;
  cg->dataBytes = layout.recordSize;
  cg->invalidationBytes = g.invalidationBytes;
  cg->pathSeparator = '.';
  // A bus group holds one bus event structure (and its time channel) only:
  // a bus event group of plain bus events, as the bus-logging convention
  // marks them.
  if (g.kind != cMklogKind::Other)
    cg->flags = cMdfBlock_CG::kFlagBusEvent | cMdfBlock_CG::kFlagPlainBusEvent;
  cg->acquisitionName = textBlock<cMdfBlock_TX>(g.name);

  auto ts = channel("Timestamp", 0, 0, 64, kUnsignedLE);
  ts->channelType = cMdfChannelType::Master;
  ts->syncType = cMdfSyncType::Time;
  ts->conversion = shared.timeConversion;
  ts->unit = shared.secondsUnit;
  cg->channels.push_back(ts);

  auto structure = channel(layout.prefix, 8, 0, (layout.recordSize - 8) * 8, kByteArray);
  for (const auto& c : layout.children) {
    bool bytes = c.field == cMklogField::DataBytes;
    auto child = channel(std::string(layout.prefix) + "." + c.suffix, c.byteOffset, c.bitOffset,
                         c.bitCount, bytes ? kByteArray : kUnsignedLE);
    if (bytes && layout.vlsdData) {
      child->channelType = cMdfChannelType::VariableLength;
      child->signalData = vlsdTarget;
    }
    structure->composition.push_back(child);
  }
  cg->channels.push_back(structure);

  // The source of a bus group is the bus of its frames, unless the
  // description names another (or none).
  uint8_t bus = g.siBusType != 0 ? g.siBusType : g.kind == cMklogKind::Other ? 1 : isLin(g.kind) ? 3 : 2;
  if (bus != 1) {
    auto si = std::make_shared<cMdfBlock_SI>();
    si->sourceType = cMdfSourceType::Bus;
    si->busType = bus == 3 ? cMdfBusType::Lin : cMdfBusType::Can;
    si->name = textBlock<cMdfBlock_TX>(bus == 3 ? "LIN" : "CAN");
    si->path = textBlock<cMdfBlock_TX>(bus == 3 ? "LIN" : "CAN");
    if (!g.siComment.empty()) si->comment = textBlock<cMdfBlock_MD>(g.siComment);
    cg->acquisitionSource = si;
  }
  return cg;
}

void putId(uint8_t* at, uint8_t idSize, uint64_t id) {
  for (uint8_t i = 0; i < idSize; ++i) at[i] = static_cast<uint8_t>(id >> (8 * i));
}

void appendU32(cIO* out, uint32_t v) {
  uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  out->write(b, 4);
}

// Records of a data group with explicit frames.  Fills cycle counts.
bool buildPayload(const cMklogDataGroup& d, cMdfBlock_DG& dg,
                  const std::vector<std::shared_ptr<cMdfBlock_CG>>& groupOf,
                  const std::vector<std::shared_ptr<cMdfBlock_CG>>& vlsdOf,
                  const std::vector<std::unique_ptr<cIO_memoryAlloc>>& sdOf,
                  std::unique_ptr<cIO_memoryAlloc>& payload) {
  const uint8_t idSize = dg.recordIdSize;
  std::vector<uint64_t> counts(d.groups.size(), 0), vlsdCounts(d.groups.size(), 0);
  std::vector<uint64_t> vlsdBytes(d.groups.size(), 0);
  std::vector<uint8_t> record;
  for (const auto& [gi, f] : d.frames) {
    const cMklogGroup& g = d.groups[gi];
    const cMklogLayout& layout = cMklog_layout(g.kind);
    std::vector<uint8_t> vlsd = cMklog_payload(f, g.kind);
    uint64_t offset = 0;
    if (g.kind == cMklogKind::CanFdVlsd) offset = vlsdBytes[gi];
    if (g.kind == cMklogKind::CanFdSd) {
      offset = static_cast<uint64_t>(sdOf[gi]->tell());
      appendU32(sdOf[gi].get(), static_cast<uint32_t>(vlsd.size()));
      sdOf[gi]->write(vlsd.data(), static_cast<int64_t>(vlsd.size()));
    }
    record.assign(idSize + layout.recordSize + g.invalidationBytes, 0);
    putId(record.data(), idSize, groupOf[gi]->recordId);
    cMklog_encode(g.kind, f, offset, record.data() + idSize);
    payload->write(record.data(), static_cast<int64_t>(record.size()));
    ++counts[gi];
    if (g.kind == cMklogKind::CanFdVlsd) {
      uint8_t id[8];
      putId(id, idSize, vlsdOf[gi]->recordId);
      payload->write(id, idSize);
      appendU32(payload.get(), static_cast<uint32_t>(vlsd.size()));
      payload->write(vlsd.data(), static_cast<int64_t>(vlsd.size()));
      vlsdBytes[gi] += 4 + vlsd.size();
      ++vlsdCounts[gi];
    }
  }
  for (size_t gi = 0; gi < d.groups.size(); ++gi) {
    groupOf[gi]->cycleCount = counts[gi];
    if (vlsdOf[gi]) {
      vlsdOf[gi]->cycleCount = vlsdCounts[gi];
      vlsdOf[gi]->setVLSDBytes(vlsdBytes[gi]);
    }
  }
  return payload->seek(0, cIO::kSeekSet) == 0;
}

std::shared_ptr<cMdfBlock_DG> buildDataGroup(const cMklogDataGroup& d, Shared& shared,
                                             std::string* error) {
  auto dg = std::make_shared<cMdfBlock_DG>();
  if (d.sorted && d.groups.size() != 1) {
    *error = "a sorted data group holds exactly one group";
    return nullptr;
  }
  dg->recordIdSize = d.sorted ? 0 : d.idSize;
  std::vector<std::shared_ptr<cMdfBlock_CG>> groupOf, vlsdOf;
  std::vector<std::unique_ptr<cIO_memoryAlloc>> sdOf;
  uint64_t nextId = 1;
  for (const auto& g : d.groups) {
    cMdfBlockPtr target;
    std::shared_ptr<cMdfBlock_CG> vlsd;
    sdOf.push_back(nullptr);
    if (g.kind == cMklogKind::CanFdVlsd) {
      if (d.sorted) {
        *error = "group '" + g.name + "' needs an unsorted data group";
        return nullptr;
      }
      vlsd = std::make_shared<cMdfBlock_CG>();
      vlsd->flags = cMdfBlock_CG::kFlagVlsd;
      target = vlsd;
    }
    if (g.kind == cMklogKind::CanFdSd) sdOf.back() = cIO_memoryAlloc_ctor();
    auto sd = g.kind == cMklogKind::CanFdSd ? std::make_shared<cMdfBlock_SD>() : nullptr;
    if (sd) target = sd;
    auto cg = buildGroup(g, d.sorted ? 0 : nextId++, shared, target);
    dg->channelGroups.push_back(cg);
    if (vlsd) {
      vlsd->recordId = nextId++;
      dg->channelGroups.push_back(vlsd);
    }
    groupOf.push_back(cg);
    vlsdOf.push_back(vlsd);
  }
  if (nextId > 256) {
    *error = "too many groups in one data group";
    return nullptr;
  }
  const cMklogGroup* bulkGroup = d.groups.size() == 1 && d.groups[0].bulk ? &d.groups[0] : nullptr;
  if (bulkGroup != nullptr) {
    groupOf[0]->cycleCount = bulkGroup->bulk->count;
    auto stream = std::make_unique<BulkStream>(*bulkGroup->bulk, bulkGroup->kind,
                                               dg->recordIdSize,
                                               static_cast<uint8_t>(groupOf[0]->recordId),
                                               bulkGroup->invalidationBytes);
    dg->data = cMdfBlock_DT_ctor_fromIO(std::move(stream));
    return dg;
  }
  auto payload = cIO_memoryAlloc_ctor();
  if (!buildPayload(d, *dg, groupOf, vlsdOf, sdOf, payload)) {
    *error = "cannot build the records";
    return nullptr;
  }
  for (size_t gi = 0; gi < d.groups.size(); ++gi) {
    if (!sdOf[gi]) continue;
    sdOf[gi]->seek(0, cIO::kSeekSet);
    auto& dataBytes = groupOf[gi]->channels[1]->composition.back();
    mdf_cast<cMdfBlock_SD>(dataBytes->signalData)->setData(std::move(sdOf[gi]));
  }
  dg->data = cMdfBlock_DT_ctor_fromIO(std::move(payload));
  return dg;
}

}  // namespace

std::string cMklog_historyXml(std::string_view toolId) {
  return "<FHcomment>\n<TX>log file written</TX>\n<tool_id>" + xmlEscape(toolId) +
         "</tool_id>\n<tool_version>1.0</tool_version>\n</FHcomment>\n";
}

std::string cMklog_headerXml(const cMklogPlan& plan) {
  std::string xml = "<HDcomment>\n<TX>bus log</TX>\n<common_properties>\n";
  if (plan.serial)
    xml += "<tree name=\"Device Information\">\n<e name=\"serial number\" ro=\"true\">" +
           xmlEscape(*plan.serial) + "</e>\n</tree>\n";
  if (plan.session || plan.split) {
    xml += "<tree name=\"File Information\">\n";
    if (plan.session) xml += "<e name=\"session\" ro=\"true\">" + xmlEscape(*plan.session) + "</e>\n";
    if (plan.split) xml += "<e name=\"split\" ro=\"true\">" + xmlEscape(*plan.split) + "</e>\n";
    xml += "</tree>\n";
  }
  return xml + "</common_properties>\n</HDcomment>\n";
}

std::shared_ptr<cMdfBlock_ID> cMklog_buildTree(const cMklogPlan& plan, std::string* error) {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  auto id = std::make_shared<cMdfBlock_ID>();
  if (!id->setVersion(plan.versionMajor, plan.versionMinor) || !id->setProgram(plan.program)) {
    *error = "bad version or program";
    return nullptr;
  }
  if (plan.unfinished) id->finalizationFlags = cMdfBlock_ID::kLastDtLengthUnset;
  auto hd = std::make_shared<cMdfBlock_HD>();
  hd->startTimeNs = plan.startNs;
  hd->tzOffsetMin = plan.tzOffsetMin;
  hd->dstOffsetMin = plan.dstOffsetMin;
  hd->timeFlags = plan.timeFlags;
  if (!plan.noHeaderComment)
    hd->comment = textBlock<cMdfBlock_MD>(plan.headerXml ? *plan.headerXml : cMklog_headerXml(plan));
  for (const auto& text : plan.histories) {
    auto fh = std::make_shared<cMdfBlock_FH>();
    fh->timeNs = plan.startNs;
    fh->tzOffsetMin = plan.tzOffsetMin;
    fh->dstOffsetMin = plan.dstOffsetMin;
    if (text) fh->comment = textBlock<cMdfBlock_MD>(*text);
    hd->fileHistories.push_back(fh);
  }
  Shared shared;
  shared.timeConversion = std::make_shared<cMdfBlock_CC>();
  shared.timeConversion->setLinear(0.0, 1e-6);
  shared.secondsUnit = textBlock<cMdfBlock_TX>("s");
  for (const auto& d : plan.dataGroups) {
    auto dg = buildDataGroup(d, shared, error);
    if (!dg) return nullptr;
    hd->dataGroups.push_back(dg);
  }
  id->header = hd;
  return id;
}
