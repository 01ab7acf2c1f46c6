#include "core/thread_group.h"

namespace tovaly {

void ThreadGroup::Start(std::function<void()> job) {
  std::list<Member> ended;
  {
    std::lock_guard<std::mutex> lk(m_);
    for (auto it = members_.begin(); it != members_.end();) {
      auto next = std::next(it);
      if (it->ended->load()) ended.splice(ended.end(), members_, it);
      it = next;
    }
    auto flag = std::make_shared<std::atomic<bool>>(false);
    members_.push_back(Member{std::thread([job = std::move(job), flag]() mutable {
                                job();
                                job = nullptr;  // what it held goes before the thread counts as ended
                                flag->store(true);
                              }),
                              flag});
  }
  for (Member& m : ended) m.thread.join();
}

void ThreadGroup::JoinAll() {
  for (;;) {
    std::list<Member> all;
    {
      std::lock_guard<std::mutex> lk(m_);
      if (members_.empty()) return;
      all.swap(members_);
    }
    for (Member& m : all) {
      if (m.thread.get_id() == std::this_thread::get_id()) {
        m.thread.detach();
      } else {
        m.thread.join();
      }
    }
  }
}

size_t ThreadGroup::Running() const {
  std::lock_guard<std::mutex> lk(m_);
  size_t n = 0;
  for (const Member& m : members_) n += !m.ended->load();
  return n;
}

}  // namespace tovaly
