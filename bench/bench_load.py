#!/usr/bin/env python3
"""Dictionary loading: time and resident memory of load_dictionary_from_path.

Usage: PYTHONPATH=build python3 bench/bench_load.py [WORDLIST]
(default /usr/share/dict/american-english-large, Debian's wamerican-large).
Prints the best of five load times, the resident memory the dictionary adds
in a fresh process, what a Python set of the same lines takes there, and the
tree's node count; then the load time of the bundled data/words.txt and,
when build/bench_load_parts is built, where that time goes.
"""
import os
import subprocess
import sys
import time

import core

PATH = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/dict/american-english-large"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUNDLED = os.path.join(ROOT, "data", "words.txt")
PARTS = os.path.join(ROOT, "build", "bench_load_parts")

# Run in a fresh interpreter so that earlier allocations do not hide growth.
MEMORY_PROBE = """
import sys
import core
def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4
path = sys.argv[1]
solver = core.Solver()
before = rss_kib()
solver.load_dictionary_from_path(path)
print(rss_kib() - before)
with open(path, encoding="utf-8") as f:
    text = f.read()
before = rss_kib()
words = set(text.splitlines())
print(rss_kib() - before)
"""


def best_load_seconds(path, rounds):
    best = float("inf")
    for _ in range(rounds):
        solver = core.Solver()
        start = time.perf_counter()
        solver.load_dictionary_from_path(path)
        best = min(best, time.perf_counter() - start)
        del solver
    return best


def main():
    best = best_load_seconds(PATH, 5)
    probe = subprocess.run([sys.executable, "-c", MEMORY_PROBE, PATH], capture_output=True, text=True,
                           check=True, env=dict(os.environ))
    solver_kib, set_kib = (int(x) for x in probe.stdout.split())
    with open(PATH, encoding="utf-8") as f:
        lines = f.read().splitlines()
    # One node per distinct prefix of the normalised words, the root included.
    prefixes = {""}
    for line in lines:
        word = "".join(ch for ch in line.lower() if "a" <= ch <= "z")
        prefixes.update(word[:i] for i in range(1, len(word) + 1))
    print(f"word list: {PATH} ({len(lines)} lines)")
    print(f"load time, best of 5: {best * 1000:.1f} ms")
    print(f"resident memory added by the dictionary: {solver_kib / 1024:.1f} MiB")
    print(f"resident memory added by a Python set of the lines: {set_kib / 1024:.1f} MiB")
    print(f"tree nodes: {len(prefixes)}, resident bytes per node: {solver_kib * 1024 / len(prefixes):.1f}")
    print(f"load time of {BUNDLED}, best of 20: {best_load_seconds(BUNDLED, 20) * 1000:.2f} ms")
    if os.path.exists(PARTS):
        sys.stdout.flush()
        subprocess.run([PARTS, BUNDLED, "20"], check=True)


if __name__ == "__main__":
    main()
