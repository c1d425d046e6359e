// File: search/shared/threads.cpp
//
// The thread count (threads.h); search part, shared. Tested through the
// counts (tests/cpp/search_count_test.cpp) and tests/python/test_long_phrases.py.
#include "search/shared/threads.h"

#include <sched.h>

#include <cstdlib>

namespace anagram {

namespace {

std::atomic<unsigned> chosen{0};

}  // namespace

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
