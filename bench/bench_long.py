#!/usr/bin/env python3
"""Phrases of 20-40 letters: exact count, first item of iter_solve, threads.

Each figure comes from a fresh child process on the command's default word
list (data/words.txt less its one-letter words other than a and i), so the
peak memory starts from a clean interpreter:

  count        count(phrase): seconds, peak RSS growth, on 1 and 2 threads
               (ANAGRAM_THREADS), or the MemoryError that says a phrase is
               beyond exact counting; "x" is the 1-thread time over the
               2-thread one, and "cpu" the 2-thread run's CPU seconds over
               its 1-thread CPU seconds (near 1: the second thread did the
               same work, not more; on a shared machine wall-clock ratios
               move with the load, so read both)
  first        iter_solve(phrase): seconds to the first item (limit 60 s),
               and the CPU seconds of that (the machine may be shared);
               with --first, also its peak RSS growth
  line         ./anagrams PHRASE into a pipe: seconds to its first line, the
               interpreter's start and the word list's loading included
  solve        solve(phrase): seconds to its answer or its MemoryError
               (--solve; off by default, it can take long)
  cores        just before the phrase's counts, the slower of the first two
               cores' speed over the faster's, a loop pinned to each, both
               at once (1.00: even; on a shared virtual machine one can run
               at half speed for a while, and 2 threads then gain at most 1
               plus this)

`an` lists and never counts, so it has no column here; bench_search.py and
bench_scale.py put it beside the listing.

Usage: PYTHONPATH=build python3 bench/bench_long.py [--only SUBSTRING] [--solve] [--first] [--best N] [--in-process N]

--in-process N: the counts in one process instead, in three rounds over
all the phrases: in each, a phrase's count N times on 1 thread, then N
times on 2; the fastest of each (a program that counts phrase after
phrase; the first count of a process also maps its memory afresh, which
costs two threads more than one, and its second core has been idle: a
count right after a spell on one thread runs slower for a tenth of a
second or so). A block of N stops early once it has taken 2 s (the
pangram: once per block). Its MiB column is 0, its "cores" the mean of the
three rounds' probes, and its rows come once all rounds are done.

--first: the first item and first line only, no counts. --best N runs each
count N times, 1 and 2 threads in turn, and keeps the fastest of each (the
machine is shared).
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
LIMIT = 60.0
COUNT_LIMIT = 180.0  # the pangram's count takes a minute or more on one thread

PHRASES = [
    "the quick brown fox jumps over the lazy dog",
    "clint eastwood old west action",
    "anagram solver engine at work",
    "william shakespeare the bard",
    "the internal rotation estimates of",
    "presentation of rare sentiments hi",
    "the quick brown fox jumps over",
    "the internal rotation estimates of the sea",
    "presentation of rare sentiments hi there",
    "a stitch in time saves nine said the tailor",
    "sphinx of black quartz judge my vow",
    "pack my box with five dozen liquor jugs",
    "the five boxing wizards jump quickly",
    "how vexingly quick daft zebras jump",
    "the early bird catches the worm",
    "all that glitters is not gold",
    "waltz bad nymph for quick jigs vex",
]


def load():
    import core

    solver = core.Solver()
    with open(WORDS, encoding="utf-8") as f:
        solver.load_dictionary_from_words([w for w in f.read().split() if len(w) > 1 or w in ("a", "i")])
    return solver


def peak_rss():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def child(task, phrase):
    solver = load()
    before = peak_rss()
    cpu = cpu_seconds()
    start = time.perf_counter()
    if task.startswith("rounds"):
        return rounds(solver, json.loads(phrase), int(task[len("rounds"):]))
    try:
        if task == "count":
            value = solver.count(phrase, timeout_seconds=COUNT_LIMIT)
        elif task == "first":
            value = next(iter(solver.iter_solve(phrase, timeout_seconds=LIMIT)), None)
            value = " ".join(value) if value else None
        else:
            value = len(solver.solve(phrase))
    except (MemoryError, TimeoutError) as e:
        value = type(e).__name__
    return {"seconds": time.perf_counter() - start, "value": value, "peak": peak_rss() - before,
            "cpu": cpu_seconds() - cpu}


ROUNDS = 3        # in-process rounds
BLOCK_SECONDS = 2.0  # a block stops repeating a count once it took this long


def rounds(solver, phrases, times):
    """In this process, ROUNDS rounds over all the phrases, each phrase in
    each round: core_balance(), then count(phrase) up to `times` times on 1
    thread, then as many times on 2 (each block at least once, and no more
    once it has taken BLOCK_SECONDS). For each phrase the fastest of each
    with its CPU seconds, and the mean balance. On the shared machine a
    core's speed swings by up to 2x for seconds at a time; a phrase's rounds
    lie a minute or so apart, so one such spell rarely covers them all."""
    best = {phrase: {"balance": []} for phrase in phrases}
    for _ in range(ROUNDS):
        for phrase in phrases:
            best[phrase]["balance"].append(core_balance())
            for threads in ("1", "2"):
                os.environ["ANAGRAM_THREADS"] = threads
                block = time.perf_counter()
                for _ in range(times):
                    cpu = cpu_seconds()
                    start = time.perf_counter()
                    value = solver.count(phrase, timeout_seconds=COUNT_LIMIT)
                    seconds, used = time.perf_counter() - start, cpu_seconds() - cpu
                    if threads not in best[phrase] or seconds < best[phrase][threads]["seconds"]:
                        best[phrase][threads] = {"seconds": seconds, "cpu": used, "value": value, "peak": 0}
                    if time.perf_counter() - block > BLOCK_SECONDS:
                        break
    for phrase in phrases:
        best[phrase]["balance"] = sum(best[phrase]["balance"]) / ROUNDS
    return best


PROBE = """
import os, sys, time
os.sched_setaffinity(0, {int(sys.argv[1])})
start = time.perf_counter()
x = 0
for i in range(3_000_000):
    x += i
