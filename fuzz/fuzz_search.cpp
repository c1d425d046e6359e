// Whole searches over small random dictionaries and options. These answers
// must agree: a brute-force enumeration of word multisets written here, every
// search of the list (tests/cpp/search_list.h) run through the contract, and
// the untraced request. With a solution cap the request
// returns exactly min(cap, total) of the full solutions; a traced request
// (to a real trace file) returns the same as an untraced one.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fuzzer/FuzzedDataProvider.h>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "../tests/cpp/search_list.h"
#include "../tests/cpp/test_util.h"
#include "fuzz_common.h"
#include "fuzz_request.h"
#include "engine/solver.h"

using namespace anagram;

namespace {

using fuzz::describe;
using fuzz::normalized;
using fuzz::read_request;
using fuzz::Request;
using fuzz::verbose;

using Solution = std::vector<std::string>;
using Solutions = std::vector<Solution>;

constexpr size_t kMaxLetters = 8;        // the traced search visits every word order
constexpr size_t kMaxTracedLetters = 5;  // a traced request writes every step

using Counts = std::array<int, 26>;

Counts counts_of(const std::string& word) {
  Counts c{};
  for (char ch : word) ++c[static_cast<size_t>(ch - 'a')];
  return c;
}

bool ascii_only(const std::string& text) {
  for (unsigned char b : text) {
    if (b >= 0x80) return false;
  }
  return true;
}

// The result order: fewer words, then longer shortest word, then word by word.
bool result_order(const Solution& a, const Solution& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  const auto shortest = [](const Solution& s) {
    size_t n = SIZE_MAX;
    for (const std::string& w : s) n = std::min(n, w.size());
    return n;
  };
  if (shortest(a) != shortest(b)) return shortest(a) > shortest(b);
  return a < b;
}


// Every multiset of dictionary words that spells the phrase's letters and
// meets the options, found by plain enumeration.
class BruteForce {
 public:
  BruteForce(const Request& r, const Counts& phrase) : options_(r.options) {
    std::set<std::string> dict;
    for (const std::string& w : r.raw_words) {
      const std::string n = normalized(w);
      if (!n.empty()) dict.insert(n);
    }
    const auto starts_allowed = [&](char first) {
      const auto in = [&](const std::optional<std::string>& list) {
        for (char ch : *list) {
          if (fuzz::lower(ch) == first) return true;
        }
        return false;
      };
      if (options_.must_not_start_with && in(options_.must_not_start_with)) return false;
      if (options_.can_only_ever_start_with && !in(options_.can_only_ever_start_with)) return false;
      return true;
    };
    for (const std::string& w : dict) {
      if (options_.min_word_length && w.size() < *options_.min_word_length) continue;
      if (!starts_allowed(w[0])) continue;
      words_.push_back(w);
      word_counts_.push_back(counts_of(w));
    }
    if (options_.contains_patterns) {
      for (const std::string& p : *options_.contains_patterns) {
        const std::string n = normalized(p);
        if (!n.empty()) patterns_.push_back(n);
      }
    }
    if (options_.must_start_with) {
      for (char ch : *options_.must_start_with) {
        if (fuzz::is_ascii_letter(ch)) {
          ++needed_starts_[static_cast<size_t>(fuzz::lower(ch) - 'a')];
        } else {
          impossible_ = true;  // a start character no word can have
        }
      }
      if (!ascii_only(*options_.must_start_with)) impossible_ = true;
    }
    Counts remaining = phrase;
    Solution chosen;
    if (!impossible_) enumerate(0, remaining, chosen);
    std::sort(found_.begin(), found_.end(), result_order);
  }
  const Solutions& solutions() const { return found_; }

