// File: dict/trie_file.cpp
//
// Reading a word-list file whole, strictly as UTF-8 (dict/trie_file.h).
// The dictionary. Tested by tests/cpp/trie_file_test.cpp.
#include "dict/trie_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "text/os_error.h"
#include "text/utf8.h"

namespace anagram {

namespace {

constexpr const char* kMessagePrefix = "Failed to read dictionary: ";

struct FileDescriptor {
  int fd;
  explicit FileDescriptor(int owned) : fd(owned) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd >= 0) close(fd);
  }
};

int open_for_reading(const char* path) {
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Reads the whole file into `text`; returns 0 or the errno of the failure.
// A directory opens fine and fails on read with EISDIR.
int read_whole_file(const char* path, std::string& text) {
  FileDescriptor file{open_for_reading(path)};
  if (file.fd < 0) return errno;
  constexpr size_t kChunk = 64 * 1024;
  // One byte more than the size, so that a file that does not change is
  // read in one call and its end seen without growing the buffer.
  struct stat info;
  bool sized = fstat(file.fd, &info) == 0 && info.st_size > 0;
  text.resize(sized ? static_cast<size_t>(info.st_size) + 1 : kChunk);
  size_t used = 0;
  for (;;) {
    if (used == text.size()) text.resize(std::max(2 * text.size(), used + kChunk));
    ssize_t got = read(file.fd, text.data() + used, text.size() - used);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) break;
    used += static_cast<size_t>(got);
  }
  text.resize(used);
  return 0;
}

DictionaryReadError read_error(const std::string& description) {
  return DictionaryReadError{kMessagePrefix + description};
}

}  // namespace

std::variant<std::string, DictionaryReadError> read_dictionary_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return read_error("file name contained an unexpected NUL byte");
  }
  std::string text;
  if (int error = read_whole_file(path.c_str(), text)) return read_error(os_error_text(error));
  if (!is_valid_utf8(text)) return read_error("stream did not contain valid UTF-8");
  return text;
}

}  // namespace anagram
