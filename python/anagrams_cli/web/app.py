"""Starting the web page's server: the word list and scores from the command
line, a socket on the host and port asked for (a free port by default), the
address printed, then uvicorn until Ctrl-C."""

from __future__ import annotations

import argparse
import importlib.util
import socket
from dataclasses import replace
from typing import Any, Callable, TextIO

from . import DEFAULT_HOST, NEEDS


def missing_stack() -> list[str]:
    return [need for need in NEEDS if importlib.util.find_spec(need.split("==")[0]) is None]


def _open_socket(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((host, port))
    sock.listen(128)
    sock.set_inheritable(True)
    return sock


def load_engine(args: argparse.Namespace, core: Any) -> Any:
    """The Engine over the word list and scores named on the command line;
    a str (the message) when they cannot be read."""
    from .. import cli, ranked, wordlist
    from ..folding import fold
    from ..letters import letters_of
    from .engine import Engine, Limits, read_scores

    source = cli._word_source(args)
    if source is None:
        return "no word list found; give one with --dict PATH"
    if source.path is None:
        return "--serve reads the word list from a file: give --dict PATH, not -"
    solver = core.Solver()
    key = letters_of if args.no_fold else (lambda text: letters_of(fold(text)))
    exclude = frozenset(k for value in args.exclude or [] for k in map(key, value.split()) if k)
    try:
        loaded = wordlist.load(solver, core, source, args.max_length, True,
                               folding=not args.no_fold, exclude=exclude)
    except wordlist.WordListError as e:
        return str(e)
    error = ranked.load_scores(solver, args)
    if error:
        return error
    path = args.scores or ranked.default_scores()
    scores = read_scores(path) if path else None
    base = argparse.Namespace(**vars(args))
    # What a request may not set comes from no one: the page's own fields,
    # and the server's limits, replace the rest.
    for name in ("used", "max", "timeout", "test", "include", "enum", "min_words"):
        setattr(base, name, None)
    base.words = base.count = base.json = base.trace = False
    limits = Limits()
    if args.timeout is not None:
        # --timeout shortens the server's own limits; it never lengthens them.
        limits = replace(limits, search_seconds=min(args.timeout, limits.search_seconds),
                         count_seconds=min(args.timeout, limits.count_seconds))
    return Engine(solver, loaded, scores, base, limits, unscored=ranked.UNSCORED)


def main(args: argparse.Namespace, load_core: Callable[[], Any], out: TextIO, err: TextIO) -> int:
    missing = missing_stack()
    if missing:
        err.write("anagrams: --serve needs " + " and ".join(missing) + ": pip install '.[web]' "
                  "in the checkout (or pip install " + " ".join(f"'{m}'" for m in missing) + ")\n")
        return 1
    if args.phrase:
        err.write("anagrams: --serve takes no PHRASE: type it on the page\n")
        return 2
    host = args.host or DEFAULT_HOST
    if args.port is not None and not 0 <= args.port <= 65535:
        err.write("anagrams: --port must be between 0 and 65535\n")
        return 2
    engine = load_engine(args, load_core())
    if isinstance(engine, str):
        err.write(f"anagrams: {engine}\n")
        return 1
    try:
        sock = _open_socket(host, args.port or 0)
    except OSError as e:
        err.write(f"anagrams: cannot listen on {host} port {args.port or 0}: {e.strerror or e}\n")
        return 1
    if host not in (DEFAULT_HOST, "localhost", "::1"):
        err.write(f"anagrams: warning: listening on {host}: anyone who can reach this machine "
                  "can use the page\n")
    port = sock.getsockname()[1]
    shown = f"[{host}]" if ":" in host else host
    out.write(f"anagrams: serving the page at http://{shown}:{port}/ (Ctrl-C stops it)\n")
    out.flush()

    import uvicorn

    from .server import create_app

    config = uvicorn.Config(create_app(engine), log_level="warning", access_log=False,
                            timeout_graceful_shutdown=1)
    server = uvicorn.Server(config)
    try:
        server.run(sockets=[sock])
    except KeyboardInterrupt:
        pass
    return 0
