"""The command's fast path for its bundled word list drops exactly the lines
that the word-by-word rule drops (one-letter words other than a and i)."""

import sys

from hypothesis import given, settings, strategies as st

from conftest import ROOT

sys.path.insert(0, str(ROOT / "python"))
from anagrams_cli import wordlist  # noqa: E402


def key(word):
    return "".join(c for c in word.lower() if "a" <= c <= "z")


def letters(words):
    return [k for k in map(key, words) if k]


@settings(max_examples=500, deadline=None)
@given(st.lists(st.text(alphabet="aibzAIBZ'- \r\té1", max_size=4), min_size=1, max_size=6))
def test_one_pass_filter_matches_the_word_rule(lines):
    text = "\n".join(lines)
    by_word = [w for w in text.split("\n") if wordlist._keeps(key(w), None, True)]
    one_pass = wordlist._DROPPED_ONE_LETTER_LINES.sub("", text).split("\n")
    assert letters(one_pass) == letters(by_word)
