// Writers killed at every step of a download's local file, then a fresh writer of the same
// destination: the destination is old or whole, byte for byte, and nothing a dead writer left
// stays behind (except a resumable partial, which the next download of that file continues).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "host/delivery_note.h"
#include "host/local_output_file.h"
#include "host/partial_file_store.h"
#include "support/temp_dir.h"

using namespace quodra::host;
using quodra::test::PatternBytes;
using quodra::test::ReadFile;
using quodra::test::TTempDir;
using quodra::test::WriteFile;

namespace {

using M = TLocalOutputFile::TMode;

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  DIR* d = ::opendir(folder.c_str());
  while (dirent* e = ::readdir(d))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
  ::closedir(d);
  return names;
}

// Whole characters only: a name cut inside one shows as garbage, and some file systems refuse it.
bool WholeUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

std::string Joined(const std::set<std::string>& names) {
  std::string s;
  for (const auto& n : names) s += n + " ";
  return s;
}

const TRemoteFileIdentity kRemote{"127.0.0.1:21", "/pub/data.bin", 300000, "20260101120000"};

// A child that writes `payload` to `dest` and, on reaching `stopAt`, tells the parent through
// the pipe and waits to be killed. Steps: opened, half, staged, journalled, midappend (the
// journal is durable and a fragment already appended), appended, renamed, committed.
pid_t StartWriter(const std::string& dest, M mode, bool resumable, const std::string& payload, const std::string& stopAt,
                  int readyFd, TLocalOutputFile::TDurability durability = TLocalOutputFile::TDurability::Now,
                  const std::string& deliveryKey = "") {
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  auto stop = [&](const std::string& step) {
    if (step != stopAt) return;
    if (step == "midappend") {
      int fd = ::open(dest.c_str(), O_WRONLY | O_APPEND);
      if (fd < 0 || ::write(fd, payload.data(), payload.size() / 3) < 0) ::_exit(5);
      ::fsync(fd);
    }
    if (::write(readyFd, "!", 1) != 1) ::_exit(6);
    for (;;) ::pause();
  };
  TLocalOutputFile::OnCommitStep = [&](const char* step) {
    stop(step);
    if (std::string(step) == "journalled") stop("midappend");
  };
  TLocalOutputFile out;
  int err = resumable ? out.OpenResumable(dest, mode, kRemote) : out.Open(dest, mode);
  if (err) ::_exit(2);
  out.NoteDeliveryOf(deliveryKey);
  stop("opened");
  const size_t half = payload.size() / 2;
  if (out.Write(payload.data(), half) != 0) ::_exit(3);
  stop("half");
  if (out.Write(payload.data() + half, payload.size() - half) != 0) ::_exit(3);
  stop("staged");
  if (out.Commit(durability) != 0) ::_exit(4);
  stop("committed");
  ::_exit(0);
}

// Waits (bounded) for the child's signal; false when it ended or stayed silent instead.
bool WaitReady(int fd) {
  pollfd p{fd, POLLIN, 0};
  char c = 0;
  return ::poll(&p, 1, 20000) == 1 && ::read(fd, &c, 1) == 1;
}

// Starts a writer, kills it with `signal` once it reports `stopAt`, and reaps it. Empty when
// it was killed there; otherwise what went wrong.
std::string KillWriterAt(const std::string& dest, M mode, bool resumable, const std::string& payload,
                         const std::string& stopAt, int signal,
                         TLocalOutputFile::TDurability durability = TLocalOutputFile::TDurability::Now,
                         const std::string& deliveryKey = "") {
  int ready[2];
  if (::pipe(ready) != 0) return "no pipe";
  pid_t pid = StartWriter(dest, mode, resumable, payload, stopAt, ready[1], durability, deliveryKey);
  ::close(ready[1]);
  if (pid <= 0) {
    ::close(ready[0]);
    return "no writer";
  }
  bool reached = WaitReady(ready[0]);
  ::close(ready[0]);
  ::kill(pid, signal);
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return "the writer was not reaped";
  return reached ? "" : "the writer ended early with status " + std::to_string(status);
}

}  // namespace

