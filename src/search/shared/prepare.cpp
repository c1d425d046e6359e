// File: search/shared/prepare.cpp
//
// Preparing a request: candidates, layout, classes, early exits
// (search/shared/prepare.h).
// Shared by the searches. Tested through every search
// (tests/cpp/search_test.cpp, the differential tests).
#include "search/shared/prepare.h"

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

namespace anagram {

namespace {

// Every dictionary word the phrase's letters can spell, under the word rules.
Candidates collect_candidates(const Trie& trie, const CharCounts& phrase, const SolverConstraints& c) {
  struct Step {
    uint32_t node;
    uint32_t pending;  // child letters not yet tried
  };
  Candidates out;
  std::array<uint32_t, kLetterCount> remaining = phrase.counts;
  std::array<uint32_t, kLetterCount> used{};
  std::string word;
  std::vector<Step> stack{{Trie::kRoot, trie.root().child_letters()}};
  while (!stack.empty()) {
    Step& top = stack.back();
    if (top.pending == 0) {
      stack.pop_back();
      if (!word.empty()) {
        const int letter = word.back() - 'a';
        ++remaining[letter];
        --used[letter];
        word.pop_back();
      }
      continue;
    }
    const int letter = __builtin_ctz(top.pending);
    top.pending &= top.pending - 1;
    if (remaining[letter] == 0 || (word.empty() && !may_start_word(c, static_cast<char32_t>('a' + letter)))) {
      continue;
    }
    const uint32_t child = trie.node(top.node).child(letter);
    --remaining[letter];
    ++used[letter];
    word.push_back(static_cast<char>('a' + letter));
    const TrieNode& node = trie.node(child);
    if (node.is_word() && long_enough(c, word.size())) {
      out.words.push_back(word);
      out.counts.push_back(used);
    }
    stack.push_back({child, node.child_letters()});
  }
  return out;
}

// The field of a class's first letter in the layout's order.
int lowest_field(const std::array<uint32_t, kLetterCount>& counts, const Layout& layout) {
  for (int f = 0; f < layout.fields; ++f) {
    if (counts[static_cast<size_t>(layout.letter_of_field[f])]) return f;
  }
  return -1;
}

// What puts two candidates in one class: their letters, the patterns they
// hold and (when tracked) their first letter. A key of fixed size, hashed
// over its bytes: a string key cost an allocation per candidate (0.74 ms
// against 0.54 for the 4,357 candidates of a 25-letter phrase, a serial
// part of every count).
struct ClassKey {
  std::array<uint32_t, kLetterCount> counts;
  uint64_t held;
  int start;
  bool operator==(const ClassKey&) const = default;
};

struct ClassKeyHash {
  size_t operator()(const ClassKey& k) const {
    const size_t letters =
        std::hash<std::string_view>{}({reinterpret_cast<const char*>(k.counts.data()), sizeof k.counts});
    return letters ^ (k.held * 0x9E3779B97F4A7C15u) ^ static_cast<size_t>(k.start + 1);
  }
};

void build_classes(PreparedRequest& p) {
  const std::vector<std::string>& patterns = p.rules.patterns;
  const bool tag_starts = p.tracks_starts();
  std::unordered_map<ClassKey, uint32_t, ClassKeyHash> index;
  index.reserve(p.candidates.words.size());
  for (uint32_t id = 0; id < p.candidates.words.size(); ++id) {
    const std::string& word = p.candidates.words[id];
    const auto& counts = p.candidates.counts[id];
    uint64_t held = 0;
    for (size_t i = 0; i < patterns.size(); ++i) {
      if (word.find(patterns[i]) != std::string::npos) held |= uint64_t{1} << i;
    }
    const int start = tag_starts ? word[0] - 'a' : -1;
    const auto [it, added] = index.emplace(ClassKey{counts, held, start}, static_cast<uint32_t>(p.classes.size()));
    if (added) p.classes.push_back({counts, static_cast<uint32_t>(word.size()), held, start, {}});
    p.classes[it->second].words.push_back(id);
  }
  p.classes_by_field.resize(static_cast<size_t>(p.layout.fields));
  for (uint32_t k = 0; k < p.classes.size(); ++k) {
    p.classes_by_field[static_cast<size_t>(lowest_field(p.classes[k].counts, p.layout))].push_back(k);
    p.longest = std::max(p.longest, p.classes[k].length);
  }
  // Longest first, so a word-count bound that a class fails ends its list.
  for (auto& list : p.classes_by_field) {
    std::stable_sort(list.begin(), list.end(),
                     [&](uint32_t a, uint32_t b) { return p.classes[a].length > p.classes[b].length; });
  }
}

// Fills the rules; false when no solution can meet them.
bool make_rules(const CharCounts& phrase, const SolverConstraints& c, RequestRules& rules) {
  rules.max_words = c.max_words;
  rules.max_solutions = c.max_solutions;
  if (c.contains_patterns) {
    for (const ProcessedPattern& p : *c.contains_patterns) {
      if (!phrase.can_subtract(p.counts)) return false;  // no word can ever hold it
    }
    rules.patterns = distinct_patterns(c);
    // Words of n letters in all have at most n(n+1)/2 distinct substrings.
    const uint64_t letters = phrase.total();
    if (rules.patterns.size() > letters * (letters + 1) / 2) return false;
    if (rules.patterns.size() > kMaxFastPatterns) throw std::logic_error("too many patterns for the fast search");
  }
  if (c.must_start_with) {
    rules.must_start_with = c.must_start_with;
    for (const auto& [ch, needed] : *c.must_start_with) {
      if (ch < 'a' || ch > 'z') return false;  // no word starts with anything else
      rules.must_start.emplace_back(static_cast<int>(ch - 'a'), needed);
    }
  }
  return true;
}

}  // namespace

Layout make_walk_layout(const CharCounts& phrase, const Candidates& candidates) {
  std::array<size_t, kLetterCount> holders{};
  for (const auto& counts : candidates.counts) {
    for (int l = 0; l < kLetterCount; ++l) holders[l] += counts[l] ? 1 : 0;
  }
  std::vector<int> letters;
  for (int l = 0; l < kLetterCount; ++l) {
    if (phrase.counts[l]) letters.push_back(l);
  }
  std::stable_sort(letters.begin(), letters.end(), [&](int a, int b) { return holders[a] < holders[b]; });
  Layout layout;
  layout.field_of_letter.fill(-1);
  for (int letter : letters) {
    const int f = layout.fields++;
    layout.field_of_letter[letter] = f;
    layout.letter_of_field[f] = letter;
    layout.offset[f] = layout.total_bits;
    layout.width[f] = std::bit_width(phrase.counts[letter]) + 1;  // the count and its guard bit
    for (int b = 0; b < layout.width[f] && layout.total_bits + b < kMaxPackedBits; ++b) {
      layout.field_of_bit[layout.total_bits + b] = static_cast<uint8_t>(f);
    }
    layout.total_bits += layout.width[f];
  }
  return layout;
}

bool needs_steps(const SolverConstraints& c, bool traced) {
  return traced || distinct_patterns(c).size() > kMaxFastPatterns;
}

PreparedRequest prepare_request(const Trie& trie, const CharCounts& phrase, const SolverConstraints& c,
                                StopWatch& watch, bool traced) {
  PreparedRequest p;
  p.trie = &trie;
  p.constraints = &c;
  p.phrase = phrase;
  p.by_steps = needs_steps(c, traced);
  if (p.by_steps) return p;
  if (watch.check()) {
    p.finished = watch.reason();
  } else if (cap_reached(c.max_solutions, 0)) {
    p.finished = SearchStatus::kSolutionCap;
  } else if ((c.max_words && *c.max_words == 0) || !make_rules(phrase, c, p.rules)) {
    p.finished = SearchStatus::kCompleted;
  }
  if (p.finished) return p;
  p.candidates = collect_candidates(trie, phrase, c);
  if (watch.check()) {
    p.finished = watch.reason();
    return p;
  }
  p.layout = make_walk_layout(phrase, p.candidates);
  build_classes(p);
  return p;
}

}  // namespace anagram
