"""INTERIM STAND-IN -- delete this file once core.Solver has count() and
iter_solve(), and make the two calls in cli.py (`_count_anagrams`,
`_iter_anagrams`) call the methods directly.

Until then these use the real methods when the module has them and fall
back to solve(), which builds the whole result first.
"""

from __future__ import annotations

import time
from typing import Any, Iterator

from .results import solve_listed


def count(solver: Any, **options: Any) -> int:
    if hasattr(solver, "count"):
        return int(solver.count(**options))
    phrase = options.pop("phrase")
    started = time.monotonic()
    found = len(solver.solve(phrase, **options))
    timeout = options.get("timeout_seconds")
    if timeout is not None and time.monotonic() - started >= timeout:
        raise TimeoutError("the count was cut short by timeout_seconds")
    return found


def iter_solve(solver: Any, **options: Any) -> Iterator[list[str]]:
    if hasattr(solver, "iter_solve"):
        return solver.iter_solve(**options)  # type: ignore[no-any-return]
    phrase = options.pop("phrase")
    return solve_listed(solver, phrase, **options)
