"""What the page asks of the solver, without any web framework: reading and
bounding a request's fields, the count, the best anagrams in batches, the
words the letters left can make, and the test of a candidate. The server
runs these in worker threads; the tests call them directly too."""

from __future__ import annotations

import argparse
import time
from collections import Counter
from dataclasses import dataclass, field
from itertools import islice
from typing import Any, Iterator, Mapping, Sequence

from .. import cli
from ..folding import fold
from ..letters import letters_of, spelled


class BadInput(ValueError):
    """A request the server refuses; the message is shown on the page."""


@dataclass(frozen=True)
class Limits:
    """Every bound on what one request may ask, and the server's time limits."""

    phrase_chars: int = 200
    phrase_letters: int = 40
    kept_words: int = 20
    option_chars: int = 60
    patterns: int = 8
    page: int = 200  # anagrams in one request
    offset: int = 10_000  # how far down the ranking scrolling may go
    words: int = 400  # words listed for working by hand
    candidate_chars: int = 200
    # A search cannot be stopped inside one engine batch, only between
    # batches, so a superseded one may run on until this limit.
    search_seconds: float = 4.0
    count_seconds: float = 2.0
    batch_seconds: float = 0.05  # one pull from the engine, between cancellation checks


# Page fields that hold a letter list or text, and the command option each is.
_TEXT_FIELDS = {"must_start": "must_start_with", "only_start": "only_start_with",
                "not_start": "not_start_with"}
_NUMBER_FIELDS = {"max_words": "max_words", "min_words": "min_words", "min_length": "min_length"}


@dataclass
class Query:
    """One request of the page, read and bounded."""

    phrase: str
    keep: list[str]  # the words kept by hand, and those of the include box
    args: argparse.Namespace  # the command's options for it
    offset: int = 0
    limit: int = 100
    candidate: str = ""
    exclude: frozenset[str] = frozenset()  # keys no anagram may use


@dataclass
class Prepared:
    """A query turned into the module's request, or the message that says why
    there is nothing to search."""

    query: Query
    request: Any = None  # cli.Request
    command: Any = None  # the cli.Command that made it
    message: str | None = None
    rest_letters: str = ""
    extra: dict[str, Any] = field(default_factory=dict)


def _get(params: Mapping[str, Any], name: str) -> str | None:
    value = params.get(name)
    if isinstance(value, list):
        value = value[-1] if value else None
    if value is None:
        return None
    value = str(value)
    return value if value.strip() != "" else None


def _getlist(params: Mapping[str, Any], name: str) -> list[str]:
    value = params.get(name)
    if value is None:
        return []
    return [str(v) for v in (value if isinstance(value, list) else [value])]


def _int(text: str | None, name: str, low: int, high: int) -> int | None:
    if text is None:
        return None
    try:
        value = int(text.strip(), 10)
    except ValueError:
        raise BadInput(f"{name}: not a whole number: {text[:20]!r}") from None
    if not low <= value <= high:
        raise BadInput(f"{name}: must be between {low} and {high}")
    return value


