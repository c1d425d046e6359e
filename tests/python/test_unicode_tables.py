"""The committed Unicode tables (src/text/unicode_tables.inc): well formed for the
binary search over them, and exactly what tools/gen_unicode_tables.py makes of
the database when Debian's unicode-data is installed."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import ROOT

TABLES = ROOT / "src" / "text" / "unicode_tables.inc"
GENERATOR = ROOT / "tools" / "gen_unicode_tables.py"
UCD = Path("/usr/share/unicode")
INPUTS = ["DerivedCoreProperties.txt", "UnicodeData.txt"]


def version_of_tables():
    return re.search(r"^// version (\S+)\.$", TABLES.read_text(), re.M).group(1)


def test_tables_are_sorted_disjoint_ranges():
    text = TABLES.read_text()
    tables = re.findall(r"const CodePointRange (\w+)\[\] = \{(.*?)\};", text, re.S)
    assert [name for name, _ in tables] == ["kAlphabetic", "kGraphemeExtend", "kPrintable"]
    for name, body in tables:
        ranges = [(int(lo, 16), int(hi, 16)) for lo, hi in re.findall(r"\{0x([0-9A-F]+), 0x([0-9A-F]+)\}", body)]
        assert ranges, name
        assert all(lo <= hi <= 0x10FFFF for lo, hi in ranges), name
        # Each range starts after the one before ends, with a gap (touching ones are merged).
        assert all(prev[1] + 1 < cur[0] for prev, cur in zip(ranges, ranges[1:])), name
    # Nothing but the three tables and the header comment: the lookups are hand-written.
    code = [line for line in text.splitlines() if line and not line.startswith("//")]
    assert all(line.startswith(("const CodePointRange", "    {")) for line in code)


def test_committed_tables_are_what_the_generator_writes(tmp_path):
    missing = [name for name in INPUTS if not (UCD / name).is_file()]
    if missing:
        pytest.skip(f"Debian's unicode-data is not installed (no {', '.join(missing)} in {UCD}): "
                    "the Unicode tables were not regenerated")
    installed = (UCD / INPUTS[0]).open(encoding="utf-8").readline()
    if f"-{version_of_tables()}.txt" not in installed:
        pytest.skip(f"the installed unicode-data ({installed.strip('# ').strip()}) is not the "
                    f"version {version_of_tables()} of the committed tables")
    fresh = tmp_path / "unicode_tables.inc"
    subprocess.run([sys.executable, str(GENERATOR), str(UCD), "--output", str(fresh)], check=True)
    assert fresh.read_bytes() == TABLES.read_bytes(), \
        "src/text/unicode_tables.inc differs from a fresh tools/gen_unicode_tables.py"
