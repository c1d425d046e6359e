"""Solver.iter_solve against Solver.solve, and the iterator's own behaviour:
lifetime, threads, the lock, time limits, Ctrl-C and bounded memory.

iter_solve must give exactly the items of solve in the same order; with
max_solutions=n, the first n of the uncapped result (solve's cap picks an
arbitrary n, so it is compared uncapped).
"""

import collections
import itertools
import math
import os
import signal
import subprocess
import sys
import textwrap
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import core
import oracle
from cli_run import command_env
from conftest import ROOT, WORD_LIST, interrupt_child, run_threads, sanitizer_loaded, solver_from_path, solver_with
from test_an_oracle import AN, an_solutions
from test_solve_oracle import maybe, requests

HUGE = "anagram solver engine"  # 128,373,828 anagrams over data/words.txt

# Limits that never expire, and limits that always expire at once.
NEVER = [None, math.inf, math.nan, 1e9]
AT_ONCE = [0, -0.0, -1.0, -math.inf]


@pytest.fixture(scope="module")
def words_solver():
    return solver_from_path(WORD_LIST)


def assert_same_as_solve(solver, phrase, options, cap, seconds):
    full = solver.solve(phrase, timeout_seconds=seconds, **options)
    for n in (None, cap):
        it = solver.iter_solve(phrase, max_solutions=n, timeout_seconds=seconds, **options)
        assert list(it) == full[:n]
        # A request that ends before any search (no letters, no candidates)
        # has not timed out, whatever its limit.
        if seconds in NEVER:
            assert it.timed_out is False
    if seconds in AT_ONCE:
        assert full == []
    return full


@st.composite
def caps(draw):
    return draw(maybe(st.one_of(st.integers(0, 12), st.sampled_from([2**31, 2**32 - 1]))))


@settings(max_examples=400, deadline=None)
@given(request=requests(max_letters=10), cap=caps(), seconds=st.sampled_from(NEVER * 3 + AT_ONCE))
def test_iter_solve_matches_solve(request, cap, seconds):
    words, phrase, options = request
    full = assert_same_as_solve(solver_with(words), phrase, options, cap, seconds)
    if seconds in NEVER:
        assert full == oracle.solve(words, phrase, **options)


@settings(max_examples=100, deadline=None)
@given(request=requests(max_letters=14, parts=(2, 5), letters="abcdef", max_len=6, min_size=10, max_size=40),
       cap=caps(), seconds=st.sampled_from(NEVER))
def test_iter_solve_matches_solve_on_larger_inputs(request, cap, seconds):
    words, phrase, options = request
    assert_same_as_solve(solver_with(words), phrase, options, cap, seconds)


ALPHABET = "abcdefghijklmnopqrstuvwxyz"
# 75 distinct patterns, more than the fast and ordered searches tell apart:
# every run of 1 to 3 letters of the alphabet.
RUNS = [ALPHABET[i:i + n] for n in (1, 2, 3) for i in range(len(ALPHABET) - n + 1)]
# 72 of them that stay inside either half of the alphabet.
HALF_RUNS = [r for r in RUNS if r[-1] <= "m" or r[0] >= "n"]
# Whole and split alphabets; a split between two letters loses their runs.
SPLIT_WORDS = [ALPHABET, ALPHABET[:13], ALPHABET[13:], ALPHABET[:12], ALPHABET[12:], "zyx", ALPHABET[:23],
               "abc", ALPHABET[3:13], "mn", ALPHABET[:12] + ALPHABET[14:], "l", ALPHABET[:11], "m", "n"]


