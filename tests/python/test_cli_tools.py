"""The command's tools for working an anagram by hand (--words, --include,
--used, --test), its word-list options and phrases from standard input,
against Debian's `an` and `wordplay` on data/words.txt."""

import json

import core
import pytest

from cli_run import WORDS, an, as_set, lines, needs_an, needs_wordplay, run, wordplay


@pytest.fixture(scope="module")
def full():
    solver = core.Solver()
    solver.load_dictionary_from_path(str(WORDS))
    return solver


@needs_an
@pytest.mark.parametrize("phrase, ours, theirs", [
    ("listen", [], []),
    ("Clint Eastwood", ["--min-length", "5"], ["-m", "5"]),
    ("dormitory", ["--used", "dirt"], ["-u", "dirt"]),
    ("william shakespeare", ["--used", "seas", "--min-length", "3"], ["-u", "seas", "-m", "3"]),
])
def test_words_are_those_of_an(phrase, ours, theirs):
    _, out = an("-w", *theirs, phrase)
    done = run(phrase, "--dict", WORDS, "--words", *ours)
    got = done.stdout.split()
    assert done.returncode == 0 and len(got) > 10
    assert len(got) == len(set(got)) and set(got) == set(out.split())
    assert got == sorted(got, key=lambda w: (-len(w), w))


@needs_an
@pytest.mark.parametrize("args, kwargs", [
    (["--only-start-with", "cls"], dict(can_only_ever_start_with="cls")),
    (["--not-start-with", "CLE"], dict(must_not_start_with="CLE")),
    (["--contains", "to", "--contains", "n"], dict(contains_patterns=["to", "n"])),
    (["--must-start-with", "w"], dict(must_start_with="w")),
    (["--must-start-with", "ww"], dict(must_start_with="ww")),
    (["--max", "7"], dict()),
])
def test_words_honour_the_options_as_one_word_anagrams(full, args, kwargs):
    # A listed word is a one-word anagram of itself under the same options:
    # the module decides that independently of the command's own filtering.
    _, out = an("-w", "clint eastwood")
    everything = sorted(set(out.split()), key=lambda w: (-len(w), w))
    expected = [w for w in everything if [w] in full.solve(w, max_words=1, **kwargs)]
    if "--max" in args:
        expected = expected[:7]
    assert 0 < len(expected) < len(everything) or kwargs.get("must_start_with") == "ww"
    done = run("clint eastwood", "--dict", WORDS, "--words", *args)
    assert done.stdout.split() == expected


@needs_an
@pytest.mark.parametrize("phrase, include, ours, theirs", [
    ("listen silent", ["tin"], [], []),
    ("Clint Eastwood", ["cow"], ["--max-words", "3"], ["-l", "2"]),
    ("william shakespeare", ["i am"], ["--min-length", "4"], ["-m", "4"]),
    ("william shakespeare", ["i", "am"], ["--min-length", "4"], ["-m", "4"]),
    ("anagram solver engine", ["Gnome's", "ravel"], ["--max-words", "4"], ["-l", "2"]),
])
def test_include_gives_the_anagrams_of_an_c(phrase, include, ours, theirs):
    fixed = " ".join(include)
    _, out = an("-c", fixed, *theirs, phrase)
    args = [a for word in include for a in ("--include", word)]
    done = run(phrase, "--dict", WORDS, *args, *ours)
    assert done.returncode == 0 and len(done.stdout.splitlines()) > 10
    assert as_set(done.stdout) == as_set(out.replace("Gnome's", "gnomes"))
    start = " ".join(w.lower().replace("'", "") for w in fixed.split()) + " "
    assert all(line.startswith(start) for line in done.stdout.splitlines())


