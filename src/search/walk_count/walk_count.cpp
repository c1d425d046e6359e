// File: search/walk_count/walk_count.cpp
//
// The walk count (walk_count in search/search.h). Tested by the differential
// tests of every search.
//
// Counting by the fast search's walk: every class multiset that spells the
// phrase adds the number of word multisets it stands for (a group of m words
// from a class of c words gives C(c+m-1, m)), so no solution is ever built.
// This is the count for requests the table count cannot express: start-letter
// demands and patterns, which constrain a solution as a whole.
#include <span>

#include "search/search.h"
#include "search/shared/walk.h"

namespace anagram {

namespace {

// C(n, k) for the group of one class; exact at any size.
BigUnsigned multisets(uint64_t words, uint32_t count) {
  BigUnsigned product(1);
  // C(c+m-1, m) = prod_{i=1..m} (c+i-1)/i; each partial product is itself a
  // binomial coefficient, so every division is exact.
  for (uint32_t i = 1; i <= count; ++i) {
    product *= words + i - 1;
    product.divide(i);
  }
  return product;
}

// C(c+m-1, m) in 64 bits, or false when it does not fit.
bool small_multisets(uint64_t words, uint32_t count, uint64_t& out) {
  unsigned __int128 product = 1;
  for (uint32_t i = 1; i <= count; ++i) {
    product = product * (words + i - 1) / i;  // exact, as above
    if (product >> 64) return false;
  }
  out = static_cast<uint64_t>(product);
  return true;
}

// Sums in 64 bits while it can (nearly always) and moves to the exact type
// only when a product or the sum outgrows them.
class CountingSink {
 public:
  CountingSink(const PreparedRequest& p, StopWatch& watch) : p_(p), watch_(watch) {}

  void take(std::span<const ClassGroup> groups) {
    uint64_t product = 1;
    bool small = true;
    for (const ClassGroup& g : groups) {
      const uint64_t words = p_.classes[g.cls].words.size();
      uint64_t choose = 1;
      if (words == 1) continue;
      if (!small_multisets(words, g.count, choose) || __builtin_mul_overflow(product, choose, &product)) {
        small = false;
        break;
      }
    }
    if (small) {
      if (small_ > UINT64_MAX - product) {
        big_ += small_;
        small_ = 0;
      }
      small_ += product;
    } else {
      BigUnsigned exact(1);
      for (const ClassGroup& g : groups) exact = exact * multisets(p_.classes[g.cls].words.size(), g.count);
      big_ += exact;
    }
    if (p_.rules.max_solutions && cap_reached()) {
      big_ = BigUnsigned(*p_.rules.max_solutions);
      small_ = 0;
      watch_.stop(SearchStatus::kSolutionCap);
    }
  }

  BigUnsigned total() const { return big_ + BigUnsigned(small_); }

 private:
  bool cap_reached() const {
    const uint64_t cap = *p_.rules.max_solutions;
    return big_.is_zero() ? small_ >= cap : total() >= BigUnsigned(cap);
  }

  const PreparedRequest& p_;
  StopWatch& watch_;
  uint64_t small_ = 0;
  BigUnsigned big_;
};

}  // namespace

SolutionCount walk_count(const PreparedRequest& p, StopWatch& watch) {
  CountingSink sink(p, watch);
  visit_packed_word(p.layout, [&]<typename Word>(std::type_identity<Word>) {
    walk_class_multisets<Word>(p, sink, watch);
  });
  return {sink.total(), watch.reason()};
}

}  // namespace anagram