print(time.perf_counter() - start)
"""


def core_balance():
    """The slower core's speed over the faster one's, both busy at once: a
    loop pinned to each of the first two cores this process may use. On a
    shared virtual machine one core can run at half speed for a while, and a
    count on 2 threads then gains at most 1 + that over 1 thread."""
    cores = sorted(os.sched_getaffinity(0))[:2]
    if len(cores) < 2:
        return float("nan")
    procs = [subprocess.Popen([sys.executable, "-c", PROBE, str(c)], stdout=subprocess.PIPE, text=True) for c in cores]
    seconds = [float(p.communicate()[0]) for p in procs]
    return min(seconds) / max(seconds)


def run(task, phrase, threads):
    env = dict(os.environ, ANAGRAM_THREADS=str(threads))
    out = subprocess.run([sys.executable, __file__, "--child", task, phrase], env=env,
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def first_line(phrase):
    """Seconds from starting the command to its first line, through a pipe."""
    start = time.perf_counter()
    proc = subprocess.Popen([str(ROOT / "anagrams"), phrase], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        proc.stdout.readline()
        return time.perf_counter() - start
    finally:
        proc.kill()
        proc.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--child", nargs=2)
    parser.add_argument("--only")
    parser.add_argument("--solve", action="store_true")
    parser.add_argument("--first", action="store_true")
    parser.add_argument("--best", type=int, default=1)
    parser.add_argument("--in-process", type=int, default=0)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(*args.child)))
        return
    if args.first:
        print(f"{'phrase':44} {'letters':>7} {'first':>7} {'cpu':>7} {'MiB':>5} {'line':>7}  first anagram")
        for phrase in PHRASES:
            if args.only and args.only not in phrase:
                continue
            first = run("first", phrase, 2)
            letters = sum(c.isalpha() for c in phrase)
            print(f"{phrase:44} {letters:7} {first['seconds']:6.2f}s {first['cpu']:6.2f}s {first['peak'] / 2**20:5.0f} "
                  f"{first_line(phrase):6.2f}s  {first['value']}", flush=True)
        return
    print(f"{'phrase':44} {'letters':>7} {'count':>24} {'1 thread':>9} {'2 threads':>9} {'x':>5} {'cpu':>5} "
          f"{'MiB':>6} {'first':>7} {'cores':>5}" + (f" {'solve':>8}" if args.solve else ""))
    phrases = [phrase for phrase in PHRASES if not args.only or args.only in phrase]
    if args.in_process:
        counted = run(f"rounds{args.in_process}", json.dumps(phrases), 1)
    for phrase in phrases:
        if args.in_process:
            one, two, balance = counted[phrase]["1"], counted[phrase]["2"], counted[phrase]["balance"]
        else:
            balance = core_balance()
            # Interleaved, so a spell of load on the shared machine falls on both.
            ones, twos = [], []
            for _ in range(args.best):
                ones.append(run("count", phrase, 1))
                twos.append(run("count", phrase, 2))
            one = min(ones, key=lambda r: r["seconds"])
            two = min(twos, key=lambda r: r["seconds"])
        first = run("first", phrase, 2)
        letters = sum(c.isalpha() for c in phrase)
        ratio = one["seconds"] / two["seconds"] if two["seconds"] > 0 else float("nan")
        cpu = two["cpu"] / one["cpu"] if one["cpu"] > 0 else float("nan")
        line = (f"{phrase:44} {letters:7} {str(two['value']):>24} {one['seconds']:8.2f}s {two['seconds']:8.2f}s "
                f"{ratio:5.2f} {cpu:5.2f} {two['peak'] / 2**20:6.0f} {first['seconds']:6.2f}s {balance:5.2f}")
        if args.solve:
            solved = run("solve", phrase, 2)
            line += f" {solved['seconds']:7.2f}s {solved['value']}"
        print(line, flush=True)


if __name__ == "__main__":
    main()
