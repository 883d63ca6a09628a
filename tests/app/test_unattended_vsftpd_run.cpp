// The program itself, unattended, against vsftpd: a server with no MLST (sizes and times come
// from SIZE and MDTM), its own refusal texts for a folder that is asked for as a file, ASCII
// conversion on its side, anonymous sessions that may delete, and explicit TLS that refuses a
// data connection which does not resume the control connection's session. Each row runs one
// profile over a fresh copy of the same remote folder and says what must arrive, what must be
// left on the server, and how the run ends.
#include <dirent.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QProcess>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "program_run.h"
#include "support/ftp_server_fixture.h"
#include "support/temp_dir.h"

using namespace quodra::test;

namespace {

struct TRow {
  const char* Name;
  const char* Sources;
  bool Passive;
  bool Delete;
  bool Tls;  // explicit TLS, the server's certificate pinned
  char Mode;  // B or A
  std::set<std::string> Fetched;
  std::set<std::string> LeftOnServer;  // of the data folder's entries
  int ExitCode;
  std::vector<std::string> LogLines;
};

std::set<std::string> EntriesOf(const std::string& folder) {
  std::set<std::string> names;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (const dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') names.insert(e->d_name);  // hidden: the program's own partials
    ::closedir(d);
  }
  return names;
}

}  // namespace

TEST(UnattendedVsftpdRun, FetchesDeletesAndSkipsAsTheServerSaysScenarioTable) {
  std::string why;
  if (!TVsFtpServer::Available(&why)) GTEST_SKIP() << why;
  TTempDir dir;
  ::chmod(dir.Path().c_str(),
          0755);  // vsftpd refuses a chroot its anonymous account may write
  const std::string root = dir.File("srv");
  const std::string data = root + "/data";
  ::mkdir(root.c_str(), 0755);
  const passwd* anon = ::getpwnam(TVsFtpServer::AnonymousUser().c_str());
  ASSERT_NE(anon, nullptr);
  auto makeRemote = [&] {
    ASSERT_EQ(std::system(("rm -rf '" + data + "'").c_str()), 0);
    ::mkdir(data.c_str(), 0755);
    ::mkdir((data + "/sub.csv").c_str(), 0755);
    WriteFile(data + "/a.csv", "alpha;1\n");
    WriteFile(data + "/b.csv", PatternBytes(200000, 7));
    WriteFile(data + "/c.txt", "text\n");
    WriteFile(data + "/lines.txt", "l1\nl2\n");
    WriteFile(data + "/sub.csv/x.csv", "inner\n");
    // Files a delete may remove belong to the anonymous account, in a folder it owns.
    ASSERT_EQ(std::system(
                  ("chown -R " + std::to_string(anon->pw_uid) + ":" + std::to_string(anon->pw_gid) + " '" + data + "'")
                      .c_str()),
              0);
    ASSERT_EQ(std::system(("chmod 644 '" + data + "'/*.* '" + data + "'/sub.csv/x.csv").c_str()), 0);
    // Written a minute ago, as a scheduled run finds them: a file written just now is deleted
    // only once it has held still for a few seconds (tested elsewhere).
    ASSERT_EQ(std::system(("touch -d '1 minute ago' '" + data + "'/*.*").c_str()), 0);
    ::chmod((data + "/sub.csv").c_str(), 0755);
  };
  makeRemote();
  // A self-signed certificate, pinned by its fingerprint as a user of such a server would.
  const std::string cert = dir.File("cert.pem"), key = dir.File("key.pem");
  ASSERT_EQ(std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + key +
                         " -out " + cert + " -subj /CN=localhost -days 2 2>/dev/null && openssl x509 -in " + cert +
                         " -noout -fingerprint -sha256 >" + dir.File("fp"))
                            .c_str()),
            0);
  const std::string fp = ReadFile(dir.File("fp"));
  const std::string fingerprint = fp.substr(fp.find('=') + 1, 95);
  TVsFtpServer server;
  ASSERT_TRUE(server.Start(root, cert, key)) << server.Log();

  const std::set<std::string> all{"a.csv", "b.csv", "c.txt", "lines.txt", "sub.csv"};
  const std::string skipped = "Source File:sub.csv is not a regular file, skipped";
  const std::vector<TRow> rows = {
      {"a mask passes over a folder it matches", "*.csv", true, false, false, 'B', {"a.csv", "b.csv"}, all, 0,
       {skipped, "Source File:*.csv mask finished!"}},
      {"delete after each fetch, active mode", "*.csv", false, true, false, 'B', {"a.csv", "b.csv"},
       {"c.txt", "lines.txt", "sub.csv"}, 0, {"Delete Host File:a.csv", "Delete Host File:b.csv", skipped}},
      {"names in their order, one missing", "c.txt;gone.csv;a.csv", true, false, false, 'B', {"c.txt", "a.csv"}, all,
       1, {"Source File:gone.csv does not exist!"}},
      {"a named folder is no file: the server's refusal is the reason", "sub.csv", true, true, false, 'B', {}, all, 1,
       {"550 Failed to open file."}},
      {"ASCII: the server's CR LF becomes LF", "lines.txt", true, false, false, 'A', {"lines.txt"}, all, 0, {}},
      {"explicit TLS: every data connection resumes the session, as the server demands", "*.csv", true, true, true,
       'B', {"a.csv", "b.csv"}, {"c.txt", "lines.txt", "sub.csv"}, 0,
       {"Security: explicit TLS", ", TLS session resumed", "Delete Host File:b.csv"}},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    makeRemote();
    const std::string local = dir.File(std::string("got-") + std::to_string(&row - rows.data()));
    ::mkdir(local.c_str(), 0755);
    const std::string profile = dir.File("job.FTP");
    WriteFile(profile,
              "[Options]\r\nServerName=127.0.0.1\r\nLogin="
              "anonymous\r\nPassword=test@example.org\r\nPort=" +
                  std::to_string(server.Port()) + "\r\nSourceFile=" + row.Sources + "\r\nDestinationFile=" + local +
                  "/\r\nDefaultFolder=/data\r\nOverwrite=Y\r\nDeleteRemote=" + (row.Delete ? "Y" : "N") +
                  "\r\nPassive=" + (row.Passive ? "Y" : "N") + "\r\nMode=" + row.Mode + "\r\nTimeOut=1092\r\n" +
                  (row.Tls ? "Security=E\r\nCertificateFingerprint=" + fingerprint + "\r\n" : std::string()));
    TProgramRun r = RunProgram(dir, profile);
    ASSERT_TRUE(r.Finished) << r.Output;
    EXPECT_EQ(r.ExitCode, row.ExitCode) << r.Output << server.Log();
    EXPECT_EQ(EntriesOf(local), row.Fetched) << r.Output;
    EXPECT_EQ(EntriesOf(data), row.LeftOnServer) << r.Output;
    for (const std::string& line : row.LogLines) EXPECT_NE(r.Output.find(line + "\n"), std::string::npos) << line;
    // Whatever arrived is the server's file byte for byte (ASCII: with the local line ends).
    for (const std::string& name : row.Fetched) {
      std::string want = name == "b.csv"   ? PatternBytes(200000, 7)
                         : name == "a.csv" ? "alpha;1\n"
                         : name == "c.txt" ? "text\n"
                                           : "l1\nl2\n";
      EXPECT_EQ(ReadFile(local + "/" + name), want) << name;
    }
  }
}

