"""The README's examples of the command are its real output: each ```text
block that starts with `$ ./anagrams ...` is run and must print the rest."""

import os
import re
import subprocess
import sys

import pytest

from cli_run import ROOT, command_env
from conftest import sanitizer_loaded

EXAMPLES = [(m.group(1), m.group(2)) for m in re.finditer(
    r"```text\n\$ (\./anagrams[^\n]*)\n(.*?)```", (ROOT / "README.md").read_text(), re.S)]


def test_there_are_examples():
    assert len(EXAMPLES) >= 6


@pytest.mark.parametrize("command, output", EXAMPLES, ids=[c for c, _ in EXAMPLES])
def test_readme_example(command, output):
    for path in re.findall(r"/usr/share/dict/\S+", command):
        if not os.path.isfile(path):
            pytest.skip(f"{path} is not installed")
        if sanitizer_loaded():
            # Folding a whole system list is minutes of Python under the sanitizer.
            pytest.skip("a system word list under AddressSanitizer")
    # ./anagrams as the module under test runs it (the pipes stay the shell's).
    script = f'anagrams() {{ "{sys.executable}" -m anagrams_cli "$@"; }}\n' + command.replace("./anagrams", "anagrams")
    done = subprocess.run(["bash", "-c", script], cwd=ROOT, env=command_env(), capture_output=True,
                          text=True, timeout=120)
    assert done.stdout == output
