#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <stdexcept>

#include "search.h"

namespace {

bool cap_reached(const SolverConstraints& c, const SearchState& state) {
  return c.max_solutions && state.solutions_found >= *c.max_solutions;
}

bool stopped(const SolverConstraints& c, const SearchState& state) {
  return state.timed_out || cap_reached(c, state);
}

// Seconds since the search started, as whole seconds plus nanoseconds.
double elapsed_seconds(const SearchState& state) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                        state.start_time)
                      .count();
  return static_cast<double>(ns / 1000000000) + static_cast<double>(ns % 1000000000) / 1000000000.0;
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
  uint32_t starts[26] = {};
  for (const std::string& word : path) {
    if (!word.empty()) ++starts[word[0] - 'a'];
  }
  for (const auto& [letter, needed] : needed_counts) {
    const uint32_t found = (letter >= 'a' && letter <= 'z') ? starts[letter - 'a'] : 0;
    if (found < needed) {
      if (trace) {
        trace_line(*trace, "    PRUNED BASE CASE: must_start_with: char '", RawChar{letter}, "' needed ", needed,
                   " times, found ", found, " times. Path: ", path);
      }
      return false;
    }
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
    if (cap_reached(c, state)) {
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
void offer_word(const AnagramSolver& solver, std::string& word, CharCounts& remaining,
                std::vector<std::string>& path, const SolverConstraints& c, SolutionSet& solutions,
                SearchState& state, TraceFile* trace) {
  if (trace) trace_line(*trace, "    FOWR: Found candidate word: '", word, "'. Path before push: ", path);
  if (c.min_word_length && word.size() < *c.min_word_length) {
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
  backtrack(solver, path, remaining, c, solutions, state, trace);
  path.pop_back();
  if (trace) trace_line(*trace, "      FOWR: Popped '", word, "'. Path is now: ", path);
  if (state.pattern_mask) unmark_patterns(word, changes, *state.pattern_mask, trace);
}

bool may_start_word(const SolverConstraints& c, char32_t letter) {
  if (c.must_not_start_with && c.must_not_start_with->count(letter)) return false;
  if (c.can_only_ever_start_with && !c.can_only_ever_start_with->count(letter)) return false;
  return true;
}

}  // namespace

size_t SolutionHash::operator()(const std::vector<std::string>& words) const {
  size_t h = words.size();
  for (const std::string& w : words) h = h * 1000003u ^ std::hash<std::string>()(w);
  return h;
}

void backtrack(const AnagramSolver& solver, std::vector<std::string>& path, CharCounts& remaining,
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
  if (c.timeout_seconds && elapsed_seconds(state) > *c.timeout_seconds) {
    state.timed_out = true;
    if (trace) trace_line(*trace, "  Pruned: Timeout triggered NOW. Path: ", path);
    return;
  }
  if (cap_reached(c, state)) {
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
  const uint32_t min_len = solver.trie.min_word_len() == Trie::kNoWordLen ? 0 : solver.trie.min_word_len();
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
  find_one_word_recursive(solver, Trie::kRoot, word_so_far, remaining, path, c, solutions, state, trace);
  if (trace) trace_line(*trace, "BACKTRACK EXIT: path=", path);
}

void find_one_word_recursive(const AnagramSolver& solver, uint32_t node_index, std::string& word,
                             CharCounts& remaining, std::vector<std::string>& path, const SolverConstraints& c,
                             SolutionSet& solutions, SearchState& state, TraceFile* trace) {
  const TrieNode& node = solver.trie.node(node_index);
  if (trace) {
    trace_line(*trace, "  FOWR ENTRY: word_so_far='", word, "', path=", path,
               ", current_overall_counts_total=", remaining.total(), ", node_is_word=", node.is_word());
  }
  if (state.timed_out) {
    if (trace) trace_line(*trace, "    FOWR Pruned: Timed out.");
    return;
  }
  if (cap_reached(c, state)) {
    if (trace) trace_line(*trace, "    FOWR Pruned: Max solutions.");
    return;
  }
  if (node.is_word() && !word.empty()) {
    offer_word(solver, word, remaining, path, c, solutions, state, trace);
    if (stopped(c, state)) return;
  }
  if (word.size() >= solver.trie.max_word_len()) return;
  for (uint32_t letters = node.child_letters(); letters != 0; letters &= letters - 1) {
    const int letter = __builtin_ctz(letters);
    const char ch = static_cast<char>('a' + letter);
    if (remaining.get(ch) == 0) continue;
    if (word.empty() && !may_start_word(c, static_cast<char32_t>(ch))) continue;
    remaining.decrement(ch);
    word.push_back(ch);
    find_one_word_recursive(solver, node.child(letter), word, remaining, path, c, solutions, state, trace);
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
  if (error != 0) throw std::runtime_error("could not start the search thread");
  pthread_join(thread, nullptr);
}

}  // namespace

SolutionSet run_traced_search(const AnagramSolver& solver, const CharCounts& phrase,
                              const SolverConstraints& constraints, TraceFile* trace) {
  SolutionSet solutions;
  std::vector<std::string> path;
  CharCounts remaining = phrase;
  SearchState state = make_search_state(constraints);
  // At most one word frame per letter, one tree frame per letter and per word.
  constexpr size_t kShallow = 256;
  constexpr size_t kBytesPerLetter = kSanitizedStack ? 32 * 1024 : 3 * 1024;
  const size_t letters = remaining.total();
  const auto search = [&] {
    state.start_time = std::chrono::steady_clock::now();
    backtrack(solver, path, remaining, constraints, solutions, state, trace);
  };
  if (letters < kShallow) {
    search();
  } else {
    std::exception_ptr failure;
    run_with_stack((1u << 20) + letters * kBytesPerLetter, [&] {
      try {
        search();
      } catch (...) {
        failure = std::current_exception();
      }
    });
    if (failure) std::rethrow_exception(failure);
  }
  return solutions;
}
