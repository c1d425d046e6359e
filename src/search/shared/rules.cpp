// File: search/shared/rules.cpp
//
// The request rules stated once (search/shared/rules.h).
// Shared by the searches. Tested by tests/cpp/search_rules_test.cpp.
#include "search/shared/rules.h"

#include <string_view>
#include <unordered_set>

namespace anagram {

const CharCountMap::value_type* first_unmet_start(const CharCountMap& demand, const StartCounts& starts) {
  for (const auto& entry : demand) {
    if (words_starting_with(starts, entry.first) < entry.second) return &entry;
  }
  return nullptr;
}

std::vector<std::string> distinct_patterns(const SolverConstraints& c) {
  std::vector<std::string> out;
  if (!c.contains_patterns) return out;
  std::unordered_set<std::string_view> seen;
  for (const ProcessedPattern& p : *c.contains_patterns) {
    if (seen.insert(p.text).second) out.push_back(p.text);
  }
  return out;
}

}  // namespace anagram
