// Saving a built tree: metadata first, data blocks last, then the
// unfinished-file touch and the container wrapping.
#include <cstdio>
#include <cstring>

#include "io/serializer.h"
#include "mklog.h"

namespace {

bool fail(std::string* error, const std::string& why) {
  if (error != nullptr) *error = why;
  return false;
}

}  // namespace

bool cMklog_saveTree(cMdfBlock_ID& id, cIO* out) {
  if (out == nullptr || !id.header) return false;
  cMdfBlock_HD& hd = *id.header;
  cMdfSaveContext ctx(out);
  ctx.place(id);
  ctx.place(hd);
  for (auto& dg : hd.dataGroups) ctx.place(*dg);
  bool ok = cMdfBlock_saveList(hd.fileHistories, ctx) && cMdfBlock_save(hd.comment.get(), ctx);
  for (auto& dg : hd.dataGroups)
    ok = ok && cMdfBlock_saveList(dg->channelGroups, ctx) && cMdfBlock_save(dg->comment.get(), ctx);
  // Data blocks last: a logger appends records to the block at the end.
  for (auto& dg : hd.dataGroups) ok = ok && cMdfBlock_save(dg->data.get(), ctx);
  return ok && cMdfBlock_save(&id, ctx);
}

bool cMklog_write(const cMklogPlan& plan, cIO* out, std::string* error) {
  if (out == nullptr) return fail(error, "no output stream");
  auto id = cMklog_buildTree(plan, error);
  if (!id) return false;
  if (!cMklog_saveTree(*id, out)) return fail(error, "write failed");
  const cMdfBlock_HD& hd = *id->header;
  if (plan.unfinished && !hd.dataGroups.empty()) {
    // The last data block keeps the length it had when the logger stopped.
    uint64_t at = hd.dataGroups.back()->data->fileOffset() + 8;
    if (out->seek(static_cast<int64_t>(at), cIO::kSeekSet) != static_cast<int64_t>(at) ||
        out->write(&plan.unfinishedDtLength, 8) != 8)
      return fail(error, "write failed");
  }
  return true;
}

std::optional<std::vector<uint8_t>> cMklog_render(const cMklogPlan& plan, std::string* error) {
  auto mem = cIO_memoryAlloc_ctor();
  if (!cMklog_write(plan, mem.get(), error)) return std::nullopt;
  std::vector<uint8_t> bytes(mem->data().begin(), mem->data().end());
  if (plan.wraps.empty()) return bytes;
  auto wrapped = cContainer_wrap(bytes, plan.wraps);
  if (!wrapped) fail(error, "container wrapping failed");
  return wrapped;
}

std::optional<std::vector<uint8_t>> cMklog_build(std::string_view description, std::string* error) {
  auto plan = cMklog_parse(description, error);
  if (!plan) return std::nullopt;
  return cMklog_render(*plan, error);
}

bool cMklog_writeFile(std::string_view description, const char* path, std::string* error) {
  auto plan = cMklog_parse(description, error);
  if (!plan) return false;
  if (plan->wraps.empty()) {
    auto file = cIO_file_open(path, 1);
    if (!file) return fail(error, std::string("cannot create ") + path);
    const bool written = cMklog_write(*plan, file.get(), error);
    if (cIO_close(file) == 0 && written) return true;
    std::remove(path);  // no half-written file is left behind
    if (!written && error != nullptr && !error->empty()) return false;  // the writer said why
    return fail(error, std::string("cannot write ") + path);
  }
  auto bytes = cMklog_render(*plan, error);
  if (!bytes) return false;
  auto file = cIO_file_open(path, 1);
  if (!file) return fail(error, std::string("cannot create ") + path);
  bool ok = file->write(bytes->data(), static_cast<int64_t>(bytes->size())) ==
            static_cast<int64_t>(bytes->size());
  ok = cIO_close(file) == 0 && ok;
  return ok || fail(error, std::string("cannot write ") + path);
}
