#include "support/sshd_server_fixture.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace quodra::test {
namespace {

// sshd takes the last MaxStartups it reads (most keywords: the first), so a test's own must
// stand alone.
bool ExtraConfigSets(const TSshdServer::TOptions& options, const std::string& keyword) {
  return std::any_of(options.ExtraConfig.begin(), options.ExtraConfig.end(),
                     [&](const std::string& line) { return line.rfind(keyword + " ", 0) == 0; });
}

}  // namespace

int RunCommand(const std::vector<std::string>& argv, const std::string& outPath, const std::vector<std::string>& env) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
    int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    int out = outPath.empty() ? ::open("/dev/null", O_WRONLY) : ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string TSshdServer::UserName() {
  passwd* pw = ::getpwuid(::getuid());
  return pw ? pw->pw_name : "root";
}

TSshdServer::TSshdServer() = default;
TSshdServer::~TSshdServer() { Stop(); }

bool TSshdServer::Start(const TOptions& options) {
  HostKeyPath = Work.File("host_key");
  if (RunCommand({"ssh-keygen", "-q", "-t", options.HostKeyType, "-N", "", "-f", HostKeyPath}) != 0) return false;
  MoreHostKeyPaths.clear();
  for (const auto& type : options.MoreHostKeyTypes) {
    MoreHostKeyPaths.push_back(Work.File("host_key_" + type));
    if (RunCommand({"ssh-keygen", "-q", "-t", type, "-N", "", "-f", MoreHostKeyPaths.back()}) != 0) return false;
  }
  WriteFile(Work.File("authorized_keys"), "");
  ::mkdir("/run/sshd", 0755);  // sshd's privilege separation needs it when run as root
  ServerPort = FreeTcpPort();
  std::string subsystem = options.SftpSubsystem.empty() ? "internal-sftp" : options.SftpSubsystem;
  if (options.SlowBytesPerSecond > 0 || options.ReadCap > 0 || options.CutAfterBytes > 0)
    subsystem = "/usr/bin/python3 " + SupportDir() + "/slow_sftp_relay.py " + std::to_string(options.SlowBytesPerSecond) +
                " " + std::to_string(options.ReadCap) + " " + std::to_string(options.CutAfterBytes);
  std::ostringstream cfg;
  for (const auto& line : options.ExtraConfig) cfg << line << "\n";
  cfg << "Port " << ServerPort << "\n"
      << "ListenAddress 127.0.0.1\n"
      << "HostKey " << HostKeyPath << "\n";
  for (const auto& path : MoreHostKeyPaths) cfg << "HostKey " << path << "\n";
  cfg
      << "PidFile " << Work.File("sshd.pid") << "\n"
      << "AuthorizedKeysFile " << Work.File("authorized_keys") << "\n"
      // sshd reads the file as the user who logs in, which a test's own user cannot (a folder
      // of root's); as root, the same keys reach every user.
      << (::geteuid() == 0 ? "AuthorizedKeysCommand /bin/cat " + Work.File("authorized_keys") + "\nAuthorizedKeysCommandUser root\n" : "")
      << "StrictModes no\n"
      << "UsePAM " << (options.KeyboardInteractiveOnly ? "yes" : "no") << "\n"
      << "PermitRootLogin yes\n"
      << "PasswordAuthentication " << (options.KeyboardInteractiveOnly ? "no" : "yes") << "\n"
      << "PubkeyAuthentication yes\n"
      << "KbdInteractiveAuthentication " << (options.KeyboardInteractiveOnly ? "yes" : "no") << "\n"
      << (ExtraConfigSets(options, "MaxStartups") ? "" : "MaxStartups 50\n")
      << "LogLevel VERBOSE\n"
      << (subsystem == "-" ? "" : "Subsystem sftp " + subsystem + "\n");
  WriteFile(Work.File("sshd_config"), cfg.str());
  if (!Process.Start({"/usr/sbin/sshd", "-D", "-e", "-f", Work.File("sshd_config")}, Work.File("sshd.log"))) return false;
  // Told by its log, not by a connection of our own, which a server that takes one
  // connection at a time (MaxStartups) would still count when the test's own comes.
  const std::string listening = "Server listening on 127.0.0.1 port " + std::to_string(ServerPort) + ".";
  return PollUntil([&] { return Log().find(listening) != std::string::npos; }, 10000);
}

std::string TSshdServer::HostKeyFingerprint() const { return HostKeyFingerprint(""); }

