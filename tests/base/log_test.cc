// Log lines: layout, level letters, length limit, filtering before the
// arguments are evaluated, and the standard-error output.
#include "base/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/log_capture.h"

namespace {

std::vector<std::string> g_lines;  // whole lines, context included

TEST(Log, LineLayoutLevelsFilteringAndOutput) {
  LogCapture restore;  // puts the output and the level back afterwards
  zf_log_set_output_callback([](const char* l, int n) { g_lines.emplace_back(l, size_t(n)); });
  zf_log_set_output_level(0);
  for (uint32_t lvl = 1; lvl <= 7; ++lvl) zf_log_write(lvl, lvl == 7 ? "TAG" : nullptr, "l%u", lvl);
  LOG_WARN("Repeated input file (%s, %08u, %08u)", "AB12", 3u, 4u);
  LOG_INFO("%s", std::string(600, 'a').c_str());
  zf_log_set_output_level(ZF_LOG_ERROR);  // below it, arguments are not evaluated
  int evaluated = 0;
  auto arg = [&evaluated] { return ++evaluated, "arg"; };
  LOG_VERBOSE("%s", arg());
  LOG_DEBUG("%s", arg());
  LOG_INFO("%s", arg());
  LOG_WARN("%s", arg());
  LOG_ERROR("%s", arg());
  LOG_FATAL("%s", arg());
  EXPECT_EQ(evaluated, 2);
  const std::string context = R"(\d\d-\d\d \d\d:\d\d:\d\d\.\d\d\d [ \d]{4}\d+ [ \d]{4}\d+ )";
  const char* messages[] = {"V l1", "D l2", "I l3", "W l4", "E l5", "F l6", "\\? TAG l7",
                            R"(W Repeated input file \(AB12, 00000003, 00000004\))", "I a+", "E arg", "F arg"};
  ASSERT_EQ(g_lines.size(), std::size(messages));
  for (size_t i = 0; i < g_lines.size(); ++i)
    EXPECT_TRUE(std::regex_match(g_lines[i], std::regex(context + messages[i]))) << g_lines[i];
  EXPECT_EQ(g_lines[8].size(), 510u);
  // The standard-error output: one write per line, newline added, cut to 510.
  testing::internal::CaptureStderr();
  zf_log_out_stderr_callback("abc", 3);
  zf_log_out_stderr_callback(std::string(600, 'x').c_str(), 600);
  zf_log_out_stderr_callback("ignored", -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "abc\n" + std::string(510, 'x') + "\n\n");
}

}  // namespace