 private:
  void enumerate(size_t from, Counts& remaining, Solution& chosen) {
    if (std::all_of(remaining.begin(), remaining.end(), [](int n) { return n == 0; })) {
      if (!chosen.empty() && accepts(chosen)) found_.push_back(chosen);
      return;
    }
    if (options_.max_words && chosen.size() >= *options_.max_words) return;
    for (size_t i = from; i < words_.size(); ++i) {
      bool fits = true;
      for (size_t k = 0; k < 26; ++k) fits = fits && word_counts_[i][k] <= remaining[k];
      if (!fits) continue;
      for (size_t k = 0; k < 26; ++k) remaining[k] -= word_counts_[i][k];
      chosen.push_back(words_[i]);
      enumerate(i, remaining, chosen);
      chosen.pop_back();
      for (size_t k = 0; k < 26; ++k) remaining[k] += word_counts_[i][k];
    }
  }

  bool accepts(const Solution& s) const {
    Counts starts{};
    for (const std::string& w : s) ++starts[static_cast<size_t>(w[0] - 'a')];
    for (size_t k = 0; k < 26; ++k) {
      if (starts[k] < needed_starts_[k]) return false;
    }
    for (const std::string& p : patterns_) {
      if (std::none_of(s.begin(), s.end(), [&](const std::string& w) { return w.find(p) != std::string::npos; })) {
        return false;
      }
    }
    return true;
  }

