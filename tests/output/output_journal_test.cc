// The output journal as the next run finds it: what a killed run left is
// undone (new files removed, appended ones cut back, replaced ones restored),
// a committed input is finished (its set-aside copies dropped, its log file
// removed after "commit delete"), a cut last line is ignored, and a damaged
// journal stops the run with the tree untouched.
#include "output/output_journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "fs/fs.h"
#include "support/fault_fs.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

TEST(OutputJournal, TheNextRunFinishesOrUndoesWhatTheJournalRecords) {
  const struct {
    const char* name;
    std::string journal;  // "@" stands for the input log file's absolute path, "#" for it without its "/"
    FileTree before;      // below the output root
    FileTree after;
    bool recovered;
    bool inputRemoved;
  } cases[] = {
      {"new", "input @\nnew A/a.csv\n", {{"A/a.csv", "t\n1\n"}}, {}, true, false},
      {"append", "input @\nappend 4 A/a.csv\n", {{"A/a.csv", "t,V\n1,2\n"}}, {{"A/a.csv", "t,V\n"}}, true, false},
      {"replace", "input @\nreplace A/a.csv\n", {{"A/a.csv", "new\n"}, {"A/a.csv.rollback", "old\n"}},
       {{"A/a.csv", "old\n"}}, true, false},
      {"replace, committed", "input @\nreplace A/a.csv\ncommit\n",
       {{"A/a.csv", "new\n"}, {"A/a.csv.rollback", "old\n"}}, {{"A/a.csv", "new\n"}}, true, false},
      {"committed for deletion", "input @\nnew A/a.csv\ncommit delete\n", {{"A/a.csv", "t\n"}},
       {{"A/a.csv", "t\n"}}, true, true},
      // Only an input named by its absolute path is removed: "#" is relative to the root.
      {"a relative input", "input #\nnew A/a.csv\ncommit delete\n", {{"A/a.csv", "t\n"}}, {{"A/a.csv", "t\n"}}, true, false},
      // A journal that a commit could not remove goes on with the next input.
      {"records after a commit", "input @\nnew A/a.csv\ncommit delete\ninput @\nnew A/b.csv\n",
       {{"A/a.csv", "t\n"}, {"A/b.csv", "t\n"}}, {{"A/a.csv", "t\n"}}, true, false},
      {"a cut last line", "input @\nnew A/a.csv\nappend 4 A/b.csv",
       {{"A/a.csv", "1\n"}, {"A/b.csv", "t,V\n1,2\n"}}, {{"A/b.csv", "t,V\n1,2\n"}}, true, false},
      {"an unknown record, bare", "input @\nnew A/a.csv\nremove\n", {{"A/a.csv", "1\n"}},
       {{"A/a.csv", "1\n"}, {".lograven-journal", ""}}, false, false},
      {"a path through ..", "input @\nnew A/../b.csv\n", {{"A/a.csv", "1\n"}, {"b.csv", "2\n"}},
       {{"A/a.csv", "1\n"}, {"b.csv", "2\n"}, {".lograven-journal", ""}}, false, false},
      {"a NUL byte cutting the input's name", std::string("input @\0.mf4\nnew A/a.csv\ncommit delete\n", 39),
       {{"A/a.csv", "1\n"}}, {{"A/a.csv", "1\n"}, {".lograven-journal", ""}}, false, false},
      {"a length that is no number", "input @\nappend 4x A/a.csv\n", {{"A/a.csv", "t,V\n1,2\n"}},
       {{"A/a.csv", "t,V\n1,2\n"}, {".lograven-journal", ""}}, false, false},
  };
  for (const auto& c : cases)
    for (const std::string extension : {"MF4", "mfc", "MFE", "mfm", "csv"}) {  // logs, and a file no commit removes
      SCOPED_TRACE(std::string(c.name) + ", ." + extension);
      TempDir dir;
      const std::string input = dir / ("card/00000001." + extension);
      dir.write("card/00000001." + extension, "log");
      std::string journal = c.journal;
      for (size_t at; (at = journal.find_first_of("@#")) != std::string::npos;)
        journal.replace(at, 1, journal[at] == '@' ? input : input.substr(1));
      for (const auto& [path, text] : c.before) dir.write("out/" + path, text);
      dir.write("out/.lograven-journal", journal);
      FileTree expected = c.after;
      if (expected.contains(".lograven-journal")) expected[".lograven-journal"] = journal;
      const std::unique_ptr<cFS> fs = cFS_os_ctor(dir / "out");
      cOutputJournal recovering(fs.get());
      LogCapture log;
      EXPECT_EQ(recovering.recover(), c.recovered);
      EXPECT_EQ(readTree(dir / "out"), expected);
      EXPECT_EQ(dir.exists("card/00000001." + extension), !c.inputRemoved || extension == "csv");
      if (!c.recovered) {
        EXPECT_EQ(log.count("is damaged; remove it to convert into this folder anyway"), 1);
      }
    }
  // A journal that is no regular file is refused unread: opening a pipe would wait for a writer.
  TempDir dir;
  dir.mkdir("out");
  ASSERT_EQ(mkfifo((dir / "out/.lograven-journal").c_str(), 0600), 0);
  LogCapture log;
  EXPECT_FALSE(cOutputJournal(cFS_os_ctor(dir / "out").get()).recover());
  EXPECT_EQ(log.count("Could not read output journal " + dir / "out/.lograven-journal: not a regular file"), 1);
}

