#include "solver.h"

#include <algorithm>

#include "result_order.h"
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

size_t SolutionList::size() const {
  size_t n = 0;
  for (const Block& block : blocks) n += block.size();
  return n;
}

std::vector<std::vector<std::string>> SolutionList::to_vectors() const {
  std::vector<std::vector<std::string>> out;
  for (const Block& block : blocks) {
    for (size_t i = 0; i < block.rows.size(); i += block.width) {
      auto& solution = out.emplace_back();
      for (size_t k = i; k < i + block.width; ++k) solution.push_back(words[block.rows[k]]);
    }
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