@pytest.mark.parametrize("options", [
    {},
    {"max_words": 2},
    {"min_word_length": 2},
    {"must_start_with": "an"},
    {"must_not_start_with": "z"},
    {"can_only_ever_start_with": "anmz"},
])
def test_more_than_64_distinct_patterns(options):
    patterns = RUNS + ["A-b", "", "42"]
    assert len(set(RUNS)) > len(set(HALF_RUNS)) > 64
    solver = solver_with(SPLIT_WORDS)
    for chosen in (patterns, HALF_RUNS[:30] + ["X-y", "Mno"] + HALF_RUNS[30:], HALF_RUNS):
        full = solver.solve(ALPHABET, contains_patterns=chosen, **options)
        assert full == oracle.solve(SPLIT_WORDS, ALPHABET, contains_patterns=chosen, **options)
        for cap in (None, 0, 1, 2, 100):
            assert list(solver.iter_solve(ALPHABET, contains_patterns=chosen, max_solutions=cap,
                                          **options)) == full[:cap]
    assert solver.solve(ALPHABET, contains_patterns=patterns) == [[ALPHABET]]
    assert solver.solve(ALPHABET, contains_patterns=HALF_RUNS) == [[ALPHABET], [ALPHABET[:13], ALPHABET[13:]]]


@pytest.mark.parametrize("words, phrase, expected", [
    (["ab", "a", "b"], "ab\u00e9", []),
    (["ab", "a", "b"], "\u0416 ab", []),
    (["ab", "a", "b"], "a\u20acb\u2014", [["ab"], ["a", "b"]]),
    (["ab", "a", "b", "\u00e9ab"], "AB\U0001f600", [["ab"], ["a", "b"]]),
    ([], "ab", []),
    (["", "42", "\u00e9\u00e9"], "ab", []),
    (["ab"], "", []),
    (["ab"], "12 !?", []),
])
def test_phrases_and_dictionaries_with_nothing_to_search(words, phrase, expected):
    solver = solver_with(words)
    assert solver.solve(phrase) == expected
    for cap in (None, 0, 1):
        it = solver.iter_solve(phrase, max_solutions=cap)
        assert list(it) == expected[:cap]
        assert it.timed_out is False
    assert list(core.Solver().iter_solve(phrase)) == []


@pytest.mark.skipif(not WORD_LIST.exists(), reason="no word list")
def test_large_plain_result_matches_an_and_iter_solve(words_solver):
    # Over 500,000 solutions and no demand the ordered search prunes badly:
    # solve drains the ordered search instead of sorting what it collects.
    phrase = "clint eastwood"
    ours = words_solver.solve(phrase)
    assert len(ours) == 898_597
    keys = [oracle.result_key(tuple(s)) for s in ours]
    assert keys == sorted(keys) and len(set(keys)) == len(keys)
    assert all(s == sorted(s) for s in ours)
    del keys
    assert list(words_solver.iter_solve(phrase)) == ours
    if sanitizer_loaded():
        return  # the path ran under the sanitizer above; the rest is a minute there
    if os.access(AN, os.X_OK):
        assert {tuple(s) for s in ours} == an_solutions(phrase, None, None)
    # The same path under the word rules it still takes: exactly the
    # solutions whose every word obeys them, in the same order.
    for options, keep in (
            ({"min_word_length": 2}, lambda w: len(w) >= 2),
            ({"must_not_start_with": "q", "can_only_ever_start_with": "abcdelnostw"},
             lambda w: w[0] in "abcdelnostw")):
        full = words_solver.solve(phrase, **options)
        assert full == [s for s in ours if all(map(keep, s))]
        assert list(words_solver.iter_solve(phrase, **options)) == full
        assert list(words_solver.iter_solve(phrase, max_solutions=1000, **options)) == full[:1000]


# --- The iterator as an object ------------------------------------------------------

