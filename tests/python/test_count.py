"""Solver.count against len(Solver.solve) over random dictionaries and every
option; exact counts beyond 64 bits where the answer has a closed form; its
time limit, cap and call errors; and that it counts without the interpreter
lock and stops for Ctrl-C."""

import itertools
import math
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import core
import oracle
from conftest import WORD_LIST, interrupt_child, solver_from_path, solver_with
import test_module_surface as surface
from test_solve_oracle import (  # noqa: F401 (untraced_by_default is an autouse fixture)
    dictionaries, maybe, option_sets, phrases, untraced_by_default)

# Limits that never run out, so count and solve both finish.
UNCUT = st.fixed_dictionaries({
    "timeout_seconds": maybe(st.sampled_from([math.nan, math.inf, 1e9])),
    "max_solutions": maybe(st.integers(0, 6)),
})


@st.composite
def count_requests(draw, max_letters, parts=(1, 4), **dictionary):
    # Now and then a dictionary of at most one entry, often one with no word.
    words = draw(st.one_of(*[dictionaries(**dictionary)] * 6, dictionaries(min_size=0, max_size=1)))
    options = {**draw(option_sets), **draw(UNCUT)}
    return words, draw(phrases(words, max_letters, parts)), options


def assert_counts_match(words, phrase, options):
    solver = solver_with(words)
    got = solver.count(phrase, **options)
    assert type(got) is int
    assert got == len(solver.solve(phrase, **options))


@settings(max_examples=400, deadline=None)
@given(count_requests(max_letters=10))
def test_count_is_the_length_of_solve(request):
    assert_counts_match(*request)


# Larger dictionaries and phrases, where classes hold several words and the
# counts run into the thousands.
@settings(max_examples=100, deadline=None)
@given(count_requests(max_letters=16, parts=(2, 6), letters="abcdef", max_len=6, min_size=10, max_size=40))
def test_count_is_the_length_of_solve_on_larger_inputs(request):
    assert_counts_match(*request)


@st.composite
def many_pattern_requests(draw):
    """More distinct patterns than the fast search can tell apart, all inside
    one long word of the phrase, so that solutions exist."""
    long_word = "".join(draw(st.permutations("abcdefghijkl")))
    pieces = sorted({long_word[i:j] for i in range(12) for j in range(i + 1, 13)})
    assert len(pieces) > 64
    words = [long_word] + draw(st.lists(st.text("abcdefghijkl", min_size=1, max_size=3), max_size=12))
    extra = draw(st.lists(st.sampled_from(words[1:]), max_size=3)) if len(words) > 1 else []
    phrase = "".join(draw(st.permutations(long_word + "".join(extra))))
    patterns = draw(st.lists(st.sampled_from(pieces), min_size=65, unique=True))
    options = {**draw(st.fixed_dictionaries({"max_words": maybe(st.integers(1, 4)),
                                             "must_start_with": maybe(st.sampled_from(long_word))})),
               **draw(UNCUT)}
    return words, phrase, dict(options, contains_patterns=patterns + draw(st.lists(st.sampled_from(["", "-"]))))


@settings(max_examples=40, deadline=None)
@given(many_pattern_requests())
def test_count_with_more_than_64_distinct_patterns(request):
    words, phrase, options = request
    assert_counts_match(words, phrase, options)
    uncapped = {k: v for k, v in options.items() if k not in ("max_solutions", "timeout_seconds")}
    assert solver_with(words).count(phrase, **uncapped) == len(oracle.solve(words, phrase, **uncapped))


@pytest.mark.parametrize("words, phrase, options", [
    ([], "ab", {}), (["", "42", "\u00e9\u00e9"], "ab", {}), (["ab", "a", "b"], "ab\u00e9", {}),
    (["ab", "a", "b"], "\u00e9", {"must_start_with": "a"}), (["ab", "a", "b"], "", {}),
    (["ab", "a", "b"], "12 !?", {"contains_patterns": ["a"]}),
])
def test_nothing_to_count(words, phrase, options):
    # An early exit is a finished count of 0, even with a time limit already out.
    solver = solver_with(words)
    assert solver.solve(phrase, **options) == []
    assert solver.count(phrase, **options) == 0
    assert solver.count(phrase, timeout_seconds=0, **options) == 0


# --- Counts beyond 64 bits ---------------------------------------------------
#
# `c` distinct words of the letters aaaabbbb (there are 70) and the words 'a'
# and 'b'; the phrase is n times aaaabbbb. A solution takes k of the long
# words, which make C(c-1+k, k) multisets, and fills the rest with 'a' and 'b'
# in one way; summed over k = 0..n that is C(c+n, n).

def long_words(c):
    return sorted({"".join(p) for p in itertools.permutations("aaaabbbb")})[:c]


def multisets(c, k):
    return math.comb(c - 1 + k, k)


def with_long_words(n, allowed=lambda k: True, c=70):
    """The count over the solutions that take k long words where allowed(k)."""
    return sum(multisets(c, k) for k in range(n + 1) if allowed(k))


B_FIRST = sum(w[0] == "b" for w in long_words(70))
WITH_BBBB = sum("bbbb" in w for w in long_words(70))


