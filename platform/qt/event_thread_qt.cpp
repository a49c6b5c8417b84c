#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include "platform/background_work.h"

namespace vmrk::platform {
namespace {

// An object of the event thread that answers a posted event. Posting is safe
// from any thread, and the event is made and read inside Qt: nothing of ours
// crosses threads here (what the wake is for travels under our own lock).
class QtWaker : public QObject, public EventThreadWaker {
 public:
  explicit QtWaker(std::function<void()> onWake) : onWake_(std::move(onWake)) {}
  void Wake() override { QCoreApplication::postEvent(this, new QEvent(QEvent::User)); }
  bool event(QEvent* event) override {
    if (event->type() != QEvent::User) return QObject::event(event);
    onWake_();
    return true;
  }

 private:
  const std::function<void()> onWake_;
};

}  // namespace

// Destroyed on its own thread, its posted events go with it.
std::unique_ptr<EventThreadWaker> NewEventThreadWaker(std::function<void()> onWake) {
  return std::make_unique<QtWaker>(std::move(onWake));
}

}  // namespace vmrk::platform
