// Times the step-by-step search (the one traced requests run, here without
// writing a trace) on data/words.txt, next to the untraced search.
//
// Usage: build/bench_step_search [SECONDS]   (run from the repository root;
// SECONDS caps each step-by-step case, default 60)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "search/shared/rules.h"
#include "search/traced/traced.h"
#include "engine/solver.h"

using namespace anagram;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const double cap = argc > 1 ? std::atof(argv[1]) : 60.0;
  std::ifstream in("data/words.txt");
  std::stringstream text;
  text << in.rdbuf();
  AnagramSolver solver;
  solver.load_dictionary_from_text(text.str());
  struct Case {
    const char* phrase;
    uint32_t max_words;
    uint32_t min_length;
  };
  const Case cases[] = {{"dormitory", 0, 0},           {"listen silent", 0, 0},
                        {"william shakespeare", 3, 0}, {"anagram solver engine", 3, 0},
                        {"clint eastwood", 0, 3},      {"clint eastwood", 0, 0}};
  std::printf("%-24s %-8s %12s %12s %12s\n", "phrase", "options", "solutions", "step-by-step", "untraced");
  for (const Case& c : cases) {
    SolveOptions options;
    if (c.max_words) options.max_words = c.max_words;
    if (c.min_length) options.min_word_length = c.min_length;
    const SolverConstraints plain = build_constraints(options);
    options.timeout_seconds = cap;
    const SolverConstraints capped = build_constraints(options);
    const CharCounts counts = std::get<CharCounts>(CharCounts::from_str(c.phrase));
    auto start = std::chrono::steady_clock::now();
    const StopCondition stop{std::chrono::steady_clock::now(), capped.timeout_seconds, {}};
    StopWatch watch(stop);
    const PreparedRequest request = prepare_request(solver.trie, counts, capped, watch, /*traced=*/true);
    const size_t step = traced_search(request, watch, nullptr).size();
    const double step_time = seconds_since(start);
    start = std::chrono::steady_clock::now();
    const size_t fast = solver.solve(c.phrase, plain).size();
    const double fast_time = seconds_since(start);
    char options_text[16];
    std::snprintf(options_text, sizeof options_text, c.max_words ? "-l %u" : c.min_length ? "-m %u" : "",
                  c.max_words ? c.max_words : c.min_length);
    std::printf("%-24s %-8s %12zu %11.3fs%s %11.3fs\n", c.phrase, options_text, fast, step_time,
                step_time > cap ? "+" : (step == fast ? " " : "?"), fast_time);
  }
  std::printf("+: stopped at the %g s cap   ?: step-by-step and untraced disagree\n", cap);
}
