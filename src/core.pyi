"""Every multi-word anagram of a phrase over a dictionary you load.

Only the letters a-z take part: words and patterns keep their ASCII letters,
lower-cased; the phrase is counted case-insensitively with non-letters
ignored, and a non-ASCII letter in it (such as é) gives no anagrams.
Setting the environment variable ANAGRAM_DEBUG_LOG makes each solve() write
a step-by-step trace to ./anagram_solver_debug.log (rewritten every call).
"""

from collections.abc import Iterator, Mapping, Sequence
from typing import final

@final
class SolveIterator(Iterator[list[str]]):
    """The anagrams of one iter_solve() request, computed as they are taken.

    Not created directly; holds its own copy of what it needs from the
    dictionary, so it outlives its Solver and ignores later loading.
    """

    @property
    def timed_out(self) -> bool:
        """True once the iteration has ended because timeout_seconds ran out."""
    def cancel(self) -> None:
        """End the iteration, from any thread: a batch being computed in
        another thread stops at once, and the next item is StopIteration."""
    def __next__(self) -> list[str]: ...

@final
class BestIterator(Iterator[tuple[float, list[str]]]):
    """The anagrams of one iter_best() request, best first, as (score, words).

    Not created directly; holds its own copy of what it needs from the
    dictionary and the scores, so it outlives its Solver and ignores later
    loading.
    """

    @property
    def timed_out(self) -> bool:
        """True once the iteration has ended because timeout_seconds ran out."""
    def cancel(self) -> None:
        """End the iteration, from any thread: a batch being computed in
        another thread stops at once, and the next item is StopIteration."""
    def __next__(self) -> tuple[float, list[str]]: ...