@pytest.mark.parametrize("c, n, options, expected", [
    (70, 30, {}, math.comb(100, 30)),
    # At most 70 words: at least 13 long ones (k + 8(n-k) words in all).
    (70, 20, {"max_words": 70}, with_long_words(20, lambda k: k + 8 * (20 - k) <= 70)),
    (70, 30, {"min_word_length": 2}, multisets(70, 30)),
    (70, 30, {"can_only_ever_start_with": "b"}, multisets(B_FIRST, 30)),
    # Some word must begin with b: the single 'b' does unless all n are long.
    (70, 30, {"must_start_with": "b"}, math.comb(100, 30) - multisets(70 - B_FIRST, 30)),
    (70, 30, {"must_start_with": "bb", "max_words": 30}, multisets(70, 30) - multisets(70 - B_FIRST, 30)
     - B_FIRST * multisets(70 - B_FIRST, 29)),
    (70, 30, {"contains_patterns": ["bbbb"]}, math.comb(100, 30) - math.comb(100 - WITH_BBBB, 30)),
    # Each term is below 2^64 and their sum is not: the walk's running sum
    # must move to exact arithmetic.
    (29, 40, {"contains_patterns": ["a"]}, math.comb(69, 40)),
    (29, 40, {}, math.comb(69, 40)),
    # Past 2^160.
    (70, 100, {}, math.comb(170, 100)),
    (70, 100, {"must_start_with": "b"}, math.comb(170, 100) - multisets(70 - B_FIRST, 100)),
    (70, 30, {"max_solutions": 2**32 - 1}, 2**32 - 1),
    (70, 30, {"max_solutions": 2**32 - 1, "must_start_with": "a"}, 2**32 - 1),
])
def test_counts_beyond_64_bits_are_exact(c, n, options, expected):
    if c == 29:
        assert multisets(29, 40) < 2**64 <= expected
    solver = solver_with(long_words(c) + ["a", "b"])
    assert solver.count("aaaabbbb" * n, **options) == expected


def test_counts_match_solve_where_solve_can_list_them():
    # The same dictionaries, phrases short enough to list.
    for c, n in [(70, 2), (29, 3), (5, 6)]:
        words = long_words(c) + ["a", "b"]
        for options in [{}, {"must_start_with": "b"}, {"contains_patterns": ["bbbb"]}, {"max_words": 9}]:
            assert_counts_match(words, "aaaabbbb" * n, options)
        assert solver_with(words).count("aaaabbbb" * n) == math.comb(c + n, n)


# --- The time limit, the cap and the call errors -----------------------------

LONG_WORD = "abcdefghijkl"
TIMEOUT_WORDS = ["a", "b", "ab", "ba", "abc", "c", "cab", "bb", "aa", LONG_WORD]
PATHS = [  # the table, the walk, and the step-by-step search
    ("abcabba", {}), ("abcabba", {"must_start_with": "a"}),
    (LONG_WORD + "abcab", {"contains_patterns": [LONG_WORD[i:j] for i in range(12) for j in range(i + 1, 13)]}),
]


@pytest.mark.parametrize("phrase, options", PATHS)
def test_time_limit_and_cap(phrase, options):
    solver = solver_with(TIMEOUT_WORDS)
    full = solver.count(phrase, **options)
    assert full == len(solver.solve(phrase, **options)) > 2
    for seconds in (0, -0.0, -1, False, -math.inf):
        with pytest.raises(TimeoutError, match="^the count did not finish within timeout_seconds$"):
            solver.count(phrase, timeout_seconds=seconds, **options)
    for seconds in (math.nan, math.inf, 1e9, True):
        assert solver.count(phrase, timeout_seconds=seconds, **options) == full
    for cap in (0, 1, full - 1, full, full + 1, 2**32 - 1):
        assert solver.count(phrase, max_solutions=cap, **options) == min(cap, full)


SOLVE_CALL_ERRORS = [(call.replace("s.solve(", "s.count("), error, message.replace("Solver.solve()", "Solver.count()"))
                     for call, error, message in surface.CALL_ERRORS if call.startswith("s.solve(")]


@pytest.mark.parametrize("call, error, message", SOLVE_CALL_ERRORS)
def test_call_errors_as_solve(call, error, message):
    s = solver_with(surface.AB_WORDS)
    with pytest.raises(error) as info:
        eval(call, vars(surface), {"s": s})
    assert type(info.value) is error and str(info.value) == message
    assert info.value.__cause__ is None and info.value.__context__ is None
    s.add_word("ba")  # the borrow was released
    assert s.count("ab") == 3


# --- The interpreter lock and Ctrl-C -----------------------------------------

# A count of the walk that takes far longer than any test waits (it was still
# running after four minutes); its tables stay small.
PANGRAM = "the quick brown fox jumps over the lazy dog"
LONG_COUNT = {"must_start_with": "t"}


@pytest.fixture(scope="module")
def words_solver():
    return solver_from_path(WORD_LIST)


def test_count_runs_without_the_lock_under_a_shared_borrow(words_solver):
    s = words_solver
    act = s.solve("act")
    done = threading.Event()
    seen = []

    def other():
        # Meeting the borrow proves this thread ran while count was in it.
        while not done.is_set():
            try:
                s.add_word("")
            except RuntimeError as e:
                seen.append((str(e), s.solve("act"), s.count("act")))
                if len(seen) == 3:
                    return

    thread = threading.Thread(target=other)
    thread.start()
    try:
        # The time limit ends the count once the other thread has had its turns.
        with pytest.raises(TimeoutError):
            s.count(PANGRAM, timeout_seconds=3, **LONG_COUNT)
    finally:
        done.set()
        thread.join()
    assert seen == [("Already borrowed", act, len(act))] * 3


def test_ctrl_c_stops_a_long_count():
    out, err, status = interrupt_child(f"""
        import core
        s = core.Solver()
        s.load_dictionary_from_path({str(WORD_LIST)!r})
        print("ready", flush=True)
        try:
            s.count({PANGRAM!r}, **{LONG_COUNT!r})
        except KeyboardInterrupt:
            print("interrupted")
        print(s.count("listen", max_words=1))
    """)
    listen = len(solver_from_path(WORD_LIST).solve("listen", max_words=1))
    assert (out, err, status) == (f"interrupted\n{listen}\n", "", 0)
