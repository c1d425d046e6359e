"""Folding letters with diacritics to the plain letters a-z, the way people
write a word without its accents (élève -> eleve, Straße -> Strasse)."""

from __future__ import annotations

import re

# Letters that Unicode does not decompose into a base letter and marks, each
# spelled as the languages that use them write it without the special letter.
_OWN_FOLDS = {
    "ß": "ss", "ẞ": "SS", "æ": "ae", "Æ": "AE", "œ": "oe", "Œ": "OE", "ø": "o", "Ø": "O",
    "ł": "l", "Ł": "L", "đ": "d", "Đ": "D", "ð": "d", "Ð": "D", "þ": "th", "Þ": "TH",
    "ı": "i", "ħ": "h", "Ħ": "H", "ŀ": "l", "Ŀ": "L",
}
_OWN = re.compile("[" + "".join(_OWN_FOLDS) + "]")
_NON_ASCII = re.compile(r"[^\x00-\x7f]")
# After decomposition: anything but ASCII and the common combining marks,
# so that a word list with an accent on every other word is scanned quickly.
_UNCOMMON = re.compile(r"[^\x00-\x7f\u0300-\u036f]")
# Every ASCII byte but the letters and the newline: what a key drops.
_NOT_KEY = bytes(c for c in range(128) if not (chr(c).isalpha() or c == 10))


def decomposed(text: str) -> str:
    import unicodedata  # only for text that needs it: the command starts fast

    # A substitution, not str.translate: far faster where the letters are rare.
    text = _OWN.sub(lambda m: _OWN_FOLDS[m.group()], text)
    return unicodedata.normalize("NFKD", text)


def fold(text: str) -> str:
    """`text` with its letters' diacritics folded: é, è, ê, ë -> e; ç -> c;
    ñ -> n; ß -> ss; æ -> ae; œ -> oe; ø -> o; å -> a; ł -> l; any other
    letter by its Unicode compatibility decomposition (NFKD) less the
    combining marks. Case, blanks, punctuation and letters with no plain
    form (Greek, Cyrillic, ...) are kept as they are.

    >>> fold("Élève à Zoë, Straße, Æsop, Łódź")
    'Eleve a Zoe, Strasse, AEsop, Lodz'
    """
    if text.isascii():
        return text
    import unicodedata

    parts = decomposed(text)
    marks = {c for c in _NON_ASCII.findall(parts) if unicodedata.combining(c)}
    if not marks:
        return parts
    return re.sub("[" + "".join(sorted(marks)) + "]", "", parts)


def folded_keys(text: str, folding: bool = True) -> tuple[str, str]:
    """The letters a-z of each line of `text`, lower-cased (folded first when
    `folding`), lines kept; and the letters that took no part (neither a-z
    nor folding to them), each once."""
    lost = ""
    if not text.isascii():
        if folding:
            text = decomposed(text)
        odd = _UNCOMMON if folding else _NON_ASCII
        lost = "".join(dict.fromkeys(c for c in odd.findall(text) if c.isalpha()))
    # Bytes: dropping characters from them is several times faster than a
    # substitution over a str holding non-ASCII letters.
    return text.encode("ascii", "ignore").translate(None, _NOT_KEY).lower().decode("ascii"), lost
