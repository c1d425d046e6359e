"""The `anagrams` command, run as a subprocess, against the module in-process."""

import json
import os
import subprocess
import sys
from pathlib import Path

import core
import pytest
from conftest import ROOT, WORD_LIST, solver_from_path, solver_with

WORDS = ["listen", "silent", "enlist", "tinsel", "inlets", "list", "lens", "en", "ne",
         "set", "nil", "it", "ti", "nest", "its", "sit", "in", "el", "st"]


@pytest.fixture(scope="module")
def tiny(tmp_path_factory):
    path = tmp_path_factory.mktemp("dict") / "tiny.txt"
    path.write_text("\n".join(WORDS) + "\n")
    return path


@pytest.fixture(scope="module")
def solver(tiny):
    return solver_from_path(tiny)


def cli(*args, cwd=None, env_extra=None):
    """Runs `python -m anagrams_cli` with the module under test importable."""
    env = {k: v for k, v in os.environ.items() if k != "ANAGRAM_DEBUG_LOG"}
    env["PYTHONPATH"] = os.pathsep.join([str(Path(core.__file__).parent), str(ROOT / "python")])
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-m", "anagrams_cli", *map(str, args)],
                          cwd=cwd, env=env, capture_output=True, text=True, timeout=120)


def lines(result):
    return "".join(" ".join(words) + "\n" for words in result)