class Engine:
    """The loaded solver, the word list as keys, their spellings and scores,
    and the limits: shared by every request of the server."""

    def __init__(self, solver: Any, loaded: Any, scores: Mapping[str, float] | None,
                 base_args: argparse.Namespace, limits: Limits = Limits(),
                 unscored: float = -9.0) -> None:
        self.solver = solver
        self.loaded = loaded  # wordlist.Loaded: the keys and their spellings
        self.limits = limits
        self.base_args = base_args
        self.shown = dict(loaded.shown)
        words: Sequence[str] = sorted(loaded.words or ())
        self.ranked = scores is not None
        self.scores = dict(scores or {})
        self.unscored = unscored
        self.keys = sorted(set(filter(None, words)))
        self.known = frozenset(self.keys)
        self._packed = [(_pack(w), len(w), w) for w in self.keys if max(Counter(w).values()) < 64]

    def key(self, text: str) -> str:
        """A word or phrase as the solver sees it (folded unless --no-fold)."""
        return letters_of(text if self.base_args.no_fold else fold(text))

    # Reading a request

    def parse(self, params: Mapping[str, Any]) -> Query:
        lim = self.limits
        phrase = _get(params, "phrase") or ""
        if len(phrase) > lim.phrase_chars:
            raise BadInput(f"the phrase is too long: at most {lim.phrase_chars} characters")
        if len(self.key(phrase)) > lim.phrase_letters:
            raise BadInput(f"the phrase has too many letters: at most {lim.phrase_letters}")
        keep = [w for value in _getlist(params, "keep") + _getlist(params, "include")
                for w in value.split() if self.key(w)]
        if len(keep) > lim.kept_words:
            raise BadInput(f"too many kept words: at most {lim.kept_words}")
        args = argparse.Namespace(**vars(self.base_args))
        args.include = [" ".join(keep)] if keep else None
        for name, option in _TEXT_FIELDS.items():
            value = _get(params, name)
            if value is not None and len(value) > lim.option_chars:
                raise BadInput(f"{name}: at most {lim.option_chars} characters")
            # Letter lists: blanks and commas are separators to a person.
            setattr(args, option, None if value is None else "".join(value.replace(",", " ").split()))
        for name, option in _NUMBER_FIELDS.items():
            setattr(args, option, _int(_get(params, name), name, 0, lim.phrase_letters))
        contains = [c for value in _getlist(params, "contains")
                    for c in value.replace(",", " ").split() if letters_of(c)]
        if len(contains) > lim.patterns or any(len(c) > lim.option_chars for c in contains):
            raise BadInput(f"contains: at most {lim.patterns} sequences of {lim.option_chars} characters")
        args.contains = contains or None
        enum = _get(params, "enum")
        if enum is not None:
            if len(enum) > lim.option_chars:
                raise BadInput(f"enum: at most {lim.option_chars} characters")
            try:
                args.enum = cli.Enumeration(enum)
            except argparse.ArgumentTypeError as e:
                raise BadInput(f"enum: {e}") from None
        exclude = [w for value in _getlist(params, "exclude") for w in value.replace(",", " ").split()]
        if len(exclude) > lim.kept_words:
            raise BadInput(f"exclude: at most {lim.kept_words} words")
        excluded = frozenset(filter(None, map(self.key, exclude)))
        offset = _int(_get(params, "offset"), "offset", 0, lim.offset) or 0
        limit = _int(_get(params, "limit"), "limit", 1, lim.page) or min(100, lim.page)
        candidate = _get(params, "candidate") or ""
        if len(candidate) > lim.candidate_chars:
            raise BadInput(f"the candidate is too long: at most {lim.candidate_chars} characters")
        return Query(phrase, keep, args, offset, limit, candidate, excluded)

    def prepare(self, query: Query) -> Prepared:
        phrase = query.phrase
        command = cli.Command(query.args, self.solver, self.loaded, False)
        if not self.key(phrase):
            why = cli._why_nothing(self.plain(phrase), phrase, not query.args.no_fold)
            return Prepared(query, message=_sentence(why))
        request = command.request(phrase)
        if isinstance(request, str):
            missing = request.rsplit("missing ", 1)[-1]
            return Prepared(query, message=f"The kept words need letters the phrase lacks: {missing}")
        request.options["timeout_seconds"] = self.limits.search_seconds
        return Prepared(query, request, command, rest_letters=letters_of(request.rest))

    def plain(self, text: str) -> str:
        return text if self.base_args.no_fold else fold(text)

    def nothing(self, prepared: Prepared) -> str:
        """Why a prepared request gave no anagram."""
        request, args = prepared.request, prepared.query.args
        why = cli._why_nothing(self.plain(request.phrase), request.rest, not args.no_fold)
        if why == "no anagrams found" and (cli._constrained(args) or prepared.query.exclude):
            why += " with these constraints"
        return _sentence(why)

    # Answers

    def count(self, prepared: Prepared) -> int | None:
        """The exact number of anagrams, or None when the time limit ran out
        or the phrase is beyond exact counting in the memory allowed."""
        request, command = prepared.request, prepared.command
        options = dict(request.options, timeout_seconds=self.limits.count_seconds, max_solutions=None)
        try:
            if prepared.query.args.enum is not None or prepared.query.exclude:
                # Sifted word by word: counted by listing, within the limit.
                items = Anagrams(self, self._source(prepared, options), prepared, 0, None)
                n = sum(1 for _ in items)
                return None if items.timed_out else n
            if command.sifted:
                saved, request.options = request.options, options
                try:
                    return int(command.count_sifted(request))
                finally:
                    request.options = saved
            return int(command.count(request, options))
        except (TimeoutError, MemoryError):
            return None

    def _source(self, prepared: Prepared, options: dict[str, Any]) -> Any:
        request = prepared.request
        if request.fixed is not None:
            return iter([(self._score(words), words) if self.ranked else words
                         for words in request.fixed])
        if self.ranked:
            return self.solver.iter_best(request.rest, **options)
        return self.solver.iter_solve(request.rest, **options)

    def anagrams(self, prepared: Prepared) -> Anagrams:
        """The anagrams from query.offset on, best first when scores are
        loaded (else in result order), at most query.limit of them; the kept
        words first on each, as the word list spells them."""
        query, request = prepared.query, prepared.request
        end = query.offset + query.limit
        sifted = prepared.command.sifted or bool(query.exclude)
        # Sifted, the engine's n-th is not the page's: no cap then.
        options = dict(request.options, max_solutions=None if sifted else end)
        return Anagrams(self, self._source(prepared, options), prepared, query.offset, end)

    def words(self, prepared: Prepared) -> dict[str, Any]:
        """The words the letters left can make under the constraints that
        apply to single words, longest first, equal lengths best first."""
        request = prepared.request
        letters = {"letters": prepared.rest_letters, "phrase_letters": self.key(request.phrase)}
        if request.fixed is not None or not prepared.rest_letters:
            return {"words": [], "total": 0, **letters}
        have = _pack(prepared.rest_letters)
        room = len(prepared.rest_letters)
        fitting = [w for packed, n, w in self._packed if n <= room and _fits(packed, have)]
        found = [w for w in cli._spellable(fitting, request, prepared.query.args.enum)
                 if w not in prepared.query.exclude]
        found.sort(key=lambda w: (-len(w), -self._score_of(w), w))
        shown = found[:self.limits.words]
        return {"words": [{"key": w, "text": self._spell([w])[0],
                           "score": round(self._score_of(w), 2) if self.ranked else None}
                          for w in shown],
                "total": len(found), **letters}

    def test(self, query: Query) -> dict[str, Any]:
        """Whether the candidate has exactly the phrase's letters, what is left
        over on each side, and which of its words are in the word list."""
        have, want = Counter(self.key(query.phrase)), Counter(self.key(query.candidate))
        words = [w for w in query.candidate.split() if self.key(w)]
        return {"exact": bool(want) and have == want,
                "phrase_left": spelled(have - want), "candidate_left": spelled(want - have),
                "known": [w for w in words if self.key(w) in self.known],
                "unknown": [w for w in words if self.key(w) not in self.known]}

    # Helpers

    def _score_of(self, word: str) -> float:
        return self.scores.get(word, self.unscored)

    def _score(self, words: list[str]) -> float | None:
        return round(sum(map(self._score_of, words)), 2) if self.ranked else None

    def _spell(self, words: list[str]) -> list[str]:
        shown = self.shown
        return [shown.get(w, w) for w in words] if shown else list(words)


