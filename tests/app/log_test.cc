#include "base/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_lines;

void capture(const char* line, int len) { g_lines.emplace_back(line, static_cast<size_t>(len)); }

class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    g_lines.clear();
    saved_ = zf_log_global_output_lvl;
    zf_log_set_output_callback(capture);
  }
  void TearDown() override {
    zf_log_set_output_callback(nullptr);
    zf_log_set_output_level(saved_);
  }
  int32_t saved_ = 0;
};

TEST_F(LogTest, LineLayout) {
  zf_log_set_output_level(ZF_LOG_VERBOSE);
  LOG_WARN("Repeated input file (%s, %08u, %08u)", "AB12", 3u, 4u);
  ASSERT_EQ(g_lines.size(), 1u);
  static const std::regex kShape(
      R"(\d\d-\d\d \d\d:\d\d:\d\d\.\d\d\d [ \d]{4}\d+ [ \d]{4}\d+ W Repeated input file \(AB12, 00000003, 00000004\))");
  EXPECT_TRUE(std::regex_match(g_lines[0], kShape)) << g_lines[0];
}

TEST_F(LogTest, LevelLetters) {
  zf_log_set_output_level(0);
  const char* expected = "VDIWEF?";
  for (uint32_t lvl = 1; lvl <= 7; ++lvl) zf_log_write(lvl, nullptr, "x");
  ASSERT_EQ(g_lines.size(), 7u);
  for (size_t i = 0; i < 7; ++i) {
    ASSERT_GE(g_lines[i].size(), 3u);
    EXPECT_EQ(g_lines[i][g_lines[i].size() - 3], expected[i]) << g_lines[i];
  }
}

TEST_F(LogTest, LongMessagesAreCutTo510Characters) {
  zf_log_set_output_level(0);
  std::string msg(600, 'a');
  LOG_INFO("%s", msg.c_str());
  ASSERT_EQ(g_lines.size(), 1u);
  EXPECT_EQ(g_lines[0].size(), 510u);
}

int g_evaluations = 0;
const char* counted() {
  ++g_evaluations;
  return "arg";
}

TEST_F(LogTest, FilteredMessagesDoNotEvaluateArguments) {
  zf_log_set_output_level(ZF_LOG_ERROR);
  g_evaluations = 0;
  LOG_INFO("%s", counted());
  LOG_WARN("%s", counted());
  EXPECT_EQ(g_evaluations, 0);
  EXPECT_TRUE(g_lines.empty());
  LOG_ERROR("%s", counted());
  LOG_FATAL("%s", counted());
  EXPECT_EQ(g_evaluations, 2);
  EXPECT_EQ(g_lines.size(), 2u);
}

TEST(LogVerbosity, MapsOptionToLevel) {
  const int32_t expected[] = {6, 5, 4, 3, 1, 1};
  for (int v = 0; v <= 5; ++v) EXPECT_EQ(zf_log_verbosity_to_level(v), expected[v]) << v;
  EXPECT_EQ(zf_log_verbosity_to_level(6), -1);
  EXPECT_EQ(zf_log_verbosity_to_level(-1), -1);
}

}  // namespace
