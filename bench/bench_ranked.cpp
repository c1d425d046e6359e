// Times the ranked search (best first by word scores) on data/words.txt less
// its one-letter words other than a and i, scored by data/words.scores: the
// first anagram, the best 1,000 and 100,000 after the call, the peak bytes
// of its tables and frontier, and for scale the exact count and the first
// 100,000 of the result order.
//
// Usage: build/bench_ranked [SECONDS [PHRASE...]]   (run from the repository
// root; SECONDS caps each phrase's ranked walk, default 60).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "engine/solver.h"

using namespace anagram;

namespace {

double ms_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

std::string read_all(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The command's default word list: no one-letter words but a and i.
void load(AnagramSolver& solver) {
  std::istringstream lines(read_all("data/words.txt"));
  for (std::string line; std::getline(lines, line);) {
    const std::string w = normalize_word(line);
    if (w.size() > 1 || w == "a" || w == "i") solver.add_word(w);
  }
  const auto scores = parse_score_lines(read_all("data/words.scores"));
  solver.scores.add(std::get<0>(scores));
  solver.scores.fallback = -9'000'000;
}

long max_rss_mb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

void run(const AnagramSolver& solver, const char* phrase, double seconds) {
  SolverConstraints c;
  c.timeout_seconds = seconds;
  const auto start = std::chrono::steady_clock::now();
  RankedStream stream = solver.rank(phrase, c);
  RowBatch batch;
  std::vector<ScoreTotal> scores;
  const size_t marks[] = {1, 1000, 100000};
  double at[3] = {-1, -1, -1};
  size_t taken = 0;
  for (int m = 0; m < 3 && !stream.ended(); ++m) {
    while (taken < marks[m] && !stream.ended()) taken += stream.next_batch(batch, scores, marks[m] - taken);
    if (taken >= marks[m]) at[m] = ms_since(start);
    batch.clear();
  }
  SolverConstraints plain;
  const auto count_start = std::chrono::steady_clock::now();
  const SolutionCount count = solver.count(phrase, plain);
  const double count_ms = ms_since(count_start);
  SolverConstraints capped;
  capped.max_solutions = 100000;
  const auto iter_start = std::chrono::steady_clock::now();
  SolutionStream ordered = solver.stream(phrase, capped);
  RowBatch rows;
  while (!ordered.ended()) {
    rows.clear();
    ordered.next_batch(rows, 8192);
  }
  const double iter_ms = ms_since(iter_start);
  std::printf("%-44s %12s %9.1f %9.1f %9.1f %8.1f %8ld %9.1f %9.1f%s\n", (std::string("'") + phrase + "'").c_str(),
              count.value.to_decimal().c_str(), at[0], at[1], at[2], stream.peak_bytes() / 1048576.0, max_rss_mb(),
              count_ms, iter_ms, stream.over_cap() ? "  over cap" : (stream.stop() == SearchStatus::kTimeLimit ? "  time limit" : ""));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
  AnagramSolver solver;
  load(solver);
  std::vector<const char*> phrases = {"clint eastwood", "anagram solver engine", "the quick brown fox jumps over",
                                      "a journey of a thousand miles begins",
                                      "practice makes perfect when you work hard"};
  if (argc > 2) phrases.assign(argv + 2, argv + argc);
  std::printf("ranked: ms after the call (-1: not reached); MiB: peak of its tables and frontier; RSS of the process\n");
  std::printf("%-44s %12s %9s %9s %9s %8s %8s %9s %9s\n", "phrase", "anagrams", "first", "top 1k", "top 100k",
              "MiB", "RSS MiB", "count ms", "iter 100k");
  for (const char* phrase : phrases) run(solver, phrase, seconds);
}