// A download the scheduler stops (SIGTERM) keeps what arrived; the next run asks vsftpd to go
// on from there (REST) and the file ends whole. The server sends at 1 MiB/s, so that the stop
// comes in the middle of the file, and answers the stop's ABOR and QUIT only once the data
// connection is gone.
TEST(UnattendedVsftpdRun, AStoppedDownloadGoesOnWhereItStopped) {
  std::string why;
  if (!TVsFtpServer::Available(&why)) GTEST_SKIP() << why;
  TTempDir dir;
  ::chmod(dir.Path().c_str(), 0755);
  const std::string root = dir.File("srv"), data = root + "/data", local = dir.File("local");
  ::mkdir(root.c_str(), 0755);
  ::mkdir(data.c_str(), 0755);
  ::mkdir(local.c_str(), 0755);
  const std::string whole = PatternBytes(2 << 20, 9);
  WriteFile(data + "/big.bin", whole);
  ASSERT_EQ(std::system(("chown -R " + TVsFtpServer::AnonymousUser() + " '" + data + "' && chmod 644 '" + data +
                         "/big.bin' && touch -d '1 minute ago' '" + data + "/big.bin'")
                            .c_str()),
            0);
  TVsFtpServer server;
  server.ExtraConfig = "anon_max_rate=1048576\n";
  ASSERT_TRUE(server.Start(root)) << server.Log();
  const std::string profile = dir.File("job.FTP");
  WriteFile(profile, "[Options]\r\nServerName=127.0.0.1\r\nLogin=anonymous\r\nPassword=test@example.org\r\nPort=" +
                         std::to_string(server.Port()) + "\r\nSourceFile=big.bin\r\nDestinationFile=" + local +
                         "/\r\nDefaultFolder=/data\r\nOverwrite=Y\r\nDeleteRemote=N\r\nPassive=Y\r\nMode=B\r\n"
                         "TimeOut=1092\r\n");

  QProcess first;
  StartProgram(first, dir, {QString::fromStdString(profile)});
  ASSERT_TRUE(first.waitForStarted());
  const std::string partial = local + "/.big.bin.quodra-part";
  auto sizeOf = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : int64_t{-1};
  };
  // Until a good part has arrived (the server's pace decides when), or the run ended.
  QElapsedTimer waited;
  waited.start();
  while (sizeOf(partial) < (256 << 10) && first.state() != QProcess::NotRunning && waited.elapsed() < 60000)
    first.waitForFinished(20);
  ASSERT_EQ(first.state(), QProcess::Running) << first.readAllStandardOutput().toStdString();
  ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
  ASSERT_TRUE(first.waitForFinished(30000));
  const std::string firstLog = first.readAllStandardOutput().toStdString();
  EXPECT_EQ(first.exitCode(), 1) << firstLog;
  EXPECT_NE(firstLog.find("Stopped by signal SIGTERM\n"), std::string::npos) << firstLog;
  // vsftpd reads no command while it sends: the session ends with its answers only because
  // the data connection went with the abort (kept open, the server waited on it, and the run
  // closed the session unanswered after its logout time-out).
  EXPECT_NE(firstLog.find("221 Goodbye.\n"), std::string::npos) << firstLog;
  EXPECT_FALSE(FileExists(local + "/big.bin"));
  const int64_t kept = sizeOf(partial);
  ASSERT_GE(kept, 256 << 10) << firstLog;
  ASSERT_LT(kept, static_cast<int64_t>(whole.size())) << firstLog;
  EXPECT_EQ(ReadFile(partial), whole.substr(0, static_cast<size_t>(kept)));

  // The same server (a resume continues only the same server's file), at the same pace.
  TProgramRun second = RunProgram(dir, profile);
  ASSERT_TRUE(second.Finished);
  EXPECT_EQ(second.ExitCode, 0) << second.Output;
  EXPECT_NE(second.Output.find("Resuming big.bin at " + std::to_string(kept) + " bytes kept"), std::string::npos)
      << second.Output;
  EXPECT_EQ(ReadFile(local + "/big.bin"), whole);
  EXPECT_FALSE(FileExists(partial));
}

