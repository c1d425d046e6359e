"""solve of a large plain result comes from the ordered search, streamed
straight into the lists: whole, capped or cut short by the time limit, it is
a prefix of the result order."""

import pytest

from conftest import WORD_LIST, solver_from_path


@pytest.fixture(scope="module")
def clint():
    solver = solver_from_path(WORD_LIST)
    return solver, solver.solve("clint eastwood")


def test_whole_capped_and_cut_short_results_are_prefixes_of_the_order(clint):
    solver, full = clint
    assert len(full) == 898597 == solver.count("clint eastwood")
    assert solver.solve("clint eastwood", max_solutions=600000) == full[:600000]
    for limit in (0.01, 0.05):
        part = solver.solve("clint eastwood", timeout_seconds=limit)
        assert part == full[:len(part)]
    assert solver.solve("clint eastwood", timeout_seconds=0) == []
