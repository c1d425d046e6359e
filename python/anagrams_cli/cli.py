"""The `anagrams` command: every anagram of a phrase, one a line."""

from __future__ import annotations

import argparse
import importlib
import json
import math
import os
import re
import sys
import time
from collections import Counter
from itertools import islice
from typing import Any, Callable, Iterable, Iterator, Sequence

from . import ranked, results, web
from ._version import __version__
from .folding import fold
from .letters import fits, foreign_letters, letters_of, spelled, start_set, take_out
from .wordlist import Loaded, WordListError, WordSource, load

PROG = "anagrams"
TRACE_FILE = "anagram_solver_debug.log"
MAX_COUNT = 4294967295  # counts are unsigned 32-bit in the module
# A count beside the listing sizes the progress bar; one slower than this
# is given up, and the listing runs without a bar. (Tests on a busy machine
# lengthen it through the environment.)
BAR_COUNT_SECONDS = float(os.environ.get("ANAGRAMS_PROGRESS_COUNT_SECONDS", "1.0"))

# os.path rather than pathlib: the command starts on every call, and
# pathlib's import alone is a fifth of its start-up.
_HERE = os.path.dirname(os.path.realpath(__file__))
# Installed, the word list ships inside this package; in a checkout it is
# data/words.txt at the repository root.
_DEFAULT_DICTIONARIES = (os.path.join(_HERE, "words.txt"),
                         os.path.join(os.path.dirname(os.path.dirname(_HERE)), "data", "words.txt"))


def default_dictionary() -> str | None:
    for path in _DEFAULT_DICTIONARIES:
        if os.path.isfile(path):
            return path
    return None


def bundled_word_list() -> str:
    """The path of the word list that comes with the package (the command's
    default), for `Solver.load_dictionary_from_path`. The command leaves out
    its one-letter words other than a and i; this is the whole file."""
    found = default_dictionary()
    if found is None:
        raise FileNotFoundError("the bundled word list is missing from this installation: "
                                + " or ".join(_DEFAULT_DICTIONARIES))
    return found


# The two engine calls of the command.
def _count_anagrams(solver: Any, phrase: str, options: dict[str, Any]) -> int:
    return int(solver.count(phrase, **options))


def _iter_anagrams(solver: Any, phrase: str, options: dict[str, Any]) -> Iterator[list[str]]:
    return solver.iter_solve(phrase, **options)


def _number(text: str) -> int:
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


class Enumeration:
    """Word lengths in crossword notation: (5,4) is a five-letter word then a
    four-letter one, 3-5 two words joined by a hyphen."""

    def __init__(self, text: str) -> None:
        self.text = text
        body = text.strip()
        if body.startswith("(") and body.endswith(")"):
            body = body[1:-1]
        parts = re.split(r"\s*([-,\s])\s*", body.strip())
        if not body.strip() or not all(p.isdigit() and int(p) > 0 for p in parts[::2]):
            raise argparse.ArgumentTypeError(
                f"not an enumeration: {text!r} (word lengths such as 5,4 or 3-5)")
        self.lengths = [int(p) for p in parts[::2]]
        self.joins = ["-" if j == "-" else " " for j in parts[1::2]]
        self._sorted = sorted(self.lengths)

    def letters(self) -> int:
        return sum(self.lengths)

    def arrange(self, words: list[str]) -> list[str] | None:
        """`words` in the enumeration's order (words of one length keep
        their order), or None when their lengths are not the enumeration's."""
        if len(words) != len(self.lengths) or sorted(map(len, words)) != self._sorted:
            return None
        by_length: dict[int, list[str]] = {}
        for w in reversed(words):
            by_length.setdefault(len(w), []).append(w)
        return [by_length[n].pop() for n in self.lengths]

    def join(self, words: list[str]) -> list[str]:
        """Hyphenated parts made one word: ["ice", "cream"] for 3-5 is ["ice-cream"]."""
        if "-" not in self.joins:
            return words
        out = [words[0]]
        for join, word in zip(self.joins, words[1:]):
            if join == "-":
                out[-1] += "-" + word
            else:
                out.append(word)
        return out


def _enumeration(text: str) -> Enumeration:
    return Enumeration(text)


