// File: search/shared/walk.h
//
// The fast search's walk over multisets of word classes.
//
// Every remaining letter must be spent by some word, so the next word must
// hold the first remaining letter in the layout's order. Each class is
// listed under its own first letter, and classes chosen for the same letter
// are taken in non-decreasing list order: each multiset of classes that
// spells the phrase is reached exactly once, with an explicit stack rather
// than recursion. Equal classes are therefore chosen one after another, and
// the walk hands each finished multiset to its sink as groups of
// (class, how many times).
//
// A class sink has `void take(std::span<const ClassGroup>)`; it may stop the
// walk through the StopWatch (cap, clock). The expansion into word
// multisets (search/fast/expand.h) is one such sink; a counting sink can work on
// the groups directly.
//
// Shared by the fast search and the walk count. Tested by
// tests/cpp/search_test.cpp and the differential tests of every search.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "search/shared/packed.h"
#include "search/shared/prepare.h"
#include "search/shared/rules.h"

namespace anagram {

struct ClassGroup {
  uint32_t cls;    // index into PreparedRequest::classes
  uint32_t count;  // how many words of the solution come from it
};

template <typename Word, typename ClassSink>
class ClassWalk {
 public:
  // `p` must not be finished; `p`, `sink` and `watch` outlive the walk.
  ClassWalk(const PreparedRequest& p, ClassSink& sink, StopWatch& watch)
      : p_(p), arith_(p.layout), sink_(sink), watch_(watch) {
    class_counts_.reserve(p.classes.size());
    for (const WordClass& cls : p.classes) class_counts_.push_back(arith_.pack(cls.counts));
    for (const std::string& text : p.rules.patterns) {
      std::array<uint32_t, kLetterCount> by_letter{};
      for (char ch : text) ++by_letter[static_cast<size_t>(ch - 'a')];
      pattern_counts_.push_back(arith_.pack(by_letter));
    }
    const size_t n = p.rules.patterns.size();
    static_assert(kMaxFastPatterns == kMachineWordBits, "one mask bit per pattern");
    all_patterns_ = n == 0 ? 0 : (~uint64_t{0} >> (kMachineWordBits - n));
    if constexpr (!PackedCounts<Word>::kWide) {
      if (p.rules.max_words) {
        by_letters_.reserve(p.classes.size());
        for (const std::vector<uint32_t>& list : p.classes_by_field) {
          for (uint32_t i = 0; i < list.size(); ++i) by_letters_.push_back({class_counts_[list[i]], i, list[i]});
        }
        std::sort(by_letters_.begin(), by_letters_.end());
      }
    }
  }

  // Walks every class multiset that spells the phrase, until done or stopped.
  void run() {
    const Word phrase = arith_.pack(p_.phrase.counts);
    const StartCounts no_starts{};
    if (!viable(phrase, p_.phrase.total(), 0, no_starts, 0)) return;
    levels_.resize(2);
    levels_[0] = Level{phrase, p_.phrase.total(), 0, no_starts, arith_.lowest_field(phrase), 0, 0};
    height_ = 1;
    watch_.check();  // grouping the candidates may have used up the time
    while (height_ > 0 && !watch_.stopped()) {
      if (watch_.tick()) break;
      advance();
    }
  }

 private:
  // One level of the walk: the letters left after the words chosen above
  // it, and where it is in the list of classes for its first letter.
  struct Level {
    Word remaining;
    uint32_t remaining_total;
    uint64_t patterns;  // met by the words chosen above
    StartCounts starts; // words chosen above, by first letter; only when tracked
    int field;          // the letter the next word must hold
    size_t next;        // position in classes_by_field[field] to try next
    uint32_t chosen;    // the class taken at this level
  };

  // Can these letters, with `depth` words chosen, still lead to a solution?
  bool viable(const Word& remaining, uint32_t remaining_total, uint64_t patterns, const StartCounts& starts,
              size_t depth) const {
    const RequestRules& rules = p_.rules;
    if (rules.max_words) {
      const uint64_t words_left = *rules.max_words - std::min<uint64_t>(depth, *rules.max_words);
      if (remaining_total > words_left * p_.longest) return false;
    }
    for (size_t i = 0; i < pattern_counts_.size(); ++i) {
      if (!(patterns >> i & 1) && !arith_.fits(remaining, pattern_counts_[i])) return false;
    }
    uint64_t starts_missing = 0;
    for (const auto& [letter, needed] : rules.must_start) {
      if (starts[static_cast<size_t>(letter)] >= needed) continue;
      const uint32_t missing = needed - starts[static_cast<size_t>(letter)];
      const int f = p_.layout.field_of_letter[static_cast<size_t>(letter)];
      if (f < 0 || arith_.field(remaining, f) < missing) return false;
      starts_missing += missing;
    }
    if (rules.max_words && starts_missing > *rules.max_words - std::min<uint64_t>(depth, *rules.max_words)) {
      return false;
    }
    return true;
  }

