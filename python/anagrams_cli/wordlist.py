"""Reading the command's word list and loading it into a Solver: each line
folded to its key (the letters a-z the solver matches), and the list's own
spellings kept for the output."""

from __future__ import annotations

import os
import re
import sys
from typing import Any, NamedTuple

from .folding import decomposed, folded_keys

# Of the one-letter words only these two are words to a reader; the others
# swamp long results with "d r o m".
ONE_LETTER_WORDS = frozenset({"a", "i"})

# A line whose only letter a-z (in either case) is one other than a or i:
# exactly the lines _keeps drops from the bundled list for being one letter.
_DROPPED_ONE_LETTER_LINES = re.compile(
    r"^[^A-Za-z\n]*[B-HJ-Zb-hj-z][^A-Za-z\n]*(?:\n|\Z)", re.MULTILINE)
# A list is plain when each line is its own key: nothing to fold, no
# spelling to keep.
_NOT_PLAIN = re.compile(rb"[^a-z\n]")


class WordListError(Exception):
    """A word list that cannot be read; the message is for the user."""


class WordSource(NamedTuple):
    path: str | None  # None: standard input
    bundled: bool  # the default list, which drops most one-letter words


class Loaded(NamedTuple):
    """What a load gives the command besides the filled solver."""
    words: frozenset[str] | None  # the keys, when asked for
    shown: dict[str, str]  # key -> how to print it, where that is not the key itself
    lost: int  # words that held letters taking no part (see `lost_letters`)
    lost_letters: str
    lost_example: str


def _name(source: WordSource) -> str:
    return "standard input" if source.path is None else source.path


def _not_utf8(source: WordSource, data: bytes, error: UnicodeDecodeError) -> WordListError:
    at = error.start
    line_start = data.rfind(b"\n", 0, at) + 1
    line = data.count(b"\n", 0, at) + 1
    name = _name(source)
    convert = (f"iconv -f latin1 -t utf-8 {name} > converted.txt" if source.path is not None
               else "iconv -f latin1 -t utf-8")
    return WordListError(
        f"{name}: the word list is not UTF-8: line {line}, byte {at - line_start + 1} "
        f"(0x{data[at]:02x}, offset {at} in the file). A Latin-1 list converts with: {convert}")


def _read_bytes(source: WordSource, core: Any) -> bytes:
    if source.path is None:
        return sys.stdin.buffer.read()
    try:
        with open(source.path, "rb") as f:
            return f.read()
    except OSError as e:
        # The module's own message is the one users know from plain loads.
        try:
            core.Solver().load_dictionary_from_path(source.path)
        except OSError as theirs:
            raise WordListError(f"{source.path}: {theirs}") from None
        raise WordListError(f"{source.path}: Failed to read dictionary: {e}") from None


def _keeps(word: str, max_length: int | None, bundled: bool) -> bool:
    n = len(word)
    if n == 0 or (max_length is not None and n > max_length):
        return False
    return not (bundled and n == 1 and word not in ONE_LETTER_WORDS)


def _load_as_file(solver: Any, data: bytes) -> bool:
    """Loads `data` through an in-memory file; False where there is none."""
    if not hasattr(os, "memfd_create"):
        return False
    try:
        fd = os.memfd_create("anagrams-words", getattr(os, "MFD_CLOEXEC", 0))
    except OSError:
        return False
    try:
        with os.fdopen(fd, "wb", closefd=False) as f:
            f.write(data)
        solver.load_dictionary_from_path(f"/proc/self/fd/{fd}")
    except OSError:
        return False  # nothing was added: the module reads the whole file first
    finally:
        os.close(fd)
    return True


def _load_keys(solver: Any, keys: list[str]) -> None:
    # Handed over as a file (an anonymous one in memory), which the module
    # loads far faster than as many str objects.
    if not _load_as_file(solver, "\n".join(keys).encode("ascii")):
        solver.load_dictionary_from_words(keys)


def _spellings(keys: list[str], lines: list[str]) -> dict[str, str]:
    """Key -> its spellings in the list, in list order, joined with '/', for
    the keys that some line spells otherwise than the key itself."""
    shown: dict[str, str] = {}
    several = set()
    for k, line in zip(keys, lines):
        if k != line and k:
            spelling = line.strip()
            if spelling != k and shown.setdefault(k, spelling) != spelling:
                several.add(k)
    if not shown:
        return shown
    several.update(shown.keys() & set(lines))  # also spelt as the key itself
    if several:
        found: dict[str, dict[str, None]] = {k: {} for k in several}
        for k, line in zip(keys, lines):
            if k in several:
                found[k][line.strip()] = None
        shown.update((k, "/".join(spellings)) for k, spellings in found.items())
    return shown


def load(solver: Any, core: Any, source: WordSource, max_length: int | None = None,
         want_words: bool = False, folding: bool = True,
         exclude: frozenset[str] = frozenset()) -> Loaded:
    """Fills `solver` from `source` with the key of each line, leaving out
    words of more than `max_length` letters and the keys in `exclude`."""
    data = _read_bytes(source, core)
    if not _NOT_PLAIN.search(data) and max_length is None and not want_words and not exclude:
        # The common case, on the command's hot path: nothing to fold and no
        # spelling to keep, so no work word by word.
        if source.bundled:
            data = _DROPPED_ONE_LETTER_LINES.sub("", data.decode("ascii")).encode("ascii")
        if not _load_as_file(solver, data):
            solver.load_dictionary_from_words(data.decode("ascii").split("\n"))
        return Loaded(None, {}, 0, "", "")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise _not_utf8(source, data, e) from None
    del data
    # Split on newlines only, as the module does: str.splitlines would also
    # break at form feeds and other separators the module keeps inside a line.
    keys_text, lost_letters = folded_keys(text, folding)
    keys = keys_text.split("\n")
    lines = text.split("\n")
    lost, example = 0, ""
    if lost_letters:
        strange = re.compile("[" + re.escape(lost_letters) + "]")
        hit = [i for i, line in enumerate(lines)
               if not line.isascii() and strange.search(decomposed(line) if folding else line)]
        # Folded, such a word would still lack letters: left out rather
        # than matched as the non-word its other letters make.
        lost, example = len(hit), lines[hit[0]].strip()
        if folding:
            for i in hit:
                keys[i] = ""
    shown = _spellings(keys, lines)
    if max_length is None and not source.bundled and not exclude and not lost:
        kept = keys  # empty keys are no words to the module
        if not _load_as_file(solver, keys_text.encode("ascii")):
            solver.load_dictionary_from_words(keys)
    else:
        kept = [k for k in keys if _keeps(k, max_length, source.bundled) and k not in exclude]
        _load_keys(solver, kept)
    words = frozenset(kept).difference([""]) if want_words else None
    return Loaded(words, shown, lost, lost_letters, example)
