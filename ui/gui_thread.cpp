#include "ui/gui_thread.h"

#include <thread>

namespace tovaly::ui {

SerialWorker::SerialWorker() : shared_(std::make_shared<Shared>()) {
  std::thread([s = shared_] {
    std::unique_lock<std::mutex> lk(s->m);
    for (;;) {
      s->wake.wait(lk, [&] { return s->stop || !s->jobs.empty(); });
      if (s->stop) return;
      std::function<void()> job = std::move(s->jobs.front());
      s->jobs.pop_front();
      ++s->running;
      lk.unlock();
      job();
      job = nullptr;  // what it captured goes here, not under the lock
      lk.lock();
      --s->running;
    }
  }).detach();
}

SerialWorker::~SerialWorker() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> lk(shared_->m);
    shared_->stop = true;
    dropped.swap(shared_->jobs);
  }
  shared_->wake.notify_all();
}

void SerialWorker::Post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lk(shared_->m);
    shared_->jobs.push_back(std::move(job));
  }
  shared_->wake.notify_one();
}

int SerialWorker::Pending() const {
  std::lock_guard<std::mutex> lk(shared_->m);
  return static_cast<int>(shared_->jobs.size()) + shared_->running;
}

}  // namespace tovaly::ui
