"""Command-line front end of the anagram solver (`anagrams PHRASE ...`).

For Python users: `fold(text)` folds letters with diacritics as the command
does (é -> e, ß -> ss), and `bundled_word_list()` is the path of the word
list installed with the package."""

from ._version import __version__
from .cli import build_parser, bundled_word_list, default_dictionary, main
from .folding import fold

__all__ = ["__version__", "build_parser", "bundled_word_list", "default_dictionary", "fold", "main"]
