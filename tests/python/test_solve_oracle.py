"""Solver.solve against a brute-force enumerator, and traced against untraced.

Tracing on runs the step-by-step search; tracing off runs the fast one. Both
must give exactly the oracle's ordered list.
"""

import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import oracle
from conftest import FOOTER, TRACE_ENV, read_trace, solver_with

LETTERS = "abcd"
# Dropped from dictionary words; skipped in phrases (none of them is alphabetic).
NOISE = " -'!1\t\u00a0\u20ac\u2014\U0001f600\u00b2\u0301"
# Alphabetic but not ASCII: dropped from words, fatal in a phrase.
FOREIGN = "\u00e9\u00df\u212a\u0130\u0416\u2167\u0345\u05b0\u0903\u0bbe"


def one_in(draw, n):
    return draw(st.sampled_from(range(n))) == n - 1


def maybe(strategy):
    return st.one_of(st.none(), st.none(), st.none(), strategy)


@st.composite
def decorated(draw, letters, noise=NOISE):
    """`letters` with some capitals and noise characters mixed in."""
    out = []
    for ch in letters:
        if one_in(draw, 6):
            out.append(draw(st.sampled_from(noise)))
        out.append(ch.upper() if draw(st.booleans()) else ch)
    if one_in(draw, 4):
        out.append(draw(st.sampled_from(noise)))
    return "".join(out)


def dictionaries(letters=LETTERS, max_len=4, min_size=1, max_size=10):
    plain = st.text(alphabet=letters, min_size=1, max_size=max_len)
    short = st.text(alphabet=letters, min_size=1, max_size=2)
    return st.lists(
        st.one_of(plain, short, plain.flatmap(lambda w: decorated(w, NOISE + FOREIGN)),
                  st.sampled_from(["", "42", "?!"])),
        min_size=min_size, max_size=max_size)


@st.composite
def phrases(draw, words, max_letters, parts=(1, 4)):
    """Mostly the letters of a few dictionary words, shuffled, so solutions exist."""
    usable = [w for w in map(oracle.normalize_word, words) if w]
    letters = ""
    if usable and not one_in(draw, 6):
        for _ in range(draw(st.integers(*parts))):
            letters += draw(st.sampled_from(usable))
    if one_in(draw, 4):
        letters += draw(st.text(alphabet=LETTERS, max_size=2))
    letters = "".join(draw(st.permutations(letters[:max_letters])))
    phrase = draw(decorated(letters))
    if one_in(draw, 16):
        pos = draw(st.integers(0, len(phrase)))
        phrase = phrase[:pos] + draw(st.sampled_from(FOREIGN)) + phrase[pos:]
    return phrase


option_sets = st.fixed_dictionaries({
    "must_start_with": maybe(st.text(st.sampled_from("aabbcdA '\u00e9"), max_size=2)),
    "can_only_ever_start_with": maybe(st.text(st.sampled_from("abcdabcdB ,\u00c9"), max_size=4)),
    "must_not_start_with": maybe(st.text(alphabet="abcdC'\\\t\x00\u0301", max_size=2)),
    "max_words": maybe(st.integers(0, 5)),
    "min_word_length": maybe(st.integers(0, 4)),
    "contains_patterns": maybe(st.lists(st.text(st.sampled_from("abcdabcdA-1"), max_size=3), max_size=3)),
})


@st.composite
def requests(draw, max_letters, parts=(1, 4), **dictionary):
    words = draw(dictionaries(**dictionary))
    return words, draw(phrases(words, max_letters, parts)), draw(option_sets)


def has_search(words, phrase):
    """Whether the request gets past its early exits, so a trace gets a footer."""
    counts = oracle.phrase_counts(phrase)
    return bool(counts) and any(map(oracle.normalize_word, words))


def assert_result_order(result):
    keys = [oracle.result_key(tuple(s)) for s in result]
    assert keys == sorted(keys) and len(set(keys)) == len(keys)
    assert all(s == sorted(s) for s in result)


