// Logger metadata: entry paths, values and attributes in the XML comments,
// malformed or hostile XML, and which comments of a written file count.
#include "mdf/mdf_metadata.h"

#include <gtest/gtest.h>

#include "mdf_log_fixture.h"

namespace {

std::string common(const std::string& body) { return "<r><common_properties>" + body + "</common_properties></r>"; }

TEST(cMdfMetaData, EntriesGetThePathOfTheirTreesAndTheirValue) {
  struct Case {
    std::string body;   // inside <r><common_properties>
    const char* path;   // null: no entry
    const char* value;  // with " (read-only)" when ro is "true"
  };
  const Case cases[] = {
      {"<e name=\"s\">1</e>", "r.s", "1"},
      {"<tree name=\"a\"><tree name=\"b\"><e name=\"c\">x</e></tree></tree>", "r.a.b.c", "x"},
      {"<list><e name=\"c\">y</e></list>", "r.list.c", "y"},  // other elements keep their name
      {"<e>1</e>", nullptr, nullptr},
      {"<e name=\"s\">   \tv </e>", "r.s", "\tv "},  // leading spaces go, nothing else
      {"<e name=\"s\">a<b/>c</e>", "r.s", "a"},
      {"<e name=\"s\"> a&amp;b<![CDATA[ c]]></e>", "r.s", "a&b c"},
      {"<e name=\"s\" ro=\"true\">v</e>", "r.s", "v (read-only)"},
      {"<e name=\"s\" ro=\"TRUE\">v</e>", "r.s", "v"},
      {"<e name=\"s\">first</e><e name=\"s\">second</e>", "r.s", "first"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    cMdfMetaDataMap map;
    ASSERT_TRUE(parseXml(common(c.body), map));
    ASSERT_EQ(map.size(), c.path ? 1u : 0u);
    if (c.path) { EXPECT_EQ(map[c.path].value + (map[c.path].readOnly ? " (read-only)" : ""), c.value); }
  }
  cMdfMetaDataMap map;
  ASSERT_TRUE(parseXml("<r><x><common_properties><e name=\"s\">1</e></common_properties></x></r>", map));
  EXPECT_TRUE(map.empty()) << "common_properties one level too deep";
}

TEST(cMdfMetaData, MalformedAndHostileDocumentsFail) {
  std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\">";
  for (char c = 'b'; c <= 'e'; ++c) {  // 1 MB of text from 500 bytes
    laughs += std::string("<!ENTITY ") + c + " \"";
    for (int i = 0; i < 10; ++i) laughs += std::string("&") + char(c - 1) + ";";
    laughs += "\">";
  }
  laughs += "]>" + common("<e name=\"s\">&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;</e>");
  const std::string malformed[] = {"", "not xml", "<r><common_properties><e name=\"s\">1</e></common_properties>",
                                   "<r></x>", "<r><e name=\"s\" name=\"t\"/></r>", std::string("<r>\0</r>", 8), laughs};
  for (const std::string& xml : malformed) {
    cMdfMetaDataMap map;
    EXPECT_FALSE(parseXml(xml, map)) << xml.substr(0, 60);
  }
}

// The header comment's entries, then the comments of bus sources (CAN or LIN).
TEST(cMdfMetaDataFile, HeaderAndBusSourceCommentsGiveTheEntries) {
  const std::string header = "HDcomment.Device Information.serial number";
  auto si = [](const std::string& name, const std::string& value) {
    return "<SIcomment><common_properties><e name=\"" + name + "\">" + value + "</e></common_properties></SIcomment>";
  };
  struct Case {
    const char* what;
    std::string lines;  // after the serial, session and split lines
    const char* path;   // null: the map is empty
    const char* value;  // null: the path is absent
  };
  const Case cases[] = {
      {"header entries", "", "HDcomment.File Information.split", "4"},
      {"CAN source", "group g can si=can\nsi_comment g " + si("bitrate", "500000"), "SIcomment.bitrate", "500000"},
      {"LIN source", "group g lin\nsi_comment g " + si("bitrate", "19200"), "SIcomment.bitrate", "19200"},
      {"malformed bus comment", "group g can\nsi_comment g <SIcomment><oops>", nullptr, nullptr},
      {"malformed comment of no bus kind", "group g can si=none\nsi_comment g <broken", header.c_str(), "0A1B2C3D"},
      {"first source in file order wins", "group g can\nsi_comment g " + si("v", "1") + "\ngroup h lin\nsi_comment h " +
                                              si("v", "2"), "SIcomment.v", "1"},
      {"header entry wins", "group g can\nsi_comment g <HDcomment><common_properties><tree name=\"Device "
                            "Information\"><e name=\"serial number\">FF</e></tree></common_properties></HDcomment>",
       header.c_str(), "0A1B2C3D"},
      {"malformed header", "header_xml <HDcomment><common_properties>\ngroup g can", nullptr, nullptr},
      {"no header comment", "no_header_comment\ngroup g can\nsi_comment g " + si("x", "1"), nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto log = testLog_openBytes(testLog_bytes("serial 0A1B2C3D\nsession 17\nsplit 4\n" + c.lines + "\n"));
    const cMdfMetaDataMap map = cMdf_getMetaData(log ? log->mdf.get() : nullptr);
    EXPECT_EQ(map.empty(), c.path == nullptr);
    if (c.path) { EXPECT_EQ(map.count(c.path) ? map.at(c.path).value : "(none)", c.value ? c.value : "(none)"); }
  }
}

}  // namespace
