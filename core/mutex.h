#pragma once
// The system's lock. A Mutex has no constructor on purpose: a zero-filled
// static Mutex (such as the UPnP stack's user counter) works before any code
// has run and without Init. Such a never-initialised mutex is not recursive;
// one that went through Init is recursive for its owning thread.

#include <pthread.h>

#include <cstdint>

namespace tovaly {

class Mutex {
 public:
  void Init();
  void Destroy();
  void Lock();
  void Unlock();

  // Public only so that the type stays an aggregate that zero-fills; use the
  // operations above.
  uint8_t initialised_;
  uint32_t locked_;   // never-initialised mode: 1 while held
  uint32_t waiters_;  // never-initialised mode: threads waiting for it
  pthread_mutex_t cs_;
};

class MutexGuard {
 public:
  explicit MutexGuard(Mutex& m) : m_(m) { m_.Lock(); }
  ~MutexGuard() { m_.Unlock(); }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

 private:
  Mutex& m_;
};

}  // namespace tovaly
