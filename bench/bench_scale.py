#!/usr/bin/env python3
"""Results at any scale: count, iter_solve and solve beside Debian's `an`.

Each figure is measured in a fresh child process (so peak memory starts from
a clean interpreter) on data/words.txt:

  load         load_dictionary_from_path, best of 20
  count        count() of two long phrases: time, peak RSS growth
  iter first   iter_solve('anagram solver engine'): time to the first item
  iter rate    items/s of Python lists after that, over --items items
  iter all     all of 'clint eastwood' through iter_solve, next to solve()
  an           whole-process `an` on the same phrases, for the ratios
  command      ./anagrams, time to its first line, next to a bare interpreter

Usage: PYTHONPATH=build python3 bench/bench_scale.py [--items N] [--skip-slow]
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WORDS = ROOT / "data" / "words.txt"
AN = "/usr/games/an"
BIG = "anagram solver engine"
HUGE = "the quick brown fox jumps over"
CLINT = "clint eastwood"


def peak_rss():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def child(task, items):
    import core

    solver = core.Solver()
    if task == "load":
        best = float("inf")
        for _ in range(20):
            s = core.Solver()
            start = time.perf_counter()
            s.load_dictionary_from_path(str(WORDS))
            best = min(best, time.perf_counter() - start)
        return {"seconds": best}
    solver.load_dictionary_from_path(str(WORDS))
    before = peak_rss()
    if task.startswith("count:"):
        phrase = task[len("count:"):]
        best, n = float("inf"), None
        for _ in range(3 if phrase == BIG else 1):
            start = time.perf_counter()
            n = solver.count(phrase)
            best = min(best, time.perf_counter() - start)
        return {"seconds": best, "count": n, "peak": peak_rss() - before}
    if task == "iter":
        start = time.perf_counter()
        it = solver.iter_solve(BIG)
        next(it)
        first = time.perf_counter() - start
        start = time.perf_counter()
        got = 0
        for _ in it:
            got += 1
            if got >= items:
                break
        rate = got / (time.perf_counter() - start)
        return {"first": first, "rate": rate, "items": got, "peak": peak_rss() - before}
    if task == "iter-all":
        start = time.perf_counter()
        n = sum(1 for _ in solver.iter_solve(CLINT))
        iter_seconds = time.perf_counter() - start
        start = time.perf_counter()
        result = solver.solve(CLINT)
        solve_seconds = time.perf_counter() - start  # before the list is freed, which is not solve's time
        return {"iter": iter_seconds, "solve": solve_seconds, "count": n, "solve_count": len(result)}
    raise SystemExit(f"unknown task {task}")


def run_child(task, items):
    out = subprocess.run([sys.executable, __file__, "--child", task, "--items", str(items)],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def an_seconds(phrase, lines=None):
    """Whole-process time of `an` (to its end, or to its first `lines` lines)."""
    if not os.access(AN, os.X_OK):
        return None
    start = time.perf_counter()
    proc = subprocess.Popen([AN, "-d", str(WORDS), phrase], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    if lines is None:
        proc.communicate()
    else:
        for _ in range(lines):
            if not proc.stdout.readline():
                break
        proc.kill()
        proc.wait()
    return time.perf_counter() - start


def first_line_seconds(cmd):
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, cwd=ROOT)
    proc.stdout.readline()
    elapsed = time.perf_counter() - start
    proc.kill()
    proc.wait()
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--items", type=int, default=10_000_000, help="items timed after the first (default 10 M)")
    parser.add_argument("--skip-slow", action="store_true", help="skip the 25-letter count")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(args.child, args.items)))
        return
    mib = 1024 * 1024
    load = run_child("load", args.items)
    print(f"load data/words.txt            {load['seconds'] * 1000:8.2f} ms   (target <= 3 ms)")
    big = run_child("count:" + BIG, args.items)
    print(f"count '{BIG}'   {big['seconds'] * 1000:8.2f} ms   {big['count']:,} (target <= 50 ms)")
    if not args.skip_slow:
        huge = run_child("count:" + HUGE, args.items)
        print(f"count '{HUGE}' {huge['seconds']:.2f} s, peak +{huge['peak'] / mib:.0f} MiB, "
              f"{huge['count']:,} (target <= 5 s, <= 256 MB)")
    it = run_child("iter", args.items)
    print(f"iter_solve '{BIG}': first item {it['first'] * 1000:.1f} ms (target <= 20 ms); "
          f"{it['rate'] / 1e6:.2f} M items/s over {it['items']:,} (target >= 3); "
          f"peak +{it['peak'] / mib:.0f} MiB (target <= 200)")
    an_million = an_seconds(BIG, lines=1_000_000)
    if an_million:
        print(f"  an: first 1,000,000 lines of '{BIG}' in {an_million:.2f} s "
              f"({1e6 / an_million / 1e6:.2f} M lines/s)")
    all_ = run_child("iter-all", args.items)
    an_clint = an_seconds(CLINT)
    ratio = f", an {an_clint:.3f} s, an/solve {an_clint / all_['solve']:.1f}" if an_clint else ""
    print(f"all of '{CLINT}': iter_solve {all_['iter']:.3f} s, solve {all_['solve']:.3f} s "
          f"({all_['count']:,} / {all_['solve_count']:,}){ratio}")
    bare = min(first_line_seconds([sys.executable, "-c", "print(1)"]) for _ in range(3))
    cmd = min(first_line_seconds([sys.executable, str(ROOT / "anagrams"), BIG]) for _ in range(3))
    print(f"./anagrams first line of '{BIG}': {cmd * 1000:.0f} ms; bare interpreter {bare * 1000:.0f} ms "
          f"(target: + 50 ms or less, here +{(cmd - bare) * 1000:.0f} ms)")


if __name__ == "__main__":
    main()