def solve_traced(monkeypatch, solver, phrase, **options):
    monkeypatch.setenv(TRACE_ENV, "1")
    try:
        result = solver.solve(phrase, **options)
    finally:
        monkeypatch.delenv(TRACE_ENV)
    return result, read_trace()


@pytest.fixture(autouse=True, scope="module")
def untraced_by_default():
    with pytest.MonkeyPatch.context() as patch:
        patch.delenv(TRACE_ENV, raising=False)
        yield


@settings(max_examples=400, deadline=None)
@given(requests(max_letters=10))
def test_untraced_matches_oracle(request):
    words, phrase, options = request
    assert solver_with(words).solve(phrase, **options) == oracle.solve(words, phrase, **options)


# Larger dictionaries and phrases, for the fast search alone.
@settings(max_examples=100, deadline=None)
@given(requests(max_letters=14, parts=(2, 5), letters="abcdef", max_len=6, min_size=10, max_size=40))
def test_untraced_matches_oracle_on_larger_inputs(request):
    words, phrase, options = request
    assert solver_with(words).solve(phrase, **options) == oracle.solve(words, phrase, **options)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(request=requests(max_letters=7))
def test_traced_matches_untraced_and_oracle(traced_cwd, request):
    words, phrase, options = request
    solver = solver_with(words)
    untraced = solver.solve(phrase, **options)
    traced, trace = solve_traced(traced_cwd, solver, phrase, **options)
    assert traced == untraced == oracle.solve(words, phrase, **options)
    assert trace.startswith(f"--- Solving for phrase: '{phrase}' ---\nConstraints: SolverConstraints {{ ")
    assert trace.endswith(FOOTER) == has_search(words, phrase)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(request=requests(max_letters=7), data=st.data())
def test_cut_searches_give_a_sorted_part_of_the_full_result(traced_cwd, request, data):
    words, phrase, options = request
    full = oracle.solve(words, phrase, **options)
    cap = data.draw(maybe(st.integers(0, len(full) + 1)), label="max_solutions")
    # A time limit short enough to cut some searches; which ones varies.
    seconds = data.draw(maybe(st.sampled_from([1e-6, 1e-4])), label="timeout_seconds")
    solver = solver_with(words)
    for traced in (False, True):
        solve = (lambda *a, **k: solve_traced(traced_cwd, solver, *a, **k)[0]) if traced else solver.solve
        got = solve(phrase, max_solutions=cap, timeout_seconds=seconds, **options)
        expected = len(full) if cap is None else min(cap, len(full))
        if seconds is None:
            assert len(got) == expected, (traced, got)
        else:
            assert len(got) <= expected
        assert all(s in full for s in got)
        assert_result_order(got)


TIMEOUT_WORDS = ["a", "b", "ab", "ba", "abc", "c", "cab", "bb"]


@pytest.mark.parametrize("traced", [False, True])
@pytest.mark.parametrize("seconds, cuts", [
    (0, True), (0.0, True), (-0.0, True), (-1, True), (-1e-12, True), (-math.inf, True), (False, True),
    (math.nan, False), (math.inf, False), (1e9, False), (True, False),
])
def test_time_limit_zero_or_negative_finds_nothing_and_nan_or_inf_never_expires(
        traced_cwd, traced, seconds, cuts):
    solver = solver_with(TIMEOUT_WORDS)
    phrase = "abcabb"
    full = oracle.solve(TIMEOUT_WORDS, phrase)
    assert len(full) > 10
    if traced:
        got, _ = solve_traced(traced_cwd, solver, phrase, timeout_seconds=seconds)
    else:
        got = solver.solve(phrase, timeout_seconds=seconds)
    assert got == ([] if cuts else full)


