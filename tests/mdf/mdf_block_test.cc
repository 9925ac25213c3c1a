// Block layer: round trips through the save side, list order, sharing, long
// chains, cycles and damaged files.
#include "mdf/mdf_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/log.h"
#include "mklog.h"
#include "support/log_capture.h"

namespace {


constexpr const char* kDescription = R"(
start_ns 1700000000123456789
tz_offset 60
dst_offset -30
serial 00C0FFEE
session 7
split 3
history none
history QZ
datagroup unsorted
group can1 can
group rem remote
frame can1 t=0.001 ch=1 id=0x123 data=0102030405060708
frame rem t=0.002 ch=2 id=0x10 len=3
frame can1 t=0.003 ch=2 id=0x1ABCDE ide=1 data=AA
datagroup sorted
group lin1 lin
frame lin1 t=0.004 id=0x21 data=11223344
datagroup
group fd canfd_vlsd
group sd canfd_sd
frame fd t=0.005 id=0x300 data=000102030405060708090A0B0C0D0E0F
frame sd t=0.006 id=0x301 data=0F0E0D
)";

std::vector<uint8_t> render(const std::string& description) {
  std::string error;
  auto bytes = cMklog_build(description, &error);
  EXPECT_TRUE(bytes) << error;
  return bytes ? *bytes : std::vector<uint8_t>{};
}

std::unique_ptr<cIO_memoryAlloc> streamOf(const std::vector<uint8_t>& bytes) {
  auto mem = cIO_memoryAlloc_ctor();
  mem->write(bytes.data(), static_cast<int64_t>(bytes.size()));
  mem->seek(0, cIO::kSeekSet);
  return mem;
}

std::string payloadOf(cIO* view) {
  std::string bytes;
  if (view == nullptr || view->seek(0, cIO::kSeekSet) != 0) return "?";
  char buf[256];
  for (int64_t n; (n = view->read(buf, sizeof buf)) > 0;) bytes.append(buf, static_cast<size_t>(n));
  return bytes;
}

// Everything a block tree says, without file offsets, in a canonical order.
void dump(const cMdfBlock* b, std::ostream& out, int depth = 0) {
  std::string pad(static_cast<size_t>(depth) * 2, ' ');
  if (b == nullptr) {
    out << pad << "-\n";
    return;
  }
  out << pad << "kind " << static_cast<int>(b->kind()) << ' ';
  if (auto id = mdf_cast<cMdfBlock_ID>(b)) {
    out << id->versionText() << '|' << id->programText() << '|' << id->versionNumber() << '|'
        << id->getFinalizationFlags() << '\n';
    dump(id->getHeader().get(), out, depth + 1);
  } else if (auto hd = mdf_cast<cMdfBlock_HD>(b)) {
    out << hd->startTimeNs << ' ' << hd->tzOffsetMin << ' ' << hd->dstOffsetMin << ' '
        << int(hd->timeFlags) << '\n';
    dump(hd->comment.get(), out, depth + 1);
    for (auto& fh : hd->fileHistories) dump(fh.get(), out, depth + 1);
    for (auto& dg : hd->dataGroups) dump(dg.get(), out, depth + 1);
  } else if (auto fh = mdf_cast<cMdfBlock_FH>(b)) {
    out << fh->timeNs << ' ' << fh->tzOffsetMin << '\n';
    dump(fh->comment.get(), out, depth + 1);
  } else if (b->kind() == cMdfBlockKind::TX || b->kind() == cMdfBlockKind::MD) {
    out << '"' << cMdfBlock_getText(b) << "\"\n";
  } else if (auto si = mdf_cast<cMdfBlock_SI>(b)) {
    out << int(si->getType()) << ' ' << int(si->getBusType()) << '\n';
    dump(si->name.get(), out, depth + 1);
    dump(si->comment.get(), out, depth + 1);
  } else if (auto dg = mdf_cast<cMdfBlock_DG>(b)) {
    out << int(dg->getRecordIDSize()) << '\n';
    for (auto& cg : dg->channelGroups) dump(cg.get(), out, depth + 1);
    dump(dg->data.get(), out, depth + 1);
  } else if (auto cg = mdf_cast<cMdfBlock_CG>(b)) {
    out << cg->getRecordID() << ' ' << cg->getCycleCount() << ' ' << cg->getFlags() << ' '
        << cg->getRecordSize() << ' ' << cg->getInvalidationBytes() << '\n';
    dump(cg->acquisitionName.get(), out, depth + 1);
    dump(cg->acquisitionSource.get(), out, depth + 1);
    for (auto& cn : cg->channels) dump(cn.get(), out, depth + 1);
  } else if (auto cn = mdf_cast<cMdfBlock_CN>(b)) {
    out << cn->getName() << ' ' << int(cn->getChannelType()) << ' ' << int(cn->getDataType())
        << ' ' << int(cn->getSyncType()) << ' ' << cn->getByteOffset() << ':'
        << int(cn->getBitOffset()) << ':' << cn->getBitLength() << '\n';
    dump(cn->conversion.get(), out, depth + 1);
    dump(cn->unit.get(), out, depth + 1);
    if (cn->signalData) out << pad << " signal data kind " << int(cn->signalData->kind()) << '\n';
    for (auto& child : cn->composition) dump(child.get(), out, depth + 1);
  } else if (auto cc = mdf_cast<cMdfBlock_CC>(b)) {
    out << int(cc->type);
    for (double v : cc->values) out << ' ' << v;
    out << '\n';
  } else if (auto dt = mdf_cast_mut<cMdfBlock_DT>(const_cast<cMdfBlock*>(b))) {
    out << "payload " << payloadOf(dt->getIOInterface()).size() << ' '
        << std::hash<std::string>{}(payloadOf(dt->getIOInterface())) << '\n';
  } else {
    out << '\n';
  }
}

