// File: request/result_order.h
//
// The result order, defined here and nowhere else: fewer words first, then
// the longer shortest word, then word by word (byte order, a proper prefix
// first). SolutionSorter collects the solutions of a request and returns
// them in that order.
//
// The request records. Tested by tests/cpp/result_order_test.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "request/records.h"

namespace anagram {

class SolutionSorter {
 public:
  // Word numbers index `words`, which must be in ascending byte order.
  explicit SolutionSorter(std::vector<std::string> words);

  // Adds one solution: `count` ascending word numbers.
  void add(const uint32_t* ids, size_t count);
  size_t size() const { return size_; }

  // The solutions in the result order; the sorter is left empty.
  SolutionList finish();

 private:
  // Solutions of one word count and one shortest length, as rows of
  // `width` numbers one after another.
  struct Bucket {
    uint32_t width;
    uint32_t shortest;
    std::vector<uint32_t> rows;
  };
  Bucket& bucket_for(uint32_t width, uint32_t shortest);

  std::vector<std::string> words_;
  std::vector<uint32_t> word_len_;
  std::vector<Bucket> buckets_;
  std::unordered_map<uint64_t, size_t> bucket_index_;
  size_t last_bucket_ = SIZE_MAX;
  size_t size_ = 0;
};

}  // namespace anagram
