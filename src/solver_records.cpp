#include "solver_records.h"

#include <utility>
#include <variant>

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

size_t SolutionList::size() const {
  size_t n = 0;
  for (const Block& block : blocks) n += block.size();
  return n;
}
