"""Times the `anagrams` command as a user meets it: the first line, and the
whole output through a pipe, next to Debian's `an` on the same word list.

    PYTHONPATH=build python3 bench/bench_cli.py
"""

import os
import subprocess
import sys
import time
from pathlib import Path

import core

ROOT = Path(__file__).resolve().parents[1]
WORDS = str(ROOT / "data" / "words.txt")
AN = "/usr/games/an"
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join([str(Path(core.__file__).parent), str(ROOT / "python")])}
OURS = [sys.executable, "-m", "anagrams_cli", "--dict", WORDS, "--quiet"]
THEIRS = [AN, "-d", WORDS]
CASES = [("clint eastwood", [], []), ("clint eastwood", ["--min-length", "3"], ["-m", "3"])]


def first_line_and_total(cmd):
    """Seconds to the first line and to the end, and the number of lines."""
    started = time.perf_counter()
    proc = subprocess.Popen(cmd, env=ENV, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    proc.stdout.readline()
    first = time.perf_counter() - started
    rest = sum(chunk.count(b"\n") for chunk in iter(lambda: proc.stdout.read(1 << 16), b""))
    proc.wait()
    return first, time.perf_counter() - started, rest + 1


def best(cmd, runs=3):
    results = [first_line_and_total(cmd) for _ in range(runs)]
    return min(r[0] for r in results), min(r[1] for r in results), results[0][2]


def main():
    print(f"{'phrase':<16} {'options':<14} {'lines':>10} {'first':>8} {'all':>8} {'lines/s':>10}"
          f" {'an first':>9} {'an all':>8}")
    for phrase, ours, theirs in CASES:
        first, total, n = best(OURS + ours + [phrase])
        an_first, an_total = (best(THEIRS + theirs + [phrase])[:2]
                              if os.access(AN, os.X_OK) else (float("nan"),) * 2)
        print(f"{phrase:<16} {' '.join(ours):<14} {n:>10,} {first:>7.3f}s {total:>7.3f}s"
              f" {n / total:>10,.0f} {an_first:>8.3f}s {an_total:>7.3f}s")


if __name__ == "__main__":
    main()
