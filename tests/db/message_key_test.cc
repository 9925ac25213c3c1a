#include "db/message_key.h"

#include <gtest/gtest.h>

namespace {

struct KeyCase {
  const char* what;
  uint32_t id;
  uint32_t extended;
  uint32_t key;
};

TEST(cDB, CanId2KeyTable) {
  const KeyCase cases[] = {
      {"standard keeps 11 bits", 0x100, 0, 0x00000100},
      {"extended gets bit 31", 0x100, 1, 0x80000100},
      {"standard drops bits above 11", 0x1100, 0, 0x100},
      {"extended drops bits above 29", 0xFFFFFFFF, 1, 0x9FFFFFFF},
      {"only the low byte of the flag counts", 0x100, 0x100, 0x100},
      {"DBC identifier with bit 31 and 30", 0xC0000000, 1, 0x80000000},
      {"extended zero", 0x80000000, 1, 0x80000000},
  };
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(cDB_can_id2key(c.id, c.extended), c.key);
  }
}

TEST(cDB, CanPgnId2KeyTable) {
  const KeyCase cases[] = {
      {"PDU2 drops priority and source", 0x18FEF100, 1, 0x80FEF100},
      {"PDU2 other priority and source", 0x0CFEF103, 1, 0x80FEF100},
      {"PDU1 drops destination", 0x18EA0017, 1, 0x80EA0000},
      {"PDU1 other destination", 0x18EA2117, 1, 0x80EA0000},
      {"data page survives", 0x19FEF100, 1, 0x81FEF100},
      {"extended data page survives", 0x1AFEF100, 1, 0x82FEF100},
      {"PF 239 is PDU1", 0x18EFAB01, 1, 0x80EF0000},
      {"PF 240 is PDU2", 0x18F0AB01, 1, 0x80F0AB00},
      {"standard identifier keys as CAN", 0x7FF, 0, 0x7FF},
      {"standard identifier keeps 11 bits", 0x18FEF100, 0, 0x100},
  };
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(cDB_can_pgn_id2key(c.id, c.extended), c.key);
  }
}

TEST(cDB, LinId2KeyKeepsSixBits) {
  EXPECT_EQ(cDB_lin_id2key(0x7F), 0x3Fu);
  EXPECT_EQ(cDB_lin_id2key(0x12), 0x12u);
  EXPECT_EQ(cDB_lin_id2key(0x40), 0u);
}

}  // namespace
