// The request the search fuzz targets read from their input: a small
// dictionary over a fuzzer-chosen alphabet, a phrase cut at a number of
// letters, and any of the nine options; and how to print one.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "request/records.h"

namespace anagram {

namespace fuzz {

constexpr uint32_t kHuge = std::numeric_limits<uint32_t>::max();

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

inline std::string normalized(const std::string& text) {
  std::string word;
  for (char ch : text) {
    if (is_ascii_letter(ch)) word += lower(ch);
  }
  return word;
}

struct Request {
  std::vector<std::string> raw_words;
  std::string phrase;
  SolveOptions options;
};

// Reads a request whose phrase has at most `max_letters` ASCII letters.
inline Request read_request(FuzzedDataProvider& in, size_t max_letters) {
  Request r;
  const int alphabet = in.ConsumeIntegralInRange(1, 26);
  const int word_count = in.ConsumeIntegralInRange(0, 12);
  for (int i = 0; i < word_count; ++i) r.raw_words.push_back(shape(in.ConsumeRandomLengthString(8), alphabet));
  // Cut the phrase before its (max_letters + 1)th ASCII letter.
  std::string phrase = shape(in.ConsumeRandomLengthString(24), alphabet);
  size_t letters = 0, cut = 0;
  while (cut < phrase.size() && (letters < max_letters || !is_ascii_letter(phrase[cut]))) {
    letters += is_ascii_letter(phrase[cut]);
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

// With FUZZ_VERBOSE set, each request and its answers are printed, so a
// failing input can be turned into a reproducer.
inline bool verbose() {
  static const bool on = std::getenv("FUZZ_VERBOSE") != nullptr;
  return on;
}

inline std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char ch : text) {
    char buf[8];
    if (ch >= 0x20 && ch < 0x7F && ch != '"' && ch != '\\') {
      out += static_cast<char>(ch);
    } else {
      std::snprintf(buf, sizeof buf, "\\x%02x", ch);
      out += buf;
    }
  }
  return out + "\"";
}

inline void describe(const Request& r) {
  std::string words;
  for (const std::string& w : r.raw_words) words += quoted(w) + " ";
  std::fprintf(stderr, "words: %s\nphrase: %s\n", words.c_str(), quoted(r.phrase).c_str());
  const SolveOptions& o = r.options;
  const auto text = [&](const char* name, const std::optional<std::string>& v) {
    if (v) std::fprintf(stderr, "%s: %s\n", name, quoted(*v).c_str());
  };
  const auto number = [&](const char* name, const auto& v) {
    if (v) std::fprintf(stderr, "%s: %s\n", name, std::to_string(*v).c_str());
  };
  text("must_start_with", o.must_start_with);
  text("can_only_ever_start_with", o.can_only_ever_start_with);
  text("must_not_start_with", o.must_not_start_with);
  number("max_words", o.max_words);
  number("min_word_length", o.min_word_length);
  if (o.timeout_seconds) std::fprintf(stderr, "timeout_seconds: %g\n", *o.timeout_seconds);
  number("max_solutions", o.max_solutions);
  if (o.contains_patterns) {
    std::string p;
    for (const std::string& x : *o.contains_patterns) p += quoted(x) + " ";
    std::fprintf(stderr, "contains_patterns: [ %s]\n", p.c_str());
  }
}

}  // namespace fuzz

}  // namespace anagram
