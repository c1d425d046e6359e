// File: search/traced/traced.cpp
//
// The step-by-step search of a solve request: backtrack (one call per
// partial solution) and find_one_word_recursive (one call per letter of the
// word being spelled), which recurse into each other. Traced requests run it
// with a trace file and every line it writes is part of the trace format, so
// it follows its description step for step and word for word; untraced it
// serves requests with more distinct patterns than the fast search takes.
//
// Held to account by: tests/cpp/trace_test.cpp (the exact trace of the
// smallest search), tests/python/test_trace.py (trace lines and when they
// are written), tests/cpp/search_test.cpp and
// tests/python/test_solve_oracle.py
// (the same results as the fast search and a brute-force oracle) and
// fuzz/fuzz_search.cpp (all three on random dictionaries and options).
//
// The step-by-step search (search/traced/), the reference. Tested by
// tests/cpp/search_test.cpp, tests/cpp/trace_test.cpp and fuzz/fuzz_search.cpp
// (against a brute force).
#include "search/traced/traced.h"

#include <pthread.h>

#include <algorithm>
#include <exception>
#include <functional>
#include <new>

#include "request/result_order.h"

namespace anagram {

namespace {

bool stopped(const SolverConstraints& c, const SearchState& state) {
  return state.timed_out || cap_reached(c.max_solutions, state.solutions_found);
}

// Can every pattern not yet met still be met by the words to come?
bool patterns_feasible(const std::vector<std::string>& path, const CharCounts& remaining,
                       const SolverConstraints& c, const std::vector<bool>& mask, TraceFile* trace) {
  const std::vector<ProcessedPattern>& patterns = *c.contains_patterns;
  size_t unsatisfied = 0;
  for (size_t i = 0; i < patterns.size(); ++i) {
    if (mask[i]) continue;
    if (!remaining.can_subtract(patterns[i].counts)) {
      if (trace) {
        trace_line(*trace, "  Pruned PATTERN: Cannot form pattern '", patterns[i].text, "' (idx ", i,
                   "). Path: ", path);
      }
      return false;
    }
    ++unsatisfied;
  }
  if (unsatisfied > 0 && c.max_words && path.size() >= *c.max_words) {
    if (trace) trace_line(*trace, "  Pruned PATTERN: Unsatisfied patterns but max_words reached. Path: ", path);
    return false;
  }
  return true;
}

bool start_letters_satisfied(const std::vector<std::string>& path, const CharCountMap& needed_counts,
                             TraceFile* trace) {
  StartCounts starts{};
  for (const std::string& word : path) {
    if (!word.empty()) ++starts[static_cast<size_t>(word[0] - 'a')];
  }
  if (const auto* unmet = first_unmet_start(needed_counts, starts)) {
    if (trace) {
      trace_line(*trace, "    PRUNED BASE CASE: must_start_with: char '", RawChar{unmet->first}, "' needed ",
                 unmet->second, " times, found ", words_starting_with(starts, unmet->first), " times. Path: ", path);
    }
    return false;
  }
  if (trace) trace_line(*trace, "    must_start_with constraint SATISFIED. Path: ", path);
  return true;
}

void base_case(std::vector<std::string>& path, const SolverConstraints& c, SolutionSet& solutions,
               SearchState& state, TraceFile* trace) {
  if (trace) trace_line(*trace, "  REACHED BASE CASE (remaining_counts is empty). Path: ", path);
  if (path.empty()) {
    if (trace) {
      trace_line(*trace, "    Current path IS EMPTY in base case. Path: ", path);
      trace_line(*trace, "  Returning from BASE CASE. Path: ", path);
    }
    return;
  }
  if (trace) trace_line(*trace, "    Current path is not empty: ", path);
  if (c.must_start_with) {
    if (!start_letters_satisfied(path, *c.must_start_with, trace)) return;
  } else if (trace) {
    trace_line(*trace, "    No must_start_with constraint active. Path: ", path);
  }
  if (trace) {
    if (state.pattern_mask) {
      trace_line(*trace, "    Patterns satisfied (or no pattern constraint). Mask: ", *state.pattern_mask,
                 ". Path: ", path);
    } else {
      trace_line(*trace, "    No pattern constraint active in base case. Path: ", path);
    }
  }
  std::vector<std::string> sorted = path;
  std::sort(sorted.begin(), sorted.end());
  if (trace) trace_line(*trace, "    Attempting to insert solution: ", sorted);
  if (!solutions.insert(std::move(sorted)).second) {
    if (trace) trace_line(*trace, "    Solution DUPLICATE. Path: ", path);
  } else {
    ++state.solutions_found;
    if (trace) {
      trace_line(*trace, "    Solution ADDED. New count: ", state.solutions_found, ". Set size: ", solutions.size(),
                 ". Path: ", path);
    }
    if (cap_reached(c.max_solutions, state.solutions_found)) {
      if (trace) trace_line(*trace, "    Max solutions reached after adding. Path: ", path);
      return;
    }
  }
  if (trace) trace_line(*trace, "  Returning from BASE CASE. Path: ", path);
}

// Marks the patterns that `word` newly satisfies; returns their indexes.
std::vector<size_t> mark_patterns(const std::string& word, const std::vector<ProcessedPattern>& patterns,
                                  std::vector<bool>& mask, TraceFile* trace) {
  std::vector<size_t> changes;
  if (trace) trace_line(*trace, "      FOWR: Checking patterns. Word: '", word, "'. Mask before: ", mask);
  for (size_t i = 0; i < patterns.size(); ++i) {
    if (mask[i] || word.find(patterns[i].text) == std::string::npos) continue;
    changes.push_back(i);
    mask[i] = true;
    if (trace) {
      trace_line(*trace, "        FOWR: Pattern '", patterns[i].text, "' (idx ", i, ") satisfied by '", word,
                 "'. Mask now: ", mask);
    }
  }
  return changes;
}

void unmark_patterns(const std::string& word, const std::vector<size_t>& changes, std::vector<bool>& mask,
                     TraceFile* trace) {
  if (trace && !changes.empty()) {
    trace_line(*trace, "      FOWR: Reverting mask changes for word '", word, "'. Mask before revert: ", mask);
  }
  for (size_t i : changes) mask[i] = false;
  if (trace && !changes.empty()) trace_line(*trace, "      FOWR: Mask after revert: ", mask);
}

// Offers the word that ends at the current node as the next word of the path.
void offer_word(const Trie& trie, std::string& word, CharCounts& remaining,
                std::vector<std::string>& path, const SolverConstraints& c, SolutionSet& solutions,
                SearchState& state, TraceFile* trace) {
  if (trace) trace_line(*trace, "    FOWR: Found candidate word: '", word, "'. Path before push: ", path);
  if (!long_enough(c, word.size())) {
    if (trace) trace_line(*trace, "      FOWR: '", word, "' FAILED min_length (len ", word.size(), "). Path: ", path);
    return;
  }
  if (trace) trace_line(*trace, "      FOWR: '", word, "' passes min_length (len ", word.size(), "). Path: ", path);
  std::vector<size_t> changes;
  if (c.contains_patterns && state.pattern_mask) {
    changes = mark_patterns(word, *c.contains_patterns, *state.pattern_mask, trace);
  }
  path.push_back(word);
  if (trace) {
    trace_line(*trace, "      FOWR: Pushed '", word, "'. Path is now: ", path,
               ". Calling backtrack with remaining_counts_total: ", remaining.total());
  }
  backtrack(trie, path, remaining, c, solutions, state, trace);
  path.pop_back();
  if (trace) trace_line(*trace, "      FOWR: Popped '", word, "'. Path is now: ", path);
  if (state.pattern_mask) unmark_patterns(word, changes, *state.pattern_mask, trace);
}

}  // namespace

size_t SolutionHash::operator()(const std::vector<std::string>& words) const {
  size_t h = words.size();
  for (const std::string& w : words) h = h * 1000003u ^ std::hash<std::string>()(w);
  return h;
}

void backtrack(const Trie& trie, std::vector<std::string>& path, CharCounts& remaining,
               const SolverConstraints& c, SolutionSet& solutions, SearchState& state, TraceFile* trace) {
  if (trace) {
    trace_line(*trace, "BACKTRACK ENTRY: path=", path, ", remaining_total=", remaining.total(),
               ", timed_out=", state.timed_out, ", solutions_found=", state.solutions_found);
    if (state.pattern_mask) trace_line(*trace, "  Mask: ", *state.pattern_mask);
  }
  if (state.timed_out) {
    if (trace) trace_line(*trace, "  Pruned: Timed out. Path: ", path);
    return;
  }
  // The one clock point of the search; the poll hook is asked here too, and
  // a cancel unwinds the search the way a time-out does.
  if (const SearchStatus limit = check_stop(state.limits); limit != SearchStatus::kCompleted) {
    state.timed_out = true;
    state.cancelled = limit == SearchStatus::kCancelled;
    if (trace) {
      trace_line(*trace, state.cancelled ? "  Pruned: Cancelled. Path: " : "  Pruned: Timeout triggered NOW. Path: ",
                 path);
    }
    return;
  }
  if (cap_reached(c.max_solutions, state.solutions_found)) {
    if (trace) trace_line(*trace, "  Pruned: Max solutions reached. Path: ", path);
    return;
  }
  if (c.contains_patterns && state.pattern_mask && !c.contains_patterns->empty() &&
      !patterns_feasible(path, remaining, c, *state.pattern_mask, trace)) {
    return;
  }
  if (c.max_words && path.size() > *c.max_words) {
    if (trace) trace_line(*trace, "  Pruned: Path len ", path.size(), " > max_words ", *c.max_words, ". Path: ", path);
    return;
  }
  const uint32_t total = remaining.total();
  if (trace) trace_line(*trace, "  Pre-base-case: path=", path, ", remaining_total=", total);
  if (remaining.is_empty()) {
    base_case(path, c, solutions, state, trace);
    return;
  }
  if (trace) trace_line(*trace, "  Did not hit base case (remaining_counts_total = ", total, "). Path: ", path);
  const uint32_t min_len = trie.shortest_word();
  if (total < min_len) {
    if (trace) trace_line(*trace, "  Pruned: remaining_total ", total, " < min_dict_word_len ", min_len, ". Path: ", path);
    return;
  }
  if (c.min_word_length && !path.empty() && total < *c.min_word_length) {
    if (trace) {
      trace_line(*trace, "  Pruned: remaining_total ", total, " < min_word_len ", *c.min_word_length, ". Path: ", path);
    }
    return;
  }
  if (c.max_words && path.size() == *c.max_words) {
    if (trace) {
      trace_line(*trace, "  Pruned: Path len ", path.size(), " == max_words ", *c.max_words,
                 " but letters remain. Path: ", path);
    }
    return;
  }
  if (trace) trace_line(*trace, "  Calling find_one_word_recursive for path: ", path);
  std::string word_so_far;
  find_one_word_recursive(trie, Trie::kRoot, word_so_far, remaining, path, c, solutions, state, trace);
  if (trace) trace_line(*trace, "BACKTRACK EXIT: path=", path);
}

void find_one_word_recursive(const Trie& trie, uint32_t node_index, std::string& word,
                             CharCounts& remaining, std::vector<std::string>& path, const SolverConstraints& c,
                             SolutionSet& solutions, SearchState& state, TraceFile* trace) {
  const TrieNode& node = trie.node(node_index);
  if (trace) {
    trace_line(*trace, "  FOWR ENTRY: word_so_far='", word, "', path=", path,
               ", current_overall_counts_total=", remaining.total(), ", node_is_word=", node.is_word());
  }
  if (state.timed_out) {
    if (trace) trace_line(*trace, "    FOWR Pruned: Timed out.");
    return;
  }
  if (cap_reached(c.max_solutions, state.solutions_found)) {
    if (trace) trace_line(*trace, "    FOWR Pruned: Max solutions.");
    return;
  }
  if (node.is_word() && !word.empty()) {
    offer_word(trie, word, remaining, path, c, solutions, state, trace);
    if (stopped(c, state)) return;
  }
  if (word.size() >= trie.max_word_len()) return;
  for (uint32_t letters = node.child_letters(); letters != 0; letters &= letters - 1) {
    const int letter = __builtin_ctz(letters);
    const char ch = static_cast<char>('a' + letter);
    if (remaining.get(ch) == 0) continue;
    if (word.empty() && !may_start_word(c, static_cast<char32_t>(ch))) continue;
    remaining.decrement(ch);
    word.push_back(ch);
    find_one_word_recursive(trie, node.child(letter), word, remaining, path, c, solutions, state, trace);
    word.pop_back();
    remaining.increment(ch);
    if (stopped(c, state)) return;
  }
  if (trace) trace_line(*trace, "  FOWR EXIT: word_so_far='", word, "'");
}

namespace {

// AddressSanitizer frames are about ten times larger (13 KiB a letter).
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedStack = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitizedStack = true;
#else
constexpr bool kSanitizedStack = false;
#endif
#else
constexpr bool kSanitizedStack = false;
#endif

// Runs `work` on a thread of its own with a stack of `stack_bytes`, waiting
// for it: the recursion above is as deep as the phrase is long.
void run_with_stack(size_t stack_bytes, const std::function<void()>& work) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stack_bytes);
  pthread_t thread;
  auto entry = [](void* arg) -> void* {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
  };
  const int error = pthread_create(&thread, &attr, entry, const_cast<std::function<void()>*>(&work));
  pthread_attr_destroy(&attr);
  // No thread means no memory for its stack (or for the thread itself):
  // report it as the allocation failure it is.
  if (error != 0) throw std::bad_alloc();
  pthread_join(thread, nullptr);
}

