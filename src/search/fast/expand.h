// File: search/fast/expand.h
//
// Expands a multiset of word classes into every multiset of words it stands
// for: a group of m words from a class of c words gives each non-decreasing
// choice of m of them, C(c+m-1, m) in all, and the groups combine like an
// odometer. A class sink for ClassWalk (search/shared/walk.h).
//
// A word sink has `void take(const uint32_t* ids, size_t count)`, receiving
// one solution as ascending candidate numbers; it may stop the search
// through the StopWatch (the solution cap).
//
// The fast search (search/fast/), internal. Tested by
// tests/cpp/search_test.cpp and the differential tests of every search.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "search/shared/prepare.h"
#include "search/shared/rules.h"
#include "search/shared/walk.h"

namespace anagram {

template <typename WordSink>
class ClassExpander {
 public:
  ClassExpander(const PreparedRequest& p, WordSink& sink, StopWatch& watch) : p_(p), sink_(sink), watch_(watch) {}

  void take(std::span<const ClassGroup> groups) {
    picks_.clear();
    for (const ClassGroup& g : groups) {
      for (uint32_t i = 0; i < g.count; ++i) picks_.push_back(0);
    }
    while (true) {
      ids_.clear();
      const uint32_t* pick = picks_.data();
      for (const ClassGroup& g : groups) {
        const std::vector<uint32_t>& words = p_.classes[g.cls].words;
        for (uint32_t i = 0; i < g.count; ++i) ids_.push_back(words[*pick++]);
      }
      std::sort(ids_.begin(), ids_.end());
      sink_.take(ids_.data(), ids_.size());
      if (watch_.stopped()) return;
      // One multiset of classes can stand for very many solutions.
      if (watch_.tick()) return;
      if (!next_pick(groups)) return;
    }
  }

 private:
  // Steps the picks: within each group a non-decreasing choice of word
  // positions, the last group turning fastest.
  bool next_pick(std::span<const ClassGroup> groups) {
    size_t end = picks_.size();
    for (size_t gi = groups.size(); gi-- > 0;) {
      const ClassGroup& g = groups[gi];
      const uint32_t k = static_cast<uint32_t>(p_.classes[g.cls].words.size());
      uint32_t* picks = picks_.data() + (end - g.count);
      end -= g.count;
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

  const PreparedRequest& p_;
  WordSink& sink_;
  StopWatch& watch_;
  std::vector<uint32_t> picks_;  // word positions within their classes, group by group
  std::vector<uint32_t> ids_;
};

}  // namespace anagram
