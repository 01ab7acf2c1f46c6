#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/mutex.h"
#include "core/refcount.h"
#include "core/singleton.h"
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
    RefPtr<Counted> a(new Counted(&deleted));  // takes the first reference
    RefPtr<Counted> b = a;
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
  EXPECT_EQ(g_plainMutex.initialised_, 0);
  int counter = 0;  // deliberately not atomic: only the mutex protects it
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

TEST(MutexTest, InitialisedMutexIsRecursive) {
  Mutex m;
  memset(&m, 0, sizeof m);
  m.Init();
  m.Lock();
  m.Lock();  // would deadlock if not recursive
  m.Unlock();
  m.Unlock();
  std::thread([&] { MutexGuard g(m); }).join();  // and released for other threads
  m.Destroy();
}

struct SlowToBuild : Singleton<SlowToBuild> {
  static std::atomic<int> constructions;
  SlowToBuild() {
    ++constructions;
    SleepMicros(50000);  // widens the window in which a second builder could start
  }
};
std::atomic<int> SlowToBuild::constructions{0};

TEST(SingletonTest, BuiltOnceUnderConcurrentFirstUse) {
  std::vector<SlowToBuild*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&, i] { seen[i] = &SlowToBuild::Instance(); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(SlowToBuild::constructions.load(), 1);
  for (SlowToBuild* p : seen) EXPECT_EQ(p, seen[0]);
}

TEST(Clock, NeverDecreasesAndSleepsNeverReturnEarly) {
  uint64_t last = MonotonicMicros();
  for (int i = 0; i < 100000; ++i) {
    const uint64_t now = MonotonicMicros();
    ASSERT_GE(now, last);
    last = now;
  }
  for (uint64_t d : {0ull, 1ull, 999ull, 1500ull, 20000ull}) {
    const uint64_t start = MonotonicMicros();
    SleepMicros(d);
    EXPECT_GE(MonotonicMicros() - start, d) << "slept " << d;
  }
  const uint64_t deadline = MonotonicMicros() + 3000;
  SleepUntilMicros(deadline);
  EXPECT_GE(MonotonicMicros(), deadline);
  SleepUntilMicros(0);  // a deadline in the past returns at once
}

TEST(StringHashTest, IgnoresLetterCaseAndCountsHighBytesNegative) {
  EXPECT_EQ(StringHash(""), 0u);
  EXPECT_EQ(StringHash("mp3"), StringHash("MP3"));
  EXPECT_EQ(StringHash("ab"), static_cast<uint32_t>('A' * 131 + 'B'));
  // 0xE9 counts as 0xE9 - 256 = -23: 'A' * 131 - 23.
  EXPECT_EQ(StringHash("a\xE9"), static_cast<uint32_t>('A' * 131 - 23));
  // Only a-z are folded: an upper-case accented byte stays distinct.
  EXPECT_NE(StringHash("\xE9"), StringHash("\xC9"));
  // Always 31 bits, even when the arithmetic wraps.
  EXPECT_LE(StringHash("a long extension name that overflows"), 0x7FFFFFFFu);
  EXPECT_EQ(StringHash("\xFF"), static_cast<uint32_t>(-1) & 0x7FFFFFFFu);
}

TEST(DebugTraceTest, ReportsWhetherTheTextFit) {
  EXPECT_EQ(DebugTrace("--- %s %d", "x", 42), 8);
  EXPECT_EQ(DebugTrace("%s", std::string(999, 'y').c_str()), 999);
  EXPECT_LT(DebugTrace("%s", std::string(1000, 'x').c_str()), 0);
}

}  // namespace
}  // namespace tovaly
