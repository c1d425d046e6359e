// File: text/os_error.cpp
//
// The one text of an OS error (text/os_error.h).
// Letters and text. Tested by tests/cpp/trie_file_test.cpp.
#include "text/os_error.h"

#include <cstring>

namespace anagram {

namespace {

// strerror_r comes in two flavours: GNU returns the text, POSIX fills the
// buffer and returns a status. The overloads make either one work.
[[maybe_unused]] const char* strerror_text(int status, const char* buffer) {
  return status == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* strerror_text(const char* text, const char*) { return text; }

}  // namespace

std::string os_error_text(int error_number) {
  char buffer[256] = "";
  std::string text = strerror_text(strerror_r(error_number, buffer, sizeof buffer), buffer);
  return text + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace anagram
