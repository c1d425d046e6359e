"""Writing anagrams as they come: plain lines, a JSON array, or one JSON line
per phrase, with an optional progress bar."""

from __future__ import annotations

import json
import os
import signal
import sys
import time
from itertools import islice
from typing import Any, Callable, Iterable, Iterator, TextIO

# Large results get a progress bar; tests lower the bar with this variable.
PROGRESS_ENV = "ANAGRAMS_PROGRESS_MIN_LINES"
PROGRESS_MIN_LINES = 1_000_000
_LARGEST_CHUNK = 4096

Anagram = list[str]


class Listed:
    """A finished list of anagrams as an iterator that, like iter_solve's,
    tells afterwards whether the time limit cut the search short."""

    def __init__(self, items: Iterable[Anagram], timed_out: bool = False) -> None:
        self._items = iter(items)
        self.timed_out = timed_out

    def __iter__(self) -> Listed:
        return self

    def __next__(self) -> Anagram:
        return next(self._items)


def solve_listed(solver: Any, phrase: str, **options: Any) -> Listed:
    """`solve` as a Listed (its cap, `max_solutions`, keeps an arbitrary N)."""
    started = time.monotonic()
    result = solver.solve(phrase, **options)
    timeout = options.get("timeout_seconds")
    # The search gives up only after its limit has passed, so a call that
    # returned sooner was complete.
    timed_out = timeout is not None and time.monotonic() - started >= timeout
    return Listed(result, timed_out)


def solve_traced(solver: Any, phrase: str, **options: Any) -> Listed:
    """`solve_listed` in a child process. solve holds the interpreter lock and
    checks no signal for the whole search, and a traced search can run for
    hours: here Ctrl-C ends the child at once (the trace written so far
    stays) and reaches this process as KeyboardInterrupt."""
    if not hasattr(os, "fork"):
        return solve_listed(solver, phrase, **options)
    sys.stdout.flush()
    sys.stderr.flush()
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: solve, send the words back, and go
        status = 1
        try:
            os.close(read_end)
            signal.signal(signal.SIGINT, signal.SIG_DFL)
            found = solve_listed(solver, phrase, **options)
            text = f"{int(found.timed_out)}\n" + "".join(" ".join(w) + "\n" for w in found)
            with os.fdopen(write_end, "wb") as pipe:
                pipe.write(text.encode("ascii"))
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    try:
        with os.fdopen(read_end, "rb") as pipe:
            data = pipe.read()
        _, status = os.waitpid(pid, 0)
    except BaseException:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        raise
    if os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGINT:
        raise KeyboardInterrupt
    if not data:
        raise RuntimeError(f"the traced search ended without a result (status {status})")
    head, _, body = data.decode("ascii").partition("\n")
    return Listed([line.split(" ") for line in body.splitlines()], head == "1")


def _plain(chunk: list[Anagram]) -> str:
    return "".join([" ".join(words) + "\n" for words in chunk])


def _json_items(chunk: list[Anagram], sep: str) -> str:
    # Words come as letters a-z or already escaped, so quoting them by hand
    # is exact JSON and several times faster than json.dumps per anagram.
    return sep.join(['["' + '", "'.join(words) + '"]' for words in chunk])


class Form:
    """How a stream of anagrams is written: what opens and closes it, and
    how each chunk of anagrams becomes text."""

    def __init__(self, opening: str, closing: str, sep: str | None) -> None:
        self.opening, self.closing, self.sep = opening, closing, sep

    def render(self, chunk: list[Anagram], first: bool) -> str:
        if self.sep is None:
            return _plain(chunk)
        return ("" if first else self.sep) + _json_items(chunk, self.sep)


def plain_form(header: str | None = None) -> Form:
    return Form("" if header is None else f"# {header}\n", "", None)


def json_array_form() -> Form:
    return Form("[", "]\n", ",\n")


def json_line_form(phrase: str, key: str = "anagrams") -> Form:
    return Form('{"phrase": ' + json.dumps(phrase, ensure_ascii=False) + f', "{key}": [', "]}\n", ", ")


