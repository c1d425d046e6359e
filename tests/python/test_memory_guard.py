"""A solve whose result cannot fit is refused with MemoryError, not run; a
bounded one returns what its limit finds."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import core
import pytest

from conftest import WORD_LIST, sanitizer_loaded

# Under a 3 GiB address-space limit: 'anagram solver engine' has 128,373,828
# anagrams (tens of GB as lists), 'clint eastwood' 898,597 (about 120 MB).
PROBE = textwrap.dedent("""
    import resource, sys
    resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
    import core
    s = core.Solver()
    s.load_dictionary_from_path(sys.argv[1])
    for options in ({}, {"must_start_with": "a"}, {"contains_patterns": ["an"]}):
        try:
            s.solve("anagram solver engine", **options)
        except MemoryError as e:
            print("refused:", e)
        else:
            print("not refused")
    print("capped:", len(s.solve("anagram solver engine", max_solutions=1000)))
    print("after:", len(s.solve("clint eastwood")), s.count("anagram solver engine"))
    # Bounded requests are never refused up front: a time limit returns what
    # it found (the ordered stream and the collecting search), a cap below
    # what fits its solutions; a cap past what fits stops collecting there.
    for options in ({}, {"max_words": 4}):
        part = s.solve("anagram solver engine", timeout_seconds=0.3, **options)
        print("timed:", 0 < len(part) < 128373828, part == sorted(part, key=lambda w: (len(w), -min(map(len, w)), w)))
    print("capped below:", len(s.solve("anagram solver engine", max_solutions=2000000)))
    try:
        s.solve("anagram solver engine", max_solutions=200000000)
    except MemoryError as e:
        print("capped above:", e)
    print("after:", len(s.solve("clint eastwood")))
""")


@pytest.mark.skipif(sanitizer_loaded(), reason="AddressSanitizer cannot start under an address-space limit")
def test_oversized_result_is_refused_and_the_solver_stays_usable():
    env = dict(os.environ, PYTHONPATH=str(Path(core.__file__).parent))
    env.pop("ANAGRAM_DEBUG_LOG", None)
    done = subprocess.run([sys.executable, "-c", PROBE, str(WORD_LIST)], env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    # The table counts know the exact number (a start-letter demand and a
    # pattern too).
    assert lines[0].startswith("refused: solve() would return 128,373,828 anagrams, about ")
    assert lines[1].startswith("refused: solve() would return 97,492,632 anagrams, about ")
    assert lines[2].startswith("refused: solve() would return 74,216,828 anagrams, about ")
    for line in lines[:3]:
        assert "iter_solve()" in line and "count()" in line and "max_solutions" in line
    assert lines[3:7] == ["capped: 1000", "after: 898597 128373828", "timed: True True", "timed: True True"]
    assert lines[7] == "capped below: 2000000"
    assert lines[8].startswith("capped above: solve() would return more than ")
    assert "lower max_solutions" in lines[8]
    assert lines[9:] == ["after: 898597"]
