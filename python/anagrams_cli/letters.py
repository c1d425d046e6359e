"""Letter arithmetic of the command, done the module's way: only the ASCII
letters of a text take part, lower-cased by the ASCII rule."""

from __future__ import annotations

import re
from collections import Counter

_NOT_LETTER = re.compile(r"[^A-Za-z]+")


def letters_of(text: str) -> str:
    """The letters a-z of `text`, lower-cased, in their order (a word as the
    module stores it)."""
    if text.isascii() and text.isalpha():
        return text.lower()
    return _NOT_LETTER.sub("", text).lower()


def letter_count(text: str) -> int:
    if text.isascii() and text.isalpha():
        return len(text)
    return len(_NOT_LETTER.sub("", text))


def foreign_letters(text: str) -> str:
    """The non-ASCII letters of a phrase: any of them makes the module find
    nothing, so taking letters out must keep them."""
    return "" if text.isascii() else "".join(c for c in text if c.isalpha() and not c.isascii())


def spelled(counts: Counter[str]) -> str:
    """A letter multiset written out in alphabetical order ("eilnst")."""
    return "".join(sorted(counts.elements()))


def take_out(phrase: str, taken: str) -> tuple[str, str]:
    """The phrase less the letters of `taken`, and the letters of `taken`
    that the phrase lacks (empty when it holds them all)."""
    have = Counter(letters_of(phrase))
    want = Counter(letters_of(taken))
    missing = want - have
    rest = spelled(have - want) + foreign_letters(phrase)
    return rest, spelled(missing)


def start_set(letters: str) -> frozenset[str]:
    """A letter list as the module reads it: each character, A-Z lower-cased,
    anything else kept as it is (and so never a first letter)."""
    return frozenset(c.lower() if "A" <= c <= "Z" else c for c in letters)


def fits(word: str, have: Counter[str]) -> bool:
    """Whether the letters of `word` (letters a-z only) are all in `have`."""
    return all(word.count(c) <= have[c] for c in set(word))
