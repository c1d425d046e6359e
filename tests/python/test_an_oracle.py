"""The same solutions as Debian's `an` on the shipped word list.

`an -d WORDS PHRASE` prints each multiset of dictionary words once per line;
`-l N` allows at most N words and `-m N` only words of at least N letters.
"""

import os
import subprocess

import pytest

import oracle
from conftest import WORD_LIST, solver_from_path

AN = "/usr/games/an"

pytestmark = pytest.mark.skipif(not os.access(AN, os.X_OK), reason="an is not installed")


@pytest.fixture(scope="module")
def solver():
    return solver_from_path(WORD_LIST)


def an_solutions(phrase, max_words, min_word_length):
    args = [AN, "-d", str(WORD_LIST)]
    if max_words is not None:
        args += ["-l", str(max_words)]
    if min_word_length is not None:
        args += ["-m", str(min_word_length)]
    out = subprocess.run(args + [phrase], capture_output=True, text=True, check=True, timeout=300).stdout
    return {tuple(sorted(line.split())) for line in out.splitlines()}


@pytest.mark.parametrize("phrase, max_words, min_word_length", [
    ("dormitory", None, None),
    ("listen silent", None, None),
    ("Listen, Silent", 3, None),
    ("clint eastwood", None, 3),
    ("william shakespeare", None, 5),
    ("astronomer", 3, 2),
    ("debit card", 3, None),
])
def test_same_solutions_as_an(solver, phrase, max_words, min_word_length):
    theirs = an_solutions(phrase, max_words, min_word_length)
    assert len(theirs) > 200
    ours = solver.solve(phrase, max_words=max_words, min_word_length=min_word_length)
    as_tuples = [tuple(s) for s in ours]
    assert len(set(as_tuples)) == len(as_tuples)
    assert set(as_tuples) == theirs
    keys = [oracle.result_key(s) for s in as_tuples]
    assert keys == sorted(keys)