TEST(LocalOutputFileCrash, KilledWriterLeavesOldOrWholeAndTheNextWriterCleansUp) {
  struct Row {
    const char* name;
    M mode;
    bool exists;     // the destination had old bytes
    bool resumable;  // through the resumable partial
    const char* stopAt;
    int signal;
    bool whole;      // the killed writer's file counts (it committed)
    std::string file = "data.bin";  // the destination's name
  };
  // Too long for the work names to carry the whole name: they get a shortened one, the same in
  // every run. 255 bytes: "n" and 127 two-byte characters.
  std::string utf8Name = "n";
  for (int i = 0; i < 127; ++i) utf8Name += "\xc3\xa9";
  const Row rows[] = {
      {"append, killed before writing", M::Append, true, false, "opened", SIGKILL, false},
      {"append, killed while staging", M::Append, true, false, "half", SIGTERM, false},
      {"append, killed with every byte staged", M::Append, true, false, "staged", SIGHUP, false},
      {"append, killed with the journal written", M::Append, true, false, "journalled", SIGINT, false},
      {"append, killed in the middle of the append", M::Append, true, false, "midappend", SIGKILL, false},
      {"append, killed before dropping the journal", M::Append, true, false, "appended", SIGKILL, false},
      {"append, killed after the commit", M::Append, true, false, "committed", SIGKILL, true},
      {"append to a new file, killed in the middle of the append", M::Append, false, false, "midappend", SIGKILL,
       false},
      {"replace, killed while staging", M::Replace, true, false, "half", SIGKILL, false},
      {"replace, killed with every byte staged", M::Replace, true, false, "staged", SIGTERM, false},
      {"replace, killed once renamed", M::Replace, true, false, "renamed", SIGKILL, true},
      {"resumable append, killed while staging", M::Append, true, true, "half", SIGKILL, false},
      {"resumable append, killed in the middle of the append", M::Append, true, true, "midappend", SIGTERM, false},
      {"resumable replace, killed while staging", M::Replace, false, true, "half", SIGHUP, false},
      {"append to a 250-byte name, killed in the middle of the append", M::Append, true, false, "midappend", SIGKILL,
       false, std::string(250, 'a')},
      {"resumable replace of a 255-byte name, killed while staging", M::Replace, true, true, "half", SIGKILL, false,
       utf8Name},
  };
  const std::string old = "old bytes\n";
  const std::string payload = PatternBytes(300000, 3);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TTempDir dir;
    const std::string dest = dir.File(r.file);
    if (r.exists) WriteFile(dest, old);
    ASSERT_EQ(KillWriterAt(dest, r.mode, r.resumable, payload, r.stopAt, r.signal), "");

    const std::string before = r.exists ? old : "";
    std::string committed = r.mode == M::Append ? before + payload : payload;
    // A resumable writer's partial (and its record) is all that may stay besides the file.
    if (r.resumable) {
      std::set<std::string> left = Names(dir.Path());
      const std::string stem = r.file == "data.bin" ? r.file : WorkStemOf(r.file);
      EXPECT_TRUE(left.count("." + stem + ".quodra-part") && left.count("." + stem + ".quodra-resume")) << Joined(left);
      for (const std::string& name : left) EXPECT_TRUE(WholeUtf8(name)) << name;
    }

    TLocalOutputFile next;
    if (r.resumable) {
      ASSERT_EQ(next.OpenResumable(dest, r.mode, kRemote), 0);
      // Kept: what was staged before the kill (the append's fragment never counts).
      EXPECT_EQ(next.ResumeOffset(), std::string(r.stopAt) == "half" ? payload.size() / 2 : payload.size());
    } else {
      ASSERT_EQ(next.Open(dest, r.mode), 0);
    }
    // Repaired before the fresh writer writes anything.
    if (r.whole)
      EXPECT_TRUE(ReadFile(dest) == committed);
    else if (r.exists)
      EXPECT_EQ(ReadFile(dest), old);
    else
      EXPECT_FALSE(quodra::test::FileExists(dest));
    const std::string base = r.whole ? committed : before;
    std::string rest = r.resumable ? payload.substr(next.ResumeOffset()) : std::string("NEXT");
    ASSERT_EQ(next.Write(rest.data(), rest.size()), 0);
    ASSERT_EQ(next.Commit(), 0);
    std::string expected = r.resumable ? (r.mode == M::Append ? before + payload : payload)
                                       : (r.mode == M::Append ? base + "NEXT" : "NEXT");
    EXPECT_TRUE(ReadFile(dest) == expected) << ReadFile(dest).size() << " bytes instead of " << expected.size();
    EXPECT_EQ(Names(dir.Path()), std::set<std::string>{r.file}) << Joined(Names(dir.Path()));
  }
}

