// Times exact counting on data/words.txt: candidate collection by a walk of
// the dictionary tree, grouping into anagram classes, and the count itself,
// with the table size and the peak resident memory of the process.
//
// Usage: build/bench_count [PHRASE [MAX_WORDS]]   (run from the repository root)
// ANAGRAM_THREADS=N: threads; ANAGRAM_BENCH_COMMAND_LIST=1: the command's
// default list (one-letter words other than a and i left out);
// ANAGRAM_BENCH_REACHED=1: over reached states, no dense table first;
// ANAGRAM_BENCH_SPARSE=K: that, with the first K letters expanded state by state;
// ANAGRAM_BENCH_TAIL=N: at most N cells in a reached state's tail (1: none).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "search/count/table_count.h"
#include "dict/trie.h"
#include "search/shared/threads.h"

using namespace anagram;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long peak_rss_mb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

// Every dictionary word the remaining letters can spell.
void collect(const Trie& trie, uint32_t node, CharCounts& rest, std::string& word, std::vector<std::string>& out) {
  const TrieNode& n = trie.node(node);
  if (n.is_word()) out.push_back(word);
  for (int letter = 0; letter < 26; ++letter) {
    if (!n.has_child(letter) || rest.counts[letter] == 0) continue;
    --rest.counts[letter];
    word.push_back(static_cast<char>('a' + letter));
    collect(trie, n.child(letter), rest, word, out);
    word.pop_back();
    ++rest.counts[letter];
  }
}

void run_case(const Trie& trie, const char* phrase, std::optional<uint32_t> max_words) {
  const auto start = std::chrono::steady_clock::now();
  CharCounts rest = std::get<CharCounts>(CharCounts::from_str(phrase));
  const CharCounts counts = rest;
  std::vector<std::string> words;
  std::string word;
  collect(trie, Trie::kRoot, rest, word, words);
  const std::vector<std::string_view> views(words.begin(), words.end());
  const std::vector<AnagramClass> classes = group_into_classes(views);
  const double gather = seconds_since(start);
  CountLimits limits;
  limits.max_words = max_words;
  limits.threads = thread_count();
  if (std::getenv("ANAGRAM_BENCH_REACHED") != nullptr) limits.max_table_bytes = 0;
  if (const char* tail = std::getenv("ANAGRAM_BENCH_TAIL")) limits.tail_cells = static_cast<uint32_t>(std::atoi(tail));
  if (const char* sparse = std::getenv("ANAGRAM_BENCH_SPARSE")) {
    limits.max_table_bytes = 0;
    limits.sparse_letters = std::atoi(sparse);
  }
  const CountResult result = count_anagrams(counts, classes, limits);
  const double total = seconds_since(start);
  char limit[16] = "";
  if (max_words) std::snprintf(limit, sizeof limit, "-l %u", *max_words);
  std::printf("%-34s %-6s %22s %9.3fs %8.3fs %6zu %10llu %13llu %6zu %5u %6ld\n", phrase, limit,
              !result.too_large && result.status == SearchStatus::kCompleted ? result.count.to_decimal().c_str() : "too large", total, gather,
              classes.size(), static_cast<unsigned long long>(result.states),
              static_cast<unsigned long long>(result.cell_updates), result.table_bytes >> 20, result.passes,
              peak_rss_mb());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const auto start = std::chrono::steady_clock::now();
  std::ifstream in("data/words.txt");
  Trie trie;
  // ANAGRAM_BENCH_COMMAND_LIST: the command's default list, one-letter words other than a and i left out.
  const bool command_list = std::getenv("ANAGRAM_BENCH_COMMAND_LIST") != nullptr;
  for (std::string line; std::getline(in, line);) {
    if (command_list && line.size() == 1 && line != "a" && line != "i") continue;
    trie.insert(line);
  }
  std::printf("loaded %zu nodes in %.3fs, peak RSS %ld MB\n", trie.node_count(), seconds_since(start), peak_rss_mb());
  std::printf("%-34s %-6s %22s %10s %9s %6s %10s %13s %6s %5s %6s\n", "phrase", "limit", "count", "total", "gather",
              "class", "states", "cell updates", "MB", "pass", "RSS MB");
  if (argc > 1) {
    run_case(trie, argv[1], argc > 2 ? std::optional<uint32_t>(std::atoi(argv[2])) : std::nullopt);
    return 0;
  }
  run_case(trie, "clint eastwood", std::nullopt);
  run_case(trie, "anagram solver engine", std::nullopt);
  run_case(trie, "anagram solver engine", 3);
  run_case(trie, "the internal rotation estimates of", std::nullopt);
  run_case(trie, "presentation of rare sentiments hi", std::nullopt);
  run_case(trie, "the quick brown fox jumps over", std::nullopt);
  run_case(trie, "the quick brown fox jumps over", 4);
  run_case(trie, "the quick brown fox jumps over the lazy dog", std::nullopt);
}
