"""A phrase with hundreds of millions of anagrams: count them, take the first
ones in order, stream for a while, and see solve refuse what cannot fit.

    python3 examples/large_results.py ["PHRASE"]     # default: anagram solver engine
"""

import sys
import time
from itertools import islice
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "build"))  # see solve_with_constraints.py

import core

phrase = sys.argv[1] if len(sys.argv) > 1 else "anagram solver engine"
solver = core.Solver()
solver.load_dictionary_from_path(str(ROOT / "data" / "words.txt"))

start = time.perf_counter()
total = solver.count(phrase)
print(f"{total:,} anagrams of {phrase!r}, counted in {time.perf_counter() - start:.3f} s")

print("the first five, in solve()'s order:")
for words in islice(solver.iter_solve(phrase), 5):
    print("   ", " ".join(words))

print("the first five made only of words of five letters or more:")
for words in solver.iter_solve(phrase, min_word_length=5, max_solutions=5):
    print("   ", " ".join(words))

it = solver.iter_solve(phrase, timeout_seconds=1.0)
seen = sum(1 for _ in it)
print(f"in one second iter_solve yielded {seen:,} of them (timed out: {it.timed_out})")

if total > 50_000_000:
    try:
        solver.solve(phrase)
    except MemoryError as e:
        print("solve() refused:", e)