  // One step of the walk: try the next class of the top level.
  void advance() {
    const size_t depth = height_ - 1;
    if (levels_.size() < height_ + 1) levels_.resize(height_ + 1);
    Level& level = levels_[depth];
    // Local copies: the compiler need not reload them after each store.
    const Word have = level.remaining;
    const uint32_t have_total = level.remaining_total;
    const uint64_t have_patterns = level.patterns;
    const int field = level.field;
    const std::vector<uint32_t>& list = p_.classes_by_field[static_cast<size_t>(field)];
    const bool last_word = p_.rules.max_words && depth + 1 >= *p_.rules.max_words;
    const bool track_starts = p_.tracks_starts();
    if constexpr (!PackedCounts<Word>::kWide) {
      if (last_word) {
        finish_with_one_word(level, depth);
        return;
      }
    }
    for (size_t next = level.next; next < list.size(); ++next) {
      const uint32_t k = list[next];
      const WordClass& cls = p_.classes[k];
      if (!arith_.fits(have, class_counts_[k])) continue;
      if (last_word && cls.length != have_total) {
        if (cls.length < have_total) break;  // the rest are shorter still
        continue;
      }
      const Word remaining = arith_.minus(have, class_counts_[k]);
      const uint32_t remaining_total = have_total - cls.length;
      const uint64_t patterns = have_patterns | cls.patterns;
      if (track_starts) {
        child_starts_ = level.starts;
        ++child_starts_[static_cast<size_t>(cls.start_letter)];
      }
      level.chosen = k;
      if (remaining_total == 0) {
        if (patterns == all_patterns_ && starts_met()) emit(depth);
        if (watch_.stopped()) return;
        continue;
      }
      if (!viable(remaining, remaining_total, patterns, child_starts_, depth + 1)) continue;
      const int child_field = arith_.lowest_field(remaining);
      Level& child = levels_[depth + 1];
      child.remaining = remaining;
      child.remaining_total = remaining_total;
      child.patterns = patterns;
      if (track_starts) child.starts = child_starts_;
      child.field = child_field;
      child.next = child_field == field ? next : 0;
      level.next = next + 1;
      ++height_;
      return;
    }
    --height_;
  }

  // The last word allowed must spell all that is left: the classes of
  // exactly those letters, in list order from level.next on, found at once
  // (scanning the list for them took most of a word-limited walk).
  void finish_with_one_word(Level& level, size_t depth) {
    const auto from = std::lower_bound(by_letters_.begin(), by_letters_.end(),
                                       Spelled{level.remaining, static_cast<uint32_t>(level.next), 0});
    for (auto it = from; it != by_letters_.end() && it->letters == level.remaining; ++it) {
      const WordClass& cls = p_.classes[it->cls];
      if (p_.tracks_starts()) {
        child_starts_ = level.starts;
        ++child_starts_[static_cast<size_t>(cls.start_letter)];
      }
      level.chosen = it->cls;
      if ((level.patterns | cls.patterns) == all_patterns_ && starts_met()) emit(depth);
      if (watch_.stopped()) return;
    }
    --height_;
  }

  bool starts_met() const {
    return !p_.tracks_starts() || first_unmet_start(*p_.rules.must_start_with, child_starts_) == nullptr;
  }

  // Hands the classes chosen at levels 0..depth to the sink, as groups.
  void emit(size_t depth) {
    groups_.clear();
    for (size_t d = 0; d <= depth; ++d) {
      const uint32_t k = levels_[d].chosen;
      if (!groups_.empty() && groups_.back().cls == k) {
        ++groups_.back().count;
      } else {
        groups_.push_back({k, 1});
      }
    }
    sink_.take(std::span<const ClassGroup>(groups_));
  }

  const PreparedRequest& p_;
  const PackedCounts<Word> arith_;
  ClassSink& sink_;
  StopWatch& watch_;
  std::vector<Word> class_counts_;    // packed letters of each class
  std::vector<Word> pattern_counts_;  // packed letters of each pattern
  uint64_t all_patterns_ = 0;
  std::vector<Level> levels_;         // levels_[0 .. height_-1] are live
  size_t height_ = 0;
  StartCounts child_starts_{};
  std::vector<ClassGroup> groups_;
  // Under a word limit: each class by its letters, then its place in its
  // field's list, for the last word.
  struct Spelled {
    Word letters;
    uint32_t position;
    uint32_t cls;
    auto operator<=>(const Spelled&) const = default;
  };
  std::vector<Spelled> by_letters_;
};

// Walks `p` (not finished) with `Word` as the packed form, feeding `sink`.
template <typename Word, typename ClassSink>
void walk_class_multisets(const PreparedRequest& p, ClassSink& sink, StopWatch& watch) {
  ClassWalk<Word, ClassSink>(p, sink, watch).run();
}

}  // namespace anagram
