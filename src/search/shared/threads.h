// File: search/shared/threads.h
//
// Search part, shared: how many threads the counts use, and the one way
// they share work out. The number: set_thread_count(), else the
// environment variable ANAGRAM_THREADS (read at each call), else
// the cores this process may run on (sched_getaffinity). Work is handed out
// in items, a range of them to each thread first, then to whoever is free;
// the calling thread takes items too (item 0 always) and is the only one
// that looks at the stop watch, since the caller's poll hook must run on
// the thread that called (Tally carries the helpers' work there). Results never depend on
// the number of threads: work is split, never ordered by it. Tested by
// tests/cpp/search_count_test.cpp (the pool itself; 1 and several threads
// agree) and the Python thread tests.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "request/stop.h"

namespace anagram {

// The cores this process may run on; at least 1.
unsigned available_cores();
// The thread count searches use now (see above); at least 1.
unsigned thread_count();
// Sets the count for every later search; 0 goes back to the default.
void set_thread_count(unsigned threads);

namespace internal {

// One item of a job: false stops every thread.
using PoolTask = bool (*)(void* context, unsigned thread, size_t item);

// Runs the job on the process's persistent helper threads (made once, kept
// waiting), the caller as thread 0. Returns false without running anything
// when the helpers are busy with another caller's job (two counts at once,
// or a job started from inside one); `finished` is run_parallel's result.
bool run_on_pool(unsigned threads, size_t items, StopWatch* watch, PoolTask task, void* context, bool& finished);

// While one is alive, the helpers wait for the next job spinning, for up
// to 0.1 ms, before they sleep: for a caller about to run many short jobs
// in a row on `threads` threads (a count's stages), where waking a sleeping
// core each time would cost more than some of the jobs. Outside one they
// sleep at once, and take no core from the process's other threads. On one
// thread it does nothing: no helper runs.
class SpinBurst {
 public:
  explicit SpinBurst(unsigned threads);
  ~SpinBurst();
  SpinBurst(const SpinBurst&) = delete;
  SpinBurst& operator=(const SpinBurst&) = delete;

 private:
  void* pool_ = nullptr;  // the pool it was opened on (a forked child has another)
};

// Spins while busy() holds, pausing between looks, and yields the core
// once it has spun a while (the thread it waits for may need it); false
// as soon as `halt` is set.
template <typename Busy>
bool spin_while(Busy&& busy, const std::atomic<bool>& halt) {
  for (unsigned i = 1; busy(); ++i) {
    if (halt.load(std::memory_order_relaxed)) return false;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
    if (i >= 4096) std::this_thread::yield();
  }
  return true;
}

}  // namespace internal

// Calls work(thread, item) for every item 0..items-1 on up to `threads`
// threads (thread 0 is the caller, and item 0 is always its own: a job
// whose items share the work out among themselves can rely on the caller
// taking part). `work` returns false to stop every thread. The watch, when
// given, is checked by the caller between its items.
// Returns false when stopped either way. The helpers are kept between calls
// (so short jobs pay microseconds, not a thread start each); when they are
// busy, the job gets threads of its own. An exception from any thread's
// item (no memory for a table) stops every thread and is rethrown here, on
// the caller's, once all have left the job: on a helper it would end the
// process, and on the caller it would leave the helpers in a job whose
// frame is gone.
template <typename Work>
bool run_parallel(unsigned threads, size_t items, StopWatch* watch, Work&& work) {
  if (threads > items) threads = static_cast<unsigned>(items > 0 ? items : 1);
  struct Job {
    std::remove_reference_t<Work>& work;
    std::mutex lock;
    std::exception_ptr error;
  } job{work, {}, {}};
  const internal::PoolTask task = [](void* context, unsigned thread, size_t item) {
    Job& job = *static_cast<Job*>(context);
    try {
      return static_cast<bool>(job.work(thread, item));
    } catch (...) {
      const std::lock_guard<std::mutex> hold(job.lock);
      if (!job.error) job.error = std::current_exception();
      return false;
    }
  };
  bool finished = true;
  if (threads <= 1 || !internal::run_on_pool(threads, items, watch, task, &job, finished)) {
    std::atomic<size_t> next{1};  // item 0 is the caller's
    std::atomic<bool> stop{false};
    const auto serve = [&](unsigned thread) {
      while (!stop.load(std::memory_order_relaxed)) {
        if (thread == 0 && watch != nullptr && watch->check()) {
          stop = true;
          break;
        }
        const size_t item = next.fetch_add(1, std::memory_order_relaxed);
        if (item >= items) break;
        if (!task(&job, thread, item)) stop = true;
      }
    };
    std::vector<std::thread> helpers;
    try {
      for (unsigned t = 1; t < threads; ++t) helpers.emplace_back(serve, t);
    } catch (...) {  // no more threads to be had: those started and the caller do the work
    }
    if (items > 0) {  // the caller's own item first
      if ((watch != nullptr && watch->check()) || !task(&job, 0, 0)) stop = true;
    }
    serve(0);
    for (std::thread& helper : helpers) helper.join();
    finished = !stop.load();
  }
  if (job.error) std::rethrow_exception(job.error);
  return finished;
}

namespace internal {

// Work a job's threads report to done(n), which must run on the calling
// thread (thread 0: it polls the caller's stop watch). Each thread adds up
// its own and passes it on in batches: the helpers to a shared counter,
// the caller with what the helpers left there. Batches keep that counter's
// cache line from bouncing between the cores on every report.
class Tally {
 public:
  static constexpr uint64_t kBatch = uint64_t{1} << 16;
  struct Own {
    uint64_t untold = 0;
  };

  // Reports n; false once done() said stop (on any thread).
  template <typename Done>
  bool tell(unsigned thread, Own& own, uint64_t n, Done&& done) {
    own.untold += n;
    if (own.untold < kBatch) return true;
    n = own.untold;
    own.untold = 0;
    if (halt_.load(std::memory_order_relaxed)) return false;
    if (thread != 0) {
      helpers_.fetch_add(n, std::memory_order_relaxed);
      return true;
    }
    if (!done(n + helpers_.exchange(0, std::memory_order_relaxed))) {
      halt_ = true;
      return false;
    }
    return true;
  }
  // The caller, while it waits for a helper or after the job: tells what
  // the helpers passed on, so the stop watch is still looked at; false once
  // anyone was told to stop.
  template <typename Done>
  bool poll(Done&& done) {
    if (halt_.load(std::memory_order_relaxed)) return false;
    const uint64_t n = helpers_.exchange(0, std::memory_order_relaxed);
    if (n > 0 && !done(n)) {
      halt_ = true;
      return false;
    }
    return true;
  }
  // Each thread, at the end of its part of the job.
  void leave(Own& own) {
    helpers_.fetch_add(own.untold, std::memory_order_relaxed);
    own.untold = 0;
  }

 private:
  std::atomic<bool> halt_{false};
  std::atomic<uint64_t> helpers_{0};
};

}  // namespace internal

}  // namespace anagram
