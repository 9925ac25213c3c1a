// Parallel conversion: worker threads (-j) and shards (--shard K/N, also
// through GNU parallel) give the tree, statistics, exit status and deleted
// inputs of one thread converting the inputs in turn; work units keep
// sessions and split chains together; worker journals are recovered only by
// the run that owns them.  Built also with ThreadSanitizer (`make test`).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <numeric>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include "app/decoder_cli.h"
#include "app/work_units.h"
#include "app/worker_pool.h"
#include "base/exit_status.h"
#include "base/interrupt.h"
#include "bus/test_frames.h"
#include "fs/fs.h"
#include "fs/fs_lock.h"
#include "output/output_journals.h"
#include "support/argv.h"
#include "support/e2e.h"
#include "support/log_capture.h"
#include "support/memory_stream.h"

namespace {

using bustest::Bytes;

const std::string kCanDbc = e2eDbc("CAN", "BO_ 256 M: 2 ECU\n SG_ V : 0|16@1+ (1,0) [0|0] \"\" ECU\n");
const std::string kJ1939Dbc = e2eDbc("J1939", "BO_ 2566841088 BamMsg: 20 ECU\n SG_ A : 0|16@1+ (0.5,0) [0|0] \"\" ECU\n");

// A log of `serial`, session and split: frames of M on channel 1 with
// values from `first`; J1939 broadcast traffic on channel 2 when `bam`
// says so: "start" announces a transfer and sends its first packet, "end"
// sends the rest, "both" a whole transfer.  `wrap` adds container lines.
std::string logOf(const std::string& serial, unsigned session, unsigned split, int first,
                  const std::string& bam = "", const std::string& wrap = "") {
  std::string d = e2eLogHeader(serial, session, split, 1700000000000000000ULL + split * 1000000000ULL) +
                  "group c can\n";
  for (int i = 0; i < 40; ++i)
    d += "frame c t=0." + std::to_string(100 + i) + " id=0x100 data=" + hex({uint8_t(first + i), uint8_t(i)}) + "\n";
  const std::vector<Bytes> packets = bustest::j1939Packets(bustest::ramp(20, uint8_t(first)));
  if (bam == "start" || bam == "both")
    d += "frame c t=0.9 ch=2 id=0x1CECFF20 ide=1 data=" + hex(bustest::j1939Announce(0x20, 20, 0xFEE3)) + "\n" +
         "frame c t=0.91 ch=2 id=0x1CEBFF20 ide=1 data=" + hex(packets[0]) + "\n";
  if (bam == "end" || bam == "both")
    for (size_t p = 1; p < packets.size(); ++p)
      d += "frame c t=0.9" + std::to_string(2 + p) + " ch=2 id=0x1CEBFF20 ide=1 data=" + hex(packets[p]) + "\n";
  return d + wrap;
}

// Several devices and sessions: split chains (one across a session number),
// compressed containers, a J1939 transfer across two splits and unfinished
// ones, a repeated file, two serial numbers of one device folder, and (with
// `damaged`) a file that is no log, a log without a session number between
// two splits of a session and a log cut short (which converts with a
// warning).
void writeCard(const E2eFolder& f, bool damaged) {
  f.writeDbc("can1.dbc", kCanDbc);
  f.writeDbc("j1939.dbc", kJ1939Dbc);
  f.writeLog("card/AAAA/1.mf4", logOf("AAAA", 1, 1, 0));
  f.writeLog("card/AAAA/2.mf4", logOf("AAAA", 1, 2, 40, "start"));
  f.writeLog("card/AAAA/2r.mf4", logOf("AAAA", 1, 2, 40, "start"));  // repeated
  f.writeLog("card/AAAA/3.mf4", logOf("AAAA", 1, 3, 80, "end"));
  f.writeLog("card/AAAA/4.mf4", logOf("AAAA", 1, 5, 120, "start"));  // not continued
  f.writeLog("card/AAAA/s2a.mfc", logOf("AAAA", 2, 1, 0, "both", "compress\n"));
  f.writeLog("card/AAAA/s2b.mfc", logOf("AAAA", 2, 2, 9, "", "compress\n"));
  f.writeLog("card/AAAA/s7.mf4", logOf("AAAA", 7, 256, 3));
  f.writeLog("card/AAAA/s8.mf4", logOf("AAAA", 8, 257, 5));  // continues session 7
  f.writeLog("card/BBBB/1.mf4", logOf("BBBB", 1, 1, 7));
  f.writeLog("card/BBBB/2.mfc", logOf("BBBB", 1, 2, 8, "", "compress\n"));
  f.writeLog("card/CC/1.mf4", logOf("CC", 4, 1, 11));
  f.writeLog("card/C_C/1.mf4", logOf("C-C", 4, 1, 12));  // the same device folder and file
  if (damaged) f.write("card/DDDD/bad.mf4", "not a log file");
  if (damaged) f.writeLog("card/AAAA/2z.mf4", logOf("AAAA", 0, 3, 90));
  const std::string cut = E2eFolder::logBytes(logOf("FFFF", 1, 1, 30));
  if (damaged) f.write("card/D2/1.mf4", cut.substr(0, cut.size() - 3));
  f.writeLog("card/EEEE/1.mf4", logOf("EEEE", 3, 1, 20, "start"));  // the last: one unfinished
}

// The statistics block without the processor time, and the closing summary
// without the temporary folder of the card.
std::string statistics(const std::string& out) {
  std::string s = out.substr(out.find("Reader statistics"));
  s.erase(s.find("Execution time"), s.find('\n', s.find("Execution time")) - s.find("Execution time"));
  return std::regex_replace(s, std::regex("/[^ \n]*/card/"), "/card/");
}

std::vector<std::string> remainingLogs(const E2eFolder& f) {
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::recursive_directory_iterator(f / "card")) left.push_back(e.path());
  std::sort(left.begin(), left.end());
  return left;
}

