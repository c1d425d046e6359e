"""What the Python tests share: where the checkout is, the trace file's names,
a private working directory for the trace, solvers over given words, a way
to run functions on threads, and child interpreters (to be sent Ctrl-C)."""

import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import core
from cli_run import command_env

# Run as a background job of a script, the tests inherit Ctrl-C ignored, and
# so would every child they start: the Ctrl-C tests would see their signal
# lost (the command writing all its lines and exiting 0). A handler here is
# reset to the default in each child, which then takes Ctrl-C as usual.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

ROOT = Path(__file__).resolve().parents[2]
WORD_LIST = ROOT / "data" / "words.txt"

TRACE_ENV = "ANAGRAM_DEBUG_LOG"
TRACE_FILE = "anagram_solver_debug.log"
FOOTER = "--- Solve function finished ---\n"


def solver_with(words):
    """A new Solver whose dictionary is `words`."""
    solver = core.Solver()
    solver.load_dictionary_from_words(words)
    return solver


def run_threads(calls, switch_interval=None):
    """Runs each (function, args) of `calls` on a thread of its own and waits
    for all of them, under `switch_interval` when given."""
    old = sys.getswitchinterval()
    if switch_interval is not None:
        sys.setswitchinterval(switch_interval)
    try:
        threads = [threading.Thread(target=f, args=args) for f, args in calls]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)


def start_child(code, env=None):
    """Starts the Python `code` (dedented) in a child interpreter in the
    checkout, the module on its path and tracing off, its output and errors
    piped as text."""
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, cwd=ROOT, env=command_env(env))


def interrupt_child(code, delay=0.5, env=None, timeout=120):
    """Starts `code`, which prints "ready" once set to be interrupted, and
    sends it Ctrl-C `delay` seconds later. Gives what it printed after
    "ready", its errors and its exit status; a child still running at the
    end is killed."""
    child = start_child(code, env)
    try:
        ready = child.stdout.readline()
        if ready == "ready\n":
            time.sleep(delay)
            child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=timeout)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert ready == "ready\n", ready + err
    return out, err, child.returncode


def solver_from_path(path):
    """A new Solver whose dictionary is the file at `path`."""
    solver = core.Solver()
    solver.load_dictionary_from_path(str(path))
    return solver


def sanitizer_loaded():
    """Is AddressSanitizer in this process (tools/sanitize preloads it)?"""
    with open("/proc/self/maps") as f:
        maps = f.read()
    return "libasan" in maps or "clang_rt.asan" in maps


def read_trace():
    """The trace file of the working directory, which must be strict UTF-8."""
    with open(TRACE_FILE, "rb") as f:
        return f.read().decode("utf-8")


@pytest.fixture
def traced_cwd(tmp_path, monkeypatch):
    """A private working directory for the trace file; tracing starts off.
    Gives the monkeypatch, to turn tracing on and off."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv(TRACE_ENV, raising=False)
    return monkeypatch


@pytest.fixture
def trace_dir(traced_cwd, tmp_path):
    """The same private working directory with tracing on; gives its path."""
    traced_cwd.setenv(TRACE_ENV, "1")
    return tmp_path
