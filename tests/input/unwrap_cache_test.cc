// Unwrapped containers kept between the planning and the conversion: each
// kept file is read back whole and taken once; what does not fit the budget
// or belongs to another shard is not kept.
#include "input/unwrap_cache.h"

#include <gtest/gtest.h>

#include <vector>

#include "input/generic_file.h"

namespace {

std::vector<uint8_t> bytesOf(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

std::vector<uint8_t> readAll(cIO& stream) {
  std::vector<uint8_t> out(static_cast<size_t>(stream.getSize()));
  EXPECT_EQ(stream.read(out.data(), static_cast<int64_t>(out.size())), static_cast<int64_t>(out.size()));
  uint8_t more;
  EXPECT_EQ(stream.read(&more, 1), 0) << "nothing past the end";
  return out;
}

TEST(cUnwrapCache, KeepsWhatFitsAndGivesItBackOnce) {
  cUnwrapCache cache(cIO_kHugePage);  // the budget: one huge page
  const std::vector<uint8_t> a = bytesOf(1000, 1), b = bytesOf(cIO_kHugePage / 2, 2);
  const std::vector<uint8_t> layers = {kGenericFileTypeEncrypted, kGenericFileTypeCompressed};
  EXPECT_TRUE(cache.put("a.mfm", a, layers));
  EXPECT_FALSE(cache.put("a.mfm", b, {})) << "a path is kept once";
  EXPECT_TRUE(cache.put("b.mfc", b, {kGenericFileTypeCompressed}));
  EXPECT_FALSE(cache.put("c.mfc", b, {})) << "past the budget";
  EXPECT_FALSE(cache.put("d.mfc", {}, {})) << "nothing to keep";
  EXPECT_EQ(cache.bytesKept(), a.size() + b.size());

  cache.keepOnly({"a.mfm", "c.mfc"});  // b is another shard's
  EXPECT_EQ(cache.bytesKept(), a.size());
  std::vector<uint8_t> gotLayers;
  EXPECT_EQ(cache.take("b.mfc", &gotLayers), nullptr);
  std::unique_ptr<cIO> kept = cache.take("a.mfm", &gotLayers);
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(gotLayers, layers);
  EXPECT_EQ(readAll(*kept), a);
  // Seeks as the block loader makes them, and none outside the bytes.
  EXPECT_EQ(kept->seek(-10, cIO::kSeekEnd), 990);
  EXPECT_EQ(kept->seek(5, cIO::kSeekCur), 995);
  EXPECT_EQ(kept->seek(5, cIO::kSeekCur), 1000);  // the end itself: a read gives nothing
  EXPECT_EQ(kept->seek(1, cIO::kSeekCur), -1);
  EXPECT_TRUE(kept->seek(-1, cIO::kSeekSet) == -1 && kept->tell() == 1000) << "refused: it stays";
  EXPECT_EQ(kept->seek(0, cIO::kSeekSet), 0);
  EXPECT_EQ(readAll(*kept), a);
  EXPECT_EQ(cache.take("a.mfm", &gotLayers), nullptr) << "taken once";
  EXPECT_EQ(cache.bytesKept(), 0u);
}

}  // namespace
