// What a kept partial is worth to the next download: its record decides, one row per way a
// record can be stale, foreign, cut or from before a crash.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "host/local_output_file.h"
#include "host/partial_file_store.h"
#include "support/temp_dir.h"

using namespace quodra::host;
using quodra::test::FileExists;
using quodra::test::PatternBytes;
using quodra::test::ReadFile;
using quodra::test::TTempDir;
using quodra::test::WriteFile;

TEST(PartialFileStore, TheRecordDecidesWhatAResumeKeeps) {
  // Only files worth resuming get a record.
  const int64_t size = TLocalOutputFile::ResumeWorthBytes + 5000;
  const TRemoteFileIdentity remote{"127.0.0.1:2121", "/pub/a.bin", size, "20260101120000"};
  auto with = [&](auto change) {
    TRemoteFileIdentity r = remote;
    change(r);
    return r;
  };
  struct Row {
    const char* name;
    TRemoteFileIdentity recorded;
    uint64_t checked;
    bool sameBoot;
    size_t partialBytes;
    const char* recordText;  // written as it stands instead of `recorded`; nullptr: none
    uint64_t kept;
    std::string dest = "a.bin";
    std::string keptFor = "";  // whose partial and record are there; empty: dest's
  };
  // Too long for the hidden names to carry; the same first 240 bytes.
  const std::string longA = std::string(240, 'l') + std::string(15, 'A');
  const std::string longB = std::string(240, 'l') + std::string(15, 'B');
  const Row rows[] = {
      {"same file, same boot: every byte", remote, 0, true, 3000, nullptr, 3000},
      {"same file after a crash: the synced bytes only", remote, 1200, false, 3000, nullptr, 1200},
      {"changed size", with([&](auto& r) { r.Size = size + 1000; }), 3000, true, 3000, nullptr, 0},
      {"changed time", with([](auto& r) { r.ModTime = "20260101120001"; }), 3000, true, 3000, nullptr, 0},
      {"another remote file", with([](auto& r) { r.Path = "/pub/b.bin"; }), 3000, true, 3000, nullptr, 0},
      {"another server", with([](auto& r) { r.Server = "127.0.0.1:21"; }), 3000, true, 3000, nullptr, 0},
      {"a partial longer than the file", remote, uint64_t(size + 1000), true, size_t(size + 1000), nullptr, 0},
      {"a record cut while written", remote, 0, true, 3000, "quodra-resume 1\nserver=127.0.0.1:2121\n", 0},
      {"no record", remote, 0, true, 3000, "", 0},
      {"a 255-byte name: its partial is found again", remote, 0, true, 3000, nullptr, 3000, longA},
      {"a name that ends like a unique partial's: found again", remote, 0, true, 3000, nullptr, 3000, "x.abc123"},
      {"another long name of the same start: not ours", remote, 0, true, 3000, nullptr, 0, longA, longB},
  };
  const std::string bytes = PatternBytes(size + 1000, 9);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TTempDir dir;
    const std::string dest = dir.File(r.dest);
    const std::string keptFor = dir.File(r.keptFor.empty() ? r.dest : r.keptFor);
    WriteFile(PartialPathOf(keptFor), bytes.substr(0, r.partialBytes));
    if (!r.recordText) {
      TResumeRecord record{r.recorded, r.checked, r.sameBoot ? BootId() : std::string("another-boot")};
      ASSERT_EQ(WriteResumeRecord(ResumeRecordPathOf(keptFor), record), 0);
    } else if (*r.recordText) {
      WriteFile(ResumeRecordPathOf(keptFor), r.recordText);
    }
    TLocalOutputFile out;
    ASSERT_EQ(out.OpenResumable(dest, TLocalOutputFile::TMode::Replace, remote), 0);
    EXPECT_EQ(out.ResumeOffset(), r.kept);
    ASSERT_EQ(out.Write(bytes.data() + r.kept, size - r.kept), 0);
    ASSERT_EQ(out.Commit(), 0);
    EXPECT_TRUE(ReadFile(dest) == bytes.substr(0, size));
    EXPECT_FALSE(FileExists(PartialPathOf(dest)));
    EXPECT_FALSE(FileExists(ResumeRecordPathOf(dest)));
    // Another destination's kept bytes stay for it.
    EXPECT_EQ(FileExists(PartialPathOf(keptFor)) && FileExists(ResumeRecordPathOf(keptFor)), keptFor != dest);
  }
}

