// count against solve over small random dictionaries and options: the count
// of a request is exactly the size of solve's result for it, whichever way
// it is counted (the table, the reached states, the walk, or the
// step-by-step search for many patterns; each counting search of
// tests/cpp/search_list.h as well). A time limit that has already run out stops every count that
// has something to search; a cancel hook stops it or lets it finish right.
#include <stdlib.h>

#include <fuzzer/FuzzedDataProvider.h>
#include <set>
#include <string>
#include <variant>

#include "../tests/cpp/search_list.h"
#include "fuzz_common.h"
#include "fuzz_request.h"
#include "search/shared/rules.h"
#include "engine/solver.h"

using namespace anagram;

namespace {

using fuzz::normalized;

// Larger phrases than the search target takes: count and the fast search
// never visit word orders. Requests with many patterns run the step-by-step
// search, so they stay small.
constexpr size_t kMaxLetters = 14;
constexpr size_t kMaxStepLetters = 8;
constexpr size_t kManyPatterns = 65;  // beyond the fast search's pattern bits

// Every piece of every dictionary word, then two-letter fillers, until there
// are more distinct patterns than the fast search can tell apart. With a
// single alphabet letter there may be fewer: then the list stays as it is.
std::vector<std::string> many_patterns(const fuzz::Request& r, int alphabet) {
  std::set<std::string> distinct;
  for (const std::string& raw : r.raw_words) {
    const std::string w = normalized(raw);
    for (size_t i = 0; i < w.size(); ++i) {
      for (size_t n = 1; i + n <= w.size(); ++n) distinct.insert(w.substr(i, n));
    }
  }
  for (int a = 0; a < alphabet && distinct.size() < kManyPatterns; ++a) {
    for (int b = 0; b < alphabet && distinct.size() < kManyPatterns; ++b) {
      distinct.insert(std::string{static_cast<char>('a' + a), static_cast<char>('a' + b)});
    }
  }
  return {distinct.begin(), distinct.end()};
}

// A poll hook that lets `allowed` polls pass and asks to stop at the next.
struct Canceller {
  uint32_t allowed;
  uint32_t calls = 0;
  static bool poll(void* self) {
    auto& c = *static_cast<Canceller*>(self);
    return ++c.calls > c.allowed;
  }
};

void print_count(const char* label, const SolutionCount& c) {
  if (!fuzz::verbose()) return;
  std::fprintf(stderr, "%s: %s (stop %d)\n", label, c.value.to_decimal().c_str(), static_cast<int>(c.stop));
}

// Whether a request gets past the early exits: letters, none of them
// foreign, and a dictionary with words.
bool searches(const AnagramSolver& solver, const std::string& phrase) {
  const auto counted = CharCounts::from_str(phrase);
  const CharCounts* counts = std::get_if<CharCounts>(&counted);
  return counts != nullptr && !counts->is_empty() && !solver.trie.empty();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  unsetenv("ANAGRAM_DEBUG_LOG");  // count never traces; solve must not either
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  fuzz::Request r = fuzz::read_request(in, kMaxLetters);
  const size_t letters = normalized(r.phrase).size();
  const int alphabet = in.ConsumeIntegralInRange(1, 26);
  if (letters <= kMaxStepLetters && in.ConsumeBool()) r.options.contains_patterns = many_patterns(r, alphabet);
  const uint32_t polls_allowed = in.ConsumeIntegralInRange<uint32_t>(0, 3);
  const bool cancel = in.ConsumeBool();

  AnagramSolver solver;
  for (const std::string& w : r.raw_words) solver.add_word(w);
  if (fuzz::verbose()) fuzz::describe(r);
  const SolverConstraints constraints = build_constraints(r.options);
  SolveOptions uncut_options = r.options;
  uncut_options.max_solutions.reset();
  uncut_options.timeout_seconds.reset();
  const SolverConstraints uncut = build_constraints(uncut_options);

  const size_t full = solver.solve(r.phrase, uncut).size();
  const SolutionCount whole = solver.count(r.phrase, uncut);
  print_count("count", whole);
  if (fuzz::verbose()) std::fprintf(stderr, "solve: %zu\n", full);
  FUZZ_CHECK(whole.stop == SearchStatus::kCompleted);
  FUZZ_CHECK(whole.value == BigUnsigned(full));
  // Every counting search of the list, through the contract: the same
  // number. (The phrases here are too long for the step-by-step reference;
  // fuzz_search runs the whole list on short ones.)
  for (const test_util::SearchUnderTest& search : test_util::kSearches) {
    if (search.order != test_util::Order::kCountOnly) continue;
    const std::optional<test_util::SearchAnswer> answer = test_util::run_search(search, solver, r.phrase, uncut);
    if (!answer) continue;
    if (fuzz::verbose()) std::fprintf(stderr, "search %s\n", search.name);
    FUZZ_CHECK(answer->status == SearchStatus::kCompleted && answer->count == BigUnsigned(full));
  }

  // The request as given: a cap makes the count min(cap, full); a limit
  // already out stops any count that has letters and words to search.
  const std::optional<double>& limit = r.options.timeout_seconds;
  const std::optional<uint32_t>& cap = r.options.max_solutions;
  const BigUnsigned expected(cap ? std::min<uint64_t>(*cap, full) : full);
  const SolutionCount got = solver.count(r.phrase, constraints);
  print_count("count as given", got);
  if (limit && *limit <= 0 && searches(solver, r.phrase)) {
    FUZZ_CHECK(got.stop == SearchStatus::kTimeLimit);
  } else if (got.stop == SearchStatus::kTimeLimit) {
    FUZZ_CHECK(limit && *limit < 1);  // only a short limit may run out
  } else {
    FUZZ_CHECK(got.stop == SearchStatus::kCompleted || got.stop == SearchStatus::kSolutionCap);
    FUZZ_CHECK(got.value == expected);
    if (!limit || *limit >= 1) FUZZ_CHECK(BigUnsigned(solver.solve(r.phrase, constraints).size()) == expected);
  }

  // A cancel hook stops the count at one of its polls, or it finishes.
  if (cancel) {
    Canceller canceller{polls_allowed};
    const SolutionCount stopped = solver.count(r.phrase, uncut, PollHook{&Canceller::poll, &canceller});
    print_count("cancelled count", stopped);
    FUZZ_CHECK(stopped.stop == SearchStatus::kCancelled || stopped.stop == SearchStatus::kCompleted);
    if (stopped.stop == SearchStatus::kCompleted) FUZZ_CHECK(stopped.value == whole.value);
  }
  return 0;
}