// A file the producer is still writing while vsftpd sends it (at 1 MiB/s) is neither kept nor
// deleted: the run says it changed and leaves it on the server for the next run, and the
// destination keeps what it held.
TEST(UnattendedVsftpdRun, AFileWrittenToDuringItsDownloadStaysOnTheServer) {
  std::string why;
  if (!TVsFtpServer::Available(&why)) GTEST_SKIP() << why;
  TTempDir dir;
  ::chmod(dir.Path().c_str(), 0755);
  const std::string root = dir.File("srv"), data = root + "/data", local = dir.File("local");
  ::mkdir(root.c_str(), 0755);
  ::mkdir(data.c_str(), 0755);
  ::mkdir(local.c_str(), 0755);
  const std::string first = PatternBytes(2 << 20, 4);
  WriteFile(data + "/grow.csv", first);
  WriteFile(local + "/grow.csv", "yesterday's file");
  ASSERT_EQ(std::system(("chown -R " + TVsFtpServer::AnonymousUser() + " '" + data + "' && chmod 644 '" + data +
                         "/grow.csv' && touch -d '1 minute ago' '" + data + "/grow.csv'")
                            .c_str()),
            0);
  TVsFtpServer server;
  server.ExtraConfig = "anon_max_rate=1048576\n";
  ASSERT_TRUE(server.Start(root)) << server.Log();
  const std::string profile = dir.File("job.FTP");
  WriteFile(profile, "[Options]\r\nServerName=127.0.0.1\r\nLogin=anonymous\r\nPassword=test@example.org\r\nPort=" +
                         std::to_string(server.Port()) + "\r\nSourceFile=*.csv\r\nDestinationFile=" + local +
                         "/\r\nDefaultFolder=/data\r\nOverwrite=Y\r\nDeleteRemote=Y\r\nPassive=Y\r\nMode=B\r\n"
                         "TimeOut=1092\r\n");
  QProcess run;
  StartProgram(run, dir, {QString::fromStdString(profile)});
  ASSERT_TRUE(run.waitForStarted());
  const std::string partial = local + "/.grow.csv.quodra-part";
  auto sizeOf = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : int64_t{-1};
  };
  QElapsedTimer waited;
  waited.start();
  while (sizeOf(partial) < (256 << 10) && run.state() != QProcess::NotRunning && waited.elapsed() < 60000)
    run.waitForFinished(20);
  ASSERT_EQ(run.state(), QProcess::Running) << run.readAllStandardOutput().toStdString();
  const std::string more = "appended,row\n";
  {
    std::ofstream append(data + "/grow.csv", std::ios::app | std::ios::binary);
    append << more;
  }
  ASSERT_TRUE(run.waitForFinished(60000));
  const std::string log = run.readAllStandardOutput().toStdString();
  EXPECT_EQ(run.exitCode(), 1) << log;
  EXPECT_NE(log.find("left on the server for the next run\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Delete Host File:grow.csv"), std::string::npos) << log;
  EXPECT_EQ(ReadFile(data + "/grow.csv"), first + more);
  EXPECT_EQ(ReadFile(local + "/grow.csv"), "yesterday's file");
}
