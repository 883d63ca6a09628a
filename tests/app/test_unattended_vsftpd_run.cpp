// The program itself, unattended, against vsftpd: a server with no MLST (sizes and times come
// from SIZE and MDTM), its own refusal texts for a folder that is asked for as a file, ASCII
// conversion on its side, anonymous sessions that may delete, explicit TLS that refuses a data
// connection which does not resume the control connection's session, and no command read
// while it sends. The server paces itself (anon_max_rate) where a test acts during a transfer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QProcess>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "program_run.h"
#include "support/ftp_server_fixture.h"
#include "support/temp_dir.h"

using namespace quodra::test;

namespace {

// Without hidden names: the program's own partials.
std::set<std::string> EntriesOf(const std::string& folder) {
  std::set<std::string> names = FolderNames(folder);
  std::erase_if(names, [](const std::string& name) { return name[0] == '.'; });
  return names;
}

int64_t SizeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

class UnattendedVsftpdRun : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!TVsFtpServer::Available(&why)) GTEST_SKIP() << why;
    ::chmod(Dir.Path().c_str(), 0755);  // vsftpd refuses a chroot its anonymous account may write
    ::mkdir(Root.c_str(), 0755);
    ::mkdir(Local.c_str(), 0755);
  }
  // The served folder anew with `files` (a name ending in "/" is a folder), owned by the
  // anonymous account so that it may delete them, and written a minute ago, as a scheduled
  // run finds them (a file written just now is deleted only once it has held still).
  void MakeRemote(const std::map<std::string, std::string>& files) {
    ASSERT_EQ(std::system(("rm -rf '" + Data + "'").c_str()), 0);
    ::mkdir(Data.c_str(), 0755);
    for (const auto& [name, bytes] : files) {
      if (name.back() == '/')
        ::mkdir((Data + "/" + name).c_str(), 0755);
      else
        WriteFile(Data + "/" + name, bytes);
    }
    ASSERT_EQ(std::system(("chown -R " + TVsFtpServer::AnonymousUser() + " '" + Data + "' && find '" + Data +
                           "' -type f -exec chmod 644 {} + -exec touch -d '1 minute ago' {} +")
                              .c_str()),
              0);
  }
  std::string Profile(const std::string& sources, const std::string& local, bool passive, bool remove, char mode,
                      const std::string& fingerprint = {}) {
    const std::string path = Dir.File("job.FTP");
    WriteFile(path, "[Options]\r\nServerName=127.0.0.1\r\nLogin=anonymous\r\nPassword=test@example.org\r\nPort=" +
                        std::to_string(Server.Port()) + "\r\nSourceFile=" + sources + "\r\nDestinationFile=" + local +
                        "/\r\nDefaultFolder=/data\r\nOverwrite=Y\r\nDeleteRemote=" + (remove ? "Y" : "N") +
                        "\r\nPassive=" + (passive ? "Y" : "N") + "\r\nMode=" + mode + "\r\nTimeOut=1092\r\n" +
                        (fingerprint.empty() ? "" : "Security=E\r\nCertificateFingerprint=" + fingerprint + "\r\n"));
    return path;
  }
  // Starts the program on `profile` and returns once `bytes` of `name` have arrived in its
  // partial file (the server's pace decides when); false when the run ended before.
  bool StartAndWaitForPartial(QProcess& run, const std::string& profile, const std::string& name, int64_t bytes) {
    StartProgram(run, Dir, {QString::fromStdString(profile)});
    if (!run.waitForStarted()) return false;
    QElapsedTimer waited;
    waited.start();
    while (SizeOf(Local + "/." + name + ".quodra-part") < bytes && run.state() != QProcess::NotRunning &&
           waited.elapsed() < 60000)
      run.waitForFinished(20);
    return run.state() == QProcess::Running;
  }
  // A self-signed certificate for the server (Cert, Key); its fingerprint, pinned by the
  // profile as a user of such a server would, or "" when openssl failed.
  std::string MakeCertificate() {
    if (std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + Key +
                     " -out " + Cert + " -subj /CN=localhost -days 2 2>/dev/null && openssl x509 -in " + Cert +
                     " -noout -fingerprint -sha256 >" + Dir.File("fp"))
                        .c_str()) != 0)
      return {};
    const std::string fp = ReadFile(Dir.File("fp"));
    return fp.find('=') == std::string::npos ? std::string() : fp.substr(fp.find('=') + 1, 95);
  }
  TTempDir Dir;
  const std::string Root = Dir.File("srv"), Data = Root + "/data", Local = Dir.File("local");
  const std::string Cert = Dir.File("cert.pem"), Key = Dir.File("key.pem");
  TVsFtpServer Server;
};

}  // namespace

