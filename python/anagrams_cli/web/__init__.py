"""The command's local web page (`anagrams --serve`). This file is imported
with the command, so it stays light: the web stack is imported only to serve."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Callable

DEFAULT_HOST = "127.0.0.1"
# The pinned web stack; pyproject.toml's extra `web` names the same versions.
NEEDS = ("starlette==1.10.0", "uvicorn==0.55.0")


def add_options(parser: argparse.ArgumentParser) -> None:
    g = parser.add_argument_group("web page")
    g.add_argument("--serve", action="store_true",
                   help="serve a local web page instead (no PHRASE): type a phrase and see the "
                   "count and the best anagrams as they are found, and work one by hand. Uses "
                   "--dict, --max-length, --scores and --timeout (the longest a search may run, at most "
                   "4 seconds); needs pip install '.[web]'")
    g.add_argument("--host", metavar="ADDRESS",
                   help=f"with --serve, listen on ADDRESS instead of {DEFAULT_HOST} (this machine "
                   "only); anyone who can reach it can then use the page")
    g.add_argument("--port", type=int, metavar="N",
                   help="with --serve, listen on port N (default: a free one)")


def serve(args: argparse.Namespace, load_core: Callable[[], Any]) -> int:
    from .app import main

    return main(args, load_core, sys.stdout, sys.stderr)
