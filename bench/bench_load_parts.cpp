// Where the time of loading a word list goes: reading the file, cutting it
// into lines, normalising each line, and building the tree word by word
// (`Trie::insert` per line) or in bulk (`Trie::insert_lines`). Prints the
// best of N thread-CPU times of each step, so that other work on the
// machine counts less.
//
// Usage: build/bench_load_parts [WORDLIST [N]]   (default data/words.txt, 50)
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "text/char_utils.h"
#include "dict/trie.h"

using namespace anagram;

namespace {

double cpu_ms() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

volatile size_t g_sink;  // keeps the timed work from being optimised away

template <class Work>
double best_ms(int rounds, Work work) {
  double best = 1e300;
  for (int i = 0; i < rounds; ++i) {
    const double start = cpu_ms();
    g_sink = work();
    best = std::min(best, cpu_ms() - start);
  }
  return best;
}

// The whole file with plain reads, as the module reads it.
std::string read_file(const char* path) {
  std::string text;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[64 * 1024];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(got));
  close(fd);
  return text;
}

// Calls `each` with every line, LF or CRLF ended.
template <class Each>
void for_each_line(std::string_view text, Each each) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    each(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "data/words.txt";
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 50;
  const std::string text = read_file(path);
  if (text.empty()) {
    std::fprintf(stderr, "cannot read %s\n", path);
    return 1;
  }
  Trie sample;
  sample.insert_lines(text);
  std::printf("word list: %s (%zu bytes, %zu tree nodes), best of %d, thread CPU time\n", path, text.size(),
              sample.node_count(), rounds);
  const auto report = [](const char* step, double ms) { std::printf("  %-38s %7.3f ms\n", step, ms); };
  report("read the file", best_ms(rounds, [&] { return read_file(path).size(); }));
  report("cut into lines", best_ms(rounds, [&] {
           size_t bytes = 0;
           for_each_line(text, [&](std::string_view line) { bytes += line.size(); });
           return bytes;
         }));
  report("cut + normalize_word per line", best_ms(rounds, [&] {
           size_t bytes = 0;
           for_each_line(text, [&](std::string_view line) { bytes += normalize_word(line).size(); });
           return bytes;
         }));
  // Both ways of building the tree from `lines`, into a copy of `start`.
  const auto report_builds = [&](const char* what, const std::string& lines, const Trie& start) {
    std::printf("  %s:\n", what);
    report("  cut + Trie::insert per line", best_ms(rounds, [&] {
             Trie trie = start;
             for_each_line(lines, [&](std::string_view line) { trie.insert(line); });
             return trie.node_count();
           }));
    report("  Trie::insert_lines", best_ms(rounds, [&] {
             Trie trie = start;
             trie.insert_lines(lines);
             return trie.node_count();
           }));
  };
  report_builds("the word list", text, Trie{});
  // Unsorted input merges a few words at a time instead of the one-pass build.
  std::vector<std::string_view> lines;
  for_each_line(text, [&](std::string_view line) { lines.push_back(line); });
  std::mt19937 rng(1);
  std::shuffle(lines.begin(), lines.end(), rng);
  std::string shuffled;
  for (std::string_view line : lines) (shuffled += line) += '\n';
  report_builds("its lines shuffled", shuffled, Trie{});
  Trie half;
  for_each_line(std::string_view(text).substr(0, text.size() / 2), [&](std::string_view line) { half.insert(line); });
  report_builds("into the tree of its first half (copying that tree included)", text, half);
  report("copying the tree of the first half", best_ms(rounds, [&] {
           Trie trie = half;
           return trie.node_count();
         }));
  return 0;
}