E2eRun convert(const E2eFolder& f, std::vector<std::string> options) {
  options.insert(options.end(), {"--dbc-can1=" + f / "can1.dbc", "--dbc-can2=" + f / "j1939.dbc", f / "card"});
  return f.run(options);
}

TEST(ParallelConversion, WorkersAndShardsGiveTheResultOfOneThread) {
  for (const bool remove : {false, true}) {
    SCOPED_TRACE(remove ? "with -d" : "without -d");
    std::vector<std::string> d = remove ? std::vector<std::string>{"-d", "-j"} : std::vector<std::string>{"-j"};
    E2eFolder one;
    writeCard(one, true);
    d.push_back("1");
    const E2eRun base = convert(one, d);
    ASSERT_EQ(base.status, 8) << base.logText();
    ASSERT_EQ(base.statistic("Transport protocol statistics", "Unfinished sessions"), 1) << base.out;
    ASSERT_EQ(base.statistic("Transport protocol statistics", "Successful sessions"), 2) << base.out;
    const E2eTree tree = one.csvTree();
    ASSERT_EQ(tree.size(), 10u) << e2eDescribe(tree);
    // Warnings of opening a file come from its conversion, not its planning,
    // and one names the file.
    const auto cutShort = [](const E2eRun& r) {
      return std::count_if(r.log.begin(), r.log.end(), [](const std::string& l) { return l.find(" is cut short") != std::string::npos; });
    };
    ASSERT_EQ(cutShort(base), 2);
    d.pop_back();

    for (const char* jobs : {"2", "4"}) {
      E2eFolder many;
      writeCard(many, true);
      d.insert(d.end(), {jobs, "--verbosity=4"});
      const E2eRun r = convert(many, d);
      d.resize(d.size() - 2);
      // The plan's unwrapped containers are converted, not unwrapped again.
      const std::string log = r.logText();
      const size_t ahead = log.find(" bytes of containers unwrapped ahead");
      ASSERT_NE(ahead, std::string::npos);
      EXPECT_NE(log.compare(log.rfind(' ', ahead - 1), 2, " 0"), 0) << "nothing kept";
      EXPECT_EQ(cutShort(r), 2) << jobs;
      EXPECT_EQ(r.status, base.status) << jobs;
      EXPECT_EQ(statistics(r.out), statistics(base.out)) << jobs;
      EXPECT_EQ(many.csvTree(), tree) << jobs << "\n" << e2eDescribe(many.csvTree());
      EXPECT_EQ(remainingLogs(many).size(), remainingLogs(one).size()) << jobs;
    }

    // Three shards into one folder, one after the other: their union.
    E2eFolder shards;
    writeCard(shards, true);
    int status = 0;
    long long files = 0, rows = 0, unfinished = 0;
    for (const char* k : {"0/3", "1/3", "2/3"}) {
      std::vector<std::string> args = d;
      args.insert(args.end(), {"8", "--shard", k});  // frames read ahead
      const E2eRun r = convert(shards, args);
      status |= r.status;
      files += r.statistic("Reader statistics", "Files");
      rows += r.statistic("Writer statistics", "Messages");
      unfinished += r.statistic("Transport protocol statistics", "Unfinished sessions");
    }
    EXPECT_EQ(status, base.status);
    EXPECT_EQ(files, base.statistic("Reader statistics", "Files"));
    EXPECT_EQ(rows, base.statistic("Writer statistics", "Messages"));
    EXPECT_EQ(unfinished, 1);
    EXPECT_EQ(shards.csvTree(), tree) << e2eDescribe(shards.csvTree());
    EXPECT_EQ(remainingLogs(shards).size(), remainingLogs(one).size());
  }
}