// Each row runs one profile over a fresh copy of the same folder and says what must arrive,
// what must be left on the server, and how the run ends.
TEST_F(UnattendedVsftpdRun, FetchesDeletesAndSkipsAsTheServerSaysScenarioTable) {
  const std::map<std::string, std::string> files = {{"a.csv", "alpha;1\n"},
                                                    {"b.csv", PatternBytes(200000, 7)},
                                                    {"c.txt", "text\n"},
                                                    {"lines.txt", "l1\nl2\n"},
                                                    {"caf\xE9.txt", "Latin-1 name\n"},
                                                    {"sub.csv/", ""},
                                                    {"sub.csv/x.csv", "inner\n"}};
  const std::string fingerprint = MakeCertificate();
  ASSERT_EQ(fingerprint.size(), 95u) << "openssl could not make the certificate";
  ASSERT_TRUE(Server.Start(Root, Cert, Key)) << Server.Log();

  struct TRow {
    const char* Name;
    const char* Sources;
    bool Passive, Delete, Tls;  // Tls: explicit, the server's certificate pinned
    char Mode;                  // B or A
    std::set<std::string> Fetched, LeftOnServer;
    int ExitCode;
    std::vector<std::string> LogLines;
  };
  const std::set<std::string> all{"a.csv", "b.csv", "c.txt", "lines.txt", "caf\xE9.txt", "sub.csv"};
  const std::set<std::string> csvGone{"c.txt", "lines.txt", "caf\xE9.txt", "sub.csv"};
  const std::string skipped = "Source File:sub.csv is not a regular file, skipped";
  const std::vector<TRow> rows = {
      {"a mask passes over a folder it matches", "*.csv", true, false, false, 'B', {"a.csv", "b.csv"}, all, 0,
       {skipped, "Source File:*.csv mask finished!"}},
      {"delete after each fetch, active mode", "*.csv", false, true, false, 'B', {"a.csv", "b.csv"}, csvGone, 0,
       {"Delete Host File:a.csv", "Delete Host File:b.csv", skipped}},
      {"names in their order, one missing", "c.txt;gone.csv;a.csv", true, false, false, 'B', {"c.txt", "a.csv"}, all,
       1, {"Source File:gone.csv does not exist!"}},
      {"a named folder is no file: the server's refusal is the reason", "sub.csv", true, true, false, 'B', {}, all, 1,
       {"550 Failed to open file."}},
      {"ASCII: the server's CR LF becomes LF", "lines.txt", true, false, false, 'A', {"lines.txt"}, all, 0, {}},
      {"a name in Latin-1 goes through the profile's fields byte for byte", "caf\xE9.txt", true, true, false, 'B',
       {"caf\xE9.txt"}, {"a.csv", "b.csv", "c.txt", "lines.txt", "sub.csv"}, 0, {}},
      {"explicit TLS: every data connection resumes the session, as the server demands", "*.csv", true, true, true,
       'B', {"a.csv", "b.csv"}, csvGone, 0,
       {"Security: explicit TLS", ", TLS session resumed", "Delete Host File:b.csv"}},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    MakeRemote(files);
    const std::string local = Dir.File("got-" + std::to_string(&row - rows.data()));
    ::mkdir(local.c_str(), 0755);
    TProgramRun r =
        RunProgram(Dir, Profile(row.Sources, local, row.Passive, row.Delete, row.Mode, row.Tls ? fingerprint : ""));
    ASSERT_TRUE(r.Finished) << r.Output;
    EXPECT_EQ(r.ExitCode, row.ExitCode) << r.Output << Server.Log();
    EXPECT_EQ(EntriesOf(local), row.Fetched) << r.Output;
    EXPECT_EQ(EntriesOf(Data), row.LeftOnServer) << r.Output;
    for (const std::string& line : row.LogLines) EXPECT_NE(r.Output.find(line + "\n"), std::string::npos) << line;
    // Whatever arrived is the server's file byte for byte (ASCII: with the local line ends).
    for (const std::string& name : row.Fetched) EXPECT_EQ(ReadFile(local + "/" + name), files.at(name)) << name;
  }
}

