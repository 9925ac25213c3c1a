// Decodes two realistic messages in a loop and prints frames/s and signals/s:
// an 8-signal message mixing Intel and Motorola fields, and a multiplexed one.
// Usage: db_decode_bench [frames per message]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string_view>

#include "db/db.h"
#include "db/dbc_parser.h"
#include "io/io.h"

namespace {

constexpr std::string_view kDbc =
    "BA_DEF_ \"BusType\" STRING ;\n"
    "BA_ \"BusType\" \"CAN\";\n"
    "BO_ 2566844672 EngineStatus: 8 ECU\n"
    " SG_ EngineSpeed : 0|16@1+ (0.125,0) [0|8031.875] \"rpm\" X\n"
    " SG_ Torque : 16|10@1- (0.5,-125) [-125|125] \"%\" X\n"
    " SG_ Coolant : 31|8@0+ (1,-40) [-40|215] \"degC\" X\n"
    " SG_ OilPressure : 39|12@0+ (4,0) [0|1000] \"kPa\" X\n"
    " SG_ Gear : 42|4@1+ (1,0) [0|15] \"\" X\n"
    " SG_ Throttle : 46|7@1+ (0.4,0) [0|100] \"%\" X\n"
    " SG_ Counter : 55|4@0+ (1,0) [0|15] \"\" X\n"
    " SG_ Checksum : 56|8@1+ (1,0) [0|255] \"\" X\n"
    "BO_ 1280 Diagnostics: 8 ECU\n"
    " SG_ Page M : 0|8@1+ (1,0) [0|255] \"\" X\n"
    " SG_ VoltageA m0 : 8|16@1+ (0.001,0) [0|65] \"V\" X\n"
    " SG_ VoltageB m0 : 24|16@1+ (0.001,0) [0|65] \"V\" X\n"
    " SG_ CurrentA m1 : 15|16@0- (0.01,0) [-300|300] \"A\" X\n"
    " SG_ CurrentB m1 : 31|16@0- (0.01,0) [-300|300] \"A\" X\n"
    " SG_ Temperature m2 : 8|12@1- (0.0625,0) [-128|127] \"degC\" X\n"
    " SG_ Status : 56|8@1+ (1,0) [0|255] \"\" X\n";

struct Result {
  double seconds;
  uint64_t frames;
  uint64_t signals;
};

Result run(const cDB& db, uint32_t key, uint64_t frames) {
  std::mt19937 random(12345);
  uint8_t payloads[64][8];
  for (auto& payload : payloads) {
    for (uint8_t& byte : payload) byte = static_cast<uint8_t>(random());
    payload[0] %= 3;  // every multiplexor value has signals
  }
  cDBDecodedMessage decoded;
  uint64_t signals = 0;
  double sink = 0;
  auto start = std::chrono::steady_clock::now();
  for (uint64_t i = 0; i < frames; ++i) {
    if (!cDB_decodeMessage(&db, key, payloads[i & 63], &decoded)) std::abort();
    signals += decoded.signals.size();
    sink += decoded.signals.back().value;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (sink == 0.123456789) std::puts("");
  return {seconds, frames, signals};
}

void print(const char* name, const Result& r) {
  std::printf("%-32s %12.0f frames/s %12.0f signals/s (%llu frames, %.3f s)\n", name,
              r.frames / r.seconds, r.signals / r.seconds,
              static_cast<unsigned long long>(r.frames), r.seconds);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t frames = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 5000000;
  auto stream = cIO_memoryAlloc_ctor();
  stream->write(kDbc.data(), static_cast<int64_t>(kDbc.size()));
  stream->seek(0, cIO::kSeekSet);
  std::unique_ptr<cDB> db = cDBC_dbc2db(stream.get());
  if (db == nullptr) return 1;
  Result plain = run(*db, cDB_can_id2key(0x18FEF100u, 1), frames);
  Result multiplexed = run(*db, cDB_can_id2key(1280, 0), frames);
  print("8 signals, Intel and Motorola", plain);
  print("multiplexed (4 of 7 signals)", multiplexed);
  Result total{plain.seconds + multiplexed.seconds, plain.frames + multiplexed.frames,
               plain.signals + multiplexed.signals};
  print("both", total);
  return 0;
}
