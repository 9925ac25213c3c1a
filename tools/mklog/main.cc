// mklog: writes a logger-style MDF 4.11 file from a text description.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "mklog.h"

namespace {

constexpr const char* kUsage =
    "usage: mklog DESCRIPTION OUTPUT\n"
    "       mklog -e 'LINE; LINE; ...' OUTPUT\n"
    "Writes a logger-style MDF 4.11 file (optionally wrapped in compressed or\n"
    "encrypted containers) from a line-based description.  DESCRIPTION may be\n"
    "'-' for standard input.  The description format is documented in\n"
    "tools/README.md.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::string text;
  const char* output = nullptr;
  if (argc == 4 && std::strcmp(argv[1], "-e") == 0) {
    text = argv[2];
    for (char& c : text)
      if (c == ';') c = '\n';
    output = argv[3];
  } else if (argc == 3) {
    std::stringstream buf;
    if (std::strcmp(argv[1], "-") == 0) {
      buf << std::cin.rdbuf();
    } else {
      std::ifstream in(argv[1], std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "mklog: cannot read %s\n", argv[1]);
        return 1;
      }
      buf << in.rdbuf();
    }
    text = buf.str();
    output = argv[2];
  } else {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string error;
  if (!cMklog_writeFile(text, output, &error)) {
    std::fprintf(stderr, "mklog: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
