"""The `anagrams` command: every anagram of a phrase, one a line."""

from __future__ import annotations

import argparse
import importlib
import json
import math
import os
import sys
import time
from pathlib import Path
from typing import Callable, Sequence

PROG = "anagrams"
TRACE_FILE = "anagram_solver_debug.log"
MAX_COUNT = 4294967295  # counts are unsigned 32-bit in the module

_HERE = Path(__file__).resolve().parent
# Installed, the word list ships inside this package; in a checkout it is
# data/words.txt at the repository root.
_DEFAULT_DICTIONARIES = (_HERE / "words.txt", _HERE.parent.parent / "data" / "words.txt")


def default_dictionary() -> Path | None:
    for path in _DEFAULT_DICTIONARIES:
        if path.is_file():
            return path
    return None


def _count(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= value <= MAX_COUNT:
        raise argparse.ArgumentTypeError(f"must be between 0 and {MAX_COUNT}: {text}")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    # The module would take these, but they only ever mean "no answers"
    # (negative) or nothing at all (nan); a typo is the likelier story.
    if math.isnan(value) or value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more seconds: {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Print every multi-word anagram of PHRASE over a word list, one a line. "
        "Only the letters a-z count; case, blanks, digits and punctuation are ignored.",
        epilog="Letter lists (--must-start-with, --only-start-with, --not-start-with) are "
        "plain strings, one letter per character, no separators: --not-start-with xyz. "
        "An empty list is not the same as leaving the option out: --only-start-with '' "
        "lets no word start, so nothing is found.",
    )
    p.add_argument("phrase", nargs="+", metavar="PHRASE",
                   help="the phrase; several arguments are joined with blanks")
    p.add_argument("--dict", metavar="PATH",
                   help="word list, UTF-8, one word a line (default: the bundled list)")
    g = p.add_argument_group("constraints")
    g.add_argument("--must-start-with", metavar="LETTERS",
                   help="each listed letter must begin at least one word, a repeated letter "
                   "that many words (aab: two words on a, one on b)")
    g.add_argument("--only-start-with", metavar="LETTERS",
                   help="every word must begin with one of these letters")
    g.add_argument("--not-start-with", metavar="LETTERS",
                   help="no word may begin with any of these letters")
    g.add_argument("--max-words", type=_count, metavar="N", help="at most N words per anagram")
    g.add_argument("--min-length", type=_count, metavar="N",
                   help="use only words of at least N letters")
    g.add_argument("--contains", action="append", metavar="TEXT",
                   help="TEXT must occur inside one word of each anagram (repeatable: all must)")
    g.add_argument("--timeout", type=_seconds, metavar="SECONDS",
                   help="stop searching after this many seconds and print what was found")
    g.add_argument("--max", type=_count, metavar="N",
                   help="stop after N anagrams (which N is not defined when there are more)")
    out = p.add_mutually_exclusive_group()
    out.add_argument("--count", action="store_true", help="print only the number of anagrams")
    out.add_argument("--json", action="store_true", help="print one JSON array of arrays of words")
    p.add_argument("--trace", action="store_true",
                   help=f"write a step-by-step trace of the search to ./{TRACE_FILE} "
                   "(large: use it with short phrases or a small --dict)")
    return p


def _import_core():
    return importlib.import_module("core")


def _why_nothing(phrase: str) -> str:
    foreign = next((c for c in phrase if c.isalpha() and not c.isascii()), None)
    if foreign is not None:
        return (f"no anagrams: the phrase holds {foreign!r}, which is not a letter a-z; only "
                "a-z take part, and a phrase with any other letter gives no anagrams")
    if not any(c.isascii() and c.isalpha() for c in phrase):
        return "no anagrams: the phrase holds no letters a-z"
    return "no anagrams found"


def _constrained(args: argparse.Namespace) -> bool:
    return any(getattr(args, name) is not None for name in (
        "must_start_with", "only_start_with", "not_start_with", "max_words",
        "min_length", "contains", "timeout", "max"))


def _note(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr)


def main(argv: Sequence[str] | None = None,
         load_core: Callable[[], object] = _import_core) -> int:
    """Run the command with `argv` (default: sys.argv[1:]); returns the exit status.

    `load_core` is called once the arguments are good and returns the module
    (the repository launcher builds it first).
    """
    args = build_parser().parse_intermixed_args(argv)
    phrase = " ".join(args.phrase)

    dictionary = args.dict
    if dictionary is None:
        found = default_dictionary()
        if found is None:
            _note("no word list found; give one with --dict PATH")
            return 1
        dictionary = str(found)

    core = load_core()
    solver = core.Solver()
    try:
        solver.load_dictionary_from_path(dictionary)
    except OSError as e:
        _note(f"{dictionary}: {e}")
        return 1

    tracing = args.trace or "ANAGRAM_DEBUG_LOG" in os.environ
    if args.trace:
        os.environ["ANAGRAM_DEBUG_LOG"] = "1"
    started = time.monotonic()
    result = solver.solve(
        phrase,
        must_start_with=args.must_start_with,
        can_only_ever_start_with=args.only_start_with,
        must_not_start_with=args.not_start_with,
        max_words=args.max_words,
        min_word_length=args.min_length,
        timeout_seconds=args.timeout,
        max_solutions=args.max,
        contains_patterns=args.contains,
    )
    elapsed = time.monotonic() - started

    try:
        if args.count:
            sys.stdout.write(f"{len(result)}\n")
        elif args.json:
            sys.stdout.write(json.dumps(result) + "\n")
        elif result:
            sys.stdout.write("\n".join(" ".join(words) for words in result) + "\n")
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader (head, less) went away: not an error of ours.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0

    if not result:
        why = _why_nothing(phrase)
        if why == "no anagrams found" and _constrained(args):
            why += " with these options"
        _note(why)
    if args.max is not None and len(result) >= args.max:
        _note(f"stopped at --max {args.max}: there may be more anagrams")
    # The search only gives up after the limit has passed, so a call that
    # returned sooner was complete.
    if args.timeout is not None and elapsed >= args.timeout:
        _note(f"search took {elapsed:.2f} s and may have been cut short by --timeout {args.timeout:g}")
    if tracing:
        _note(f"trace written to {Path.cwd() / TRACE_FILE}")
    return 0