class Anagrams:
    """The rows of one search as (score, words shown), sifted as --min-words,
    --enum and the excluded words ask; `timed_out` tells afterwards whether
    the server's time limit ended it."""

    def __init__(self, engine: Engine, source: Any, prepared: Prepared, offset: int,
                 end: int | None) -> None:
        self.source = source
        self._rows = islice(self._make(engine, source, prepared), offset, end)

    @staticmethod
    def _make(engine: Engine, source: Any, prepared: Prepared) -> Iterator[tuple[float | None, list[str]]]:
        request, command, exclude = prepared.request, prepared.command, prepared.query.exclude
        prefix_score = sum(map(engine._score_of, request.prefix))
        sift = command.sifted or request.prefix
        for item in source:
            score, words = item if engine.ranked else (None, item)
            if exclude and not exclude.isdisjoint(words):
                continue
            if sift:
                words = next(command.sift(iter([words]), request), None)
                if words is None:
                    continue
            if score is not None:
                score = round(score + prefix_score, 2)
            yield score, engine._spell(words)

    @property
    def timed_out(self) -> bool:
        return bool(getattr(self.source, "timed_out", False))

    def cancel(self) -> None:
        """Ends the search, from any thread: a batch the engine is computing
        stops at once."""
        stop = getattr(self.source, "cancel", None)
        if stop is not None:
            stop()

    def __iter__(self) -> Anagrams:
        return self

    def __next__(self) -> tuple[float | None, list[str]]:
        return next(self._rows)


def _sentence(why: str) -> str:
    why = why.removeprefix("no anagrams: ")
    return why[:1].upper() + why[1:]


def next_batch(items: Iterator[Any], most: int, seconds: float) -> tuple[list[Any], bool]:
    """Up to `most` items pulled within about `seconds` (at least one, when
    there is one), and whether the iterator is spent. Runs in a worker thread:
    the engine gives the interpreter lock up while it computes."""
    batch: list[Any] = []
    deadline = time.monotonic() + seconds
    for item in items:
        batch.append(item)
        if len(batch) >= most or time.monotonic() >= deadline:
            return batch, False
    return batch, True


# A word's letters as one integer of 7-bit fields, one a letter, each with a
# spare top bit: whether a word fits in the letters left is then one
# subtraction (no field borrows from the guard bits when it fits).
_BITS = 7
_GUARDS = sum(1 << (_BITS * i + _BITS - 1) for i in range(26))


def _pack(letters: str) -> int:
    packed = 0
    for c, n in Counter(letters).items():
        packed += min(n, 63) << (_BITS * (ord(c) - 97))
    return packed


def _fits(word: int, have: int) -> bool:
    return ((have | _GUARDS) - word) & _GUARDS == _GUARDS


def read_scores(path: str) -> dict[str, float]:
    """A file of `word<TAB>score` lines as a dict (the module reads it too;
    this copy ranks the single words of working by hand)."""
    scores: dict[str, float] = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            word, _, value = line.rstrip("\n").partition("\t")
            key = letters_of(word)
            if key and value:
                try:
                    scores[key] = float(value)
                except ValueError:
                    continue
    return scores
