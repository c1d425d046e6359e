"""The Python surface of `core`: the module, the class, argument binding and
conversion, call errors, dictionary files and the borrow of an instance."""

import ctypes
import gc
import importlib
import inspect
import pathlib
import shutil
import subprocess
import sys
import weakref

import core
import pytest
from conftest import solver_with
from hypothesis import given, settings, strategies as st

Solver = core.Solver
METHODS = ["load_dictionary_from_words", "load_dictionary_from_path", "add_word", "solve", "count", "iter_solve",
           "load_scores", "load_scores_from_path", "iter_best", "best"]
SOLVE_PARAMS = ("phrase, must_start_with=None, can_only_ever_start_with=None, must_not_start_with=None, "
                "max_words=None, min_word_length=None, timeout_seconds=None, max_solutions=None, "
                "contains_patterns=None")
TOO_FAR = "out of range integral type conversion attempted"
BOTH = [["ab"], ["a", "b"]]


def method_def(bound_method):
    """Address of the C method table entry behind a bound builtin method."""
    return ctypes.c_void_p.from_address(id(bound_method) + object.__basicsize__).value


AB_WORDS = ["ab", "a", "b"]


class Index:
    def __init__(self, value, on_index=lambda: None):
        self.value, self.on_index = value, on_index

    def __index__(self):
        self.on_index()
        return self.value


class Weird(str):
    __str__ = lambda self: "zzz"  # noqa: E731


class NoLen:
    """A sequence that cannot tell its length but iterates fine."""
    __getitem__ = lambda self, i: ["ab"][i]  # noqa: E731

    def __len__(self):
        raise ValueError("no length")


NoName = type("NoName", (), {"__qualname__": "\udc80"})  # a type name that cannot be read as UTF-8


def test_module_and_class():
    assert core.__name__ == "core" and core.__doc__ == ""
    assert [n for n in vars(core) if not n.startswith("__")] == ["Solver"]
    assert (Solver.__name__, Solver.__qualname__, Solver.__module__) == ("Solver",) * 2 + ("builtins",)
    assert Solver.__text_signature__ == "()" and not Solver.__doc__
    assert [n for n in vars(Solver) if not n.startswith("__")] == METHODS
    assert repr(Solver()).startswith("<builtins.Solver object at 0x")
    assert not gc.is_tracked(Solver())
    with pytest.raises(TypeError):
        type("Sub", (Solver,), {})
    with pytest.raises(AttributeError):
        Solver().x = 1
    with pytest.raises(TypeError):
        weakref.ref(Solver())


@pytest.mark.parametrize("name, params", [("load_dictionary_from_words", "words"),
                                          ("load_dictionary_from_path", "path"), ("add_word", "word"),
                                          ("solve", SOLVE_PARAMS), ("count", SOLVE_PARAMS)])
def test_method_signatures(name, params):
    method = getattr(Solver, name)
    assert method.__text_signature__ == f"($self, {params})"
    assert method.__doc__ is None
    assert str(inspect.signature(getattr(Solver(), name))) == f"({params})"
    # The method table entry is registered as METH_FASTCALL | METH_KEYWORDS.
    flags_address = method_def(getattr(Solver(), name)) + 2 * ctypes.sizeof(ctypes.c_void_p)
    assert ctypes.c_int.from_address(flags_address).value == 0x82


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("core")
    try:
        assert importlib.import_module("core") is first
    finally:
        sys.modules["core"] = first


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm (binutils) is not installed")
def test_module_exports_its_entry_only():
    # Anything else exported (say a standard template it instantiates) could
    # be bound by, or bind, the same symbol of another module in the process.
    listed = subprocess.run(["nm", "-D", "--defined-only", core.__file__], capture_output=True, text=True,
                            check=True).stdout.split("\n")
    assert [line.split()[-1] for line in listed if line.strip()] == ["PyInit_core"]


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="the private sub-interpreter API changed in 3.12")
def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    where = str(pathlib.Path(core.__file__).parent)
    sub = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError, match="ImportError.*sub-interpreters are not supported"):
            interpreters.run_string(sub, f"import sys; sys.path.insert(0, {where!r}); import core")
    finally:
        interpreters.destroy(sub)


