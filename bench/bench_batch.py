#!/usr/bin/env python3
"""Batch counts: `./anagrams - --count` of 500 name-like phrases (three or
four words of data/words.txt, 20-24 letters, drawn with a fixed seed) on 1
worker and on 2 (ANAGRAM_THREADS), the whole process, best of 2, with a
check that both print the same lines in the same order.

Usage: python3 bench/bench_batch.py [--phrases N]
"""

import argparse
import os
import random
import subprocess
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def phrases(n):
    words = [w for w in (ROOT / "data" / "words.txt").read_text().split() if 3 <= len(w) <= 8 and w.isalpha()]
    rng = random.Random(20)
    out = []
    while len(out) < n:
        phrase = " ".join(rng.choice(words) for _ in range(rng.choice((3, 4))))
        if 20 <= sum(c.isalpha() for c in phrase) <= 24:
            out.append(phrase)
    return "\n".join(out) + "\n"


def timed(text, workers):
    env = dict(os.environ, ANAGRAM_THREADS=str(workers))
    best, output = float("inf"), None
    for _ in range(2):
        start = time.perf_counter()
        done = subprocess.run([str(ROOT / "anagrams"), "-", "--count"], input=text, env=env,
                              capture_output=True, text=True, check=True)
        best = min(best, time.perf_counter() - start)
        output = done.stdout
    return best, output


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--phrases", type=int, default=500)
    args = parser.parse_args()
    text = phrases(args.phrases)
    one, out_one = timed(text, 1)
    two, out_two = timed(text, 2)
    assert out_one == out_two, "1 and 2 workers disagree"
    print(f"{args.phrases} phrases, --count: 1 worker {one:.2f} s, 2 workers {two:.2f} s, "
          f"speed-up {one / two:.2f}x (same output: yes)")


if __name__ == "__main__":
    main()
