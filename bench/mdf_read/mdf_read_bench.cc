// Writes a log of classic CAN frames spread over several data groups with the
// log writer (bulk mode), then reads every frame back through the file stream,
// the read-ahead buffer, record access, the frame decoders and the
// time-ordered merge.  Prints frames/s and MB/s of both directions.
//
//   mdf_read_bench [FRAMES [GROUPS [PATH]]]    defaults: 8000000 4 /tmp/...
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mdf/mdf_file.h"
#include "mklog.h"

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Frames read per processor second (the figure that holds on a machine
// shared with other work).
constexpr double kTargetFramesPerCpuSecond = 12e6;

}  // namespace

int main(int argc, char** argv) {
  uint64_t frames = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 8000000;
  uint64_t groups = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 4;
  std::string path = argc > 3 ? argv[3] : "/tmp/mdf_read_bench_" + std::to_string(getpid()) + ".mf4";
  if (frames == 0 || groups == 0 || groups > 64) {
    std::fprintf(stderr, "usage: mdf_read_bench [FRAMES [GROUPS [PATH]]]\n");
    return 2;
  }

  // One bulk data group per channel, each at its own rate so that the merge
  // really interleaves them.
  std::string description = "serial BENCH\nhistory QZ\n";
  for (uint64_t g = 0; g < groups; ++g) {
    uint64_t count = frames / groups + (g < frames % groups ? 1 : 0);
    description += "datagroup sorted\ngroup g" + std::to_string(g) + " can\n";
    description += "bulk g" + std::to_string(g) + " count=" + std::to_string(count) +
                   " ids=0x100,0x1FF,0x18FEF100 channels=" + std::to_string(g + 1) +
                   " rate=" + std::to_string(1000 + 37 * g) + "\n";
  }

  auto start = std::chrono::steady_clock::now();
  std::string error;
  if (!cMklog_writeFile(description, path.c_str(), &error)) {
    std::fprintf(stderr, "write failed: %s\n", error.c_str());
    return 1;
  }
  double writeTime = seconds(start);

  auto file = cIO_file_open(path.c_str(), 0);
  int64_t size = file ? file->getSize() : -1;
  auto buffered = file ? cIO_bufferAlloc_ctor(file.get(), 1 << 20) : nullptr;
  if (!buffered || size <= 0) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  start = std::chrono::steady_clock::now();
  std::clock_t cpuStart = std::clock();
  auto mdf = cMdf_open(buffered.get());
  auto iter = mdf ? cMdf_getIter(mdf.get()) : nullptr;
  if (!iter) {
    std::fprintf(stderr, "cannot open %s as a log file\n", path.c_str());
    return 1;
  }
  uint64_t seen = 0, checksum = 0;
  double last = 0.0;
  bool ordered = true;
  for (cBusMsg* m = iter->current(); m != nullptr; m = iter->next()) {
    ++seen;
    checksum += m->id + m->data[0];
    ordered &= m->timeStamp >= last;
    last = m->timeStamp;
  }
  double readTime = seconds(start);
  double readCpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  iter.reset();
  cMdf_close(mdf);
  std::remove(path.c_str());

  double mb = static_cast<double>(size) / 1e6;
  std::printf("file: %llu frames in %llu data groups, %.1f MB\n",
              static_cast<unsigned long long>(frames), static_cast<unsigned long long>(groups), mb);
  std::printf("write (mklog bulk): %.2f s, %.2f M frames/s, %.1f MB/s\n", writeTime,
              frames / writeTime / 1e6, mb / writeTime);
  std::printf("read (merge):       %.2f s, %.2f M frames/s, %.1f MB/s\n", readTime,
              seen / readTime / 1e6, mb / readTime);
  // Processor time: the figure that holds on a machine shared with other work.
  std::printf("read per cpu second: %.2f M frames/s, %.1f MB/s (%.2f s cpu), target >= %.0f M: %s\n",
              seen / readCpu / 1e6, mb / readCpu, readCpu, kTargetFramesPerCpuSecond / 1e6,
              seen / readCpu >= kTargetFramesPerCpuSecond ? "met" : "NOT met");
  std::printf("frames read %llu (%s), time order %s, checksum %llu\n",
              static_cast<unsigned long long>(seen), seen == frames ? "all" : "MISSING",
              ordered ? "ok" : "BROKEN", static_cast<unsigned long long>(checksum));
  return seen == frames && ordered ? 0 : 1;
}