// One file and spare processors: a thread of its own takes over writing the
// rows.  Its result is that of one thread; stopped at once, it leaves what a
// rerun completes.
TEST(ParallelConversion, OneFileWithAWritingThreadGivesTheResultOfOneThread) {
  E2eFolder f;
  // Eight values a row, with limits that not every value keeps: the rows go
  // over as values and fill each batch's room for them.
  std::string wide = "BO_ 256 M: 8 ECU\n";
  for (int b = 0; b < 8; ++b)
    wide += " SG_ S" + std::to_string(b) + " : " + std::to_string(8 * b) + "|8@1+ (1,0) [0|200] \"\" ECU\n";
  f.writeDbc("can1.dbc", e2eDbc("CAN", wide));
  f.writeDbc("j1939.dbc", kJ1939Dbc);
  std::string log = logOf("AAAA", 1, 1, 0, "start");
  // More rows than the writing thread's ring holds: it is woken by a half
  // filled ring, the converting thread by a full one, and both by the drain.
  for (int i = 0; i < 20000; ++i) {
    const auto b = static_cast<uint8_t>(i);
    log += "frame c t=1." + std::to_string(10000 + i) + " id=0x100 data=" +
           hex({b, uint8_t(i >> 8), uint8_t(b * 3), uint8_t(b * 5), uint8_t(b * 7), uint8_t(b * 11),
                uint8_t(b * 13), uint8_t(b * 17)}) + "\n";
  }
  f.writeLog("card/big.mf4", log);  // the transfer stays unfinished
  const E2eRun one = convert(f, {"-j", "1", "-O", f / "one"});
  ASSERT_EQ(one.status, 0) << one.logText();
  ASSERT_EQ(one.statistic("Writer statistics", "Messages"), 20040);
  ASSERT_EQ(one.statistic("Transport protocol statistics", "Unfinished sessions"), 1);
  std::thread stop([] { cInterrupt_request(); });
  const E2eRun stopped = convert(f, {"-j", "3", "-O", f / "three"});
  stop.join();
  cInterrupt_reset();
  EXPECT_TRUE(stopped.status == 0x87 || stopped.status == 0) << stopped.status;
  const E2eRun three = convert(f, {"-j", "3", "--verbosity=4", "-O", f / "three"});
  EXPECT_EQ(three.status, 0);
  EXPECT_NE(three.logText().find("A spare processor writes the rows from here"), std::string::npos);
  EXPECT_EQ(statistics(three.out), statistics(one.out));
  EXPECT_EQ(f.csvTree("three"), f.csvTree("one"));
}

// A process limit of 48 descriptors lets the CSV writers keep 24 open, and
// the other 24 hold the process's own and those of 4 workers: -j 8 runs 4
// workers with 6 CSV files each.  A worker that took the whole 24 (or more)
// would run out of descriptors with the 60 messages of its session alone.
TEST(ParallelConversion, WorkersShareTheOpenFileLimitOfOneProcess) {
  E2eFolder f;
  std::string dbc, frames;
  for (int round = 0; round < 2; ++round)
    for (int id = 0; id < 60; ++id) {
      if (round == 0) dbc += "BO_ " + std::to_string(256 + id) + " M" + std::to_string(id) + ": 1 ECU\n SG_ V : 0|8@1+ (1,0) [0|0] \"\" ECU\n";
      frames += "frame c t=0." + std::to_string(100 + round * 60 + id) + " id=0x" + hex({uint8_t(1), uint8_t(id)}) +
                " data=" + hex({uint8_t(round)}) + "\n";
    }
  f.writeDbc("can1.dbc", e2eDbc("CAN", dbc));
  for (const std::string serial : {"AAAA", "BBBB", "CCCC", "DDDD", "EEEE", "FFFF", "GGGG", "HHHH"})
    f.writeLog("card/" + serial + "/1.mf4", e2eLogHeader(serial, 1, 1) + "group c can\n" + frames);
  E2eRun eight, one;
  ASSERT_TRUE(withResourceLimit(RLIMIT_NOFILE, 48, [&] {
    eight = f.run({"-j", "8", "-O", f / "eight", "--dbc-can1=" + f / "can1.dbc", f / "card"});
    one = f.run({"-j", "1", "-O", f / "one", "--dbc-can1=" + f / "can1.dbc", f / "card"});
  }));
  EXPECT_EQ(eight.status, 0) << eight.logText();
  EXPECT_TRUE(eight.logged("I Worker threads limited to 4 by the open-file limit (ulimit -n)"));
  EXPECT_EQ(one.status, 0) << one.logText();
  EXPECT_EQ(f.csvTree("eight"), f.csvTree("one"));
  EXPECT_EQ(f.csvTree("eight").size(), 480u);
}

