#include "core/mutex.h"

namespace tovaly {
namespace {
// Serve every never-initialised Mutex of the process. Both are constant
// initialised, so they work during static initialisation too.
pthread_mutex_t g_guard = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_wake = PTHREAD_COND_INITIALIZER;
}  // namespace

void Mutex::Init() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&cs_, &attr);
  pthread_mutexattr_destroy(&attr);
  initialised_ = 1;
}

void Mutex::Destroy() {
  if (initialised_) {
    pthread_mutex_destroy(&cs_);
    initialised_ = 0;
  }
}

void Mutex::Lock() {
  if (initialised_) {
    pthread_mutex_lock(&cs_);
    return;
  }
  pthread_mutex_lock(&g_guard);
  while (locked_) {
    ++waiters_;
    pthread_cond_wait(&g_wake, &g_guard);
    --waiters_;
  }
  locked_ = 1;
  pthread_mutex_unlock(&g_guard);
}

void Mutex::Unlock() {
  if (initialised_) {
    pthread_mutex_unlock(&cs_);
    return;
  }
  pthread_mutex_lock(&g_guard);
  locked_ = 0;
  // One condition serves all such mutexes: wake every waiter, each re-checks
  // its own flag.
  if (waiters_) pthread_cond_broadcast(&g_wake);
  pthread_mutex_unlock(&g_guard);
}

}  // namespace tovaly
