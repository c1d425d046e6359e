// File: request/trace_log.cpp
//
// The trace file, its lines and the renderings of values in them
// (request/trace_log.h).
// The request records. Tested by tests/cpp/trace_test.cpp and
// fuzz/fuzz_render.cpp.
#include "request/trace_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "text/os_error.h"
#include "text/unicode_tables.h"
#include "text/utf8.h"

namespace anagram {

namespace {

constexpr const char* kLogName = "anagram_solver_debug.log";

// Writes all of `bytes`, repeating interrupted writes and continuing short
// ones. Returns an empty string or the error text.
std::string write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return os_error_text(errno);
    }
    if (written == 0) return "failed to write whole buffer";
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return {};
}

void report(const std::string& line) {
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

void put_words(TraceFile& file, const std::vector<std::string>& words) {
  trace_put(file, "[");
  for (size_t i = 0; i < words.size(); ++i) {
    if (i > 0) trace_put(file, ", ");
    trace_put(file, "\"");
    trace_put(file, words[i]);
    trace_put(file, "\"");
  }
  trace_put(file, "]");
}

template <typename T, typename PutInner>
void put_optional(TraceFile& file, const std::optional<T>& value, PutInner put_inner) {
  if (!value) {
    trace_put(file, "None");
    return;
  }
  trace_put(file, "Some(");
  put_inner(*value);
  trace_put(file, ")");
}

void put_set(TraceFile& file, const CharSet& set) {
  trace_put(file, "{");
  bool first = true;
  for (char32_t c : set) {
    if (!first) trace_put(file, ", ");
    first = false;
    trace_put(file, render_quoted_char(c));
  }
  trace_put(file, "}");
}

void put_count_map(TraceFile& file, const CharCountMap& map) {
  trace_put(file, "{");
  bool first = true;
  for (const auto& [c, count] : map) {
    if (!first) trace_put(file, ", ");
    first = false;
    trace_put(file, render_quoted_char(c));
    trace_put(file, ": ");
    put_value(file, count);
  }
  trace_put(file, "}");
}

void put_char_counts(TraceFile& file, const CharCounts& counts) {
  trace_put(file, "CharCounts([");
  for (size_t i = 0; i < counts.counts.size(); ++i) {
    if (i > 0) trace_put(file, ", ");
    put_value(file, counts.counts[i]);
  }
  trace_put(file, "])");
}

void put_patterns(TraceFile& file, const std::vector<ProcessedPattern>& patterns) {
  trace_put(file, "[");
  for (size_t i = 0; i < patterns.size(); ++i) {
    if (i > 0) trace_put(file, ", ");
    trace_put(file, "ProcessedPattern { text: \"");
    trace_put(file, patterns[i].text);
    trace_put(file, "\", counts: ");
    put_char_counts(file, patterns[i].counts);
    trace_put(file, " }");
  }
  trace_put(file, "]");
}

}  // namespace

