#include "mdf/mdf_metadata.h"

#include "mdf/mdf_block_meta.h"

// Debian's Expat is built with DTD support; its header declares the
// entity-expansion limits only to programs that say so.
#ifndef XML_DTD
#define XML_DTD
#endif
#include <expat.h>

#include <algorithm>
#include <climits>
#include <new>
#include <random>
#include <unordered_set>
#include <vector>

namespace {

constexpr std::string_view kCommonProperties = "common_properties";
// Entries nested deeper are passed over: the logger's are three levels deep,
// and each entry's path is built from all the levels above it.
constexpr size_t kMaxEntryDepth = 32;

struct ParseContext {
  XML_Parser parser = nullptr;
  cMdfMetaDataMap* map = nullptr;
  cMdfMetaData* target = nullptr;  // the entry whose text is being collected
  std::vector<std::string> names;  // element names (or `name` attributes) from the root
};

const char* findAttribute(const XML_Char** atts, std::string_view key) {
  for (const XML_Char** a = atts; a != nullptr && a[0] != nullptr; a += 2) {
    if (key == a[0]) return a[1];
  }
  return nullptr;
}

std::string joinedPath(const std::vector<std::string>& names) {
  std::string path;
  for (const std::string& name : names) {
    if (name == kCommonProperties) continue;
    if (!path.empty()) path += '.';
    path += name;
  }
  return path;
}

void startEntry(ParseContext& ctx, std::string_view element, const XML_Char** atts) {
  const char* name = findAttribute(atts, "name");
  if (name == nullptr) return;  // unnamed entries and trees are passed over
  ctx.names.back() = name;
  if (element != "e") return;
  std::string path = joinedPath(ctx.names);
  if (ctx.map->count(path) != 0) return;  // the first entry of a path stands
  cMdfMetaData record;
  record.name = name;
  if (const char* v = findAttribute(atts, "description")) record.description = v;
  if (const char* v = findAttribute(atts, "unit")) record.unit = v;
  if (const char* v = findAttribute(atts, "type")) record.type = v;
  if (const char* v = findAttribute(atts, "ro")) record.readOnly = std::string_view(v) == "true";
  ctx.target = &ctx.map->emplace(std::move(path), std::move(record)).first->second;
}

// Expat is C: nothing may be thrown through it, so memory exhaustion in a
// callback stops the parser, which makes the parse fail.
void XMLCALL startElement(void* userData, const XML_Char* element, const XML_Char** atts) {
  auto& ctx = *static_cast<ParseContext*>(userData);
  try {
    ctx.names.emplace_back(element);
    const std::string_view el = element;
    if (ctx.names.size() < 3 || ctx.names.size() > kMaxEntryDepth ||
        ctx.names[1] != kCommonProperties)
      return;
    if (el != "tree" && el != "e") return;
    startEntry(ctx, el, atts);
  } catch (const std::bad_alloc&) {
    XML_StopParser(ctx.parser, XML_FALSE);
  }
}

void XMLCALL endElement(void* userData, const XML_Char* /*element*/) {
  auto& ctx = *static_cast<ParseContext*>(userData);
  if (!ctx.names.empty()) ctx.names.pop_back();
  ctx.target = nullptr;
}

void XMLCALL dataHandler(void* userData, const XML_Char* text, int len) {
  auto& ctx = *static_cast<ParseContext*>(userData);
  if (ctx.target == nullptr || len <= 0) return;
  std::string_view chunk(text, static_cast<size_t>(len));
  std::string& value = ctx.target->value;
  // Leading spaces (code 32 only) never reach the value.
  if (value.empty()) {
    const size_t first = chunk.find_first_not_of(' ');
    if (first == std::string_view::npos) return;
    chunk.remove_prefix(first);
  }
  try {
    value.append(chunk);
  } catch (const std::bad_alloc&) {
    XML_StopParser(ctx.parser, XML_FALSE);
  }
}

// Expat salts its hash tables against names crafted to collide; without a
// salt of ours it asks the kernel for one per parser, a system call for every
// log file and bus source.  One random salt serves the whole process.
unsigned long hashSalt() {
  static const unsigned long salt = [] {
    std::random_device random;
    const unsigned long high = random();
    return (high << 32 | random()) | 1;  // zero would make Expat ask again
  }();
  return salt;
}

}  // namespace

bool parseXml(std::string_view xml, cMdfMetaDataMap& map) {
  if (xml.size() > static_cast<size_t>(INT_MAX)) return false;
  ParseContext ctx;
  ctx.map = &map;
  ctx.parser = XML_ParserCreate(nullptr);
  if (ctx.parser == nullptr) return false;
  XML_SetHashSalt(ctx.parser, hashSalt());
  // The logger's comments declare no entities.  Entities that expand a
  // document a hundredfold are refused once 64 KiB came out of them (Expat's
  // own threshold, 8 MiB, lets each comment cost a second).
  XML_SetBillionLaughsAttackProtectionActivationThreshold(ctx.parser, 64 << 10);
  XML_SetUserData(ctx.parser, &ctx);
  XML_SetElementHandler(ctx.parser, startElement, endElement);
  XML_SetCharacterDataHandler(ctx.parser, dataHandler);
  const XML_Status status =
      XML_Parse(ctx.parser, xml.data(), static_cast<int>(xml.size()), XML_TRUE);
  XML_ParserFree(ctx.parser);
  return status == XML_STATUS_OK;
}

cMdfMetaDataMap cMdfMetaData_collect(const cMdfBlock_ID& id) {
  cMdfMetaDataMap map;
  const cMdfBlock_HD* hd = id.header.get();
  if (hd == nullptr) return map;
  const cMdfBlock_MD* headerComment = mdf_cast<cMdfBlock_MD>(hd->comment.get());
  if (headerComment == nullptr) return map;
  if (!parseXml(headerComment->getData(), map)) return {};
  // A comment block that several blocks link to is read once: the first
  // entry of a path stands, so reading it again adds nothing.
  std::unordered_set<const cMdfBlock_MD*> read{headerComment};

  // Bus sources, visited in file order so that the first entry of a path is
  // the same on every run.
  cMdfBlockSet blocks;
  cMdfBlock_getLinks(&id, blocks);
  std::vector<const cMdfBlock_SI*> sources;
  for (const cMdfBlock* block : blocks) {
    const cMdfBlock_SI* si = mdf_cast<cMdfBlock_SI>(block);
    if (si == nullptr || si->sourceType != cMdfSourceType::Bus) continue;
    if (si->busType != cMdfBusType::Can && si->busType != cMdfBusType::Lin) continue;
    sources.push_back(si);
  }
  std::sort(sources.begin(), sources.end(), [](const cMdfBlock_SI* a, const cMdfBlock_SI* b) {
    return a->fileOffset() < b->fileOffset();
  });
  for (const cMdfBlock_SI* si : sources) {
    // Only XML comments carry entries; a plain-text comment is passed over.
    const cMdfBlock_MD* comment = mdf_cast<cMdfBlock_MD>(si->comment.get());
    if (comment == nullptr || !read.insert(comment).second) continue;
    if (!parseXml(comment->getData(), map)) return {};
  }
  return map;
}