def _dict_help(for_manual: bool) -> str:
    bundled = None if for_manual else default_dictionary()
    where = bundled or "words.txt, installed with the command"
    keep = f"--dict {bundled}" if bundled else "--dict with its path"
    return (f"word list, UTF-8, one word a line; '-' reads it from standard input. Default: "
            f"{where}, less its one-letter words other than a and i; {keep} keeps them all")


def build_parser(for_manual: bool = False) -> argparse.ArgumentParser:
    """The command's options; `for_manual` leaves this machine's paths out of the texts."""
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Print every multi-word anagram of PHRASE over a word list, one a line, "
        "in result order (fewest words first), as they are found. Letters with diacritics "
        "count as their plain letters (é as e, ß as ss, æ as ae), in the phrase and in the "
        "word list; case, blanks, digits and punctuation are ignored. Words are printed as "
        "the list spells them (élève, ice-cream, Don't); where several spellings of the list "
        "have the same letters (élève, élevé) they are printed as one word joined with '/' "
        "(élève/élevé), so each line is one anagram and --count counts lines.",
        epilog="Letter lists (--must-start-with, --only-start-with, --not-start-with) are "
        "plain strings, one letter per character, no separators: --not-start-with xyz. "
        "An empty list is not the same as leaving the option out: --only-start-with '' "
        "lets no word start, so nothing is found. "
        "A PHRASE of just '-' reads phrases from standard input, one a line, and answers "
        "each in turn. A phrase that starts with '-' goes after '--': anagrams -- -phrase. "
        "Exit status: 0 done (also when nothing is found), 1 a word list that cannot be read, "
        "letters that --include or --used take out but the phrase lacks, or a --test that "
        "fails; 2 bad arguments; 130 interrupted.",
    )
    p.add_argument("phrase", nargs="*", metavar="PHRASE",
                   help="the phrase; several arguments are joined with blanks")
    p.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    p.add_argument("-d", "--dict", metavar="PATH", help=_dict_help(for_manual))
    p.add_argument("--max-length", type=_number, metavar="N",
                   help="leave out words of more than N letters from the word list")
    p.add_argument("--exclude", action="append", metavar="WORDS",
                   help="leave these words out of the word list, every spelling of each "
                   "(repeatable; one value may hold several words)")
    p.add_argument("--no-fold", action="store_true",
                   help="no folding: only the letters a-z count, as in the core module; "
                   "a word loses its other letters (café is caf) and a phrase holding one "
                   "gives no anagrams")
    g = p.add_argument_group("constraints")
    g.add_argument("--must-start-with", metavar="LETTERS",
                   help="each listed letter must begin at least one word, a repeated letter "
                   "that many words (aab: two words on a, one on b)")
    g.add_argument("--only-start-with", metavar="LETTERS",
                   help="every word must begin with one of these letters")
    g.add_argument("--not-start-with", metavar="LETTERS",
                   help="no word may begin with any of these letters")
    g.add_argument("-l", "--max-words", type=_number, metavar="N",
                   help="at most N words per anagram, counting those of --include")
    g.add_argument("--min-words", type=_number, metavar="N",
                   help="at least N words per anagram, counting those of --include")
    g.add_argument("--enum", type=_enumeration, metavar="LENGTHS",
                   help="only anagrams whose word lengths are these, printed in this order, as "
                   "in a crossword: --enum 5,4 is a five-letter word then a four-letter one "
                   "((5,4) and '5 4' too); 3-5 joins two words with a hyphen. Words of one "
                   "length keep alphabetical order; each anagram is printed once")
    g.add_argument("-m", "--min-length", type=_number, metavar="N",
                   help="use only words of at least N letters")
    g.add_argument("--contains", action="append", metavar="TEXT",
                   help="TEXT must occur inside one word of each anagram (repeatable: all must)")
    g.add_argument("--timeout", type=_seconds, metavar="SECONDS",
                   help="stop searching after this many seconds and print what was found")
    g.add_argument("-n", "--max", type=_number, metavar="N",
                   help="print only the first N anagrams (of the result order)")
    hand = p.add_argument_group("working by hand")
    hand.add_argument("-c", "--include", action="append", metavar="WORDS",
                      help="only anagrams that use these words (repeatable; one value may hold "
                      "several words), each printed first on its line. The phrase must hold "
                      "their letters. The other options apply to the rest of the anagram, "
                      "except --max-words, --min-words and --enum, which count these words too")
    hand.add_argument("-u", "--used", action="append", metavar="LETTERS",
                      help="take these letters out of the phrase first (repeatable)")
    mode = hand.add_mutually_exclusive_group()
    mode.add_argument("-w", "--words", action="store_true",
                      help="print the words the phrase's letters can spell instead, longest "
                      "first (--min-length, --only-start-with, --not-start-with, --contains, "
                      "--must-start-with, the lengths of --enum and --max apply)")
    mode.add_argument("-t", "--test", metavar="CANDIDATE",
                      help="say whether CANDIDATE has exactly the phrase's letters (exit 0) or "
                      "not (exit 1, with the letters left over on each side), and which of its "
                      "words are in the word list")
    out = p.add_mutually_exclusive_group()
    out.add_argument("--count", action="store_true",
                     help="print only the number of anagrams (the lines the listing prints)")
    out.add_argument("--json", action="store_true",
                     help="print one JSON array of arrays of words (with phrases from standard "
                     'input: one {"phrase": ..., "anagrams": [...]} object a line); '
                     "interrupted, the array is still closed")
    p.add_argument("--quiet", action="store_true",
                   help="no progress bar and no notes on standard error (errors still show). "
                   "The bar shows only on long results (over a million lines) written to a "
                   "file or pipe")
    p.add_argument("--trace", action="store_true",
                   help=f"write a step-by-step trace of the search to ./{TRACE_FILE} "
                   "(large: use it with short phrases, a small --dict or --max, which caps "
                   "the traced search itself; with --max the N anagrams need not be the first "
                   "N of the result order)")
    ranked.add_options(p, _number)
    web.add_options(p)
    return p


