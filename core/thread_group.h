#pragma once
// Threads that an object starts for jobs of their own and must see end
// before it goes: nothing it started may still run when what the jobs use
// (the UPnP stack, the object's host) is gone, nor during static destruction
// at exit. Each job gets a thread; JoinAll waits for every one.

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace tovaly {

class ThreadGroup {
 public:
  ThreadGroup() = default;
  ~ThreadGroup() { JoinAll(); }
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;

  // Runs job on a new thread. Threads that have ended are joined here, so a
  // long-lived owner does not gather them.
  void Start(std::function<void()> job);
  // Waits for every thread, including those started meanwhile. A thread of
  // the group that calls it (the last owner let go there) is left to end by
  // itself: it cannot wait for itself.
  void JoinAll();
  // Threads whose job has not ended.
  size_t Running() const;

 private:
  struct Member {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> ended;
  };
  mutable std::mutex m_;  // guards members_; never held while joining
  std::list<Member> members_;
};

}  // namespace tovaly
