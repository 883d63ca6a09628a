#include "dg_component.h"

#include <mutex>

#include "dg_stack.h"

namespace quodra::tftp {
namespace {

std::mutex& StackLock() {
  static std::mutex lock;
  return lock;
}
int gComponentCount = 0;

}  // namespace

TDgComponent::TDgComponent(QObject* owner) : TDgBaseComponent(owner) {
  std::lock_guard<std::mutex> guard(StackLock());
  if (gComponentCount++ == 0) GStack = new TDgStackPosix();
}

TDgComponent::~TDgComponent() {
  std::lock_guard<std::mutex> guard(StackLock());
  if (--gComponentCount == 0) {
    delete GStack;
    GStack = nullptr;
  }
}

int TDgComponent::ComponentCount() {
  std::lock_guard<std::mutex> guard(StackLock());
  return gComponentCount;
}

void TDgComponent::BeginWork(TWorkMode mode, int64_t size) {
  TWorkInfo& w = WorkInfos[mode];
  if (++w.Level == 1) {
    w.Size = size;
    w.Position = 0;
    DoWorkBegin(mode, size);
  }
}

void TDgComponent::Work(TWorkMode mode, int64_t count) {
  TWorkInfo& w = WorkInfos[mode];
  if (w.Level <= 0) return;
  w.Position = count;
  DoWork(mode, count);
}

void TDgComponent::EndWork(TWorkMode mode) {
  TWorkInfo& w = WorkInfos[mode];
  if (w.Level <= 0) return;
  if (--w.Level == 0) DoWorkEnd(mode);
}

void TDgComponent::DoStatus(TDgStatus status, const std::string& text) {
  if (OnStatus) OnStatus(this, status, text);
}
void TDgComponent::DoWorkBegin(TWorkMode mode, int64_t countMax) {
  if (OnWorkBegin) OnWorkBegin(this, mode, countMax);
}
void TDgComponent::DoWork(TWorkMode mode, int64_t count) {
  if (OnWork) OnWork(this, mode, count);
}
void TDgComponent::DoWorkEnd(TWorkMode mode) {
  if (OnWorkEnd) OnWorkEnd(this, mode);
}

}  // namespace quodra::tftp
