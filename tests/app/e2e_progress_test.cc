// End to end: the progress line.  The real program runs with standard output
// and standard error on a pseudo-terminal (or standard error on a pipe); the
// line appears only on a terminal without --non-interactive, shows inputs
// done of all, never has a log line written onto it and is erased before
// the statistics.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/e2e.h"

namespace {

constexpr char kErase[] = "\r\x1b[K";

// Runs the program with stdout and stderr on `out` and returns all that the
// other end `in` received.
std::string runOn(int in, int out, const std::vector<std::string>& args) {
  const pid_t pid = e2eSpawn(args, out);
  close(out);
  std::string received;
  char buf[4096];
  for (ssize_t n; (n = read(in, buf, sizeof buf)) > 0;) received.append(buf, size_t(n));
  close(in);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 8) << received;
  return received;
}

TEST(E2eProgress, ALineOnATerminalOnlyErasedByLogLinesAndAtTheEnd) {
  E2eFolder f;
  f.writeDbc("can1.dbc", e2eDbc("CAN", "BO_ 256 M: 1 ECU\n SG_ V : 0|8@1+ (1,0) [0|0] \"\" ECU\n"));
  // The first input fails: its error lines come while the progress line shows.
  f.write("in/a.mf4", "not a log file");
  f.writeLog("in/b.mf4", e2eLogHeader("AB12", 1, 1) + "group c can\nframe c t=1 id=0x100 data=05\n");
  const std::vector<std::string> args = {LOGRAVEN_BINARY_DIR "/lograven", "--dbc-can1=" + f / "can1.dbc",
                                         f / "in"};
  // One worker converts by itself; more share the line through their pool.
  struct Case { bool terminal, nonInteractive; const char* jobs; } cases[] = {
      {true, false, "-j1"}, {true, false, "-j2"}, {true, true, "-j2"}, {false, false, "-j2"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.terminal) + std::to_string(c.nonInteractive) + c.jobs);
    std::vector<std::string> a = args;
    a.insert(a.begin() + 1, c.jobs);
    if (c.nonInteractive) a.insert(a.begin() + 1, "--non-interactive");
    int ends[2];
    ASSERT_EQ(c.terminal ? openpty(&ends[0], &ends[1], nullptr, nullptr, nullptr) : pipe(ends), 0);
    const std::string got = runOn(ends[0], ends[1], a);
    ASSERT_NE(got.find("Reader statistics"), std::string::npos) << got;
    if (!c.terminal || c.nonInteractive) {
      EXPECT_EQ(got.find("\x1b"), std::string::npos) << got;
      continue;
    }
    EXPECT_NE(got.find(kErase + std::string("inputs 0/2, 0.0/0.0 MB, 0 rows")), std::string::npos) << got;
    EXPECT_NE(got.find("Could not open MDF"), std::string::npos) << got;
    // The good input converts, read through the counter of bytes the line shows.
    EXPECT_EQ(got.find("conversion of " + f / "in/b.mf4"), std::string::npos) << got;
    // Each drawing is followed by an erasure: nothing was written onto it.
    size_t last = 0;
    for (size_t at = got.find(kErase + std::string("inputs ")); at != std::string::npos;
         at = got.find(kErase + std::string("inputs "), at + 1)) {
      last = got.find('\r', at + 1);
      EXPECT_EQ(got.compare(last, 4, kErase), 0) << got.substr(at);
    }
    EXPECT_LT(last, got.find("Reader statistics")) << "erased before the statistics";
  }
}

}  // namespace
