"""Reading the command's word list and loading it into a Solver."""

from __future__ import annotations

import os
import re
import sys
from typing import NamedTuple
from typing import Any

from .letters import letter_count, letters_of

# Of the one-letter words only these two are words to a reader; the others
# (the bundled list has all 26) swamp long results with "d r o m".
ONE_LETTER_WORDS = frozenset({"a", "i"})


# A line whose only letter a-z (in either case) is one other than a or i:
# exactly the lines _keeps drops from the bundled list for being one letter.
_DROPPED_ONE_LETTER_LINES = re.compile(
    r"^[^A-Za-z\n]*[B-HJ-Zb-hj-z][^A-Za-z\n]*(?:\n|\Z)", re.MULTILINE)


class WordListError(Exception):
    """A word list that cannot be read; the message is for the user."""


class WordSource(NamedTuple):
    path: str | None  # None: standard input
    bundled: bool  # the default list, which drops most one-letter words


def _read_text(source: WordSource, core: Any) -> str:
    if source.path is None:
        data = sys.stdin.buffer.read()
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError as e:
            raise WordListError(f"standard input: the word list is not valid UTF-8 "
                                f"(byte {e.start})") from None
    try:
        with open(source.path, "rb") as f:
            return f.read().decode("utf-8")
    except (OSError, UnicodeError) as e:
        # The module's own message is the one users know from plain loads.
        try:
            core.Solver().load_dictionary_from_path(source.path)
        except OSError as theirs:
            raise WordListError(f"{source.path}: {theirs}") from None
        raise WordListError(f"{source.path}: Failed to read dictionary: {e}") from None


def _keeps(word: str, max_length: int | None, bundled: bool) -> bool:
    n = letter_count(word)
    if n == 0 or (max_length is not None and n > max_length):
        return False
    return not (bundled and n == 1 and letters_of(word) not in ONE_LETTER_WORDS)


def _load_as_file(solver: Any, text: str) -> bool:
    """Loads `text` through an in-memory file; False where there is none."""
    if not hasattr(os, "memfd_create"):
        return False
    try:
        fd = os.memfd_create("anagrams-words", getattr(os, "MFD_CLOEXEC", 0))
    except OSError:
        return False
    try:
        with os.fdopen(fd, "wb", closefd=False) as f:
            f.write(text.encode("utf-8"))
        solver.load_dictionary_from_path(f"/proc/self/fd/{fd}")
    except OSError:
        return False  # nothing was added: the module reads the whole file first
    finally:
        os.close(fd)
    return True


def load(solver: Any, core: Any, source: WordSource, max_length: int | None,
         want_words: bool) -> frozenset[str] | None:
    """Fills `solver` from `source`, keeping words of at most `max_length`
    letters. Returns the words as the solver stores them when `want_words`."""
    if source.path is not None and not source.bundled and max_length is None and not want_words:
        try:
            solver.load_dictionary_from_path(source.path)
        except OSError as e:
            raise WordListError(f"{source.path}: {e}") from None
        return None
    text = _read_text(source, core)
    if source.bundled and max_length is None and not want_words:
        # The common case, on the command's hot path: drop the unwanted
        # one-letter lines in one pass over the text, not word by word, and
        # hand the module the text as a file (an anonymous one in memory),
        # which it loads far faster than 60,000 str objects.
        kept_text = _DROPPED_ONE_LETTER_LINES.sub("", text)
        if not _load_as_file(solver, kept_text):
            solver.load_dictionary_from_words(kept_text.split("\n"))
        return None
    # Split on newlines only, as the module does: str.splitlines would also
    # break at form feeds and other separators the module keeps inside a line.
    kept = [w for w in text.split("\n") if _keeps(w, max_length, source.bundled)]
    solver.load_dictionary_from_words(kept)
    return frozenset(map(letters_of, kept)) if want_words else None