def _parse(parser: argparse.ArgumentParser, argv: Sequence[str] | None) -> argparse.Namespace:
    argv = list(sys.argv[1:] if argv is None else argv)
    # parse_intermixed_args loses what follows "--", so that part is kept
    # aside: it is all phrase.
    after: list[str] = []
    if "--" in argv:
        cut = argv.index("--")
        argv, after = argv[:cut], argv[cut + 1:]
    args = parser.parse_intermixed_args(argv)
    args.phrase = args.phrase + after
    if not args.phrase and not args.serve:
        parser.error("the following arguments are required: PHRASE")
    if args.test is not None and (args.count or args.json):
        parser.error("argument --test: not allowed with --count or --json")
    if args.phrase == ["-"] and args.dict == "-":
        parser.error("the phrases and the word list cannot both come from standard input "
                     "(PHRASE '-' and --dict -)")
    return args


def _import_core() -> Any:
    return importlib.import_module("core")


def _why_nothing(phrase: str, rest: str, folding: bool) -> str:
    """Why `phrase` (folded unless not `folding`) has no anagrams, when it can tell."""
    foreign = next((c for c in phrase if c.isalpha() and not c.isascii()), None)
    if foreign is not None:
        how = "does not fold to one" if folding else "is not folded under --no-fold"
        return (f"no anagrams: the phrase holds {foreign!r}, which is not a letter a-z and "
                f"{how}; a phrase with such a letter gives no anagrams")
    if not letters_of(phrase):
        return "no anagrams: the phrase holds no letters a-z"
    if not letters_of(rest):
        return "no anagrams: no letters are left once --used takes its letters out"
    return "no anagrams found"


def _constrained(args: argparse.Namespace) -> bool:
    return any(getattr(args, name) is not None for name in (
        "must_start_with", "only_start_with", "not_start_with", "max_words", "min_words",
        "enum", "min_length", "contains", "timeout", "max", "include", "used", "max_length",
        "exclude"))


def _options(args: argparse.Namespace) -> dict[str, Any]:
    return dict(
        must_start_with=args.must_start_with,
        can_only_ever_start_with=args.only_start_with,
        must_not_start_with=args.not_start_with,
        max_words=args.max_words,
        min_word_length=args.min_length,
        timeout_seconds=args.timeout,
        max_solutions=args.max,
        contains_patterns=args.contains,
    )


