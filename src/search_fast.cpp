// The untraced search. It returns the same solutions as the traced one but
// visits each multiset of words once instead of every ordering of it:
//
// 1. One walk of the tree collects the candidate words, the words that the
//    phrase's letters can spell and that pass the length and first-letter
//    rules. Walking the children in letter order yields them in byte order,
//    so their numbers compare like the words.
// 2. Candidates with the same letters (and the same start-letter tag and
//    pattern set, when those options are given) form one class.
// 3. The phrase's letters are ordered rarest first and packed, with a guard
//    bit above each count, into one or two machine words, so "fits in the
//    remaining letters" is one subtraction and one mask.
// 4. Every remaining letter must be spent by some word, so the next word must
//    hold the first remaining letter in that order. Each class is listed
//    under its own first letter, and classes chosen for the same letter are
//    taken in non-decreasing list order: each multiset of classes is reached
//    exactly once, with an explicit stack rather than recursion.
// 5. A finished multiset of classes expands into every multiset of words
//    drawn from those classes.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "result_order.h"
#include "search.h"

namespace {

using u128 = unsigned __int128;

// Counts wider than two machine words: one plain count per field.
struct Wide {
  std::array<uint32_t, 26> c{};
};

// Where each letter of the phrase lives in a packed count.
struct Layout {
  int fields = 0;
  std::array<int, 26> field_of_letter{};  // -1: not in the phrase
  std::array<int, 26> letter_of_field{};
  std::array<int, 26> offset{};           // of the field's lowest bit
  std::array<int, 26> width{};            // count bits plus the guard bit
  std::array<uint8_t, 128> field_of_bit{};
  int total_bits = 0;
};

int ctz(uint64_t x) { return __builtin_ctzll(x); }
int ctz(u128 x) {
  const uint64_t low = static_cast<uint64_t>(x);
  return low ? __builtin_ctzll(low) : 64 + __builtin_ctzll(static_cast<uint64_t>(x >> 64));
}

template <typename U>
U pack(const std::array<uint32_t, 26>& by_letter, const Layout& layout) {
  if constexpr (std::is_same_v<U, Wide>) {
    Wide w;
    for (int f = 0; f < layout.fields; ++f) w.c[f] = by_letter[layout.letter_of_field[f]];
    return w;
  } else {
    U packed = 0;
    for (int f = 0; f < layout.fields; ++f) packed |= static_cast<U>(by_letter[layout.letter_of_field[f]]) << layout.offset[f];
    return packed;
  }
}

template <typename U>
U guard_bits(const Layout& layout) {
  if constexpr (std::is_same_v<U, Wide>) {
    return Wide{};
  } else {
    U guard = 0;
    for (int f = 0; f < layout.fields; ++f) guard |= static_cast<U>(1) << (layout.offset[f] + layout.width[f] - 1);
    return guard;
  }
}

bool fits(const Wide& r, const Wide& w, const Wide&, int fields) {
  for (int f = 0; f < fields; ++f) {
    if (r.c[f] < w.c[f]) return false;
  }
  return true;
}
template <typename U>
bool fits(U r, U w, U guard, int) {
  return (((r | guard) - w) & guard) == guard;
}

Wide minus(const Wide& r, const Wide& w) {
  Wide out;
  for (size_t f = 0; f < out.c.size(); ++f) out.c[f] = r.c[f] - w.c[f];
  return out;
}
template <typename U>
U minus(U r, U w) {
  return r - w;
}

int lowest_field(const Wide& r, const Layout& layout) {
  for (int f = 0; f < layout.fields; ++f) {
    if (r.c[f]) return f;
  }
  return -1;
}
template <typename U>
int lowest_field(U r, const Layout& layout) {
  return layout.field_of_bit[ctz(r)];
}

uint32_t field_value(const Wide& r, int f, const Layout&) { return r.c[f]; }
template <typename U>
uint32_t field_value(U r, int f, const Layout& layout) {
  return static_cast<uint32_t>((r >> layout.offset[f]) & ((static_cast<U>(1) << (layout.width[f] - 1)) - 1));
}

// The request's options in the form the search checks them.
struct Rules {
  std::optional<uint32_t> max_words;
  std::optional<uint32_t> max_solutions;
  std::optional<double> timeout_seconds;
  std::vector<std::string> patterns;          // distinct, normalised
  std::vector<std::pair<int, uint32_t>> must_start;  // (letter, words needed)
  std::chrono::steady_clock::time_point start_time;
};

// Has the request's time limit passed? NaN and infinity never do.
bool past_limit(const Rules& rules) {
  if (!rules.timeout_seconds) return false;
  const auto elapsed = std::chrono::steady_clock::now() - rules.start_time;
  return std::chrono::duration<double>(elapsed).count() > *rules.timeout_seconds;
}

struct Candidates {
  std::vector<std::string> words;                 // in byte order
  std::vector<std::array<uint32_t, 26>> counts;   // letters of each word
};

bool may_start_word(const SolverConstraints& c, int letter) {
  const char32_t ch = static_cast<char32_t>('a' + letter);
  if (c.must_not_start_with && c.must_not_start_with->count(ch)) return false;
  if (c.can_only_ever_start_with && !c.can_only_ever_start_with->count(ch)) return false;
  return true;
}

// Every dictionary word the phrase's letters can spell, under the word rules.
Candidates collect_candidates(const Trie& trie, const CharCounts& phrase, const SolverConstraints& c) {
  struct Step {
    uint32_t node;
    uint32_t pending;  // child letters not yet tried
  };
  Candidates out;
  std::array<uint32_t, 26> remaining = phrase.counts;
  std::array<uint32_t, 26> used{};
  std::string word;
  std::vector<Step> stack{{Trie::kRoot, trie.root().child_letters()}};
  const uint32_t min_len = c.min_word_length.value_or(0);
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
    if (remaining[letter] == 0 || (word.empty() && !may_start_word(c, letter))) continue;
    const uint32_t child = trie.node(top.node).child(letter);
    --remaining[letter];
    ++used[letter];
    word.push_back(static_cast<char>('a' + letter));
    const TrieNode& node = trie.node(child);
    if (node.is_word() && word.size() >= min_len) {
      out.words.push_back(word);
      out.counts.push_back(used);
    }
    stack.push_back({child, node.child_letters()});
  }
  return out;
}

