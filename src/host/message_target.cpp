#include "message_target.h"

#include <QCoreApplication>
#include <QEvent>

namespace quodra::host {
namespace {

const QEvent::Type kMessageEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

class TMessageEvent : public QEvent {
 public:
  explicit TMessageEvent(const TMessage& m) : QEvent(kMessageEventType), Message(m) {}
  TMessage Message;
};

}  // namespace

TMessageTarget::TMessageTarget(THandler handler) : Handler(std::move(handler)) {}

TMessageTarget::~TMessageTarget() = default;  // QObject drops its posted events

void TMessageTarget::Post(uint32_t msg, uintptr_t w, intptr_t l) {
  QCoreApplication::postEvent(this, new TMessageEvent(TMessage{msg, w, l}));
}

void TMessageTarget::Send(uint32_t msg, uintptr_t w, intptr_t l) {
  if (Handler) Handler(TMessage{msg, w, l});
}

void TMessageTarget::DropQueued() { QCoreApplication::removePostedEvents(this, kMessageEventType); }

bool TMessageTarget::event(QEvent* e) {
  if (e->type() == kMessageEventType) {
    // Copy first: the handler may destroy this target.
    TMessage m = static_cast<TMessageEvent*>(e)->Message;
    THandler h = Handler;
    if (h) h(m);
    return true;
  }
  return QObject::event(e);
}

}  // namespace quodra::host