class Request:
    """One phrase to answer: the letters left for the search (`rest`), the
    words every anagram starts with, and the solver options for the rest.
    `fixed` is the whole result when no search is needed. (A plain class:
    importing dataclasses costs the command's start-up.)"""

    def __init__(self, phrase: str, rest: str, taken: str, prefix: list[str] | None = None,
                 options: dict[str, Any] | None = None, fixed: list[list[str]] | None = None) -> None:
        self.phrase = phrase
        self.rest = rest
        self.taken = taken
        self.prefix = prefix if prefix is not None else []
        self.options = options if options is not None else {}
        self.fixed = fixed


def _zero_words_suffice(options: dict[str, Any]) -> bool:
    # An empty rest is an anagram of no words: fine unless the options ask
    # something of the words.
    patterns = options["contains_patterns"] or []
    return not options["must_start_with"] and not any(map(letters_of, patterns))


def _spellable(words: Iterable[str], request: Request, enum: Enumeration | None) -> list[str]:
    """Every word of the list that the rest of the phrase can spell and that
    would make a one-word anagram under the options, longest first."""
    options = request.options
    if request.fixed is not None or foreign_letters(request.rest) or options["max_words"] == 0:
        return []
    have = Counter(letters_of(request.rest))
    room = sum(have.values())
    shortest = options["min_word_length"] or 1
    only = options["can_only_ever_start_with"]
    only_set = None if only is None else start_set(only)
    never = start_set(options["must_not_start_with"] or "")
    patterns = [q for q in map(letters_of, options["contains_patterns"] or []) if q]
    ms = options["must_start_with"]
    must = Counter(c.lower() if "A" <= c <= "Z" else c for c in ms) if ms else None
    lengths = None if enum is None else frozenset(enum.lengths)

    def keeps(w: str) -> bool:
        return (shortest <= len(w) <= room and (only_set is None or w[0] in only_set)
                and w[0] not in never and all(q in w for q in patterns)
                and (lengths is None or len(w) in lengths)
                and (must is None or must <= Counter(w[0])) and fits(w, have))

    found = sorted(filter(keeps, words), key=lambda w: (-len(w), w))
    return found if options["max_solutions"] is None else found[:options["max_solutions"]]


