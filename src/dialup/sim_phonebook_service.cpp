#include "dialup/sim_phonebook_service.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "host/ini_file.h"
#include "host/text_util.h"

namespace quodra::dialup {
namespace {

using quodra::host::EqualsNoCase;

struct TKey {
  std::string Name;
  std::string Value;
};
struct TSection {
  std::string Name;
  std::vector<TKey> Keys;
};

// The phonebook as sections of keys, read by the settings-file reader the profiles use.
std::optional<std::vector<TSection>> ReadPhonebook(const std::string& path) {
  quodra::host::TIniFile ini(path);
  if (!ini.Exists()) return std::nullopt;
  std::vector<TSection> sections;
  for (const std::string& name : ini.SectionNames()) {
    TSection section{name, {}};
    for (auto& [key, value] : ini.Keys(name)) section.Keys.push_back({key, value});
    sections.push_back(std::move(section));
  }
  return sections;
}

const TSection* FindSection(const std::vector<TSection>& sections, const std::string& name) {
  for (const TSection& s : sections)
    if (EqualsNoCase(s.Name, name)) return &s;
  return nullptr;
}

const std::string* FindKey(const TSection& s, const std::string& key) {
  for (const TKey& k : s.Keys)
    if (EqualsNoCase(k.Name, key)) return &k.Value;
  return nullptr;
}

std::string KeyText(const TSection& s, const std::string& key) {
  const std::string* v = FindKey(s, key);
  return v ? *v : std::string();
}

long KeyNumber(const TSection& s, const std::string& key, long fallback) {
  const std::string* v = FindKey(s, key);
  if (!v || v->empty()) return fallback;
  char* end = nullptr;
  errno = 0;
  long n = std::strtol(v->c_str(), &end, 10);
  if (errno || !end || *end) return fallback;
  return n;
}

// Seconds, fractions allowed; anything unreadable or negative is "never".
int64_t KeySecondsAsMs(const TSection& s, const std::string& key) {
  const std::string* v = FindKey(s, key);
  if (!v || v->empty()) return 0;
  char* end = nullptr;
  double secs = std::strtod(v->c_str(), &end);
  if (!end || *end || !std::isfinite(secs) || secs <= 0 || secs > 86400.0 * 365) return 0;
  return std::max<int64_t>(1, static_cast<int64_t>(secs * 1000.0));
}

std::vector<int> KeyStates(const TSection& s) {
  const std::string* v = FindKey(s, "States");
  if (!v) return {kRasOpenPort, kRasPortOpened, kRasConnectDevice, kRasDeviceConnected,
                  kRasAuthenticate, kRasAuthenticated, kRasProjected};
  std::vector<int> states;
  size_t pos = 0;
  while (pos <= v->size()) {
    size_t comma = v->find(',', pos);
    std::string item = quodra::host::Trim(v->substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    char* end = nullptr;
    long n = std::strtol(item.c_str(), &end, 10);
    // The end states are the outcome of the script, not steps of it.
    if (!item.empty() && end && !*end && n >= 0 && n < kRasConnected) states.push_back(static_cast<int>(n));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return states;
}

}  // namespace

TSimPhonebookService::TSimPhonebookService(std::string defaultPath) : DefaultPath(std::move(defaultPath)) {}

TSimPhonebookService::~TSimPhonebookService() = default;

std::string TSimPhonebookService::Name() const { return "simulated phonebook " + DefaultPath; }

std::string TSimPhonebookService::PathFor(const std::string& phonebook) const {
  return phonebook.empty() ? DefaultPath : phonebook;
}

bool TSimPhonebookService::ReadEntryNames(const std::string& path, std::vector<std::string>& names) {
  auto book = ReadPhonebook(path);
  if (!book) return false;
  names.clear();
  for (const TSection& s : *book) {
    if (s.Name.empty()) continue;
    bool seen = false;
    for (const std::string& n : names) seen = seen || EqualsNoCase(n, s.Name);
    if (!seen) names.push_back(s.Name);
  }
  return true;
}

int TSimPhonebookService::Dial(const std::string& phonebook, const TRasDialParams& params, uint32_t extOptions,
                               quodra::host::TMessageTarget* notifier, TRasHandle& handle) {
  LastOptions = extOptions;
  LastParams = params;
  auto book = ReadPhonebook(PathFor(phonebook));
  if (!book) return kRasErrorCannotOpenPhonebook;
  const TSection* entry = params.EntryName.empty() ? nullptr : FindSection(*book, params.EntryName);
  if (!entry) return kRasErrorCannotFindEntry;
  long refuse = KeyNumber(*entry, "Refuse", 0);
  if (refuse != 0) return static_cast<int>(refuse);

  TConnection c;
  c.Handle = NextHandle++;
  if (NextHandle == 0) NextHandle = 1;
  c.EntryName = entry->Name;
  c.States = KeyStates(*entry);
  c.Error = static_cast<int>(KeyNumber(*entry, "Error", 0));
  const std::string* acceptUser = FindKey(*entry, "AcceptUser");
  const std::string* acceptPassword = FindKey(*entry, "AcceptPassword");
  if (c.Error == 0 && ((acceptUser && *acceptUser != params.UserName) ||
                       (acceptPassword && *acceptPassword != params.Password)))
    c.Error = kRasErrorAuthenticationFailure;
  c.StepMs = std::clamp<long>(KeyNumber(*entry, "StepMs", 200), 0, 60000);
  c.DropAfterMs = KeySecondsAsMs(*entry, "DropAfter");
  handle = c.Handle;

  if (!notifier) {
    // Synchronous: the call itself is the whole dial.
    if (!c.States.empty()) c.State = c.States.back();
    c.States.clear();
    int error = c.Error;
    if (error == 0) c.State = kRasConnected;
    auto [it, _] = Connections.emplace(c.Handle, std::move(c));
    if (error == 0) StartDropTimer(it->second);
    return error;
  }

  c.Notifier = notifier;
  c.Timer = std::make_unique<QTimer>();
  c.Timer->setSingleShot(true);
  TRasHandle h = c.Handle;
  QObject::connect(c.Timer.get(), &QTimer::timeout, [this, h] { Step(h); });
  auto [it, _] = Connections.emplace(h, std::move(c));
  it->second.Timer->start(0);
  return 0;
}

void TSimPhonebookService::Step(TRasHandle handle) {
  auto it = Connections.find(handle);
  if (it == Connections.end()) return;
  TConnection& c = it->second;
  if (!c.Notifier) return;  // nobody listens any more
  if (!c.States.empty()) {
    c.State = c.States.front();
    c.States.erase(c.States.begin());
    c.Notifier->Post(kRasDialEventMessage, static_cast<uintptr_t>(c.State), 0);
    c.Timer->start(static_cast<int>(c.StepMs));
    return;
  }
  if (c.Error != 0) {
    c.Notifier->Post(kRasDialEventMessage, static_cast<uintptr_t>(c.State), c.Error);
    return;
  }
  c.State = kRasConnected;
  c.Notifier->Post(kRasDialEventMessage, kRasConnected, 0);
  StartDropTimer(c);
}

void TSimPhonebookService::StartDropTimer(TConnection& c) {
  if (c.DropAfterMs <= 0) return;
  if (!c.Timer) {
    c.Timer = std::make_unique<QTimer>();
    c.Timer->setSingleShot(true);
  }
  c.Timer->disconnect();
  TRasHandle h = c.Handle;
  QObject::connect(c.Timer.get(), &QTimer::timeout, [this, h] {
    auto it = Connections.find(h);
    if (it != Connections.end()) it->second.State = kRasDisconnected;
  });
  c.Timer->start(static_cast<int>(std::min<int64_t>(c.DropAfterMs, 0x7fffffff)));
}

int TSimPhonebookService::HangUp(TRasHandle handle) {
  return Connections.erase(handle) ? 0 : kRasErrorInvalidHandle;
}

int TSimPhonebookService::GetConnectStatus(TRasHandle handle, int& state) {
  auto it = Connections.find(handle);
  if (it == Connections.end()) return kRasErrorInvalidHandle;
  state = it->second.State;
  return 0;
}

int TSimPhonebookService::EnumConnections(std::vector<TRasConnection>& out, size_t max) {
  out.clear();
  for (const auto& [h, c] : Connections) {
    if (out.size() >= max) break;
    out.push_back({h, c.EntryName});
  }
  return 0;
}

int TSimPhonebookService::EnumEntries(const std::string& phonebook, std::vector<std::string>& out, size_t max) {
  out.clear();
  std::vector<std::string> names;
  if (!ReadEntryNames(PathFor(phonebook), names)) return kRasErrorCannotOpenPhonebook;
  if (names.size() > max) names.resize(max);
  out = std::move(names);
  return 0;
}

int TSimPhonebookService::GetEntryDialParams(const std::string& phonebook, TRasDialParams& params,
                                             bool& passwordReturned) {
  auto book = ReadPhonebook(PathFor(phonebook));
  if (!book) return kRasErrorCannotOpenPhonebook;
  const TSection* entry = params.EntryName.empty() ? nullptr : FindSection(*book, params.EntryName);
  if (!entry) return kRasErrorCannotFindEntry;
  params.PhoneNumber = KeyText(*entry, "PhoneNumber");
  params.CallBackNumber = KeyText(*entry, "CallBackNumber");
  params.UserName = KeyText(*entry, "UserName");
  params.Domain = KeyText(*entry, "Domain");
  const std::string* password = FindKey(*entry, "Password");
  passwordReturned = password != nullptr;
  params.Password = password ? *password : std::string();
  return 0;
}

int TSimPhonebookService::SetEntryDialParams(const std::string& phonebook, const TRasDialParams& params,
                                             bool removePassword) {
  std::string path = PathFor(phonebook);
  auto book = ReadPhonebook(path);
  if (!book) return kRasErrorCannotOpenPhonebook;
  const TSection* entry = params.EntryName.empty() ? nullptr : FindSection(*book, params.EntryName);
  if (!entry) return kRasErrorCannotFindEntry;
  std::string section = entry->Name;
  quodra::host::TIniFile ini(path);
  ini.WriteString(section, "UserName", params.UserName);
  ini.WriteString(section, "Domain", params.Domain);
  ini.WriteString(section, "CallBackNumber", params.CallBackNumber);
  if (removePassword)
    ini.DeleteKey(section, "Password");
  else
    ini.WriteString(section, "Password", params.Password);
  return ini.Save() ? 0 : kRasErrorCannotWritePhonebook;
}

int TSimPhonebookService::EditEntry(const std::string& phonebook, const std::string& entryName) {
  auto book = ReadPhonebook(PathFor(phonebook));
  if (!book) return kRasErrorCannotOpenPhonebook;
  // There is no editor window: the entry is edited in the file itself.
  return FindSection(*book, entryName) ? 0 : kRasErrorCannotFindEntry;
}

int TSimPhonebookService::CreateEntry(const std::string& phonebook) {
  std::string path = PathFor(phonebook);
  std::vector<std::string> names;
  ReadEntryNames(path, names);  // a missing phonebook is created
  std::string name = "New Entry";
  for (int n = 2;; ++n) {
    bool taken = false;
    for (const std::string& e : names) taken = taken || EqualsNoCase(e, name);
    if (!taken) break;
    name = "New Entry " + std::to_string(n);
  }
  quodra::host::TIniFile ini(path);
  ini.WriteString(name, "PhoneNumber", "");
  return ini.Save() ? 0 : kRasErrorCannotWritePhonebook;
}

}  // namespace quodra::dialup
