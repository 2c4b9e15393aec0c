#include "platform/parallel.h"

#include <pthread.h>
#include <sched.h>
#include <algorithm>
#include <atomic>

namespace parallel {
namespace {

constexpr size_t max_threads = 4;
// Starting a thread costs about as much as a few ranges of work: a thread is
// started only for this many ranges beyond the calling thread's own.
constexpr size_t ranges_per_thread = 4;

struct shared_work {
  size_t count;
  size_t grain;
  const std::function<void(size_t, size_t)>* work;
  std::atomic<size_t> next{0};

  // Takes ranges until none is left.
  void run() {
    for (;;) {
      size_t begin = next.fetch_add(grain, std::memory_order_relaxed);
      if (begin >= count) return;
      (*work)(begin, std::min(count, begin + grain));
    }
  }
};

void* run_thread(void* arg) {
  static_cast<shared_work*>(arg)->run();
  return nullptr;
}

}  // namespace

void for_ranges(size_t count, size_t grain, const std::function<void(size_t, size_t)>& work) {
  if (count == 0) return;
  grain = std::max<size_t>(grain, 1);
  size_t ranges = (count + grain - 1) / grain;
  cpu_set_t usable;
  CPU_ZERO(&usable);
  size_t processors =
      sched_getaffinity(0, sizeof usable, &usable) == 0 ? static_cast<size_t>(CPU_COUNT(&usable)) : 1;
  size_t helpers =
      std::min({max_threads, std::max<size_t>(processors, 1), 1 + ranges / ranges_per_thread}) - 1;
  shared_work shared{count, grain, &work};
  pthread_t threads[max_threads];
  size_t started = 0;
  if (helpers > 0) {
    // The helpers are kept off the calling thread's processor. Left to
    // itself, the scheduler may start a new thread on the processor of the
    // thread that made it and hold one of the two back for milliseconds,
    // about as long as the whole work takes.
    pthread_attr_t attributes;
    bool have_attributes = pthread_attr_init(&attributes) == 0;
    bool placed = false;
    int current = sched_getcpu();
    if (have_attributes && current >= 0 && CPU_ISSET(current, &usable)) {
      cpu_set_t others = usable;
      CPU_CLR(current, &others);
      placed = pthread_attr_setaffinity_np(&attributes, sizeof others, &others) == 0;
    }
    // A thread that cannot be started where it was meant to is started
    // anywhere; one that cannot be started at all leaves its share to the
    // others.
    while (started < helpers) {
      pthread_t* thread = &threads[started];
      if (!(placed && pthread_create(thread, &attributes, run_thread, &shared) == 0) &&
          pthread_create(thread, nullptr, run_thread, &shared) != 0)
        break;
      ++started;
    }
    if (have_attributes) pthread_attr_destroy(&attributes);
  }
  shared.run();
  for (size_t i = 0; i < started; ++i) pthread_join(threads[i], nullptr);
}

}  // namespace parallel
