"""Solver.iter_best and Solver.best against Solver.solve, the word scores they
rank by, and the iterator's own behaviour: lifetime, threads, the lock, time
limits, Ctrl-C and its memory cap.

iter_best must give exactly the items of solve, each once, ordered by score
(the sum of the words' scores) descending, equal scores in solve's order;
with max_solutions=n, the first n of that. Scores are compared exactly: they
are summed here in millionths, the resolution the module keeps.
"""

import itertools
import math
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import core
import oracle
from conftest import (ROOT, WORD_LIST, interrupt_child, run_threads, sanitizer_loaded, solver_from_path,
                      solver_with, start_child)
from test_solve_oracle import maybe, requests

HUGE = "anagram solver engine"
# Few distinct values, so that many anagrams tie, negative ones included.
SCORE_VALUES = [-3.5, -1.0, -0.25, 0.0, 0.5, 1.0, 2.0, 1e-6, -7.123456]


def millionths(x):
    return round(x * 1_000_000)


def ranked_by_solve(solver, phrase, scores, default, **options):
    """solve's items as (score, words), sorted best first; equal scores keep
    solve's order (the sort is stable)."""
    table = {oracle.normalize_word(w): millionths(s) for w, s in scores.items() if oracle.normalize_word(w)}
    def total(words):
        return sum(table.get(w, millionths(default)) for w in words)
    items = [(total(words), words) for words in solver.solve(phrase, **options)]
    items.sort(key=lambda item: -item[0])
    return [(t / 1_000_000, words) for t, words in items]


@st.composite
def scored_requests(draw, **kwargs):
    words, phrase, options = draw(requests(**kwargs))
    scored = draw(st.lists(st.sampled_from(words), max_size=len(words))) if words else []
    scores = {w: draw(st.sampled_from(SCORE_VALUES)) for w in scored}
    default = draw(st.one_of(st.none(), st.sampled_from(SCORE_VALUES)))
    return words, phrase, options, scores, default


def assert_ranked_like_solve(request, cap):
    words, phrase, options, scores, default = request
    solver = solver_with(words)
    solver.load_scores(scores, default=default)
    expected = ranked_by_solve(solver, phrase, scores, 0.0 if default is None else default, **options)
    for n in (None, cap):
        it = solver.iter_best(phrase, max_solutions=n, **options)
        assert list(it) == expected[:n]
        assert it.timed_out is False
    if cap is not None:
        assert solver.best(phrase, cap, **options) == expected[:cap]


@settings(max_examples=400, deadline=None)
@given(request=scored_requests(max_letters=10), cap=maybe(st.integers(0, 12)))
def test_iter_best_is_solve_sorted_by_score(request, cap):
    assert_ranked_like_solve(request, cap)


@settings(max_examples=100, deadline=None)
@given(request=scored_requests(max_letters=14, parts=(2, 5), letters="abcdef", max_len=6, min_size=10, max_size=40),
       cap=maybe(st.integers(0, 50)))
def test_iter_best_on_larger_inputs(request, cap):
    assert_ranked_like_solve(request, cap)


@pytest.mark.parametrize("options", [{}, {"max_words": 2}, {"must_start_with": "an"}])
def test_more_than_64_distinct_patterns(options):
    # Past 64 distinct patterns the ranked search does not take the request:
    # the whole result is ranked after collecting it.
    from test_iter_solve import ALPHABET, HALF_RUNS, SPLIT_WORDS
    solver = solver_with(SPLIT_WORDS)
    scores = {ALPHABET[:13]: 2.0, ALPHABET[13:]: -1.0, ALPHABET: 0.5}
    solver.load_scores(scores)
    expected = ranked_by_solve(solver, ALPHABET, scores, 0.0, contains_patterns=HALF_RUNS, **options)
    for cap in (None, 0, 1, 2):
        assert list(solver.iter_best(ALPHABET, contains_patterns=HALF_RUNS, max_solutions=cap,
                                     **options)) == expected[:cap]
    assert solver.best(ALPHABET, 1, contains_patterns=HALF_RUNS, **options) == expected[:1]


def test_anagrams_of_thousands_of_words_and_sums_past_int64():
    # Anagrams deeper than the ranked search nests, and sums of scores that
    # pass what 64-bit millionths hold: ranked all the same, exactly.
    solver = solver_with(["a", "a" * 65536])
    solver.load_scores({"a": 1.0, "a" * 65536: -1.0})
    got = solver.best("a" * 65537, 5)
    assert [(score, len(words)) for score, words in got] == [(65537.0, 65537), (0.0, 2)]
    huge = solver_with(["ab"])
    huge.load_scores({"ab": 1e9})
    phrase = "ab" * 10_000
    assert huge.best(phrase, 3) == [(1e13, ["ab"] * 10_000)]
    assert list(huge.iter_best(phrase, max_words=3)) == []