TEST(ParallelConversion, ThreeShardsThroughGnuParallelMakeOneRunsTree) {
  if (std::system("parallel --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "GNU parallel is not installed";
  E2eFolder f;
  writeCard(f, false);
  ASSERT_EQ(convert(f, {"-j", "1", "-O", f / "one"}).status, 0);
  const std::string command = "cd '" + f.path() + "' && parallel --will-cite --halt never '" LOGRAVEN_BINARY_DIR
                              "/lograven' --shard {}/3 -O shared --dbc-can1=can1.dbc --dbc-can2=j1939.dbc card"
                              " ::: 0 1 2 >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(f.csvTree("shared"), f.csvTree("one"));
  EXPECT_EQ(f.csvTree("shared").size(), 9u);
}

// The shell block after the README's line that starts with `marker`.
std::string readmeBlock(const std::string& marker) {
  std::ifstream in(LOGRAVEN_SOURCE_DIR "/README.md");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t at = text.find("\n" + marker);
  const size_t begin = text.find("```sh\n", at);
  if (at == std::string::npos || begin == std::string::npos) return "";
  return text.substr(begin + 6, text.find("```", begin + 6) - begin - 6);
}

// The README's recipes, run as written over a test card: its folders are the
// card's, the hosts this machine, and the schedulers' index variables are set
// as each scheduler sets them.  Every recipe gives one run's tree.
TEST(ParallelConversion, TheReadmesRecipesMakeOneRunsTree) {
  const bool parallel = std::system("parallel --version >/dev/null 2>&1") == 0;
  const struct {
    const char* marker;
    std::string index;  // the variable each shard gets (empty: one command for all)
    int shards;
  } recipes[] = {
      {"GNU parallel, four shards on this machine", "", 1},
      {"GNU parallel across hosts", "", 1},
      {"Slurm, a job array", "SLURM_ARRAY_TASK_COUNT=16 SLURM_CPUS_PER_TASK=2 SLURM_ARRAY_TASK_ID", 16},
      {"Kubernetes, an Indexed Job", "JOB_COMPLETION_INDEX", 16},
  };
  for (const auto& r : recipes) {
    SCOPED_TRACE(r.marker);
    if (r.index.empty() && !parallel) continue;  // GNU parallel is not installed
    std::string script = readmeBlock(r.marker);
    ASSERT_NE(script, "");
    E2eFolder f;
    writeCard(f, false);
    f.write("passwords.json", "{}");
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"/data/dbc/powertrain.dbc", "can1.dbc"}, {"/shared/dbc/powertrain.dbc", "can1.dbc"},
             {"powertrain.dbc", "can1.dbc"}, {"/data/upload", "card"}, {"/shared/upload", "card"},
             {"/data/out", "out"}, {"/shared/out", "out"}, {"node1,node2,node3,:", ":"},
             {"/data/passwords.json", "passwords.json"}, {"/shared/passwords.json", "passwords.json"},
             {"parallel ", "parallel --will-cite "}})
      for (size_t at = 0; (at = script.find(from, at)) != std::string::npos; at += to.size())
        script.replace(at, from.size(), to);
    script = std::regex_replace(script, std::regex("(^|[\n '])lograven "), "$1'" LOGRAVEN_BINARY_DIR "/lograven' ");
    f.write("recipe.sh", script);
    const std::string each = r.index.empty() ? "sh recipe.sh"
                             : "for i in $(seq 0 " + std::to_string(r.shards - 1) + "); do env " + r.index +
                                   "=$i sh recipe.sh || exit 1; done";
    ASSERT_EQ(std::system(("cd '" + f.path() + "' && " + each + " >/dev/null 2>&1").c_str()), 0) << script;
    ASSERT_EQ(f.run({"-j", "1", "-O", f / "one", "--dbc-can1=" + f / "can1.dbc", f / "card"}).status, 0);
    EXPECT_EQ(f.csvTree("out"), f.csvTree("one")) << script;
    EXPECT_EQ(f.csvTree("out").size(), 7u);
  }
}