std::string dumpOf(const cMdfBlock* b) {
  std::ostringstream out;
  dump(b, out);
  return out.str();
}

std::vector<uint8_t> saveTree(cMdfBlock_ID& id) {
  auto mem = cIO_memoryAlloc_ctor();
  EXPECT_TRUE(cMklog_saveTree(id, mem.get()));
  return {mem->data().begin(), mem->data().end()};
}

void putU64(std::vector<uint8_t>& bytes, uint64_t at, uint64_t value) {
  ASSERT_LE(at + 8, bytes.size());
  std::memcpy(bytes.data() + at, &value, 8);
}

TEST(cMdfBlock, TreeRoundTripsThroughSaveAndLoad) {
  std::string error;
  auto plan = cMklog_parse(kDescription, &error);
  ASSERT_TRUE(plan) << error;
  auto built = cMklog_buildTree(*plan, &error);
  ASSERT_TRUE(built) << error;
  std::string expected = dumpOf(built.get());
  auto bytes = saveTree(*built);

  auto stream = streamOf(bytes);
  auto loaded = cMdfBlock_loadTree(stream.get());
  ASSERT_TRUE(loaded);
  EXPECT_EQ(dumpOf(loaded.get()), expected);

  // The loaded tree saved again (blocks keep their offsets) is byte-identical.
  auto again = saveTree(*loaded);
  EXPECT_EQ(again, bytes);
}

TEST(cMdfBlock, LoadedFieldsMatchTheDescription) {
  auto bytes = render(kDescription);
  auto stream = streamOf(bytes);
  auto id = cMdfBlock_loadTree(stream.get());
  ASSERT_TRUE(id);
  EXPECT_EQ(id->versionText(), "4.11    ");
  EXPECT_EQ(id->versionNumber(), 411);
  const auto& hd = *id->getHeader();
  EXPECT_EQ(hd.getStartTimeNs(), 1700000000123456789u);
  EXPECT_EQ(hd.tzOffsetMin, 60);
  EXPECT_EQ(hd.dstOffsetMin, -30);
  EXPECT_NE(hd.getComment().find("<e name=\"serial number\" ro=\"true\">00C0FFEE</e>"),
            std::string_view::npos);
  ASSERT_EQ(hd.fileHistories.size(), 2u);
  EXPECT_EQ(cMdfBlock_getText(hd.fileHistories[0]->comment.get()).find("QZ"), std::string::npos);
  EXPECT_NE(cMdfBlock_getText(hd.fileHistories[1]->comment.get()).find("<tool_id>QZ</tool_id>"),
            std::string::npos);
  ASSERT_EQ(hd.dataGroups.size(), 3u);
  EXPECT_EQ(hd.dataGroups[0]->getRecordIDSize(), 1);
  EXPECT_EQ(hd.dataGroups[1]->getRecordIDSize(), 0);
  // Data group 3: FD group, its VLSD group, the SD group.
  const auto& cgs = hd.dataGroups[2]->channelGroups;
  ASSERT_EQ(cgs.size(), 3u);
  EXPECT_FALSE(cgs[0]->isVLSD());
  EXPECT_TRUE(cgs[1]->isVLSD());
  EXPECT_EQ(cgs[1]->getVLSDBytes(), 4u + 16u);
  const auto& children = cgs[0]->channels[1]->composition;
  ASSERT_FALSE(children.empty());
  EXPECT_EQ(children.back()->getName(), "CAN_DataFrame.DataBytes");
  EXPECT_EQ(children.back()->signalData.get(), cgs[1].get()) << "link resolves to the list member";
  const auto& sdChildren = cgs[2]->channels[1]->composition;
  EXPECT_EQ(sdChildren.back()->signalData->kind(), cMdfBlockKind::SD);
  auto si = mdf_cast<cMdfBlock_SI>(hd.dataGroups[1]->channelGroups[0]->acquisitionSource);
  ASSERT_TRUE(si);
  EXPECT_EQ(si->getBusType(), 3);
  EXPECT_EQ(si->getType(), 2);
}

