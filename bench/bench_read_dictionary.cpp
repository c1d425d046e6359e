// Reading a dictionary file: best-of-N time of read_dictionary_file (open,
// read, strict UTF-8 check) and of the UTF-8 check alone.
//
// Usage: build/bench_read_dictionary [WORDLIST] [RUNS]   (default data/words.txt, 50)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>

#include "dict/trie_file.h"
#include "text/utf8.h"

using namespace anagram;

namespace {

template <typename Work>
double best_seconds(int runs, Work work) {
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    work();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (took.count() < best) best = took.count();
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "data/words.txt";
  const int runs = argc > 2 ? std::atoi(argv[2]) : 50;
  auto first = read_dictionary_file(path);
  if (auto* error = std::get_if<DictionaryReadError>(&first)) {
    std::fprintf(stderr, "%s\n", error->message.c_str());
    return 1;
  }
  const std::string text = std::get<std::string>(first);
  size_t sink = 0;
  const double read = best_seconds(runs, [&] { sink += std::get<std::string>(read_dictionary_file(path)).size(); });
  const double check = best_seconds(runs, [&] { sink += is_valid_utf8(text); });
  std::printf("%s: %zu bytes\n", path.c_str(), text.size());
  std::printf("read + UTF-8 check  %8.3f ms (best of %d)\n", read * 1e3, runs);
  std::printf("UTF-8 check alone   %8.3f ms (%.2f GB/s)\n", check * 1e3, text.size() / check / 1e9);
  return sink == 0;
}
