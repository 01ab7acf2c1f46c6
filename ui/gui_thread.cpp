#include "ui/gui_thread.h"

namespace tovaly::ui {

SerialWorker::SerialWorker(QThreadPool* pool) : pool_(pool), shared_(std::make_shared<Shared>()) {}

SerialWorker::~SerialWorker() {
  std::deque<std::function<void()>> dropped;
  std::lock_guard<std::mutex> lk(shared_->m);
  shared_->stop = true;
  dropped.swap(shared_->jobs);
}

void SerialWorker::Post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lk(shared_->m);
    shared_->jobs.push_back(std::move(job));
    if (shared_->draining) return;
    shared_->draining = true;
  }
  pool_->start([s = shared_] { Drain(s); });
}

void SerialWorker::Drain(const std::shared_ptr<Shared>& s) {
  std::unique_lock<std::mutex> lk(s->m);
  while (!s->stop && !s->jobs.empty()) {
    std::function<void()> job = std::move(s->jobs.front());
    s->jobs.pop_front();
    ++s->running;
    lk.unlock();
    job();
    job = nullptr;  // what it captured goes here, not under the lock
    lk.lock();
    --s->running;
  }
  s->draining = false;
}

int SerialWorker::Pending() const {
  std::lock_guard<std::mutex> lk(shared_->m);
  return static_cast<int>(shared_->jobs.size()) + shared_->running;
}

}  // namespace tovaly::ui
