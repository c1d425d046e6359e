"""Find anagrams of a phrase with a few constraints.

Run from the repository root after `./anagrams` has built the module once:
    python3 examples/solve_with_constraints.py
(after `pip install .` it runs from anywhere).
"""

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "build"))  # the module ./anagrams built; harmless after pip install

import core

solver = core.Solver()
solver.load_dictionary_from_path(str(ROOT / "data" / "words.txt"))

phrase = "Clint Eastwood"

# Two words at most, none shorter than four letters.
for words in solver.solve(phrase, max_words=2, min_word_length=4):
    print(" ".join(words))

# Some word must contain "east", no word may begin with a vowel, and
# stop after ten answers (which ten is not defined).
found = solver.solve(
    phrase,
    contains_patterns=["east"],
    must_not_start_with="aeiou",
    max_words=3,
    max_solutions=10,
)
print(f"\n{len(found)} with 'east' and no word starting with a vowel:")
for words in found:
    print("  " + " ".join(words))

# None means "no constraint"; an empty string is a constraint of its own:
# no letter is allowed to start a word, so nothing can be found.
assert solver.solve(phrase, can_only_ever_start_with="") == []