// A journal written by one process and left by its death (no commit, no
// rollback) is undone by the next; one left after a commit for deletion
// removes the input.  A rollback after the commit (an interrupt before the
// input's removal) undoes nothing and keeps the input.
TEST(OutputJournal, WhatAKilledRunWroteIsUndoneByTheNext) {
  for (const int stage : {0, 1, 2}) {  // killed while writing, after the commit, rolled back after it
    SCOPED_TRACE(stage);
    TempDir dir;
    dir.write("card/00000002.MF4", "log");
    dir.write("out/A/more.csv", "t,V\n");
    dir.write("out/A/old.csv", "old\n");
    const FileTree before = readTree(dir / "out");
    const std::unique_ptr<cFS> fs = cFS_os_ctor(dir / "out");
    LogCapture log;
    {
      cOutputJournal killed(fs.get());
      killed.begin(dir / "card/00000002.MF4");
      ASSERT_TRUE(killed.protect({{"A/new.csv"}, {"A/more.csv", true, 4}, {"A/old.csv"}}));
      dir.write("out/A/new.csv", "t\n1\n");
      dir.write("out/A/more.csv", "t,V\n1,2\n");
      dir.write("out/A/old.csv", "new\n");
      if (stage > 0) {
        ASSERT_TRUE(killed.commit(true));
      }
      EXPECT_TRUE(stage < 2 || killed.rollback());
    }
    cOutputJournal next(fs.get());
    EXPECT_TRUE(next.recover());
    if (stage > 0) {
      EXPECT_EQ(readTree(dir / "out"), (FileTree{{"A/more.csv", "t,V\n1,2\n"}, {"A/new.csv", "t\n1\n"}, {"A/old.csv", "new\n"}}));
      EXPECT_EQ(dir.exists("card/00000002.MF4"), stage == 2);
      EXPECT_EQ(log.count("Could not remove"), 0);  // the set-aside copy went at the commit
    } else {
      EXPECT_EQ(readTree(dir / "out"), before);
      EXPECT_EQ(log.count("Rolling back the unfinished output of " + dir / "card/00000002.MF4"), 1);
    }
  }
}

// A journal that cannot be written gives the system's reason once for the
// input, however often its files ask, and leaves no empty journal behind.
TEST(OutputJournal, AJournalThatCannotBeWrittenSaysWhyOnce) {
  for (const char* kind : {"open", "write"}) {
    SCOPED_TRACE(kind);
    TempDir dir;
    auto faults = std::make_shared<FaultLog>(dir.path());
    faults->failAt = {kind, ".lograven-journal", 1, ENOSPC};
    cFS fs(dir.path(), std::make_unique<FaultBackend>(faults));
    cOutputJournal journal(&fs);
    LogCapture log;
    journal.begin("/card/00000004.MF4");
    EXPECT_FALSE(journal.protect({{"A/a.csv"}}));
    faults->failAt.nth = faults->matches + 1;  // the next block of the file asks again
    EXPECT_FALSE(journal.protect({{"A/a.csv"}}));
    EXPECT_TRUE(journal.rollback());
    EXPECT_EQ(log.count("No space left on device"), 1);
    EXPECT_FALSE(dir.exists(".lograven-journal"));
  }
}

// A rollback that cannot undo a file says so and keeps the journal, so that
// the next run undoes it; one that can removes the journal and flushes that.
TEST(OutputJournal, ARollbackThatFailsKeepsTheJournalForTheNextRun) {
  for (const bool fails : {false, true}) {
    SCOPED_TRACE(fails ? "the cut fails" : "the cut works");
    TempDir dir;
    dir.write("A/a.csv", "t,V\n");
    auto faults = std::make_shared<FaultLog>(dir.path());
    if (fails) faults->failAt = {"truncate", "A/a.csv", 1, EIO};
    cFS fs(dir.path(), std::make_unique<FaultBackend>(faults));
    cOutputJournal journal(&fs);
    journal.begin("/card/00000003.MF4");
    ASSERT_TRUE(journal.protect({{"A/b.csv"}, {"A/a.csv", true, 4}}));
    dir.write("A/a.csv", "t,V\n1,2\n");
    dir.write("A/b.csv", "t\n");
    EXPECT_EQ(journal.rollback(), !fails);
    EXPECT_EQ(dir.exists(".lograven-journal"), fails);
    EXPECT_FALSE(dir.exists("A/b.csv"));
    if (!fails) {
      EXPECT_EQ(faults->ops.back(), "sync ") << "the journal's removal is flushed";
    } else {  // the next run cannot undo the file, or cannot remove the journal: it must not go on
      faults->failAt = {"truncate", "A/a.csv", faults->matches + 1, EIO};
      EXPECT_FALSE(cOutputJournal(&fs).recover());
      EXPECT_TRUE(dir.exists(".lograven-journal"));
      faults->failAt = {"rm", ".lograven-journal", faults->matches + 1, EACCES};
      EXPECT_FALSE(cOutputJournal(&fs).recover());
      EXPECT_TRUE(dir.exists(".lograven-journal"));
    }
  }
}

}  // namespace
