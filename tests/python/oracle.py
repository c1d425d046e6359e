"""A slow, obviously-correct model of what Solver.solve returns.

It never touches the engine: it lists every multiset of dictionary words whose
letters are exactly the phrase's letters, keeps those that meet the options,
and sorts them into the result order. timeout_seconds and max_solutions only
cut a search short, so they are left to the tests.
"""

import string
import unicodedata
from collections import Counter

ASCII_LETTERS = frozenset(string.ascii_letters)

# Characters that carry the Unicode Alphabetic property without being letters
# (general category L*) or letter numbers (Nl). Python has no query for the
# property, so the tests draw their non-ASCII characters from a known list and
# the ones of this kind that they use are named here.
OTHER_ALPHABETIC = frozenset("\u0345\u05b0\u0903\u0bbe")


def ascii_lower(text):
    return "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in text)


def normalize_word(text):
    return "".join(ascii_lower(c) for c in text if c in ASCII_LETTERS)


def is_alphabetic(ch):
    return unicodedata.category(ch) in ("Lu", "Ll", "Lt", "Lm", "Lo", "Nl") or ch in OTHER_ALPHABETIC


def phrase_counts(phrase):
    """Letter counts of the phrase, or None when it holds a non-ASCII letter."""
    counts = Counter()
    for ch in phrase:
        if ch in ASCII_LETTERS:
            counts[ascii_lower(ch)] += 1
        elif ord(ch) >= 0x80 and is_alphabetic(ch):
            return None
    return counts


def result_key(solution):
    return (len(solution), -min(len(w) for w in solution), solution)


def sort_results(solutions):
    """The result order: fewer words, then longer shortest word, then word by word."""
    return sorted((list(s) for s in solutions), key=lambda s: result_key(tuple(s)))


def _fits(need, have):
    return all(have[ch] >= n for ch, n in need.items())


def all_multisets(vocab, counts, max_words=None):
    """Every multiset (as an ascending tuple) of `vocab` words spelling `counts`."""
    cands = [(w, Counter(w)) for w in sorted(vocab) if _fits(Counter(w), counts)]
    out = []

    def walk(start, remaining, chosen):
        if not +remaining:
            out.append(tuple(chosen))
            return
        if max_words is not None and len(chosen) >= max_words:
            return
        for i in range(start, len(cands)):
            word, need = cands[i]
            if _fits(need, remaining):
                chosen.append(word)
                walk(i, remaining - need, chosen)
                chosen.pop()

    walk(0, +counts, [])
    return out


def solve(words, phrase, must_start_with=None, can_only_ever_start_with=None,
          must_not_start_with=None, max_words=None, min_word_length=None,
          contains_patterns=None):
    """The full result of a request over dictionary `words`, as a list of lists."""
    counts = phrase_counts(phrase)
    if counts is None or not +counts:
        return []
    only = set(ascii_lower(can_only_ever_start_with)) if can_only_ever_start_with is not None else None
    never = set(ascii_lower(must_not_start_with)) if must_not_start_with is not None else None

    def usable(word):
        if min_word_length is not None and len(word) < min_word_length:
            return False
        if only is not None and word[0] not in only:
            return False
        return never is None or word[0] not in never

    vocab = {normalize_word(w) for w in words} - {""}
    vocab = {w for w in vocab if usable(w)}
    found = all_multisets(vocab, counts, max_words)

    if must_start_with is not None:
        needed = Counter(ascii_lower(must_start_with))
        found = [s for s in found
                 if all(sum(w[0] == ch for w in s) >= n for ch, n in needed.items())]
    if contains_patterns is not None:
        patterns = [p for p in map(normalize_word, contains_patterns) if p]
        found = [s for s in found if all(any(p in w for w in s) for p in patterns)]
    return sort_results(found)
