// File: search/shared/threads.cpp
//
// The thread count (threads.h); search part, shared. Tested through the
// counts (tests/cpp/search_count_test.cpp) and tests/python/test_long_phrases.py.
#include "search/shared/threads.h"

#include <pthread.h>
#include <sched.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>

namespace anagram {

namespace {

std::atomic<unsigned> chosen{0};

// The persistent helpers: each waits for a new job number, serves items of
// the job while there are any, and says it is done. One job at a time.
struct Pool {
  std::atomic<bool> busy{false};  // taken by the caller for the whole job
  std::mutex lock;
  std::condition_variable wake, done;
  size_t helpers = 0;
  uint64_t job = 0;
  // The job in progress.
  internal::PoolTask task = nullptr;
  void* context = nullptr;
  size_t items = 0;
  unsigned threads = 0;
  unsigned running = 0;  // helpers still serving it
  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
};

// Never destroyed: helpers may still wait in it when the process exits.
// A forked child gets a fresh one (its helpers did not come along).
Pool* pool = nullptr;
std::once_flag pool_made;

void make_pool() {
  pool = new Pool;
  pthread_atfork(nullptr, nullptr, [] { pool = new Pool; });
}

void serve(Pool& p, unsigned thread, StopWatch* watch) {
  while (!p.stop.load(std::memory_order_relaxed)) {
    if (thread == 0 && watch != nullptr && watch->check()) {
      p.stop = true;
      break;
    }
    const size_t item = p.next.fetch_add(1, std::memory_order_relaxed);
    if (item >= p.items) break;
    if (!p.task(p.context, thread, item)) p.stop = true;
  }
}

void helper_loop(Pool* p, unsigned thread) {
  uint64_t seen = 0;
  std::unique_lock<std::mutex> hold(p->lock);
  while (true) {
    p->wake.wait(hold, [&] { return p->job != seen; });
    seen = p->job;
    if (thread >= p->threads) continue;
    hold.unlock();
    serve(*p, thread, nullptr);
    hold.lock();
    if (--p->running == 0) p->done.notify_all();
  }
}

}  // namespace

bool internal::run_on_pool(unsigned threads, size_t items, StopWatch* watch, PoolTask task, void* context,
                           bool& finished) {
  std::call_once(pool_made, make_pool);
  Pool& p = *pool;
  bool free = false;
  if (!p.busy.compare_exchange_strong(free, true)) return false;
  {
    std::lock_guard<std::mutex> hold(p.lock);
    try {
      while (p.helpers + 1 < threads) {
        std::thread(helper_loop, &p, static_cast<unsigned>(p.helpers + 1)).detach();
        ++p.helpers;
      }
    } catch (...) {  // no thread to be had: the caller's own way says so
      p.busy = false;
      return false;
    }
    p.task = task;
    p.context = context;
    p.items = items;
    p.threads = threads;
    p.running = threads - 1;
    p.next = 0;
    p.stop = false;
    ++p.job;
  }
  p.wake.notify_all();
  serve(p, 0, watch);
  std::unique_lock<std::mutex> hold(p.lock);
  p.done.wait(hold, [&] { return p.running == 0; });
  finished = !p.stop.load();
  p.busy = false;
  return true;
}

unsigned available_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int cores = CPU_COUNT(&set);
    if (cores > 0) return static_cast<unsigned>(cores);
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

unsigned thread_count() {
  if (const unsigned set = chosen.load()) return set;
  if (const char* text = std::getenv("ANAGRAM_THREADS")) {
    char* end = nullptr;
    const unsigned long n = std::strtoul(text, &end, 10);
    if (end != text && *end == '\0' && n >= 1 && n <= 1024) return static_cast<unsigned>(n);
  }
  return available_cores();
}

void set_thread_count(unsigned threads) { chosen.store(threads); }

}  // namespace anagram
