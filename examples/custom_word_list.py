"""Load your own word list and time a request.

    python3 examples/custom_word_list.py                 # a small built-in list
    python3 examples/custom_word_list.py WORDS.txt PHRASE  # one word a line, UTF-8
"""

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "build"))  # see solve_with_constraints.py

import core

solver = core.Solver()
if len(sys.argv) == 3:
    try:
        solver.load_dictionary_from_path(sys.argv[1])
    except OSError as e:  # "Failed to read dictionary: ..."
        sys.exit(str(e))
    phrase = sys.argv[2]
else:
    # Each string is one word: case, blanks and punctuation are dropped, so
    # "Tin-Sel" is stored as tinsel; loading adds to what is there already.
    solver.load_dictionary_from_words(["listen", "silent", "enlist", "Tin-Sel", "list", "en", "ne"])
    solver.add_word("inlets")
    phrase = "Listen!"

start = time.perf_counter()
solutions = solver.solve(phrase)
elapsed = time.perf_counter() - start

for words in solutions:
    print(" ".join(words))
print(f"{len(solutions)} anagrams of {phrase!r} in {elapsed * 1000:.2f} ms", file=sys.stderr)
