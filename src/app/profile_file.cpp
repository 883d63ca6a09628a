#include "app/profile_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <tuple>
#include <utility>

#include "app/digits_to_int.h"
#include "app/profile_paths.h"
#include "host/ini_file.h"
#include "host/text_util.h"

namespace quodra::app {
namespace {

using quodra::host::TIniFile;
using quodra::host::Trim;
using quodra::host::UpperCase;

char FirstUpper(const std::string& value) {
  std::string up = UpperCase(value);
  return up.empty() ? '\0' : up[0];
}

bool IsYes(const std::string& value) { return FirstUpper(value) == 'Y'; }
std::string YesNo(bool flag) { return flag ? "Y" : "N"; }

int TimeOutValue(const std::string& value, const char* whenEmpty) {
  return DigitsToInt(Trim(value).empty() ? std::string(whenEmpty) : value);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

TProfile ReadProfile(const std::string& path) {
  TIniFile ini(path);
  auto read = [&](const char* key) { return ini.ReadString(kProfileSection, key); };
  TProfile p;
  p.ServerName = read("ServerName");
  p.Port = read("Port");
  p.Login = read("Login");
  p.Password = read("Password");
  p.SourceFile = read("SourceFile");
  p.DestinationFile = read("DestinationFile");
  p.DefaultFolder = read("DefaultFolder");
  p.Overwrite = IsYes(read("Overwrite"));
  p.AutoDisconnect = IsYes(read("AutoDisconnect"));
  p.Passive = IsYes(read("Passive"));
  std::string deleteRemote = read("DeleteRemote");
  p.DeleteRemote = deleteRemote.empty() || IsYes(deleteRemote);
  // Only "Y" itself switches dial-up on; "YES" does not.
  p.UseDialup = UpperCase(read("UseDialup")) == "Y";
  switch (FirstUpper(read("FileTransferMode"))) {
    case '\0':
    case 'F': p.TransferMode = tmFtp; break;
    case 'C': p.TransferMode = tmFileCopy; break;
    case 'S': p.TransferMode = tmSftp; break;
    default: p.TransferMode = tmTrivialFtp; break;
  }
  // A blank port means the protocol's own: the service name "ftp" for FTP. A trivial-FTP
  // profile keeps it blank, which its job reads as port 69 (the text "ftp" would give 0).
  if (Trim(p.Port).empty()) p.Port = p.TransferMode == tmTrivialFtp ? "" : "ftp";
  p.Ascii = FirstUpper(read("Mode")) == 'A';
  p.TimeOut = TimeOutValue(read("Timeout"), "1000");
  p.ConnectTimeOut = TimeOutValue(read("ConnectTimeout"), "300");
  p.PhonebookEntry = read("PhonebookEntry");
  p.DialUserName = read("DialUserName");
  p.DialPassword = read("DialPassword");
  p.DialDomain = read("DialDomain");
  p.BlockSize = Trim(read("BlockSize"));
  p.WindowSize = Trim(read("WindowSize"));
  p.Security = UpperCase(Trim(read("Security"))).substr(0, 1);
  p.CertificateFingerprint = Trim(read("CertificateFingerprint"));
  // Retries: absent or blank keys keep the defaults; values are held within their range.
  {
    const std::string retries = Trim(read("Retries")), delay = Trim(read("RetryDelay"));
    if (!retries.empty()) p.Retries = std::clamp(DigitsToInt(retries), 0, 99);
    if (!delay.empty()) p.RetryDelay = std::clamp(DigitsToInt(delay), 0, 300);
  }
  p.PrivateKeyFile = read("PrivateKeyFile");
  p.HostKeyFingerprint = Trim(read("HostKeyFingerprint"));
  return p;
}

std::string EncodeProfileValue(const std::string& value) {
  if (value.empty()) return value;
  bool blankAtEnd = IsBlank(value.front()) || IsBlank(value.back());
  bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.front() == value.back();
  return (blankAtEnd || quoted) ? "\"" + value + "\"" : value;
}

bool WriteProfile(const std::string& path, const TProfile& p) {
  // An existing file we may not read would otherwise be replaced by one that lacks its
  // other keys, and a read-only file must stay as it is.
  if (::access(path.c_str(), F_OK) == 0 && ::access(path.c_str(), R_OK | W_OK) != 0) return false;
  // Through a symbolic link the file it names is replaced, beside itself.
  TIniFile ini(LinkTarget(path));
  auto write = [&](const char* key, const std::string& value) {
    ini.WriteString(kProfileSection, key, EncodeProfileValue(value));
  };
  write("ServerName", p.ServerName);
  write("Password", p.Password);
  write("Login", p.Login);
  write("Port", p.Port);
  write("DestinationFile", p.DestinationFile);
  write("DefaultFolder", p.DefaultFolder);
  write("Overwrite", YesNo(p.Overwrite));
  write("AutoDisconnect", YesNo(p.AutoDisconnect));
  write("FileTransferMode", p.TransferMode == tmTrivialFtp ? "P"
                             : p.TransferMode == tmFileCopy ? "C"
                             : p.TransferMode == tmSftp     ? "S"
                                                            : "F");
  write("DeleteRemote", YesNo(p.DeleteRemote));
  write("TimeOut", std::to_string(p.TimeOut));
  write("ConnectTimeOut", std::to_string(p.ConnectTimeOut));
  write("SourceFile", p.SourceFile);
  write("Passive", YesNo(p.Passive));
  write("Mode", p.Ascii ? "A" : "B");
  write("UseDialup", YesNo(p.UseDialup));
  write("DialUserName", p.DialUserName);
  write("DialPassword", p.DialPassword);
  write("DialDomain", p.DialDomain);
  // The entry name is stored with one trailing blank, which reading removes again.
  ini.WriteString(kProfileSection, "PhonebookEntry", p.PhonebookEntry + " ");
  // Keys a profile never had are not added: such a profile keeps its plain requests.
  for (auto [key, value] : {std::pair{"BlockSize", &p.BlockSize}, std::pair{"WindowSize", &p.WindowSize},
                            std::pair{"Security", &p.Security},
                            std::pair{"CertificateFingerprint", &p.CertificateFingerprint}})
    if (!value->empty() || ini.HasKey(kProfileSection, key)) write(key, *value);
  for (auto [key, value] : {std::pair{"PrivateKeyFile", &p.PrivateKeyFile},
                            std::pair{"HostKeyFingerprint", &p.HostKeyFingerprint}})
    if (!value->empty() || ini.HasKey(kProfileSection, key)) write(key, *value);
  for (auto [key, value, standard] : {std::tuple{"Retries", p.Retries, 0}, std::tuple{"RetryDelay", p.RetryDelay, 10}})
    if (value != standard || ini.HasKey(kProfileSection, key)) write(key, std::to_string(value));
  return ini.Save();
}

}  // namespace quodra::app