@needs_an
@pytest.mark.parametrize("phrase, used, ours, theirs", [
    ("listen silent", "tin", [], []),
    ("Clint Eastwood", "cow", ["--max-words", "2"], ["-l", "2"]),
    ("william shakespeare", "i am", ["--min-length", "4"], ["-m", "4"]),
])
def test_used_letters_give_the_anagrams_of_an_u(phrase, used, ours, theirs):
    _, out = an("-u", used, *theirs, phrase)
    done = run(phrase, "--dict", WORDS, "--used", used, *ours)
    assert done.returncode == 0 and len(done.stdout.splitlines()) > 10
    assert as_set(done.stdout) == as_set(out)


@needs_an
def test_test_agrees_with_an_t_and_names_the_leftovers():
    cases = {
        "tin els": ("(none)", "(none)", "tin", "els"),
        "silent": ("(none)", "(none)", "silent", None),
        "tin": ("els", "(none)", "tin", None),
        "tinsels": ("(none)", "s", "tinsels", None),
        "lists of": ("en", "fos", "lists of", None),
    }
    for candidate, (left, extra, known, unknown) in cases.items():
        an_status, _ = an("-t", candidate, "listen")
        done = run("listen", "--dict", WORDS, "--test", candidate)
        assert done.returncode == an_status, candidate
        out = done.stdout.splitlines()
        assert out[0].startswith("yes: " if an_status == 0 else "no: ")
        if an_status:
            assert out[1:3] == [f"left over from the phrase: {left}", f"not in the phrase: {extra}"]
        assert f"in the word list: {known}" in out
        assert (f"not in the word list: {unknown}" in out) == (unknown is not None)


def test_missing_letters_exit_1_and_say_which(full):
    for args, missing in [(["--include", "stone"], "o"), (["--used", "Stones!"], "os"),
                          (["--include", "lens", "--used", "lo"], "lo")]:
        done = run("listen", "--dict", WORDS, *args)
        assert (done.returncode, done.stdout) == (1, "")
        assert done.stderr.endswith(f"missing {missing}\n") and args[0] in done.stderr
    # Standard input: the other phrases are still answered.
    done = run("-", "--dict", WORDS, "--include", "lens", input="listen\ndormitory\nlens\n")
    assert done.returncode == 1 and "'dormitory'" in done.stderr and "missing elns" in done.stderr
    assert done.stdout == "# listen\n" + lines(["lens"] + s for s in full.solve("it")) + "# lens\nlens\n"


def test_included_words_count_against_max_words_and_may_be_all(full):
    assert run("listen", "--dict", WORDS, "--include", "lens it", "--max-words", "1").stdout == ""
    assert run("listen", "--dict", WORDS, "--include", "lens it", "--max-words", "2").stdout == "lens it\n"
    assert run("listen", "--dict", WORDS, "--include", "lens", "--max-words", "2").stdout == \
        lines(["lens"] + s for s in full.solve("it", max_words=1))
    # The rest is empty: the included words alone, unless an option asks
    # something of the other words.
    assert run("listen", "--dict", WORDS, "--include", "silent", "--count").stdout == "1\n"
    assert run("listen", "--dict", WORDS, "--include", "silent", "--contains", "x").stdout == ""
    unknown = run("listen", "--dict", WORDS, "--include", "nilets")
    assert "'nilets' (--include) is not in the word list" in unknown.stderr


@needs_wordplay
@pytest.mark.parametrize("phrase, longest", [("listen", 4), ("dormitory", 5), ("clint eastwood", 6)])
def test_max_length_gives_the_anagrams_of_wordplay_m(phrase, longest):
    # -a allows a word twice, -v words without vowels, -i the phrase itself:
    # the way our search counts anagrams.
    theirs = as_set(wordplay(phrase, f"-saivm{longest}"))
    done = run(phrase, "--dict", WORDS, "--max-length", longest)
    assert done.returncode == 0 and len(theirs) > 50
    assert as_set(done.stdout) == theirs and len(done.stdout.splitlines()) == len(theirs)