Layout make_layout(const CharCounts& phrase, const Candidates& candidates) {
  // Rarest letter first: the fewer candidates hold a letter, the fewer
  // branches there are where it must be spent.
  std::array<size_t, 26> holders{};
  for (const auto& counts : candidates.counts) {
    for (int l = 0; l < 26; ++l) holders[l] += counts[l] ? 1 : 0;
  }
  std::vector<int> letters;
  for (int l = 0; l < 26; ++l) {
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
    layout.width[f] = 64 - __builtin_clzll(phrase.counts[letter]) + 1;
    for (int b = 0; b < layout.width[f] && layout.total_bits + b < 128; ++b) {
      layout.field_of_bit[layout.total_bits + b] = static_cast<uint8_t>(f);
    }
    layout.total_bits += layout.width[f];
  }
  return layout;
}

template <typename U>
class Enumerator {
 public:
  Enumerator(const Candidates& candidates, const Layout& layout, const Rules& rules, bool tag_start_letters)
      : layout_(layout), rules_(rules), guard_(guard_bits<U>(layout)), track_starts_(tag_start_letters) {
    build_classes(candidates, tag_start_letters);
    for (const std::string& p : rules.patterns) {
      std::array<uint32_t, 26> by_letter{};
      for (char ch : p) ++by_letter[ch - 'a'];
      pattern_counts_.push_back(pack<U>(by_letter, layout));
    }
    all_patterns_ = rules.patterns.empty() ? 0 : (~uint64_t{0} >> (64 - rules.patterns.size()));
  }

  // Runs the search, adding each solution to `out` as ascending word numbers.
  void run(U phrase, uint32_t phrase_total, SolutionSorter& out) {
    out_ = &out;
    const Node root{phrase, phrase_total, 0};
    if (!viable(root, child_starts_, 0)) return;
    nodes_.push_back(root);
    if (track_starts_) starts_.push_back(child_starts_);
    frames_.push_back({lowest_field(phrase, layout_), 0});
    expired();  // grouping the candidates may have used up the time
    while (!frames_.empty() && !stopped_) {
      if ((++steps_ & 1023) == 0 && expired()) break;
      advance();
    }
  }

 private:
  struct Class {
    U counts;
    uint32_t length;
    uint64_t patterns;
    int start_letter;                  // -1 when start letters are not tracked
    std::vector<uint32_t> words;       // ascending numbers
  };
  struct Node {
    U remaining;
    uint32_t remaining_total;
    uint64_t patterns;                 // met by the words chosen so far
  };
  using StartCounts = std::array<uint32_t, 26>;  // words chosen so far, by first letter
  struct Frame {
    int field;     // the letter the next word must hold
    size_t next;   // position in lists_[field] to try next
  };

