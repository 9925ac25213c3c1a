// End to end: exactly-once output.  The program is killed (SIGKILL) or
// interrupted (SIGINT) at many points of a card of two devices with split
// sessions and containers, with and without -d, with one worker or three,
// and run again with the other count: the rows are those of one
// uninterrupted run.  With -d an input goes only after its rows
// and folders were flushed; an input that gave no row stays.  The first
// SIGINT, SIGTERM or SIGHUP asks to stop; a second, of any kind, ends at once.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "base/interrupt.h"
#include "db/db.h"
#include "input/log_reader.h"
#include "output/decoder.h"
#include "support/e2e.h"
#include "support/fault_fs.h"

namespace {

const std::string kDbc = e2eDbc("CAN", "BO_ 256 M: 2 ECU\n SG_ V : 0|16@1+ (1,0) [0|0] \"\" ECU\n"
                                       "BO_ 512 N: 1 ECU\n SG_ B : 0|8@1+ (1,0) [0|0] \"\" ECU\n");

// Split `split` of session 3 of `serial`: `frames` frames of M and N on
// channel `channel`, after those of the earlier splits.
std::string splitLog(const std::string& serial, unsigned split, int frames, const std::string& wrap = "",
                     int channel = 1) {
  std::string d = e2eLogHeader(serial, 3, split) + "group c can\n";
  for (int i = (split - 1) * frames; i < static_cast<int>(split) * frames; ++i) {
    char line[128];
    std::snprintf(line, sizeof line, "frame c t=%d.25 ch=%d id=0x100 data=%02X%02X\nframe c t=%d.5 ch=%d id=0x200 data=%02X\n",
                  i, channel, i & 0xFF, (i >> 8) & 0xFF, i, channel, (i * 7) & 0xFF);
    d += line;
  }
  return d + wrap;
}

// Data rows per message folder (device, message and day), from every file in
// name order: what a user reading all files of a message gets.
std::map<std::string, std::string> rowsByMessage(const FileTree& tree) {
  std::map<std::string, std::string> rows;
  for (const auto& [path, text] : tree) rows[path.substr(0, path.rfind('/'))] += text.substr(text.find('\n') + 1);
  return rows;
}

int runBinary(const std::vector<std::string>& args, int signal = 0, std::chrono::microseconds after = {}) {
  const int null = open("/dev/null", O_WRONLY);
  const pid_t pid = e2eSpawn(args, null);
  close(null);
  if (signal != 0) {
    std::this_thread::sleep_for(after);
    kill(pid, signal);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST(E2eInterrupt, AFirstSignalAsksToStopAndLeavesEveryOneToItsDefault) {
  for (int first : {SIGINT, SIGTERM, SIGHUP}) {
    cInterrupt_reset();
    cInterrupt_install();
    ASSERT_EQ(raise(first), 0);
    EXPECT_TRUE(cInterrupt_requested()) << first;
    for (int second : {SIGINT, SIGTERM, SIGHUP}) {
      struct sigaction now {};
      EXPECT_TRUE(sigaction(second, nullptr, &now) == 0 && now.sa_handler == SIG_DFL) << first << " then " << second;
    }
  }
  cInterrupt_reset();
}

TEST(E2eInterrupt, KilledOrInterruptedRunsConvergeToTheRowsOfOneRun) {
  E2eFolder card;
  card.writeDbc("can1.dbc", kDbc);
  for (unsigned split = 1; split <= 3; ++split) {
    card.writeLog("card/AAAA/" + std::to_string(split) + ".mf4", splitLog("AAAA", split, 600));
    card.writeLog("card/BBBB/" + std::to_string(split) + ".mfc", splitLog("BBBB", split, 600, "compress\n"));
  }
  const std::string binary = LOGRAVEN_BINARY_DIR "/lograven";
  auto command = [&](const std::string& work, bool remove, const char* jobs = "1") {
    std::vector<std::string> args = {binary, "-j", jobs, "--dbc-can1=" + card / "can1.dbc", "-O", work + "/out"};
    if (remove) args.push_back("-d");
    args.push_back(work + "/card");
    return args;
  };
  auto fresh = [&](const std::string& work) {
    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work + "/out");
    std::filesystem::copy(card / "card", work + "/card", std::filesystem::copy_options::recursive);
  };
  // One worker, or three (each with its journal): how long a whole run takes.
  const char* jobs[] = {"1", "3"};
  std::chrono::microseconds took[2];
  FileTree reference;
  for (int j : {0, 1}) {
    const std::string ref = card / "ref";
    fresh(ref);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(runBinary(command(ref, false, jobs[j])), 0);
    took[j] = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    if (j == 0) reference = readTree(ref + "/out");
    ASSERT_EQ(readTree(ref + "/out"), reference);
  }
  ASSERT_EQ(reference.size(), 4u);

  constexpr int kPoints = 5;
  for (int signal : {SIGKILL, SIGINT}) {
    for (bool remove : {false, true}) {
      for (int point = 0; point < kPoints; ++point) {
        // Stopped with one worker count, run again with the other.
        const int j = point % 2;
        SCOPED_TRACE(std::to_string(signal) + (remove ? " -d" : "") + " at " + std::to_string(point) + " -j " + jobs[j]);
        const std::string work = card / "run";
        fresh(work);
        const int stopped = runBinary(command(work, remove, jobs[j]), signal, took[j] * point / kPoints);
        if (signal == SIGINT && WIFEXITED(stopped)) {
          EXPECT_TRUE(WEXITSTATUS(stopped) == 0 || WEXITSTATUS(stopped) == 0x87);
        }
        ASSERT_EQ(runBinary(command(work, remove, jobs[1 - j])), 0);
        const FileTree all = readTree(work + "/out", "");
        if (remove) {
          EXPECT_TRUE(rowsByMessage(all) == rowsByMessage(reference));
          EXPECT_FALSE(std::filesystem::exists(work + "/card/AAAA/3.mf4") || std::filesystem::exists(work + "/card/BBBB/3.mfc"));
        } else {
          EXPECT_TRUE(all == reference);  // no journal, no set-aside file, every byte
        }
      }
    }
  }
}

TEST(E2eInterrupt, DeleteConvertedKeepsInputsWithoutRowsAndRemovesOthersOnlyOnceDurable) {
  E2eFolder f;
  f.writeLog("in/a.mf4", splitLog("AAAA", 1, 20));
  f.writeLog("in/b.mf4", splitLog("AAAA", 2, 20));
  f.writeLog("in/c.mf4", splitLog("CCCC", 1, 20, "", 2));  // channel 2: no database
  std::filesystem::create_directories(f / "out");
  auto faults = std::make_shared<FaultLog>(f.path());
  cFS in(f / "", std::make_unique<FaultBackend>(faults)), out(f / "out", std::make_unique<FaultBackend>(faults));
  cDBMap can, lin;
  cDB* db = can[1].emplace_back(std::make_unique<cDB>(cDBBusKind::Can)).get();
  cDB_signalAdd(&cDB_messageAdd(db, "M", 0x100, 2, cDBTransport::None, "", 0)->signals, "V", {.bitLength = 16}, 0);
  std::unique_ptr<cDecoder> decoder = cDecoder_ctor(&out, &can, &lin, {});
  cLogReaderOptions options;
  options.deleteConverted = true;
  LogCapture log;
  std::unique_ptr<cLogReader> reader = cLogReader_ctor(&in, &options, decoder.get(), decoder.get());
  EXPECT_EQ(reader->process({"in"}), 0);
  EXPECT_TRUE(log.has("W Input file in/c.mf4 is kept: no row was decoded from it"));
  EXPECT_TRUE(std::filesystem::exists(f / "in/c.mf4"));
  const std::vector<std::string>& ops = faults->ops;
  auto at = [&](const std::string& op) { return std::find(ops.begin(), ops.end(), op) - ops.begin(); };
  const std::string csv = "out/AAAA_out/CAN1_M/2023/11/14/00000003_00000001.csv";
  auto previous = ops.begin();
  for (const char* input : {"in/a.mf4", "in/b.mf4"}) {  // b continues a's file
    SCOPED_TRACE(input);
    const auto removed = std::find(ops.begin(), ops.end(), std::string("rm ") + input);
    ASSERT_NE(removed, ops.end());
    EXPECT_NE(std::find(previous, removed, "sync " + csv), removed) << "its rows are flushed first";
    EXPECT_EQ(*(removed - 1), "sync out/.lograven-journal") << "its commit is on disk";
    EXPECT_EQ(*(removed + 1), "sync in/") << "the removal is on disk";
    EXPECT_EQ(*(removed + 2), "rm out/.lograven-journal") << "then the journal goes";
    previous = removed;
  }
  EXPECT_LT(at("sync out/AAAA_out/CAN1_M/2023/11/14"), at("rm in/a.mf4"));
}

}  // namespace
