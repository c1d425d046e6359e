"""The command streams: output in result order as it is found, --max as the
first N of that order, a JSON array written piece by piece, a quiet end on
a closed pipe or Ctrl-C, and a progress bar only where it helps."""

import json
from itertools import islice
import os
import pty
import select
import signal
import subprocess

import core
import pytest

from cli_run import WORDS, argv, command_env, lines, run

BIG = "clint eastwood"  # 898,597 anagrams on data/words.txt


@pytest.fixture(scope="module")
def full():
    solver = core.Solver()
    solver.load_dictionary_from_path(str(WORDS))
    return solver


@pytest.mark.parametrize("phrase, args, kwargs", [
    ("william shakespeare", ["--min-length", "4"], dict(min_word_length=4)),
    ("Clint Eastwood", ["--max-words", "3", "--not-start-with", "aeiou"],
     dict(max_words=3, must_not_start_with="aeiou")),
    ("dormitory", ["--contains", "o"], dict(contains_patterns=["o"])),
])
def test_max_prints_the_first_n_in_result_order(full, phrase, args, kwargs):
    everything = full.solve(phrase, **kwargs)
    assert len(everything) > 100
    for n in (1, 7, 100, len(everything), len(everything) + 1):
        done = run(phrase, "--dict", WORDS, "--max", n, *args)
        assert done.stdout == lines(everything[:n])
        assert ("there may be more" in done.stderr) == (n <= len(everything))
    whole = run(phrase, "--dict", WORDS, "--quiet", *args)
    assert whole.stdout == lines(everything) and whole.stderr == ""
    assert json.loads(run(phrase, "--dict", WORDS, "--json", "--max", 50, *args).stdout) == everything[:50]


def test_the_traced_search_keeps_the_order(full, tmp_path):
    # Traces grow with every ordering of every anagram: a small case.
    everything = full.solve("dormitory", max_words=2)
    traced = run("dormitory", "--dict", WORDS, "--max-words", 2, "--trace", cwd=tmp_path)
    assert traced.stdout == lines(everything)
    assert (tmp_path / "anagram_solver_debug.log").is_file()
    # --max caps the traced search itself: some 3, in result order.
    capped = run("dormitory", "--dict", WORDS, "--max-words", 2, "--max", 3, "--trace", cwd=tmp_path)
    got = [line.split() for line in capped.stdout.splitlines()]
    assert len(got) == 3 and got == sorted(got, key=everything.index)


def test_json_is_one_valid_array_in_every_size(full):
    for phrase in ("1234", "zzz", "dormitory", "listen silent"):
        out = run(phrase, "--dict", WORDS, "--json", "--quiet").stdout
        assert json.loads(out) == full.solve(phrase) and out.endswith("\n")
    assert run("1234", "--dict", WORDS, "--json").stdout == "[]\n"


