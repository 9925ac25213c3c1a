// Work units: how the log files of one run are split among worker threads
// (-j) and among processes or machines (--shard K/N) so that the result is
// the same as converting them one after another.
//
// A logger writes each logging session as split files whose rows continue
// one CSV file, so the files of a session must be converted in order by one
// worker; different devices and sessions never share an output file.  A unit
// is therefore a set of files, in walk order, that
//   - holds every file that continues the file before it in the walk (the
//     reader's continuation rule, which also takes in a session that goes on
//     in the next session number), and
//   - holds all files of one device folder and session (two serial numbers
//     that reduce to one device folder write the same files).
// A file whose identity cannot be read (damaged, no password) is a unit of
// its own: it fails as it would in any run.  A file that fails is read a
// second time first, so that a passing read error does not part it from its
// session; one that fails twice and reads when its unit converts is refused
// then, as it might belong to a session another worker or shard converts.
//
// Each file carries the identity the reader would compare it with in a run
// over all inputs (the last file before it that passed the identity check),
// so repeated files and continuations are judged as in that run.
//
// The identity (serial number, session, split) lies in the MDF file's
// metadata, so planning opens each file as a conversion would (unwrapping
// containers) without reading its records; the planning threads share the
// work.  A run with one file and no shards needs no identities.
//
// Shards: each file has a key, "<device folder>/<session>" of the session
// its chain of splits started in (the logger goes on in the next session
// number after every 256th split: session - (split - 1) / 256), or the last
// two parts of its path (device folder and name) when it has no identity.
// A unit's key is the smallest of its files', and its shard the 64-bit
// FNV-1a hash of that key modulo N.  That depends neither on the machine
// nor on the order of the inputs, nor on which files of other units are
// still there, so N processes with the same inputs split the work without
// overlap, also when shards that started earlier have deleted their
// converted inputs (-d).  A sharded plan
// leaves out a file that is gone before its identity could be read.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "input/log_reader.h"
#include "input/log_reader_options.h"
#include "input/unwrap_cache.h"

class cFS;

inline constexpr uint32_t kMaxJobs = 1024;

// The processors this process may use (see cProcessors_usable), at most kMaxJobs.
uint32_t cWorkUnits_defaultJobs();

// Shard `index` of `count` (--shard K/N); one shard is the whole work.
struct cShard {
  uint32_t index = 0;
  uint32_t count = 1;
  bool sharded() const { return count > 1; }
};

// "K/N" with decimal K and N, 0 <= K < N.  False, *out unchanged, otherwise.
bool cShard_parse(std::string_view text, cShard* out);
// The shard of a unit key among `count`.
uint32_t cShard_of(std::string_view key, uint32_t count);

// A log file's identity as far as the walk compares files.
struct cFileIdentity {
  std::string serialNumber;  // empty: unknown (or no file)
  uint32_t session = 0;
  uint32_t split = 0;
  bool known() const { return !serialNumber.empty(); }
};

// One accepted log file of the walk, its size and identity.
struct cProbedFile {
  std::string path;  // relative to the input root
  uint64_t size = 0;
  cFileIdentity identity;
  bool vanished = false;  // gone by the time its identity was to be read
  bool unread = false;    // its identity was to be read and could not be
};

struct cWorkFile {
  std::string path;
  cFileIdentity previous;  // what the reader compares the file with
  // Its identity could not be read while planning: it is a unit of its own,
  // which must not convert should the file read now (see cLogReader).
  bool unread = false;
};

struct cWorkUnit {
  std::vector<cWorkFile> files;  // in walk order
  std::string key;
  uint64_t bytes = 0;
  // Holds the last file of the walk with a known identity: the transport
  // sessions still open after it are the run's unfinished ones.
  bool holdsLast = false;
};

// Groups the files of one walk (in walk order) into units, in the order of
// their first files.
std::vector<cWorkUnit> cWorkUnits_group(const std::vector<cProbedFile>& files);

// Hands out a plan's units to the workers, each unit once.  A worker goes on
// with the device (the unit key's folder) of its last unit while that device
// has units left: the folders of a device's messages are then made by one
// worker, which finds them in its own list of folders made (another worker
// would look at each level again).  A worker that needs another device takes
// one no other worker converts, if any, the one whose largest unit left is
// the largest; of a device it always takes the largest unit left, so that a
// big unit does not start last and keep one worker busy alone at the end.
// Different workers thus convert different devices at the same time, whose
// files lie in different folders (files created in one folder at once wait
// for each other in the file system).  Safe to call from any thread.
class cUnitQueue {
 public:
  static constexpr size_t kNone = SIZE_MAX;

  explicit cUnitQueue(const std::vector<cWorkUnit>& units);

  // The index of the next unit for a worker whose last unit was `last`
  // (kNone at its start); kNone when every unit is handed out.
  size_t next(size_t last);

 private:
  struct Device {
    std::vector<size_t> units;  // largest first
    size_t taken = 0;           // units handed out
    uint32_t workers = 0;       // converting one of its units now
    bool left() const { return taken < units.size(); }
  };
  bool better(size_t a, size_t b) const;

  std::mutex mutex_;
  std::vector<uint64_t> bytes_;       // of each unit
  std::vector<size_t> deviceOf_;      // of each unit
  std::vector<Device> devices_;
};

struct cWorkPlan {
  std::vector<cWorkUnit> units;  // of this shard
  size_t allUnits = 0;           // of all shards
  int32_t walkStatus = 0;        // result codes of the walk itself (missing inputs, ...)
  std::vector<cInputFailure> walkFailures;  // the inputs the walk itself found failing
  bool interrupted = false;      // a signal stopped the planning
};

// One of `ways` readers' share of the read buffer (-b) and of the memory
// containers unwrap into (256 MB without -b), so that readers working at
// the same time stay within what one may use.
cLogReaderOptions cWorkUnits_share(const cLogReaderOptions& all, uint32_t ways);

// Walks `inputs` with the reader's rules (logging what the walk finds
// wrong), reads the files' identities with up to `threads` threads (each
// with its share of the memory) and keeps the units of `shard`.  Containers
// unwrapped for their identity are kept in `unwrapped` (may be null) for
// the conversion, those of this shard's units only.
cWorkPlan cWorkUnits_plan(cFS* inputFs, const cLogReaderOptions& options,
                          const std::vector<std::string>& inputs, uint32_t threads, cShard shard,
                          cUnwrapCache* unwrapped = nullptr);
