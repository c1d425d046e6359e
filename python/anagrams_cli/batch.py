"""Counts of many phrases (`anagrams - --count`) on several workers.

count() gives the interpreter lock up while it computes, so threads answer
phrases side by side; each answer is written in input order as soon as it
and those before it are done, with a bounded number in flight. The number
of workers is ANAGRAM_THREADS when set, else the cores this process may
use; each count then runs on one thread of its own.
"""

from __future__ import annotations

import copy
import io
import os
from collections import deque
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, Iterable


def worker_count() -> int:
    text = os.environ.get("ANAGRAM_THREADS", "")
    if text.isdigit() and 1 <= int(text) <= 1024:
        return int(text)
    return max(1, len(os.sched_getaffinity(0)))


def _answer(command: Any, phrase: str) -> tuple[int, str]:
    mine = copy.copy(command)
    mine.out = io.StringIO()
    status = mine.answer(phrase)
    return status, mine.out.getvalue()


def answer_counts(command: Any, phrases: Iterable[str], workers: int) -> int:
    """Answers each phrase with `command` on `workers` threads; returns the worst status."""
    status = 0
    saved = os.environ.get("ANAGRAM_THREADS")
    os.environ["ANAGRAM_THREADS"] = "1"  # the workers share the cores, not each count
    try:
        with ThreadPoolExecutor(max_workers=workers) as pool:
            pending: deque[Future[tuple[int, str]]] = deque()

            def write_first() -> None:
                nonlocal status
                done, text = pending.popleft().result()
                status = max(status, done)
                command.out.write(text)
                command.out.flush()

            for phrase in phrases:
                pending.append(pool.submit(_answer, command, phrase))
                if len(pending) >= 4 * workers:
                    write_first()
            while pending:
                write_first()
    finally:
        if saved is None:
            os.environ.pop("ANAGRAM_THREADS", None)
        else:
            os.environ["ANAGRAM_THREADS"] = saved
    return status
