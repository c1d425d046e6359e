// File: search/count/table_count.h
//
// Exact counting of the anagrams of a phrase without building any of them:
// how many distinct multisets of dictionary words spell exactly the phrase's
// letters, optionally with at most `max_words` words. The count equals the
// number of solutions a full search returns for the same candidate words.
//
// The caller picks the candidate words (length and start-letter filters are
// its business) and groups them by letters; the count is exact at any size.
//
// The table count (search/count/). Tested by tests/cpp/search_count_test.cpp
// and the differential tests of every search.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "text/char_utils.h"
#include "request/big_unsigned.h"
#include "request/stop.h"

namespace anagram {

// The candidate words that share one multiset of letters.
struct AnagramClass {
  CharCounts letters;  // the letters of each word of the class
  uint32_t length;     // letters per word, letters.total()
  uint64_t words;      // how many distinct dictionary words hold them
};

// Groups words by their letters. Each word must be non-empty and distinct.
std::vector<AnagramClass> group_into_classes(std::span<const std::string_view> words);

struct CountLimits {
  std::optional<uint32_t> max_words;
  // The largest dense table the count may allocate; above it the count goes
  // to the tables of reachable states (reach_count.h).
  size_t max_table_bytes = size_t{256} << 20;
  // The most the tables of reachable states may hold at once; above it the
  // result is too_large. 0: never use them.
  size_t max_reach_bytes = size_t{1536} << 20;
  // Threads the counts may use; the count is the same.
  unsigned threads = 1;
  // `threads`, at least one: what the counts run on.
  unsigned threads_used() const { return threads > 1 ? threads : 1; }
  // A stage of the dense steps (box_runs.h) of fewer cell updates runs
  // whole, unsplit: handing it out costs more than it saves. Tests set 0.
  uint64_t min_split_cells = uint64_t{1} << 16;
  // A stage splits on further dims until its slabs hold at most this many
  // cells, a core's own cache (2 MB here), and only on dims whose stride is
  // at least a 256th of it (4 KB). Measured on the benchmark's dense
  // phrases, this made one thread 1.5x faster, and a second thread gain
  // 1.5-1.9x instead of nothing. Tests set 0: every free dim splits.
  uint64_t slab_cells = uint64_t{1} << 17;
  // For tests: how many letters the tables of reachable states expand state
  // by state before the dense part (by default the cheaper way chooses).
  std::optional<int> sparse_letters;
  // The most cells a reached state may hold as its own dense tail of the
  // commonest letters (reach_count.cpp); 1: no tail.
  uint32_t tail_cells = 8192;
  // The class fits the tables of reachable states may try before the
  // result is too_large: 2^33 is about three minutes of one thread, the
  // 35-letter pangram a third of that.
  uint64_t max_sparse_work = uint64_t{1} << 33;
  // Asked before the count and about every quarter million table updates
  // (well under a millisecond); when it says stop, so does the count.
  StopWatch* watch = nullptr;
};

struct CountResult {
  SearchStatus status = SearchStatus::kCompleted;
  // The dense table would exceed max_table_bytes and the reachable states
  // max_reach_bytes, or the count exceeds what long double can bound
  // (~2^16000): no answer.
  bool too_large = false;
  BigUnsigned count;          // meaningful only when completed and not too large
  uint64_t states = 0;        // sub-multisets in the table (letters held once left out), or states reached
  size_t table_bytes = 0;     // size of the table, allocated or refused, or the peak of the reached states
  uint64_t cell_updates = 0;  // work done: table updates of all passes, classes tried
  uint32_t passes = 1;        // 1, or more when the count outgrew 64 bits
};

namespace internal {
// What both counts answer before any work: 0 for an empty phrase, or the
// stop when the watch already says so; nothing when there is work to do.
// Inline: the count over reached states, which table_count.cpp calls,
// takes it too.
inline std::optional<CountResult> answer_before_counting(const CharCounts& phrase, const CountLimits& limits) {
  CountResult result;
  if (phrase.is_empty()) return result;
  if (limits.watch != nullptr && limits.watch->check()) {
    result.status = limits.watch->reason();
    return result;
  }
  return std::nullopt;
}
}  // namespace internal

// An empty phrase counts 0, as a search finds no solution for it. Classes
// that do not fit in the phrase, or hold no words or no letters, are ignored.
// A class of c words costs c passes over its part of the table. Counts past
// 64 bits cost a few more passes (one per 62 bits beyond the first 64).
CountResult count_anagrams(const CharCounts& phrase, std::span<const AnagramClass> classes,
                           const CountLimits& limits = {});

}  // namespace anagram
