#!/usr/bin/env python3
"""Writes a word score file from the English frequencies of the `wordfreq`
package: one line `word<TAB>score` for each word of the word list, in the word
list's order, UTF-8.

    score = log10(frequency) - PENALTY  =  zipf_frequency(word, 'en') - 9 - PENALTY

An anagram's score is the sum of its words' scores, so the constant PENALTY
(one per word) favours anagrams of fewer words; words that wordfreq does not
know get the score FLOOR - PENALTY. Scores are written with at most three
decimals. The output depends only on the word list, the options and the
wordfreq version (pinned in pyproject.toml's `tools` extra); data/README.md
says why the defaults are what they are.

Usage: tools/gen_word_scores.py [WORDS] [--output FILE] [--penalty P] [--floor F]
WORDS defaults to data/words.txt, FILE to data/words.scores. Needs wordfreq
(`pip install '.[tools]'` or `pip install wordfreq==3.1.1` in a venv); nothing
else in the project does.
"""
import argparse
import os
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
DEFAULT_WORDS = os.path.join(ROOT, "data", "words.txt")
DEFAULT_OUT = os.path.join(ROOT, "data", "words.scores")
# log10 of one occurrence in a billion words: wordfreq's own zero point (Zipf 0),
# a full unit below the rarest word it lists (Zipf 1.0).
DEFAULT_FLOOR = -9.0
# Chosen with bench/bench_rank_quality.py (see data/README.md).
DEFAULT_PENALTY = 0.0


def read_words(path):
    words, seen = [], set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            word = line.strip()
            if word and word not in seen:
                seen.add(word)
                words.append(word)
    return words


def format_score(value):
    text = f"{value:.3f}".rstrip("0")
    text = text + "0" if text.endswith(".") else text
    return "0.0" if text == "-0.0" else text


def score_lines(words, zipf, floor, penalty):
    """The lines for `words`; `zipf(word)` is the word's Zipf frequency, 0 if unknown."""
    for word in words:
        z = zipf(word)
        score = (z - 9.0 if z > 0 else floor) - penalty
        yield f"{word}\t{format_score(score)}\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("words", nargs="?", default=DEFAULT_WORDS, help="word list, one word per line")
    parser.add_argument("--output", default=DEFAULT_OUT, help="score file to write")
    parser.add_argument("--penalty", type=float, default=DEFAULT_PENALTY,
                        help=f"subtracted from every word's score (default {DEFAULT_PENALTY})")
    parser.add_argument("--floor", type=float, default=DEFAULT_FLOOR,
                        help=f"log10 frequency given to words wordfreq does not know (default {DEFAULT_FLOOR})")
    args = parser.parse_args(argv)
    try:
        from wordfreq import zipf_frequency
    except ImportError:
        sys.exit("gen_word_scores: needs the wordfreq package: pip install 'wordfreq==3.1.1'")

    words = read_words(args.words)
    lines = score_lines(words, lambda w: zipf_frequency(w, "en"), args.floor, args.penalty)
    tmp = args.output + ".tmp"
    with open(tmp, "w", encoding="utf-8", newline="\n") as f:
        f.writelines(lines)
    os.replace(tmp, args.output)
    print(f"{os.path.normpath(args.output)}: {len(words)} words", file=sys.stderr)


if __name__ == "__main__":
    main()