@final
class Solver:
    """An anagram solver over its own dictionary, empty at first.

    Loading only ever adds words; solve() may be called any number of times.
    """

    def __init__(self) -> None:
        """Make a solver with an empty dictionary."""

    def load_dictionary_from_words(self, words: Sequence[str]) -> None:
        """Add each string as one word (blanks and other non-letters dropped).

        A list or tuple of str; a single str is refused (TypeError). If any
        item is not a str, nothing is added.
        """

    def load_dictionary_from_path(self, path: str) -> None:
        """Add every line of a UTF-8 text file as one word.

        Raises OSError("Failed to read dictionary: ...") when the file cannot
        be read or is not valid UTF-8; nothing is added then.
        """

    def add_word(self, word: str) -> None:
        """Add one word; one without any letter a-z is ignored."""

    def solve(
        self,
        phrase: str,
        must_start_with: str | None = None,
        can_only_ever_start_with: str | None = None,
        must_not_start_with: str | None = None,
        max_words: int | None = None,
        min_word_length: int | None = None,
        timeout_seconds: float | None = None,
        max_solutions: int | None = None,
        contains_patterns: Sequence[str] | None = None,
    ) -> list[list[str]]:
        """Return every anagram of `phrase`, each a list of words in ascending order.

        The list is sorted by number of words, then longest shortest word
        first, then word by word. None means "no constraint"; an empty string
        or list is a constraint of its own.

        must_start_with: each character must begin at least as many words as
            it occurs in the string ("aab": two words on a, one on b); a
            non-letter can never be met, so there are no anagrams.
        can_only_ever_start_with: every word begins with one of these
            characters ("" lets no word start).
        must_not_start_with: no word begins with one of these characters.
        max_words: at most this many words per anagram.
        min_word_length: only words of at least this many letters.
        timeout_seconds: stop after this many seconds, returning what was found.
        max_solutions: stop after this many anagrams.
        contains_patterns: each pattern (letters only) must occur inside one word.

        Counts must lie in 0..4294967295 (OverflowError otherwise).
        """

    def count(
        self,
        phrase: str,
        must_start_with: str | None = None,
        can_only_ever_start_with: str | None = None,
        must_not_start_with: str | None = None,
        max_words: int | None = None,
        min_word_length: int | None = None,
        timeout_seconds: float | None = None,
        max_solutions: int | None = None,
        contains_patterns: Sequence[str] | None = None,
    ) -> int:
        """Return len(solve(...)) for the same arguments, without building any anagram.

        Exact at any size (an int beyond 64 bits when it must be), and fast:
        milliseconds for phrases with hundreds of millions of anagrams. The
        interpreter lock is released while it counts, and Ctrl-C stops it
        (KeyboardInterrupt). max_solutions caps the count; when
        timeout_seconds runs out first it raises TimeoutError, since a
        partial count is no answer. A phrase beyond exact counting within
        the count's memory and work budget raises MemoryError (within
        seconds; with max_solutions the count goes on to the cap instead;
        with max_words it first walks the word multisets for up to 10 s).
        """

    def iter_solve(
        self,
        phrase: str,
        must_start_with: str | None = None,
        can_only_ever_start_with: str | None = None,
        must_not_start_with: str | None = None,
        max_words: int | None = None,
        min_word_length: int | None = None,
        timeout_seconds: float | None = None,
        max_solutions: int | None = None,
        contains_patterns: Sequence[str] | None = None,
    ) -> SolveIterator:
        """Yield the anagrams of solve(...) one at a time, in the same order.

        Memory stays bounded by the dictionary and the phrase, never by the
        number of anagrams, so any phrase can be served; the first comes in
        milliseconds. max_solutions=N gives the first N of the order (solve's
        cap gives some N). timeout_seconds counts from this call and ends the
        iteration; `timed_out` then says so. Each batch is computed without
        the interpreter lock, and Ctrl-C stops it (KeyboardInterrupt).
        """

    def load_scores(self, scores: Mapping[str, float], default: float | None = None) -> None:
        """Set the score of each word, for iter_best() and best(); higher is better.

        Words are normalised as dictionary words are ("Tin-Sel" scores
        tinsel); a later score for a word overrides. A word with no score
        scores `default`, 0.0 until a load sets it. Scores are kept in
        millionths (rounded), so sums are exact and equal sums tie; each
        must be finite and within -1e9..1e9 (ValueError, and nothing is
        kept). Scoring a word does not add it to the dictionary.
        """

    def load_scores_from_path(self, path: str, default: float | None = None) -> None:
        """load_scores() from a UTF-8 file of `word<TAB>score` lines (blank lines skipped).

        Raises OSError("Failed to read scores: ...") when the file cannot be
        read, ValueError naming the first bad line; nothing is kept then.
        """

    def iter_best(
        self,
        phrase: str,
        must_start_with: str | None = None,
        can_only_ever_start_with: str | None = None,
        must_not_start_with: str | None = None,
        max_words: int | None = None,
        min_word_length: int | None = None,
        timeout_seconds: float | None = None,
        max_solutions: int | None = None,
        contains_patterns: Sequence[str] | None = None,
    ) -> BestIterator:
        """Yield every anagram of solve(...) as (score, words), best score first.

        An anagram's score is the sum of its words' scores (load_scores());
        equal scores come in solve's order. max_solutions=N gives the best N.
        The first comes in milliseconds on everyday phrases: a bound table
        over the phrase's letters, then a best-first search. A run of equal
        scores is collected whole before any of it is yielded, so with no
        scores loaded (every anagram ties) it costs what solve() does.
        timeout_seconds counts from this call and ends the iteration
        (`timed_out`); each batch is computed without the interpreter lock,
        and Ctrl-C stops it (KeyboardInterrupt). Its tables are capped at
        1 GiB (less when this process may allocate less): past the cap it
        raises MemoryError, at once when the bound table alone is too big.
        """

    def best(
        self,
        phrase: str,
        n: int,
        must_start_with: str | None = None,
        can_only_ever_start_with: str | None = None,
        must_not_start_with: str | None = None,
        max_words: int | None = None,
        min_word_length: int | None = None,
        timeout_seconds: float | None = None,
        max_solutions: int | None = None,
        contains_patterns: Sequence[str] | None = None,
    ) -> list[tuple[float, list[str]]]:
        """Return the best `n` anagrams as list(iter_best(...)) would, capped at n.

        max_solutions, when given too, caps it as well: the smaller wins.
        """
