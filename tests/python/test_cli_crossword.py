"""The crossword setter's options (--enum, --exclude, --min-words) against
a brute-force filter of the module's full result, and an's short options."""

import json
from itertools import permutations

import core
import pytest

from cli_run import WORDS, lines, run


@pytest.fixture(scope="module")
def full():
    solver = core.Solver()
    solver.load_dictionary_from_path(str(WORDS))
    return solver


def by_enumeration(result, lengths):
    """The anagrams whose word lengths are `lengths`, words put in that order
    (equal lengths alphabetically), by trying every ordering."""
    out = []
    for words in result:
        if sorted(map(len, words)) == sorted(lengths):
            fits = sorted(w for w in permutations(words) if [len(x) for x in w] == lengths)
            out.append(list(fits[0]))
    return out


@pytest.mark.parametrize("phrase, enum, lengths, joins", [
    ("dormitory", "5,4", [5, 4], " "),
    ("Clint Eastwood", "(4,4,5)", [4, 4, 5], "  "),
    ("Clint Eastwood", "3-5 5", [3, 5, 5], "- "),
    ("listen", "6", [6], ""),
])
def test_enum_is_a_filter_of_the_full_result(full, phrase, enum, lengths, joins):
    expected = by_enumeration(full.solve(phrase), lengths)
    assert len(expected) > 1
    text = "".join(
        "".join(w + j for w, j in zip(words, joins + "\n")) for words in expected)
    done = run(phrase, "--dict", WORDS, "--enum", enum)
    same = done.stdout == text  # not pytest's diff of long texts
    assert done.returncode == 0 and same
    assert run(phrase, "--dict", WORDS, "--enum", enum, "--count").stdout == f"{len(expected)}\n"
    capped = run(phrase, "--dict", WORDS, "--enum", enum, "--max", 1)
    assert capped.stdout == text.splitlines(keepends=True)[0]
    if "-" not in joins:
        assert json.loads(run(phrase, "--dict", WORDS, "--enum", enum, "--json").stdout) == expected
    # --words keeps the lengths of the enumeration only.
    assert {len(w) for w in run(phrase, "--dict", WORDS, "--enum", enum, "--words").stdout.split()} \
        == set(lengths)


def test_enum_that_cannot_fit_says_why():
    done = run("dormitory", "--dict", WORDS, "--enum", "5,5")
    assert done.stdout == "" and "--enum 5,5 has 10 letters, the phrase 9" in done.stderr
    for bad in ("5,0", "five", "", "5,,4"):
        assert run("dormitory", "--enum", bad).returncode == 2


def test_exclude_and_min_words_are_filters_of_the_full_result(full):
    everything = full.solve("Clint Eastwood")
    gone = {"wet", "cold", "town"}
    expected = [s for s in everything if not gone & set(s)]
    done = run("Clint Eastwood", "--dict", WORDS, "--exclude", "wet Cold", "--exclude", "TOWN",
               "--quiet")
    same = done.stdout == lines(expected)
    assert same and len(expected) < len(everything)
    assert run("Clint Eastwood", "--dict", WORDS, "--exclude", "wet cold", "--exclude", "town",
               "--count").stdout == f"{len(expected)}\n"
    for args, kwargs, least in [
        (["--min-words", 3, "--max-words", 3], dict(max_words=3), 3),
        (["--min-words", 4, "--min-length", 3], dict(min_word_length=3), 4),
        (["--min-words", 0, "--max-words", 2], dict(max_words=2), 0),
    ]:
        expected = [s for s in full.solve("Clint Eastwood", **kwargs) if len(s) >= least]
        assert len(expected) > 10
        done = run("Clint Eastwood", "--dict", WORDS, *args, "--quiet")
        same = done.stdout == lines(expected)
        assert same
        assert run("Clint Eastwood", "--dict", WORDS, *args, "--count").stdout == f"{len(expected)}\n"
    # The included words count towards --min-words.
    with_cow = [["cow"] + s for s in full.solve("lint eastod", max_words=3) if len(s) >= 2]
    same = run("Clint Eastwood", "--dict", WORDS, "--include", "cow", "--min-words", 3,
               "--max-words", 4).stdout == lines(with_cow)
    assert same and len(with_cow) > 100
    assert run("Clint Eastwood", "--dict", WORDS, "--include", "cow", "--min-words", 3,
               "--max-words", 4, "--count").stdout == f"{len(with_cow)}\n"


@pytest.mark.parametrize("short, long", [
    (["-d", WORDS, "-l", "2"], ["--dict", WORDS, "--max-words", "2"]),
    (["-d", WORDS, "-m", "4", "-n", "5"], ["--dict", WORDS, "--min-length", "4", "--max", "5"]),
    (["-d", WORDS, "-w"], ["--dict", WORDS, "--words"]),
    (["-d", WORDS, "-c", "wet"], ["--dict", WORDS, "--include", "wet"]),
    (["-d", WORDS, "-u", "cow", "-l", "2"], ["--dict", WORDS, "--used", "cow", "--max-words", "2"]),
    (["-d", WORDS, "-t", "old west action"], ["--dict", WORDS, "--test", "old west action"]),
])
def test_short_options_are_those_of_an(short, long):
    ours = run("Clint Eastwood", *short)
    assert ours.stdout and (ours.returncode, ours.stdout, ours.stderr) == \
        (lambda d: (d.returncode, d.stdout, d.stderr))(run("Clint Eastwood", *long))