def test_phrases_from_standard_input(full):
    phrases = ["listen", "Dormitory", "xyzzy"]
    text = "\n  listen \n\nDormitory\r\nxyzzy\n"
    counted = run("-", "--dict", WORDS, "--count", input=text)
    assert counted.stdout == "".join(f"{p}\t{len(full.solve(p))}\n" for p in phrases)
    listed = run("-", "--dict", WORDS, "--max-words", "2", input=text)
    assert listed.returncode == 0
    assert listed.stdout == "".join(f"# {p}\n" + lines(full.solve(p, max_words=2)) for p in phrases)
    assert listed.stderr == "anagrams: xyzzy: no anagrams found with these options\n"
    objects = [json.loads(line) for line in run("-", "--dict", WORDS, "--json", input=text).stdout.splitlines()]
    assert objects == [{"phrase": p, "anagrams": full.solve(p)} for p in phrases]
    words = run("-", "--dict", WORDS, "--words", "--count", input="dormitory\nlisten\n")
    assert words.stdout.splitlines()[1] == "listen\t%d" % len(run("listen", "--dict", WORDS, "--words").stdout.split())


def test_word_list_from_standard_input_and_the_default_list(full):
    mine = "Tin-Sel\nlisten\nen\nlist\n"
    solver = core.Solver()
    solver.load_dictionary_from_words(mine.split("\n"))
    done = run("silent", "--dict", "-", input=mine)
    assert done.stdout == lines(solver.solve("silent")).replace("tinsel", "Tin-Sel")
    assert len(done.stdout.splitlines()) == 3
    both = run("-", "--dict", "-", input="listen\n")
    assert both.returncode == 2 and "standard input" in both.stderr
    # The default list keeps a and i of the one-letter words; --dict keeps all.
    default = {w for line in run("dormitory").stdout.splitlines() for w in line.split()}
    everything = {w for s in full.solve("dormitory") for w in s}
    assert {w for w in everything if len(w) == 1} == set("dimorty")
    assert {w for w in default if len(w) == 1} == {"i"}
    assert "a and i" in run("--help").stdout


def test_word_list_bytes_that_are_not_utf8_exit_1(tmp_path):
    import subprocess
    from cli_run import argv, command_env
    done = subprocess.run(argv("listen", "--dict", "-"), input=b"caf\xe9\n", env=command_env(),
                          capture_output=True, timeout=120)
    assert (done.returncode, done.stdout) == (1, b"")
    assert b"standard input" in done.stderr and b"UTF-8" in done.stderr
    assert b"line 1, byte 4 (0xe9" in done.stderr and b"iconv -f latin1 -t utf-8" in done.stderr


def test_phrase_after_double_dash_and_version():
    assert run("--dict", WORDS, "--count", "--", "-listen").stdout == \
        run("--dict", WORDS, "--count", "listen").stdout != "0\n"
    version = run("--version")
    assert version.returncode == 0 and version.stdout.startswith("anagrams 0.")


@pytest.mark.parametrize("args", [
    ["--words", "--test", "x"], ["--test", "x", "--count"], ["--test", "x", "--json"],
    ["--max-length", "-1"], ["--dict", "-", "-"], ["--"],
])
def test_bad_combinations_exit_2(args):
    phrase = [] if "-" in args or "--" in args else ["listen"]
    done = run(*phrase, *args, input="")
    assert done.returncode == 2 and done.stdout == ""
    assert "error:" in done.stderr.splitlines()[-1]


def test_the_default_list_is_what_its_script_writes_and_clean():
    import os
    import subprocess
    import sys
    from cli_run import ROOT
    if not os.path.isfile("/usr/share/dict/american-english"):
        pytest.skip("wamerican is not installed (apt-get install wamerican)")
    done = subprocess.run([sys.executable, str(ROOT / "tools" / "make_word_list"), "--check"],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    words = set(WORDS.read_text().split())
    assert not {"ls", "rm", "pl", "ml", "wt", "kc", "xv", "xciv", "xcvi", "mph", "etc"} & words
    assert {"am", "ox", "up", "mix", "rock", "roll"} <= words
    # What the issue saw: 'rock-n-roll' started with "kc nor roll".
    assert not run("rock-n-roll", "--max", 3).stdout.startswith("kc ")
