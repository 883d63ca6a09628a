#pragma once
// A hidden message window: messages posted to it are queued on the event loop and handled
// in posting order on the user-interface thread; sent messages are handled at once.
// Destroying the target drops whatever is still queued for it.
#include <QObject>
#include <cstdint>
#include <functional>

namespace quodra::host {

struct TMessage {
  uint32_t Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
};

class TMessageTarget : public QObject {
 public:
  using THandler = std::function<void(const TMessage&)>;

  explicit TMessageTarget(THandler handler = {});
  ~TMessageTarget() override;

  void SetHandler(THandler handler) { Handler = std::move(handler); }

  // Queue a message; it is handled after the current handler has returned.
  void Post(uint32_t msg, uintptr_t w = 0, intptr_t l = 0);
  // Handle a message now, on the caller's stack.
  void Send(uint32_t msg, uintptr_t w = 0, intptr_t l = 0);
  // Drop every queued message of this target.
  void DropQueued();

 protected:
  bool event(QEvent* e) override;

 private:
  THandler Handler;
};

}  // namespace quodra::host
