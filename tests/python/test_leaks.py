"""No memory or references are lost: 100,000 calls of each method, succeeding
and failing in turn, leave the resident set where it was after the first
1,000, and calls leave their arguments' reference counts unchanged.

Run directly (python3 tests/python/test_leaks.py) to see only the figures.
"""

import gc
import os
import sys

import pytest

import core
from conftest import sanitizer_loaded, solver_with

CALLS = 100_000
WARMUP = 1_000
SLACK = 2 * 1024 * 1024
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    gc.collect()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class Boom(Exception):
    pass


class BadIndex:
    def __index__(self):
        raise Boom("index")


class BadIter:
    def __len__(self):
        raise Boom("len")

    def __getitem__(self, i):
        return "x"

    def __iter__(self):
        yield "its"
        raise Boom("midway")


SMALL_WORDS = ["its", "sit", "tis", "i", "t", "s", "is", "it"]


def variants(tmp_path):
    """For each method, calls that succeed and calls that fail, each cheap.
    The successful dictionary calls add only words already present."""
    good = tmp_path / "d.txt"
    good.write_text("its\nsit\n")
    latin1 = tmp_path / "latin1.txt"
    latin1.write_bytes(b"its\ncaf\xe9\n")
    s = solver_with(SMALL_WORDS)
    return {
        "Solver": [
            lambda: core.Solver(),
            lambda: core.Solver(1),
            lambda: core.Solver(size=1),
        ],
        "solve": [
            lambda: s.solve("its"),
            lambda: s.solve("Its!", "i", "ist", "x", 2, 1, 5.0, 3, ["t"]),
            lambda: s.solve(None),
            lambda: s.solve("its", max_words=-1),
            lambda: s.solve("its", max_solutions=2**40),
            lambda: s.solve("its", min_word_length=BadIndex()),
            lambda: s.solve("its", contains_patterns=["t", 5]),
            lambda: s.solve("its", contains_patterns=BadIter()),
            lambda: s.solve("its", timeout_seconds="1"),
            lambda: s.solve("its", limit=1),
            lambda: s.solve("\ud800"),
            lambda: s.solve("caf\xe9"),
        ],
        "count": [
            lambda: s.count("its"),
            lambda: s.count("Its!", "i", "ist", "x", 2, 1, 5.0, 3, ["t"]),
            lambda: s.count("its", must_start_with="s"),
            lambda: s.count("its", timeout_seconds=0),
            lambda: s.count("its", min_word_length=BadIndex()),
            lambda: s.count(None),
        ],
        "iter_solve": [
            lambda: list(s.iter_solve("its")),
            lambda: next(s.iter_solve("its", max_solutions=1)),
            lambda: s.iter_solve("its", contains_patterns=["t"]),
            lambda: list(s.iter_solve("its", timeout_seconds=0)),
            lambda: s.iter_solve("its", contains_patterns=BadIter()),
            lambda: s.iter_solve(5),
        ],
        "add_word": [
            lambda: s.add_word("its"),
            lambda: s.add_word(word="Sit"),
            lambda: s.add_word(5),
            lambda: s.add_word("\udcff"),
            lambda: s.add_word(),
            lambda: s.add_word("a", "b"),
        ],
        "load_dictionary_from_words": [
            lambda: s.load_dictionary_from_words(["its", "sit"]),
            lambda: s.load_dictionary_from_words(("its",)),
            lambda: s.load_dictionary_from_words(["its", 5]),
            lambda: s.load_dictionary_from_words("its"),
            lambda: s.load_dictionary_from_words({"its"}),
            lambda: s.load_dictionary_from_words(BadIter()),
        ],
        "load_dictionary_from_path": [
            lambda: s.load_dictionary_from_path(str(good)),
            lambda: s.load_dictionary_from_path(str(tmp_path / "missing")),
            lambda: s.load_dictionary_from_path(str(latin1)),
            lambda: s.load_dictionary_from_path(str(tmp_path)),
            lambda: s.load_dictionary_from_path("d\x00.txt"),
            lambda: s.load_dictionary_from_path(tmp_path),
        ],
    }


def run(calls, count):
    failures = 0
    for i in range(count):
        try:
            calls[i % len(calls)]()
        except Exception:
            failures += 1
    return failures


def measure(name, calls):
    run(calls, WARMUP)
    before = rss()
    failures = run(calls, CALLS - WARMUP)
    after = rss()
    return before, after, failures


# AddressSanitizer holds freed memory back in quarantine, so the resident set
# grows under it whatever the module does.
@pytest.mark.skipif(sanitizer_loaded(), reason="resident set is meaningless under AddressSanitizer")
@pytest.mark.parametrize("method", ["Solver", "solve", "count", "iter_solve", "add_word",
                                    "load_dictionary_from_words", "load_dictionary_from_path"])
def test_many_calls_keep_memory_flat(tmp_path, method, capsys):
    calls = variants(tmp_path)[method]
    before, after, failures = measure(method, calls)
    with capsys.disabled():
        print(f"\n{method}: {CALLS} calls ({failures} failed), RSS {before / 2**20:.2f} MiB after {WARMUP}, "
              f"{after / 2**20:.2f} MiB after {CALLS} ({(after - before) / 1024:+.0f} KiB)")
    assert 0 < failures < CALLS
    assert after - before <= SLACK


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_arguments_keep_their_reference_counts(tmp_path):
    s = solver_with(SMALL_WORDS)
    phrase = "".join(["i", "t", "s"])
    letters = "".join(["i", "s"])
    count = int("3000")
    huge = int("1" * 30)
    seconds = float("5.5")
    index = Index(2)
    patterns = ["t"]
    items = ("".join(["s", "i", "t"]), "its")
    path = str(tmp_path / "missing")
    args = [phrase, letters, count, huge, seconds, index, patterns, items, path]
    before = [sys.getrefcount(a) for a in args]
    for _ in range(1000):
        result = s.solve(phrase, letters, letters, None, count, index, seconds, count, patterns)
        assert sys.getrefcount(result) == 2 and all(sys.getrefcount(r) == 2 for r in result)
        for bad in [lambda: s.solve(phrase, max_words=huge), lambda: s.solve(phrase, contains_patterns=letters),
                    lambda: s.solve(phrase, contains_patterns=[phrase, count]), lambda: s.add_word(count),
                    lambda: s.load_dictionary_from_words([*items, huge]), lambda: s.load_dictionary_from_path(path)]:
            with pytest.raises(Exception):
                bad()
        s.load_dictionary_from_words(items)
        s.add_word(phrase)
    del result, bad
    gc.collect()
    assert [sys.getrefcount(a) for a in args] == before


if __name__ == "__main__":
    import tempfile
    from pathlib import Path

    with tempfile.TemporaryDirectory() as d:
        for method, calls in variants(Path(d)).items():
            before, after, failures = measure(method, calls)
            print(f"{method}: {CALLS} calls ({failures} failed), RSS {before / 2**20:.2f} MiB after {WARMUP}, "
                  f"{after / 2**20:.2f} MiB after {CALLS} ({(after - before) / 1024:+.0f} KiB)")
