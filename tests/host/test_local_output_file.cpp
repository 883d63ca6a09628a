#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>


#include <cstdlib>

#include "host/local_output_file.h"
#include "host/pending_durability.h"
#include "support/temp_dir.h"

using namespace quodra::host;
using quodra::test::ReadFile;
using quodra::test::TTempDir;
using quodra::test::WriteFile;

namespace {

int EntriesIn(const std::string& folder) { return static_cast<int>(quodra::test::FolderNames(folder).size()); }

}  // namespace

// Every mode, committed or rolled back: the destination holds either its old bytes or the
// whole new result, and no temporary file is left in the folder. Each row runs once more with
// the sync started ahead between the writes (the bytes after it must count too); a replaced
// file keeps its mode either way.
TEST(LocalOutputFile, CommitOrRollbackLeavesOldOrWhole) {
  using M = TLocalOutputFile::TMode;
  struct Row {
    const char* name;
    M mode;
    const char* before;  // nullptr: no destination yet
    uint64_t offset;
    bool commit;
    const char* after;  // nullptr: still absent
  };
  const Row rows[] = {
      {"append commit", M::Append, "old", 0, true, "oldNEW"},
      {"append rollback", M::Append, "old", 0, false, "old"},
      {"append new rollback", M::Append, nullptr, 0, false, nullptr},  // no empty file left
      {"replace commit", M::Replace, "old-longer", 0, true, "NEW"},
      {"replace rollback", M::Replace, "old", 0, false, "old"},
      {"replace new commit", M::Replace, nullptr, 0, true, "NEW"},
      {"replace new rollback", M::Replace, nullptr, 0, false, nullptr},
      {"write-at commit", M::WriteAt, "0123456789", 4, true, "0123NEW789"},
      {"write-at rollback", M::WriteAt, "0123", 4, false, "0123"},
  };
  for (const Row& r : rows) {
    for (bool ahead : {false, true}) {
      SCOPED_TRACE(std::string(r.name) + (ahead ? ", synced ahead" : ""));
      TTempDir dir;
      std::string dest = dir.File("dest.txt");
      if (r.before) {
        WriteFile(dest, r.before);
        ::chmod(dest.c_str(), 0640);
      }
      TLocalOutputFile out;
      ASSERT_EQ(out.Open(dest, r.mode, r.offset), 0);
      ASSERT_EQ(out.Write("NE", 2), 0);
      if (ahead) out.SyncAhead();
      ASSERT_EQ(out.Write("W", 1), 0);
      if (ahead) out.SyncAhead();
      if (r.mode == M::Replace) {
        EXPECT_EQ(ReadFile(dest), r.before ? r.before : "");  // untouched so far
      }
      if (r.commit) {
        ASSERT_EQ(out.Commit(), 0);
      } else {
        ASSERT_EQ(out.Rollback(), 0);
      }
      EXPECT_FALSE(out.IsOpen());
      struct stat st {};
      if (r.after) {
        EXPECT_EQ(ReadFile(dest), r.after);
        EXPECT_EQ(EntriesIn(dir.File("")), 1);
        ASSERT_EQ(::stat(dest.c_str(), &st), 0);
        if (r.before) {
          EXPECT_EQ(st.st_mode & 0777, 0640u);
        }
      } else {
        EXPECT_NE(::access(dest.c_str(), F_OK), 0);
        EXPECT_EQ(EntriesIn(dir.File("")), 0);
      }
    }
  }
}

// An append that wrote nothing (its lock was refused, say) takes nothing back: the bytes
// another program appended meanwhile stay.
TEST(LocalOutputFile, RollbackOfNothingWrittenKeepsOtherWritersBytes) {
  TTempDir dir;
  std::string dest = dir.File("dest.txt");
  WriteFile(dest, "old");
  TLocalOutputFile out;
  ASSERT_EQ(out.Open(dest, TLocalOutputFile::TMode::Append), 0);
  int other = ::open(dest.c_str(), O_WRONLY | O_APPEND);
  ASSERT_EQ(::write(other, "+theirs", 7), 7);
  ::close(other);
  ASSERT_EQ(out.Rollback(), 0);
  EXPECT_EQ(ReadFile(dest), "old+theirs");
}

