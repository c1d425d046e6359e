"""The best anagrams of a phrase first, ranked by how common their words are.

Run from the repository root after ./anagrams has built the module:
    PYTHONPATH=build python3 examples/best_anagrams.py "Clint Eastwood"
"""

import itertools
import sys

import core

solver = core.Solver()
solver.load_dictionary_from_words(
    [w for w in open("data/words.txt", encoding="utf-8").read().split("\n") if len(w) > 1 or w in ("a", "i")])
# log10 word frequencies; words the file lacks rank with the rarest.
solver.load_scores_from_path("data/words.scores", default=-9.0)

phrase = " ".join(sys.argv[1:]) or "Clint Eastwood"
print(f"{solver.count(phrase):,} anagrams of {phrase!r}; the best ten of at most three words:")
for score, words in itertools.islice(solver.iter_best(phrase, max_words=3), 10):
    print(f"{score:7.2f}  {' '.join(words)}")
