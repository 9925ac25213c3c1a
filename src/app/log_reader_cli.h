// The reader's command line: defines the options, lets an extension (the
// decoder options) add its own, parses argv, prints help, version or errors,
// sets the log level, loads the device passwords, reduces all inputs to paths
// relative to one common root folder and opens the input and output file
// systems.
//
// Exit statuses set by parse() (base/exit_status.h): kExitOk for help, no
// arguments or version; kExitNotFileOrFolder when the argument table could not
// be built or the folder of the inputs cannot be queried; kExitMissingValue,
// kExitInvalidArgument (an integer that is invalid or out of its range, such
// as a verbosity beyond 0 to 4 or -j 0, a --shard that is not K/N with
// 0 <= K < N, or an unexpected argument), kExitNoCommonRoot,
// and kExitOptionError for any other option error (messages printed to
// standard output, each prefixed "lograven: "), also an output directory that
// is not a usable folder ("Invalid output path: %s: <reason>"), --json without
// --info and an extension that cannot complete ("No DBC files found");
// kExitMissingInput ORed in when the folder of the inputs does not exist, or
// the password file (named, or the default one when it exists) does not open,
// cannot be read or is malformed ("Could not parse password file ...").  Every
// one of these stops the run before any input is converted and says why in
// one line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/arg_table.h"
#include "app/password_file.h"
#include "app/work_units.h"
#include "input/log_reader_options.h"
#include "db/db.h"
#include "fs/fs.h"

class cLogReaderCLI;

// Hooks for options beyond the reader's.  addOptions runs while the table is
// built (behind the password-file option) and returns false when it cannot
// add its options; parseOptionsComplete runs last in parse() and its result
// is parse()'s result (false sets kExitOptionError: the run does not start).
// The destructor releases whatever the extension loaded; it runs before the
// command-line object releases its own members.
class cLogReaderCLIExtension {
 public:
  virtual ~cLogReaderCLIExtension() = default;
  virtual bool addOptions(cLogReaderCLI& /*cli*/, cArgTable& /*table*/) { return true; }
  virtual bool parseOptionsComplete(cLogReaderCLI& /*cli*/) { return true; }
};

class cLogReaderCLI {
 public:
  cLogReaderCLI() = default;
  cLogReaderCLI(const cLogReaderCLI&) = delete;
  cLogReaderCLI& operator=(const cLogReaderCLI&) = delete;
  ~cLogReaderCLI();

  // Installs the extension (owned); call before parse().
  void setExtension(std::unique_ptr<cLogReaderCLIExtension> extension);

  // Parses the command line.  True means the conversion is to run; *status
  // receives the exit status when parsing decides it (see the file comment).
  // Call once.
  [[nodiscard]] bool parse(int argc, char** argv, int32_t* status);

  // Input file system rooted at `root`; null before a successful parse.
  cFS* inputFs() const { return inputFs_.get(); }
  // Output file system: rooted at the output directory, or the input file
  // system when none was given.  Null before a successful parse.
  cFS* outputFs() const { return outputFs_ ? outputFs_.get() : inputFs_.get(); }
  // Replaces the input file system by one with the same root over `backend`
  // (a test's read errors).  Call after a successful parse().
  void setInputBackend(std::unique_ptr<cFSBackend> backend) {
    inputFs_ = std::make_unique<cFS>(root, std::move(backend));
  }

  cLogReaderOptions options;
  std::string root;                          // common root, ends in "/"
  std::vector<std::string> inputs;           // relative to root after parse()
  // Exit status bits the run ends with whatever the inputs give (a database
  // named on the command line that did not load).
  int32_t startStatus = 0;
  // Why each database named on the command line did not load, for the
  // closing summary.
  std::vector<std::string> unloadedDatabases;
  std::vector<std::string> passwordFile;     // 0 or 1 normalised paths
  std::vector<std::string> outputDirectory;  // 0 or 1 paths, normalised once opened

  // Worker threads (-j, at least 1; default: the processors it may use) and the
  // shard of the work this process converts (--shard K/N; default 0 of 1).
  uint32_t jobs = 1;
  cShard shard;

  // Decoding settings, filled by the decoder extension: databases per bus
  // channel for CAN and LIN (in load order) and the output behaviour flags.
  cDBMap canDatabases;
  cDBMap linDatabases;
  // The DBC file of each database, in the same order as the maps above.
  std::unordered_map<uint8_t, std::vector<std::string>> canDatabaseFiles;
  std::unordered_map<uint8_t, std::vector<std::string>> linDatabaseFiles;
  bool concat = true;
  bool pgnSrcMerge = false;
  bool pgnDstMerge = true;

  // Inspection mode (--info): report what the inputs hold instead of
  // converting them; with --json as one JSON object per log file.  No output
  // folder is made or opened then.
  bool info = false;
  bool json = false;

 private:
  bool buildTable(cArgTable* table);
  void printUsage(const cArgTable& table) const;
  bool handleErrors(const cArgTable& table, int32_t* status) const;
  bool loadPasswords(int32_t* status);
  bool findCommonRoot(int32_t* status);
  bool openFileSystems(int32_t* status);

  std::unique_ptr<cLogReaderCLIExtension> extension_;
  std::unique_ptr<cFS> inputFs_;
  std::unique_ptr<cFS> outputFs_;  // null: same as inputFs_
  std::string outputProblem_;      // why the output folder could not be made
  std::string refusedShard_;       // a --shard value that is not K/N

  // Option handles into the table while parse() runs.
  struct Handles {
    cArgOption* help = nullptr;
    cArgOption* version = nullptr;
    cArgOption* verbosity = nullptr;
    cArgOption* nonInteractive = nullptr;
    cArgOption* deleteConverted = nullptr;
    cArgOption* noAppendRoot = nullptr;
    cArgOption* buffer = nullptr;
    cArgOption* utc = nullptr;
    cArgOption* jobs = nullptr;
  } handles_;
};

// A reader command-line object without extension (never null).
std::unique_ptr<cLogReaderCLI> cLogReaderCLI_ctor();

// Common root of absolute input paths: for each path, its prefix up to and
// including the last "/" before its last character (a trailing "/" is not
// counted), never the leading "/" alone.  Stores the one root in *root.
// False when a path has no such "/" (fatal "Could not find root for %.*s") or
// the paths disagree (fatal "No common root detected for all inputs").
bool cLogReaderCLI_commonRoot(const std::vector<std::string>& inputs, std::string* root);