// A failed attempt keeps its bytes and says how many are safe; remote names with line ends
// cannot forge the record's other lines.
TEST(PartialFileStore, SuspendKeepsTheBytesAndARecordThatReadsBack) {
  TTempDir dir;
  const std::string dest = dir.File("b.bin");
  const TRemoteFileIdentity remote{"host", "/odd\nsize=1\r\\name", TLocalOutputFile::ResumeWorthBytes, ""};
  TLocalOutputFile out;
  ASSERT_EQ(out.OpenResumable(dest, TLocalOutputFile::TMode::Append, remote), 0);
  ASSERT_EQ(out.Write("0123456789", 10), 0);
  ASSERT_EQ(out.Suspend(), 0);
  EXPECT_FALSE(FileExists(dest));
  TResumeRecord record;
  ASSERT_TRUE(ReadResumeRecord(ResumeRecordPathOf(dest), record));
  EXPECT_TRUE(record.Remote == remote);
  EXPECT_EQ(record.Checked, 10u);
  EXPECT_EQ(record.Boot, BootId());
  EXPECT_EQ(ReadFile(PartialPathOf(dest)), "0123456789");
  // Without a known size nothing is resumed, and the kept bytes are dropped.
  TLocalOutputFile again;
  ASSERT_EQ(again.OpenResumable(dest, TLocalOutputFile::TMode::Append, {"host", remote.Path, -1, ""}), 0);
  EXPECT_EQ(again.ResumeOffset(), 0u);
  EXPECT_FALSE(again.Resumable());
  ASSERT_EQ(again.Rollback(), 0);
  EXPECT_FALSE(FileExists(PartialPathOf(dest)));
  EXPECT_FALSE(FileExists(ResumeRecordPathOf(dest)));
  // A file below ResumeWorthBytes is fetched again whole: a failed attempt keeps nothing.
  TLocalOutputFile small;
  ASSERT_EQ(small.OpenResumable(dest, TLocalOutputFile::TMode::Append,
                                {"host", remote.Path, TLocalOutputFile::ResumeWorthBytes - 1, ""}),
            0);
  EXPECT_FALSE(small.Resumable());
  ASSERT_EQ(small.Write("0123456789", 10), 0);
  ASSERT_EQ(small.Suspend(), 0);
  EXPECT_FALSE(FileExists(PartialPathOf(dest)));
  EXPECT_FALSE(FileExists(ResumeRecordPathOf(dest)));
}

// While a resumable download is written, its record is brought up to the synced length on a
// worker; every end of the file waits for a checkpoint under way, so a late one can neither
// outlive the partial nor overwrite the last word of Suspend. Each end runs once right after
// the writes (a checkpoint may still run) and once after the first checkpoint is on disk.
TEST(PartialFileStore, CheckpointsBesideTheWritesAndEveryEndWaitsForThem) {
  enum class TEnd { Suspend, Commit, Rollback, RestartThenSuspend };
  std::mutex checkpointLock;
  std::condition_variable checkpointDone;
  uint64_t checkpointed = 0;
  // Put back however the test ends (a failed ASSERT returns early).
  struct TRestore {
    uint64_t Bytes = TLocalOutputFile::CheckpointBytes;
    ~TRestore() {
      TLocalOutputFile::OnCheckpoint = nullptr;
      TLocalOutputFile::CheckpointBytes = Bytes;
    }
  } restore;
  TLocalOutputFile::CheckpointBytes = 4096;
  TLocalOutputFile::OnCheckpoint = [&](uint64_t length) {
    std::lock_guard<std::mutex> hold(checkpointLock);
    checkpointed = length;
    checkpointDone.notify_all();
  };
  const std::string bytes = PatternBytes(60000, 7);
  for (TEnd end : {TEnd::Suspend, TEnd::Commit, TEnd::Rollback, TEnd::RestartThenSuspend}) {
    for (bool waitForCheckpoint : {false, true}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(end)) + (waitForCheckpoint ? " after a checkpoint" : " at once"));
      TTempDir dir;
      const std::string dest = dir.File("big.bin");
      const std::string record = ResumeRecordPathOf(dest);
      const TRemoteFileIdentity remote{"host", "/big.bin", 200000, "20261211120000"};
      {
        std::lock_guard<std::mutex> hold(checkpointLock);
        checkpointed = 0;
      }
      TLocalOutputFile out;
      ASSERT_EQ(out.OpenResumable(dest, TLocalOutputFile::TMode::Replace, remote), 0);
      for (size_t at = 0; at < bytes.size(); at += 1000) ASSERT_EQ(out.Write(bytes.data() + at, 1000), 0);
      if (waitForCheckpoint) {
        // The worker's record appears by itself; the partial holds at least what it vouches for.
        {
          std::unique_lock<std::mutex> hold(checkpointLock);
          ASSERT_TRUE(checkpointDone.wait_for(hold, std::chrono::seconds(30), [&] { return checkpointed > 0; }));
        }
        TResumeRecord seen;
        ASSERT_TRUE(ReadResumeRecord(record, seen));
        ASSERT_GE(seen.Checked, 4096u);
        EXPECT_LE(seen.Checked, bytes.size());
        EXPECT_EQ(ReadFile(PartialPathOf(dest)).substr(0, seen.Checked), bytes.substr(0, seen.Checked));
      }
      TResumeRecord last;
      switch (end) {
        case TEnd::Suspend:
          ASSERT_EQ(out.Suspend(), 0);
          ASSERT_TRUE(ReadResumeRecord(record, last));
          EXPECT_EQ(last.Checked, bytes.size());
          EXPECT_EQ(ReadFile(PartialPathOf(dest)), bytes);
          break;
        case TEnd::Commit:
          ASSERT_EQ(out.Commit(), 0);
          EXPECT_EQ(ReadFile(dest), bytes);
          EXPECT_FALSE(FileExists(record));
          EXPECT_FALSE(FileExists(PartialPathOf(dest)));
          break;
        case TEnd::Rollback:
          ASSERT_EQ(out.Rollback(), 0);
          EXPECT_FALSE(FileExists(dest));
          EXPECT_FALSE(FileExists(record));
          EXPECT_FALSE(FileExists(PartialPathOf(dest)));
          break;
        case TEnd::RestartThenSuspend:
          ASSERT_EQ(out.RestartFromZero(), 0);
          ASSERT_EQ(out.Write(bytes.data(), 3000), 0);
          ASSERT_EQ(out.Suspend(), 0);
          ASSERT_TRUE(ReadResumeRecord(record, last));
          EXPECT_EQ(last.Checked, 3000u);
          EXPECT_EQ(ReadFile(PartialPathOf(dest)), bytes.substr(0, 3000));
          break;
      }
      EXPECT_FALSE(FileExists(record + "-new"));
    }
  }
}
