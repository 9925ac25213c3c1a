// Arbitrary bytes as a command line: one argument per line (at most 64),
// parsed by the decoder's command-line object inside a scratch folder that
// holds a DBC file, a password file, a log file and a subfolder.  Paths are
// kept inside the scratch folder: an argument naming ".." is dropped, and an
// absolute path gets the scratch folder put in front.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/decoder_cli.h"
#include "fuzz_support.h"

namespace {
std::string gScratch;

void writeFile(const std::string& path, const std::string& text) {
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
}

// Puts the scratch folder in front of an absolute path at `at`.
void rebase(std::string* arg, size_t at) {
  if (at < arg->size() && (*arg)[at] == '/') arg->insert(at, gScratch);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/lograven-cli-fuzz-XXXXXX";
  if (mkdtemp(pattern) == nullptr || chdir(pattern) != 0) std::abort();
  gScratch = pattern;
  writeFile("can1-engine.dbc",
            "VERSION \"\"\nBO_ 256 Engine: 8 ECU\n SG_ Speed : 0|16@1+ (0.1,0) [0|6553] "
            "\"km/h\" X\n");
  writeFile("lin1-body.dbc", "BO_ 33 Door: 2 X\n SG_ Open : 0|1@1+ (1,0) [0|1] \"\" X\n");
  writeFile("passwords.json", "{\"default\": \"secret\", \"0000ABCD\": \"other\"}\n");
  writeFile("a.mf4", "MDF     4.11    ");
  (void)!system("mkdir -p logs/day1 out");
  writeFile("logs/day1/b.MF4", "");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::silenceLog();
  std::vector<std::string> args{"lograven"};
  std::string current;
  for (size_t i = 0; i <= size && args.size() < 65; ++i) {
    if (i == size || data[i] == '\n') {
      if (current.find("..") != std::string::npos) return 0;
      rebase(&current, 0);
      if (current.size() > 2 && current[0] == '-' && current[1] != '-') rebase(&current, 2);
      const size_t eq = current.find('=');
      if (eq != std::string::npos) rebase(&current, eq + 1);
      args.push_back(current);
      current.clear();
      if (i == size) break;
    } else if (data[i] == '\0') {
      return 0;  // an argument cannot hold a NUL byte
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int32_t status = 0;
  std::unique_ptr<cLogReaderCLI> cli = cDecoderCLI_ctor();
  if (cli->parse(static_cast<int>(args.size()), argv.data(), &status)) {
    // A successful parse must have left usable file systems.
    if (cli->inputFs() == nullptr || cli->outputFs() == nullptr) std::abort();
  }
  fuzz::silenceLog();
  return 0;
}
