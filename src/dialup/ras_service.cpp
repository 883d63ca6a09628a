#include "dialup/ras_service.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <cstdlib>

#include "dialup/nm_ras_service.h"
#include "dialup/sim_phonebook_service.h"
#include "port/qp_error_codes.h"
#include "port/qp_except.h"

namespace quodra::dialup {
namespace {

std::unique_ptr<TRasService>& Current() {
  static std::unique_ptr<TRasService> service;
  return service;
}

// The D-Bus backend must go while the application object still exists.
void RegisterRelease() {
  static bool registered = false;
  if (registered || !QCoreApplication::instance()) return;
  registered = true;
  qAddPostRoutine([] {
    UnloadRasService();
  });
}

}  // namespace

TRasService& RasService() {
  std::unique_ptr<TRasService>& service = Current();
  if (service) return *service;
  const char* book = std::getenv(kPhonebookEnvVar);
  if (book && *book) {
    service = std::make_unique<TSimPhonebookService>(book);
    return *service;
  }
  QDBusConnection bus = QDBusConnection::systemBus();
  if (QCoreApplication::instance() && TNmRasService::Available(bus)) {
    service = std::make_unique<TNmRasService>(bus);
    RegisterRelease();
    return *service;
  }
  throw quodra::port::ERasLoadFail(
      "Failed to find/load the remote access service: NetworkManager is not running on the system bus "
      "(and QUODRA_PHONEBOOK names no simulated phonebook)",
      quodra::port::ecRasLoadFail);
}

void UnloadRasService() { Current().reset(); }

void SetRasService(std::unique_ptr<TRasService> service) {
  Current() = std::move(service);
  RegisterRelease();
}

}  // namespace quodra::dialup
