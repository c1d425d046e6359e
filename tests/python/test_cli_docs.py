"""The command's manual page and bash completion: current with its options,
well-formed, and completing in a real bash."""

import os
import re
import shutil
import subprocess
import sys

import pytest
from cli_run import ROOT, command_env, run

MANUAL = ROOT / "share" / "man" / "man1" / "anagrams.1"
COMPLETION = ROOT / "share" / "bash-completion" / "completions" / "anagrams"
# Debian's tools run without the sanitizer runtime a test run may preload
# (groff aborts under it).
PLAIN_ENV = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


def test_both_are_generated_from_the_current_parser():
    done = subprocess.run([sys.executable, str(ROOT / "tools" / "make_cli_docs"), "--check"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    # Independently of the generator: every option --help lists is in both.
    wide = command_env({"COLUMNS": "10000"})  # no option broken over two lines
    options = set(re.findall(r"--[a-z][a-z-]*", run("--help", env=wide).stdout))
    assert len(options) > 15
    manual = MANUAL.read_text().replace("\\-", "-")
    completion = COMPLETION.read_text()
    assert {o for o in options if o not in manual} == set()
    assert {o for o in options if not re.search(rf"(?<![\w-]){o}(?![\w-])", completion)} == set()
    # No path of the machine that generated them.
    assert str(ROOT) not in manual and str(ROOT) not in completion


@pytest.mark.skipif(shutil.which("groff") is None, reason="groff is not installed")
def test_manual_renders_without_warnings():
    with MANUAL.open() as page_source:
        done = subprocess.run(["groff", "-man", "-Tutf8", "-ww"], stdin=page_source, capture_output=True,
                              text=True, timeout=60, env=PLAIN_ENV)
    assert done.returncode == 0 and done.stderr == ""
    page = re.sub(r".\x08", "", done.stdout)  # overstrikes for bold and underline
    assert "--must-start-with LETTERS" in page and "Exit status: 0 done" in page


def complete(*words, files_in=None):
    """COMPREPLY of the completion function for `anagrams WORDS...` (the last is the one completed)."""
    words = ["anagrams", *words]
    script = (f"source {COMPLETION}\n"
              f"COMP_WORDS=({' '.join(repr(w) for w in words)}); COMP_CWORD={len(words) - 1}\n"
              "_anagrams 2>/dev/null; printf '%s\\n' \"${COMPREPLY[@]}\"\n")
    done = subprocess.run(["bash", "--norc", "--noprofile", "-c", script], capture_output=True, text=True,
                          timeout=60, cwd=files_in, check=True, env=PLAIN_ENV)
    return sorted(w for w in done.stdout.split("\n") if w)


def test_completion_in_bash(tmp_path):
    assert complete("--max") == ["--max", "--max-length", "--max-words"]
    assert complete("listen", "--co") == ["--contains", "--count"]
    assert "--words" in complete("-") and complete("") == []
    # A value is expected, or every word is the phrase's after --: nothing offered.
    assert complete("--max-words", "") == []
    assert complete("--", "--m") == []
    assert complete("listen") == []
    (tmp_path / "names.txt").write_text("a\n")
    (tmp_path / "nouns.txt").write_text("b\n")
    assert complete("--dict", "n", files_in=tmp_path) == ["names.txt", "nouns.txt"]
