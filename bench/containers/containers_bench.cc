// Prints how fast compressed and encrypted containers unwrap.
//
//   bench_containers [megabytes]   (default 100)
//
// The payload imitates CAN logging records (time stamp, identifier, payload
// with slowly changing signals), built in memory, wrapped with the project's
// container writer, then unwrapped from a memory stream.  Writing the
// containers is not timed.
//
// Decryption is timed twice: first into memory the process has never touched
// (the kernel maps every fresh page on first use, which on some virtual
// machines costs more than the cipher), then again into memory the allocator
// keeps from the first run, which measures the decryption itself.
#include <malloc.h>
#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "container_writer/container_writer.h"
#include "input/encrypted_file.h"
#include "input/generic_file.h"
#include "io/io.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Processor time of this process: the machine may be shared, and wall time
// would then measure the neighbours as well.
struct Clock {
  using time_point = double;
  static double now() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }
};

Bytes logPayload(size_t size) {
  std::mt19937 rng(12345);
  Bytes out(size);
  uint64_t time = 0;
  uint16_t signal[32] = {};
  for (size_t pos = 0; pos + 24 <= size; pos += 24) {
    time += 100 + rng() % 900;
    unsigned id = rng() % 32;
    signal[id] = static_cast<uint16_t>(signal[id] + rng() % 3);
    uint8_t* r = out.data() + pos;
    std::memcpy(r, &time, 8);
    uint32_t canId = 0x100 + id * 8;
    std::memcpy(r + 8, &canId, 4);
    r[12] = 8;
    r[13] = r[14] = r[15] = 0;
    std::memcpy(r + 16, &signal[id], 2);
    r[18] = static_cast<uint8_t>(id);
    r[19] = static_cast<uint8_t>(signal[id] >> 4);
    r[20] = r[21] = 0xFF;
    r[22] = static_cast<uint8_t>(rng() % 2);
    r[23] = 0;
  }
  return out;
}

std::unique_ptr<cIO_memoryAlloc> memoryOf(const Bytes& bytes) {
  auto m = cIO_memoryAlloc_ctor();
  m->write(bytes.data(), static_cast<int64_t>(bytes.size()));
  m->seek(0, cIO::kSeekSet);
  return m;
}

double seconds(double since) { return Clock::now() - since; }

long minorFaults() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return r.ru_minflt;
}

constexpr double kDecryptTargetMBs = 2000;

bool benchCompressed(const Bytes& payload, uint8_t w, uint8_t l) {
  Bytes file = cContainer_compress(payload, {.windowBits = w, .lookaheadBits = l});
  auto in = memoryOf(file);
  cGenericFileHeader h;
  if (!cGenericFile_readHeader(in.get(), &h)) return false;
  auto start = Clock::now();
  auto out = cGenericFile_compressed_open(in.get(), h);
  double t = seconds(start);
  if (!out || out->tell() != static_cast<int64_t>(payload.size())) return false;
  auto* c = static_cast<cGenericFileStream*>(out.get());
  if (std::memcmp(c->data().data(), payload.data(), payload.size()) != 0) return false;
  std::printf("decompress W=%-2u L=%-2u  ratio %5.2f  %8.1f MB/s of output  (%.3f s processor time)\n", w, l,
              static_cast<double>(payload.size()) / static_cast<double>(file.size()),
              static_cast<double>(payload.size()) / 1e6 / t, t);
  return true;
}

bool benchEncrypted(const Bytes& payload) {
  cEncryptOptions o;
  o.password = "bench password";
  o.iterations = 1000;
  auto file = cContainer_encrypt(payload, o);
  if (!file) return false;
  auto in = memoryOf(*file);
  // From here on large blocks come from the heap and stay there when freed,
  // so that the second run writes into pages already mapped.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, -1);
  for (const char* memory : {"fresh memory", "reused memory"}) {
    cGenericFileHeader h;
    if (in->seek(0, cIO::kSeekSet) != 0 || !cGenericFile_readHeader(in.get(), &h)) return false;
    const long faults = minorFaults();
    auto start = Clock::now();
    auto out = cGenericFile_encrypted_open(in.get(), h,
                                           reinterpret_cast<const uint8_t*>(o.password.data()),
                                           o.password.size());
    double t = seconds(start);
    if (!out || out->tell() != static_cast<int64_t>(payload.size())) return false;
    auto* c = static_cast<cGenericFileStream*>(out.get());
    if (std::memcmp(c->data().data(), payload.data(), payload.size()) != 0) return false;
    std::printf("decrypt (1000 PBKDF2 iterations), %-13s %8.1f MB/s of plaintext  (target %.0f; "
                "%.3f s processor time, %ld page faults)\n",
                memory, static_cast<double>(payload.size()) / 1e6 / t, kDecryptTargetMBs, t,
                minorFaults() - faults);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
  if (megabytes == 0) megabytes = 100;
  Bytes payload = logPayload(megabytes * 1000 * 1000);
  std::printf("payload %zu MB\n", megabytes);
  bool ok = benchCompressed(payload, 8, 4) && benchCompressed(payload, 11, 4) &&
            benchCompressed(payload, 13, 10) && benchEncrypted(payload);
  if (!ok) {
    std::fprintf(stderr, "bench_containers: unwrapping failed\n");
    return 1;
  }
  return 0;
}