// An append whose source is deleted afterwards, killed at each step: before its delivery note
// is durable it is undone (the source is still there to be fetched again); from then on it is
// whole and noted, also when the journal is still there, until the source's delete ends the
// note. A note does not vouch for another source, nor for a destination replaced or cut since.
TEST(LocalOutputFileCrash, AnAppendNotedAsDeliveredIsNeitherUndoneNorRepeated) {
  const struct {
    const char* stopAt;
    bool delivered;
  } rows[] = {{"journalled", false}, {"midappend", false}, {"appended", false}, {"delivered", true}, {"committed", true}};
  const std::string key = "remote 9:127.0.0.1 4:data 14:20260101120000";
  const std::string payload = PatternBytes(300000, 6);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.stopAt);
    TTempDir dir;
    const std::string dest = dir.File("data.bin");
    WriteFile(dest, "old");
    ASSERT_EQ(KillWriterAt(dest, M::Append, false, payload, r.stopAt, SIGKILL, TLocalOutputFile::TDurability::Now, key),
              "");
    EXPECT_FALSE(TLocalOutputFile::DeliveredBefore(dest, key + "x"));
    TLocalOutputFile::EndDelivery(dest, key + "x");  // another source's end leaves this one
    EXPECT_EQ(TLocalOutputFile::DeliveredBefore(dest, key), r.delivered);
    // The next run deletes the source and ends the note before anything else writes there:
    // the killed run's journal must not undo the append after that.
    if (r.delivered) TLocalOutputFile::EndDelivery(dest, key);
    EXPECT_FALSE(TLocalOutputFile::DeliveredBefore(dest, key));
    TLocalOutputFile next;
    ASSERT_EQ(next.Open(dest, M::Append), 0);
    EXPECT_TRUE(ReadFile(dest) == (r.delivered ? "old" + payload : "old")) << ReadFile(dest).size();
    ASSERT_EQ(next.Write("+", 1), 0);
    ASSERT_EQ(next.Commit(), 0);
    EXPECT_EQ(Names(dir.Path()), std::set<std::string>{"data.bin"}) << Joined(Names(dir.Path()));
  }
  for (const bool replaced : {false, true}) {
    TTempDir dir;
    const std::string dest = dir.File("data.bin");
    ASSERT_EQ(KillWriterAt(dest, M::Append, false, payload, "committed", SIGKILL, TLocalOutputFile::TDurability::Now, key),
              "");
    if (replaced) {
      WriteFile(dir.File("other"), "new");
      ASSERT_EQ(::rename(dir.File("other").c_str(), dest.c_str()), 0);
    } else {
      ASSERT_EQ(::truncate(dest.c_str(), 10), 0);
    }
    EXPECT_FALSE(TLocalOutputFile::DeliveredBefore(dest, key)) << replaced;
  }
  // A source whose delete keeps failing stays noted while hundreds of others come and go; the
  // note does not grow with them.
  TTempDir dir;
  const std::string dest = dir.File("data.bin");
  for (int i = 0; i <= 300; ++i) {
    TLocalOutputFile out;
    ASSERT_EQ(out.Open(dest, M::Append), 0);
    ASSERT_EQ(out.Write("x", 1), 0);
    out.NoteDeliveryOf(i == 0 ? key : key + std::to_string(i));
    ASSERT_EQ(out.Commit(), 0);
    if (i > 0) TLocalOutputFile::EndDelivery(dest, key + std::to_string(i));
  }
  EXPECT_TRUE(TLocalOutputFile::DeliveredBefore(dest, key));
  EXPECT_FALSE(TLocalOutputFile::DeliveredBefore(dest, key + "300"));
  EXPECT_LT(ReadFile(dir.File(".data.bin.quodra-delivered")).size(), 20000u);
}