def test_iterator_outlives_its_solver_and_ignores_later_loading():
    words = ["ab", "a", "b", "abab", "ba"]
    solver = solver_with(words)
    expected = solver.solve("abab")
    dropped = solver_with(words).iter_solve("abab")  # the Solver is gone at once
    partial = solver.iter_solve("abab")
    assert next(partial) == expected[0]
    untouched = solver.iter_solve("abab")
    # Loading takes the dictionary exclusively; the live iterators do not
    # hold it, so this is not refused, and they keep what they started with.
    solver.load_dictionary_from_words(["aabb", "bb", "aa"])
    solver.add_word("bab")
    assert solver.solve("abab") != expected
    assert list(partial) == expected[1:]
    assert list(untouched) == expected
    assert list(dropped) == expected
    for it in (partial, untouched, dropped):
        for _ in range(3):
            with pytest.raises(StopIteration):
                next(it)
        assert it.timed_out is False
        assert list(it) == []
    assert iter(dropped) is dropped
    with pytest.raises(TypeError):
        type(dropped)()


def test_two_threads_share_one_iterator(words_solver):
    phrase = "dormitory rooms"
    expected = words_solver.solve(phrase)
    assert len(expected) > 20_000
    it = words_solver.iter_solve(phrase)
    taken = [[], []]
    start = threading.Barrier(2)

    def pull(mine):
        start.wait()
        for solution in it:
            mine.append(solution)

    run_threads([(pull, (mine,)) for mine in taken])
    # Each thread saw its items in the result order; together, each item once.
    for mine in taken:
        keys = [oracle.result_key(tuple(s)) for s in mine]
        assert keys == sorted(keys)
    merged = sorted(taken[0] + taken[1], key=lambda s: oracle.result_key(tuple(s)))
    assert merged == expected
    assert it.timed_out is False


def test_batches_are_computed_without_the_interpreter_lock(words_solver):
    # With a switch interval this long a thread keeps the lock until it gives
    # it up itself, and nothing below gives it up but the batches. If they
    # kept it, one thread would take all its items before the other began.
    sequence = []
    iterators = [words_solver.iter_solve(HUGE), words_solver.iter_solve(HUGE)]

    def pull(tag):
        for _ in itertools.islice(iterators[tag], 300_000):
            sequence.append(tag)

    run_threads([(pull, (0,)), (pull, (1,))], switch_interval=1000)
    assert collections.Counter(sequence) == {0: 300_000, 1: 300_000}
    changes = sum(1 for a, b in zip(sequence, sequence[1:]) if a != b)
    assert changes >= 4


def test_timed_out(words_solver):
    small = words_solver.iter_solve("listen", timeout_seconds=60)
    assert small.timed_out is False
    assert list(small) == words_solver.solve("listen")
    assert small.timed_out is False

    for seconds in (0, -1, 0.0):
        it = words_solver.iter_solve(HUGE, timeout_seconds=seconds)
        assert list(it) == []
        assert it.timed_out is True

    # Far fewer than all: the limit counts from the call and ends the
    # iteration at the next batch after it.
    it = words_solver.iter_solve(HUGE, timeout_seconds=0.5)
    got = sum(1 for _ in itertools.islice(it, 50_000_000))
    assert 0 < got < 50_000_000
    assert it.timed_out is True
    with pytest.raises(StopIteration):
        next(it)
    assert it.timed_out is True

    # A cap met before the limit is not a timeout.
    capped = words_solver.iter_solve(HUGE, max_solutions=10, timeout_seconds=1e9)
    assert len(list(capped)) == 10
    assert capped.timed_out is False


@pytest.mark.parametrize("call, exception, message", [
    ("s.iter_solve()", TypeError, "Solver.iter_solve() missing 1 required positional argument: 'phrase'"),
    ("s.iter_solve(foo=1)", TypeError, "Solver.iter_solve() got an unexpected keyword argument 'foo'"),
    ("s.iter_solve(*range(10))", TypeError,
     "Solver.iter_solve() takes from 1 to 9 positional arguments but 10 were given"),
    ("s.iter_solve('a', phrase='b')", TypeError, "Solver.iter_solve() got multiple values for argument 'phrase'"),
    ("s.iter_solve(5)", TypeError, "argument 'phrase': 'int' object cannot be converted to 'PyString'"),
    ("s.iter_solve('a', max_words=-1)", OverflowError, None),
    ("s.iter_solve('a', contains_patterns='ab')", TypeError, None),
])
def test_conversion_errors(call, exception, message):
    s = solver_with(["a"])
    with pytest.raises(exception) as info:
        eval(call)
    if message is not None:
        assert str(info.value) == message
    # The same call to solve fails the same way, under its own name.
    with pytest.raises(exception) as solve_info:
        eval(call.replace("iter_solve", "solve"))
    assert str(solve_info.value) == str(info.value).replace("iter_solve", "solve")
    assert s.solve("a") == [["a"]]