// The distinct solutions of `set` in the result order; empties the set.
SolutionList to_solution_list(SolutionSet&& set) {
  std::vector<std::string> words;
  for (const auto& solution : set) words.insert(words.end(), solution.begin(), solution.end());
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  std::vector<uint32_t> ids;
  SolutionSorter sorter(words);
  for (const auto& solution : set) {
    ids.clear();
    for (const std::string& word : solution) {
      ids.push_back(static_cast<uint32_t>(std::lower_bound(words.begin(), words.end(), word) - words.begin()));
    }
    sorter.add(ids.data(), ids.size());
  }
  set.clear();
  return sorter.finish();
}

}  // namespace

SearchState make_search_state(const SolverConstraints& constraints, const StopCondition& limits) {
  SearchState state;
  state.limits = limits;
  if (constraints.contains_patterns) state.pattern_mask.emplace(constraints.contains_patterns->size(), false);
  return state;
}

SolutionList traced_search(const PreparedRequest& request, StopWatch& watch, TraceFile* trace) {
  const Trie& trie = *request.trie;
  const SolverConstraints& constraints = *request.constraints;
  SolutionSet solutions;
  std::vector<std::string> path;
  CharCounts remaining = request.phrase;
  SearchState state = make_search_state(constraints, watch.condition());
  // At most one word frame per letter, one tree frame per letter and per word.
  constexpr size_t kShallow = 256;
  constexpr size_t kBytesPerLetter = kSanitizedStack ? 32 * 1024 : 3 * 1024;
  constexpr size_t kBaseStack = size_t{1} << 20;
  const size_t letters = remaining.total();
  const auto search = [&] { backtrack(trie, path, remaining, constraints, solutions, state, trace); };
  if (letters < kShallow) {
    search();
  } else {
    std::exception_ptr failure;
    run_with_stack(kBaseStack + letters * kBytesPerLetter, [&] {
      try {
        search();
      } catch (...) {
        failure = std::current_exception();
      }
    });
    if (failure) std::rethrow_exception(failure);
  }
  SolutionList list = to_solution_list(std::move(solutions));
  list.stop = state.cancelled                                                   ? SearchStatus::kCancelled
              : state.timed_out                                                 ? SearchStatus::kTimeLimit
              : cap_reached(constraints.max_solutions, state.solutions_found) ? SearchStatus::kSolutionCap
                                                                                : SearchStatus::kCompleted;
  return list;
}

}  // namespace anagram
