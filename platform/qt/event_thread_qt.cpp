#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include "platform/background_work.h"

namespace vmrk::platform {

PostToEventThread EventThreadPoster() {
  // A queued call on an object of this thread runs on it; posting is safe
  // from any thread. Once the object is gone the call is dropped.
  QPointer<QObject> context = new QObject(QCoreApplication::instance());
  return [context](std::function<void()> call) {
    QObject* target = context.data();
    if (target != nullptr) QMetaObject::invokeMethod(target, std::move(call), Qt::QueuedConnection);
  };
}

}  // namespace vmrk::platform