def run_child(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          cwd=ROOT, timeout=120, env=command_env())


def test_memory_stays_bounded_over_millions_of_items():
    result = run_child(f"""
        import itertools, resource, core
        s = core.Solver()
        s.load_dictionary_from_path({str(WORD_LIST)!r})
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        it = s.iter_solve({HUGE!r})
        n = 0
        for solution in itertools.islice(it, 2_000_000):
            n += 1
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(n, (after - before) // 1024)
    """)
    assert result.returncode == 0, result.stderr
    count, grown_mb = map(int, result.stdout.split())
    assert count == 2_000_000
    assert grown_mb < 200, grown_mb


def test_ctrl_c_stops_the_iteration():
    # deque(maxlen=0) pulls every item from C, never reaching the bytecode
    # loop's signal check: only the iterator itself can see the signal. The
    # time limit is far off; reaching it means Ctrl-C went unseen.
    out, err, status = interrupt_child(f"""
        import collections, sys, core
        s = core.Solver()
        s.load_dictionary_from_path({str(WORD_LIST)!r})
        it = s.iter_solve({HUGE!r}, timeout_seconds=20)
        print("ready", flush=True)
        try:
            collections.deque(it, maxlen=0)
            print("finished, timed out:", it.timed_out)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """, timeout=60)
    assert (out, err, status) == ("interrupted\n", "", 0)


def test_cancel_ends_a_batch_in_another_thread(words_solver):
    # A server drops a superseded request this way: proving that this phrase
    # has no anagram takes a minute and more, and cancel() from another
    # thread ends that batch.
    it = words_solver.iter_solve("sphinx of black quartz judge my vow xxq")
    got = []
    worker = threading.Thread(target=lambda: got.append(next(it, "end")))
    worker.start()
    while not worker.is_alive():
        pass
    it.cancel()
    worker.join(60)
    assert not worker.is_alive() and got == ["end"]
    assert next(it, "end") == "end" and not it.timed_out
    # Before any item, and on the ranked iterator too: nothing more comes.
    for fresh in (words_solver.iter_solve("clint eastwood"), words_solver.iter_best("clint eastwood")):
        fresh.cancel()
        assert list(fresh) == []
    running = words_solver.iter_solve("clint eastwood")
    first = next(running)
    running.cancel()
    assert first and list(running) == []


@pytest.mark.parametrize("n", [2**16 - 1, 2**16, 2**16 + 1])
def test_one_letter_repeated_past_sixteen_bits(n):
    # A word and the rest, and n words of one letter: a count of words times
    # a word's length passes 2^32 at n = 2^16 + 1, which once dropped the
    # n-word anagram from iter_solve.
    solver = solver_with(["a", "a" * (n - 1)])
    solver.load_scores({"a": -1.0, "a" * (n - 1): -2.0})
    phrase = "a" * n

    def shape(solutions):  # (words, longest word) of each: short on failure
        return [(len(s), max(map(len, s))) for s in solutions]

    want = [(2, n - 1), (n, 1)]
    assert shape(solver.solve(phrase)) == want
    assert shape(solver.iter_solve(phrase)) == want
    assert solver.count(phrase) == 2
    best = list(solver.iter_best(phrase))
    assert [score for score, _ in best] == [-3.0, -float(n)]
    assert shape(s for _, s in best) == want
    assert shape(s for _, s in solver.best(phrase, 1)) == want[:1]
