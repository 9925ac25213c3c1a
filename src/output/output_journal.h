// The output journal: what the unfinished input has changed in the output
// tree, so that its rows can be taken back whatever happens to the process.
//
// Each input is one transaction.  Before the first byte of an input reaches a
// CSV file, the journal records the file's state and is flushed to stable
// storage; only then is the file written.  The journal is the text file
// ".lograven-journal" in the output root (or another name given to it), one
// line per record:
//
//   input <path>             the input being converted (for messages)
//   new <file>               the file did not exist: rollback removes it
//   append <length> <file>   the file had <length> bytes: rollback cuts it
//   replace <file>           the file, from an earlier run, is rewritten: it
//                            was renamed to <file>.rollback, and rollback
//                            renames it back
//   commit                   the input is done: the .rollback copies go
//   commit delete            the same, and the input (its path as given to
//                            begin(), absolute) is to be deleted
//
// <file> is relative to the output root.  A commit for an input that is to be
// deleted flushes the written files and their folders first, and the journal
// stays, with "commit delete", until the input is gone (finish()).  Otherwise
// the journal goes at once.  A run that starts with records left over (a
// killed process, a power loss) rolls them back, or after "commit" finishes
// the commit (removing the input after "commit delete"), before it converts
// anything.  The journal file exists only while records are pending.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "io/io.h"

class cFS;

inline constexpr std::string_view kOutputJournalName = ".lograven-journal";
inline constexpr std::string_view kOutputBackupSuffix = ".rollback";

class cOutputJournal {
 public:
  // `fs` is the output tree (borrowed, must outlive the journal; null: no
  // journal, every operation succeeds and does nothing).  `name` is the
  // journal's file name in the output root (empty: kOutputJournalName);
  // writers that convert into one folder at the same time each keep their
  // own (output/output_journals.h).
  explicit cOutputJournal(const cFS* fs, std::string name = {});
  cOutputJournal(const cOutputJournal&) = delete;
  cOutputJournal& operator=(const cOutputJournal&) = delete;
  ~cOutputJournal();

  // Undoes what an earlier run left pending (logged as a warning naming its
  // input) and removes the journal.  False, logged, when the journal exists
  // but cannot be read or the tree cannot be restored.
  [[nodiscard]] bool recover();

  // Names the input of the records that follow (written with the first one):
  // its absolute path.
  void begin(std::string_view inputPath);

  // A file about to be written: `appendTo` says this run wrote it before (its
  // rows continue), else it is a file of its own that replaces any file of an
  // earlier run.  `knownSize` (appended files only, -1 when unknown) is the
  // file's length as the writer that alone wrote it counted it: the file
  // system is then not asked.  `knownMissing` says the file cannot exist yet
  // (this run made its folder and has not written it): it is recorded as new
  // without asking either.
  struct File {
    std::string path;  // relative to the output root, with ".csv"
    bool appendTo = false;
    int64_t knownSize = -1;
    bool knownMissing = false;
  };
  // Records the state of `files`, flushes the journal, then moves replaced
  // files aside.  False (logged with the path and the reason) when any step
  // fails; the files must then not be written.
  [[nodiscard]] bool protect(const std::vector<File>& files);

  // Makes the recorded files final.  With `forDeletion` their data and the
  // folders that gained entries are flushed to stable storage first and the
  // journal stays until finish().  False (logged) when a step fails before
  // the commit is recorded: rollback() is then still possible.
  [[nodiscard]] bool commit(bool forDeletion);
  // After a commit for deletion, once the input is gone: removes the journal
  // (and flushes that).
  void finish();
  // Restores every recorded file (in reverse order) and removes the journal.
  // False, logged, when a step fails; the records then stay for the next run.
  bool rollback();

  // True while records are pending.
  bool pending() const { return !records_.empty(); }

 private:
  enum class Kind { kNew, kAppend, kReplace };
  struct Record {
    Kind kind;
    uint64_t length;
    std::string path;
  };

  bool append(const std::string& text, bool sync);
  bool clear(bool sync);
  bool undo(const Record& record) const;
  void removeEmptyFolders(std::string_view path) const;
  bool syncWritten() const;
  bool dropBackups() const;
  struct Parsed {
    std::vector<Record> records;
    bool committed = false;
    bool deleteInput = false;
    std::string input;
  };
  static bool parse(std::string_view text, Parsed* out);
  void removeCommittedInput(const std::string& input) const;

  const cFS* fs_;
  std::string name_;
  std::unique_ptr<cIO> file_;  // open for appending while records are pending
  bool rootSynced_ = false;    // the journal's folder entry is on disk
  std::string input_;
  bool inputWritten_ = false;
  bool failureLogged_ = false;  // for the current input
  bool committed_ = false;  // "commit delete" recorded, finish() pending
  std::vector<Record> records_;
};
