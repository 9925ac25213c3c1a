// The parallel conversion (-j N above 1, or --shard K/N): recovers the output
// journals this run owns (output/output_journals.h), plans the work units
// (app/work_units.h) and converts them with a pool of worker threads, each
// with its own conversion chain and output journal.
//
// The result equals that of one thread converting the inputs in turn: every
// unit is converted in walk order by one worker, units never share an
// output file, and the statistics are the sums of the workers' (the
// unfinished transport sessions are those left after the last file).  Log
// lines of different units may come in any order; each line stays whole.
//
// When there are at most half as many units as workers allowed (one large
// log with -j 2), each worker's rows are formatted and written by a thread
// of their own (output/row_thread.h): a two-stage pipeline per file, the
// worker reading and decoding, the other thread writing.
//
// The budget of one process is shared: each worker may keep the open-file
// limit divided by the workers open, and reads through its share of the
// read buffer (-b) and of the memory containers unwrap into.
//
// Interruption stops every worker at its next frame; each rolls back its
// unfinished input, no further unit starts, and the run ends interrupted.
#pragma once

#include <cstdint>

#include "app/log_reader_cli.h"
#include "app/run_counts.h"
#include "app/run_summary.h"

struct cPoolRun {
  int32_t status = 0;  // OR of all result codes, or the status that stopped the run
  bool started = false;  // the conversion ran (false: stopped before it, nothing to print)
  bool interrupted = false;
  cRunCounts counts;
  cRunReport report;  // for the closing summary
};

// Converts the inputs of a parsed command line with cli.jobs workers and
// cli.shard.
cPoolRun cWorkerPool_convert(const cLogReaderCLI& cli);
