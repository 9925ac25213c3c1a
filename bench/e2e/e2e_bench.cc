// End-to-end conversion benchmark: writes logs with the log writer, converts
// them with the lograven binary as a child process and prints throughput and
// peak resident memory beside the time `cat` needs to read the same file.
//
//   e2e_bench [--lograven=PATH] [--frames=N] [--tp-messages=N] [--big-mb=N]
//             [--repeat=N] [--dir=FOLDER] [--keep]
//
// Cases:
//   classic  N classic CAN frames (default 5,000,000) over 50 identifiers on
//            two channels, 8 signals per message, default read buffer
//   tp       ISO-TP and J1939 broadcast transfers registered through DBC
//            attributes (--tp-messages ISO-TP transfers, 4 times as many
//            broadcast transfers; default 20,000)
//   buffer   a log of --big-mb megabytes (default 1024; 0 skips the case)
//            converted with --buffer=1048576; one message of 50 is decoded
//            so that the output stays small
// The classic and tp conversions run --repeat times (default 3) and the
// fastest run is reported.  The exit status is 1 when a conversion fails or
// its counts are wrong.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e_logs.h"
#include "e2e_process.h"
#include "mklog.h"

namespace {

constexpr int kMessageIds = 50;
constexpr double kTargetFramesPerSecond = 1.5e6;
// Of the classic case, per processor second (user + system) of the least
// costly run: the figure that holds on a machine shared with other work.
constexpr double kTargetFramesPerCpuSecond = 5e6;

struct cOptions {
  std::string lograven;
  uint64_t frames = 5000000;
  uint64_t tpMessages = 20000;
  uint64_t bigMb = 1024;
  uint64_t repeat = 3;  // runs of the classic and tp conversions; the fastest counts
  std::string dir;
  bool keep = false;
};

bool parseNumber(const char* text, uint64_t& value) {
  char* end = nullptr;
  value = std::strtoull(text, &end, 10);
  return end != text && *end == '\0';
}

bool parseOptions(int argc, char** argv, cOptions& o) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    auto value = [&](const char* name) -> const char* {
      size_t n = std::strlen(name);
      return std::strncmp(a, name, n) == 0 && a[n] == '=' ? a + n + 1 : nullptr;
    };
    if (const char* v = value("--lograven")) {
      o.lograven = v;
    } else if (const char* v = value("--frames")) {
      if (!parseNumber(v, o.frames) || o.frames < 2) return false;
    } else if (const char* v = value("--tp-messages")) {
      if (!parseNumber(v, o.tpMessages)) return false;
    } else if (const char* v = value("--big-mb")) {
      if (!parseNumber(v, o.bigMb)) return false;
    } else if (const char* v = value("--repeat")) {
      if (!parseNumber(v, o.repeat) || o.repeat < 1 || o.repeat > 100) return false;
    } else if (const char* v = value("--dir")) {
      o.dir = v;
    } else if (std::strcmp(a, "--keep") == 0) {
      o.keep = true;
    } else {
      return false;
    }
  }
  return true;
}

// The converter next to this benchmark in the build tree (bench/e2e/ lies two
// levels below the build folder), else the one this benchmark was built with.
std::string findLograven() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    self[n] = '\0';
    std::filesystem::path dir = std::filesystem::path(self).parent_path();
    for (auto candidate : {dir / ".." / ".." / "lograven", dir / ".." / "lograven"}) {
      if (access(candidate.c_str(), X_OK) == 0) return candidate.lexically_normal().string();
    }
  }
#ifdef LOGRAVEN_EXE
  if (access(LOGRAVEN_EXE, X_OK) == 0) return LOGRAVEN_EXE;
#endif
  return {};
}

