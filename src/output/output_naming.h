// Output file naming: which CSV file a decoded message goes to.
//
// Every decoded message belongs to a signal set: the device, the message's
// identity (name, bus kind, channel, key and, for J1939, its addresses unless
// merged) and the names of its decoded signals in order.  Each signal set of a
// day has its own CSV file, found by the exact bytes of that description (no
// digest: two different sets never share a writer).
//
// Path layout, relative to the output folder:
//
//   <device><suffix>/<CAN|LIN><channel>_<message>[_<mux>_M<from>...][_S<sa>][_D<da>]
//     /<yyyy>/<mm>/<dd>/<session:08>_<split:08>.csv
//
// e.g. 0A1B2C3D_out/CAN1_EEC1_S00/2024/03/05/00000012_00000003.csv.  Names pass
// through string2Path (ASCII letters and digits only); <mux>_M<from> is added
// per decoded multiplexor with the start of its range in upper-case hex (at
// least two digits); _S/_D appear for J1939 addresses unless merged.
//
// Several signal sets on one path.  A message decoded completely and the same
// message decoded only in part, names that differ only in dropped characters,
// or one message name with different signals in two databases all map to one
// path.  The first signal set to reach a path in a run gets the plain name;
// each further, different set gets the same name with "_2", "_3", ... added
// before ".csv" (00000012_00000003_2.csv), in order of first appearance.  So a
// file only ever holds rows of one signal set and one header.  A signal set
// that comes back to a path it already wrote this run (after its writer was
// closed: a clock that jumps back over midnight, two serial numbers that
// reduce to one device folder) appends to its file without a second header; a
// file from an earlier run is overwritten when first reached.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "db/db.h"
#include "output/csv_writer.h"
#include "output/output_journal.h"

class cFS;

// Identity of a message as decoded with one database.
struct cMessageIdentity {
  uint64_t nameHash = 0;  // hash of the database message's name
  uint32_t type = 0;      // cBusMsgType of the frame
  uint8_t channel = 0;
  uint32_t key = 0;  // message key in the database
  uint8_t sourceAddress = 0;
  uint8_t hasSourceAddress = 0;
  uint8_t destinationAddress = 0;
  uint8_t hasDestinationAddress = 0;

  bool operator==(const cMessageIdentity&) const = default;
};

// Where the files of the current messages go: everything of a path besides
// the message itself.
struct cOutputNaming {
  std::string deviceId;      // string2Path of the serial number, at most 15 bytes
  std::string folderSuffix;  // "_out" or empty
  bool pgnSrcMerge = false;  // J1939 source addresses share one file
  bool pgnDstMerge = true;   // J1939 destination addresses share one file
  int year = 0;
  int month = 0;
  int day = 0;
  uint32_t session = 0;
  uint32_t split = 0;
};

// The ASCII letters and digits of `text`, in order.  The text is walked by
// UTF-8 sequences (lead byte < 0x80: 1 byte, < 0xE0: 2, < 0xF0: 3, else 4);
// multi-byte sequences are dropped and a sequence cut short ends the walk.
std::string string2Path(std::string_view text);
// The same, appended to *out.
void string2Path_append(std::string_view text, std::string* out);

// The device folder of a serial number (without suffix): string2Path of it,
// at most 15 bytes.
std::string cOutputNaming_deviceId(std::string_view serialNumber);

// Replaces *out by the exact description of the signal set: the device id
// (15 bytes, zero-filled), the identity (addresses zeroed where merged) and
// the 32-bit name hash of every decoded signal, ignored ones included, each
// with whether it is ignored.  Reuses the capacity of *out.
void cSignalSetKey_build(const cOutputNaming& naming, const cMessageIdentity& identity,
                         const cDBDecodedMessage& decoded, std::string* out);

// Replaces *out by the output path of the signal set, relative to the output
// folder and without ".csv" (the plain name, see above).
void cOutputPath_build(const cOutputNaming& naming, const cMessageIdentity& identity,
                       const cDBDecodedMessage& decoded, std::string* out);

// The open writers of a decoder, by signal-set key, and the files this run has
// written.  Keeps at most `maxOpenFiles` files open at once (see cCsvFilePool).
//
// The rows of one input are a transaction (output/output_journal.h): before a
// writer's first block of the input reaches its file, the files of all
// writers with rows waiting are recorded in the journal at once (one flush of
// the journal for many files); commit() makes the input's rows final and
// rollback() takes them back, in the files and in what the set remembers.
class cWriterSet final : private cCsvOpenGate {
 public:
  // `outputFs` (borrowed, must outlive the set) is where the files and the
  // journal go; `journalName` names the journal (empty: the default name).
  cWriterSet(size_t maxOpenFiles, const cFS& outputFs, std::string journalName = {});
  cWriterSet(const cWriterSet&) = delete;
  cWriterSet& operator=(const cWriterSet&) = delete;
  // Commits what is pending and closes every writer.
  ~cWriterSet() override;

  // The open writer of the key, or null.  Allocates nothing.
  cCsvWriter* find(const std::string& key) const;

