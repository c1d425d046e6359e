"""Command-line front end of the anagram solver (`anagrams PHRASE ...`)."""

from ._version import __version__
from .cli import build_parser, default_dictionary, main

__all__ = ["__version__", "build_parser", "default_dictionary", "main"]
