// File: search/shared/threads.cpp
//
// The thread count (threads.h); search part, shared. Tested through the
// counts (tests/cpp/search_count_test.cpp) and tests/python/test_long_phrases.py.
#include "search/shared/threads.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace anagram {

namespace {

std::atomic<unsigned> chosen{0};

// The persistent helpers: each waits for a new ticket (job number and
// thread count in one word, so a helper never mixes two jobs), serves items
// of the job while there are any, and says it is done. One job at a time.
// A count runs a job per stage, tens of them a millisecond apart: within a
// SpinBurst the helpers spin a little before they sleep, since waking a
// sleeping core takes tens of microseconds (more in a virtual machine). The
// caller spins a little for the helpers to finish.
constexpr auto kSpin = std::chrono::microseconds(100);
constexpr int kThreadBits = 16;

// The items of a job are cut into one range per thread, in order, and each
// thread takes from its own range first: stages of a count that split the
// table alike then give each thread the slabs it had, still in its cache.
// A thread done with its range helps with the others', except with item
// 0: that one is the caller's own.
struct alignas(64) Range {
  std::atomic<size_t> next{0};
  size_t end = 0;
};

struct Pool {
  std::atomic<bool> busy{false};  // taken by the caller for the whole job
  std::mutex lock;
  std::condition_variable wake, done;
  size_t helpers = 0;
  std::atomic<uint64_t> ticket{0};  // job << kThreadBits | threads
  // The job in progress: set before its ticket is published.
  internal::PoolTask task = nullptr;
  void* context = nullptr;
  std::vector<Range> ranges;  // one a thread, sized while no job runs
  std::atomic<unsigned> running{0};  // helpers still serving it
  std::atomic<unsigned> started{0};  // helpers that have taken it up
  std::atomic<bool> stop{false};
  std::atomic<int> bursts{0};  // SpinBursts open
};

// Never destroyed: helpers may still wait in it when the process exits.
// A forked child gets a fresh one (its helpers did not come along).
Pool* pool = nullptr;
std::once_flag pool_made;

void make_pool() {
  pool = new Pool;
  pthread_atfork(nullptr, nullptr, [] { pool = new Pool; });
}

// Spins until ready() or kSpin has passed; says which.
template <typename Ready>
bool spin_until(Ready&& ready) {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (unsigned i = 1;; ++i) {
    if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
    if (i % 64 == 0 && std::chrono::steady_clock::now() > until) return false;
  }
}

void serve(Pool& p, unsigned threads, unsigned thread, StopWatch* watch) {
  for (unsigned k = 0; k < threads; ++k) {
    Range& range = p.ranges[(thread + k) % threads];
    while (!p.stop.load(std::memory_order_relaxed)) {
      if (thread == 0 && watch != nullptr && watch->check()) {
        p.stop = true;
        return;
      }
      const size_t item = range.next.fetch_add(1, std::memory_order_relaxed);
      if (item >= range.end) break;
      if (!p.task(p.context, thread, item)) p.stop = true;
    }
  }
}

// The caller's side of a job: item 0, which is always its own (its range
// starts past it), then whatever it can take.
void serve_caller(Pool& p, unsigned threads, size_t items, StopWatch* watch) {
  if (items > 0) {
    if (watch != nullptr && watch->check()) {
      p.stop = true;
      return;
    }
    if (!p.task(p.context, 0, 0)) p.stop = true;
  }
  serve(p, threads, 0, watch);
}

void helper_loop(Pool* p, unsigned thread) {
  uint64_t seen = 0;
  const auto fresh = [&] { return p->ticket.load(std::memory_order_acquire) != seen; };
  const auto fresh_or_calm = [&] { return fresh() || p->bursts.load(std::memory_order_relaxed) == 0; };
  while (true) {
    if (!spin_until(fresh_or_calm) || !fresh()) {
      std::unique_lock<std::mutex> hold(p->lock);
      p->wake.wait(hold, fresh);
    }
    seen = p->ticket.load(std::memory_order_acquire);
    const unsigned threads = static_cast<unsigned>(seen & ((uint64_t{1} << kThreadBits) - 1));
    if (thread >= threads) continue;
    p->started.fetch_add(1, std::memory_order_relaxed);
    serve(*p, threads, thread, nullptr);
    if (p->running.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      std::lock_guard<std::mutex> hold(p->lock);
      p->done.notify_all();
    }
  }
}

}  // namespace

bool internal::run_on_pool(unsigned threads, size_t items, StopWatch* watch, PoolTask task, void* context,
                           bool& finished) {
  std::call_once(pool_made, make_pool);
  Pool& p = *pool;
  bool free = false;
  if (threads >= (1u << kThreadBits) || !p.busy.compare_exchange_strong(free, true)) return false;
  {
    std::lock_guard<std::mutex> hold(p.lock);
    try {
      if (p.ranges.size() < threads) p.ranges = std::vector<Range>(threads);
      while (p.helpers + 1 < threads) {
        std::thread(helper_loop, &p, static_cast<unsigned>(p.helpers + 1)).detach();
        ++p.helpers;
      }
    } catch (...) {  // no thread or memory to be had: the caller's own way says so
      p.busy = false;
      return false;
    }
    p.task = task;
    p.context = context;
    for (unsigned t = 0; t < threads; ++t) {
      p.ranges[t].next.store(t == 0 ? std::min<size_t>(items, 1) : items * t / threads, std::memory_order_relaxed);
      p.ranges[t].end = items * (t + 1) / threads;
    }
    p.running.store(threads - 1, std::memory_order_relaxed);
    p.started.store(0, std::memory_order_relaxed);
    p.stop = false;
    const uint64_t job = (p.ticket.load(std::memory_order_relaxed) >> kThreadBits) + 1;
    p.ticket.store(job << kThreadBits | threads, std::memory_order_release);
  }
  p.wake.notify_all();
  serve_caller(p, threads, items, watch);
  // Spin only for helpers already at work: one still asleep may need the
  // very core this thread would spin on.
  const auto all_done = [&] { return p.running.load(std::memory_order_acquire) == 0; };
  if (p.started.load(std::memory_order_relaxed) < threads - 1 || !spin_until(all_done)) {
    std::unique_lock<std::mutex> hold(p.lock);
    p.done.wait(hold, all_done);
  }
  finished = !p.stop.load();
  p.busy = false;
  return true;
}

internal::SpinBurst::SpinBurst(unsigned threads) {
  if (threads <= 1) return;
  std::call_once(pool_made, make_pool);
  pool_ = pool;
  ++static_cast<Pool*>(pool_)->bursts;
}

internal::SpinBurst::~SpinBurst() {
  if (pool_ != nullptr) --static_cast<Pool*>(pool_)->bursts;
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