  void build_classes(const Candidates& candidates, bool tag_start_letters) {
    std::unordered_map<std::string, uint32_t> index;
    for (uint32_t id = 0; id < candidates.words.size(); ++id) {
      const std::string& word = candidates.words[id];
      uint64_t patterns = 0;
      for (size_t p = 0; p < rules_.patterns.size(); ++p) {
        if (word.find(rules_.patterns[p]) != std::string::npos) patterns |= uint64_t{1} << p;
      }
      const int start = tag_start_letters ? word[0] - 'a' : -1;
      std::string key(reinterpret_cast<const char*>(candidates.counts[id].data()), sizeof candidates.counts[id]);
      key.append(reinterpret_cast<const char*>(&patterns), sizeof patterns);
      key += static_cast<char>(start);
      const auto [it, added] = index.emplace(std::move(key), static_cast<uint32_t>(classes_.size()));
      if (added) {
        classes_.push_back({pack<U>(candidates.counts[id], layout_), static_cast<uint32_t>(word.size()), patterns,
                            start, {}});
      }
      classes_[it->second].words.push_back(id);
    }
    lists_.resize(static_cast<size_t>(layout_.fields));
    for (uint32_t k = 0; k < classes_.size(); ++k) {
      lists_[static_cast<size_t>(lowest_field(classes_[k].counts, layout_))].push_back(k);
      longest_ = std::max(longest_, classes_[k].length);
    }
    // Longest first, so a word-count bound that a class fails ends its list.
    for (auto& list : lists_) {
      std::stable_sort(list.begin(), list.end(),
                       [&](uint32_t a, uint32_t b) { return classes_[a].length > classes_[b].length; });
    }
  }

  bool expired() {
    if (past_limit(rules_)) stopped_ = true;
    return stopped_;
  }


  // Can a node with `depth` words chosen still lead to a solution?
  bool viable(const Node& node, const StartCounts& starts, size_t depth) const {
    if (rules_.max_words) {
      const uint64_t words_left = *rules_.max_words - std::min<uint64_t>(depth, *rules_.max_words);
      if (node.remaining_total > words_left * longest_) return false;
    }
    for (size_t p = 0; p < pattern_counts_.size(); ++p) {
      if (!(node.patterns >> p & 1) && !fits(node.remaining, pattern_counts_[p], guard_, layout_.fields)) return false;
    }
    uint64_t starts_missing = 0;
    for (const auto& [letter, needed] : rules_.must_start) {
      if (starts[letter] >= needed) continue;
      const uint32_t missing = needed - starts[letter];
      const int f = layout_.field_of_letter[letter];
      if (f < 0 || field_value(node.remaining, f, layout_) < missing) return false;
      starts_missing += missing;
    }
    if (rules_.max_words && starts_missing > *rules_.max_words - std::min<uint64_t>(depth, *rules_.max_words)) {
      return false;
    }
    return true;
  }

  // One step of the walk: try the next class of the top frame.
  void advance() {
    const size_t depth = frames_.size() - 1;
    Frame& frame = frames_.back();
    const Node& node = nodes_[depth];
    const std::vector<uint32_t>& list = lists_[static_cast<size_t>(frame.field)];
    const bool last_word = rules_.max_words && depth + 1 >= *rules_.max_words;
    for (; frame.next < list.size(); ++frame.next) {
      const Class& cls = classes_[list[frame.next]];
      if (!fits(node.remaining, cls.counts, guard_, layout_.fields)) continue;
      if (last_word && cls.length != node.remaining_total) {
        if (cls.length < node.remaining_total) break;  // the rest are shorter still
        continue;
      }
      const Node child{minus(node.remaining, cls.counts), node.remaining_total - cls.length,
                       node.patterns | cls.patterns};
      if (track_starts_) {
        child_starts_ = starts_[depth];
        ++child_starts_[static_cast<size_t>(cls.start_letter)];
      }
      chosen_.resize(depth);
      chosen_.push_back(list[frame.next]);
      if (child.remaining_total == 0) {
        if (child.patterns == all_patterns_ && starts_met(child_starts_)) emit();
        if (stopped_) return;
        continue;
      }
      if (!viable(child, child_starts_, depth + 1)) continue;
      const int field = lowest_field(child.remaining, layout_);
      const size_t start = field == frame.field ? frame.next : 0;
      ++frame.next;
      nodes_.resize(depth + 1);
      nodes_.push_back(child);
      if (track_starts_) {
        starts_.resize(depth + 1);
        starts_.push_back(child_starts_);
      }
      frames_.push_back({field, start});
      return;
    }
    frames_.pop_back();
  }

  bool starts_met(const StartCounts& starts) const {
    for (const auto& [letter, needed] : rules_.must_start) {
      if (starts[letter] < needed) return false;
    }
    return true;
  }