class Command:
    """One run: the loaded solver and word list, the parsed options, and
    where output goes."""

    def __init__(self, args: argparse.Namespace, solver: Any, loaded: Loaded, many: bool) -> None:
        self.args, self.solver, self.many = args, solver, many
        self.words = loaded.words
        self.shown = loaded.shown
        self._shown_json: dict[str, str] | None = None
        self.out = sys.stdout
        self.tracing = args.trace or "ANAGRAM_DEBUG_LOG" in os.environ
        # Where the anagrams must be picked out of the module's result.
        self.sifted = args.enum is not None or args.min_words is not None

    def key(self, text: str) -> str:
        """A word as the solver stores it (folded first unless --no-fold)."""
        return letters_of(text if self.args.no_fold else fold(text))

    def note(self, message: str, phrase: str | None = None) -> None:
        if not self.args.quiet:
            _note(message if phrase is None or not self.many else f"{phrase}: {message}")

    def included_words(self) -> list[str]:
        return [k for value in self.args.include or [] for k in map(self.key, value.split()) if k]

    def request(self, phrase: str) -> Request | str:
        """The request for `phrase`, or the message when the phrase lacks
        letters that --include or --used take out."""
        args = self.args
        plain = phrase if args.no_fold else fold(phrase)
        prefix = self.included_words()
        used = [u if args.no_fold else fold(u) for u in args.used or []]
        taken = " ".join(prefix + used)
        # Untouched when nothing is taken out, so the module sees the phrase as typed.
        rest, missing = take_out(plain, taken) if taken else (plain, "")
        if missing:
            which = " and ".join(f"--{name}" for name in ("include", "used") if getattr(args, name))
            return f"{phrase!r} lacks letters asked for by {which}: missing {missing}"
        request = Request(phrase, rest, " ".join(prefix + (args.used or [])), prefix, _options(args))
        options = request.options
        limit = options["max_words"]
        if args.enum is not None:
            limit = len(args.enum.lengths) if limit is None else min(limit, len(args.enum.lengths))
            shortest = min(args.enum.lengths)
            options["min_word_length"] = max(options["min_word_length"] or 0, shortest)
        if prefix and limit is not None:
            if limit < len(prefix):
                request.fixed = []
            limit = max(0, limit - len(prefix))
        options["max_words"] = limit
        if self.sifted:
            # The cap is on what is printed, once sifted.
            options["max_solutions"] = None
        if prefix and request.fixed is None and not rest:  # all letters are in the prefix
            request.fixed = [[]] if _zero_words_suffice(options) else []
        if request.fixed is not None and args.max is not None and not self.sifted:
            request.fixed = request.fixed[:args.max]
        return request

    def answer(self, phrase: str) -> int:
        request = self.request(phrase)
        if isinstance(request, str):
            _note(request)
            return 1
        if self.args.test is not None:
            return self.answer_test(request)
        if self.args.words:
            return self.answer_words(request)
        if self.args.count:
            return self.answer_count(request)
        if ranked.wanted(self.args, self.out, self.many, self.tracing):
            return ranked.answer(self, request)
        return self.answer_list(request)

    def answer_test(self, request: Request) -> int:
        candidate = self.args.test
        have, want = Counter(letters_of(request.rest)), Counter(self.key(candidate))
        of = repr(request.phrase) + (f" less {request.taken!r}" if request.taken else "")
        lines = [f"# {request.phrase}"] if self.many else []
        if have == want:
            lines.append(f"yes: {candidate!r} has exactly the letters of {of}")
        else:
            lines.append(f"no: {candidate!r} does not have exactly the letters of {of}")
            lines.append(f"left over from the phrase: {spelled(have - want) or '(none)'}")
            lines.append(f"not in the phrase: {spelled(want - have) or '(none)'}")
        assert self.words is not None
        shown = [w for w in candidate.split() if self.key(w)]
        known = [w for w in shown if self.key(w) in self.words]
        unknown = [w for w in shown if self.key(w) not in self.words]
        if known:
            lines.append("in the word list: " + " ".join(known))
        if unknown:
            lines.append("not in the word list: " + " ".join(unknown))
        self.out.write("\n".join(lines) + "\n")
        return 0 if have == want else 1

    def answer_words(self, request: Request) -> int:
        assert self.words is not None
        found = [self.shown.get(w, w) for w in _spellable(self.words, request, self.args.enum)]
        phrase = request.phrase
        if self.args.count:
            self.out.write(f"{phrase}\t{len(found)}\n" if self.many else f"{len(found)}\n")
        elif self.args.json:
            self.out.write(json.dumps({"phrase": phrase, "words": found}, ensure_ascii=False)
                           if self.many else json.dumps(found, ensure_ascii=False))
            self.out.write("\n")
        else:
            self.out.write((f"# {phrase}\n" if self.many else "")
                           + "".join(w + "\n" for w in found))
        if not found:
            self.note("no words found", phrase)
        return 0

    def count(self, request: Request, options: dict[str, Any]) -> int:
        if request.fixed is not None:
            return len(request.fixed)
        return _count_anagrams(self.solver, request.rest, options)

    def count_sifted(self, request: Request) -> int:
        args = self.args
        if args.enum is None:
            # Fewer than --min-words: the anagrams of at most one word less.
            n = self.count(request, request.options)
            short = args.min_words - len(request.prefix) - 1
            limit = request.options["max_words"]
            if short >= 0 and request.fixed is None:
                n -= self.count(request, {**request.options,
                                          "max_words": short if limit is None else min(limit, short)})
            elif request.fixed is not None:
                n = sum(1 for s in request.fixed if len(s) + len(request.prefix) >= args.min_words)
        else:
            n = sum(1 for _ in self.sift(self.anagrams(request, time.monotonic()), request))
        return n if args.max is None else min(n, args.max)

    def answer_count(self, request: Request) -> int:
        try:
            n = self.count_sifted(request) if self.sifted else self.count(request, request.options)
        except TimeoutError:
            self.note(f"the count was cut short by --timeout {self.args.timeout:g}: "
                      "no exact count", request.phrase)
            return 1
        except MemoryError:
            self.note("too many partial anagrams to count exactly; --max N counts up to N",
                      request.phrase)
            return 1
        self.out.write(f"{request.phrase}\t{n}\n" if self.many else f"{n}\n")
        return 0

    def wants_bar(self) -> bool:
        return not (self.args.quiet or self.tracing or self.out.isatty() or self.sifted)

    def bar_total(self, request: Request) -> int | None:
        options = dict(request.options)
        limit = options["timeout_seconds"]
        options["timeout_seconds"] = BAR_COUNT_SECONDS if limit is None else min(limit, BAR_COUNT_SECONDS)
        try:
            return self.count(request, options)
        except (TimeoutError, MemoryError):
            return None

    def anagrams(self, request: Request, started: float) -> Iterator[list[str]]:
        if request.fixed is not None:
            return results.Listed(request.fixed)
        options = dict(request.options)
        if options["timeout_seconds"] is not None:
            # The limit holds for the whole phrase, from its start.
            spent = time.monotonic() - started
            options["timeout_seconds"] = max(0.0, options["timeout_seconds"] - spent)
        if self.tracing:
            # Only solve() writes the trace.
            return results.solve_traced(self.solver, request.rest, **options)
        return _iter_anagrams(self.solver, request.rest, options)

    def sift(self, items: Iterator[list[str]], request: Request) -> Iterator[list[str]]:
        """The anagrams with the included words, kept and ordered as --min-words
        and --enum ask (words as keys)."""
        prefix, least, enum = request.prefix, self.args.min_words, self.args.enum
        for words in items:
            if prefix:
                words = prefix + words
            if least is not None and len(words) < least:
                continue
            if enum is not None:
                arranged = enum.arrange(words)
                if arranged is None:
                    continue
                words = arranged
            yield words

    def shown_json(self) -> dict[str, str]:
        # Quoted once per word: the JSON writer puts the text between quotes as it is.
        if self._shown_json is None:
            self._shown_json = {k: json.dumps(v, ensure_ascii=False)[1:-1]
                                for k, v in self.shown.items()}
        return self._shown_json

    def printed(self, items: Iterator[list[str]], request: Request) -> Iterator[list[str]]:
        """The anagrams as printed: sifted, capped by --max, each word as the list spells it."""
        if self.sifted or request.prefix:
            items = self.sift(items, request)
        if self.sifted and self.args.max is not None:
            items = islice(items, self.args.max)
        shown = self.shown_json() if self.args.json else self.shown
        enum = self.args.enum
        if enum is not None and "-" in enum.joins:
            items = (enum.join([shown.get(w, w) for w in words]) for words in items)
        elif shown:
            items = ([shown.get(w, w) for w in words] for words in items)
        return items

    def form(self, phrase: str) -> results.Form:
        if self.args.json:
            return results.json_line_form(phrase) if self.many else results.json_array_form()
        return results.plain_form(phrase if self.many else None)

    def answer_list(self, request: Request) -> int:
        started = time.monotonic()
        bar = results.CountedBar(lambda: self.bar_total(request)) if self.wants_bar() else None
        found = self.anagrams(request, started)
        try:
            written = results.stream(self.out, self.printed(found, request),
                                     self.form(request.phrase), [],
                                     None if bar is None else bar.update)
        except BaseException:
            # Cut short (closed pipe, Ctrl-C): a bar stuck part way only misleads.
            if bar is not None:
                bar.leave = False
            raise
        finally:
            if bar is not None:
                bar.close()
        self.after_list(request, written, bool(getattr(found, "timed_out", False)))
        return 0

    def after_list(self, request: Request, written: int, timed_out: bool) -> None:
        args, phrase = self.args, request.phrase
        if args.max == 0:
            self.note("nothing printed: --max 0 asks for no anagrams", phrase)
            return
        if written == 0:
            why = _why_nothing(phrase if args.no_fold else fold(phrase), request.rest, not args.no_fold)
            total = len(letters_of(request.rest)) + sum(map(len, request.prefix))
            if why == "no anagrams found" and args.enum is not None and args.enum.letters() != total:
                why = (f"no anagrams: --enum {args.enum.text} has {args.enum.letters()} letters, "
                       f"the phrase {total}")
            elif why == "no anagrams found" and _constrained(args):
                why += " with these options"
            self.note(why, phrase)
        if args.max is not None and written >= args.max:
            self.note(f"stopped at --max {args.max}: there may be more anagrams", phrase)
        if timed_out:
            self.note(f"the search may have been cut short by --timeout {args.timeout:g} "
                      f"({written} anagrams printed)", phrase)


