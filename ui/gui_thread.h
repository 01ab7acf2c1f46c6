#pragma once
// How work leaves the GUI thread and how its results come back. The GUI thread
// never waits on the network: a control point call runs on a worker and hands
// its result to a widget by a queued call, which is dropped when the widget is
// gone by then.

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThreadPool>

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

// Threads of the pool that runs the window's network jobs. A control point
// call can wait for many seconds (a renderer that does not answer, start
// rendering with its retries), so the pool is sized for waiting, not for the
// machine's cores: a few slow calls never hold up a Browse or a Refresh.
constexpr int kNetworkThreads = 16;

// Runs jobs one after another, in the order given, on a pool that its owner
// waits for before the engines go. Destroying it does not wait: the job that
// runs is finished, the queued ones are dropped.
class SerialWorker {
 public:
  explicit SerialWorker(QThreadPool* pool);
  ~SerialWorker();
  SerialWorker(const SerialWorker&) = delete;
  SerialWorker& operator=(const SerialWorker&) = delete;

  void Post(std::function<void()> job);
  // Jobs queued or running.
  int Pending() const;

 private:
  struct Shared {
    mutable std::mutex m;
    std::deque<std::function<void()>> jobs;
    int running = 0;
    bool draining = false;  // a job of the pool works through the queue
    bool stop = false;
  };
  static void Drain(const std::shared_ptr<Shared>& s);

  QThreadPool* pool_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace tovaly::ui
