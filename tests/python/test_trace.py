"""The trace file, through Python: exact lines, when it is written and when not."""

import pytest

from conftest import FOOTER, TRACE_ENV, TRACE_FILE, read_trace, solver_with
NO_OPTIONS = ("Constraints: SolverConstraints { must_start_with: None, can_only_ever_start_with: None, "
              "must_not_start_with: None, max_words: None, min_word_length: None, timeout_seconds: None, "
              "max_solutions: None, contains_patterns: None }\n")

# The whole search of the phrase "a" over the dictionary {a}: the node of "a"
# is as deep as the longest word, so it writes no EXIT line.
SMALLEST_SEARCH = """\
BACKTRACK ENTRY: path=[], remaining_total=1, timed_out=false, solutions_found=0
  Pre-base-case: path=[], remaining_total=1
  Did not hit base case (remaining_counts_total = 1). Path: []
  Calling find_one_word_recursive for path: []
  FOWR ENTRY: word_so_far='', path=[], current_overall_counts_total=1, node_is_word=false
  FOWR ENTRY: word_so_far='a', path=[], current_overall_counts_total=0, node_is_word=true
    FOWR: Found candidate word: 'a'. Path before push: []
      FOWR: 'a' passes min_length (len 1). Path: []
      FOWR: Pushed 'a'. Path is now: ["a"]. Calling backtrack with remaining_counts_total: 0
BACKTRACK ENTRY: path=["a"], remaining_total=0, timed_out=false, solutions_found=0
  Pre-base-case: path=["a"], remaining_total=0
  REACHED BASE CASE (remaining_counts is empty). Path: ["a"]
    Current path is not empty: ["a"]
    No must_start_with constraint active. Path: ["a"]
    No pattern constraint active in base case. Path: ["a"]
    Attempting to insert solution: ["a"]
    Solution ADDED. New count: 1. Set size: 1. Path: ["a"]
  Returning from BASE CASE. Path: ["a"]
      FOWR: Popped 'a'. Path is now: []
  FOWR EXIT: word_so_far=''
BACKTRACK EXIT: path=[]
"""


def test_smallest_complete_search_byte_for_byte(trace_dir):
    assert solver_with(["a"]).solve("a") == [["a"]]
    assert read_trace() == "--- Solving for phrase: 'a' ---\n" + NO_OPTIONS + SMALLEST_SEARCH + FOOTER


def constraints(**fields):
    """The constraints line with the given fields present and the rest None."""
    names = ["must_start_with", "can_only_ever_start_with", "must_not_start_with", "max_words",
             "min_word_length", "timeout_seconds", "max_solutions", "contains_patterns"]
    body = ", ".join(f"{n}: {fields.get(n, 'None')}" for n in names)
    return f"Constraints: SolverConstraints {{ {body} }}\n"


@pytest.mark.parametrize("options, expected", [
    ({"max_words": 3, "timeout_seconds": 2.5, "contains_patterns": ["ing"]},
     "Constraints: SolverConstraints { must_start_with: None, can_only_ever_start_with: None, "
     "must_not_start_with: None, max_words: Some(3), min_word_length: None, timeout_seconds: Some(2.5), "
     "max_solutions: None, contains_patterns: Some([ProcessedPattern { text: \"ing\", counts: "
     "CharCounts([0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]) }]) }\n"),
    ({}, NO_OPTIONS),
    ({"timeout_seconds": 1}, constraints(timeout_seconds="Some(1.0)")),
    ({"timeout_seconds": 0.00005}, constraints(timeout_seconds="Some(5e-5)")),
    ({"timeout_seconds": 1e20}, constraints(timeout_seconds="Some(1e20)")),
    ({"timeout_seconds": -0.0}, constraints(timeout_seconds="Some(-0.0)")),
    ({"timeout_seconds": float("nan")}, constraints(timeout_seconds="Some(NaN)")),
    ({"timeout_seconds": float("-inf")}, constraints(timeout_seconds="Some(-inf)")),
    ({"must_start_with": "aA", "max_solutions": 4294967295, "min_word_length": 0},
     constraints(must_start_with="Some({'a': 2})", min_word_length="Some(0)",
                 max_solutions="Some(4294967295)")),
    ({"can_only_ever_start_with": "", "must_not_start_with": "\t", "contains_patterns": ["", "12"]},
     constraints(can_only_ever_start_with="Some({})", must_not_start_with="Some({'\\t'})",
                 contains_patterns="Some([])")),
    ({"must_not_start_with": "\u0301", "can_only_ever_start_with": "\u00c9"},
     constraints(can_only_ever_start_with="Some({'\u00c9'})", must_not_start_with="Some({'\\u{301}'})")),
])
def test_constraints_line(trace_dir, options, expected):
    assert solver_with(["a"]).solve("", **options) == []
    assert read_trace() == "--- Solving for phrase: '' ---\n" + expected


def test_letter_set_entries_in_either_order(trace_dir):
    solver_with(["a"]).solve("", must_not_start_with="'a")
    line = read_trace().splitlines()[1]
    assert line in {constraints(must_not_start_with=f"Some({{{s}}})").rstrip("\n")
                    for s in ("'\\'', 'a'", "'a', '\\''")}


@pytest.mark.parametrize("words, phrase", [
    (["a"], ""),
    (["a"], " 12, !? "),
    (["a"], "a \u00e9"),
    ([], "Dirty Room!"),
    (["", "42"], "a"),
])
def test_request_ending_before_the_search_leaves_only_the_header(trace_dir, words, phrase):
    assert solver_with(words).solve(phrase) == []
    assert read_trace() == f"--- Solving for phrase: '{phrase}' ---\n" + NO_OPTIONS


def test_tracing_follows_the_variable_at_each_request(trace_dir, monkeypatch):
    solver = solver_with(["a", "b", "ab"])
    monkeypatch.delenv(TRACE_ENV)
    assert solver.solve("ab") == [["ab"], ["a", "b"]]
    assert not (trace_dir / TRACE_FILE).exists()

    monkeypatch.setenv(TRACE_ENV, "")
    solver.solve("Ab")
    first = read_trace()
    assert first.startswith("--- Solving for phrase: 'Ab' ---\n") and first.endswith(FOOTER)

    # A second traced request starts the file afresh.
    assert solver.solve("a") == [["a"]]
    second = read_trace()
    assert second.startswith("--- Solving for phrase: 'a' ---\n") and second.endswith(FOOTER)
    assert "'Ab'" not in second and second.count("--- Solving") == 1
