#pragma once
// A dialer on a simulated phonebook written into a temporary folder, with every event
// recorded in order.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dialup/qp_ras_dialer.h"
#include "dialup/qp_ras_status.h"
#include "dialup/ras_service.h"
#include "dialup/sim_phonebook_service.h"
#include "host/clock.h"
#include "host/event_wait.h"
#include "support/temp_dir.h"

namespace quodra::test {

inline quodra::dialup::TRasDialParams Entry(const std::string& name) {
  quodra::dialup::TRasDialParams p;
  p.EntryName = name;
  return p;
}

class TDialerTest : public ::testing::Test {
 protected:
  void SetUp() override { UsePhonebook(""); }
  void TearDown() override {
    Owner.reset();
    quodra::dialup::UnloadRasService();
  }

  // Installs a simulated phonebook with `text` and a fresh dialer and display beside it.
  void UsePhonebook(const std::string& text) {
    Owner.reset();
    BookPath = Dir.File("phonebook.ini");
    WriteFile(BookPath, text);
    auto service = std::make_unique<quodra::dialup::TSimPhonebookService>(BookPath);
    Service = service.get();
    quodra::dialup::SetRasService(std::move(service));
    Owner = std::make_unique<quodra::port::TQpBaseComponent>();
    Dialer = new TQpRasDialer(Owner.get());
    Status = new TQpRasStatus(Owner.get());
    Dialer->SetHangupOnDestroy(false);
    Dialer->OnConnected = [this](TQpCustomRasDialer* s) { Record(s, "connected"); };
    Dialer->OnDisconnected = [this](TQpCustomRasDialer* s) { Record(s, "disconnected"); };
    Dialer->OnDialStatus = [this](TQpCustomRasDialer* s, int st) {
      Record(s, "status " + std::to_string(st));
      if (Status->Display()) Shown.push_back(Status->Display()->StatusText());
    };
    Dialer->OnDialError = [this](TQpCustomRasDialer* s, int e) {
      Record(s, "error " + std::to_string(e));
      if (Status->Display()) Shown.push_back(Status->Display()->StatusText());
    };
  }

  void Record(TQpCustomRasDialer* sender, const std::string& what) {
    EXPECT_EQ(sender, Dialer);
    Events.push_back(what);
  }

  bool Saw(const std::string& what) const {
    for (const std::string& e : Events)
      if (e == what) return true;
    return false;
  }

  // Waits (in the event loop) until `what` has been recorded; false after 10 seconds.
  bool WaitFor(const std::string& what) {
    return quodra::host::WaitUntil([&] { return Saw(what); }, quodra::host::NowMs() + 10000);
  }

  size_t LiveConnections() {
    std::vector<quodra::dialup::TRasConnection> conns;
    Service->EnumConnections(conns, 100);
    return conns.size();
  }

  TTempDir Dir;
  std::string BookPath;
  quodra::dialup::TSimPhonebookService* Service = nullptr;
  std::unique_ptr<quodra::port::TQpBaseComponent> Owner;
  TQpRasDialer* Dialer = nullptr;
  TQpRasStatus* Status = nullptr;
  std::vector<std::string> Events;
  std::vector<std::string> Shown;  // display texts seen at each status and error event
};

}  // namespace quodra::test
