// Bounds that keep a hostile file from holding the conversion: container
// nesting depth and the key-derivation cost of encrypted containers.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/e2e.h"

namespace {

const std::string kDbc = e2eDbc("CAN",
                                "BO_ 256 M: 1 ECU\n"
                                " SG_ A : 0|8@1+ (1,0) [0|0] \"\" ECU\n");

std::string log(const std::string& wrap) {
  return e2eLogHeader("B0", 1, 1) + "group c can\nframe c t=0 id=0x100 data=2A\n" + wrap;
}

TEST(ResourceBounds, ContainersNestAtMost256Deep) {
  // Encrypted layers grow by a fixed 68 bytes each, so deep nesting stays small.
  std::string layers;
  for (int i = 0; i < 256; ++i) layers += "encrypt password=pw iterations=1\n";
  struct Case {
    int extra;
    int status;
  };
  for (Case c : {Case{0, 0}, Case{1, 8}}) {
    SCOPED_TRACE(c.extra);
    E2eFolder dir;
    dir.writeDbc("can1-m.dbc", kDbc);
    dir.write("passwords.json", "{\"default\": \"pw\"}");
    std::string wrap = layers;
    for (int i = 0; i < c.extra; ++i) wrap += "encrypt password=pw iterations=1\n";
    dir.writeLog("in/deep.mfe", log(wrap));
    dir.mkdir("out");
    E2eRun r = dir.run({"-O", dir / "out", dir / "in"});
    EXPECT_EQ(r.status, c.status) << r.logText();
    EXPECT_EQ(r.logged("E Too many nested containers"), c.status != 0);
    EXPECT_EQ(dir.csvTree("out").size(), c.status == 0 ? 1u : 0u);
  }
}

TEST(ResourceBounds, HugeIterationCountIsRefusedBeforeKeyDerivation) {
  E2eFolder dir;
  dir.writeDbc("can1-m.dbc", kDbc);
  dir.write("passwords.json", "{\"default\": \"pw\"}");
  std::string bytes = E2eFolder::logBytes(log("encrypt password=pw iterations=1\n"));
  // Iteration count (big-endian) at bytes 32..35: 0xFFFFFFFF would take hours.
  for (int i = 32; i < 36; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>(0xFF);
  dir.write("in/slow.mfe", bytes);
  dir.mkdir("out");
  const auto start = std::chrono::steady_clock::now();
  E2eRun r = dir.run({"-O", dir / "out", dir / "in"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(r.status, 2) << r.logText();
  EXPECT_TRUE(r.logged("E Could not decrypt file")) << r.logText();
}

}  // namespace