TEST(LocalOutputFile, DestructorRollsBackAndReplaceKeepsLinksAndMode) {
  TTempDir dir;
  std::string dest = dir.File("d");
  WriteFile(dest, "keep");
  {
    TLocalOutputFile out;
    ASSERT_EQ(out.Open(dest, TLocalOutputFile::TMode::Append), 0);
    ASSERT_EQ(out.Write("lost", 4), 0);
  }
  EXPECT_EQ(ReadFile(dest), "keep");

  // Replacing through a link writes the link's target and leaves the link in place.
  ::chmod(dest.c_str(), 0640);
  std::string link = dir.File("link");
  ASSERT_EQ(::symlink("d", link.c_str()), 0);
  TLocalOutputFile out;
  ASSERT_EQ(out.Open(link, TLocalOutputFile::TMode::Replace), 0);
  ASSERT_EQ(out.Write("fresh", 5), 0);
  ASSERT_EQ(out.Commit(), 0);
  struct stat st {};
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::stat(dest.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(ReadFile(dest), "fresh");
}

TEST(LocalOutputFile, UniqueFilesAreNewPrivateAndDistinct) {
  TTempDir dir;
  std::string a, b;
  int fa = CreateUniqueFile(dir.File(""), "x", a);
  int fb = CreateUniqueFile(dir.File(""), "x", b);
  ASSERT_GE(fa, 0);
  ASSERT_GE(fb, 0);
  EXPECT_NE(a, b);
  struct stat st {};
  ASSERT_EQ(::fstat(fa, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ::close(fa);
  ::close(fb);
  EXPECT_LT(CreateUniqueFile(dir.File("missing/"), "x", a), 0);
}

// A write that hits the file-size limit (as on a full disk) fails, and the rollback cuts the
// destination back to its old bytes. Run in a child: the limit is per process.
TEST(LocalOutputFile, FailedWriteOnFullDiskRollsBack) {
  TTempDir dir;
  std::string dest = dir.File("big");
  WriteFile(dest, std::string(1000, 'o'));
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    TLocalOutputFile out;
    if (out.Open(dest, TLocalOutputFile::TMode::Append) != 0) ::_exit(2);
    std::string chunk(8192, 'n');
    if (out.Write(chunk.data(), chunk.size()) == 0) ::_exit(3);
    ::_exit(out.Rollback() == 0 ? 0 : 4);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFile(dest), std::string(1000, 'o'));
}

// Destinations whose names leave no room for the hidden names beside them: those get a
// shortened name, so both modes stage as any other name does and end old or whole, with
// nothing left beside them.
TEST(LocalOutputFile, NamesNearTheLengthLimit) {
  using M = TLocalOutputFile::TMode;
  for (size_t length : {size_t{235}, size_t{240}, size_t{250}, size_t{255}}) {
    for (M mode : {M::Append, M::Replace}) {
      for (bool commit : {true, false}) {
        SCOPED_TRACE(std::to_string(length) + (mode == M::Append ? " append" : " replace") +
                     (commit ? " commit" : " rollback"));
        TTempDir dir;
        std::string dest = dir.File(std::string(length, 'n'));
        WriteFile(dest, "old");
        TLocalOutputFile out;
        ASSERT_EQ(out.Open(dest, mode), 0);
        EXPECT_NE(out.WritePath(), dest);  // staged, not written in place
        ASSERT_EQ(out.Write("NEW", 3), 0);
        ASSERT_EQ(commit ? out.Commit() : out.Rollback(), 0);
        EXPECT_EQ(ReadFile(dest), commit ? (mode == M::Append ? "oldNEW" : "NEW") : "old");
        EXPECT_EQ(EntriesIn(dir.File("")), 1);
      }
    }
  }
}

// Which commits are synced later with the run's other files, and that one flush leaves
// nothing owed, however many files and wherever they went. Only a replacement may wait: an
// append (its journal), a write in place and every Now commit are durable when they return.
TEST(LocalOutputFile, OnlyReplacementsWaitForTheFlushAndOneFlushPaysAll) {
  using M = TLocalOutputFile::TMode;
  using D = TLocalOutputFile::TDurability;
  struct Row {
    const char* name;
    M mode;
    D durability;
    int files;            // written one after the other in one folder
    bool removeFolder;    // the folder is gone before the flush
    bool waits;           // the files are in the ledger until the flush
  };
  const Row rows[] = {
      {"replace, synced now", M::Replace, D::Now, 1, false, false},
      {"replace, synced later", M::Replace, D::Later, 1, false, true},
      {"append asked to wait keeps its own sync", M::Append, D::Later, 1, false, false},
      {"write in place asked to wait keeps its own sync", M::WriteAt, D::Later, 1, false, false},
      {"many replacements, one sync of the file system", M::Replace, D::Later, 9, false, true},
      {"a folder removed before the flush is no failure", M::Replace, D::Later, 2, true, true},
      {"many in a removed folder", M::Replace, D::Later, 9, true, true},
  };
  ASSERT_EQ(TPendingDurability::Flush(), 0);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TTempDir dir;
    const std::string folder = dir.File("out");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const uint64_t added = TPendingDurability::Added;
    for (int i = 0; i < r.files; ++i) {
      const std::string dest = folder + "/f" + std::to_string(i);
      WriteFile(dest, "old");
      TLocalOutputFile out;
      ASSERT_EQ(out.Open(dest, r.mode, 1), 0);
      ASSERT_EQ(out.Write("new", 3), 0);
      ASSERT_EQ(out.Commit(r.durability), 0);
      const std::string expect = r.mode == M::Replace ? "new" : r.mode == M::Append ? "oldnew" : "onew";
      EXPECT_EQ(ReadFile(dest), expect);  // in place at once, whether synced or not
    }
    EXPECT_EQ(EntriesIn(folder), r.files);  // no partial left behind either way
    EXPECT_EQ(TPendingDurability::Added - added, r.waits ? uint64_t(r.files) : 0u);
    EXPECT_EQ(TPendingDurability::Pending(), r.waits ? size_t(r.files) : 0u);
    if (r.removeFolder) {
      ASSERT_EQ(std::system(("rm -rf '" + folder + "'").c_str()), 0);
    }
    EXPECT_EQ(TPendingDurability::Flush(), 0);
    EXPECT_EQ(TPendingDurability::Pending(), 0u);
  }
}

// Copying from another file through the kernel: every byte in passes, and a failure is put on
// the side it belongs to, so that the copy job tells a read error from a full disk. Each row
// runs in a child (the size limit is per process) and answers with its exit status.
TEST(LocalOutputFile, WriteFromCopiesEveryByteAndTellsWhichSideFailed) {
  enum TSource { kFile, kFolder };
  const struct {
    const char* Name;
    TSource Source;
    rlim_t SizeLimit;  // of the writing process; 0: none
    bool Ok;
    bool ReadFailed;
  } rows[] = {
      {"a source of several passes", kFile, 0, true, false},
      {"a source that cannot be read", kFolder, 0, false, true},
      {"a destination past its size limit", kFile, 4096, false, false},
  };
  const std::string payload = quodra::test::PatternBytes(3 * 1024 * 1024 + 17, 5);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Name);
    TTempDir dir;
    const std::string dest = dir.File("out");
    WriteFile(dest, "old");
    WriteFile(dir.File("in"), payload);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      if (r.SizeLimit) {
        rlimit lim{r.SizeLimit, r.SizeLimit};
        ::setrlimit(RLIMIT_FSIZE, &lim);
      }
      int in = r.Source == kFile ? ::open(dir.File("in").c_str(), O_RDONLY) : ::open(dir.Path().c_str(), O_RDONLY);
      TLocalOutputFile out;
      if (in < 0 || out.Open(dest, TLocalOutputFile::TMode::Replace) != 0) ::_exit(10);
      bool readFailed = false;
      ssize_t n;
      while ((n = out.WriteFrom(in, 1u << 20, readFailed)) > 0) {
      }
      if (n < 0) {
        out.Rollback();
        ::_exit(readFailed ? 21 : 22);
      }
      ::_exit(out.Commit() == 0 ? 0 : 11);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), r.Ok ? 0 : r.ReadFailed ? 21 : 22);
    EXPECT_TRUE(ReadFile(dest) == (r.Ok ? payload : std::string("old")));
    EXPECT_EQ(EntriesIn(dir.Path()), 2);  // nothing left beside the two files
  }
}