class _Deferred:
    """Holds Ctrl-C back while the text it guards is written, so that a JSON
    document is never cut inside a write (a write interrupted part way
    cannot tell how much of it went out); the interrupt follows at once."""

    def __init__(self) -> None:
        self.caught = False

    def _catch(self, signum: int, frame: Any) -> None:
        self.caught = True

    def write(self, out: TextIO, text: str) -> None:
        try:
            previous = signal.signal(signal.SIGINT, self._catch)
        except ValueError:  # not the main thread: no Ctrl-C arrives here anyway
            previous = None
        try:
            out.write(text)
            out.flush()
        finally:
            if previous is not None:
                signal.signal(signal.SIGINT, previous)
        if self.caught:
            raise KeyboardInterrupt


def stream(out: TextIO, items: Iterator[Anagram], form: Form, prefix: Anagram,
           advance: Callable[[int], object] | None = None) -> int:
    """Writes `items` (each after the words of `prefix`) as they come and
    returns how many were written. Chunks start at one anagram, so the first
    line shows at once, and grow to a few thousand, so that a fast search is
    not slowed by a write per line. A JSON form cut short by Ctrl-C is still
    closed."""
    whole = form.sep is not None
    deferred = _Deferred()

    def write(text: str) -> None:
        if whole:
            deferred.write(out, text)
        else:
            out.write(text)
            out.flush()

    written, size = 0, 1
    try:
        write(form.opening)
        while chunk := list(islice(items, size)):
            if prefix:
                chunk = [prefix + words for words in chunk]
            write(form.render(chunk, written == 0))
            written += len(chunk)
            size = min(2 * size, _LARGEST_CHUNK)
            if advance is not None:
                advance(len(chunk))
    except KeyboardInterrupt:
        if whole:
            deferred.caught = False
            try:
                deferred.write(out, form.closing)
            except KeyboardInterrupt:  # a second Ctrl-C: leave it open
                pass
        raise
    write(form.closing)
    return written


def progress_threshold() -> int:
    try:
        return int(os.environ.get(PROGRESS_ENV, PROGRESS_MIN_LINES))
    except ValueError:
        return PROGRESS_MIN_LINES


class CountedBar:
    """The progress bar, sized by a count that starts on another thread once
    the first lines are out: the first line never waits for it, nor shares
    the processor with it. No bar where the count fails (too long, beyond
    exact counting) or finds too few lines."""

    def __init__(self, count: Callable[[], int | None]) -> None:
        self.leave = True
        self._count = count
        self._written = 0
        self._total: int | None = None
        self._bar: LazyBar | None = None
        self._thread: Any = None
        self._decided = False

    def _run(self) -> None:
        try:
            self._total = self._count()
        except Exception:  # any failure only costs the bar
            self._total = None

    def update(self, n: int) -> None:
        self._written += n
        if self._thread is None:
            import threading  # here: most runs of the command start no thread

            thread = threading.Thread(target=self._run, name="bar count")
            thread.start()
            self._thread = thread  # once started: a Ctrl-C in start() leaves none to join
        elif not self._decided and not self._thread.is_alive():
            self._decided = True
            if self._total is not None and self._total > progress_threshold():
                self._bar = LazyBar(self._total)
                n = self._written  # the lines written before the count was in
        if self._bar is not None:
            self._bar.update(n)

    def close(self) -> None:
        if self._thread is not None:
            self._thread.join()  # the count has its own time limit
        if self._bar is not None:
            self._bar.leave = self.leave
            self._bar.close()


def progress_bar(total: int) -> Any:
    """A bar on standard error for `total` lines, or None without tqdm (the
    command's optional dependency)."""
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        return None
    return tqdm(total=total, file=sys.stderr, unit=" lines", unit_scale=True,
                dynamic_ncols=True, smoothing=0.1)


class LazyBar:
    """The progress bar, made when the first lines are out: importing tqdm
    takes about as long as the search's first line, which must not wait."""

    def __init__(self, total: int) -> None:
        self.total = total
        self.leave = True
        self._bar: Any = None
        self._tried = False

    def update(self, n: int) -> None:
        if not self._tried:
            self._tried = True
            self._bar = progress_bar(self.total)
        if self._bar is not None:
            self._bar.update(n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.leave = self.leave
            self._bar.close()
