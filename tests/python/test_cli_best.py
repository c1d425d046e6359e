"""The command's ranked output: --best N, --scores, --show-scores, and the
screenful of best anagrams a terminal gets by default."""

import os
import pty
import select
import struct
import subprocess
import fcntl
import termios

import core
from cli_run import ROOT, WORDS, argv, command_env, run


def lines(result):
    return result.stdout.splitlines()


def scored(phrase, n, scores=ROOT / "data" / "words.scores", **options):
    """The module's best n over the command's default word list."""
    solver = core.Solver()
    solver.load_dictionary_from_words(
        [w for w in WORDS.read_text().split("\n") if len(w) > 1 or w in ("a", "i")])
    solver.load_scores_from_path(str(scores), default=-9.0)
    return solver.best(phrase, n, **options)


def test_best_prints_the_module_ranking_with_or_without_scores(tmp_path):
    expected = scored("clint eastwood", 25, max_words=3)
    got = run("clint eastwood", "--best", "25", "--max-words", "3")
    assert got.returncode == 0 and got.stderr == ""
    assert lines(got) == [" ".join(words) for _, words in expected]
    shown = lines(run("clint eastwood", "--best", "25", "--max-words", "3", "--show-scores"))
    assert shown == [f"{score:.2f}\t{' '.join(words)}" for score, words in expected]
    # The input itself is an anagram like any other here; only the
    # terminal default leaves it out.
    assert lines(run("dormitory", "--best", "2")) == ["dormitory", "dirty room"]
    # Another score file; its unscored words get the floor.
    mine = tmp_path / "mine.tsv"
    mine.write_text("moor\t5\ndirt\t4\n")
    assert lines(run("dormitory", "--best", "3", "--max-words", "2", "--scores", str(mine))) == [
        "dirty moor", "dirt roomy", "dormitory"]
    mine.write_text("moor\tfive\n")
    bad = run("dormitory", "--best", "3", "--scores", str(mine))
    assert bad.returncode == 1 and "line 1: 'five' is not a number" in bad.stderr


def test_best_with_many_phrases_and_json():
    got = run("-", "--best", "2", input="listen\nthe eyes\n")
    assert lines(got) == ["# listen", "listen", "silent", "# the eyes", "eyes the", "see they"]
    assert run("the eyes", "--best", "2", "--json").stdout == '[["eyes", "the"], ["see", "they"]]\n'
    # A pipe gets the full result order, as before.
    assert lines(run("dormitory", "--max", "2")) == ["dormitory", "dirt roomy"]


def on_terminal(*args, rows=12):
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", rows, 80, 0, 0))
    env = command_env()
    env.pop("LINES", None)
    env.pop("COLUMNS", None)
    proc = subprocess.Popen(argv(*args), stdout=follower, stderr=subprocess.PIPE, env=env)
    os.close(follower)
    shown = b""
    while True:
        ready, _, _ = select.select([leader], [], [], 120)
        try:
            chunk = os.read(leader, 65536) if ready else b""
        except OSError:
            chunk = b""
        if not chunk:
            break
        shown += chunk
    os.close(leader)
    assert proc.wait(timeout=120) == 0
    return shown.decode().replace("\r\n", "\n").splitlines(), proc.stderr.read().decode()


def test_a_terminal_gets_a_screenful_of_the_best_without_the_phrase():
    shown, note = on_terminal("dormitory", rows=12)
    best = [" ".join(words) for _, words in scored("dormitory", 9)]
    assert best[0] == "dormitory"
    assert shown == best[1:]  # 12 rows less 4 for the prompt and the note
    assert note == ("anagrams: the best 8 of 63 anagrams, by how common their words are (the phrase "
                    "itself left out); --all lists every one in result order, --best N the best N\n")
    everything, quiet = on_terminal("dormitory", "--all")
    assert len(everything) == 63 and everything[0] == "dormitory" and quiet == ""


def test_best_shows_spellings_and_follows_the_crossword_options(tmp_path):
    # The ranked lines are the listed ones reordered: same spellings (several
    # of one key joined), same --enum order and joins, same JSON text.
    words = tmp_path / "fr.txt"
    words.write_text("élève\nlevée\nvêlée\nélevé\nold\nwest\nsold\nwet\n", encoding="utf-8")
    scores = tmp_path / "fr.scores"
    scores.write_text("levee\t-1\neleve\t-2\nvelee\t-3\n", encoding="utf-8")
    got = run("élève", "--best", "5", "--dict", str(words), "--scores", str(scores))
    assert lines(got) == ["levée", "élève/élevé", "vêlée"]
    as_json = run("élève", "--best", "5", "--json", "--dict", str(words), "--scores", str(scores))
    assert as_json.stdout == '[["levée"], ["élève/élevé"], ["vêlée"]]\n'
    listed = set(lines(run("old west", "--all", "--enum", "3-4", "--dict", str(words))))
    best = lines(run("old west", "--best", "10", "--enum", "3-4", "--dict", str(words)))
    assert set(best) == listed and "old-west" in best and len(best) == len(listed)
