// File: text/os_error.h
//
// The text by which the system's errors are described to the user.
//
// Letters and text. Tested by tests/cpp/trie_file_test.cpp and
// tests/cpp/trace_test.cpp.
#pragma once

#include <string>

namespace anagram {

// The system's text for an error number (as strerror_r gives it), then
// " (os error N)"; for example "No such file or directory (os error 2)".
std::string os_error_text(int error_number);

}  // namespace anagram
