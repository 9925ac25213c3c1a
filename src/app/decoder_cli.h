// Decoder options: the reader's command line extended with the output flags
// of the decoder layer and the DBC databases, one list per bus channel for
// CAN and for LIN.
//
// Options (no short names): --concat / --no-concat, --pgn-src-merge /
// --no-pgn-src-merge, --pgn-dst-merge / --no-pgn-dst-merge, --dbdump /
// --no-dbdump (when both of a pair are given, the "no-" option wins), and
// --dbc-can<n>=<file> / --dbc-lin<n>=<file>, also with the file as the next
// argument (0 to 99 times each).  Without any DBC option, the files
// "<bus><n>-<anything>.dbc" of the working directory are used.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/log_reader_cli.h"

class cDecoderCLI final : public cLogReaderCLIExtension {
 public:
  bool addOptions(cLogReaderCLI& cli, cArgTable& table) override;
  // Loads the databases into cli.canDatabases / cli.linDatabases (and dumps
  // them as JSON with --dbdump).  False ("No DBC files found: " and a hint)
  // when none loaded; failing arguments are logged and skipped.
  bool parseOptionsComplete(cLogReaderCLI& cli) override;

 private:
  void discoverDbcFiles();
  // False (logged, saying what is expected or the system's reason) when the
  // argument is malformed or the file does not open or load.
  bool loadDbc(cLogReaderCLI& cli, const std::string& argument);
  static void dumpDb(const cDB& db, const std::string& path);

  cArgOption* dbcCan_ = nullptr;
  cArgOption* dbcLin_ = nullptr;
  std::vector<std::string> dbcArguments_;
  bool dbDump_ = false;
};

// A command-line object with the decoder options installed (never null).
std::unique_ptr<cLogReaderCLI> cDecoderCLI_ctor();
