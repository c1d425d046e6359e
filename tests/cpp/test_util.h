// Helpers shared by the engine's tests and the search fuzzer: results as
// plain lists, the step-by-step search run directly, random words and a
// working directory with tracing switched on. No GoogleTest in here, so the
// fuzzer can use it too.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "search/shared/rules.h"
#include "search/search.h"
#include "engine/solver.h"

namespace anagram {

namespace test_util {

using Solutions = std::vector<std::vector<std::string>>;

// The solutions of a list as lists of strings, in the list's order.
inline Solutions to_vectors(const SolutionList& list) {
  Solutions out;
  for (const SolutionList::Block& block : list.blocks) {
    for (size_t i = 0; i < block.rows.size(); i += block.width) {
      auto& solution = out.emplace_back();
      for (size_t k = i; k < i + block.width; ++k) solution.push_back(list.words[block.rows[k]]);
    }
  }
  return out;
}

// The step-by-step search, untraced, whatever the patterns; the phrase must
// be countable.
inline SolutionList step_search(const AnagramSolver& solver, std::string_view phrase, const SolverConstraints& c,
                                PollHook cancel = {}) {
  const auto counts = std::get<CharCounts>(CharCounts::from_str(phrase));
  if (counts.is_empty()) return {};
  const StopCondition stop{std::chrono::steady_clock::now(), c.timeout_seconds, cancel};
  StopWatch watch(stop);
  return traced_search(prepare_request(solver.trie, counts, c, watch, /*traced=*/true), watch, nullptr);
}

inline std::string read_file(const std::filesystem::path& name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A word of 1 to max_len letters drawn from `alphabet`.
inline std::string random_word(std::mt19937& rng, const std::string& alphabet, int max_len) {
  std::string w;
  const int len = 1 + static_cast<int>(rng() % static_cast<unsigned>(max_len));
  for (int i = 0; i < len; ++i) w += alphabet[rng() % alphabet.size()];
  return w;
}

inline constexpr const char* kTraceFile = "anagram_solver_debug.log";

// While alive: the working directory is a fresh one of its own and
// ANAGRAM_DEBUG_LOG is set, so every request writes its trace there.
class TracingDirectory {
 public:
  explicit TracingDirectory(const std::string& name)
      : old_(std::filesystem::current_path()),
        dir_(std::filesystem::temp_directory_path() / (name + "_" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
    ::setenv("ANAGRAM_DEBUG_LOG", "", 1);
  }
  ~TracingDirectory() {
    ::unsetenv("ANAGRAM_DEBUG_LOG");
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }
  TracingDirectory(const TracingDirectory&) = delete;
  TracingDirectory& operator=(const TracingDirectory&) = delete;

  static std::string log_text() { return read_file(kTraceFile); }

 private:
  std::filesystem::path old_, dir_;
};

}  // namespace test_util

}  // namespace anagram