bool writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out.flush());
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Writes the log of `description` (built inside the child, so that this
// process stays small for the memory figures of later children).
bool writeLog(const std::string& path, uint64_t size, std::string (*describe)(uint64_t size)) {
  auto start = std::chrono::steady_clock::now();
  bool ok = runInChild([&] {
    std::string error;
    if (cMklog_writeFile(describe(size), path.c_str(), &error)) return true;
    std::fprintf(stderr, "log writer: %s\n", error.c_str());
    return false;
  });
  if (ok) {
    std::printf("  log written: %.1f MB in %.2f s\n",
                static_cast<double>(std::filesystem::file_size(path)) / 1e6, seconds(start));
  }
  return ok;
}

// Time of `cat FILE > /dev/null`.
void printCatTime(const std::string& path, double mb) {
  auto run = runChild({"cat", path}, "", "", "");
  if (!run || run->exitStatus != 0) {
    std::printf("  cat > /dev/null: failed\n");
    return;
  }
  std::printf("  cat > /dev/null:  %7.3f s  %8.1f MB/s\n", run->wallSeconds, mb / run->wallSeconds);
}

struct cConversion {
  cChildRun run;
  cConverterStats stats;
  double leastCpuSeconds = 0;  // over all runs
};

// One conversion of `log` in `dir` with `extraArgs` into a fresh folder
// dir/`outName`.  None (after a message) when the run or its statistics fail.
std::optional<cConversion> convertOnce(const cOptions& o, const std::string& dir,
                                       const std::string& log, const std::string& outName,
                                       const std::vector<std::string>& extraArgs) {
  // One worker: the figures are per processor (parallel_bench measures -j).
  std::vector<std::string> argv = {o.lograven, "--non-interactive", "-j", "1",
                                   "--output-directory=" + dir + "/" + outName};
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  argv.push_back(log);
  std::filesystem::remove_all(dir + "/" + outName);
  std::filesystem::create_directories(dir + "/" + outName);
  const std::string outFile = dir + "/" + outName + ".stdout";
  const std::string errFile = dir + "/" + outName + ".stderr";
  auto run = runChild(argv, dir, outFile, errFile);
  if (!run || run->exitStatus != 0) {
    std::printf("  lograven FAILED (exit %d), see %s\n", run ? run->exitStatus : -1,
                errFile.c_str());
    return std::nullopt;
  }
  auto stats = parseConverterStats(readWholeFile(outFile));
  if (!stats) {
    std::printf("  lograven printed no statistics block, see %s\n", outFile.c_str());
    return std::nullopt;
  }
  return cConversion{*run, *stats};
}

// Converts `log` `repeat` times (the machine may be shared: the fastest run
// tells most about the converter) and prints the figures of the fastest.
std::optional<cConversion> convert(const cOptions& o, const std::string& dir,
                                   const std::string& log, const std::string& outName,
                                   const std::vector<std::string>& extraArgs, int repeat = 1) {
  std::optional<cConversion> best;
  std::string walls;
  for (int i = 0; i < repeat; ++i) {
    auto c = convertOnce(o, dir, log, outName, extraArgs);
    if (!c) return std::nullopt;
    char text[32];
    std::snprintf(text, sizeof text, " %.3f", c->run.wallSeconds);
    walls += text;
    const double leastCpu = best ? std::min(best->leastCpuSeconds, c->run.cpuSeconds) : c->run.cpuSeconds;
    if (!best || c->run.wallSeconds < best->run.wallSeconds) best = c;
    best->leastCpuSeconds = leastCpu;
  }
  const cChildRun& run = best->run;
  const cConverterStats& stats = best->stats;
  const double mb = static_cast<double>(std::filesystem::file_size(dir + "/" + log)) / 1e6;
  const double t = run.wallSeconds;
  if (repeat > 1) std::printf("  lograven runs (s):%s; the fastest:\n", walls.c_str());
  std::printf("  lograven:         %7.3f s  %8.1f MB/s input  (cpu %.3f s)\n", t, mb / t,
              run.cpuSeconds);
  std::printf("  frames/s %.3f M   rows/s %.3f M   values/s %.2f M\n", stats.frames / t / 1e6,
              stats.rows / t / 1e6, stats.values / t / 1e6);
  // On a shared machine the processor time tells the cost apart from waiting.
  const double cpu = best->leastCpuSeconds;
  std::printf("  per cpu second (least cpu of the runs, %.3f s): frames %.3f M   rows %.3f M   "
              "values %.2f M\n",
              cpu, stats.frames / cpu / 1e6, stats.rows / cpu / 1e6, stats.values / cpu / 1e6);
  std::printf("  peak resident memory %.1f MB (log %.1f MB)   output %.1f MB in %" PRIu64
              " files\n",
              run.peakRssKiB / 1024.0, mb, folderBytes(dir + "/" + outName) / 1e6,
              stats.csvFiles);
  return best;
}

// Prints "name: got (expected)" and returns whether they agree.
bool check(const char* name, uint64_t got, uint64_t expected) {
  std::printf("  check %-22s %12" PRIu64 " %s\n", name, got, got == expected ? "ok" : "WRONG");
  if (got != expected) std::printf("        expected %12" PRIu64 "\n", expected);
  return got == expected;
}

std::string classicDescription(uint64_t frames) {
  return benchBulkDescription(frames, benchCanIds(kMessageIds));
}

std::string tpTrafficDescription(uint64_t isoTpMessages) {
  return tpDescription(cTpTraffic{isoTpMessages, isoTpMessages * 4});
}

bool classicCase(const cOptions& o, const std::string& dir) {
  std::printf("\n[classic] %" PRIu64 " classic CAN frames, %d identifiers on 2 channels, %d "
              "signals per message, default buffer\n",
              o.frames, kMessageIds, kBenchSignalsPerMessage);
  const std::string log = "classic.mf4";
  if (!writeText(dir + "/classic.dbc", benchCanDbc(benchCanIds(kMessageIds))) ||
      !writeLog(dir + "/" + log, o.frames, classicDescription)) {
    return false;
  }
  printCatTime(dir + "/" + log, std::filesystem::file_size(dir + "/" + log) / 1e6);
  auto c = convert(o, dir, log, "out_classic", {"--dbc-can1=classic.dbc", "--dbc-can2=classic.dbc"},
                   static_cast<int>(o.repeat));
  if (!c) return false;
  const double fps = c->stats.frames / c->run.wallSeconds;
  std::printf("  target >= %.1f M frames/s: %s\n", kTargetFramesPerSecond / 1e6,
              fps >= kTargetFramesPerSecond ? "met" : "NOT met");
  const double fpsCpu = c->stats.frames / c->leastCpuSeconds;
  std::printf("  per cpu second %.2f M frames/s, target >= %.1f M: %s\n", fpsCpu / 1e6,
              kTargetFramesPerCpuSecond / 1e6, fpsCpu >= kTargetFramesPerCpuSecond ? "met" : "NOT met");
  bool ok = check("frames", c->stats.frames, o.frames);
  ok &= check("rows", c->stats.rows, o.frames);
  ok &= check("values", c->stats.values, o.frames * kBenchSignalsPerMessage);
  ok &= check("csv files", c->stats.csvFiles, 2 * kMessageIds);
  return ok;
}

bool tpCase(const cOptions& o, const std::string& dir) {
  const cTpTraffic traffic{o.tpMessages, o.tpMessages * 4};
  std::printf("\n[tp] %" PRIu64 " ISO-TP transfers of 100 bytes (16 frames each) and %" PRIu64
              " J1939 broadcast transfers of 20 bytes (4 frames each): %" PRIu64 " frames\n",
              traffic.isoTpMessages, traffic.bamMessages, traffic.frames());
  const std::string log = "tp.mf4";
  if (!writeText(dir + "/tp_can.dbc", tpCanDbc()) ||
      !writeText(dir + "/tp_j1939.dbc", tpJ1939Dbc()) ||
      !writeLog(dir + "/" + log, o.tpMessages, tpTrafficDescription)) {
    return false;
  }
  auto c = convert(o, dir, log, "out_tp", {"--dbc-can1=tp_can.dbc", "--dbc-can2=tp_j1939.dbc"},
                   static_cast<int>(o.repeat));
  if (!c) return false;
  const uint64_t sessions = traffic.isoTpMessages + traffic.bamMessages;
  bool ok = check("frames", c->stats.frames, traffic.frames());
  ok &= check("successful sessions", c->stats.tpSuccessful, sessions);
  ok &= check("failed sessions", c->stats.tpFailed, 0);
  ok &= check("unfinished sessions", c->stats.tpUnfinished, 0);
  ok &= check("rows", c->stats.rows, sessions);
  return ok;
}

bool bufferCase(const cOptions& o, const std::string& dir) {
  std::printf("\n[buffer] %" PRIu64 " MB log, --buffer=1048576, 1 of %d messages decoded\n",
              o.bigMb, kMessageIds);
  // Bytes per classic frame record in the writer's layout, measured on a
  // small log of the same shape.
  const std::string probe = dir + "/probe.mf4";
  auto writeProbe = [&] {
    return cMklog_writeFile(classicDescription(100000), probe.c_str(), nullptr);
  };
  if (!runInChild(writeProbe)) return false;
  const double perFrame = std::filesystem::file_size(probe) / 100000.0;
  std::filesystem::remove(probe);
  const uint64_t frames = static_cast<uint64_t>(o.bigMb * 1e6 / perFrame);
  std::printf("  %" PRIu64 " frames\n", frames);
  const std::string log = "big.mf4";
  if (!writeText(dir + "/big.dbc", benchCanDbc(benchCanIds(kMessageIds), 1)) ||
      !writeLog(dir + "/" + log, frames, classicDescription)) {
    return false;
  }
  printCatTime(dir + "/" + log, std::filesystem::file_size(dir + "/" + log) / 1e6);
  auto c = convert(o, dir, log, "out_big",
                   {"--buffer=1048576", "--dbc-can1=big.dbc", "--dbc-can2=big.dbc"});
  if (!c) return false;
  const double fileMb = std::filesystem::file_size(dir + "/" + log) / 1e6;
  std::printf("  peak memory / log size: %.1f %%\n",
              100.0 * c->run.peakRssKiB * 1024 / 1e6 / fileMb);
  bool ok = check("frames", c->stats.frames, frames);
  // Far below the file size: under a quarter of it, or, for small logs where
  // the program's own baseline dominates, under 16 MB.
  const double peakBytes = static_cast<double>(c->run.peakRssKiB) * 1024;
  const bool bounded = peakBytes * 4 < fileMb * 1e6 || peakBytes < 16e6;
  ok &= check("peak far below log size", bounded ? 1 : 0, 1);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  cOptions o;
  if (!parseOptions(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: e2e_bench [--lograven=PATH] [--frames=N] [--tp-messages=N] "
                 "[--big-mb=N] [--repeat=N] [--dir=FOLDER] [--keep]\n");
    return 2;
  }
  if (o.lograven.empty()) o.lograven = findLograven();
  if (o.lograven.empty() || access(o.lograven.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "e2e_bench: lograven binary not found (give --lograven=PATH)\n");
    return 2;
  }
  o.lograven = std::filesystem::absolute(o.lograven).string();
  std::string dir = o.dir;
  if (dir.empty()) {
    char pattern[] = "/tmp/lograven_e2e_XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      std::perror("e2e_bench: mkdtemp");
      return 2;
    }
    dir = pattern;
  } else {
    std::filesystem::create_directories(dir);
    dir = std::filesystem::absolute(dir).string();
  }
  std::printf("lograven end-to-end benchmark\n  binary: %s\n  folder: %s\n  load average: %s",
              o.lograven.c_str(), dir.c_str(), readWholeFile("/proc/loadavg").c_str());

  bool ok = classicCase(o, dir);
  if (o.tpMessages > 0) ok &= tpCase(o, dir);
  if (o.bigMb > 0) ok &= bufferCase(o, dir);

  if (!o.keep && o.dir.empty()) std::filesystem::remove_all(dir);
  std::printf("\n%s\n", ok ? "all cases converted completely" : "SOME CASES FAILED");
  return ok ? 0 : 1;
}
