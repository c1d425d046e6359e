// File: request/result_order.cpp
//
// The result order and the sorter that puts rows in it
// (request/result_order.h).
// The request records. Tested by tests/cpp/result_order_test.cpp.
#include "request/result_order.h"

#include <algorithm>
#include <utility>

namespace anagram {

namespace {

// Sorts rows of `width` numbers below `limit` lexicographically: a stable
// counting sort per column, last column first (LSD radix), 12 bits a pass.
void sort_rows(std::vector<uint32_t>& rows, size_t width, uint32_t limit) {
  constexpr int kBits = 12;
  constexpr size_t kRadix = size_t{1} << kBits;
  const size_t n = rows.size() / width;
  if (n < 2) return;
  int digits = 1;
  while (digits * kBits < 32 && (uint64_t{limit} >> (digits * kBits)) != 0) ++digits;
  std::vector<uint32_t> out(rows.size());
  std::vector<size_t> next(kRadix);
  for (size_t column = width; column-- > 0;) {
    for (int digit = 0; digit < digits; ++digit) {
      const int shift = digit * kBits;
      std::fill(next.begin(), next.end(), 0);
      for (size_t r = 0; r < n; ++r) ++next[(rows[r * width + column] >> shift) & (kRadix - 1)];
      size_t sum = 0;
      for (size_t& count : next) sum += std::exchange(count, sum);
      for (size_t r = 0; r < n; ++r) {
        const uint32_t* row = rows.data() + r * width;
        const size_t to = next[(row[column] >> shift) & (kRadix - 1)]++;
        std::copy(row, row + width, out.data() + to * width);
      }
      rows.swap(out);
    }
  }
}

}  // namespace

SolutionSorter::SolutionSorter(std::vector<std::string> words) : words_(std::move(words)) {
  word_len_.reserve(words_.size());
  for (const std::string& w : words_) word_len_.push_back(static_cast<uint32_t>(w.size()));
}

SolutionSorter::Bucket& SolutionSorter::bucket_for(uint32_t width, uint32_t shortest) {
  if (last_bucket_ < buckets_.size() && buckets_[last_bucket_].width == width &&
      buckets_[last_bucket_].shortest == shortest) {
    return buckets_[last_bucket_];
  }
  const auto [it, added] = bucket_index_.emplace(uint64_t{width} << 32 | shortest, buckets_.size());
  if (added) buckets_.push_back({width, shortest, {}});
  last_bucket_ = it->second;
  return buckets_[last_bucket_];
}

void SolutionSorter::add(const uint32_t* ids, size_t count) {
  uint32_t shortest = UINT32_MAX;
  for (size_t i = 0; i < count; ++i) shortest = std::min(shortest, word_len_[ids[i]]);
  std::vector<uint32_t>& rows = bucket_for(static_cast<uint32_t>(count), shortest).rows;
  rows.insert(rows.end(), ids, ids + count);
  ++size_;
}

SolutionList SolutionSorter::finish() {
  std::sort(buckets_.begin(), buckets_.end(), [](const Bucket& a, const Bucket& b) {
    return a.width != b.width ? a.width < b.width : a.shortest > b.shortest;
  });
  SolutionList list;
  list.words = std::move(words_);
  for (Bucket& b : buckets_) {
    sort_rows(b.rows, b.width, static_cast<uint32_t>(list.words.size()));
    list.blocks.push_back({b.width, std::move(b.rows)});
  }
  buckets_.clear();
  bucket_index_.clear();
  last_bucket_ = SIZE_MAX;
  size_ = 0;
  return list;
}

}  // namespace anagram
