#include "app/decoder_cli.h"

#include <re2/re2.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "base/exit_status.h"
#include "base/log.h"
#include "db/db_json.h"
#include "db/dbc_parser.h"
#include "io/io.h"

namespace {

bool endsWithDbc(std::string_view name, bool ignoreCase) {
  if (name.size() < 4) return false;
  std::string_view tail = name.substr(name.size() - 4);
  return ignoreCase ? strncasecmp(tail.data(), ".dbc", 4) == 0 : tail == ".dbc";
}

// Channel number of a DBC argument: decimal, 1 to 255.
bool parseChannel(const std::string& digits, uint8_t* channel) {
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(digits.c_str(), &end, 10);
  if (errno != 0 || end == digits.c_str() || *end != '\0' || v < 1 || v > 255) return false;
  *channel = static_cast<uint8_t>(v);
  return true;
}

}  // namespace

bool cDecoderCLI::addOptions(cLogReaderCLI& cli, cArgTable& table) {
  struct Pair {
    const char* on;
    const char* onHelp;
    const char* off;
    const char* offHelp;
    bool* target;
  };
  const Pair pairs[] = {
      {"concat", "concatenate output when possible (default)", "no-concat",
       "do not concatenate output", &cli.concat},
      {"pgn-src-merge", "merge PGN source addresses", "no-pgn-src-merge",
       "do not merge PGN source addresses (default)", &cli.pgnSrcMerge},
      {"pgn-dst-merge", "merge PGN destination addresses (default)", "no-pgn-dst-merge",
       "do not merge PGN destination addresses", &cli.pgnDstMerge},
      {"dbdump", "dump DBs as json (in working dir)", "no-dbdump",
       "do not dump DBs as json (default)", &dbDump_},
  };
  for (const Pair& p : pairs) {
    cArgOption* on = table.addFlag(0, p.on, p.onHelp);
    cArgOption* off = table.addFlag(0, p.off, p.offHelp);
    if (on == nullptr || off == nullptr) return false;
    on->target = p.target;
    on->targetValue = true;
    off->target = p.target;
    off->targetValue = false;
  }
  dbcCan_ = table.addWildcard("dbc-can*", "<n>=<file>", "path to CAN DBC file", 0, 99);
  dbcLin_ = table.addWildcard("dbc-lin*", "<n>=<file>", "path to LIN DBC file", 0, 99);
  return dbcCan_ != nullptr && dbcLin_ != nullptr;
}

bool cDecoderCLI::parseOptionsComplete(cLogReaderCLI& cli) {
  for (const cArgOption* option : {dbcCan_, dbcLin_}) {
    if (option != nullptr) {
      dbcArguments_.insert(dbcArguments_.end(), option->values.begin(), option->values.end());
    }
  }
  // A database named on the command line that does not load fails the run
  // (the others still convert); found ones are only reported.
  const bool named = !dbcArguments_.empty();
  if (!named) discoverDbcFiles();
  for (const std::string& argument : dbcArguments_) {
    zf_log_clear_first_error();
    if (loadDbc(cli, argument) || !named) continue;
    cli.startStatus |= kExitMissingInput;
    cli.unloadedDatabases.emplace_back(zf_log_first_error());
  }
  // The inspection mode shows what a card holds also without databases.
  if (cli.canDatabases.empty() && cli.linDatabases.empty() && !cli.info) {
    if (named)
      LOG_ERROR("No DBC files found: none of the databases given loaded");
    else
      LOG_ERROR("No DBC files found: give --dbc-can<n>=<file> or --dbc-lin<n>=<file>, or place "
                "can<n>-*.dbc or lin<n>-*.dbc files in the working directory");
    return false;
  }
  return true;
}

// "can1-engine.dbc" in the working directory stands for --dbc-can1=<its path>.
void cDecoderCLI::discoverDbcFiles() {
  std::string cwd;
  if (!cFS_os_getCwd(&cwd)) return;
  std::unique_ptr<cFS> fs = cFS_os_ctor(cwd);
  if (!fs) return;
  cFSListing entries;
  (void)fs->ls("", &entries);  // what cannot be read is not found (logged)
  for (const auto& [name, stat] : entries) {
    if (stat.type != cFSType::kFile || name.size() <= 3 || !endsWithDbc(name, true)) continue;
    size_t dash = name.find('-');
    if (dash == std::string::npos) continue;
    std::string argument = "dbc-" + name.substr(0, dash) + "=";
    fs->relativeToAbsolutePath(name, &argument);
    dbcArguments_.push_back(std::move(argument));
  }
}

bool cDecoderCLI::loadDbc(cLogReaderCLI& cli, const std::string& argument) {
  // The extension in any letter case: ".dbc", ".DBC".
  static const RE2 kPattern("^dbc-(can|lin)(\\d+)=(.+\\.(?i:dbc))$");
  std::string bus, digits, path;
  uint8_t channel = 0;
  if (!RE2::FullMatch(argument, kPattern, &bus, &digits, &path)) {
    LOG_ERROR("Invalid argument: %s: --dbc-can<n>=<file> or --dbc-lin<n>=<file> is expected, "
              "with a channel n and a file name ending in .dbc",
              argument.c_str());
    return false;
  }
  if (!parseChannel(digits, &channel)) {
    LOG_ERROR("Invalid argument: %s: the channel must be a number from 1 to 255",
              argument.c_str());
    return false;
  }
  errno = 0;
  std::unique_ptr<cIO> stream = cIO_file_open(path.c_str(), 0);
  if (!stream) {
    LOG_ERROR("Failed to open DBC file: %s: %s", path.c_str(),
              std::strerror(errno != 0 ? errno : EIO));
    return false;
  }
  std::unique_ptr<cDB> db = cDBC_dbc2db(stream.get());
  if (!db) {
    LOG_ERROR("Failed to load DBC file: %s", path.c_str());
    return false;
  }
  LOG_INFO("Successfully loaded DBC file: %s", path.c_str());
  if (dbDump_) dumpDb(*db, path);
  cDBMap& map = bus == "can" ? cli.canDatabases : cli.linDatabases;
  map[channel].push_back(std::move(db));
  (bus == "can" ? cli.canDatabaseFiles : cli.linDatabaseFiles)[channel].push_back(path);
  return true;
}

// Writes the database as JSON to "<file name without .dbc>.json" in the
// working directory.
void cDecoderCLI::dumpDb(const cDB& db, const std::string& path) {
  std::string_view name = cFS_getFileName(path);
  if (name.size() < 5 || !endsWithDbc(name, false)) {
    LOG_ERROR("Could not dump %s", path.c_str());
    return;
  }
  std::string dumpName(name.substr(0, name.size() - 3));
  dumpName += "json";
  LOG_INFO("Dumping DB %s to %s", path.c_str(), dumpName.c_str());
  std::string json;
  cDB_db2json(json, &db);
  std::unique_ptr<cIO> out = cIO_file_open(dumpName.c_str(), 1);
  if (!out) {
    LOG_ERROR("Could not open %s for output of DBC dump", dumpName.c_str());
    return;
  }
  int64_t size = static_cast<int64_t>(json.size());
  if (out->write(json.data(), size) != size || cIO_close(out) != 0) {
    LOG_ERROR("Could not write DBC dump to %s", dumpName.c_str());
  }
}

std::unique_ptr<cLogReaderCLI> cDecoderCLI_ctor() {
  std::unique_ptr<cLogReaderCLI> cli = cLogReaderCLI_ctor();
  if (cli) cli->setExtension(std::make_unique<cDecoderCLI>());
  return cli;
}