@pytest.mark.parametrize("words, phrase, options, expected", [
    # One word before two; longer shortest word first; then word by word,
    # a proper prefix first.
    (["ab", "cd", "abcd", "a", "bcd", "acd", "b"], "abcd", {},
     [["abcd"], ["ab", "cd"], ["a", "bcd"], ["acd", "b"], ["a", "b", "cd"]]),
    # Orders of the same words are one solution; a word may repeat.
    (["a", "b"], "ab", {}, [["a", "b"]]),
    (["a"], "aa", {}, [["a", "a"]]),
    (["Listen", "silent", "enlist", "tinsel"], "Silent!", {},
     [["enlist"], ["listen"], ["silent"], ["tinsel"]]),
    (["dirty", "room", "dormitory"], " D-o-r-m-i-t-o-r-y 42 ", {}, [["dormitory"], ["dirty", "room"]]),
    (["ab"], "ab\u20ac\u00a0\u2014", {}, [["ab"]]),
    # A non-ASCII letter anywhere in the phrase ends the request.
    (["ab"], "ab\u00e9", {}, []),
    (["ab"], "\u212aab", {}, []),
    (["ab"], "ab\u2167", {}, []),
    (["ab"], "", {}, []),
    (["ab"], "12 !?", {}, []),
    (["", "123", "\u00e9\u00e9"], "ab", {}, []),
    (["an", "ant"], "tan", {}, [["ant"]]),
    (["an", "ant", "t"], "tan", {"min_word_length": 3}, [["ant"]]),
    (["an", "ant", "t"], "tan", {"min_word_length": 4}, []),
    (["an", "ant", "t"], "tan", {"min_word_length": 0}, [["ant"], ["an", "t"]]),
    (["cat", "act", "a", "c", "t", "ta"], "cat", {"can_only_ever_start_with": "C"}, [["cat"]]),
    (["cat", "act", "a", "c", "t", "ta"], "cat", {"can_only_ever_start_with": ""}, []),
    (["cat", "act", "a", "c", "t", "ta"], "cat", {"must_not_start_with": "a"},
     [["cat"], ["c", "ta"]]),
    (["cat", "act", "a", "c", "t", "ta"], "cat", {"must_not_start_with": ""},
     [["act"], ["cat"], ["c", "ta"], ["a", "c", "t"]]),
    # must_start_with: each listed character begins at least that many words.
    (["ant", "apple", "cat", "pleat", "can"], "ant apple cat", {"must_start_with": "aA"},
     [["ant", "apple", "cat"]]),
    (["ant", "apple", "cat", "pleat", "can"], "apple cat", {"must_start_with": "a"}, [["apple", "cat"]]),
    (["ant", "apple", "cat", "pleat", "can"], "apple cat", {"must_start_with": "aa"}, []),
    (["ant", "apple", "cat", "pleat", "can"], "apple cat", {"must_start_with": ""},
     [["apple", "cat"]]),
    (["ab", "a", "b"], "ab", {"must_start_with": "a "}, []),
    (["ab", "a", "b"], "ab", {"must_start_with": "\u00e9"}, []),
    (["ab", "a", "b"], "ab", {"max_words": 0}, []),
    (["ab", "a", "b"], "ab", {"max_words": 1}, [["ab"]]),
    # Patterns lie inside one word; entries without letters are dropped.
    (["cat", "act"], "act", {"contains_patterns": ["ca"]}, [["cat"]]),
    (["t", "at"], "tat", {"contains_patterns": ["tt"]}, []),
    (["cat", "act", "a", "t", "c"], "cat", {"contains_patterns": ["ca", "AT"]}, [["cat"]]),
    (["cat", "act", "a", "t", "c"], "cat", {"contains_patterns": ["c-T"]}, [["act"]]),
    (["ab", "a", "b"], "ab", {"contains_patterns": ["", "12"]}, [["ab"], ["a", "b"]]),
    (["ab", "a", "b"], "ab", {"contains_patterns": []}, [["ab"], ["a", "b"]]),
    (["ab", "a", "b", "abab"], "abab", {"contains_patterns": ["ab", "ab"], "max_words": 2},
     [["abab"], ["ab", "ab"]]),
])
def test_examples(traced_cwd, words, phrase, options, expected):
    assert oracle.solve(words, phrase, **options) == expected
    solver = solver_with(words)
    assert solver.solve(phrase, **options) == expected
    traced, _ = solve_traced(traced_cwd, solver, phrase, **options)
    assert traced == expected