TEST(ParallelConversion, UnitsKeepSessionsAndChainsTogether) {
  using Id = cFileIdentity;
  const std::vector<cProbedFile> files = {
      {"a1", 1, Id{"A", 1, 1}}, {"b1", 2, Id{"B", 1, 1}}, {"a2", 4, Id{"A", 1, 2}},  // a2 after b1: same session
      {"/mnt/card/Z/x", 8, Id{}},                                                  // no identity: alone
      {"a7", 16, Id{"A", 7, 256}}, {"a8", 32, Id{"A", 8, 257}},                     // one chain, two sessions
      {"c", 64, Id{"A-", 2, 1}}, {"b2", 128, Id{"B", 2, 1}}, {"c2", 256, Id{"A", 2, 9}},  // "A-": folder A
      {"d3", 1, Id{"D", 3, 1}}, {"d4", 1, Id{"D", 4, 2}},  // the next session, but split 1 is no chain's end
  };
  const std::vector<cWorkUnit> units = cWorkUnits_group(files);
  const std::vector<std::vector<std::string>> paths = {{"a1", "a2"}, {"b1"}, {"/mnt/card/Z/x"}, {"a7", "a8"}, {"c", "c2"}, {"b2"}, {"d3"}, {"d4"}};
  ASSERT_EQ(units.size(), paths.size());
  const std::vector<std::string> keys = {"A/1", "B/1", "Z/x", "A/7", "A/2", "B/2", "D/3", "D/4"};
  for (size_t u = 0; u < units.size(); ++u) {
    SCOPED_TRACE(u);
    std::vector<std::string> got;
    for (const cWorkFile& file : units[u].files) got.push_back(file.path);
    EXPECT_EQ(got, paths[u]);
    EXPECT_EQ(units[u].key, keys[u]);
    EXPECT_EQ(units[u].holdsLast, u == 7);
  }
  // Each file is compared with the file before it in the walk, whatever unit that is in.
  EXPECT_EQ(units[0].files[1].previous.serialNumber, "B");
  EXPECT_EQ(units[3].files[0].previous.split, 2u);  // a2: x has no identity
  EXPECT_EQ(units[3].files[1].previous.split, 256u);
  EXPECT_EQ(units[0].files[0].previous.known(), false);
  EXPECT_EQ(units[0].bytes, 5u);

  cShard s;
  for (const char* bad : {"3/2", "1", "a/b", "2/2", "/3", "1/", "-1/3", "1/3x", "1x/3", "+1/3", "1/-3", ""}) EXPECT_FALSE(cShard_parse(bad, &s)) << bad;
  ASSERT_TRUE(cShard_parse("2/16", &s));
  EXPECT_EQ(s.index, 2u);
  EXPECT_EQ(s.count, 16u);
  EXPECT_EQ(cShard_of("a", 1000), 0xaf63dc4c8601ec8cull % 1000);  // FNV-1a, 64 bits
}

// Shards started later find the inputs that earlier ones converted deleted
// (-d): whichever files are left, each gets the shard it has among all.
TEST(ParallelConversion, AFilesShardDoesNotDependOnTheFilesOthersDeleted) {
  using Id = cFileIdentity;
  const std::vector<std::pair<cProbedFile, std::string>> all = {
      {{"a255", 1, Id{"A", 7, 255}}, "A/7"}, {{"a256", 1, Id{"A", 7, 256}}, "A/7"},
      {{"a257", 1, Id{"A", 8, 257}}, "A/7"}, {{"a258", 1, Id{"A", 8, 258}}, "A/7"},  // the next session
      {{"a513", 1, Id{"A", 9, 513}}, "A/7"},  // the chain's third session (split 258 did not reach it)
      {{"b1", 1, Id{"B", 1, 1}}, "B/1"}, {{"b2", 1, Id{"B", 1, 2}}, "B/1"},
      {{"x", 1, Id{}}, "x"}, {{"copy", 1, Id{"A", 8, 257}}, "A/7"},
  };
  for (unsigned subset = 1; subset < 1u << all.size(); ++subset) {
    std::vector<cProbedFile> files;
    for (size_t i = 0; i < all.size(); ++i)
      if (subset >> i & 1) files.push_back(all[i].first);
    for (const cWorkUnit& unit : cWorkUnits_group(files))
      for (const cWorkFile& file : unit.files) {
        const auto it = std::find_if(all.begin(), all.end(), [&](const auto& f) { return f.first.path == file.path; });
        ASSERT_EQ(unit.key, it->second) << file.path << " among files " << subset;
      }
  }
}