// A download the scheduler stops (SIGTERM) keeps what arrived; the next run asks the server to
// go on from there (REST) and the file ends whole. The server answers the stop's ABOR and QUIT
// only once the data connection is gone, a protected one as well.
TEST_F(UnattendedVsftpdRun, AStoppedDownloadGoesOnWhereItStopped) {
  const std::string fingerprint = MakeCertificate();
  ASSERT_EQ(fingerprint.size(), 95u) << "openssl could not make the certificate";
  Server.ExtraConfig = "anon_max_rate=1048576\n";
  ASSERT_TRUE(Server.Start(Root, Cert, Key)) << Server.Log();
  const std::string whole = PatternBytes(2 << 20, 9);
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "explicit TLS" : "plain");
    MakeRemote({{"big.bin", whole}});
    ASSERT_EQ(std::system(("rm -rf '" + Local + "' && mkdir '" + Local + "'").c_str()), 0);
    const std::string profile = Profile("big.bin", Local, true, false, 'B', tls ? fingerprint : "");
    QProcess first;
    ASSERT_TRUE(StartAndWaitForPartial(first, profile, "big.bin", 256 << 10))
        << first.readAllStandardOutput().toStdString();
    ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
    ASSERT_TRUE(first.waitForFinished(30000));
    const std::string firstLog = first.readAllStandardOutput().toStdString();
    EXPECT_EQ(first.exitCode(), 1) << firstLog;
    EXPECT_NE(firstLog.find("Stopped by signal SIGTERM\n"), std::string::npos) << firstLog;
    // vsftpd reads no command while it sends: the session ends with its answers only because
    // the data connection went with the abort (kept open, the server waited on it, and the
    // run closed the session unanswered after its logout time-out).
    EXPECT_NE(firstLog.find("221 Goodbye.\n"), std::string::npos) << firstLog;
    EXPECT_EQ(firstLog.find("ignored"), std::string::npos) << firstLog;  // those answers are no late replies
    EXPECT_FALSE(FileExists(Local + "/big.bin"));
    const std::string partial = Local + "/.big.bin.quodra-part";
    const int64_t kept = SizeOf(partial);
    ASSERT_GE(kept, 256 << 10) << firstLog;
    ASSERT_LT(kept, static_cast<int64_t>(whole.size())) << firstLog;
    EXPECT_EQ(ReadFile(partial), whole.substr(0, static_cast<size_t>(kept)));

    // The same server (a resume continues only the same server's file), at the same pace.
    TProgramRun second = RunProgram(Dir, profile);
    ASSERT_TRUE(second.Finished);
    EXPECT_EQ(second.ExitCode, 0) << second.Output;
    EXPECT_NE(second.Output.find("Resuming big.bin at " + std::to_string(kept) + " bytes kept"), std::string::npos)
        << second.Output;
    EXPECT_EQ(ReadFile(Local + "/big.bin"), whole);
    EXPECT_FALSE(FileExists(partial));
  }
}

// A file the producer is still writing while the server sends it is neither kept nor deleted:
// the run says it changed and leaves it on the server for the next run, and the destination
// keeps what it held.
TEST_F(UnattendedVsftpdRun, AFileWrittenToDuringItsDownloadStaysOnTheServer) {
  const std::string first = PatternBytes(2 << 20, 4);
  MakeRemote({{"grow.csv", first}});
  WriteFile(Local + "/grow.csv", "yesterday's file");
  Server.ExtraConfig = "anon_max_rate=1048576\n";
  ASSERT_TRUE(Server.Start(Root)) << Server.Log();
  QProcess run;
  ASSERT_TRUE(StartAndWaitForPartial(run, Profile("*.csv", Local, true, true, 'B'), "grow.csv", 256 << 10))
      << run.readAllStandardOutput().toStdString();
  const std::string more = "appended,row\n";
  std::ofstream(Data + "/grow.csv", std::ios::app | std::ios::binary) << more;
  ASSERT_TRUE(run.waitForFinished(60000));
  const std::string log = run.readAllStandardOutput().toStdString();
  EXPECT_EQ(run.exitCode(), 1) << log;
  EXPECT_NE(log.find("left on the server for the next run\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Delete Host File:grow.csv"), std::string::npos) << log;
  EXPECT_EQ(ReadFile(Data + "/grow.csv"), first + more);
  EXPECT_EQ(ReadFile(Local + "/grow.csv"), "yesterday's file");
}

// An append whose delete the server refused (the folder is not the anonymous account's) is not
// appended again by the next run: that run deletes the file it finds appended already, with
// the file's facts from SIZE and MDTM.
TEST_F(UnattendedVsftpdRun, AnAppendedFileWhoseDeleteWasRefusedIsNotAppendedAgain) {
  ASSERT_TRUE(Server.Start(Root)) << Server.Log();
  const std::string bytes = PatternBytes(100000, 3);
  MakeRemote({{"b.csv", bytes}});
  WriteFile(Local + "/b.csv", "old\n");
  const std::string profile = Profile("*.csv", Local, true, true, 'B');
  std::string text = ReadFile(profile);
  text.replace(text.find("Overwrite=Y"), 11, "Overwrite=N");
  WriteFile(profile, text);
  ASSERT_EQ(::chown(Data.c_str(), 0, 0), 0);  // the folder's entries may not be removed
  TProgramRun refused = RunProgram(Dir, profile);
  ASSERT_TRUE(refused.Finished);
  EXPECT_EQ(refused.ExitCode, 1) << refused.Output;
  EXPECT_NE(refused.Output.find("Delete Host File:b.csv\n"), std::string::npos) << refused.Output;
  ASSERT_EQ(std::system(("chown " + TVsFtpServer::AnonymousUser() + " '" + Data + "'").c_str()), 0);
  TProgramRun next = RunProgram(Dir, profile);
  ASSERT_TRUE(next.Finished);
  EXPECT_EQ(next.ExitCode, 0) << next.Output;
  EXPECT_NE(next.Output.find("Source File:b.csv was appended to " + Local + "/b.csv by another run that did not delete it\n"),
            std::string::npos)
      << next.Output;
  EXPECT_EQ(next.Output.find("Retrieving"), std::string::npos) << next.Output;
  EXPECT_TRUE(ReadFile(Local + "/b.csv") == "old\n" + bytes) << SizeOf(Local + "/b.csv");
  EXPECT_FALSE(FileExists(Data + "/b.csv"));
  EXPECT_EQ(FolderNames(Local), std::set<std::string>{"b.csv"});
}