def test_receiver_of_another_type_is_refused():
    # Rebind the C method of add_word to another object, bypassing the
    # descriptor's own type test.
    new_function = ctypes.pythonapi.PyCFunction_NewEx
    new_function.restype = ctypes.py_object
    new_function.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_void_p]
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'Solver'$"):
        new_function(method_def(Solver().add_word), 42, None)("x")


T, O = TypeError, OverflowError
CALL_ERRORS = [  # (call on the solver s, exception, message)
    ("Solver(1)", T, "Solver.__new__() takes 0 positional arguments but 1 was given"),
    ("Solver(1, 2)", T, "Solver.__new__() takes 0 positional arguments but 2 were given"),
    ("Solver(size=1)", T, "Solver.__new__() got an unexpected keyword argument 'size'"),
    ("s.add_word('a', 'b')", T, "Solver.add_word() takes 1 positional arguments but 2 were given"),
    ("s.add_word()", T, "Solver.add_word() missing 1 required positional argument: 'word'"),
    ("s.add_word('a', word='b')", T, "Solver.add_word() got multiple values for argument 'word'"),
    ("s.add_word(Word='x')", T, "Solver.add_word() got an unexpected keyword argument 'Word'"),
    ("s.add_word(**{'word\\0': 'x'})", T, "Solver.add_word() got an unexpected keyword argument 'word\0'"),
    ("s.add_word(**{'\\ud800': 'x'})", T, "Solver.add_word() got an unexpected keyword argument '\ud800'"),
    ("s.solve()", T, "Solver.solve() missing 1 required positional argument: 'phrase'"),
    ("s.solve(foo=1)", T, "Solver.solve() got an unexpected keyword argument 'foo'"),
    ("s.solve(b=1, a=2)", T, "Solver.solve() got an unexpected keyword argument 'b'"),
    ("s.solve(*range(10))", T, "Solver.solve() takes from 1 to 9 positional arguments but 10 were given"),
    ("s.solve(*range(11), foo=1)", T, "Solver.solve() takes from 1 to 9 positional arguments but 11 were given"),
    ("s.add_word(5)", T, "argument 'word': 'int' object cannot be converted to 'PyString'"),
    ("s.add_word(NoName())", T,
     "argument 'word': '<failed to extract type name>' object cannot be converted to 'PyString'"),
    ("s.load_dictionary_from_path(pathlib.Path('d'))", T,
     "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
    ("s.solve(None)", T, "argument 'phrase': 'NoneType' object cannot be converted to 'PyString'"),
    ("s.solve(max_words=-1, phrase=5)", T, "argument 'phrase': 'int' object cannot be converted to 'PyString'"),
    ("s.solve('a', must_start_with=['a'])", T,
     "argument 'must_start_with': 'list' object cannot be converted to 'PyString'"),
    ("s.load_dictionary_from_words('cat')", T, "argument 'words': Can't extract `str` to `Vec`"),
    ("s.load_dictionary_from_words(Weird('cat'))", T, "argument 'words': Can't extract `str` to `Vec`"),
    ("s.load_dictionary_from_words({'cat'})", T, "argument 'words': 'set' object cannot be converted to 'Sequence'"),
    ("s.load_dictionary_from_words(['cat', None])", T,
     "argument 'words': 'NoneType' object cannot be converted to 'PyString'"),
    ("s.load_dictionary_from_words(b'a')", T, "argument 'words': 'int' object cannot be converted to 'PyString'"),
    ("s.solve('a', contains_patterns='ing')", T, "argument 'contains_patterns': Can't extract `str` to `Vec`"),
    ("s.solve('a', contains_patterns=(x for x in 'a'))", T,
     "argument 'contains_patterns': 'generator' object cannot be converted to 'Sequence'"),
    ("s.solve('a', contains_patterns=['ing', 3])", T,
     "argument 'contains_patterns': 'int' object cannot be converted to 'PyString'"),
    ("s.solve('a', max_words=2.0)", T, "argument 'max_words': 'float' object cannot be interpreted as an integer"),
    ("s.solve('a', timeout_seconds='2')", T, "argument 'timeout_seconds': must be real number, not str"),
    ("s.solve('a', max_words=-1)", O, "can't convert negative int to unsigned"),
    ("s.solve('a', max_solutions=Index(2**64))", O, "int too big to convert"),
    ("s.solve('a', max_solutions=4294967296)", O, TOO_FAR),
    ("s.solve('a', min_word_length=2**64 - 1)", O, TOO_FAR),
    ("s.solve('a', timeout_seconds=10**400)", O, "int too large to convert to float"),
    ("s.load_dictionary_from_words(['a', '\\udc00'])", UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udc00' in position 0: surrogates not allowed"),
]


@pytest.mark.parametrize("call, error, message", CALL_ERRORS)
def test_call_errors(call, error, message):
    s = solver_with(AB_WORDS)
    with pytest.raises(error) as info:
        eval(call)
    assert type(info.value) is error and str(info.value) == message
    assert info.value.__cause__ is None and info.value.__context__ is None
    # The failed call changed nothing and left the instance free.
    s.add_word("ba")
    assert s.solve("ab") == [["ab"], ["ba"], ["a", "b"]] and s.solve("tac") == []


@pytest.mark.parametrize("options, expected", [
    ({}, BOTH), ({"phrase": "ab", "max_words": None}, BOTH), ({"max_words": True}, [["ab"]]),
    ({"max_words": False}, []), ({"max_words": Index(2)}, BOTH), ({"min_word_length": 2}, [["ab"]]),
    ({"max_solutions": 4294967295}, BOTH), ({"timeout_seconds": 2}, BOTH), ({"timeout_seconds": float("nan")}, BOTH),
    ({"timeout_seconds": -1}, []), ({"timeout_seconds": False}, []), ({"contains_patterns": ("ab",)}, [["ab"]]),
    ({"contains_patterns": NoLen()}, [["ab"]]), ({"contains_patterns": []}, BOTH), ({"contains_patterns": b""}, BOTH),
    ({"must_start_with": Weird("b")}, [["a", "b"]]), ({"can_only_ever_start_with": "a"}, [["ab"]]),
    ({"must_not_start_with": ""}, BOTH),
])
def test_converted_options_reach_the_search(options, expected):
    args = () if "phrase" in options else ("ab",)
    assert solver_with(AB_WORDS).solve(*args, **options) == expected


def test_dictionary_methods_add_words():
    s = Solver()
    assert s.add_word(word="Listen") is None and s.add_word("silent") is None
    assert s.load_dictionary_from_words(("Enlist", "", "42")) is None
    s.load_dictionary_from_words(NoLen())
    s.add_word(Weird("ba"))
    first = s.solve("LISTEN!")
    assert first == [["enlist"], ["listen"], ["silent"]]
    assert s.solve("listen") is not first
    assert s.solve("ab") == [["ab"], ["ba"]]
    assert s.solve("") == [] and Solver().solve("ab") == []


def raising(error):
    def run():
        raise error
    return run


class Words(list):
    """A sequence whose iteration runs `call` first."""

    def __init__(self, call):
        self.call = call

    def __iter__(self):
        self.call()
        yield "ba"


def test_only_an_exact_type_error_is_renamed_and_keeps_only_its_cause():
    cause = ValueError("why")
    with pytest.raises(TypeError) as info:
        Solver().solve("ab", max_words=Index(1, raising(TypeError("bad index"))))
    assert str(info.value) == "argument 'max_words': bad index" and info.value.__context__ is None
    try:
        raise TypeError("caused") from cause
    except TypeError as error:
        caused = error
    with pytest.raises(TypeError) as info:
        Solver().solve("ab", max_words=Index(1, raising(caused)))
    assert str(info.value) == "argument 'max_words': caused" and info.value.__cause__ is cause
    subclass_error = type("SubTypeError", (TypeError,), {})("mine")
    with pytest.raises(TypeError) as info:
        Solver().solve("ab", max_words=Index(1, raising(subclass_error)))
    assert info.value is subclass_error


def test_conversions_run_in_parameter_order_and_stop_at_the_first_failure():
    seen = []
    record = lambda name: Index(1, lambda: seen.append(name))  # noqa: E731
    Solver().solve(max_solutions=record("max_solutions"), max_words=record("max_words"), phrase="x")
    assert seen == ["max_words", "max_solutions"]
    seen.clear()
    with pytest.raises(TypeError, match="argument 'min_word_length'"):
        Solver().solve("x", max_solutions=record("max_solutions"), min_word_length=1.5)
    assert seen == []


def test_reentrant_calls_and_the_borrow_counter():
    s = solver_with(AB_WORDS)
    inner = []
    assert s.solve("ab", max_words=Index(1, lambda: inner.append(s.solve("ab")))) == [["ab"]]
    assert inner == [BOTH]
    # Not a TypeError, so it reaches the caller without an argument name.
    with pytest.raises(RuntimeError) as info:
        s.solve("ab", max_words=Index(1, lambda: s.add_word("x")))
    assert type(info.value) is RuntimeError and str(info.value) == "Already borrowed"
    for call, message in [(lambda: s.solve("ab"), "^Already mutably borrowed$"),
                          (lambda: s.add_word("x"), "^Already borrowed$"),
                          (lambda: s.solve(*range(11)), "takes from 1 to 9 positional arguments but 11")]:
        with pytest.raises((RuntimeError, TypeError), match=message):
            s.load_dictionary_from_words(Words(call))
    s.add_word("ba")  # free again after every failure
    assert s.solve("ab") == [["ab"], ["ba"], ["a", "b"]]


def test_argument_reference_counts_are_unchanged():
    s = solver_with(AB_WORDS)
    phrase, word, item = "".join(["a", "b"]), "".join(["b", "a"]), "".join(["c", "d"])
    words, patterns = [word, item], (item,)
    bad_words = [item, 5]
    watched = [phrase, word, item, words, patterns, bad_words, s]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(3):
        s.load_dictionary_from_words(words)
        s.add_word(word=word)
        s.solve(phrase, contains_patterns=patterns, must_start_with=phrase)
        with pytest.raises(TypeError):
            s.load_dictionary_from_words(bad_words)
        with pytest.raises(TypeError):
            s.solve(phrase, contains_patterns=bad_words)
    assert [sys.getrefcount(o) for o in watched] == before


def test_unreadable_dictionary_paths(tmp_path):
    s = solver_with(AB_WORDS)
    for path, text in [(tmp_path / "missing.txt", "No such file or directory (os error 2)"),
                       (tmp_path, "Is a directory (os error 21)"),
                       ("", "No such file or directory (os error 2)"),
                       (f"{tmp_path}/d\0.txt", "file name contained an unexpected NUL byte")]:
        with pytest.raises(OSError) as info:
            s.load_dictionary_from_path(str(path))
        assert type(info.value) is OSError and info.value.errno is None
        assert info.value.args == ("Failed to read dictionary: " + text,)
    assert s.solve("ab") == BOTH


NOT_UTF8 = "Failed to read dictionary: stream did not contain valid UTF-8"


@pytest.mark.parametrize("content, expected", [
    (b"cat\r\nact\r\n", [["act"], ["cat"]]), (b"cat\nact", [["act"], ["cat"]]), (b"", []),
    (b"\xef\xbb\xbfc\xc3\xa9at\n\xf0\x9f\x98\x80\n\xf4\x8f\xbf\xbfact\n", [["act"], ["cat"]]),
    # Latin-1, overlong forms, surrogates, above U+10FFFF, stray and cut-short sequences
    *[(bad, NOT_UTF8) for bad in [b"act\ncaf\xe9\n", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xf0\x80\x80\xaf",
                                  b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xf4\x90\x80\x80", b"\xf8\x88\x80\x80\x80",
                                  b"\xff", b"\x80", b"act\n\xf0\x9f\x98", b"\xe2\x82"]],
])
def test_dictionary_files(tmp_path, content, expected):
    path = tmp_path / "d.txt"
    path.write_bytes(content)
    s = Solver()
    if expected == NOT_UTF8:
        with pytest.raises(OSError, match=f"^{NOT_UTF8}$"):
            s.load_dictionary_from_path(str(path))
        expected = []  # not even the lines before the bad bytes
    else:
        assert s.load_dictionary_from_path(path=str(path)) is None
    assert s.solve("tac") == expected


@settings(max_examples=150, deadline=None)
@given(st.one_of(st.binary(max_size=12), st.text(max_size=6).map(lambda t: t.encode("utf-8", "surrogatepass"))))
def test_dictionary_file_must_be_strict_utf8(tmp_path_factory, content):
    path = tmp_path_factory.mktemp("utf8") / "d.txt"
    path.write_bytes(content)
    try:
        content.decode("utf-8")
    except UnicodeDecodeError:
        with pytest.raises(OSError, match=f"^{NOT_UTF8}$"):
            Solver().load_dictionary_from_path(str(path))
    else:
        Solver().load_dictionary_from_path(str(path))
