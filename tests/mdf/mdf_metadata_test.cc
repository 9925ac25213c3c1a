#include "mdf/mdf_metadata.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
