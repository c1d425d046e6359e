#!/usr/bin/env python3
"""One letter repeated n times over the words a and a^(n-1): two anagrams.

Times each call on that phrase (CPU seconds of this process, best of
--repeat runs), for n around 2^16 and 2^20, so that a cost quadratic in the
phrase's length shows as a column that grows a hundredfold:

  solve, iter_solve (all items), count, iter_best (all items, with scores
  loaded) and best(phrase, 1).

The step-by-step search (ANAGRAM_DEBUG_LOG, or more than 64 patterns) is
not timed: it spells the long word again after each short one, so it is
quadratic in the phrase's length by its design. `an` is not run: its
phrases are far shorter.

Usage: PYTHONPATH=build python3 bench/bench_repeated.py [--repeat N] [--sizes N,N,...]
"""

import argparse
import resource
import time

import core


def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def best_of(repeat, call):
    best_cpu = best_wall = float("inf")
    for _ in range(repeat):
        wall, used = time.perf_counter(), cpu()
        result = call()
        best_cpu = min(best_cpu, cpu() - used)
        best_wall = min(best_wall, time.perf_counter() - wall)
    return result, best_cpu, best_wall


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--sizes", default="65535,65536,65537,1048577")
    args = parser.parse_args()
    calls = {
        "solve": lambda s, p: [len(x) for x in s.solve(p)],
        "iter_solve": lambda s, p: [len(x) for x in s.iter_solve(p)],
        "count": lambda s, p: s.count(p),
        "iter_best": lambda s, p: [len(x) for _, x in s.iter_best(p)],
        "best": lambda s, p: [len(x) for _, x in s.best(p, 1)],
    }
    print(f"{'n':>9} {'call':<11} {'answer':<16} {'cpu s':>8} {'wall s':>8}")
    for n in (int(x) for x in args.sizes.split(",")):
        solver = core.Solver()
        solver.load_dictionary_from_words(["a", "a" * (n - 1)])
        solver.load_scores({"a": -1.0, "a" * (n - 1): -2.0})
        phrase = "a" * n
        for name, call in calls.items():
            answer, used, wall = best_of(args.repeat, lambda: call(solver, phrase))
            print(f"{n:>9} {name:<11} {str(answer):<16} {used:>8.3f} {wall:>8.3f}", flush=True)


if __name__ == "__main__":
    main()
