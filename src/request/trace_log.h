// File: request/trace_log.h
//
// The optional step-by-step trace of a solve request, written to
// anagram_solver_debug.log when ANAGRAM_DEBUG_LOG is set.
//
// Lines are written piece by piece with no buffer in between, so the file
// shows every line written so far even if the process dies. A failed write
// drops the rest of its line and reports once on standard error; tracing
// goes on with the next line.
//
// The request records (written by the step-by-step search and the dispatcher).
// Tested by tests/cpp/trace_test.cpp, tests/python/test_trace.py and
// fuzz/fuzz_render.cpp.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "request/records.h"

namespace anagram {

struct TraceFile {
  int fd = -1;
  bool line_failed = false;
};

// Owns the trace file of one request: opened (and truncated) when tracing is
// on, closed when the request ends.
class TraceSession {
 public:
  // Reads ANAGRAM_DEBUG_LOG; when set, opens the file or reports on
  // standard error why it could not.
  TraceSession();
  ~TraceSession();
  TraceSession(const TraceSession&) = delete;
  TraceSession& operator=(const TraceSession&) = delete;

  // The open file, or null when tracing is off.
  TraceFile* file() { return file_.fd >= 0 ? &file_ : nullptr; }

 private:
  TraceFile file_;
};

// The shortest text that reads back as the same double: plain between 1e-4
// and 1e16, scientific outside, NaN, inf, -inf.
std::string render_double(double value);
// A character between single quotes, escaped as the trace shows characters.
std::string render_quoted_char(char32_t c);

// A character written as itself, without quotes or escapes.
struct RawChar {
  char32_t c;
};

void trace_put(TraceFile& file, std::string_view bytes);
void put_value(TraceFile& file, const std::vector<std::string>& words);
void put_value(TraceFile& file, const std::vector<bool>& mask);
void put_value(TraceFile& file, const SolverConstraints& constraints);
void put_value(TraceFile& file, RawChar c);

template <typename T>
void put_value(TraceFile& file, const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    trace_put(file, value ? "true" : "false");
  } else if constexpr (std::is_integral_v<T>) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    trace_put(file, std::string_view(digits, static_cast<size_t>(end - digits)));
  } else {
    trace_put(file, std::string_view(value));
  }
}

// The request's first two lines: the phrase as given and the constraints.
void trace_header(TraceFile& file, std::string_view phrase, const SolverConstraints& constraints);
// The last line, written once the search has run, however it ended.
void trace_footer(TraceFile& file);

// Writes one line: each piece in turn, then a line feed.
template <typename... Pieces>
void trace_line(TraceFile& file, const Pieces&... pieces) {
  file.line_failed = false;
  (put_value(file, pieces), ...);
  trace_put(file, "\n");
}

}  // namespace anagram
