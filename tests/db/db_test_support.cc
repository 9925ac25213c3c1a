#include "db/db_test_support.h"

#include <cstdio>

#include "base/log.h"
#include "db/dbc_parser.h"
#include "io/io.h"

namespace {

std::vector<cLogCapture::Line>& captured() {
  static std::vector<cLogCapture::Line> lines;
  return lines;
}

// Lines look like "MM-DD HH:MM:SS.mmm  pid   tid L message".
void captureLine(const char* line, int len) {
  std::string text(line, static_cast<size_t>(len));
  char level = '?';
  int offset = 0;
  if (text.size() > 18 && std::sscanf(text.c_str() + 18, "%*d %*d %c %n", &level, &offset) == 1) {
    captured().push_back({level, text.substr(18 + static_cast<size_t>(offset))});
  } else {
    captured().push_back({'?', text});
  }
}

}  // namespace

cLogCapture::cLogCapture() : savedLevel_(zf_log_global_output_lvl) {
  captured().clear();
  zf_log_set_output_level(0);
  zf_log_set_output_callback(captureLine);
}

cLogCapture::~cLogCapture() {
  zf_log_set_output_callback(nullptr);
  zf_log_set_output_level(savedLevel_);
}

const std::vector<cLogCapture::Line>& cLogCapture::lines() const { return captured(); }

size_t cLogCapture::count(char level, std::string_view message) const {
  size_t n = 0;
  for (const Line& line : captured()) n += (line.level == level && line.message == message);
  return n;
}

size_t cLogCapture::count(char level) const {
  size_t n = 0;
  for (const Line& line : captured()) n += (line.level == level);
  return n;
}

void cLogCapture::clear() { captured().clear(); }

std::unique_ptr<cDB> loadDbc(std::string_view text) {
  auto stream = cIO_memoryAlloc_ctor();
  if (!text.empty()) stream->write(text.data(), static_cast<int64_t>(text.size()));
  stream->seek(0, cIO::kSeekSet);
  return cDBC_dbc2db(stream.get());
}

size_t countSignals(const std::vector<cDBSignal>& signals) {
  size_t n = 0;
  for (const cDBSignal& signal : signals) {
    ++n;
    for (const cDBRange& range : signal.ranges) n += countSignals(range.signals);
  }
  return n;
}
