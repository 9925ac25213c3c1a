// Child processes for the end-to-end benchmark: runs a program with its
// standard output and error sent to files, measures wall time, processor
// time and peak resident memory (from wait4), and reads the statistics block
// that the converter prints.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Outcome of one child process.
struct cChildRun {
  int exitStatus = -1;    // the exit status, or -1 when the child did not exit normally
  double wallSeconds = 0;
  double cpuSeconds = 0;  // user + system time of the child
  uint64_t peakRssKiB = 0;
};

// Runs `argv[0]` (searched in PATH) with `argv` in the folder `cwd` (empty:
// the current one), standard output to `outPath` and standard error to
// `errPath` (empty: /dev/null).  None when the process cannot be started.
// The caller should hold little memory at this point: a forked child's peak
// resident memory starts at the parent's resident memory at fork time.
std::optional<cChildRun> runChild(const std::vector<std::string>& argv, const std::string& cwd,
                                  const std::string& outPath, const std::string& errPath);

// Runs `job` in a forked child process, so that whatever it allocates is
// returned to the system when it ends.  True when the job returned true.
bool runInChild(const std::function<bool()>& job);

// The counters of the converter's statistics block on standard output.
struct cConverterStats {
  uint64_t files = 0;         // reader: accepted input files
  uint64_t frames = 0;        // reader: messages handed to the layer chain
  uint64_t tpSuccessful = 0;  // transport protocol sessions
  uint64_t tpFailed = 0;
  uint64_t tpUnfinished = 0;
  uint64_t csvFiles = 0;  // writer: files
  uint64_t rows = 0;      // writer: messages
  uint64_t values = 0;    // writer: signals
};

// Parses the statistics block in `text`.  None when a block is missing.
std::optional<cConverterStats> parseConverterStats(const std::string& text);

// The whole content of a file; empty when it cannot be read.
std::string readWholeFile(const std::string& path);

// Total size in bytes of the regular files below `folder`.
uint64_t folderBytes(const std::string& folder);
