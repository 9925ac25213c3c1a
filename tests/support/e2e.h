// End-to-end test support: a scratch folder with DBC files and log files
// written by the log writer (tools/mklog) at test time, a run of the whole
// program (lograven_main) in a chosen working directory with its standard
// output, log lines and exit status captured, and the CSV tree read back as
// relative path -> file text.
//
//   E2eFolder f;
//   f.writeDbc("can1-engine.dbc", e2eDbc("CAN", "BO_ 256 X: 1 ECU\n SG_ A : ..."));
//   f.writeLog("in/a.mf4", e2eLogHeader("AB12", 1, 1) +
//                          "group c can\nframe c t=1 id=0x100 data=01\n");
//   E2eRun r = f.run({f / "in"});  // working directory: f.path(), so the
//   EXPECT_EQ(r.status, 0);        // DBC above is found by its name
//   // The output goes to the root of the inputs, here f.path():
//   EXPECT_EQ(f.csvTree(), (E2eTree{{"AB12_out/CAN1_X/2023/11/14/00000001_00000001.csv",
//                                    "t,A\n1700000001.000000,1.000000\n"}}));
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "support/argv.h"
#include "app/driver.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "mklog/mklog.h"

// Relative path ("/"-separated) -> whole file text.
using E2eTree = FileTree;

// What one program run left behind.
struct E2eRun {
  int status = -1;
  std::string out;                // standard output (statistics block, help, ...)
  std::vector<std::string> log;   // "L message" per log line (see LogCapture)

  bool logged(const std::string& levelAndMessage) const { return count(levelAndMessage) > 0; }
  // Number of log lines equal to `levelAndMessage`.
  size_t count(const std::string& levelAndMessage) const {
    return static_cast<size_t>(std::count(log.begin(), log.end(), levelAndMessage));
  }
  // The value of "- <name>: <n>" in the statistics block section that starts
  // with `section` ("Reader statistics", "Writer statistics", ...); -1 if absent.
  long long statistic(const std::string& section, const std::string& name) const {
    size_t at = out.find(section);
    if (at == std::string::npos) return -1;
    size_t line = out.find("- " + name + ": ", at);
    if (line == std::string::npos) return -1;
    return std::stoll(out.substr(line + name.size() + 4));
  }
  // All log lines joined, for failure messages.
  std::string logText() const {
    std::string s;
    for (const std::string& l : log) s += l + "\n";
    return s;
  }
};

inline E2eRun e2eRunMain(std::vector<std::string> args, const std::string& cwd) {
  E2eRun r;
  LogCapture log;
  {
    ScopedCwd inCwd(cwd);
    TestArgv a(std::move(args));
    ::testing::internal::CaptureStdout();
    r.status = lograven_main(a.argc(), a.argv());
    std::fflush(stdout);
    r.out = ::testing::internal::GetCapturedStdout();
  }
  r.log = log.messages();
  return r;
}

class E2eFolder : public TempDir {
 public:
  // Writes a DBC file (text as given).
  void writeDbc(const std::string& rel, const std::string& text) const { write(rel, text); }

  // Writes the log file (or container) that the description yields; the test
  // fails when the writer rejects the description.
  void writeLog(const std::string& rel, const std::string& description) const {
    write(rel, logBytes(description));
  }

  // The bytes of a description, as the writer renders them.
  static std::string logBytes(const std::string& description) {
    std::string error;
    std::optional<std::vector<uint8_t>> bytes = cMklog_build(description, &error);
    EXPECT_TRUE(bytes.has_value()) << "mklog: " << error << "\n" << description;
    if (!bytes) return std::string();
    return std::string(bytes->begin(), bytes->end());
  }

  // Runs the program with `args` (program name added) in the working
  // directory `cwd` (default: this folder), restoring the working directory
  // afterwards.  Log lines are captured at the level the program sets.
  // runWith: in this folder, with `options` followed by `more`.
  E2eRun run(std::vector<std::string> args, const std::string& cwd = "") const {
    return e2eRunMain(std::move(args), cwd.empty() ? path() : cwd);
  }
  E2eRun runWith(std::vector<std::string> options, const std::vector<std::string>& more) const {
    options.insert(options.end(), more.begin(), more.end());
    return run(std::move(options));
  }

  // Every regular file below `rel` whose name ends in `suffix`, by path
  // relative to `rel`, with its whole text.  Empty when `rel` is missing.
  FileTree csvTree(const std::string& rel = "", const std::string& suffix = ".csv") const {
    return readTree(rel.empty() ? path() : *this / rel, suffix);
  }

};

// Readable listing of a tree for failure messages: "== path\ntext" per file.
inline std::string e2eDescribe(const E2eTree& tree) {
  std::string s;
  for (const auto& [p, text] : tree) s += "== " + p + "\n" + text;
  return s;
}

// Lines of a description joined with line feeds.
inline std::string e2eLines(std::initializer_list<std::string> lines) {
  std::string s;
  for (const std::string& l : lines) s += l + "\n";
  return s;
}

// DBC text declaring the bus ("CAN", "LIN", or "J1939": CAN with the J1939
// protocol type) followed by `body` (BO_/SG_ records, further attributes).
// The attribute definitions for per-message transport protocols are included.
inline std::string e2eDbc(const std::string& bus, const std::string& body) {
  std::string s =
      "VERSION \"\"\n\nNS_ :\n\nBS_:\n\nBU_: ECU\n\n" + body +
      "\nBA_DEF_ \"BusType\" STRING ;\nBA_DEF_ \"ProtocolType\" STRING ;\n"
      "BA_DEF_ BO_ \"TransportProtocolType\" STRING ;\n"
      "BA_DEF_DEF_ \"BusType\" \"\";\nBA_DEF_DEF_ \"ProtocolType\" \"\";\n"
      "BA_DEF_DEF_ \"TransportProtocolType\" \"\";\n";
  s += "BA_ \"BusType\" \"" + std::string(bus == "LIN" ? "LIN" : "CAN") + "\";\n";
  if (bus == "J1939") s += "BA_ \"ProtocolType\" \"J1939\";\n";
  return s;
}

// Header lines of a logger file: serial number, session, split, start time
// (nanoseconds since 1970) and the logger's tool marker.
inline std::string e2eLogHeader(const std::string& serial, unsigned session, unsigned split,
                                unsigned long long startNs = 1700000000000000000ULL) {
  return "start_ns " + std::to_string(startNs) + "\nserial " + serial + "\nsession " +
         std::to_string(session) + "\nsplit " + std::to_string(split) + "\nhistory QZ\n";
}

// Starts the program's binary (args[0]) as a process of its own, with its
// standard output and standard error on `out`; returns its process id.
inline pid_t e2eSpawn(const std::vector<std::string>& args, int out) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  dup2(out, 1);
  dup2(out, 2);
  execv(argv[0], argv.data());
  _exit(127);
}
