#include "dict/trie_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "text/os_error.h"

using namespace anagram;

namespace {

// A fresh directory under /tmp, removed with its files at the end.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/trie_file_test.XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string write(const std::string& name, const std::string& content) const {
    const std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string text_of(const std::variant<std::string, DictionaryReadError>& result) {
  return std::get<std::string>(result);
}

std::string error_of(const std::variant<std::string, DictionaryReadError>& result) {
  return std::get<DictionaryReadError>(result).message;
}

TEST(TrieFile, ReadsWholeFilesOfAnySize) {
  TempDir dir;
  EXPECT_EQ(text_of(read_dictionary_file(dir.write("empty.txt", ""))), "");
  EXPECT_EQ(text_of(read_dictionary_file(dir.write("crlf.txt", "cat\r\ncaf\xC3\xA9\r\n"))),
            "cat\r\ncaf\xC3\xA9\r\n");
  // Larger than one read chunk, and not a multiple of it.
  std::string big;
  for (int i = 0; big.size() < 300000; ++i) big += "word" + std::to_string(i) + "\n";
  EXPECT_EQ(text_of(read_dictionary_file(dir.write("big.txt", big))), big);
}

TEST(TrieFile, ErrorsCarryTheWholeMessage) {
  TempDir dir;
  const std::string prefix = "Failed to read dictionary: ";
  EXPECT_EQ(error_of(read_dictionary_file(dir.path() + "/missing.txt")),
            prefix + "No such file or directory (os error 2)");
  EXPECT_EQ(error_of(read_dictionary_file(dir.path())), prefix + "Is a directory (os error 21)");
  EXPECT_EQ(error_of(read_dictionary_file(std::string("a\0b", 3))),
            prefix + "file name contained an unexpected NUL byte");
  // A bad byte late in a long file: nothing of the file comes back.
  std::string late(100000, 'a');
  late += "\n\xE9\n";
  EXPECT_EQ(error_of(read_dictionary_file(dir.write("latin1.txt", late))),
            prefix + "stream did not contain valid UTF-8");
  if (geteuid() != 0) {  // root reads anything
    const std::string locked = dir.write("locked.txt", "cat\n");
    chmod(locked.c_str(), 0);
    EXPECT_EQ(error_of(read_dictionary_file(locked)), prefix + os_error_text(13));
    EXPECT_EQ(os_error_text(13), "Permission denied (os error 13)");
  }
}

}  // namespace