  // Adds every multiset of words that the chosen classes stand for.
  void emit() {
    groups_.clear();
    picks_.clear();
    for (uint32_t k : chosen_) {
      if (!groups_.empty() && groups_.back().cls == k) {
        ++groups_.back().count;
      } else {
        groups_.push_back({k, 1, static_cast<uint32_t>(picks_.size())});
      }
      picks_.push_back(0);
    }
    while (true) {
      ids_.clear();
      for (const Group& g : groups_) {
        const std::vector<uint32_t>& words = classes_[g.cls].words;
        for (uint32_t i = 0; i < g.count; ++i) ids_.push_back(words[picks_[g.first_pick + i]]);
      }
      std::sort(ids_.begin(), ids_.end());
      out_->add(ids_.data(), ids_.size());
      if (rules_.max_solutions && out_->size() >= *rules_.max_solutions) {
        stopped_ = true;
        return;
      }
      // One multiset of classes can stand for very many solutions.
      if ((++steps_ & 1023) == 0 && expired()) return;
      if (!next_pick()) return;
    }
  }

  // Steps the groups' picks, an odometer of non-decreasing choices within
  // each group.
  bool next_pick() {
    for (size_t gi = groups_.size(); gi-- > 0;) {
      const Group& g = groups_[gi];
      const uint32_t k = static_cast<uint32_t>(classes_[g.cls].words.size());
      uint32_t* picks = picks_.data() + g.first_pick;
      if (k > 1) {
        for (uint32_t i = g.count; i-- > 0;) {
          if (picks[i] + 1 < k) {
            std::fill(picks + i, picks + g.count, picks[i] + 1);
            return true;
          }
        }
      }
      std::fill(picks, picks + g.count, 0);
    }
    return false;
  }

  struct Group {
    uint32_t cls;
    uint32_t count;
    uint32_t first_pick;  // in picks_
  };

  const Layout& layout_;
  const Rules& rules_;
  const U guard_;
  std::vector<Class> classes_;
  std::vector<std::vector<uint32_t>> lists_;
  std::vector<U> pattern_counts_;
  uint64_t all_patterns_ = 0;
  uint32_t longest_ = 0;
  std::vector<Node> nodes_;
  const bool track_starts_;
  std::vector<StartCounts> starts_;  // by depth, only when start letters count
  StartCounts child_starts_{};
  std::vector<Frame> frames_;
  std::vector<uint32_t> chosen_;
  std::vector<Group> groups_;
  std::vector<uint32_t> picks_;
  std::vector<uint32_t> ids_;
  SolutionSorter* out_ = nullptr;
  uint64_t steps_ = 0;
  bool stopped_ = false;  // by the clock or the solution cap
};

template <typename U>
SolutionList enumerate(Candidates&& candidates, const Layout& layout, const Rules& rules, const CharCounts& phrase) {
  Enumerator<U> search(candidates, layout, rules, !rules.must_start.empty());
  SolutionSorter sorter(std::move(candidates.words));
  search.run(pack<U>(phrase.counts, layout), phrase.total(), sorter);
  return sorter.finish();
}


}  // namespace

SolutionList search_fast(const AnagramSolver& solver, const CharCounts& phrase, const SolverConstraints& c) {
  Rules rules;
  rules.max_words = c.max_words;
  rules.max_solutions = c.max_solutions;
  rules.timeout_seconds = c.timeout_seconds;
  if (c.contains_patterns) {
    std::unordered_set<std::string_view> seen;
    for (const ProcessedPattern& p : *c.contains_patterns) {
      if (!phrase.can_subtract(p.counts)) return {};  // no word can ever hold it
      if (seen.insert(p.text).second) rules.patterns.push_back(p.text);
    }
    // Words of n letters in all have at most n(n+1)/2 distinct substrings.
    const uint64_t letters = phrase.total();
    if (rules.patterns.size() > letters * (letters + 1) / 2) return {};
  }
  if (c.must_start_with) {
    for (const auto& [ch, needed] : *c.must_start_with) {
      if (ch < 'a' || ch > 'z') return {};  // no word starts with anything else
      rules.must_start.emplace_back(static_cast<int>(ch - 'a'), needed);
    }
  }
  if (rules.patterns.size() > 64) {
    // Beyond one mask word: the step-by-step search handles any number.
    return to_solution_list(run_traced_search(solver, phrase, c, nullptr));
  }
  rules.start_time = std::chrono::steady_clock::now();
  if (past_limit(rules) || (c.max_solutions && *c.max_solutions == 0) || (c.max_words && *c.max_words == 0)) {
    return {};
  }
  Candidates candidates = collect_candidates(solver.trie, phrase, c);
  if (past_limit(rules)) return {};  // a huge dictionary can take a while
  const Layout layout = make_layout(phrase, candidates);
  if (layout.total_bits <= 64) return enumerate<uint64_t>(std::move(candidates), layout, rules, phrase);
  if (layout.total_bits <= 128) return enumerate<u128>(std::move(candidates), layout, rules, phrase);
  return enumerate<Wide>(std::move(candidates), layout, rules, phrase);
}
