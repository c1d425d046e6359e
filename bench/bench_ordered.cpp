// Times the ordered search on data/words.txt: the first solution, the rate
// after it and the table memory, for a few phrases of growing size.
//
// Usage: build/bench_ordered [SECONDS [CAP_MB [PHRASE...]]]   (run from the
// repository root; SECONDS caps each phrase, default 120; CAP_MB is the
// table memory cap, default 256). ORDERED_STEP_BUDGET=N in the environment
// sets the request's memo_step_budget (0: the completion cache everywhere);
// ORDERED_ALL_ONE_LETTER=0 leaves out the one-letter words other than a and
// i, as the command's default word list does.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "search/ordered/ordered.h"

using namespace anagram;
using anagram::internal::OrderedRequest;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<std::string> load_words(const char* path) {
  std::ifstream in(path);
  std::vector<std::string> words;
  const char* all_one = std::getenv("ORDERED_ALL_ONE_LETTER");
  const bool single = !all_one || std::string(all_one) != "0";
  for (std::string line; std::getline(in, line);) {
    std::string w = normalize_word(line);
    if (w.size() == 1 && !single && w != "a" && w != "i") continue;
    if (!w.empty()) words.push_back(std::move(w));
  }
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  return words;
}

OrderedRequest request_for(const std::vector<std::string>& dictionary, const char* phrase) {
  OrderedRequest r;
  r.phrase = std::get<CharCounts>(CharCounts::from_str(phrase));
  for (const std::string& w : dictionary) {
    const CharCounts counts = std::get<CharCounts>(CharCounts::from_str(w));
    if (!r.phrase.can_subtract(counts)) continue;
    r.words.push_back(w);
    r.word_counts.push_back(counts);
  }
  return r;
}

long max_rss_mb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

const char* status_name(SearchStatus s) {
  switch (s) {
    case SearchStatus::kCompleted: return "all";
    case SearchStatus::kTimeLimit: return "cap";
    case SearchStatus::kCancelled: return "cancelled";
    case SearchStatus::kSolutionCap:
    case SearchStatus::kRunning: break;
  }
  return "running";
}

}  // namespace

int main(int argc, char** argv) {
  const double cap = argc > 1 ? std::atof(argv[1]) : 120.0;
  const double cap_mb = argc > 2 ? std::atof(argv[2]) : 256.0;
  const std::vector<std::string> dictionary = load_words("data/words.txt");
  std::printf("%-32s %9s %11s %14s %9s %10s %9s %8s %s\n", "phrase", "words", "first (ms)", "solutions", "seconds",
              "M/s", "table MB", "RSS MB", "end");
  std::vector<const char*> phrases{"clint eastwood", "anagram solver engine", "the quick brown fox jumps over"};
  if (argc > 3) phrases.assign(argv + 3, argv + argc);
  for (const char* phrase : phrases) {
    OrderedRequest request = request_for(dictionary, phrase);
    const size_t candidates = request.words.size();
    const auto start = std::chrono::steady_clock::now();
    request.memory_cap = static_cast<size_t>(cap_mb * 1048576.0);
    if (const char* budget = std::getenv("ORDERED_STEP_BUDGET")) request.memo_step_budget = std::strtoull(budget, nullptr, 10);
    const StopCondition limit{start, cap, {}};
    StopWatch watch(limit);
    OrderedSearch search(std::move(request));
    RowBatch batch;
    size_t total = search.next_batch(batch, 1, watch);
    const double first = seconds_since(start);
    for (size_t got; (got = (batch.clear(), search.next_batch(batch, 1 << 14, watch))) > 0;) total += got;
    const double all = seconds_since(start);
    std::printf("%-32s %9zu %11.2f %14zu %9.3f %10.3f %9.1f %8ld %s%s\n", phrase, candidates, first * 1e3, total, all,
                total / std::max(all - first, 1e-9) / 1e6, search.table_peak_bytes() / 1048576.0, max_rss_mb(),
                status_name(search.status()), search.used_fallback() ? " (fallback)" : "");
  }
  std::printf("end: all = every solution, cap = stopped at the %g s cap; RSS is the whole process so far\n", cap);
}
