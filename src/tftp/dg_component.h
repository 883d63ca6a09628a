#pragma once
// Base of the components of this library: ownership by a parent object, the shared
// socket stack, the status event and the work (progress) bookkeeping with its events.
#include <QObject>
#include <cstdint>
#include <functional>
#include <string>

namespace quodra::tftp {

enum TWorkMode { wmRead = 0, wmWrite = 1 };
enum TDgStatus { dsResolving, dsConnecting, dsConnected, dsDisconnecting, dsDisconnected, dsStatusText };

class TDgComponent;
using TWorkBeginEvent = std::function<void(TDgComponent* Sender, TWorkMode AWorkMode, int64_t AWorkCountMax)>;
using TWorkEvent = std::function<void(TDgComponent* Sender, TWorkMode AWorkMode, int64_t AWorkCount)>;
using TWorkEndEvent = std::function<void(TDgComponent* Sender, TWorkMode AWorkMode)>;
using TDgStatusEvent = std::function<void(TDgComponent* ASender, TDgStatus AStatus, const std::string& AStatusText)>;

// A component is owned by its parent object and freed with it.
class TDgBaseComponent : public QObject {
 public:
  explicit TDgBaseComponent(QObject* owner = nullptr) : QObject(owner) {}
};

class TDgComponent : public TDgBaseComponent {
 public:
  explicit TDgComponent(QObject* owner = nullptr);
  ~TDgComponent() override;

  TDgStatusEvent OnStatus;
  TWorkBeginEvent OnWorkBegin;
  TWorkEvent OnWork;
  TWorkEndEvent OnWorkEnd;

  // Work nesting: begin and end are reported only for the outermost level, progress only
  // while some level is open.
  void BeginWork(TWorkMode mode, int64_t size = 0);
  void Work(TWorkMode mode, int64_t count);
  void EndWork(TWorkMode mode);
  int64_t WorkPosition(TWorkMode mode) const { return WorkInfos[mode].Position; }
  int WorkLevel(TWorkMode mode) const { return WorkInfos[mode].Level; }

  // Number of live components (the stack exists while it is above 0).
  static int ComponentCount();

 protected:
  virtual void DoStatus(TDgStatus status, const std::string& text);
  virtual void DoWorkBegin(TWorkMode mode, int64_t countMax);
  virtual void DoWork(TWorkMode mode, int64_t count);
  virtual void DoWorkEnd(TWorkMode mode);

 private:
  struct TWorkInfo {
    int64_t Position = 0;
    int64_t Size = 0;
    int Level = 0;
  };
  TWorkInfo WorkInfos[2];
};

}  // namespace quodra::tftp
