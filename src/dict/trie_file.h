// File: dict/trie_file.h
//
// Reading a dictionary file: the whole file into memory, checked to be
// strict UTF-8 before any of it is used.
//
// The dictionary. Tested by tests/cpp/trie_file_test.cpp.
#pragma once

#include <string>
#include <variant>

namespace anagram {

// Why a dictionary file cannot be loaded. `message` is the whole text shown
// to the user: "Failed to read dictionary: " and the description.
struct DictionaryReadError {
  std::string message;
};

// The text of the file at `path` (relative to the current directory when
// not absolute), or the error. Nothing is returned of a file that fails any
// step, so a caller loads all of it or none.
std::variant<std::string, DictionaryReadError> read_dictionary_file(const std::string& path);

}  // namespace anagram