def _note(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr)


def _stdin_phrases() -> Iterator[str]:
    # Undecodable bytes become U+FFFD, which is no letter and so takes no part.
    sys.stdin.reconfigure(errors="replace")  # type: ignore[union-attr]
    for line in sys.stdin:
        if line.strip():
            yield line.strip()


def _word_source(args: argparse.Namespace) -> WordSource | None:
    if args.dict == "-":
        return WordSource(None, bundled=False)
    if args.dict is not None:
        return WordSource(args.dict, bundled=False)
    found = default_dictionary()
    return None if found is None else WordSource(str(found), bundled=True)


def _lost_note(args: argparse.Namespace, loaded: Loaded) -> str:
    words = "word" if loaded.lost == 1 else "words"
    letters = loaded.lost_letters if len(loaded.lost_letters) <= 12 else loaded.lost_letters[:12] + "..."
    if args.no_fold:
        return (f"note: {loaded.lost:,} {words} of the list lost letters other than a-z "
                f"({letters}; e.g. {loaded.lost_example!r}), as --no-fold asks; without it "
                "they fold to their plain letters")
    one = loaded.lost == 1
    return (f"note: {loaded.lost:,} {words} of the list {'holds' if one else 'hold'} letters "
            f"that do not fold to a-z ({letters}; e.g. {loaded.lost_example!r}) and "
            f"{'is' if one else 'are'} left out")