def test_best_takes_the_smaller_of_n_and_max_solutions():
    solver = solver_with(["ab", "ba", "a", "b", "aab", "bb"])
    scores = {"ab": 1, "ba": 1, "a": -1, "bb": 0.5}
    solver.load_scores(scores)
    expected = ranked_by_solve(solver, "aabb", scores, 0.0)
    assert solver.best("aabb", 3) == expected[:3]
    assert solver.best("aabb", 3, max_solutions=2) == expected[:2]
    assert solver.best("aabb", 0) == []


# --- Scores -------------------------------------------------------------------------

def test_scores_are_normalised_like_words_and_later_loads_override(tmp_path):
    solver = solver_with(["tinsel", "silent", "listen"])
    assert solver.best("listen", 3) == [(0.0, ["listen"]), (0.0, ["silent"]), (0.0, ["tinsel"])]
    solver.load_scores({"Tin-Sel": 2.5, "silent": 1})
    assert solver.best("listen", 3) == [(2.5, ["tinsel"]), (1.0, ["silent"]), (0.0, ["listen"])]
    path = tmp_path / "scores.tsv"
    path.write_text("SILENT\t3\n\n listen \t-1e-6\r\nzzz\t0\n", encoding="utf-8")
    solver.load_scores_from_path(str(path), default=-9)
    assert solver.best("listen", 3) == [(3.0, ["silent"]), (2.5, ["tinsel"]), (-1e-6, ["listen"])]
    solver.add_word("enlist")
    assert solver.best("listen", 4)[-1] == (-9.0, ["enlist"])


@pytest.mark.parametrize("text, message", [
    ("a\t1\nb 2\n", "line 2: expected word<TAB>score"),
    ("a\tone\n", "line 1: 'one' is not a number"),
    ("b\t1\na\tnan\n", "line 2: a score must be a finite number"),
    ("a\t-inf\n", "line 1: a score must be a finite number"),
    ("a\t1e10\n", "line 1: a score must lie between -1e9 and 1e9"),
])
def test_bad_score_files_are_refused_whole(tmp_path, text, message):
    solver = solver_with(["a", "b"])
    path = tmp_path / "bad.tsv"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(ValueError) as info:
        solver.load_scores_from_path(str(path))
    assert str(info.value) == f"{path}: {message}"
    assert solver.best("b", 1) == [(0.0, ["b"])]  # nothing was kept
    with pytest.raises(OSError, match="^Failed to read scores: "):
        solver.load_scores_from_path(str(tmp_path / "missing.tsv"))


@pytest.mark.parametrize("scores, exception", [
    ({"a": math.nan}, ValueError),
    ({"a": math.inf}, ValueError),
    ({"a": -2e9}, ValueError),
    ({"a": "1"}, TypeError),
    ({1: 1.0}, TypeError),
    ("a", TypeError),
    ([("a", 1.0)], TypeError),
])
def test_bad_scores_are_refused_whole(scores, exception):
    solver = solver_with(["a", "b"])
    with pytest.raises(exception):
        solver.load_scores({"b": 1.0, **scores} if isinstance(scores, dict) else scores)
    assert solver.best("b", 1) == [(0.0, ["b"])]  # nothing was kept
    with pytest.raises(ValueError):
        solver.load_scores({}, default=math.nan)


# --- The iterator as an object ------------------------------------------------------

def test_iterator_outlives_its_solver_and_ignores_later_loading():
    words = ["ab", "a", "b", "abab", "ba"]
    solver = solver_with(words)
    solver.load_scores({"ab": 2, "ba": 1})
    expected = solver.best("abab", 100)
    dropped = solver_with(words).iter_best("abab")  # the Solver is gone at once
    dropped_expected = solver_with(words).best("abab", 100)
    partial = solver.iter_best("abab")
    assert next(partial) == expected[0]
    untouched = solver.iter_best("abab")
    solver.load_dictionary_from_words(["aabb", "bb", "aa"])
    solver.load_scores({"abab": 100})
    assert solver.best("abab", 100) != expected
    assert list(partial) == expected[1:]
    assert list(untouched) == expected
    assert list(dropped) == dropped_expected
    for it in (partial, untouched, dropped):
        with pytest.raises(StopIteration):
            next(it)
        assert it.timed_out is False
    assert iter(dropped) is dropped
    with pytest.raises(TypeError):
        type(dropped)()


@pytest.fixture(scope="module")
def scored_solver():
    solver = solver_from_path(WORD_LIST)
    solver.load_scores_from_path(str(ROOT / "data" / "words.scores"), default=-9)
    return solver


