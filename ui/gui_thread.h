#pragma once
// How work leaves the GUI thread and how its results come back. The GUI thread
// never waits on the network: a control point call runs on a worker and hands
// its result to a widget by a queued call, which is dropped when the widget is
// gone by then.

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace tovaly::ui {

// Runs fn(target) on the GUI thread later, unless target was deleted
// meanwhile. Call it from any thread; the QPointer must have been made on the
// GUI thread (it is only dereferenced there).
template <class T, class Fn>
void PostToGui(const QPointer<T>& target, Fn fn) {
  QMetaObject::invokeMethod(
      QCoreApplication::instance(),
      [target, fn = std::move(fn)]() mutable {
        if (T* t = target.data()) fn(t);
      },
      Qt::QueuedConnection);
}

// Runs jobs one after another on a thread of its own, in the order given.
// Destroying it does not wait: the job that runs is finished, the queued ones
// are dropped, and the thread ends by itself.
class SerialWorker {
 public:
  SerialWorker();
  ~SerialWorker();
  SerialWorker(const SerialWorker&) = delete;
  SerialWorker& operator=(const SerialWorker&) = delete;

  void Post(std::function<void()> job);
  // Jobs queued or running.
  int Pending() const;

 private:
  struct Shared {
    mutable std::mutex m;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    int running = 0;
    bool stop = false;
  };
  std::shared_ptr<Shared> shared_;
};

}  // namespace tovaly::ui