def test_launcher_prints_what_the_module_finds():
    # The default list keeps only a and i of the one-letter words.
    words = WORD_LIST.read_text().split("\n")
    expected = solver_with([w for w in words if len(w) > 1 or w in ("a", "i")]).solve("Dormitory")
    assert expected
    done = subprocess.run([sys.executable, str(ROOT / "anagrams"), "Dormitory"],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    assert done.stdout == lines(expected)


def test_launcher_without_build_tools_says_what_is_missing(tmp_path):
    # A checkout with no module built, and neither cmake nor ninja on PATH.
    checkout = tmp_path / "checkout"
    checkout.mkdir()
    (checkout / "anagrams").write_bytes((ROOT / "anagrams").read_bytes())
    (checkout / "python").symlink_to(ROOT / "python")
    (checkout / "CMakeLists.txt").write_text("")
    (tmp_path / "bin").mkdir()
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "ANAGRAM_DEBUG_LOG")}
    env["PATH"] = str(tmp_path / "bin")
    done = subprocess.run([sys.executable, str(checkout / "anagrams"), "listen"],
                          env=env, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("anagrams: ")
    assert "cmake and ninja" in done.stderr and "pip install cmake ninja" in done.stderr
    assert sorted(p.name for p in checkout.iterdir()) == ["CMakeLists.txt", "anagrams", "python"]


@pytest.mark.parametrize("args, kwargs", [
    (["--must-start-with", "s"], dict(must_start_with="s")),
    (["--must-start-with", "sS"], dict(must_start_with="ss")),
    (["--must-start-with", " "], dict(must_start_with=" ")),
    (["--only-start-with", "ls"], dict(can_only_ever_start_with="ls")),
    (["--only-start-with", ""], dict(can_only_ever_start_with="")),
    (["--not-start-with", "l"], dict(must_not_start_with="l")),
    (["--max-words", "2"], dict(max_words=2)),
    (["--max-words", "0"], dict(max_words=0)),
    (["--min-length", "3"], dict(min_word_length=3)),
    (["--contains", "ist"], dict(contains_patterns=["ist"])),
    (["--contains", "li", "--contains", "EN"], dict(contains_patterns=["li", "en"])),
    (["--timeout", "0"], dict(timeout_seconds=0.0)),
])
def test_each_option_reaches_solve(tiny, solver, args, kwargs):
    expected = solver.solve("listen", **kwargs)
    assert expected != solver.solve("listen"), "the case must change the result"
    done = cli("listen", "--dict", tiny, *args)
    assert done.returncode == 0, done.stderr
    assert done.stdout == lines(expected)


def test_output_forms_and_phrase_words(tiny, solver):
    everything = solver.solve("listen")
    assert len(everything) > 5 and max(map(len, everything)) == 3
    assert cli("Li", "St-EN", "--dict", tiny).stdout == lines(everything)
    assert json.loads(cli("listen", "--dict", tiny, "--json").stdout) == everything
    assert cli("listen", "--dict", tiny, "--count").stdout == f"{len(everything)}\n"
    long_enough = cli("listen", "--dict", tiny, "--timeout", "60")
    assert long_enough.stdout == lines(everything) and long_enough.stderr == ""


def test_cut_short_searches_say_so(tiny, solver):
    capped = cli("listen", "--dict", tiny, "--max", "2")
    assert capped.returncode == 0
    got = [line.split() for line in capped.stdout.splitlines()]
    assert len(got) == 2 and all(words in solver.solve("listen") for words in got)
    assert "--max 2" in capped.stderr and "may be more" in capped.stderr
    assert "--max" not in cli("listen", "--dict", tiny, "--max", "1000").stderr
    nothing = cli("listen", "--dict", tiny, "--max", "0")
    assert (nothing.stdout, nothing.stderr) == ("", "anagrams: nothing printed: --max 0 asks for no anagrams\n")
    timed = cli("listen", "--dict", tiny, "--timeout", "0")
    assert timed.stdout == "" and "may have been cut short" in timed.stderr


@pytest.mark.parametrize("phrase, args, why", [
    ("zzz", [], "no anagrams found"),
    ("listen", ["--max-words", "0"], "no anagrams found with these options"),
    ("lжsten", [], "'ж'"),
    ("lîsten", ["--no-fold"], "'î'"),
    ("1234 !", [], "no letters a-z"),
])
def test_nothing_found_is_success_with_a_note(tiny, phrase, args, why):
    done = cli(phrase, "--dict", tiny, *args)
    assert (done.returncode, done.stdout) == (0, "")
    assert why in done.stderr and len(done.stderr.splitlines()) == 1
    assert cli(phrase, "--dict", tiny, "--count", *args).stdout == "0\n"


@pytest.mark.parametrize("args", [
    ["--max-words", "-1"], ["--min-length", "4294967296"], ["--max", "two"],
    ["--max", "1.5"], ["--timeout", "soon"], ["--timeout", "-1"], ["--count", "--json"],
    [], ["--frobnicate"],
])
def test_bad_arguments_exit_2(tiny, args):
    phrase = ["listen"] if args else []
    done = cli(*phrase, "--dict", tiny, *args)
    assert done.returncode == 2 and done.stdout == ""
    assert "error:" in done.stderr.splitlines()[-1]


def test_unreadable_dictionary_exits_1(tmp_path):
    done = cli("listen", "--dict", tmp_path / "missing.txt")
    assert (done.returncode, done.stdout) == (1, "")
    assert len(done.stderr.splitlines()) == 1
    assert "Failed to read dictionary" in done.stderr and "os error 2" in done.stderr
    # Not UTF-8: where, and how to convert it.
    bad = tmp_path / "latin1.txt"
    bad.write_bytes(b"listen\nsilent\nna\xefve caf\xe9\n")
    for args in ([], ["--max-length", "3"], ["--words"], ["--no-fold"]):
        done = cli("listen", "--dict", bad, *args)
        assert (done.returncode, done.stdout) == (1, "")
        assert len(done.stderr.splitlines()) == 1
        assert f"{bad}: the word list is not UTF-8: line 3, byte 3 (0xef" in done.stderr
        assert f"iconv -f latin1 -t utf-8 {bad}" in done.stderr


def test_trace_goes_to_the_current_directory(tiny, tmp_path):
    quiet = cli("listen", "--dict", tiny, cwd=tmp_path)
    assert not (tmp_path / "anagram_solver_debug.log").exists() and quiet.stderr == ""
    done = cli("listen", "--dict", tiny, "--trace", cwd=tmp_path)
    log = tmp_path / "anagram_solver_debug.log"
    assert done.returncode == 0 and done.stdout == quiet.stdout
    assert log.read_text().startswith("--- Solving for phrase: 'listen' ---\n")
    assert str(log) in done.stderr


def test_help_lists_every_option():
    done = cli("--help")
    assert done.returncode == 0
    for option in ["--dict", "--must-start-with", "--only-start-with", "--not-start-with",
                   "--max-words", "--min-length", "--contains", "--timeout", "--max",
                   "--count", "--json", "--trace"]:
        assert option in done.stdout
