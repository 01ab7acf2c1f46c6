#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/mutex.h"
#include "core/refcount.h"
#include "core/trace.h"

namespace tovaly {
namespace {

struct Counted : RefCountImpl {
  explicit Counted(bool* deleted) : deleted_(deleted) {}
  ~Counted() override { *deleted_ = true; }
  bool* deleted_;
};

TEST(RefCount, StartsAtZeroDeletesOnLastReleaseAndSurvivesSelfAssignment) {
  bool deleted = false;
  auto* object = new Counted(&deleted);
  EXPECT_EQ(object->AddRef(), 1);
  EXPECT_EQ(object->AddRef(), 2);
  EXPECT_EQ(object->Release(), 1);
  EXPECT_FALSE(deleted);
  EXPECT_EQ(object->Release(), 0);
  EXPECT_TRUE(deleted);
  deleted = false;
  {
    RefPtr<Counted> a(new Counted(&deleted)), b = a;
    a = b;  // same target: must not drop to zero on the way
    b = nullptr;
    a = a;
    EXPECT_FALSE(deleted);
  }
  EXPECT_TRUE(deleted);
}

// Zero-filled, never initialised: the stack's user counter relies on this.
Mutex g_plainMutex;

TEST(MutexTest, ZeroFilledStaticSerialisesThreads) {
  int counter = 0;  // only the mutex protects it
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        MutexGuard guard(g_plainMutex);
        if (inside.fetch_add(1) != 0) overlap = true;
        ++counter;
        inside.fetch_sub(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
  EXPECT_FALSE(overlap);
}

TEST(Clock, SleepsNeverReturnEarly) {
  for (uint64_t d : {0ull, 1ull, 999ull, 1500ull}) {
    const uint64_t start = MonotonicMicros();
    SleepMicros(d);
    EXPECT_GE(MonotonicMicros() - start, d) << "slept " << d;
  }
}

TEST(DebugTraceTest, ReportsWhetherTheTextFit) {
  EXPECT_EQ(DebugTrace("--- %s %d", "x", 42), 8);
  EXPECT_EQ(DebugTrace("%s", std::string(999, 'y').c_str()), 999);
  EXPECT_LT(DebugTrace("%s", std::string(1000, 'x').c_str()), 0);
}

}  // namespace
}  // namespace tovaly
