// The inspection mode (--info): walks the inputs like a conversion (folders,
// containers, passwords, damaged files) but decodes and writes nothing; each
// log file's report goes to standard output as it is finished, as text or,
// with --json, as one JSON object per line.  No statistics block.
#pragma once

#include <cstdint>

class cLogReaderCLI;

// Runs the inspection over the parsed command line's inputs.  Returns the exit
// status a conversion of the same inputs would end with.
int32_t cInfoMode_run(cLogReaderCLI& cli);
