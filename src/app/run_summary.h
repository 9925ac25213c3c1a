// Closing summary, printed on standard output after the statistics block.
// It points at what went wrong:
//
//   Databases not loaded
//   - Failed to open DBC file: /dbc/body.dbc: No such file or directory
//   -------------------------------------------------------------------------------
//   Failed inputs
//   - /card/LOG/0001/00000002.MFE: No password found for device 0A1B2C3D
//   -------------------------------------------------------------------------------
//   Bus channels
//   - CAN1: 13110 frames read, 0 decoded
//   - CAN2: 0 frames read, 0 decoded
//   Warning: no database for CAN1: 13110 frames not decoded; databases are given for CAN2
//     most frequent identifiers on CAN1: 0x100 (6555), 0x18FEF100 (6555)
//   Warning: body.dbc for CAN2 decoded nothing: no frames were read on CAN2; frames were read on CAN1
//   -------------------------------------------------------------------------------
//
// "Databases not loaded" appears only when a database named on the command
// line did not load, with the error logged for it; "Failed inputs" only when
// an input failed: each with the first error logged for it.  "Bus channels"
// lists every channel that had frames or has a database: frames read
// (cLogReader::channelFrames) and messages decoded (cDecodeTally, which says
// what counts as decoded).  Warnings follow: a channel whose frames reached
// no database, and a database that decoded nothing on its channel, each with
// the most frequent identifiers no database knew (at most five, frame counts
// in parentheses) and where the frames or the databases are.  When the
// inputs held no log file at all (and none failed), one warning says so
// instead; a shard that had none of the work units says nothing more than
// its log line.
#pragma once

#include <string>
#include <vector>

#include "app/log_reader_cli.h"
#include "input/log_reader.h"
#include "output/decode_tally.h"

// What the summary is made of: one reader's and decoder's, or the sums of
// several workers' (failures in path order, so that any number of workers
// gives the same text).
struct cRunReport {
  uint64_t files = 0;  // log files accepted
  std::vector<cInputFailure> failures;
  cBusChannelCounts channelFrames;
  cDecodeTally tally;

  // Adds what a reader and its decoder's tally saw.
  void add(const cLogReader& reader, const cDecodeTally& decoded);
  void addFailures(const std::vector<cInputFailure>& more);
};

std::string cRunSummary_text(const cRunReport& report, const cLogReaderCLI& cli);
