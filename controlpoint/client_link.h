#pragma once
// What the proxies of remote devices need from their control point: the
// stack's client handle and the host's callback. Shared, so that a proxy
// outliving its control point (a running liveness check, say) finds a handle
// of -1 and no callback instead of a destroyed object.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "core/event_callback.h"
#include "core/thread_group.h"

namespace tovaly {

struct ClientLink {
  std::atomic<int> handle{-1};
  // The control point's and its proxies' own threads (description downloads,
  // liveness checks): joined when the control point is destroyed, before the
  // stack they call into may finish.
  ThreadGroup workers;

  void SetHost(EventCallback callback, void* context) {
    std::lock_guard<std::mutex> lk(m_);
    callback_ = callback;
    context_ = context;
  }
  bool HasHost() const {
    std::lock_guard<std::mutex> lk(m_);
    return callback_ && context_;
  }
  void* context() const {
    std::lock_guard<std::mutex> lk(m_);
    return context_;
  }
  // Calls the host (not under this link's lock); 0 when there is none.
  int32_t Notify(int32_t code, void* args) const {
    EventCallback cb;
    void* ctx;
    {
      std::lock_guard<std::mutex> lk(m_);
      cb = callback_;
      ctx = context_;
    }
    return cb && ctx ? cb(ctx, code, args) : 0;
  }
  // Diagnostic lines (code 50) go with a null context.
  void Diagnostic(const char* format, ...) const __attribute__((format(printf, 2, 3)));

 private:
  mutable std::mutex m_;
  EventCallback callback_ = nullptr;
  void* context_ = nullptr;
};

// Seconds on a clock that never goes back (not the wall clock). Tests
// replace it to move time on without waiting.
using SecondsClock = int64_t (*)();
int64_t NowSeconds();
void SetSecondsClock(SecondsClock clock);  // null restores the real clock

}  // namespace tovaly
