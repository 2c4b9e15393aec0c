#include "platform/parallel.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>
#include <atomic>
#include <mutex>
#include <set>
#include <vector>

namespace {

TEST(ForRanges, EveryIndexOnceInBoundedRanges) {
  for (size_t count : {0, 1, 15, 16, 17, 63, 64, 65, 1000, 4099}) {
    for (size_t grain : {0, 1, 3, 16, 5000}) {
      std::vector<std::atomic<int>> seen(count);
      std::atomic<bool> bad_range{false};
      parallel::for_ranges(count, grain, [&](size_t begin, size_t end) {
        if (begin >= end || end > count || end - begin > std::max<size_t>(grain, 1)) bad_range = true;
        for (size_t i = begin; i < end && i < count; ++i) seen[i]++;
      });
      EXPECT_FALSE(bad_range) << count << " by " << grain;
      for (size_t i = 0; i < count; ++i)
        ASSERT_EQ(seen[i].load(), 1) << i << " of " << count << " by " << grain;
    }
  }
}

// The threads that ran `ranges` ranges of slow work.
std::set<pthread_t> threads_used(size_t ranges) {
  std::mutex lock;
  std::set<pthread_t> threads;
  parallel::for_ranges(ranges, 1, [&](size_t, size_t) {
    usleep(2000);
    std::lock_guard<std::mutex> hold(lock);
    threads.insert(pthread_self());
  });
  return threads;
}

TEST(ForRanges, SharesLongWorkWhenThereAreProcessors) {
  cpu_set_t usable;
  ASSERT_EQ(sched_getaffinity(0, sizeof usable, &usable), 0);
  if (CPU_COUNT(&usable) < 2) GTEST_SKIP() << "one processor: nothing to share";
  std::set<pthread_t> threads = threads_used(64);
  EXPECT_GE(threads.size(), 2u);
  EXPECT_LE(threads.size(), 4u);
  EXPECT_TRUE(threads.count(pthread_self())) << "the calling thread works too";
}

TEST(ForRanges, OneProcessorKeepsTheWorkOnTheCallingThread) {
  cpu_set_t usable, one;
  ASSERT_EQ(sched_getaffinity(0, sizeof usable, &usable), 0);
  int cpu = sched_getcpu();
  for (int i = 0; cpu < 0 && i < CPU_SETSIZE; ++i)
    if (CPU_ISSET(i, &usable)) cpu = i;
  ASSERT_GE(cpu, 0);
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  if (sched_setaffinity(0, sizeof one, &one) != 0) GTEST_SKIP() << "the processors cannot be chosen here";
  std::set<pthread_t> threads = threads_used(16);
  ASSERT_EQ(sched_setaffinity(0, sizeof usable, &usable), 0);
  EXPECT_EQ(threads, std::set<pthread_t>{pthread_self()});
}

}  // namespace
