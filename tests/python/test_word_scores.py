"""The committed word scores (data/words.scores): one well-formed line for each
word of data/words.txt, in its order, and exactly what
tools/gen_word_scores.py makes of them when the pinned wordfreq is installed."""

import importlib.util
import math
import re
import subprocess
import sys

import pytest

from conftest import ROOT, WORD_LIST

SCORES = ROOT / "data" / "words.scores"
GENERATOR = ROOT / "tools" / "gen_word_scores.py"
PINNED = re.search(r'"wordfreq==([^"]+)"', (ROOT / "pyproject.toml").read_text()).group(1)


def generator():
    spec = importlib.util.spec_from_file_location("gen_word_scores", GENERATOR)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_scores_cover_the_word_list_in_order():
    words = WORD_LIST.read_text(encoding="utf-8").split()
    lines = SCORES.read_bytes().decode("utf-8").split("\n")
    assert lines.pop() == "", "the last line ends with a newline"
    assert [line.split("\t")[0] for line in lines] == words
    for line in lines:
        assert re.fullmatch(r"[a-z]+\t-?\d+\.\d{1,3}", line), line
    scores = {line.split("\t")[0]: float(line.split("\t")[1]) for line in lines}
    # log10 frequencies: common words near the top, everything below zero.
    assert max(scores.values()) < 0
    assert scores["the"] > scores["room"] > scores["aardvark"] > min(scores.values())


def test_floor_penalty_and_number_format():
    gen = generator()
    zipf = {"common": 7.731, "rare": 1.004, "exact": 9.0}.get
    lines = list(gen.score_lines(["common", "rare", "unknown", "exact"], lambda w: zipf(w, 0),
                                 floor=-9.5, penalty=0.25))
    assert lines == ["common\t-1.519\n", "rare\t-8.246\n", "unknown\t-9.75\n", "exact\t-0.25\n"]
    assert [gen.format_score(v) for v in (0.0, -0.0, -0.0004, 2.0, -3.1, math.pi)] == \
        ["0.0", "0.0", "0.0", "2.0", "-3.1", "3.142"]


def test_committed_scores_are_what_the_generator_writes(tmp_path):
    pytest.importorskip("wordfreq", reason="the word scores were not regenerated")
    from importlib.metadata import version
    if version("wordfreq") != PINNED:
        pytest.skip(f"wordfreq {version('wordfreq')} is installed, the scores come from {PINNED}")
    fresh = tmp_path / "words.scores"
    subprocess.run([sys.executable, str(GENERATOR), "--output", str(fresh)], check=True)
    assert fresh.read_bytes() == SCORES.read_bytes(), \
        "data/words.scores differs from a fresh tools/gen_word_scores.py"