def _run(args: argparse.Namespace, load_core: Callable[[], Any]) -> int:
    source = _word_source(args)
    if source is None:
        _note("no word list found; give one with --dict PATH")
        return 1
    core = load_core()
    solver = core.Solver()
    needs_words = bool(args.words or args.test is not None or args.include)
    key = letters_of if args.no_fold else (lambda text: letters_of(fold(text)))
    exclude = frozenset(k for value in args.exclude or [] for k in map(key, value.split()) if k)
    try:
        loaded = load(solver, core, source, args.max_length, needs_words,
                      folding=not args.no_fold, exclude=exclude)
    except WordListError as e:
        _note(str(e))
        return 1
    many = args.phrase == ["-"]
    command = Command(args, solver, loaded, many)
    if loaded.lost:
        command.note(_lost_note(args, loaded))
    if ranked.wanted(args, command.out, many, command.tracing) and (error := ranked.load_scores(solver, args)):
        _note(error)
        return 1
    if args.trace:
        os.environ["ANAGRAM_DEBUG_LOG"] = "1"
    if loaded.words is not None and args.include:
        for word in dict.fromkeys(command.included_words()):
            if word not in loaded.words:
                command.note(f"note: {word!r} (--include) is not in the word list")
    status = 0
    workers = 1
    if many and args.count and not (command.tracing or args.words or args.test is not None):
        from . import batch  # counts of many phrases: on several workers, in input order
        workers = batch.worker_count()
    if workers > 1:
        status = batch.answer_counts(command, _stdin_phrases(), workers)
    else:
        for phrase in _stdin_phrases() if many else [" ".join(args.phrase)]:
            status = max(status, command.answer(phrase))
            command.out.flush()
    if command.tracing:
        command.note(f"trace written to {os.path.join(os.getcwd(), TRACE_FILE)}")
    return status


def _stdout_gone() -> None:
    # Later writes, and the flush at exit, go nowhere instead of raising.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def main(argv: Sequence[str] | None = None,
         load_core: Callable[[], object] = _import_core) -> int:
    """Run the command with `argv` (default: sys.argv[1:]); returns the exit status.

    `load_core` is called once the arguments are good and returns the module
    (the repository launcher builds it first).
    """
    args = _parse(build_parser(), argv)
    if args.serve:
        return web.serve(args, load_core)
    try:
        return _run(args, load_core)
    except BrokenPipeError:
        # The reader (head, less) went away: not an error of ours.
        _stdout_gone()
        return 0
    except KeyboardInterrupt:
        try:
            sys.stdout.flush()
        except BrokenPipeError:
            _stdout_gone()
        return 130