def test_a_closed_pipe_ends_quietly():
    for extra in ([], ["--json"], ["--quiet"]):
        proc = subprocess.Popen(argv(BIG, "--dict", WORDS, *extra), env=command_env(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        head = [proc.stdout.readline() for _ in range(3)]
        proc.stdout.close()
        err = proc.stderr.read().decode()
        assert proc.wait(timeout=120) == 0, err
        assert all(head) and "Traceback" not in err and "Error" not in err


def test_ctrl_c_exits_130_without_a_traceback():
    proc = subprocess.Popen(argv(BIG, "--dict", WORDS), env=command_env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = proc.stdout.readline()
    # Mid-stream: the reader has stopped, so the command waits on the pipe.
    assert first and proc.poll() is None
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 130, err.decode(errors="replace")[-2000:]
    assert b"Traceback" not in err and b"KeyboardInterrupt" not in err
    assert out.count(b"\n") < 898597 - 1


def _bar(stderr):
    return "lines/s" in stderr


def _read_late(*args, env):
    """The command's standard error when its listing, over 64 KB, waits a
    second on a full pipe: the count that sizes the bar, on a thread of its
    own, is in before the listing ends however busy the machine (a listing
    that never waits can end first, and then shows no bar)."""
    proc = subprocess.Popen(argv(*args), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    select.select([], [], [], 1.0)
    return proc.communicate(timeout=300)[1]


def test_progress_bar_only_for_large_results_to_a_pipe(tmp_path):
    # (The count that sizes the bar gets time however busy the machine.)
    small = {"ANAGRAMS_PROGRESS_MIN_LINES": "10", "ANAGRAMS_PROGRESS_COUNT_SECONDS": "600"}
    # Over the default million lines, written to a pipe: a bar, with the total
    # (counted first, given time here however busy the machine).
    big = run("clint eastwoods", "--dict", WORDS, env=command_env({"ANAGRAMS_PROGRESS_COUNT_SECONDS": "600"}))
    assert _bar(big.stderr) and "2.89M/2.89M" in big.stderr and "100%" in big.stderr
    assert len(big.stdout.splitlines()) == 2885050
    # Under the threshold, asked to be quiet, counting, tracing: none.
    assert run("dormitory", "--dict", WORDS).stderr == ""
    assert _bar(_read_late("astronomer", "--dict", WORDS, env=command_env(small)))  # 11,584 lines
    for args in (["--quiet"], ["--count"], ["--words"], ["--max", "10"]):
        done = run("dormitory", "--dict", WORDS, *args, env=command_env(small))
        assert not _bar(done.stderr), args
    assert not _bar(run("dormitory", "--dict", WORDS, "--max-words", "2", "--trace", cwd=tmp_path,
                        env=command_env(small)).stderr)
    # Without tqdm the command runs as before, with no bar.
    fake = tmp_path / "no-tqdm"
    (fake / "tqdm").mkdir(parents=True)
    (fake / "tqdm" / "__init__.py").write_text("raise ImportError('tqdm is not installed')\n")
    bare = run("dormitory", "--dict", WORDS, env=command_env(small, front=[fake]))
    assert bare.stderr == "" and bare.stdout == run("dormitory", "--dict", WORDS).stdout


def test_no_progress_bar_on_a_terminal():
    leader, follower = pty.openpty()
    proc = subprocess.Popen(argv("dormitory", "--dict", WORDS, "--all"), stdout=follower,
                            stderr=subprocess.PIPE,
                            env=command_env({"ANAGRAMS_PROGRESS_MIN_LINES": "10"}))
    os.close(follower)
    shown = b""
    while True:
        ready, _, _ = select.select([leader], [], [], 120)
        try:
            chunk = os.read(leader, 65536) if ready else b""
        except OSError:  # the terminal's other end closed
            chunk = b""
        if not chunk:
            break
        shown += chunk
    os.close(leader)
    assert proc.wait(timeout=120) == 0
    assert b"dirty room" in shown and proc.stderr.read() == b""


def test_a_huge_phrase_counts_and_streams_at_once(full):
    huge = "anagram solver engine"
    assert run(huge, "--dict", WORDS, "--count").stdout == "128373828\n"
    proc = subprocess.Popen(argv(huge, "--dict", WORDS), env=command_env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = b"".join(proc.stdout.readline() for _ in range(1000)).decode()
    proc.stdout.close()
    assert proc.wait(timeout=120) == 0
    # Fewest words first: the result opens with all of its anagrams of up to
    # three words, in order.
    assert first == lines(full.solve(huge, max_words=3)[:1000])


def test_ctrl_c_still_closes_the_json_array(full, tmp_path):
    out = tmp_path / "out.json"
    with out.open("wb") as sink:
        proc = subprocess.Popen(argv("anagram solver engine", "--dict", WORDS, "--json", "--quiet"),
                                env=command_env(), stdout=sink, stderr=subprocess.PIPE)
        while out.stat().st_size < 200_000:
            assert proc.poll() is None
            select.select([], [], [], 0.01)
        proc.send_signal(signal.SIGINT)
        err = proc.communicate(timeout=120)[1]
    assert proc.returncode == 130 and b"Traceback" not in err, err.decode(errors="replace")[-2000:]
    got = json.loads(out.read_text())
    assert 1000 < len(got) < 128373828
    assert got == list(islice(full.iter_solve("anagram solver engine"), len(got)))


def test_trace_is_capped_by_max_and_ended_by_ctrl_c(full, tmp_path):
    # The traced search of all of clint eastwood runs for many minutes.
    capped = run(BIG, "--dict", WORDS, "--trace", "--max", 3, cwd=tmp_path)
    got = [line.split() for line in capped.stdout.splitlines()]
    everything = full.solve(BIG)
    assert capped.returncode == 0 and len(got) == 3 and all(s in everything for s in got)
    log = tmp_path / "anagram_solver_debug.log"
    log.unlink()
    proc = subprocess.Popen(argv(BIG, "--dict", WORDS, "--trace"), env=command_env(), cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        while not log.exists() or log.stat().st_size < 100_000:
            assert proc.poll() is None
            select.select([], [], [], 0.01)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()  # a search left running would slow every later test
        proc.wait()
    said = err.decode(errors="replace")[-2000:]
    assert (proc.returncode, out) == (130, b"") and b"Traceback" not in err, said
    assert log.stat().st_size >= 100_000
