// Writes the seed corpora of the fuzz targets into OUT/<target>/:
//   mdf        log files of every frame kind, sorted and unsorted, unfinished
//   container  the same logs in compressed and encrypted containers, nested
//   dbc        a few DBC texts, plus every *.dbc of the optional folder DBCDIR
//   password   password-file texts
//   cli        command lines, one argument per line
// Usage: fuzz_seeds OUT [DBCDIR]
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "mklog.h"

namespace {

namespace fs = std::filesystem;

const char* const kLogs[] = {
    // Every kind in one unsorted data group, with metadata.
    "start_ns 1700000000000000000\ntz_offset 60\nserial 1A2B3C4D\nsession 12\nsplit 3\n"
    "history QZ\ndatagroup\ngroup c can\ngroup r remote\ngroup e error\ngroup l lin\n"
    "frame c t=0.001 id=0x123 data=0102030405060708\n"
    "frame r t=0.002 id=0x18FF0001 ide=1 dlc=8\n"
    "frame e t=0.003 type=2\n"
    "frame l t=0.004 id=0x21 data=11223344\n"
    "frame c t=0.005 ch=2 id=0x7FF data=AA\n",
    // Sorted data groups, one per kind, CAN FD with fixed bytes.
    "serial 00000001\nsession 1\nsplit 1\nhistory Brenlog\ndatagroup sorted\ngroup fd canfd\n"
    "frame fd t=0.1 id=0x300 brs=1 data=000102030405060708090A0B0C0D0E0F\n"
    "frame fd t=0.2 id=0x301 esi=1 data=-\n"
    "datagroup sorted\ngroup lc lin_checksum_error\nframe lc t=0.15 id=3 data=01\n"
    "datagroup sorted\ngroup lr lin_receive_error\nframe lr t=0.16 id=4\n"
    "datagroup sorted\ngroup ls lin_sync_error\nframe ls t=0.17\n"
    "datagroup sorted\ngroup lt lin_transmission_error\nframe lt t=0.18 id=5\n",
    // CAN FD in VLSD groups and in a signal-data block; a non-bus group.
    "serial 2\nsession 1\nsplit 2\ndatagroup\ngroup v canfd_vlsd\ngroup o other\n"
    "frame v t=0.01 id=0x10 data=0102030405060708090A0B0C\nframe o t=0.011 value=7\n"
    "frame v t=0.02 id=0x11 data=01\n"
    "datagroup sorted\ngroup s canfd_sd\nframe s t=0.005 id=0x12 data=A1A2A3A4A5A6A7A8A9\n"
    "frame s t=0.006 id=0x13 data=-\n",
    // An unfinished file and invalidation bytes.
    "unfinished\nserial 3\nsession 2\nsplit 1\ndatagroup sorted\n"
    "group c can invalidation_bytes=1\nframe c t=0.5 id=1 data=01\nframe c t=0.6 id=2 data=02\n",
    // Source information without bus type, comments and odd history blocks.
    "serial 4\nsession 3\nsplit 4\nhistory none\nhistory nocomment\nhistory QZ\n"
    "datagroup sorted\ngroup c can si=none\n"
    "si_comment c <SIcomment><TX>CAN1</TX><bus name=\"CAN\"/></SIcomment>\n"
    "frame c t=1 id=0x1FFFFFFF ide=1 data=FFFFFFFFFFFFFFFF\n",
    // No marker, no header comment.
    "no_header_comment\nno_history\ngroup c can\nframe c t=0 id=1 data=00\n",
};

const char* const kWraps[] = {
    "compress\n",
    "compress crc=0 window=4 lookahead=3\n",
    "compress window=10 lookahead=5 device=0x1234\n",
    "encrypt password=fuzz-password iterations=1 device=0xABCD\n",
    "encrypt password=fuzz-password iterations=2 variant=1\n",
    "compress\nencrypt password=fuzz-password iterations=1\n",
    "encrypt password=fuzz-password iterations=1\ncompress crc=0\n",
    "compress\ncompress window=5 lookahead=4\n",
};

const char* const kDbcs[] = {
    "VERSION \"\"\nBS_:\nBU_: ECU\n"
    "BO_ 256 Engine: 8 ECU\n"
    " SG_ Speed : 0|16@1+ (0.1,0) [0|6553.5] \"km/h\" X\n"
    " SG_ Temp : 23|8@0- (1,-40) [-40|215] \"C\" X\n"
    "BO_ 2566844926 Ext: 8 ECU\n SG_ F : 0|32@1- (1,0) [0|0] \"\" X\n"
    "SIG_VALTYPE_ 2566844926 F : 1;\n"
    "BA_DEF_ \"BusType\" STRING ;\nBA_DEF_DEF_ \"BusType\" \"CAN\";\n"
    "BA_DEF_ BO_ \"MessageIgnore\" INT 0 1;\nBA_ \"MessageIgnore\" BO_ 256 0;\n",
    "BA_DEF_ \"BusType\" STRING ;\nBA_ \"BusType\" \"CAN\";\n"
    "BO_ 1 M: 8 X\n SG_ Mux M : 0|8@1+ (1,0) [0|0] \"\" X\n"
    " SG_ Sub m1M : 8|8@1+ (1,0) [0|0] \"\" X\n SG_ A m2 : 16|8@1+ (1,0) [0|0] \"\" X\n"
    " SG_ B m3 : 16|16@0+ (2,1) [0|0] \"\" X\n"
    "SG_MUL_VAL_ 1 Sub Mux 1-1;\nSG_MUL_VAL_ 1 A Sub 2-2, 4-9;\nSG_MUL_VAL_ 1 B Mux 3-3;\n",
    "BA_DEF_ \"ProtocolType\" STRING ;\nBA_ \"ProtocolType\" \"J1939\";\n"
    "BA_DEF_ BO_ \"TransportProtocolType\" STRING ;\n"
    "BO_ 2364540158 EEC1: 8 X\n SG_ Rpm : 24|16@1+ (0.125,0) [0|8031.875] \"rpm\" X\n"
    "BO_ 2566834942 Long: 100 X\n SG_ Last : 792|8@1+ (1,0) [0|255] \"\" X\n"
    "BA_ \"TransportProtocolType\" BO_ 2566834942 \"J1939\";\n",
    "BA_DEF_ \"BusType\" STRING ;\nBA_ \"BusType\" \"LIN\";\n"
    "BO_ 33 Door: 2 X\n SG_ Open : 0|1@1+ (1,0) [0|1] \"\" X\n"
    " SG_ Pos : 1|15@1- (0.5,0) [0|0] \"\" X\n",
};

const char* const kPasswords[] = {
    "{\"default\": \"secret\"}\n",
    "{\n  \"0000ABCD\": \"pw1\",\n  \"1a2b3c4d\" : \"p\\\"w\",\n  \"default\":\"\"\n}\n",
    "\"ABCDEF01\":\"x\",\"ABCDEF01\":\"y\"",
    "{\"default\": \"line\nbreak\"}",
    "{\"0000ABCD\": 12, \"default\": {\"x\": [null]}}",
};

const char* const kCommandLines[] = {
    "a.mf4",
    "--help",
    "-v",
    "--verbosity=5\na.mf4",
    "--verbosity\n2\n--non-interactive\n-d\n-X\nlogs",
    "-b\n4096\n--buffer=-1\na.mf4\nlogs/day1/b.MF4",
    "--password-file=passwords.json\n-O\nout\nlogs",
    "-p\nmissing.json\n--output-directory=/out\n/a.mf4",
    "--dbc-can1=can1-engine.dbc\n--dbc-lin1=lin1-body.dbc\n--dbdump\na.mf4",
    "--no-concat\n--pgn-src-merge\n--no-pgn-dst-merge\n--concat\na.mf4",
    "--dbc-can99=can1-engine.dbc\n--dbc-can100=x.dbc\n-i\na.mf4",
    "--bogus\n-b\nx\n--verbosity=9",
    "--dbc-can1\ncan1-engine.dbc\n--utc\n-b\n-2\na.mf4",
};

bool writeBytes(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool writeLog(const fs::path& path, const std::string& description) {
  std::string error;
  auto bytes = cMklog_build(description, &error);
  if (!bytes) {
    std::fprintf(stderr, "fuzz_seeds: %s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  return writeBytes(path, std::string_view(reinterpret_cast<const char*>(bytes->data()),
                                           bytes->size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fuzz_seeds OUT [DBCDIR]\n");
    return 2;
  }
  const fs::path out = argv[1];
  for (const char* d : {"mdf", "container", "dbc", "password", "cli"}) fs::create_directories(out / d);
  bool ok = true;
  int n = 0;
  for (const char* log : kLogs) {
    ok &= writeLog(out / "mdf" / ("log" + std::to_string(n) + ".mf4"), log);
    int w = 0;
    for (const char* wrap : kWraps) {
      ok &= writeLog(out / "container" /
                         ("log" + std::to_string(n) + "_wrap" + std::to_string(w++) + ".mfm"),
                     std::string(log) + wrap);
    }
    ++n;
  }
  n = 0;
  for (const char* dbc : kDbcs) ok &= writeBytes(out / "dbc" / ("seed" + std::to_string(n++) + ".dbc"), dbc);
  if (argc > 2 && fs::is_directory(argv[2])) {
    for (const auto& entry : fs::directory_iterator(argv[2])) {
      if (entry.path().extension() == ".dbc") {
        fs::copy_file(entry.path(), out / "dbc" / entry.path().filename(),
                      fs::copy_options::overwrite_existing);
      }
    }
  }
  n = 0;
  for (const char* p : kPasswords) ok &= writeBytes(out / "password" / ("seed" + std::to_string(n++)), p);
  n = 0;
  for (const char* c : kCommandLines) ok &= writeBytes(out / "cli" / ("seed" + std::to_string(n++)), c);
  return ok ? 0 : 1;
}