// The real file system, with a hook that runs before each open: false
// fails the open.
struct OpenHookBackend final : cFSBackend {
  explicit OpenHookBackend(std::function<bool(const std::string&)> hook) : beforeOpen(std::move(hook)) {}
  std::function<bool(const std::string&)> beforeOpen;
  std::unique_ptr<cFSBackend> os = cFS_os_backend();
  bool stat(const std::string& p, cFSStat* out) override { return os->stat(p, out); }
  bool ls(const std::string& p, cFSListing* out) override { return os->ls(p, out); }
  bool rm(const std::string& p) override { return os->rm(p); }
  bool sync(const std::string& p) override { return os->sync(p); }
  std::unique_ptr<cIO> open(const std::string& p, int flags) override {
    return beforeOpen(p) ? os->open(p, flags) : nullptr;
  }
};

// A file removed between the walk and its probe (another shard converted and
// deleted it) is no shard's to report; a run without shards finds it
// missing when its turn comes, as -j 1 does.
TEST(ParallelConversion, AShardLeavesOutAFileDeletedWhileItPlans) {
  E2eFolder f;
  f.writeLog("card/A/1.mf4", e2eLogHeader("AAAA", 1, 1) + "group c can\nframe c t=1 id=0x100 data=01\n");
  f.writeLog("card/A/2.mf4", e2eLogHeader("AAAA", 1, 2) + "group c can\nframe c t=2 id=0x100 data=02\n");
  size_t shardedFiles = 0;
  for (const cShard shard : {cShard{0, 3}, cShard{1, 3}, cShard{2, 3}, cShard{0, 1}}) {
    SCOPED_TRACE(std::to_string(shard.index) + "/" + std::to_string(shard.count));
    f.writeLog("card/B/1.mf4", e2eLogHeader("BBBB", 1, 1) + "group c can\nframe c t=1 id=0x100 data=01\n");
    cFS fs(f.path(), std::make_unique<OpenHookBackend>([](const std::string& p) {
             if (p.ends_with("B/1.mf4")) std::filesystem::remove(p);  // deleted when opened
             return true;
           }));
    const cWorkPlan plan = cWorkUnits_plan(&fs, cLogReaderOptions{}, {"card"}, 2, shard);
    EXPECT_EQ(plan.walkStatus, 0);
    size_t gone = 0, files = 0;
    for (const cWorkUnit& unit : plan.units)
      for (const cWorkFile& file : unit.files) {
        ++files;
        gone += file.path.ends_with("B/1.mf4");
      }
    EXPECT_EQ(gone, shard.sharded() ? 0u : 1u);
    EXPECT_EQ(plan.allUnits, shard.sharded() ? 1u : 2u);
    if (shard.sharded()) shardedFiles += files;
  }
  EXPECT_EQ(shardedFiles, 2u);  // A's two files, in one shard
}

// A file that cannot be opened once (a passing read error) is read again and
// stays in its session's unit: alone, it would be converted beside its
// session, maybe at the same time into the same file.
TEST(ParallelConversion, APassingReadErrorWhilePlanningKeepsAFileInItsSession) {
  E2eFolder f;
  for (const char* split : {"1", "2", "3"})
    f.writeLog(std::string("card/B/") + split + ".mf4",
               e2eLogHeader("BBBB", 1, std::stoul(split)) + "group c can\nframe c t=1 id=0x100 data=01\n");
  std::atomic<int> opens{0};  // of B/2.mf4: the first fails
  cFS fs(f.path(), std::make_unique<OpenHookBackend>([&opens](const std::string& p) {
           return !(p.ends_with("B/2.mf4") && opens++ == 0);
         }));
  const cWorkPlan plan = cWorkUnits_plan(&fs, cLogReaderOptions{}, {"card"}, 2, cShard{});
  EXPECT_EQ(opens.load(), 2) << "failed once, read again";
  ASSERT_EQ(plan.units.size(), 1u);
  EXPECT_TRUE(plan.units[0].files.size() == 3 && plan.units[0].key == "BBBB/1") << plan.units[0].key;
}

