"""Phrases of 30-40 letters: the count past the dense table's cap, the
answer for a phrase beyond exact counting, its time limit and Ctrl-C, the
same two in iter_solve's long walk, and the batch counts on several
workers."""


import core
import pytest

from cli_run import command_env, run
from conftest import WORD_LIST, interrupt_child, sanitizer_loaded

# Long counts under AddressSanitizer outlast the run.
# (tests/cpp run the same counts under it)
pytestmark = pytest.mark.skipif(sanitizer_loaded(), reason="not run under AddressSanitizer")

# Past what the reached states can hold: said within seconds.
BEYOND = "the quick brown fox jumps over the lazy dog twice again"
LONG = "the quick brown fox jumps over the lazy dog"  # past the dense cap: seconds over reached states
# No anagram, which iter_solve proves over tables of values it fills as it
# goes: a minute and more.
NO_ANAGRAM = "sphinx of black quartz judge my vow xxq"
TABLE = "a stitch in time saves nine said the old tailor"  # one dense table, seconds to build


@pytest.fixture(scope="module")
def solver():
    s = core.Solver()
    s.load_dictionary_from_words([w for w in WORD_LIST.read_text().split() if len(w) > 1 or w in "ai"])
    return s


def test_beyond_exact_counting_is_said_and_a_cap_still_counts(solver):
    with pytest.raises(MemoryError, match="max_solutions"):
        solver.count(BEYOND)
    assert solver.count(BEYOND, max_solutions=1000) == 1000
    done = run(BEYOND, "--count")
    assert done.returncode == 1 and done.stdout == "" and "--max N" in done.stderr


def test_a_word_limit_counts_what_the_tables_cannot_hold(solver):
    # The tables are too large with a limit's word counts in every state; the
    # limit lets the walk answer instead, as solve does.
    assert solver.count(LONG, max_words=4) == len(solver.solve(LONG, max_words=4)) == 0
    assert solver.count(BEYOND, max_words=3) == 0
    # A limit that leaves the walk long is beyond exact counting, as before.
    with pytest.raises(MemoryError, match="max_solutions"):
        solver.count(LONG, max_words=6)


@pytest.mark.parametrize("phrase", [LONG, TABLE])
@pytest.mark.parametrize("threads", ["1", "2"])
def test_a_long_count_stops_at_its_time_limit(solver, monkeypatch, phrase, threads):
    monkeypatch.setenv("ANAGRAM_THREADS", threads)
    with pytest.raises(TimeoutError):
        solver.count(phrase, timeout_seconds=0.5)
    solver.count("clint eastwood")  # usable after


@pytest.mark.parametrize("phrase", [LONG, TABLE])
def test_ctrl_c_stops_a_long_count(phrase):
    # Well inside the count after a second, the table build included. The
    # command's list, as the solver fixture's: over the whole file (every
    # letter a word) the pangram is refused after a second, racing Ctrl-C.
    out, err, _ = interrupt_child(f"""
        import core
        s = core.Solver()
        s.load_dictionary_from_words([w for w in open({str(WORD_LIST)!r}).read().split() if len(w) > 1 or w in "ai"])
        print("ready", flush=True)
        try:
            s.count({phrase!r})
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        print(s.count("listen", max_words=1))
    """, delay=1.0, env={"ANAGRAM_THREADS": "2"}, timeout=60)
    assert out == "interrupted\n5\n", err


def test_counts_do_not_depend_on_the_threads(solver, monkeypatch):
    # Dense tables whose steps are shared out, and one count over reached states.
    phrases = ["the internal rotation estimates of", "presentation of rare sentiments hi",
               "clint eastwood old west action", "sphinx of black quartz judge my vow"]
    counts = {}
    for threads in ("1", "2", "3"):
        monkeypatch.setenv("ANAGRAM_THREADS", threads)
        counts[threads] = [solver.count(p) for p in phrases] + [solver.count(p, max_words=4) for p in phrases]
    assert counts["1"] == counts["2"] == counts["3"]
    # The dense table's count (before the reached states were tried first).
    assert counts["1"][3] == 81037392


def test_time_limit_and_ctrl_c_end_the_ordered_search_in_its_tables(solver):
    it = solver.iter_solve(NO_ANAGRAM, timeout_seconds=0.5)
    assert next(it, None) is None and it.timed_out
    out, err, _ = interrupt_child(f"""
        import core
        s = core.Solver()
        s.load_dictionary_from_words([w for w in open({str(WORD_LIST)!r}).read().split() if len(w) > 1 or w in "ai"])
        it = s.iter_solve({NO_ANAGRAM!r})
        print("ready", flush=True)
        try:
            print("finished", next(it, None), flush=True)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """, timeout=60)
    assert out == "interrupted\n", err


def test_batch_counts_on_several_workers_keep_input_order():
    phrases = ["clint eastwood", "", "dormitory", "listen silent", "x", "café", "anagram solver engine",
               "william shakespeare"] * 6
    text = "\n".join(phrases) + "\n"
    one = run("-", "--count", input=text, env=command_env({"ANAGRAM_THREADS": "1"}))
    two = run("-", "--count", input=text, env=command_env({"ANAGRAM_THREADS": "3"}))
    assert two.returncode == one.returncode == 0
    assert two.stdout == one.stdout
    assert [line.split("\t")[0] for line in two.stdout.splitlines()] == [p for p in phrases if p]
