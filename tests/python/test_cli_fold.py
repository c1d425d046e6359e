"""Folding and original spellings: the command against Debian's `an` on the
French and German lists, and on small lists of its own."""

import itertools
import json
import os
import sys

import pytest

from conftest import sanitizer_loaded

from cli_run import AN, ROOT, needs_an, run

sys.path.insert(0, str(ROOT / "python"))
from anagrams_cli import fold  # noqa: E402

# The full French and German lists take minutes a run under AddressSanitizer.
# (folding is the command's Python; the module's part is tested without it)
pytestmark = pytest.mark.skipif(sanitizer_loaded(), reason="not run under AddressSanitizer")

FRENCH = "/usr/share/dict/french"
GERMAN = "/usr/share/dict/ngerman"


def expanded(text):
    """Each printed anagram as the multisets of words it stands for: a word
    'élève/élevé' is either spelling."""
    return {tuple(sorted(combo)) for line in text.splitlines()
            for combo in itertools.product(*(w.split("/") for w in line.split()))}


def an_on(path, *args):
    import subprocess
    done = subprocess.run([AN, "-d", path, *args], capture_output=True, text=True, timeout=300)
    return {tuple(sorted(line.split())) for line in done.stdout.splitlines()}


@needs_an
@pytest.mark.parametrize("path, phrase, limit", [
    (FRENCH, "élève", None), (FRENCH, "Marie Curie", 2), (FRENCH, "chien", None),
    (FRENCH, "naïve été", 2), (GERMAN, "Bär", None), (GERMAN, "Straße", 2), (GERMAN, "Müller", 2),
])
def test_accented_lists_give_the_anagrams_of_an(path, phrase, limit):
    if not os.path.isfile(path):
        pytest.skip(f"{path} is not installed (apt-get install wfrench wngerman)")
    ours, theirs = [], []
    if limit:
        ours, theirs = ["--max-words", limit], ["-l", str(limit)]
    done = run(phrase, "--dict", path, *ours)
    assert done.returncode == 0 and done.stderr == ""
    got = expanded(done.stdout)
    assert len(got) > 1 and got == an_on(path, *theirs, phrase)
    # One line per anagram, however many spellings it stands for.
    assert run(phrase, "--dict", path, "--count", *ours).stdout == f"{len(done.stdout.splitlines())}\n"
    words = run(phrase, "--dict", path, "--words").stdout
    assert {w for line in words.split() for w in line.split("/")} == {w for (w,) in an_on(path, "-w", phrase)}


def test_fold_and_spellings_on_a_list_of_its_own(tmp_path):
    assert fold("Élève à Zoë, Straße, Æsop, Œuvre, Øre, Łódź, Åse, ñandú, ﬁn, жук") == \
        "Eleve a Zoe, Strasse, AEsop, OEuvre, Ore, Lodz, Ase, nandu, fin, жук"
    listing = tmp_path / "words.txt"
    listing.write_text("ice-cream\nDon't\nNEW YORK\nélevé\nélève\neleve\nHitler\nwoman\nжук\nrésumé\n")
    done = run("Hitler woman", "--dict", listing)
    assert (done.stdout, done.stderr) == (
        "Hitler woman\n", "anagrams: note: 1 word of the list holds letters that do not fold to a-z "
        "(жук; e.g. 'жук') and is left out\n")
    assert run("ice cream", "--dict", listing, "--quiet").stdout == "ice-cream\n"
    assert run("WORK, Don't, YEN", "--dict", listing, "--quiet").stdout == "Don't NEW YORK\n"
    # One line for three spellings of one key, in list order; JSON as well.
    assert run("Ève le", "--dict", listing, "--quiet").stdout == "élevé/élève/eleve\n"
    assert json.loads(run("eleve", "--dict", listing, "--quiet", "--json").stdout) == [["élevé/élève/eleve"]]
    assert run("resume", "--dict", listing, "--quiet", "--count").stdout == "1\n"
    # --no-fold: the module's rule, and a note of how many words lost letters.
    plain = run("resume", "--dict", listing, "--no-fold")
    assert plain.stdout == "" and "note: 4 words of the list lost letters other than a-z" in plain.stderr
    assert run("rsum", "--dict", listing, "--no-fold", "--quiet").stdout == "résumé\n"
    accented = run("résumé", "--dict", listing, "--no-fold")
    assert accented.stdout == "" and "'é', which is not a letter a-z and is not folded" in accented.stderr