TraceSession::TraceSession() {
  const char* value = std::getenv("ANAGRAM_DEBUG_LOG");
  if (value == nullptr || !is_valid_utf8(value)) return;
  int fd;
  do {
    fd = ::open(kLogName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    report(std::string("Failed to create log file ") + kLogName + ": " + os_error_text(errno) + "\n");
    return;
  }
  file_.fd = fd;
}

TraceSession::~TraceSession() {
  if (file_.fd >= 0) ::close(file_.fd);
}

void trace_put(TraceFile& file, std::string_view bytes) {
  if (file.line_failed || bytes.empty()) return;
  const std::string error = write_all(file.fd, bytes);
  if (error.empty()) return;
  file.line_failed = true;
  report("Log write error: " + error + "\n");
}

void put_value(TraceFile& file, const std::vector<std::string>& words) { put_words(file, words); }

void trace_header(TraceFile& file, std::string_view phrase, const SolverConstraints& constraints) {
  trace_line(file, "--- Solving for phrase: '", phrase, "' ---");
  trace_line(file, "Constraints: ", constraints);
}

void trace_footer(TraceFile& file) {
  // Not a line of pieces: the footer goes out as one write of its 32 bytes.
  file.line_failed = false;
  trace_put(file, "--- Solve function finished ---\n");
}

void put_value(TraceFile& file, const std::vector<bool>& mask) {
  trace_put(file, "[");
  for (size_t i = 0; i < mask.size(); ++i) {
    if (i > 0) trace_put(file, ", ");
    trace_put(file, mask[i] ? "true" : "false");
  }
  trace_put(file, "]");
}

void put_value(TraceFile& file, RawChar c) {
  std::string text;
  append_utf8(text, c.c);
  trace_put(file, text);
}

void put_value(TraceFile& file, const SolverConstraints& c) {
  const auto put_u32 = [&](uint32_t v) { put_value(file, v); };
  trace_put(file, "SolverConstraints { must_start_with: ");
  put_optional(file, c.must_start_with, [&](const CharCountMap& m) { put_count_map(file, m); });
  trace_put(file, ", can_only_ever_start_with: ");
  put_optional(file, c.can_only_ever_start_with, [&](const CharSet& s) { put_set(file, s); });
  trace_put(file, ", must_not_start_with: ");
  put_optional(file, c.must_not_start_with, [&](const CharSet& s) { put_set(file, s); });
  trace_put(file, ", max_words: ");
  put_optional(file, c.max_words, put_u32);
  trace_put(file, ", min_word_length: ");
  put_optional(file, c.min_word_length, put_u32);
  trace_put(file, ", timeout_seconds: ");
  put_optional(file, c.timeout_seconds, [&](double v) { trace_put(file, render_double(v)); });
  trace_put(file, ", max_solutions: ");
  put_optional(file, c.max_solutions, put_u32);
  trace_put(file, ", contains_patterns: ");
  put_optional(file, c.contains_patterns,
               [&](const std::vector<ProcessedPattern>& p) { put_patterns(file, p); });
  trace_put(file, " }");
}

std::string render_double(double value) {
  if (std::isnan(value)) return "NaN";
  std::string out = std::signbit(value) ? "-" : "";
  const double magnitude = std::fabs(value);
  if (std::isinf(magnitude)) return out + "inf";
  if (magnitude == 0) return out + "0.0";
  // Shortest round-trip digits, as d.ddde±x; take the digits and exponent.
  char buffer[64];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific).ptr;
  const std::string_view sci(buffer, static_cast<size_t>(end - buffer));
  const size_t e_pos = sci.find('e');
  std::string digits(sci.substr(0, e_pos));
  if (digits.size() > 1) digits.erase(1, 1);  // drop the decimal point
  const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());
  // Appending piece by piece (rather than chaining operator+) keeps g++ 12
  // from a false -Wrestrict warning.
  if (magnitude >= 1e-4 && magnitude < 1e16) {
    if (exponent < 0) {
      out.append("0.").append(static_cast<size_t>(-exponent - 1), '0').append(digits);
      return out;
    }
    const size_t int_len = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= int_len) {
      out.append(digits).append(int_len - digits.size(), '0').append(".0");
    } else {
      out.append(digits, 0, int_len).append(".").append(digits, int_len);
    }
    return out;
  }
  out.append(digits, 0, 1);
  if (digits.size() > 1) out.append(".").append(digits, 1);
  out.append("e").append(std::to_string(exponent));
  return out;
}

std::string render_quoted_char(char32_t c) {
  std::string out = "'";
  switch (c) {
    case '\'': out += "\\'"; break;
    case '\\': out += "\\\\"; break;
    case '\t': out += "\\t"; break;
    case '\r': out += "\\r"; break;
    case '\n': out += "\\n"; break;
    case 0: out += "\\0"; break;
    default:
      if (is_grapheme_extend(c) || !is_printable(c)) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(c));
        out += std::string("\\u{") + hex + "}";
      } else {
        append_utf8(out, c);
      }
  }
  return out + "'";
}

}  // namespace anagram