TEST(cMdfBlock, ChildrenKeepChainOrder) {
  auto bytes = render(kDescription);
  auto stream = streamOf(bytes);
  auto id = cMdfBlock_loadTree(stream.get());
  ASSERT_TRUE(id);
  const auto& cg = *id->getHeader()->dataGroups[0]->channelGroups[0];
  std::vector<std::string> names;
  for (auto& cn : cg.channels[1]->composition) names.emplace_back(cn->getName());
  std::vector<std::string> expected = {
      "CAN_DataFrame.BusChannel", "CAN_DataFrame.ID",  "CAN_DataFrame.IDE",
      "CAN_DataFrame.DLC",        "CAN_DataFrame.Dir", "CAN_DataFrame.EDL",
      "CAN_DataFrame.ESI",        "CAN_DataFrame.BRS", "CAN_DataFrame.DataLength",
      "CAN_DataFrame.DataBytes"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(cg.channels[0]->getName(), "Timestamp");
  // Data groups stand in file order.
  const auto& dgs = id->getHeader()->dataGroups;
  EXPECT_LT(dgs[0]->fileOffset(), dgs[1]->fileOffset());
  EXPECT_EQ(cMdfBlock_getText(dgs[1]->channelGroups[0]->acquisitionName.get()), "lin1");
}

TEST(cMdfBlock, SharedBlocksAreOneObject) {
  auto bytes = render(kDescription);
  auto stream = streamOf(bytes);
  auto id = cMdfBlock_loadTree(stream.get());
  ASSERT_TRUE(id);
  std::vector<cMdfBlockPtr> conversions;
  for (auto& dg : id->getHeader()->dataGroups)
    for (auto& cg : dg->channelGroups)
      if (!cg->channels.empty()) conversions.push_back(cg->channels[0]->conversion);
  ASSERT_GE(conversions.size(), 4u);
  for (auto& c : conversions) EXPECT_EQ(c.get(), conversions[0].get());
  auto cc = mdf_cast<cMdfBlock_CC>(conversions[0]);
  ASSERT_TRUE(cc);
  EXPECT_EQ(cc->type, 1);
  EXPECT_EQ(cc->values, (std::vector<double>{0.0, 1e-6}));

  // Releasing the tree but one channel keeps the shared conversion alive.
  auto channel = id->getHeader()->dataGroups[0]->channelGroups[0]->channels[0];
  std::weak_ptr<cMdfBlock> weak = conversions[0];
  conversions.clear();
  cc.reset();
  id.reset();
  EXPECT_FALSE(weak.expired());
  EXPECT_EQ(channel->conversion.get(), weak.lock().get());
  channel.reset();
  EXPECT_TRUE(weak.expired());
}

TEST(cMdfBlock, GetLinksReachesEveryBlockOnce) {
  auto bytes = render(kDescription);
  auto stream = streamOf(bytes);
  auto id = cMdfBlock_loadTree(stream.get());
  ASSERT_TRUE(id);
  cMdfBlockSet set;
  cMdfBlock_getLinks(id.get(), set);
  int si = 0, dt = 0, sd = 0;
  for (auto* b : set) {
    si += b->kind() == cMdfBlockKind::SI;
    dt += b->kind() == cMdfBlockKind::DT;
    sd += b->kind() == cMdfBlockKind::SD;
  }
  EXPECT_EQ(si, 5);  // one per non-VLSD channel group
  EXPECT_EQ(dt, 3);
  EXPECT_EQ(sd, 1);
  cMdfBlock_getLinks(nullptr, set);
}

TEST(cMdfBlock, UnfinishedIdentifierLoadsLikeFinished) {
  auto bytes = render(kDescription);
  std::memcpy(bytes.data(), "UnFinMF ", 8);
  auto stream = streamOf(bytes);
  EXPECT_TRUE(cMdfBlock_loadTree(stream.get()));
}

TEST(cMdfBlock, IdentificationWithZeroByteIsRejected) {
  for (const char* ident : {"MDF\0    ", "MDF  \0  ", "MDX     "}) {
    SCOPED_TRACE(ident);
    auto bytes = render(kDescription);
    std::memcpy(bytes.data(), ident, 8);
    auto stream = streamOf(bytes);
    LogCapture log;
    EXPECT_FALSE(cMdfBlock_loadTree(stream.get()));
  }
}

// Long sibling chains load iteratively and in order.
TEST(cMdfBlock, ThousandsOfSiblingsLoadInOrder) {
  auto id = std::make_shared<cMdfBlock_ID>();
  id->setVersion(4, 11);
  auto hd = std::make_shared<cMdfBlock_HD>();
  id->setHeader(hd);
  constexpr int kGroups = 3000, kChannels = 20000;
  for (int i = 0; i < kGroups; ++i) {
    auto dg = std::make_shared<cMdfBlock_DG>();
    dg->setRecordIDSize(static_cast<uint8_t>(i % 2));
    hd->dataGroups.push_back(dg);
  }
  auto cg = std::make_shared<cMdfBlock_CG>();
  for (int i = 0; i < kChannels; ++i) {
    auto cn = std::make_shared<cMdfBlock_CN>();
    cn->setByteOffset(static_cast<uint32_t>(i));
    cg->channels.push_back(cn);
  }
  hd->dataGroups[0]->channelGroups.push_back(cg);
  auto bytes = saveTree(*id);
  auto stream = streamOf(bytes);
  auto loaded = cMdfBlock_loadTree(stream.get());
  ASSERT_TRUE(loaded);
  const auto& dgs = loaded->getHeader()->dataGroups;
  ASSERT_EQ(dgs.size(), size_t{kGroups});
  for (int i = 0; i < kGroups; ++i) ASSERT_EQ(dgs[i]->getRecordIDSize(), i % 2) << i;
  const auto& cns = dgs[0]->channelGroups.at(0)->channels;
  ASSERT_EQ(cns.size(), size_t{kChannels});
  for (int i = 0; i < kChannels; ++i) ASSERT_EQ(cns[i]->getByteOffset(), uint32_t(i)) << i;
}

TEST(cMdfBlock, DeepNestingIsBounded) {
  for (int depth : {20, 200}) {
    SCOPED_TRACE(depth);
    auto id = std::make_shared<cMdfBlock_ID>();
    auto hd = std::make_shared<cMdfBlock_HD>();
    id->setHeader(hd);
    auto dg = std::make_shared<cMdfBlock_DG>();
    auto cg = std::make_shared<cMdfBlock_CG>();
    hd->dataGroups.push_back(dg);
    dg->channelGroups.push_back(cg);
    auto cn = std::make_shared<cMdfBlock_CN>();
    cg->channels.push_back(cn);
    for (int i = 0; i < depth; ++i) {
      auto child = std::make_shared<cMdfBlock_CN>();
      cn->composition.push_back(child);
      cn = child;
    }
    auto bytes = saveTree(*id);
    auto stream = streamOf(bytes);
    LogCapture log;
    EXPECT_EQ(cMdfBlock_loadTree(stream.get()) != nullptr, depth == 20);
    EXPECT_EQ(log.count("nested too deeply"), depth == 20 ? 0 : 1);
  }
}

// Offsets of interesting blocks in the rendered description.
struct Offsets {
  uint64_t hd, dg0, dg1, cg0, cn0, cnStruct, tx, cc, dt0;
};
Offsets offsetsOf(const std::vector<uint8_t>& bytes) {
  auto stream = streamOf(bytes);
  auto id = cMdfBlock_loadTree(stream.get());
  Offsets o{};
  if (!id) return o;
  auto& hd = *id->getHeader();
  auto& cg = *hd.dataGroups[0]->channelGroups[0];
  o.hd = hd.fileOffset();
  o.dg0 = hd.dataGroups[0]->fileOffset();
  o.dg1 = hd.dataGroups[1]->fileOffset();
  o.cg0 = cg.fileOffset();
  o.cn0 = cg.channels[0]->fileOffset();
  o.cnStruct = cg.channels[1]->fileOffset();
  o.tx = cg.channels[1]->name->fileOffset();
  o.cc = cg.channels[0]->conversion->fileOffset();
  o.dt0 = hd.dataGroups[0]->data->fileOffset();
  return o;
}

TEST(cMdfBlock, CyclesFailWithAMessage) {
  auto good = render(kDescription);
  Offsets o = offsetsOf(good);
  ASSERT_NE(o.dg0, 0u);
  struct Case {
    const char* what;
    uint64_t at;     // link position
    uint64_t value;  // link target
  };
  const Case cases[] = {
      {"data group linking itself as next", o.dg0 + 24, o.dg0},
      {"second data group linking back to the first", o.dg1 + 24, o.dg0},
      {"channel composed of its own group's channel", o.cnStruct + 24 + 8, o.cnStruct},
      {"channel group's first channel is the group", o.cg0 + 24 + 8, o.cg0},
      {"conversion inverse is the conversion", o.cc + 24 + 24, o.cc},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto bytes = good;
    putU64(bytes, c.at, c.value);
    auto stream = streamOf(bytes);
    LogCapture log;
    EXPECT_FALSE(cMdfBlock_loadTree(stream.get()));
    EXPECT_GE(log.count("Cyclic block link") + log.count("Unexpected block kind"), 1);
  }
}

TEST(cMdfBlock, DamagedFilesFailCleanly) {
  auto good = render(kDescription);
  Offsets o = offsetsOf(good);
  ASSERT_NE(o.cg0, 0u);
  struct Case {
    const char* what;
    uint64_t at;
    uint64_t value;
    const char* message;  // expected log text, or "" for a silent failure
  };
  const uint64_t size = good.size();
  const Case cases[] = {
      {"link past the end", o.dg0 + 24 + 8, size + 4096, ""},
      {"link into the middle of a block", o.dg0 + 24 + 8, o.cg0 + 4, "Unable to load block header"},
      {"huge link count", o.cn0 + 16, uint64_t{1} << 60, "Invalid length"},
      {"wrong link count", o.cg0 + 16, 5, ""},
      {"block length 2^63", o.tx + 8, uint64_t{1} << 63, "Invalid length"},
      {"text longer than the file", o.tx + 8, size, "Invalid length"},
      {"zero-length block", o.cn0 + 8, 0, "Invalid length"},
      {"header with attachment link", o.hd + 24 + 3 * 8, o.tx, "Unsupported parameter present in file"},
      {"group with sample reduction", o.cg0 + 24 + 4 * 8, o.tx, "Unsupported parameter present in file"},
      {"conversion with five links", o.cc + 16, 5, ""},
      {"unknown identifier", o.cg0, 0x0000000058582323ull, "Unable to load block header for type ##XX"},
      {"data link to a data list", o.dt0, 0x000000004C442323ull, "Unable to load block header for type ##DL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto bytes = good;
    putU64(bytes, c.at, c.value);
    auto stream = streamOf(bytes);
    LogCapture log;
    EXPECT_FALSE(cMdfBlock_loadTree(stream.get()));
    if (*c.message != '\0') {
      EXPECT_EQ(log.count(c.message), 1) << ::testing::PrintToString(log.messages());
    }
  }
}

TEST(cMdfBlock, AbsentOptionalLinksLoad) {
  // The unsupported header and group links are fine when 0.
  auto bytes = render(kDescription);
  Offsets o = offsetsOf(bytes);
  putU64(bytes, o.hd + 24 + 3 * 8, 0);
  putU64(bytes, o.cg0 + 24 + 4 * 8, 0);
  auto stream = streamOf(bytes);
  EXPECT_TRUE(cMdfBlock_loadTree(stream.get()));
}

TEST(cMdfBlock, TruncatedFilesNeverLoad) {
  auto good = render(kDescription);
  const uint64_t firstData = offsetsOf(good).dt0;
  LogCapture log;
  for (size_t cut = 0; cut < good.size(); cut += 29) {
    std::vector<uint8_t> bytes(good.begin(), good.begin() + static_cast<long>(cut));
    auto stream = streamOf(bytes);
    auto id = cMdfBlock_loadTree(stream.get());
    // Only a cut inside the trailing data blocks can still load.
    if (cut < firstData) {
      EXPECT_FALSE(id) << cut;
    }
  }
}

TEST(cMdfBlock, RandomCorruptionNeverCrashes) {
  auto good = render(kDescription);
  const uint32_t seed = 20240611;
  std::mt19937 rng(seed);
  LogCapture log;
  for (int round = 0; round < 400; ++round) {
    auto bytes = good;
    int flips = 1 + static_cast<int>(rng() % 8);
    for (int f = 0; f < flips; ++f) {
      size_t at = rng() % bytes.size();
      bytes[at] = static_cast<uint8_t>(rng());
    }
    auto stream = streamOf(bytes);
    auto id = cMdfBlock_loadTree(stream.get());
    if (id) {
      cMdfBlockSet set;
      cMdfBlock_getLinks(id.get(), set);
      EXPECT_FALSE(set.empty());
    }
  }
  SUCCEED() << "seed " << seed;
}

std::vector<uint8_t> textBlockBytes(uint64_t length, const std::string& data) {
  std::vector<uint8_t> b(length, 0);
  std::memcpy(b.data(), "##TX", 4);
  std::memcpy(b.data() + 8, &length, 8);
  std::memcpy(b.data() + 24, data.data(), std::min<size_t>(data.size(), length - 24));
  return b;
}

TEST(cMdfBlock_TX, TextIsCutAtItsFirstZeroUnlessLeading) {
  struct Case {
    uint64_t length;
    std::string data;
    std::string expected;
  };
  const Case cases[] = {
      {24, "", ""},
      {40, std::string("abc\0", 4), "abc"},
      {32, "abcdefgh", "abcdefgh"},
      {32, std::string("\0bc", 3), std::string("\0bc\0\0\0\0\0", 8)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    auto stream = streamOf(textBlockBytes(c.length, c.data));
    cMdfLoader loader(stream.get());
    auto tx = mdf_cast<cMdfBlock_TX>(loader.loadAtSingle(0));
    ASSERT_TRUE(tx);
    EXPECT_EQ(tx->getData(), c.expected);
  }
}

TEST(cMdfBlock_TX, SetDataStopsAtZeroAndSetsLength) {
  cMdfBlock_MD md;
  md.setData("ab\0cd", 5);
  EXPECT_EQ(md.getData(), "ab");
  EXPECT_EQ(md.length(), 27u);
  md.setData("xyz", 2);
  EXPECT_EQ(md.getData(), "xy");
}

TEST(cMdfBlock_SI, TypeMappings) {
  struct Case {
    uint8_t set, getType, getBus;
  };
  // Setters store 1..5 (type) and 1..3 (bus); getters map as the format needs.
  const Case cases[] = {{0, 6, 0}, {1, 6, 4}, {2, 2, 2}, {3, 6, 3}, {4, 6, 0}, {7, 6, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.set));
    cMdfBlock_SI si;
    si.setType(c.set);
    si.setBusType(c.set);
    EXPECT_EQ(si.getType(), c.getType);
    EXPECT_EQ(si.getBusType(), c.getBus);
  }
}

TEST(cMdfBlock_SI, StoredCodesAreMappedOnLoad) {
  // Stored source type 1 (ECU) reads 6; stored bus type 7 reads 4 (other).
  std::vector<uint8_t> b(56, 0);
  std::memcpy(b.data(), "##SI", 4);
  uint64_t len = 56, links = 3;
  std::memcpy(b.data() + 8, &len, 8);
  std::memcpy(b.data() + 16, &links, 8);
  b[48] = 1;
  b[49] = 7;
  auto stream = streamOf(b);
  cMdfLoader loader(stream.get());
  auto si = mdf_cast<cMdfBlock_SI>(loader.loadAtSingle(0));
  ASSERT_TRUE(si);
  EXPECT_EQ(si->getType(), 6);
  EXPECT_EQ(si->getBusType(), 4);
}

TEST(cMdfBlock_CN, CodeMappings) {
  struct Case {
    uint8_t value, channelType, dataType, syncType;
  };
  // A data type out of range stores 0, which reads back as 1 (unsigned LE).
  const Case cases[] = {{0, 0, 1, 0}, {4, 4, 4, 4}, {5, 5, 5, 0},
                        {11, 0, 11, 0}, {12, 0, 1, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.value));
    cMdfBlock_CN cn;
    cn.setChannelType(c.value);
    cn.setDataType(c.value);
    cn.setSyncType(c.value);
    EXPECT_EQ(cn.getChannelType(), c.channelType);
    EXPECT_EQ(cn.getDataType(), c.dataType);
    EXPECT_EQ(cn.getSyncType(), c.syncType);
  }
}

TEST(cMdfBlock_CN, StoredCodesAreMappedOnLoad) {
  std::vector<uint8_t> b(160, 0);
  std::memcpy(b.data(), "##CN", 4);
  uint64_t len = 160, links = 8;
  std::memcpy(b.data() + 8, &len, 8);
  std::memcpy(b.data() + 16, &links, 8);
  struct Case {
    uint8_t channelType, dataType, syncType;
    uint8_t expChannel, expData, expSync;
  };
  const Case cases[] = {{9, 4, 1, 7, 5, 1}, {2, 12, 7, 2, 0, 5}, {0, 10, 0, 0, 11, 0}};
  for (const auto& c : cases) {
    b[88] = c.channelType;
    b[89] = c.syncType;
    b[90] = c.dataType;
    auto stream = streamOf(b);
    cMdfLoader loader(stream.get());
    auto cn = mdf_cast<cMdfBlock_CN>(loader.loadAtSingle(0));
    ASSERT_TRUE(cn);
    EXPECT_EQ(cn->getChannelType(), c.expChannel);
    EXPECT_EQ(cn->getDataType(), c.expData);
    EXPECT_EQ(cn->getSyncType(), c.expSync);
  }
}

TEST(cMdfBlock_CC, ValueCountZeroLoadsAndSettersSizeTheBlock) {
  cMdfBlock_CC cc;
  EXPECT_TRUE(cc.values.empty());
  cc.setLookup({{2.0, 20.0}, {1.0, 10.0}});
  EXPECT_EQ(cc.type, 5);
  EXPECT_EQ(cc.values, (std::vector<double>{1.0, 10.0, 2.0, 20.0}));
  EXPECT_EQ(cc.length(), 80u + 32u);
  cc.setLinear(0.5, 2.0);
  EXPECT_EQ(cc.values, (std::vector<double>{0.5, 2.0}));
  EXPECT_EQ(cc.length(), 96u);

  // A conversion whose value count claims more than the block holds fails.
  std::vector<uint8_t> b(80, 0);
  std::memcpy(b.data(), "##CC", 4);
  uint64_t len = 80, links = 4;
  std::memcpy(b.data() + 8, &len, 8);
  std::memcpy(b.data() + 16, &links, 8);
  auto empty = streamOf(b);
  cMdfLoader ok(empty.get());
  auto loaded = mdf_cast<cMdfBlock_CC>(ok.loadAtSingle(0));
  ASSERT_TRUE(loaded);
  EXPECT_TRUE(loaded->values.empty());
  b[56 + 6] = 0xFF;
  b[56 + 7] = 0xFF;
  b.resize(4096, 0);
  auto huge = streamOf(b);
  cMdfLoader bad(huge.get());
  EXPECT_FALSE(bad.loadAtSingle(0));
}

TEST(cMdfBlock_DT, PayloadViewClampsReadsAndSeeks) {
  std::vector<uint8_t> file(24 + 64 + 16, 0xEE);
  std::memcpy(file.data(), "##DT\0\0\0\0", 8);
  uint64_t len = 24 + 64, links = 0;
  std::memcpy(file.data() + 8, &len, 8);
  std::memcpy(file.data() + 16, &links, 8);
  for (int i = 0; i < 64; ++i) file[24 + i] = static_cast<uint8_t>(i);
  auto stream = streamOf(file);
  cMdfLoader loader(stream.get());
  auto dt = mdf_cast<cMdfBlock_DT>(loader.loadAtSingle(0));
  ASSERT_TRUE(dt);
  EXPECT_EQ(dt->getDataOffset(), 24u);
  cIO* view = dt->getIOInterface();
  uint8_t buf[100];
  EXPECT_EQ(view->seek(60, cIO::kSeekSet), 60);
  EXPECT_EQ(view->read(buf, 100), 4);
  EXPECT_EQ(buf[0], 60);
  EXPECT_EQ(buf[3], 63);
  EXPECT_EQ(view->read(buf, 100), 0) << "the bytes after the block are not payload";
  EXPECT_EQ(view->seek(1000, cIO::kSeekSet), 64);
  EXPECT_EQ(view->seek(-5, cIO::kSeekEnd), 64) << "the offset from the end is ignored";
  EXPECT_EQ(view->seek(-10, cIO::kSeekCur), 54);
  EXPECT_EQ(view->tell(), 54);
  EXPECT_EQ(view->getSize(), 64);
  EXPECT_EQ(view->write(buf, 1), cIO::kMissing);
}

TEST(cMdfBlock_DT, OwnedPayloadIsSavedWholeAndLoadsBack) {
  auto source = cIO_memoryAlloc_ctor();
  std::vector<uint8_t> payload(10000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 31);
  source->write(payload.data(), static_cast<int64_t>(payload.size()));
  auto dt = cMdfBlock_DT_ctor_fromIO(std::move(source));
  ASSERT_TRUE(dt);
  EXPECT_EQ(dt->length(), 24u + 10000u);
  EXPECT_FALSE(cMdfBlock_DT_ctor_fromIO(nullptr));

  auto out = cIO_memoryAlloc_ctor();
  cMdfSaveContext ctx(out.get());
  ASSERT_TRUE(cMdfBlock_save(dt.get(), ctx));
  std::vector<uint8_t> file(out->data().begin(), out->data().end());
  auto stream = streamOf(file);
  cMdfLoader loader(stream.get());
  auto loaded = mdf_cast<cMdfBlock_DT>(loader.loadAtSingle(0));
  ASSERT_TRUE(loaded);
  EXPECT_EQ(payloadOf(loaded->getIOInterface()), std::string(payload.begin(), payload.end()));
}

TEST(cMdfBlock_CN, SaveReportsALengthThatDoesNotMatchItsFields) {
  struct Case {
    uint64_t length;
    bool ok;
  };
  for (const Case& c : {Case{160, true}, Case{200, false}, Case{120, false}}) {
    SCOPED_TRACE(c.length);
    cMdfBlock_CN cn;
    cn.setLength(c.length);
    auto out = cIO_memoryAlloc_ctor();
    cMdfSaveContext ctx(out.get());
    LogCapture log;
    EXPECT_EQ(cMdfBlock_save(&cn, ctx), c.ok);
    EXPECT_EQ(log.count("Error during save. Expected to be at " + std::to_string(c.length) +
                        " but stream is at 160"),
              c.ok ? 0 : 1);
  }
}

TEST(cMdfBlock_ID, SettersValidate) {
  cMdfBlock_ID id;
  EXPECT_TRUE(id.setVersion(4, 11));
  EXPECT_EQ(id.versionText(), "4.11    ");
  EXPECT_EQ(id.versionNumber(), 411);
  EXPECT_FALSE(id.setVersion(100, 0));
  EXPECT_FALSE(id.setVersion(4, 100));
  EXPECT_TRUE(id.setProgram("abcdefg"));
  EXPECT_EQ(id.programText(), "abcdefg ");
  EXPECT_FALSE(id.setProgram("abcdefgh"));
}

TEST(cMdfBlock_HD, CommentMayBeText) {
  cMdfBlock_HD hd;
  auto tx = std::make_shared<cMdfBlock_TX>();
  tx->setData("plain");
  hd.comment = tx;
  EXPECT_EQ(hd.getComment(), "plain");
  hd.comment = std::make_shared<cMdfBlock_CC>();
  EXPECT_EQ(hd.getComment(), "");
}

TEST(cMdfBlockHeader, DataSizeNeverUnderflows) {
  struct Case {
    uint64_t length, links, expected;
  };
  const Case cases[] = {{24, 0, 0}, {100, 2, 60}, {30, 1, 0}, {0, 0, 0}, {64, UINT64_MAX / 4, 0}};
  for (const auto& c : cases) {
    cMdfBlockHeader h{cMdfBlockKind::DT, c.length, c.links};
    EXPECT_EQ(cMdfBlockHeader_getDataSize(h), c.expected) << c.length << " " << c.links;
  }
}

}  // namespace