// A note that grew past its bound is written anew. A run killed in the middle of that, or
// another run waiting for the note meanwhile, loses no entry that is still open.
TEST(LocalOutputFileCrash, ANoteWrittenAnewKeepsItsOpenEntries) {
  TTempDir dir;
  const std::string dest = dir.File("data.bin");
  auto keyOf = [](int i) { return "remote " + std::to_string(i) + " " + std::string(1000, 'k'); };
  constexpr int kOpen = 20;  // open entries well beyond the bound
  for (int i = 0; i < kOpen; ++i) {
    TLocalOutputFile out;
    ASSERT_EQ(out.Open(dest, M::Append), 0);
    ASSERT_EQ(out.Write("x", 1), 0);
    out.NoteDeliveryOf(keyOf(i));
    ASSERT_EQ(out.Commit(), 0);
  }
  int ready[2], go[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(go), 0);
  // Ends the entry of `key` in a child that stops once the new note is whole beside the old
  // one, and goes on for a byte on `go`.
  auto endInChild = [&](const std::string& key) {
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    OnNoteStep = [&](const char*) {
      char c;
      if (::write(ready[1], "!", 1) != 1 || ::read(go[0], &c, 1) != 1) ::_exit(6);
    };
    TLocalOutputFile::EndDelivery(dest, key);
    ::_exit(0);
  };

  pid_t killed = endInChild(keyOf(0));
  ASSERT_TRUE(WaitReady(ready[0]));
  ::kill(killed, SIGKILL);
  ASSERT_EQ(::waitpid(killed, nullptr, 0), killed);
  for (int i = 1; i < kOpen; ++i) EXPECT_TRUE(TLocalOutputFile::DeliveredBefore(dest, keyOf(i))) << i;

  // One run writes the note anew while another waits for it to end an entry of its own.
  pid_t writer = endInChild(keyOf(1));
  ASSERT_TRUE(WaitReady(ready[0]));
  pid_t waiter = endInChild(keyOf(2));
  bool blocked = false;  // /proc/locks shows the waiter's request behind the writer's lock
  for (int tries = 0; tries < 2000 && !blocked; ++tries) {
    const std::string locks = ReadFile("/proc/locks");
    blocked = locks.find("-> FLOCK  ADVISORY  WRITE " + std::to_string(waiter) + " ") != std::string::npos;
    if (!blocked) {
      pollfd none{-1, 0, 0};
      ::poll(&none, 0, 10);
    }
  }
  EXPECT_TRUE(blocked);
  ASSERT_EQ(::write(go[1], "!", 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(writer, &status, 0), writer);
  EXPECT_EQ(status, 0);
  // The waiter takes the new note and writes it anew in turn.
  EXPECT_TRUE(WaitReady(ready[0]));
  ASSERT_EQ(::write(go[1], "!", 1), 1);
  ASSERT_EQ(::waitpid(waiter, &status, 0), waiter);
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(TLocalOutputFile::DeliveredBefore(dest, keyOf(1)));
  EXPECT_FALSE(TLocalOutputFile::DeliveredBefore(dest, keyOf(2)));
  for (int i = 3; i < kOpen; ++i) EXPECT_TRUE(TLocalOutputFile::DeliveredBefore(dest, keyOf(i))) << i;
  EXPECT_EQ(Names(dir.Path()), (std::set<std::string>{"data.bin", ".data.bin.quodra-delivered"}))
      << Joined(Names(dir.Path()));
  for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);
}

