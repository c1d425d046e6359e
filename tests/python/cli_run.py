"""Running the `anagrams` command as a subprocess with the module under test,
and Debian's `an` and `wordplay` on the same word list as oracles."""

import os
import subprocess
import sys
from pathlib import Path

import core
import pytest

ROOT = Path(__file__).resolve().parents[2]
WORDS = ROOT / "data" / "words.txt"
AN = "/usr/games/an"
WORDPLAY = "/usr/games/wordplay"

needs_an = pytest.mark.skipif(not os.access(AN, os.X_OK),
                              reason="Debian's an is not installed (apt-get install an)")
needs_wordplay = pytest.mark.skipif(not os.access(WORDPLAY, os.X_OK),
                                    reason="wordplay is not installed (apt-get install wordplay)")


def command_env(extra=None, front=()):
    env = {k: v for k, v in os.environ.items() if k != "ANAGRAM_DEBUG_LOG"}
    env["PYTHONPATH"] = os.pathsep.join([*map(str, front), str(Path(core.__file__).parent),
                                         str(ROOT / "python")])
    env.update(extra or {})
    return env


def argv(*args):
    return [sys.executable, "-m", "anagrams_cli", *map(str, args)]


def run(*args, input=None, env=None, cwd=None):
    return subprocess.run(argv(*args), input=input, env=env or command_env(), cwd=cwd,
                          capture_output=True, text=True, timeout=300)


def lines(result):
    return "".join(" ".join(words) + "\n" for words in result)


def as_set(text):
    """Each output line as its multiset of words (an and wordplay print their
    own word orders; wordplay in capitals)."""
    return {tuple(sorted(line.lower().split())) for line in text.splitlines()}


def an(*args):
    done = subprocess.run([AN, "-d", str(WORDS), *map(str, args)], capture_output=True,
                          text=True, timeout=300)
    return done.returncode, done.stdout


def wordplay(phrase, *flags):
    done = subprocess.run([WORDPLAY, phrase, *flags, "-f", str(WORDS)], capture_output=True,
                          text=True, timeout=300, check=True)
    return done.stdout