  const SolveOptions options_;
  std::vector<std::string> words_;
  std::vector<Counts> word_counts_;
  std::vector<std::string> patterns_;
  Counts needed_starts_{};
  bool impossible_ = false;
  Solutions found_;
};


void print_solutions(const char* label, const Solutions& list) {
  std::string out;
  for (const Solution& s : list) {
    out += "[";
    for (const std::string& w : s) out += w + (&w == &s.back() ? "" : " ");
    out += "] ";
  }
  std::fprintf(stderr, "%s (%zu): %s\n", label, list.size(), out.c_str());
}

void check_shape(const Solutions& result, const Counts& phrase) {
  FUZZ_CHECK(std::is_sorted(result.begin(), result.end(), result_order));
  FUZZ_CHECK(std::adjacent_find(result.begin(), result.end()) == result.end());
  for (const Solution& s : result) {
    FUZZ_CHECK(!s.empty() && std::is_sorted(s.begin(), s.end()));
    Counts used{};
    for (const std::string& w : s) {
      for (char ch : w) {
        FUZZ_CHECK(fuzz::is_lower_letter(ch));
        ++used[static_cast<size_t>(ch - 'a')];
      }
    }
    FUZZ_CHECK(used == phrase);
  }
}

// A capped or cut-short answer: distinct members of the full answer, sorted.
void check_subset(const Solutions& part, const Solutions& full) {
  FUZZ_CHECK(std::is_sorted(part.begin(), part.end(), result_order));
  FUZZ_CHECK(std::adjacent_find(part.begin(), part.end()) == part.end());
  for (const Solution& s : part) FUZZ_CHECK(std::binary_search(full.begin(), full.end(), s, result_order));
}

// What a request with these options must return, given the full answer.
void check_against_full(const Solutions& got, const Solutions& full, const SolveOptions& o) {
  if (o.timeout_seconds && *o.timeout_seconds < 0) {
    FUZZ_CHECK(got.empty());
    return;
  }
  check_subset(got, full);
  if (o.timeout_seconds && *o.timeout_seconds < 1) return;  // may or may not expire during the search
  if (o.max_solutions) {
    FUZZ_CHECK(got.size() == std::min<size_t>(*o.max_solutions, full.size()));
  } else {
    FUZZ_CHECK(got == full);
  }
}

size_t count_lines_starting(const std::string& text, const std::string& start) {
  size_t n = 0;
  for (size_t pos = 0; pos < text.size();) {
    if (text.compare(pos, start.size(), start) == 0) ++n;
    const size_t end = text.find('\n', pos);
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Traced requests write their file into a directory of their own.
  char dir[] = "/tmp/fuzz_search_XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) std::abort();
  unsetenv("ANAGRAM_DEBUG_LOG");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const Request r = read_request(in, kMaxLetters);

  AnagramSolver solver;
  for (const std::string& w : r.raw_words) solver.add_word(w);
  const SolverConstraints constraints = build_constraints(r.options);
  if (verbose()) describe(r);

  // The full answer: no cap, no time limit.
  SolveOptions uncut_options = r.options;
  uncut_options.max_solutions.reset();
  uncut_options.timeout_seconds.reset();
  const SolverConstraints uncut = build_constraints(uncut_options);

  const auto counted = CharCounts::from_str(r.phrase);
  const bool countable = std::holds_alternative<CharCounts>(counted);
  FUZZ_CHECK(countable || !ascii_only(r.phrase));
  Solutions full;
  Counts phrase{};
  if (countable) {
    const CharCounts& counts = std::get<CharCounts>(counted);
    for (size_t k = 0; k < 26; ++k) phrase[k] = static_cast<int>(counts.counts[k]);
    FUZZ_CHECK(counts_of(normalized(r.phrase)) == phrase);
    if (!counts.is_empty()) {
      full = BruteForce(Request{r.raw_words, r.phrase, uncut_options}, phrase).solutions();
      // Every search of the list, each through the contract, on the whole
      // request: the same solutions in the result order, or their number.
      for (const test_util::SearchUnderTest& search : test_util::kSearches) {
        const std::optional<test_util::SearchAnswer> got = test_util::run_search(search, solver, r.phrase, uncut);
        if (!got) continue;
        if (verbose()) std::fprintf(stderr, "search %s\n", search.name);
        FUZZ_CHECK(got->status == SearchStatus::kCompleted);
        FUZZ_CHECK(got->count == BigUnsigned(full.size()));
        if (search.order == test_util::Order::kResultOrder) FUZZ_CHECK(*got->solutions == full);
        if (search.order == test_util::Order::kByScore) FUZZ_CHECK(*got->solutions == test_util::by_score(full));
      }
      if (r.options.max_solutions || r.options.timeout_seconds) {
        const Solutions traced_cut = test_util::to_vectors(test_util::step_search(solver, r.phrase, constraints));
        check_against_full(traced_cut, full, r.options);
      }
    }
  }
  check_shape(full, phrase);

  // The request as the module makes it, tracing off.
  const Solutions fast = test_util::to_vectors(solver.solve(r.phrase, constraints));
  if (verbose()) {
    print_solutions("full", full);
    print_solutions("untraced", fast);
  }
  check_against_full(fast, full, r.options);
  FUZZ_CHECK(test_util::to_vectors(solver.solve(r.phrase, uncut)) == full);

  // The same request traced into a real file: same answer, and the trace
  // tells of exactly the solutions it added.
  size_t letters = 0;
  for (int n : phrase) letters += static_cast<size_t>(n);
  if (letters <= kMaxTracedLetters) {
    setenv("ANAGRAM_DEBUG_LOG", "1", 1);
    const Solutions traced = test_util::to_vectors(solver.solve(r.phrase, uncut));
    unsetenv("ANAGRAM_DEBUG_LOG");
    FUZZ_CHECK(traced == full);
    const std::string log = test_util::read_file(test_util::kTraceFile);
    FUZZ_CHECK(!log.empty() && log.back() == '\n');
    FUZZ_CHECK(log.compare(0, 25, "--- Solving for phrase: '") == 0);
    FUZZ_CHECK(count_lines_starting(log, "Constraints: SolverConstraints { ") == 1);
    if (fuzz::valid_utf8(r.phrase)) FUZZ_CHECK(fuzz::valid_utf8(log));
    const bool searched = countable && letters > 0 && solver.trie.min_word_len() != Trie::kNoWordLen;
    FUZZ_CHECK(count_lines_starting(log, "--- Solve function finished ---") == (searched ? 1u : 0u));
    FUZZ_CHECK(count_lines_starting(log, "    Solution ADDED. ") == full.size());
  }
  return 0;
}
