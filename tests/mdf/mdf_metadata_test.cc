#include "mdf/mdf_metadata.h"

#include <gtest/gtest.h>

#include <string>

#include "mdf_log_fixture.h"

namespace {

cMdfMetaDataMap parsed(const std::string& xml, bool expectOk = true) {
  cMdfMetaDataMap map;
  EXPECT_EQ(parseXml(xml, map), expectOk) << xml.substr(0, 200);
  return map;
}

TEST(cMdfMetaData, EntryInsideTreeGetsFullPathAndAttributes) {
  const auto map = parsed(
      "<r><TX>ignored</TX><common_properties><tree name=\"a\">"
      "<e name=\"serial number\" description=\"d\" unit=\"u\" type=\"string\" ro=\"true\">"
      "  0A1B2C3D</e></tree></common_properties></r>");
  ASSERT_EQ(map.size(), 1u);
  const auto it = map.find("r.a.serial number");
  ASSERT_NE(it, map.end());
  EXPECT_EQ(it->second.name, "serial number");
  EXPECT_EQ(it->second.value, "0A1B2C3D");
  EXPECT_EQ(it->second.description, "d");
  EXPECT_EQ(it->second.unit, "u");
  EXPECT_EQ(it->second.type, "string");
  EXPECT_TRUE(it->second.readOnly);
}

TEST(cMdfMetaData, PathsFollowTheTreeStructure) {
  struct Case {
    const char* what;
    std::string xml;
    const char* path;  // nullptr: no entry expected
    const char* value;
  };
  const Case cases[] = {
      {"entry directly below common_properties",
       "<r><common_properties><e name=\"s\">1</e></common_properties></r>", "r.s", "1"},
      {"HDcomment root", "<HDcomment><common_properties><tree name=\"Device\"><e name=\"session\">"
                         "12</e></tree></common_properties></HDcomment>",
       "HDcomment.Device.session", "12"},
      {"nested trees", "<r><common_properties><tree name=\"a\"><tree name=\"b\"><e name=\"c\">x</e>"
                       "</tree></tree></common_properties></r>",
       "r.a.b.c", "x"},
      {"other element keeps its element name",
       "<r><common_properties><list><e name=\"c\">y</e></list></common_properties></r>", "r.list.c",
       "y"},
      {"unnamed tree keeps its element name",
       "<r><common_properties><tree><e name=\"c\">z</e></tree></common_properties></r>", "r.tree.c",
       "z"},
      {"common_properties one level too deep",
       "<r><x><common_properties><e name=\"s\">1</e></common_properties></x></r>", nullptr, nullptr},
      {"entry without name", "<r><common_properties><e>1</e></common_properties></r>", nullptr,
       nullptr},
      {"line break before the value stays",
       "<r><common_properties><e name=\"s\">\n  v</e></common_properties></r>", "r.s", "\n  v"},
      {"tab stays, spaces go", "<r><common_properties><e name=\"s\">   \tv </e></common_properties></r>",
       "r.s", "\tv "},
      {"text after a nested element is not collected",
       "<r><common_properties><e name=\"s\">a<b/>c</e></common_properties></r>", "r.s", "a"},
      {"entity and CDATA text joins", "<r><common_properties><e name=\"s\"> a&amp;b<![CDATA[ c]]>"
                                      "</e></common_properties></r>",
       "r.s", "a&b c"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto map = parsed(c.xml);
    if (c.path == nullptr) {
      EXPECT_TRUE(map.empty());
      continue;
    }
    ASSERT_EQ(map.count(c.path), 1u);
    EXPECT_EQ(map.at(c.path).value, c.value);
  }
}

TEST(cMdfMetaData, ReadOnlyOnlyForLowerCaseTrue) {
  const std::pair<const char*, bool> cases[] = {
      {"ro=\"true\"", true}, {"ro=\"TRUE\"", false}, {"ro=\"1\"", false},
      {"ro=\"true \"", false}, {"", false}};
  for (const auto& [attr, expected] : cases) {
    SCOPED_TRACE(attr);
    const auto map = parsed(std::string("<r><common_properties><e name=\"s\" ") + attr +
                            ">v</e></common_properties></r>");
    ASSERT_EQ(map.count("r.s"), 1u);
    EXPECT_EQ(map.at("r.s").readOnly, expected);
  }
}

TEST(cMdfMetaData, FirstEntryOfAPathWins) {
  cMdfMetaDataMap map;
  ASSERT_TRUE(parseXml("<r><common_properties><e name=\"s\">first</e><e name=\"s\">second</e>"
                       "</common_properties></r>",
                       map));
  ASSERT_TRUE(parseXml("<r><common_properties><e name=\"s\">third</e></common_properties></r>", map));
  EXPECT_EQ(map.at("r.s").value, "first");
}

TEST(cMdfMetaData, MalformedOrHostileXmlFails) {
  const std::string laughs =
      "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\">"
      "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
      "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\"><!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">"
      "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\"><!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\">"
      "<!ENTITY h \"&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;\"><!ENTITY i \"&h;&h;&h;&h;&h;&h;&h;&h;&h;&h;\">]>"
      "<r><common_properties><e name=\"s\">&i;&i;&i;&i;&i;&i;&i;&i;&i;&i;</e></common_properties></r>";
  const std::string cases[] = {
      "",
      "not xml",
      "<r><common_properties><e name=\"s\">1</e></common_properties>",  // unclosed root
      "<r></x>",
      "<r><e name=\"s\" name=\"t\"/></r>",  // duplicate attribute
      std::string("<r>\0</r>", 8),
      laughs,
  };
  for (const std::string& xml : cases) {
    SCOPED_TRACE(xml.substr(0, 60));
    cMdfMetaDataMap map;
    EXPECT_FALSE(parseXml(xml, map));
  }
}

TEST(cMdfMetaData, LargeAndDeepDocumentsParse) {
  std::string big = "<r><common_properties><e name=\"s\">";
  big.append(8u << 20, 'x');
  big += "</e></common_properties></r>";
  const auto map = parsed(big);
  ASSERT_EQ(map.count("r.s"), 1u);
  EXPECT_EQ(map.at("r.s").value.size(), 8u << 20);

  std::string deep = "<r><common_properties>";
  const int depth = 20000;
  for (int i = 0; i < depth; ++i) deep += "<tree name=\"t\">";
  deep += "<e name=\"s\">v</e>";
  for (int i = 0; i < depth; ++i) deep += "</tree>";
  deep += "</common_properties></r>";
  const auto deepMap = parsed(deep);
  ASSERT_EQ(deepMap.size(), 1u);
  EXPECT_EQ(deepMap.begin()->first.size(), std::string("r.s").size() + 2u * depth);
}

// ---------------------------------------------------------------------------
// On log files written by the writer.

cMklogGroup busGroup(cMklogKind kind, uint8_t siBusType, std::string siComment) {
  return {"g", kind, siBusType, std::move(siComment), 0, std::nullopt};
}

cMklogPlan planWithSources(std::vector<cMklogGroup> groups) {
  cMklogPlan plan = testLog_plan();
  plan.serial = "0A1B2C3D";
  plan.session = "17";
  plan.split = "4";
  for (auto& g : groups) {
    cMklogDataGroup dg;
    dg.sorted = true;
    dg.groups.push_back(std::move(g));
    plan.dataGroups.push_back(std::move(dg));
  }
  return plan;
}

std::string siXml(const std::string& name, const std::string& value) {
  return "<SIcomment><common_properties><e name=\"" + name + "\">" + value +
         "</e></common_properties></SIcomment>";
}

TEST(cMdfMetaDataFile, HeaderEntriesGiveSerialSessionAndSplit) {
  auto log = testLog_open(planWithSources({}));
  ASSERT_TRUE(log);
  const auto map = cMdf_getMetaData(log->mdf.get());
  ASSERT_EQ(map.count("HDcomment.Device Information.serial number"), 1u);
  EXPECT_EQ(map.at("HDcomment.Device Information.serial number").value, "0A1B2C3D");
  EXPECT_TRUE(map.at("HDcomment.Device Information.serial number").readOnly);
  ASSERT_EQ(map.count("HDcomment.File Information.session"), 1u);
  EXPECT_EQ(map.at("HDcomment.File Information.session").value, "17");
  ASSERT_EQ(map.count("HDcomment.File Information.split"), 1u);
  EXPECT_EQ(map.at("HDcomment.File Information.split").value, "4");
  EXPECT_TRUE(cMdf_getMetaData(nullptr).empty());
}

TEST(cMdfMetaDataFile, BusSourceCommentsJoinTheHeaderEntries) {
  struct Case {
    const char* what;
    std::vector<cMklogGroup> groups;
    bool empty;          // the whole map is discarded
    const char* path;    // entry looked for (nullptr: none)
    const char* value;   // its value, nullptr: must be absent
  };
  const std::string headerPath = "HDcomment.Device Information.serial number";
  const std::string shadow =
      "<HDcomment><common_properties><tree name=\"Device Information\"><e name=\"serial number\">"
      "FFFFFFFF</e></tree></common_properties></HDcomment>";
  const Case cases[] = {
      {"CAN source", {busGroup(cMklogKind::Can, 2, siXml("bitrate", "500000"))}, false,
       "SIcomment.bitrate", "500000"},
      {"LIN source", {busGroup(cMklogKind::Lin, 3, siXml("bitrate", "19200"))}, false,
       "SIcomment.bitrate", "19200"},
      {"source of no bus kind is not read", {busGroup(cMklogKind::Can, 1, siXml("x", "1"))}, false,
       "SIcomment.x", nullptr},
      {"malformed bus comment empties everything", {busGroup(cMklogKind::Can, 2, "<SIcomment><oops>")},
       true, nullptr, nullptr},
      {"malformed comment of a non-bus source is ignored", {busGroup(cMklogKind::Can, 1, "<broken")},
       false, nullptr, nullptr},
      {"header entry wins over a source entry of the same path",
       {busGroup(cMklogKind::Can, 2, shadow)}, false, headerPath.c_str(), "0A1B2C3D"},
      {"first source in file order wins",
       {busGroup(cMklogKind::Can, 2, siXml("v", "first")), busGroup(cMklogKind::Lin, 3, siXml("v", "second"))},
       false, "SIcomment.v", "first"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto log = testLog_open(planWithSources(c.groups));
    ASSERT_TRUE(log);
    const auto map = cMdf_getMetaData(log->mdf.get());
    if (c.empty) {
      EXPECT_TRUE(map.empty());
      continue;
    }
    EXPECT_EQ(map.count(headerPath), 1u);
    if (c.path == nullptr) continue;
    if (c.value == nullptr) {
      EXPECT_EQ(map.count(c.path), 0u);
    } else {
      ASSERT_EQ(map.count(c.path), 1u);
      EXPECT_EQ(map.at(c.path).value, c.value);
    }
  }
}

TEST(cMdfMetaDataFile, BrokenOrMissingHeaderCommentGivesNothing) {
  struct Case {
    const char* what;
    std::optional<std::string> headerXml;
    bool noComment;
  };
  const Case cases[] = {
      {"malformed header", std::string("<HDcomment><common_properties>"), false},
      {"no header comment", std::nullopt, true},
      {"header without entries", std::string("<HDcomment><TX>x</TX></HDcomment>"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    cMklogPlan plan = planWithSources({busGroup(cMklogKind::Can, 2, siXml("bitrate", "1"))});
    plan.headerXml = c.headerXml;
    plan.noHeaderComment = c.noComment;
    auto log = testLog_open(plan);
    ASSERT_TRUE(log);
    const auto map = cMdf_getMetaData(log->mdf.get());
    if (c.noComment || !parseXml(*c.headerXml, *std::make_unique<cMdfMetaDataMap>())) {
      EXPECT_TRUE(map.empty());
    } else {
      EXPECT_EQ(map.size(), 1u);  // the bus source's entry alone
    }
  }
}

}  // namespace
