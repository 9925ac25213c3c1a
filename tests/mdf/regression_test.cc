// Hostile block trees built byte by byte: files that are small on disk but
// would stand for huge trees, and long sibling chains.  Loading must stay
// bounded in time and memory and fail cleanly where the file is malformed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"
#include "io/io.h"
#include "mdf/mdf_block.h"
#include "mdf/mdf_file.h"

namespace {

std::vector<std::string> gLines;
void capture(const char* line, int len) { gLines.emplace_back(line, static_cast<size_t>(len)); }

struct Capture {
  Capture() {
    gLines.clear();
    zf_log_set_output_callback(capture);
  }
  ~Capture() { zf_log_set_output_callback(nullptr); }
  bool contains(const std::string& text) const {
    for (const auto& l : gLines)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }
};

// Little-endian image of blocks placed at chosen offsets.
class Image {
 public:
  void put(uint64_t at, const void* bytes, size_t n) {
    if (data_.size() < at + n) data_.resize(at + n, 0);
    std::memcpy(data_.data() + at, bytes, n);
  }
  void u64(uint64_t at, uint64_t v) { put(at, &v, 8); }
  void u32(uint64_t at, uint32_t v) { put(at, &v, 4); }
  void u16(uint64_t at, uint16_t v) { put(at, &v, 2); }

  // Block header, links and `dataSize` zero bytes of data; returns the
  // offset of the data section.
  uint64_t block(uint64_t at, const char* id, const std::vector<uint64_t>& links,
                 uint64_t dataSize) {
    put(at, id, 4);
    u64(at + 8, 24 + 8 * links.size() + dataSize);
    u64(at + 16, links.size());
    for (size_t i = 0; i < links.size(); ++i) u64(at + 24 + 8 * i, links[i]);
    const uint64_t data = at + 24 + 8 * links.size();
    if (data_.size() < data + dataSize) data_.resize(data + dataSize, 0);
    return data;
  }

  // Identification block and a header block whose first data group is at
  // `firstDg`.
  void fileStart(uint64_t firstDg) {
    put(0, "MDF     4.11    mklog   ", 24);
    u16(28, 411);
    block(64, "##HD", {firstDg, 0, 0, 0, 0, 0}, 32);
  }

  std::unique_ptr<cIO> stream() const {
    std::unique_ptr<cIO_memoryAlloc> m = cIO_memoryAlloc_ctor();
    m->write(data_.data(), static_cast<int64_t>(data_.size()));
    m->seek(0, cIO::kSeekSet);
    return m;
  }
  size_t size() const { return data_.size(); }