// A file that fails to be read twice while planning is a unit of its own.
// Should it read when that unit converts, it is refused and kept: a worker
// would otherwise continue its session's file beside the worker converting
// the session.
TEST(ParallelConversion, AFileUnreadWhilePlanningIsNotConvertedApartFromItsSession) {
  E2eFolder f;
  f.writeDbc("can1.dbc", kCanDbc);
  for (unsigned split = 1; split <= 3; ++split)
    f.writeLog("card/B/" + std::to_string(split) + ".mf4",
               e2eLogHeader("BBBB", 1, split) + "group c can\nframe c t=1 id=0x100 data=0" + std::to_string(split) + "00\n");
  std::unique_ptr<cLogReaderCLI> cli = cDecoderCLI_ctor();
  TestArgv argv({"-j", "2", "-d", "--dbc-can1=" + f / "can1.dbc", "-O", f / "out", f / "card"});
  int32_t status = 0;
  ASSERT_TRUE(cli->parse(argv.argc(), argv.argv(), &status));
  std::atomic<int> opens{0};  // of B/2.mf4: the plan's two fail
  cli->setInputBackend(std::make_unique<OpenHookBackend>([&opens](const std::string& p) {
    return !(p.ends_with("B/2.mf4") && opens++ < 2);
  }));
  LogCapture log;
  const cPoolRun run = cWorkerPool_convert(*cli);
  EXPECT_EQ(run.status, kExitConversion);
  EXPECT_TRUE(log.contains("E Could not read the file's identity while planning the work"));
  const FileTree tree = f.csvTree("out");
  ASSERT_EQ(tree.size(), 2u) << e2eDescribe(tree);  // B/1 and B/3, not continued
  for (const auto& [path, text] : tree) EXPECT_EQ(text.find(",2.000000\n"), std::string::npos) << path << text;
  EXPECT_EQ(remainingLogs(f), (std::vector<std::string>{f / "card/B", f / "card/B/2.mf4"}));
}

// Workers reading at once together stay within one reader's buffer (-b) and
// unwrap memory; a share is never 0, which would mean no read buffer.
TEST(ParallelConversion, ReadersShareTheReadBufferAndUnwrapMemory) {
  // An unwrap share of 0 follows the read buffer.
  const struct { int64_t buffer; uint32_t ways; int64_t bufferShare; uint64_t unwrapShare; } cases[] = {
      {0, 4, 0, 64u << 20}, {0, 0, 0, 256u << 20},   {1 << 20, 4, 1 << 18, 0},
      {3, 4, 1, 0},         {-1, 2, -1, 128u << 20},
  };
  for (const auto& c : cases) {
    cLogReaderOptions all;
    all.bufferSize = c.buffer;
    const cLogReaderOptions share = cWorkUnits_share(all, c.ways);
    EXPECT_EQ(share.bufferSize, c.bufferShare) << c.buffer << " / " << c.ways;
    EXPECT_EQ(share.unpackMemory, c.unwrapShare) << c.buffer << " / " << c.ways;
  }
}