std::string TSshdServer::HostKeyFingerprint(const std::string& type) const {
  std::string key = HostKeyPath;
  for (const auto& path : MoreHostKeyPaths)
    if (!type.empty() && path == Work.File("host_key_" + type)) key = path;
  std::string out = Work.File("fingerprint.txt");
  RunCommand({"ssh-keygen", "-l", "-E", "sha256", "-f", key + ".pub"}, out);
  std::istringstream in(ReadFile(out));
  std::string bits, fp;
  in >> bits >> fp;
  return fp;
}

void TSshdServer::WriteKnownHosts(const std::string& path, bool hashed, bool otherKey) const {
  std::string keyFile = HostKeyPath + ".pub";
  if (otherKey) {
    std::string other = Work.File("other_host_key");
    std::filesystem::remove(other);
    std::filesystem::remove(other + ".pub");
    std::istringstream type(ReadFile(keyFile));
    std::string keyType;
    type >> keyType;
    RunCommand({"ssh-keygen", "-q", "-t", keyType == "ssh-rsa" ? "rsa" : "ed25519", "-N", "", "-f", other});
    keyFile = other + ".pub";
  }
  std::istringstream in(ReadFile(keyFile));
  std::string type, key;
  in >> type >> key;
  WriteFile(path, "[127.0.0.1]:" + std::to_string(ServerPort) + " " + type + " " + key + "\n");
  if (hashed) {
    RunCommand({"ssh-keygen", "-H", "-f", path});
    std::filesystem::remove(path + ".old");
  }
}

std::string TSshdServer::AddClientKey(const std::string& name, const std::string& type, const std::string& passphrase) {
  std::string path = Work.File(name);
  if (RunCommand({"ssh-keygen", "-q", "-t", type, "-N", passphrase, "-f", path}) != 0) return {};
  std::ofstream(Work.File("authorized_keys"), std::ios::app) << ReadFile(path + ".pub");
  return path;
}

std::vector<pid_t> TSshdServer::SessionProcesses() const {
  // Every process below the listening sshd.
  std::vector<pid_t> below;
  std::vector<pid_t> parents{Process.ProcessId()};
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const std::string name = entry.path().filename();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::istringstream stat(ReadFile(entry.path().string() + "/stat"));
      std::string pid, comm, state;
      pid_t ppid = 0;
      stat >> pid >> comm >> state >> ppid;
      pid_t p = std::atoi(name.c_str());
      bool isChild = false;
      for (pid_t parent : parents) isChild = isChild || ppid == parent;
      bool known = false;
      for (pid_t b : below) known = known || b == p;
      if (isChild && !known) {
        below.push_back(p);
        parents.push_back(p);
        grew = true;
      }
    }
  }
  return below;
}

namespace {

// Waits until `path` exists, woken by its folder's changes, at most `timeoutMs`.
bool WaitForFile(const std::string& path, int timeoutMs) {
  int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) return false;
  ::inotify_add_watch(fd, std::filesystem::path(path).parent_path().c_str(), IN_CREATE | IN_MOVED_TO);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool there = FileExists(path);
  while (!there && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    ::poll(&p, 1, static_cast<int>(std::max<int64_t>(1, left.count())));
    char events[4096];
    while (::read(fd, events, sizeof(events)) > 0) {
    }
    there = FileExists(path);
  }
  ::close(fd);
  return there;
}

}  // namespace

bool TSshAgent::Start() {
  if (!Process.Start({"ssh-agent", "-D", "-a", Socket()}, Work.File("agent.log"))) return false;
  return WaitForFile(Socket(), 4000);
}

bool TSshAgent::Add(const std::string& keyPath) {
  return RunCommand({"ssh-add", keyPath}, Work.File("ssh-add.log"), {"SSH_AUTH_SOCK=" + Socket()}) == 0;
}

bool TSystemUser::Create(const std::string& password) {
  if (::geteuid() != 0) return false;
  std::random_device rd;
  UserName_ = "qsftp" + std::to_string(rd() % 100000);
  if (RunCommand({"useradd", "-M", "-d", "/nonexistent", "-s", "/bin/sh", UserName_}) != 0) {
    UserName_.clear();
    return false;
  }
  TTempDir tmp;
  WriteFile(tmp.File("pw"), UserName_ + ":" + password + "\n");
  return RunCommand({"sh", "-c", "chpasswd < " + tmp.File("pw")}) == 0;
}

TSystemUser::~TSystemUser() {
  if (!UserName_.empty()) RunCommand({"userdel", "-f", UserName_});  // -f: sshd may still be ending its session
}

}  // namespace quodra::test
