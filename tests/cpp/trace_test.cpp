#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "engine/solver.h"
#include "test_util.h"
#include "request/trace_log.h"

using namespace anagram;

namespace {

// Runs each test in a fresh directory with tracing on.
class TraceTest : public ::testing::Test {
 protected:
  static std::string log_text() { return test_util::TracingDirectory::log_text(); }
  test_util::TracingDirectory dir_{"trace_test"};
};

const char* kNoConstraints =
    "Constraints: SolverConstraints { must_start_with: None, can_only_ever_start_with: None, "
    "must_not_start_with: None, max_words: None, min_word_length: None, timeout_seconds: None, "
    "max_solutions: None, contains_patterns: None }\n";

TEST_F(TraceTest, SmallestCompleteSearch) {
  AnagramSolver solver;
  solver.trie.insert("a");
  const SolutionList result = solver.solve("a", SolverConstraints{});
  EXPECT_EQ(test_util::to_vectors(result), (std::vector<std::vector<std::string>>{{"a"}}));
  EXPECT_EQ(log_text(), std::string("--- Solving for phrase: 'a' ---\n") + kNoConstraints +
                            "BACKTRACK ENTRY: path=[], remaining_total=1, timed_out=false, solutions_found=0\n"
                            "  Pre-base-case: path=[], remaining_total=1\n"
                            "  Did not hit base case (remaining_counts_total = 1). Path: []\n"
                            "  Calling find_one_word_recursive for path: []\n"
                            "  FOWR ENTRY: word_so_far='', path=[], current_overall_counts_total=1, node_is_word=false\n"
                            "  FOWR ENTRY: word_so_far='a', path=[], current_overall_counts_total=0, node_is_word=true\n"
                            "    FOWR: Found candidate word: 'a'. Path before push: []\n"
                            "      FOWR: 'a' passes min_length (len 1). Path: []\n"
                            "      FOWR: Pushed 'a'. Path is now: [\"a\"]. Calling backtrack with remaining_counts_total: 0\n"
                            "BACKTRACK ENTRY: path=[\"a\"], remaining_total=0, timed_out=false, solutions_found=0\n"
                            "  Pre-base-case: path=[\"a\"], remaining_total=0\n"
                            "  REACHED BASE CASE (remaining_counts is empty). Path: [\"a\"]\n"
                            "    Current path is not empty: [\"a\"]\n"
                            "    No must_start_with constraint active. Path: [\"a\"]\n"
                            "    No pattern constraint active in base case. Path: [\"a\"]\n"
                            "    Attempting to insert solution: [\"a\"]\n"
                            "    Solution ADDED. New count: 1. Set size: 1. Path: [\"a\"]\n"
                            "  Returning from BASE CASE. Path: [\"a\"]\n"
                            "      FOWR: Popped 'a'. Path is now: []\n"
                            "  FOWR EXIT: word_so_far=''\n"
                            "BACKTRACK EXIT: path=[]\n"
                            "--- Solve function finished ---\n");
}

TEST_F(TraceTest, ConstraintsLineAndEarlyExit) {
  AnagramSolver solver;
  solver.trie.insert("a");
  SolveOptions options;
  options.max_words = 3;
  options.timeout_seconds = 2.5;
  options.contains_patterns = std::vector<std::string>{"ing"};
  EXPECT_EQ(solver.solve("", build_constraints(options)).size(), 0u);
  EXPECT_EQ(log_text(),
            "--- Solving for phrase: '' ---\n"
            "Constraints: SolverConstraints { must_start_with: None, can_only_ever_start_with: None, "
            "must_not_start_with: None, max_words: Some(3), min_word_length: None, timeout_seconds: Some(2.5), "
            "max_solutions: None, contains_patterns: Some([ProcessedPattern { text: \"ing\", counts: "
            "CharCounts([0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]) }]) }\n");
}

TEST_F(TraceTest, SecondRequestTruncatesAndUnsetTurnsOff) {
  AnagramSolver solver;
  solver.trie.insert("a");
  solver.solve("Dirty, room!", SolverConstraints{});
  solver.solve("b", SolverConstraints{});
  EXPECT_EQ(log_text(), std::string("--- Solving for phrase: 'b' ---\n") + kNoConstraints +
                            "BACKTRACK ENTRY: path=[], remaining_total=1, timed_out=false, solutions_found=0\n"
                            "  Pre-base-case: path=[], remaining_total=1\n"
                            "  Did not hit base case (remaining_counts_total = 1). Path: []\n"
                            "  Calling find_one_word_recursive for path: []\n"
                            "  FOWR ENTRY: word_so_far='', path=[], current_overall_counts_total=1, node_is_word=false\n"
                            "  FOWR EXIT: word_so_far=''\n"
                            "BACKTRACK EXIT: path=[]\n"
                            "--- Solve function finished ---\n");
  ::unsetenv("ANAGRAM_DEBUG_LOG");
  std::filesystem::remove("anagram_solver_debug.log");
  solver.solve("a", SolverConstraints{});
  EXPECT_FALSE(std::filesystem::exists("anagram_solver_debug.log"));
}

TEST(Renderings, Doubles) {
  const std::pair<double, const char*> cases[] = {
      {5, "5.0"},          {0.5, "0.5"},       {120, "120.0"},      {0.1, "0.1"},   {1, "1.0"},
      {0.00005, "5e-5"},   {0.00001, "1e-5"},  {0.000015, "1.5e-5"}, {1e16, "1e16"}, {2.5e20, "2.5e20"},
      {1e20, "1e20"},      {-0.0, "-0.0"},     {0.0, "0.0"},        {-2.5, "-2.5"}, {0.0001, "0.0001"},
      {9999999999999998.0, "9999999999999998.0"}, {123.456, "123.456"}, {1e-300, "1e-300"},
      {1.7976931348623157e308, "1.7976931348623157e308"}, {5e-324, "5e-324"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(render_double(value), text) << value;
  EXPECT_EQ(render_double(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(render_double(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(render_double(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(Renderings, QuotedCharacters) {
  EXPECT_EQ(render_quoted_char('a'), "'a'");
  EXPECT_EQ(render_quoted_char('\''), "'\\''");
  EXPECT_EQ(render_quoted_char('\\'), "'\\\\'");
  EXPECT_EQ(render_quoted_char('"'), "'\"'");
  EXPECT_EQ(render_quoted_char('\t'), "'\\t'");
  EXPECT_EQ(render_quoted_char('\r'), "'\\r'");
  EXPECT_EQ(render_quoted_char('\n'), "'\\n'");
  EXPECT_EQ(render_quoted_char(0), "'\\0'");
  EXPECT_EQ(render_quoted_char(' '), "' '");
  EXPECT_EQ(render_quoted_char(0x7F), "'\\u{7f}'");
  EXPECT_EQ(render_quoted_char(0xA0), "'\\u{a0}'");     // no-break space
  EXPECT_EQ(render_quoted_char(0x301), "'\\u{301}'");   // combining acute
  EXPECT_EQ(render_quoted_char(0x200D), "'\\u{200d}'"); // zero-width joiner
  EXPECT_EQ(render_quoted_char(0xE000), "'\\u{e000}'"); // private use
  EXPECT_EQ(render_quoted_char(0x378), "'\\u{378}'");   // unassigned
  EXPECT_EQ(render_quoted_char(0xC9), "'\u00C9'");
  EXPECT_EQ(render_quoted_char(0x1F600), "'\U0001F600'");
}

}  // namespace