 private:
  std::vector<uint8_t> data_;
};

constexpr uint64_t kDg = 168;
constexpr uint64_t kCg = kDg + 64;
constexpr uint64_t kFirstCn = kCg + 104;
constexpr uint64_t kCnSize = 160;

// A channel block (8 links, 72 data bytes) with an 8-bit unsigned value.
void channel(Image& img, uint64_t at, uint64_t next, uint64_t composition) {
  const uint64_t data = img.block(at, "##CN", {next, composition, 0, 0, 0, 0, 0, 0}, 72);
  img.u32(data + 8, 8);  // bit count
}

// One data group with one channel group whose channel list starts at the
// first channel block.
void oneGroup(Image& img) {
  img.fileStart(kDg);
  img.block(kDg, "##DG", {0, kCg, 0, 0}, 8);
  const uint64_t cg = img.block(kCg, "##CG", {0, kFirstCn, 0, 0, 0, 0}, 32);
  img.u32(cg + 24, 8);  // data bytes
}

TEST(MdfHostileTree, SharedCompositionListsAreRefused) {
  // Level k holds two structure channels A_k -> B_k, both composed of the
  // list of level k + 1: 40 levels in 13 KB would unfold to 2^40 leaves.
  Capture log;
  Image img;
  oneGroup(img);
  const int levels = 40;
  for (int k = 0; k < levels; ++k) {
    const uint64_t a = kFirstCn + 2 * kCnSize * static_cast<uint64_t>(k);
    const uint64_t child = k + 1 < levels ? a + 2 * kCnSize : 0;
    channel(img, a, a + kCnSize, child);
    channel(img, a + kCnSize, 0, child);
  }
  const auto start = std::chrono::steady_clock::now();
  std::unique_ptr<cIO> s = img.stream();
  auto tree = cMdfBlock_loadTree(s.get());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(tree, nullptr);
  EXPECT_TRUE(log.contains("is linked twice"));
}

TEST(MdfHostileTree, TwoGroupsSharingOneChannelListAreRefused) {
  Capture log;
  Image img;
  img.fileStart(kDg);
  const uint64_t dg2 = kDg + 64, cg1 = dg2 + 64, cg2 = cg1 + 104, cn = cg2 + 104;
  img.block(kDg, "##DG", {dg2, cg1, 0, 0}, 8);
  img.block(dg2, "##DG", {0, cg2, 0, 0}, 8);
  img.block(cg1, "##CG", {0, cn, 0, 0, 0, 0}, 32);
  img.block(cg2, "##CG", {0, cn, 0, 0, 0, 0}, 32);
  channel(img, cn, 0, 0);
  std::unique_ptr<cIO> s = img.stream();
  EXPECT_EQ(cMdfBlock_loadTree(s.get()), nullptr);
  EXPECT_TRUE(log.contains("is linked twice"));
}

TEST(MdfHostileTree, LongChainsAndDeepNestingLoadWithoutExhaustingTheStack) {
  struct Case {
    const char* name;
    bool nested;  // each channel composed of the next instead of followed by it
    int count;
    bool loads;
    size_t rules;  // decoding rules of the group when it loads
  };
  // The group's records hold 8 data bytes: up to 8 * 8 + 64 rules are kept.
  const Case cases[] = {
      {"128 sibling channels", false, 128, true, 128},
      {"129 sibling channels", false, 129, true, 0},
      {"20000 sibling channels", false, 20000, true, 0},
      {"channels nested 50 deep", true, 50, true, 1},
      {"channels nested 100000 deep", true, 100000, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Capture log;
    Image img;
    oneGroup(img);
    for (int i = 0; i < c.count; ++i) {
      const uint64_t at = kFirstCn + kCnSize * static_cast<uint64_t>(i);
      const uint64_t following = i + 1 < c.count ? at + kCnSize : 0;
      channel(img, at, c.nested ? 0 : following, c.nested ? following : 0);
    }
    std::unique_ptr<cIO> s = img.stream();
    auto tree = cMdfBlock_loadTree(s.get());
    EXPECT_EQ(tree != nullptr, c.loads);
    if (tree) {
      const auto& cg = tree->getHeader()->dataGroups.front()->channelGroups.front();
      EXPECT_EQ(cg->decodingRules().size(), c.rules);
      EXPECT_EQ(log.contains("Too many channels in channel group"), c.rules == 0);
    }
  }
}

TEST(MdfHostileTree, DataBlockSharedByTwoDataGroupsIsRefused) {
  // Two groups reading one data block would read it twice; n groups n times.
  for (bool shared : {false, true}) {
    SCOPED_TRACE(shared);
    Capture log;
    Image img;
    img.fileStart(kDg);
    const uint64_t dg2 = kDg + 64, cg1 = dg2 + 64, cg2 = cg1 + 104, cn1 = cg2 + 104,
                   cn2 = cn1 + kCnSize, dt1 = cn2 + kCnSize, dt2 = dt1 + 32;
    img.block(kDg, "##DG", {dg2, cg1, dt1, 0}, 8);
    img.block(dg2, "##DG", {0, cg2, shared ? dt1 : dt2, 0}, 8);
    img.u32(img.block(cg1, "##CG", {0, cn1, 0, 0, 0, 0}, 32) + 24, 8);
    img.u32(img.block(cg2, "##CG", {0, cn2, 0, 0, 0, 0}, 32) + 24, 8);
    channel(img, cn1, 0, 0);
    channel(img, cn2, 0, 0);
    img.block(dt1, "##DT", {}, 8);
    img.block(dt2, "##DT", {}, 8);
    std::unique_ptr<cIO> s = img.stream();
    EXPECT_EQ(cMdfBlock_loadTree(s.get()) == nullptr, shared);
    EXPECT_EQ(log.contains("is linked twice"), shared);
  }
}

}  // namespace
