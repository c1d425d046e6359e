// The random request of the search fuzzers: a small dictionary, a phrase of
// a bounded number of letters and any of the options, read from fuzz bytes.
#pragma once

#include <cmath>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "solver_records.h"

namespace fuzz {

inline constexpr uint32_t kHuge = std::numeric_limits<uint32_t>::max();

// Turns fuzz bytes into mostly letters of a small alphabet, so that words
// and phrases share letters, with some capitals, blanks and raw bytes.
inline std::string shape(const std::string& raw, int alphabet) {
  std::string out;
  for (unsigned char b : raw) {
    if (b < 0xC0) {
      out += static_cast<char>('a' + b % alphabet);
    } else if (b < 0xD0) {
      out += static_cast<char>('A' + b % alphabet);
    } else if (b < 0xD8) {
      out += (b & 1) ? ' ' : '-';
    } else {
      out += static_cast<char>(b);
    }
  }
  return out;
}

struct Request {
  std::vector<std::string> raw_words;
  std::string phrase;
  SolveOptions options;
};

inline Request read_request(FuzzedDataProvider& in, size_t max_letters) {
  Request r;
  const int alphabet = in.ConsumeIntegralInRange(1, 26);
  const int word_count = in.ConsumeIntegralInRange(0, 12);
  for (int i = 0; i < word_count; ++i) r.raw_words.push_back(shape(in.ConsumeRandomLengthString(8), alphabet));
  // Cut the phrase before its (max_letters + 1)th ASCII letter.
  std::string phrase = shape(in.ConsumeRandomLengthString(24), alphabet);
  size_t letters = 0, cut = 0;
  while (cut < phrase.size() && (letters < max_letters || !fuzz::is_ascii_letter(phrase[cut]))) {
    letters += fuzz::is_ascii_letter(phrase[cut]);
    ++cut;
  }
  r.phrase = phrase.substr(0, cut);

  const uint16_t present = in.ConsumeIntegral<uint16_t>();
  SolveOptions& o = r.options;
  const auto letter_list = [&] { return shape(in.ConsumeRandomLengthString(4), alphabet); };
  if (present & 1) o.must_start_with = letter_list();
  if (present & 2) o.can_only_ever_start_with = letter_list();
  if (present & 4) o.must_not_start_with = letter_list();
  const auto count = [&](uint32_t small_max) {
    const uint32_t n = in.ConsumeIntegralInRange<uint32_t>(0, small_max + 1);
    return n > small_max ? kHuge : n;
  };
  if (present & 8) o.max_words = count(5);
  if (present & 16) o.min_word_length = count(6);
  if (present & 32) {
    static const double kTimeouts[] = {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e9, 0.0, -0.0, -1.0, 1e-7, 1e-4};
    o.timeout_seconds = kTimeouts[in.ConsumeIntegralInRange<size_t>(0, std::size(kTimeouts) - 1)];
  }
  if (present & 64) o.max_solutions = count(10);
  if (present & 128) {
    o.contains_patterns.emplace();
    const int n = in.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < n; ++i) o.contains_patterns->push_back(shape(in.ConsumeRandomLengthString(4), alphabet));
  }
  return r;
}

}  // namespace fuzz