  // Opens the writer of a signal set that has none (see the file comment for
  // the file name) and stores it under `key`.  `relativePath` is the plain
  // path without ".csv"; its folders are created.  Null when they cannot be:
  // error "Could not create output writer" (logged once per path) and the
  // input fails.
  cCsvWriter* create(const std::string& key, std::string_view relativePath,
                     std::span<const std::string_view> columns);

  // Closes every open writer (their rows go to the files).  False when any of
  // them had a write error.
  bool closeAll();
  // True once any writer of this set failed to be created or to write.
  bool hadWriteError() const { return writeError_; }
  // Changes whenever writers are closed and forgotten: a writer found earlier
  // is still the one of its key while the generation is the same.
  uint64_t generation() const { return generation_; }

  // Repairs what an earlier run left unfinished (cOutputJournal::recover).
  [[nodiscard]] bool recover() { return journal_.recover(); }
  // Names the input of the transaction (absolute path).
  void begin(std::string_view inputPath) { journal_.begin(inputPath); }
  // Hands every pending row to its file and makes the input's rows final
  // (see cOutputJournal::commit).  The files stay open for the session's
  // next input unless closing them may report a write error (see
  // cFS::closeReportsWriteErrors): then they are closed first, so that such
  // an error fails this input.  False, with nothing made final, when
  // anything of the input failed (a file not created or not written, the
  // journal): the caller then rolls back.
  [[nodiscard]] bool commit(bool forDeletion);
  // After a commit for deletion, once the input is gone.
  void finish() { journal_.finish(); }
  // The split number of the input being converted; its rows may continue
  // the files of an earlier split of its session.
  void setInputSplit(uint32_t split) { inputSplit_ = split; }
  // Drops the pending rows, closes every writer and restores every file the
  // input wrote; the names the input claimed are free again.
  void rollback();

  // Scratch buffers for the per-row lookup, reused so that rows allocate nothing.
  std::string keyBuffer;
  std::string pathBuffer;
  std::vector<std::string_view> columnBuffer;

 private:
  bool clearForWriting(cCsvWriter& writer) override;
  // Adds to `files` the file an earlier run wrote under the input's own
  // split number beside `path`, when this run continues the input's rows in
  // the file of an earlier split: that run did not continue (a split before
  // failed then), and its rows are written again now.  Replaced and never
  // written again, the file goes with the commit.  Not a path this run
  // wrote (two devices of one folder).
  void addEarlierSplitFile(const std::string& path, std::vector<cOutputJournal::File>& files);
  // Makes `folder` (relative, ending in "/") and its parents unless this set
  // made them before; false (errno set) when that fails.
  bool makeFolder(const std::string& folder);
  void failed() { writeError_ = failedInInput_ = true; }

  const cFS& fs_;
  cOutputJournal journal_;
  cCsvFilePool pool_;
  std::unordered_map<std::string, std::unique_ptr<cCsvWriter>> writers_;
  // Plain path -> keys of the signal sets that wrote it, in order of the
  // variant they got ("", "_2", "_3", ...).
  std::unordered_map<std::string, std::vector<std::string>> written_;
  // Claims of the current input, to forget on rollback: plain path and the
  // number of keys it had before.
  std::vector<std::pair<std::string, size_t>> claimsBefore_;
  // Paths the journal holds a record of for the current input: a writer
  // made again for one of them (the messages' day went back and forth) needs
  // no second record, which would cost a sync per row.
  std::unordered_set<std::string> protectedInInput_;
  std::unordered_set<std::string> failedPaths_;  // reported once each
  uint32_t inputSplit_ = 0;
  // Folders this set made or found, with their parents: a writer of the
  // same folder needs no file-system call to know it exists (a writer whose
  // folder went away after all makes it again when it opens its file).
  std::unordered_set<std::string> madeFolders_;
  // Of those, the folders this set found missing and made.  No other writer
  // set writes a file of this set's, so a file in one of them that this set
  // has not written does not exist yet: the journal records it as new
  // without a stat (one system call less for nearly every file of a card).
  // Forgotten, with madeFolders_, on rollback.
  std::unordered_set<std::string> createdFolders_;
  bool writeError_ = false;
  bool failedInInput_ = false;
  uint64_t generation_ = 1;
  int8_t closeAtCommit_ = -1;  // 1 close, 0 keep open, -1 not asked yet
};

// The writer of the signal set of `decoded`, made with `identity`: found by
// its key, or else created under its path (and *filesCounter increased).
// Null when it cannot be created (the caller drops the row).
cCsvWriter* signalSet2Writer(cWriterSet& writers, const cOutputNaming& naming,
                             const cMessageIdentity& identity, const cDBDecodedMessage& decoded,
                             uint64_t* filesCounter);

// Half of the process's open-file limit (SIZE_MAX when there is none): the
// CSV files' share.
size_t cWriterSet_halfOpenFileLimit();
// Open-file limit for a decoder: a few hundred, less when the process may open
// fewer files.
size_t cWriterSet_defaultMaxOpenFiles();
