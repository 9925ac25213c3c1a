// Program driver: parses the command line, builds the layer chain
// (transport protocols -> multiplexed transport -> decoder), runs the input
// walker over all inputs (or, with several workers or a shard, the worker
// pool of app/worker_pool.h; with a progress line when standard error is a
// terminal, app/progress.h), prints the statistics block with the processor
// time and then the closing summary (app/run_summary.h) on standard output,
// tears everything down and returns the exit status.
#pragma once

// The whole program.  Returns the exit status: the status left by option
// parsing when the conversion does not run, else the OR of the per-input
// result codes of the walker.
int lograven_main(int argc, char** argv);
