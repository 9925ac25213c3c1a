// Opening a logger MDF file: tree load, decoding plan, tool-marker check,
// unfinished-file repair.
#include "mdf/mdf_file.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/log.h"

namespace {

constexpr std::string_view kShortMarker = "<tool_id>QZ</tool_id>";
constexpr std::string_view kLongMarker = "<tool_id>Brenlog</tool_id>";

}  // namespace

bool cMdf_hasToolMarker(const cMdfBlock_HD& header) {
  std::unordered_set<const cMdfBlock_MD*> searched;  // a comment several histories share
  for (const auto& fh : header.fileHistories) {
    auto md = mdf_cast<cMdfBlock_MD>(fh->comment.get());
    if (md == nullptr || !searched.insert(md).second) continue;
    std::string_view text = md->getData();
    if (text.size() < kShortMarker.size()) continue;
    if (text.find(kShortMarker) != std::string_view::npos) return true;
    if (text.size() > 25 && text.find(kLongMarker) != std::string_view::npos) return true;
  }
  return false;
}

bool cMdf_repairUnfinished(cMdfBlock_ID& id, uint64_t streamSize) {
  const uint16_t flags = id.finalizationFlags;
  if ((flags & cMdfBlock_ID::kLastDtLengthUnset) == 0 || !id.header) return false;
  cMdfBlock_DT* last = nullptr;
  for (const auto& dg : id.header->dataGroups) {
    auto* dt = mdf_cast_mut<cMdfBlock_DT>(dg->data.get());
    if (dt != nullptr && (last == nullptr || dt->fileOffset() > last->fileOffset())) last = dt;
  }
  if (last == nullptr || last->fileOffset() > streamSize) return false;
  last->setLength(streamSize - last->fileOffset());
  id.finalizationFlags = static_cast<uint16_t>(flags & ~cMdfBlock_ID::kLastDtLengthUnset);
  return true;
}

bool cMdf_warnCutShort(const cMdfBlock_ID& id, uint64_t streamSize) {
  bool cut = false;
  for (const auto& dg : id.header->dataGroups) {
    const auto* dt = mdf_cast<cMdfBlock_DT>(dg->data.get());
    if (dt == nullptr || dt->fileOffset() >= streamSize) continue;
    const uint64_t room = streamSize - dt->fileOffset();
    if (dt->length() > room) {
      LOG_WARN("Data block at offset %llu ends %llu bytes beyond the end of the file: the file is "
               "cut short and its records beyond the end are lost",
               static_cast<unsigned long long>(dt->fileOffset()),
               static_cast<unsigned long long>(dt->length() - room));
      cut = true;
    }
  }
  return cut;
}

bool cMdf_dataBlocksApart(const cMdfBlock_ID& id) {
  std::vector<std::pair<uint64_t, uint64_t>> payloads;  // [start, end) in the file
  for (const auto& dg : id.header->dataGroups) {
    auto* dt = mdf_cast_mut<cMdfBlock_DT>(dg->data.get());
    if (dt == nullptr || dt->getPayloadSize() == 0) continue;
    const uint64_t start = dt->fileOffset() + 24 + 8 * uint64_t{dt->linkCount()};
    payloads.emplace_back(start, start + dt->getPayloadSize());
  }
  std::sort(payloads.begin(), payloads.end());
  for (size_t i = 1; i < payloads.size(); ++i) {
    if (payloads[i].first >= payloads[i - 1].second) continue;
    LOG_ERROR("Data blocks overlap at offset %llu",
              static_cast<unsigned long long>(payloads[i].first));
    return false;
  }
  return true;
}

std::unique_ptr<cMdf> cMdf_open(cIO* stream) {
  if (stream == nullptr) return nullptr;
  std::shared_ptr<cMdfBlock_ID> tree = cMdfBlock_loadTree(stream);
  if (!tree || !tree->header) return nullptr;
  // The plan's messages about the file's channels and record layout come
  // before the verdict on the tool marker, as the file is read.  The repair
  // only moves a data block's end, which the plan does not depend on.
  cMdfDecodingPlan plan = cMdfDecodingPlan_build(*tree);
  if (!cMdf_hasToolMarker(*tree->header)) {
    LOG_ERROR("Unsupported MF4 file");
    return nullptr;
  }
  int64_t size = stream->getSize();
  bool cutShort = false;
  if (size > 0) {
    cMdf_repairUnfinished(*tree, static_cast<uint64_t>(size));
    cutShort = cMdf_warnCutShort(*tree, static_cast<uint64_t>(size));
    if (!cMdf_dataBlocksApart(*tree)) return nullptr;
  }
  auto mdf = std::make_unique<cMdf>(stream, std::move(tree), std::move(plan));
  mdf->cutShort = cutShort;
  return mdf;
}

void cMdf_close(std::unique_ptr<cMdf>& mdf) {
  mdf.reset();
}

std::unique_ptr<cMdfParallelIter> cMdf_getIter(const cMdf* mdf, cMdfClock clock) {
  if (mdf == nullptr) return nullptr;
  return cMdfParallelIter_ctor(*mdf->tree(), mdf->plan(), clock);
}

cMdfMetaDataMap cMdf_getMetaData(const cMdf* mdf) {
  if (mdf == nullptr) return {};
  return cMdfMetaData_collect(*mdf->tree());
}
