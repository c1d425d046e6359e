"""The command's ranked output: the best anagrams first, by the scores of
their words (by default how common each word is), with --best N, and the
screenful that a terminal gets when no output option is given."""

from __future__ import annotations

import argparse
import json
import os
import shutil
from collections import Counter
from typing import Any, Iterator

from .letters import letters_of

_HERE = os.path.dirname(os.path.realpath(__file__))
# Installed, the scores ship beside the word list; in a checkout they are
# data/words.scores.
_DEFAULT_SCORES = (os.path.join(_HERE, "words.scores"),
                   os.path.join(os.path.dirname(os.path.dirname(_HERE)), "data", "words.scores"))
# The shipped file's floor (log10 of the frequency of a word it does not
# know): a word of another list that has no score ranks with the rarest.
UNSCORED = -9.0


def default_scores() -> str | None:
    for path in _DEFAULT_SCORES:
        if os.path.isfile(path):
            return path
    return None


def add_options(parser: argparse.ArgumentParser, number: Any) -> None:
    g = parser.add_argument_group("ranking")
    g.add_argument("--best", type=number, metavar="N",
                   help="print the N best anagrams, best first: by the sum of their words' scores "
                   "(how common each word is), equal scores in result order")
    g.add_argument("--scores", metavar="PATH",
                   help="word scores for --best, one 'word<TAB>score' a line, higher is better "
                   f"(default: words.scores, word frequencies; a word without one scores {UNSCORED:g})")
    g.add_argument("--show-scores", action="store_true",
                   help="print each anagram's score before it (with --best or the terminal default)")
    g.add_argument("--all", action="store_true",
                   help="on a terminal, print every anagram in result order (what a pipe or file "
                   "gets) instead of the best ones first")


def wanted(args: argparse.Namespace, out: Any, many: bool, tracing: bool) -> bool:
    """Ranked output: --best, or a terminal with no output option (then a screenful)."""
    if args.best is not None:
        return True
    plain = not (args.all or args.count or args.json or args.words or args.test is not None
                 or args.max is not None or many or tracing)
    return plain and out.isatty()


def load_scores(solver: Any, args: argparse.Namespace) -> str | None:
    """Loads the scores the ranking needs; the message when they cannot be read."""
    path = args.scores or default_scores()
    if path is None:
        return None  # every anagram scores the same: ranked is result order
    try:
        solver.load_scores_from_path(path, default=UNSCORED)
    except OSError as e:
        return f"{path}: {e}"
    except ValueError as e:
        return str(e)
    return None


def _is_the_phrase(words: list[str], phrase_words: Counter[str]) -> bool:
    return Counter(words) == phrase_words


def _ranked(command: Any, request: Any, limit: int, skip_phrase: bool) -> Iterator[tuple[float, list[str]]]:
    options = dict(request.options)
    cap = options.pop("max_solutions")
    if request.fixed is not None:
        items: Iterator[tuple[float, list[str]]] = iter([(0.0, words) for words in request.fixed])
    else:
        items = command.solver.iter_best(request.rest, **options)
    own = Counter(w for w in map(letters_of, request.phrase.split()) if w)
    given = 0
    for score, found in items:
        if given >= limit or (cap is not None and given >= cap):
            return
        if skip_phrase and not request.prefix and _is_the_phrase(found, own):
            continue
        # The included words, --min-words and --enum as for the listing; the
        # score goes with the anagram.
        for words in command.sift(iter([found]), request):
            given += 1
            yield score, words


def _as_listed(command: Any, words: list[str]) -> list[str]:
    """The words as the list spells them, joined as --enum asks."""
    spelled = [command.shown.get(w, w) for w in words]
    enum = command.args.enum
    return enum.join(spelled) if enum is not None and "-" in enum.joins else spelled


def _screenful() -> int:
    return max(5, shutil.get_terminal_size().lines - 4)


def answer(command: Any, request: Any) -> int:
    """Prints the best anagrams of `request`: --best N of them, or a screenful
    less the phrase itself, with a note of how many there are in all."""
    args, out = command.args, command.out
    default = args.best is None
    limit = _screenful() if default else args.best
    items = list(_ranked(command, request, limit, skip_phrase=default))
    rows = [(score, _as_listed(command, words)) for score, words in items]
    if command.many:
        out.write(f"# {request.phrase}\n")
    if args.json:
        shown = [[score, words] if args.show_scores else words for score, words in rows]
        out.write(json.dumps(shown, ensure_ascii=False) + "\n")
    else:
        for score, words in rows:
            line = " ".join(words)
            out.write(f"{score:.2f}\t{line}\n" if args.show_scores else line + "\n")
    if not rows:
        command.note("no anagrams found", request.phrase)
    elif default:
        try:
            total = command.count(request, request.options)
        except TimeoutError:
            total = None
        of = f"{total:,}" if total is not None else "all the"
        command.note(f"the best {len(rows)} of {of} anagrams, by how common their words are "
                     "(the phrase itself left out); --all lists every one in result order, "
                     "--best N the best N", request.phrase)
    return 0