// A replacement put in place at once and synced later: a writer killed at any step leaves the
// old file or the whole new one, never a fragment, and the next writer finds nothing to clean.
TEST(LocalOutputFileCrash, AReplacementSyncedLaterIsOldOrWholeWhenKilled) {
  struct Row {
    const char* name;
    bool exists;
    bool resumable;
    const char* stopAt;
    bool whole;
  };
  const Row rows[] = {
      {"killed while staging", true, false, "half", false},
      {"killed with every byte staged", true, false, "staged", false},
      {"killed once renamed", true, false, "renamed", true},
      {"killed after the commit", true, false, "committed", true},
      {"a new file, killed once renamed", false, false, "renamed", true},
      {"resumable, killed once renamed", true, true, "renamed", true},
  };
  const std::string old = "old bytes\n";
  const std::string payload = PatternBytes(300000, 4);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TTempDir dir;
    const std::string dest = dir.File("data.bin");
    if (r.exists) WriteFile(dest, old);
    ASSERT_EQ(KillWriterAt(dest, M::Replace, r.resumable, payload, r.stopAt, SIGKILL, TLocalOutputFile::TDurability::Later),
              "");
    TLocalOutputFile next;
    ASSERT_EQ(next.Open(dest, M::Replace), 0);
    if (r.whole) {
      EXPECT_TRUE(ReadFile(dest) == payload);
    } else if (r.exists) {
      EXPECT_EQ(ReadFile(dest), old);
    }
    ASSERT_EQ(next.Rollback(), 0);
    std::set<std::string> want;
    if (r.whole || r.exists) want.insert("data.bin");
    EXPECT_EQ(Names(dir.Path()), want) << Joined(Names(dir.Path()));
  }
}

// A live writer's partial is locked: another writer of the same destination stages elsewhere
// and never touches it; once the first writer is dead, the next one clears it away.
TEST(LocalOutputFileCrash, LiveWritersFilesAreLeftAloneDeadOnesAreSwept) {
  TTempDir dir;
  const std::string dest = dir.File("data.bin");
  WriteFile(dest, "old");
  // Left by dead runs of the TFTP download and of a second writer, unlocked.
  WriteFile(dir.File(".temp.tftp.xy34zz.part"), "stale");
  WriteFile(dir.File(".other.csv.k9k9k9.quodra-part"), "stale");
  WriteFile(dir.File("keep.part"), "a user's file");  // not hidden, not ours
  WriteFile(dir.File(".holiday.backup.part"), "a user's file");  // shaped like a unique partial, not ours
  // A user's names as long as the folder takes, one shaped like a unique partial but not ours.
  const std::string userLong = "." + std::string(242, 'u') + ".abc123.part", userHidden = "." + std::string(254, 'u');
  WriteFile(dir.File(userLong), "a user's file");
  WriteFile(dir.File(userHidden), "a user's file");

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const std::string payload = PatternBytes(100000, 5);
  pid_t live = StartWriter(dest, M::Replace, false, payload, "half", ready[1]);
  ::close(ready[1]);
  ASSERT_TRUE(WaitReady(ready[0]));
  ::close(ready[0]);
  // A TFTP download in progress in the same folder holds its file too.
  std::string tftpTemp;
  int tftpFd = CreateUniqueFile(dir.Path(), "temp.tftp", tftpTemp);
  ASSERT_GE(tftpFd, 0);

  TLocalOutputFile second;
  ASSERT_EQ(second.Open(dest, M::Append), 0);
  EXPECT_NE(second.WritePath(), dir.File(".data.bin.quodra-part"));
  ASSERT_EQ(second.Write("+mine", 5), 0);
  ASSERT_EQ(second.Commit(), 0);
  EXPECT_EQ(ReadFile(dest), "old+mine");
  EXPECT_EQ(ReadFile(dir.File(".data.bin.quodra-part")), payload.substr(0, payload.size() / 2));
  EXPECT_EQ(Names(dir.Path()),
            (std::set<std::string>{"data.bin", ".data.bin.quodra-part", "keep.part", ".holiday.backup.part", userLong,
                                   userHidden, tftpTemp.substr(tftpTemp.rfind('/') + 1)}))
      << Joined(Names(dir.Path()));

  ::kill(live, SIGKILL);
  ::waitpid(live, nullptr, 0);
  ::close(tftpFd);
  ::unlink(tftpTemp.c_str());
  TLocalOutputFile third;
  ASSERT_EQ(third.Open(dest, M::Replace), 0);
  ASSERT_EQ(third.Write("new", 3), 0);
  ASSERT_EQ(third.Commit(), 0);
  EXPECT_EQ(ReadFile(dest), "new");
  EXPECT_EQ(Names(dir.Path()),
            (std::set<std::string>{"data.bin", "keep.part", ".holiday.backup.part", userLong, userHidden}))
      << Joined(Names(dir.Path()));
}
