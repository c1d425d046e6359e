#!/usr/bin/env python3
"""Search speed against Debian's `an` on the shipped word list.

For each case: the number of solutions; our time (a new Solver, the word list
loaded from data/words.txt, the solve and the building of the result list, all
in one process, best of 3); the whole-process time of `an -d data/words.txt`
with the same options (output to a file, best of 3); and the ratio an/ours.
Then the memory of the "clint eastwood" solve: peak RSS growth during the call
against what the returned list holds.

Each of our cases runs in a child process of its own, so a case can be given
up after --timeout seconds and the memory figures start from a clean process.

Usage: PYTHONPATH=build python3 bench/bench_search.py [--quick] [--timeout S]
"""

import argparse
import gc
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WORDS = ROOT / "data" / "words.txt"
AN = "/usr/games/an"
REPEATS = 3

# (label, phrase, max_words, min_word_length, slow)
CASES = [
    ("dormitory", "dormitory", None, None, False),
    ("listen silent", "listen silent", None, None, False),
    ("clint eastwood (all)", "clint eastwood", None, None, True),
    ("clint eastwood -m 3", "clint eastwood", None, 3, False),
    ("william shakespeare -l 3", "william shakespeare", 3, None, False),
    ("william shakespeare -m 4", "william shakespeare", None, 4, True),
    ("anagram solver engine -l 3", "anagram solver engine", 3, None, True),
    ("anagram solver engine -m 5", "anagram solver engine", None, 5, False),
]
MEMORY_CASE = "clint eastwood (all)"


def current_rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux


def list_bytes(result):
    """Bytes held by the result: the outer list, each inner list, each str once."""
    seen = set()
    total = sys.getsizeof(result)
    for solution in result:
        total += sys.getsizeof(solution)
        for word in solution:
            if id(word) not in seen:
                seen.add(id(word))
                total += sys.getsizeof(word)
    return total


def child(case_index, measure_memory):
    """Runs one case in this process; prints one JSON line per finished step."""
    import core

    _, phrase, max_words, min_len, _ = CASES[case_index]
    options = {"max_words": max_words, "min_word_length": min_len}
    if measure_memory:
        solver = core.Solver()
        solver.load_dictionary_from_path(str(WORDS))
        gc.collect()
        rss_before, peak_before = current_rss(), peak_rss()
        result = solver.solve(phrase, **options)
        peak_after, rss_after = peak_rss(), current_rss()
        print(json.dumps({"memory": {
            "rss_before": rss_before, "peak_growth": peak_after - max(peak_before, rss_before),
            "rss_growth": rss_after - rss_before, "list_bytes": list_bytes(result),
            "solutions": len(result)}}), flush=True)
        del result, solver
        gc.collect()
    for _ in range(REPEATS):
        start = time.perf_counter()
        solver = core.Solver()
        solver.load_dictionary_from_path(str(WORDS))
        result = solver.solve(phrase, **options)
        elapsed = time.perf_counter() - start
        print(json.dumps({"time": elapsed, "solutions": len(result)}), flush=True)
        del result, solver
        gc.collect()


def run_ours(case_index, timeout, measure_memory):
    """Times and (when asked) memory of our case; times are [] when none finished."""
    cmd = [sys.executable, __file__, "--child", str(case_index)]
    if measure_memory:
        cmd.append("--memory")
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True, env=os.environ.copy())
    timed_out = False
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, _ = proc.communicate()
        timed_out = True
    records = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
    times = [r["time"] for r in records if "time" in r]
    counts = {r["solutions"] for r in records if "solutions" in r}
    memory = next((r["memory"] for r in records if "memory" in r), None)
    if not timed_out and proc.returncode != 0:
        raise SystemExit(f"child for case {case_index} failed with exit code {proc.returncode}")
    return times, counts, memory, timed_out


def run_an(phrase, max_words, min_len, timeout):
    """Best whole-process time of `an` and its number of output lines, or None on time-out."""
    args = [AN, "-d", str(WORDS)]
    if max_words is not None:
        args += ["-l", str(max_words)]
    if min_len is not None:
        args += ["-m", str(min_len)]
    args.append(phrase)
    best, lines = None, None
    with tempfile.TemporaryFile() as out:
        for _ in range(REPEATS):
            out.seek(0)
            out.truncate()
            start = time.perf_counter()
            try:
                subprocess.run(args, stdout=out, stderr=subprocess.DEVNULL, check=True, timeout=timeout)
            except subprocess.TimeoutExpired:
                return None, None
            elapsed = time.perf_counter() - start
            best = elapsed if best is None else min(best, elapsed)
        out.seek(0)
        lines = sum(1 for _ in out)
    return best, lines


def fmt_time(seconds, timed_out, timeout):
    if seconds is None:
        return f">{timeout:.0f} s" if timed_out else "-"
    return f"{seconds:.3f} s"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="skip the slow cases")
    parser.add_argument("--timeout", type=float, default=300.0,
                        help="seconds allowed for each case, per program (default 300)")
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--memory", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child is not None:
        child(args.child, args.memory)
        return

    have_an = os.access(AN, os.X_OK)
    print(f"word list: {WORDS} ({sum(1 for _ in open(WORDS))} lines); best of {REPEATS}; "
          f"timeout {args.timeout:.0f} s per case and program")
    header = f"{'case':28} {'solutions':>10} {'ours':>10} {'an':>10} {'an/ours':>8}"
    print(header)
    print("-" * len(header))
    memory = None
    for index, (label, phrase, max_words, min_len, slow) in enumerate(CASES):
        if args.quick and slow:
            continue
        times, counts, mem, ours_timed_out = run_ours(index, args.timeout, label == MEMORY_CASE)
        memory = mem or memory
        ours = min(times) if times else None
        an_time, an_lines = run_an(phrase, max_words, min_len, args.timeout) if have_an else (None, None)
        count = "/".join(str(c) for c in sorted(counts)) or "?"
        if an_lines is not None and counts and an_lines not in counts:
            count += f" (an: {an_lines})"
        ratio = f"{an_time / ours:.2f}" if ours and an_time else "-"
        note = f"  (ours: {len(times)} of {REPEATS} runs finished)" if ours_timed_out and times else ""
        print(f"{label:28} {count:>10} {fmt_time(ours, ours_timed_out, args.timeout):>10} "
              f"{fmt_time(an_time, have_an, args.timeout):>10} {ratio:>8}{note}", flush=True)

    if memory:
        mib = 1024 * 1024
        print(f"\nmemory of the {MEMORY_CASE} solve ({memory['solutions']} solutions):")
        print(f"  RSS before the call         {memory['rss_before'] / mib:9.1f} MiB")
        print(f"  peak RSS growth in the call {memory['peak_growth'] / mib:9.1f} MiB")
        print(f"  RSS growth, list alive      {memory['rss_growth'] / mib:9.1f} MiB")
        print(f"  returned list (getsizeof)   {memory['list_bytes'] / mib:9.1f} MiB")
        if memory["list_bytes"]:
            print(f"  peak growth / list          {memory['peak_growth'] / memory['list_bytes']:9.2f}")


if __name__ == "__main__":
    main()
