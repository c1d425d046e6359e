"""`pip install .` into a fresh venv gives `import core` and the `anagrams` command.

Takes some 15-40 s (a wheel build); skip it with -m "not slow" or
ANAGRAM_SKIP_INSTALL_TEST=1.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import ROOT, WORD_LIST, solver_with


pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(bool(os.environ.get("ANAGRAM_SKIP_INSTALL_TEST")),
                       reason="ANAGRAM_SKIP_INSTALL_TEST is set"),
]


def _run(cmd, cwd, env):
    done = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, f"{cmd} failed:\n{done.stdout}\n{done.stderr}"
    return done.stdout


def test_pip_install_gives_module_stub_words_and_command(tmp_path):
    venv = tmp_path / "venv"
    # System site packages bring pip, scikit-build-core, cmake and ninja, so
    # nothing is fetched from the network.
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip",
                    str(venv)], check=True)
    py = venv / "bin" / "python"
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "ANAGRAM_DEBUG_LOG")}
    _run([str(py), "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
          "--ignore-installed", str(ROOT)], cwd=tmp_path, env=env)

    outside = tmp_path / "elsewhere"
    outside.mkdir()
    where = _run([str(py), "-c", "import core, anagrams_cli, pathlib\n"
                  "print(core.__file__); print(anagrams_cli.bundled_word_list())"],
                 cwd=outside, env=env).split("\n")
    module, words = Path(where[0]), Path(where[1])
    assert venv in module.parents, f"core imported from {module}, not from the venv"
    assert module.with_name("core.pyi").is_file()
    assert venv in words.parents and words.read_bytes() == WORD_LIST.read_bytes()

    # The command's default list keeps only a and i of the one-letter words.
    listed = WORD_LIST.read_text().split("\n")
    expected = len(solver_with([w for w in listed if len(w) > 1 or w in ("a", "i")]).solve("dormitory"))
    assert expected > 0
    count = _run([str(venv / "bin" / "anagrams"), "dormitory", "--count"], cwd=outside, env=env)
    assert count == f"{expected}\n"

    # The manual page and completion where man and bash-completion look.
    manual = venv / "share" / "man" / "man1" / "anagrams.1"
    assert manual.read_bytes() == (ROOT / "share" / "man" / "man1" / "anagrams.1").read_bytes()
    assert (venv / "share" / "bash-completion" / "completions" / "anagrams").is_file()
    if shutil.which("man"):
        on_path = {k: v for k, v in env.items() if k != "MANPATH"}
        on_path["PATH"] = f"{venv / 'bin'}{os.pathsep}{env.get('PATH', '')}"
        assert _run(["man", "-w", "anagrams"], cwd=outside, env=on_path).strip() == str(manual)


def test_installed_stub_is_found_by_mypy_and_version_is_the_package_one(tmp_path):
    mypy = pytest.importorskip("mypy", reason="mypy is not installed (pip install mypy==2.4.1)")
    del mypy
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip",
                    str(venv)], check=True)
    py = venv / "bin" / "python"
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "ANAGRAM_DEBUG_LOG", "MYPYPATH")}
    _run([str(py), "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
          "--ignore-installed", str(ROOT)], cwd=tmp_path, env=env)
    outside = tmp_path / "elsewhere"
    outside.mkdir()
    good = outside / "good.py"
    good.write_text("import core\n\nsolver = core.Solver()\n"
                    "found: list[list[str]] = solver.solve('listen', max_words=2)\n")
    bad = outside / "bad.py"
    bad.write_text("import core\n\ncore.Solver().solve(1)\n")
    # mypy from the test's own environment (a venv made from another venv
    # sees the base interpreter's packages, not the test tools), checking
    # against what is installed in the new one.
    mypy_run = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable", str(py)]
    _run(mypy_run + [good.name], cwd=outside, env=env)
    # The stub's types are used, not a silent Any: a wrong argument fails.
    refused = subprocess.run(mypy_run + [bad.name], cwd=outside, env=env, capture_output=True,
                             text=True, timeout=300)
    assert refused.returncode == 1 and "arg-type" in refused.stdout, refused.stdout
    version = _run([str(py), "-c", "import importlib.metadata as m; print(m.version('anagram-core'))"],
                   cwd=outside, env=env).strip()
    assert _run([str(venv / "bin" / "anagrams"), "--version"], cwd=outside, env=env) == \
        f"anagrams {version}\n"
