#pragma once
// The remote access service as the dialer sees it: dial, hang up, connection status,
// phonebook entries and their stored dial parameters, entry editing. Two backends exist:
// NetworkManager over D-Bus and a simulated phonebook kept in a file.
#include <memory>
#include <string>
#include <vector>

#include "dialup/ras_types.h"

namespace quodra::host {
class TMessageTarget;
}

namespace quodra::dialup {

class TRasService {
 public:
  virtual ~TRasService() = default;

  // What the service is, for messages ("NetworkManager", "simulated phonebook ...").
  virtual std::string Name() const = 0;

  // Every call answers 0 or an error number. An empty `phonebook` means the default one.
  //
  // Starts dialling. With a notifier, the progress is posted to it as kRasDialEventMessage
  // (state, error) and the call returns at once; without one the call returns when the dial
  // has ended. `handle` receives the new connection whenever one was created, also when the
  // dial fails later, so that the caller can hang it up.
  virtual int Dial(const std::string& phonebook, const TRasDialParams& params, uint32_t extOptions,
                   quodra::host::TMessageTarget* notifier, TRasHandle& handle) = 0;
  // Drops a connection; the handle stays known (GetConnectStatus) until it is released.
  virtual int HangUp(TRasHandle handle) = 0;
  // The state of a connection; kRasErrorInvalidHandle once the handle has been released.
  virtual int GetConnectStatus(TRasHandle handle, int& state) = 0;
  // The live connections, at most `max`, oldest first.
  virtual int EnumConnections(std::vector<TRasConnection>& out, size_t max) = 0;
  // The entry names of the phonebook, at most `max`, in the phonebook's order.
  virtual int EnumEntries(const std::string& phonebook, std::vector<std::string>& out, size_t max) = 0;
  // Fills `params` for params.EntryName; `passwordReturned` tells whether a password is stored.
  virtual int GetEntryDialParams(const std::string& phonebook, TRasDialParams& params,
                                 bool& passwordReturned) = 0;
  virtual int SetEntryDialParams(const std::string& phonebook, const TRasDialParams& params,
                                 bool removePassword) = 0;
  virtual int EditEntry(const std::string& phonebook, const std::string& entryName) = 0;
  virtual int CreateEntry(const std::string& phonebook) = 0;
};

// The environment variable that selects the simulated phonebook (a file path).
inline constexpr char kPhonebookEnvVar[] = "QUODRA_PHONEBOOK";

// The process-wide service, chosen on first use: the simulated phonebook when
// QUODRA_PHONEBOOK names a file, otherwise NetworkManager when it is on the system bus.
// With neither, throws ERas (-13980) naming what is missing; the next call looks again.
TRasService& RasService();
// Releases the service; the next RasService() chooses again. Runs at program exit.
void UnloadRasService();
// Installs a service of the caller's (tests).
void SetRasService(std::unique_ptr<TRasService> service);

}  // namespace quodra::dialup
