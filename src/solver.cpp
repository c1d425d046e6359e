#include "solver.h"

#include <algorithm>
#include <numeric>

#include "search.h"
#include "trace_log.h"

SolverConstraints build_constraints(const SolveOptions& options) {
  SolverConstraints c;
  c.must_start_with = parse_char_list_to_counts(options.must_start_with);
  c.can_only_ever_start_with = parse_char_list_to_set(options.can_only_ever_start_with);
  c.must_not_start_with = parse_char_list_to_set(options.must_not_start_with);
  c.max_words = options.max_words;
  c.min_word_length = options.min_word_length;
  c.timeout_seconds = options.timeout_seconds;
  c.max_solutions = options.max_solutions;
  if (options.contains_patterns) {
    c.contains_patterns.emplace();
    for (const std::string& entry : *options.contains_patterns) {
      std::string text = normalize_word(entry);
      if (text.empty()) continue;
      CharCounts counts = std::get<CharCounts>(CharCounts::from_str(text));
      c.contains_patterns->push_back(ProcessedPattern{std::move(text), counts});
    }
  }
  return c;
}

SearchState make_search_state(const SolverConstraints& constraints) {
  SearchState state;
  if (constraints.contains_patterns) state.pattern_mask.emplace(constraints.contains_patterns->size(), false);
  return state;
}

std::vector<std::vector<std::string>> SolutionList::to_vectors() const {
  std::vector<std::vector<std::string>> out(size());
  for (size_t i = 0; i < size(); ++i) {
    for (size_t k = starts[i]; k < starts[i + 1]; ++k) out[i].push_back(words[word_ids[k]]);
  }
  return out;
}

void AnagramSolver::load_dictionary_from_text(std::string_view text) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    trie.insert(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

SolutionList to_solution_list(SolutionSet&& set) {
  SolutionList list;
  for (const auto& solution : set) list.words.insert(list.words.end(), solution.begin(), solution.end());
  std::sort(list.words.begin(), list.words.end());
  list.words.erase(std::unique(list.words.begin(), list.words.end()), list.words.end());
  for (const auto& solution : set) {
    for (const std::string& word : solution) {
      const auto it = std::lower_bound(list.words.begin(), list.words.end(), word);
      list.word_ids.push_back(static_cast<uint32_t>(it - list.words.begin()));
    }
    list.starts.push_back(list.word_ids.size());
  }
  set.clear();
  sort_solutions(list);
  return list;
}

void sort_solutions(SolutionList& list) {
  const size_t n = list.size();
  std::vector<uint32_t> shortest(n);
  for (size_t i = 0; i < n; ++i) {
    uint32_t len = UINT32_MAX;
    for (size_t k = list.starts[i]; k < list.starts[i + 1]; ++k) {
      len = std::min(len, static_cast<uint32_t>(list.words[list.word_ids[k]].size()));
    }
    shortest[i] = len;
  }
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  const auto run = [&](size_t i) {
    return std::pair(list.word_ids.begin() + static_cast<ptrdiff_t>(list.starts[i]),
                     list.word_ids.begin() + static_cast<ptrdiff_t>(list.starts[i + 1]));
  };
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const size_t len_a = list.starts[a + 1] - list.starts[a];
    const size_t len_b = list.starts[b + 1] - list.starts[b];
    if (len_a != len_b) return len_a < len_b;
    if (shortest[a] != shortest[b]) return shortest[a] > shortest[b];
    const auto [a_begin, a_end] = run(a);
    const auto [b_begin, b_end] = run(b);
    return std::lexicographical_compare(a_begin, a_end, b_begin, b_end);
  });
  std::vector<uint32_t> ids;
  ids.reserve(list.word_ids.size());
  std::vector<size_t> starts{0};
  starts.reserve(n + 1);
  for (size_t i : order) {
    const auto [begin, end] = run(i);
    ids.insert(ids.end(), begin, end);
    starts.push_back(ids.size());
  }
  list.word_ids = std::move(ids);
  list.starts = std::move(starts);
}

SolutionList AnagramSolver::solve(std::string_view phrase, const SolverConstraints& constraints) const {
  TraceSession session;
  TraceFile* trace = session.file();
  if (trace) {
    trace_line(*trace, "--- Solving for phrase: '", phrase, "' ---");
    trace_line(*trace, "Constraints: ", constraints);
  }
  const auto counted = CharCounts::from_str(phrase);
  if (!std::holds_alternative<CharCounts>(counted)) return {};
  const CharCounts& counts = std::get<CharCounts>(counted);
  if (counts.is_empty() || trie.min_word_len() == Trie::kNoWordLen || trie.min_word_len() == 0) return {};
  if (!trace) return search_fast(*this, counts, constraints);
  SolutionSet solutions = run_traced_search(*this, counts, constraints, trace);
  trace->line_failed = false;
  trace_put(*trace, "--- Solve function finished ---\n");
  return to_solution_list(std::move(solutions));
}
