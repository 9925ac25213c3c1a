// Hostile block trees built byte by byte: files that are small on disk but
// would stand for huge trees, long sibling chains and deep nesting.  Loading
// must stay bounded in memory and stack and fail cleanly where the file is
// malformed.  (Channel lists or data blocks shared by two data groups: see
// the damaged-link table of the block tests.)
#include <gtest/gtest.h>

#include <cstring>

#include "mdf/mdf_block_meta.h"
#include "mdf/mdf_record.h"
#include "support/log_capture.h"
#include "support/memory_stream.h"

namespace {

// Little-endian image of blocks placed at chosen offsets.
class Image {
 public:
  void put(uint64_t at, const void* bytes, size_t n) {
    if (data_.size() < at + n) data_.resize(at + n, 0);
    std::memcpy(data_.data() + at, bytes, n);
  }
  void u64(uint64_t at, uint64_t v) { put(at, &v, 8); }
  // Block header, links and `dataSize` zero bytes; returns the data offset.
  uint64_t block(uint64_t at, const char* id, const std::vector<uint64_t>& links, uint64_t dataSize) {
    put(at, id, 4);
    u64(at + 8, 24 + 8 * links.size() + dataSize);
    u64(at + 16, links.size());
    for (size_t i = 0; i < links.size(); ++i) u64(at + 24 + 8 * i, links[i]);
    put(at + 24 + 8 * links.size() + dataSize, "", 0);
    return at + 24 + 8 * links.size();
  }
  // A channel group of 8 data bytes and a channel of 8 bits.
  void group(uint64_t at, uint64_t firstChannel) { u64(block(at, "##CG", {0, firstChannel, 0, 0, 0, 0}, 32) + 24, 8); }
  void channel(uint64_t at, uint64_t next, uint64_t composition) {
    u64(block(at, "##CN", {next, composition, 0, 0, 0, 0, 0, 0}, 72) + 8, 8);
  }
  // Identification block and a header whose first data group is at `firstDg`.
  void fileStart(uint64_t firstDg) {
    put(0, "MDF     4.11    mklog   \0\0\0\0\x9B\x01", 30);
    block(64, "##HD", {firstDg, 0, 0, 0, 0, 0}, 32);
  }
  std::shared_ptr<cMdfBlock_ID> load() {
    stream_ = memoryStream(data_);
    return cMdfBlock_loadTree(stream_.get());
  }

 private:
  std::vector<uint8_t> data_;
  std::unique_ptr<cIO_memoryAlloc> stream_;
};

constexpr uint64_t kDg = 168, kCg = kDg + 64, kFirstCn = kCg + 104, kCnSize = 160;

// One data group with one channel group whose channel list starts at kFirstCn.
void oneGroup(Image& img) {
  img.fileStart(kDg);
  img.block(kDg, "##DG", {0, kCg, 0, 0}, 8);
  img.group(kCg, kFirstCn);
}

TEST(MdfHostileTree, SharedCompositionListsAreRefused) {
  // Level k holds two structure channels A_k -> B_k, both composed of the
  // list of level k + 1: 40 levels in 13 KB would unfold to 2^40 leaves.
  LogCapture log;
  Image img;
  oneGroup(img);
  for (uint64_t k = 0, levels = 40; k < levels; ++k) {
    const uint64_t a = kFirstCn + 2 * kCnSize * k, child = k + 1 < levels ? a + 2 * kCnSize : 0;
    img.channel(a, a + kCnSize, child);
    img.channel(a + kCnSize, 0, child);
  }
  EXPECT_EQ(img.load(), nullptr);
  EXPECT_TRUE(log.has("is linked twice"));
}

TEST(MdfHostileTree, LongChainsAndDeepNestingLoadWithoutExhaustingTheStack) {
  struct Case {
    bool nested;  // each channel composed of the next instead of followed by it
    int count;
    bool loads;
    size_t rules;  // decoding rules of the group's plan when it loads
  };
  // The group's records hold 8 data bytes: up to 8 * 8 + 64 rules are kept.
  const Case cases[] = {{false, 128, true, 128}, {false, 129, true, 0}, {false, 20000, true, 0},
                        {true, 61, true, 1},     {true, 62, false, 0},  {true, 100000, false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.count << (c.nested ? " nested" : " siblings"));
    LogCapture log;
    Image img;
    oneGroup(img);
    for (uint64_t i = 0, n = c.count; i < n; ++i) {
      const uint64_t at = kFirstCn + kCnSize * i, following = i + 1 < n ? at + kCnSize : 0;
      img.channel(at, c.nested ? 0 : following, c.nested ? following : 0);
    }
    auto tree = img.load();
    ASSERT_EQ(tree != nullptr, c.loads);
    EXPECT_EQ(log.count("nested too deeply"), c.nested && !c.loads ? 1 : 0);
    if (!tree) continue;
    const auto& dg = tree->header->dataGroups.front();
    EXPECT_EQ(dg->channelGroups.front()->channels.size(), c.nested ? 1u : static_cast<size_t>(c.count));
    EXPECT_FALSE(log.has("Too many channels")) << "loading builds no rules";
    EXPECT_EQ(cMdfDataGroupPlan_build(*dg)->rules.at(0).size(), c.rules);
    EXPECT_EQ(log.has("Too many channels in channel group"), c.rules == 0);
  }
}

}  // namespace