def test_two_threads_share_one_iterator(scored_solver):
    phrase = "dormitory rooms"
    expected = scored_solver.best(phrase, 20_000)
    it = scored_solver.iter_best(phrase, max_solutions=20_000)
    taken = [[], []]
    start = threading.Barrier(2)

    def pull(mine):
        start.wait()
        for item in it:
            mine.append(item)

    run_threads([(pull, (mine,)) for mine in taken])
    # Each thread saw its items best first; together, each item once.
    position = {tuple(words): i for i, (_, words) in enumerate(expected)}
    for mine in taken:
        order = [position[tuple(words)] for _, words in mine]
        assert order == sorted(order)
    assert sorted(taken[0] + taken[1], key=lambda item: position[tuple(item[1])]) == expected


def test_batches_are_computed_without_the_interpreter_lock(scored_solver):
    # See test_iter_solve: with a long switch interval only the batches give
    # the lock up, so the two threads take turns only if they do.
    sequence = []
    iterators = [scored_solver.iter_best(HUGE), scored_solver.iter_best(HUGE)]

    def pull(tag):
        for _ in itertools.islice(iterators[tag], 20_000):
            sequence.append(tag)

    run_threads([(pull, (0,)), (pull, (1,))], switch_interval=1000)
    changes = sum(1 for a, b in zip(sequence, sequence[1:]) if a != b)
    assert changes >= 4


def test_timed_out(scored_solver):
    small = scored_solver.iter_best("listen", timeout_seconds=60)
    assert len(list(small)) == len(scored_solver.solve("listen"))
    assert small.timed_out is False
    for seconds in (0, -1.0):
        it = scored_solver.iter_best(HUGE, timeout_seconds=seconds)
        assert list(it) == []
        assert it.timed_out is True
    it = scored_solver.iter_best(HUGE, timeout_seconds=0.2)
    got = sum(1 for _ in itertools.islice(it, 50_000_000))
    assert 0 <= got < 50_000_000
    assert it.timed_out is True
    capped = scored_solver.iter_best(HUGE, max_solutions=10, timeout_seconds=1e9)
    assert len(list(capped)) == 10
    assert capped.timed_out is False


@pytest.mark.parametrize("call, exception, message", [
    ("s.iter_best()", TypeError, "Solver.iter_best() missing 1 required positional argument: 'phrase'"),
    ("s.best('a')", TypeError, "Solver.best() missing 1 required positional argument: 'n'"),
    ("s.iter_best('a', foo=1)", TypeError, "Solver.iter_best() got an unexpected keyword argument 'foo'"),
    ("s.best('a', -1)", OverflowError, None),
    ("s.iter_best(5)", TypeError, "argument 'phrase': 'int' object cannot be converted to 'PyString'"),
    ("s.load_scores()", TypeError, "Solver.load_scores() missing 1 required positional argument: 'scores'"),
])
def test_conversion_errors(call, exception, message):
    s = solver_with(["a"])
    with pytest.raises(exception) as info:
        eval(call)
    if message is not None:
        assert str(info.value) == message


def test_ctrl_c_stops_the_iteration():
    out, err, status = interrupt_child(f"""
        import collections, core
        s = core.Solver()
        s.load_dictionary_from_path({str(WORD_LIST)!r})
        s.load_scores_from_path({str(ROOT / "data" / "words.scores")!r}, default=-9)
        it = s.iter_best({HUGE!r}, timeout_seconds=60)
        print("ready", flush=True)
        try:
            collections.deque(it, maxlen=0)
            print("finished, timed out:", it.timed_out)
        except (KeyboardInterrupt, MemoryError) as e:
            print(type(e).__name__, flush=True)
    """)
    assert (out, status) == ("KeyboardInterrupt\n", 0), err


@pytest.mark.skipif(sanitizer_loaded(), reason="AddressSanitizer cannot start under an address-space limit")
def test_past_its_memory_cap_it_raises_memory_error_and_the_solver_stays_usable():
    # Under an address-space limit the cap is three quarters of what is left.
    # With no scores every anagram of HUGE ties, and a run of equal scores
    # is collected whole: past the cap.
    child = start_child(f"""
        import resource, core
        s = core.Solver()
        s.load_dictionary_from_path({str(WORD_LIST)!r})
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (400 << 20), hard))
        try:
            print(next(s.iter_best({HUGE!r})))
        except MemoryError as e:
            print("refused:", e)
        print("after:", len(s.best("dormitory", 5)))
    """)
    out, err = child.communicate(timeout=300)
    assert child.returncode == 0, err
    lines = out.splitlines()
    assert lines[0].startswith("refused: iter_best(): ranking these anagrams needs more than "), (out, err)
    assert "iter_solve()" in lines[0]
    assert lines[1] == "after: 5"
