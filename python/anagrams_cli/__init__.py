"""Command-line front end of the anagram solver (`anagrams PHRASE ...`)."""

from .cli import build_parser, default_dictionary, main

__all__ = ["build_parser", "default_dictionary", "main"]