TEST(ParallelConversion, TheUnitQueueKeepsWorkersOnTheirDevicesLargestUnitFirst) {
  struct Step { size_t worker, unit; };  // unit expected; kNone: nothing left
  constexpr size_t kNone = cUnitQueue::kNone;
  const struct {
    const char* name;
    std::vector<std::pair<std::string, uint64_t>> units;  // key, bytes
    std::vector<Step> steps;
  } cases[] = {
      {"a worker stays with its device; a new device is a free one",
       {{"A/1", 10}, {"A/2", 30}, {"B/1", 20}, {"C/1", 5}, {"B/2", 25}},
       {{0, 1}, {1, 4}, {0, 0}, {1, 2}, {0, 3}, {1, kNone}, {0, kNone}}},
      {"when every device is busy, the largest unit left",
       {{"A/1", 10}, {"A/2", 9}, {"B/1", 40}, {"B/2", 50}},
       {{0, 3}, {1, 0}, {2, 2}, {0, 1}, {1, kNone}, {2, kNone}, {0, kNone}}},
      {"files without identity: their folder is the device",
       {{"card/x.mf4", 3}, {"card/y.mf4", 7}, {"z", 1}},
       {{0, 1}, {1, 2}, {0, 0}, {1, kNone}, {0, kNone}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<cWorkUnit> units(c.units.size());
    for (size_t i = 0; i < units.size(); ++i) std::tie(units[i].key, units[i].bytes) = c.units[i];
    cUnitQueue queue(units);
    std::vector<size_t> last(3, kNone);
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      last[step.worker] = queue.next(last[step.worker]);
      EXPECT_EQ(last[step.worker], step.unit) << "step " << i;
    }
  }

  // Workers taking units at the same time get each unit once.
  std::vector<cWorkUnit> units(500);
  for (size_t i = 0; i < units.size(); ++i) units[i] = {{}, "D" + std::to_string(i % 7) + "/" + std::to_string(i), i % 13};
  cUnitQueue queue(units);
  std::vector<std::vector<size_t>> taken(4);
  std::vector<std::thread> workers;
  for (std::vector<size_t>& mine : taken)
    workers.emplace_back([&queue, &mine] {
      for (size_t u = queue.next(kNone); u != kNone; u = queue.next(u)) mine.push_back(u);
    });
  for (std::thread& t : workers) t.join();
  std::vector<size_t> all;
  for (const std::vector<size_t>& mine : taken) all.insert(all.end(), mine.begin(), mine.end());
  std::sort(all.begin(), all.end());
  std::vector<size_t> each(units.size());
  std::iota(each.begin(), each.end(), 0);
  EXPECT_EQ(all, each);
}

// Runs recover only the journals they own, and convert into a folder only
// beside other shards of theirs: `held` is the shard of a run still
// converting into it.
TEST(ParallelConversion, RunsRecoverOnlyTheJournalsTheyOwn) {
  const struct { std::string journal; std::vector<std::string> args; bool recovered; int status; cShard held{0, 0}; } cases[] = {
      {".lograven-journal-0of1-w3", {"-j", "2"}, true, 0},  // any worker count
      {".lograven-journal-2of3-w1", {"-j", "1"}, true, 0},  // no shards: the whole folder
      {".lograven-journal", {"-j", "3"}, true, 0},
      {".lograven-journal-1of3-w0", {"--shard", "1/3"}, true, 0},
      {".lograven-journal-2of3-w0", {"--shard", "1/3"}, false, 0},  // another shard's
      {".lograven-journal-1of4-w0", {"--shard", "1/3"}, false, 8},  // another shard count
      {".lograven-journal", {"--shard", "0/2"}, false, 8},
      {".lograven-journal-1of3-w0", {"--shard", "1/3"}, false, 8, {1, 3}},  // the same shard runs
      {".lograven-journal-1of3-w0", {"--shard", "1/3"}, true, 0, {2, 3}},
      {".lograven-journal-2of3-w0", {"-j", "1"}, false, 8, {2, 3}}, {".lograven-journal", {"-j", "2"}, false, 8, {0, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.journal + " " + ::testing::PrintToString(c.args));
    E2eFolder f;
    f.writeDbc("can1.dbc", kCanDbc);
    f.write("card/notes.txt", "no log files: every shard is empty");
    f.write("out/X_out/a.csv", "t,V\n");
    f.write("out/" + c.journal, "input /x.mf4\nnew X_out/a.csv\n");
    std::unique_ptr<cFSLock> held;
    ASSERT_TRUE(c.held.count == 0 || cOutputJournals_lock(*cFS_os_ctor(f / "out"), c.held.index, c.held.count, &held));
    const E2eRun r = f.runWith(c.args, {"--dbc-can1=" + f / "can1.dbc", "-O", f / "out", f / "card"});
    EXPECT_EQ(r.status, c.status) << r.logText();
    EXPECT_EQ(f.exists("out/X_out/a.csv"), !c.recovered);
    EXPECT_EQ(f.exists("out/" + c.journal), !c.recovered);
    EXPECT_EQ(f.exists("out/.lograven-lock"), c.held.count != 0);  // the last holder removes it
  }
}

// The plain journal is that of a run without shards: a shard that converts
// with one worker keeps its shard's, which another shard starting meanwhile
// leaves alone (a plain one would stop it with status 8).
TEST(ParallelConversion, AShardWithOneWorkerKeepsItsShardsJournal) {
  E2eFolder f;
  f.writeDbc("can1.dbc", kCanDbc);
  f.writeDbc("j1939.dbc", kJ1939Dbc);
  for (unsigned split = 1; split <= 3; ++split) {
    // Many blocks of rows per file: its journal exists for most of the run.
    std::string log = logOf("AAAA", 1, split, 0);
    for (int i = 0; i < 20000; ++i) log += "frame c t=1." + std::to_string(10000 + i) + " id=0x100 data=" + hex({uint8_t(i), uint8_t(i >> 8)}) + "\n";
    f.writeLog("card/AAAA/" + std::to_string(split) + ".mf4", log);
  }
  std::set<std::string> seen;
  for (const char* shard : {"0/2", "1/2"}) {  // one of them has the unit
    std::filesystem::create_directories(f / "out");
    std::atomic<bool> done{false};
    E2eRun r;
    std::thread run([&] {
      r = convert(f, {"-j", "1", "--shard", shard, "-O", f / "out"});
      done.store(true);
    });
    while (!done.load()) {
      std::error_code ec;
      for (std::filesystem::directory_iterator e(f / "out", ec), end; !ec && e != end; e.increment(ec))
        if (e->path().filename().string().starts_with(".lograven-journal")) seen.insert(e->path().filename());
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    run.join();
    EXPECT_EQ(r.status, 0) << r.logText();
  }
  ASSERT_FALSE(seen.empty()) << "no journal seen while the shard converted";
  for (const std::string& name : seen) EXPECT_TRUE(std::regex_match(name, std::regex(R"(\.lograven-journal-[01]of2-w0)"))) << name;
}

}  // namespace
