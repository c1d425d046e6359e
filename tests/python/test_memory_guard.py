"""A solve whose result cannot fit is refused with MemoryError, not run."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import core
import pytest

from conftest import WORD_LIST, sanitizer_loaded

# Under a 3 GiB address-space limit: 'anagram solver engine' has 254,843,643
# anagrams (tens of GB as lists), 'clint eastwood' 1,457,527 (about 200 MB).
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
    assert lines[0].startswith("refused: solve() would return 254,843,643 anagrams, about ")
    assert lines[1].startswith("refused: solve() would return 196,073,569 anagrams, about ")
    assert lines[2].startswith("refused: solve() would return 146,133,996 anagrams, about ")
    for line in lines[:3]:
        assert "iter_solve()" in line and "count()" in line and "max_solutions" in line
    assert lines[3:] == ["capped: 1000", "after: 1457527 254843643"]
