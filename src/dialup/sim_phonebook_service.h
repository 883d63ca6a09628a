#pragma once
// A remote access service that dials nothing: its phonebook is a settings file, one section
// per entry, and each entry scripts what a dial of it does.
//
//   [Office]
//   PhoneNumber=555 0100
//   CallBackNumber=
//   UserName=alice
//   Password=secret          ; without this key the entry has no stored password
//   Domain=WORK
//   States=0,1,2,3,5,14,18   ; states reported while dialling, in order
//   StepMs=200               ; time between two states
//   Error=0                  ; non-zero: after the states the dial fails with this number
//   Refuse=0                 ; non-zero: the dial is refused at once with this number
//   DropAfter=0              ; seconds (fractions allowed) from connected to a dropped line
//   AcceptUser=alice         ; when present, a dial with another user name fails with 691
//   AcceptPassword=secret    ; likewise for the password
//
// Entries are listed in file order. Stored dial parameters are written back to the file.
// Connections live in this process only.
#include <QPointer>
#include <QTimer>
#include <map>
#include <memory>

#include "dialup/ras_service.h"
#include "host/message_target.h"

namespace quodra::dialup {

class TSimPhonebookService : public TRasService {
 public:
  // `defaultPath` is the phonebook used when an operation names none.
  explicit TSimPhonebookService(std::string defaultPath);
  ~TSimPhonebookService() override;

  std::string Name() const override;
  int Dial(const std::string& phonebook, const TRasDialParams& params, uint32_t extOptions,
           quodra::host::TMessageTarget* notifier, TRasHandle& handle) override;
  int HangUp(TRasHandle handle) override;
  int GetConnectStatus(TRasHandle handle, int& state) override;
  int EnumConnections(std::vector<TRasConnection>& out, size_t max) override;
  int EnumEntries(const std::string& phonebook, std::vector<std::string>& out, size_t max) override;
  int GetEntryDialParams(const std::string& phonebook, TRasDialParams& params, bool& passwordReturned) override;
  int SetEntryDialParams(const std::string& phonebook, const TRasDialParams& params, bool removePassword) override;
  int EditEntry(const std::string& phonebook, const std::string& entryName) override;
  int CreateEntry(const std::string& phonebook) override;

  // The extension options of the last dial (for tests of the option bits).
  uint32_t LastExtOptions() const { return LastOptions; }
  const TRasDialParams& LastDialParams() const { return LastParams; }

  // The phonebook's entry names in file order, duplicates dropped; false when unreadable.
  static bool ReadEntryNames(const std::string& path, std::vector<std::string>& names);

 private:
  struct TConnection {
    TRasHandle Handle = 0;
    std::string EntryName;
    int State = kRasOpenPort;
    std::vector<int> States;  // still to be reported
    int Error = 0;
    int64_t StepMs = 0;
    int64_t DropAfterMs = 0;
    QPointer<quodra::host::TMessageTarget> Notifier;
    std::unique_ptr<QTimer> Timer;
  };

  std::string PathFor(const std::string& phonebook) const;
  void Step(TRasHandle handle);
  void StartDropTimer(TConnection& c);

  std::string DefaultPath;
  std::map<TRasHandle, TConnection> Connections;
  TRasHandle NextHandle = 1;
  uint32_t LastOptions = 0;
  TRasDialParams LastParams;
};

}  // namespace quodra::dialup
