"""Arbitrary Python objects in every parameter, threads, trace-file faults and
very large inputs: never a crash, always the documented result or exception,
and the instance is intact afterwards.

The expected outcome of each call comes from a model of the argument
conversions written here; where a call succeeds, its result must equal the
same call made with plain str/int/float/list arguments.
"""

import gc
import json
import operator
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import core
from conftest import run_threads, solver_with

BASE_WORDS = ["listen", "silent", "enlist", "tinsel", "inlets", "a", "i", "is", "it", "its", "sit", "lent",
              "net", "ten", "tin", "nit", "sen", "set"]
KNOWN = "Listen!"
SOLVE_PARAMS = ("phrase", "must_start_with", "can_only_ever_start_with", "must_not_start_with", "max_words",
                "min_word_length", "timeout_seconds", "max_solutions", "contains_patterns")
COUNT_PARAMS = {"max_words", "min_word_length", "max_solutions"}
TEXT_PARAMS = {"phrase", "must_start_with", "can_only_ever_start_with", "must_not_start_with"}
U32_MAX = 2**32 - 1

FUZZ = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


BASELINE = solver_with(BASE_WORDS).solve(KNOWN)


def assert_intact(s, expected_known=None):
    """The borrow counter is free and the dictionary answers as before."""
    s.add_word("")  # needs the exclusive borrow; adds nothing
    assert s.solve(KNOWN) == (BASELINE if expected_known is None else expected_known)


# --- Objects that misbehave -----------------------------------------------------
#
# Each one records its calls in CALLS, so a test can see that no parameter after
# the first failing one was looked at. Their behaviour is declared in their
# fields, so the model below never needs to run them.

CALLS = []


class Boom(Exception):
    pass


class TypeErrorChild(TypeError):
    pass


class Index:
    """An __index__ that returns `value`, raises `error`, or first calls back
    into the instance under test (`action`: 'solve' or 'add_word')."""

    def __init__(self, value=0, error=None, action=None, swallow=False):
        self.value, self.error, self.action, self.swallow = value, error, action, swallow
        self.target = None
        self.nested = None

    def call_back(self):
        try:
            if self.action == "solve":
                self.nested = self.target.solve(KNOWN)
            elif self.action == "add_word":
                self.target.add_word("zzz")
        except BaseException:
            if not self.swallow:
                raise

    def __index__(self):
        CALLS.append(self)
        if self.action:
            self.call_back()
        if self.error is not None:
            raise self.error
        return self.value

    def __repr__(self):
        return f"Index({self.value!r}, {self.error!r}, {self.action!r}, {self.swallow})"


class Floaty(Index):
    """The same with __float__ (and no __index__ of its own)."""

    __index__ = None

    def __float__(self):
        return Index.__index__(self)

    def __repr__(self):
        return "Floaty" + Index.__repr__(self)[5:]


class Words:
    """A sequence of `items` whose __len__ may raise, whose __iter__ may raise
    at once or after `fail_after` items, and which may call back into the
    instance when iterated."""

    def __init__(self, items, len_error=None, iter_error=None, fail_after=None, action=None, swallow=False):
        self.items, self.len_error, self.iter_error = list(items), len_error, iter_error
        self.fail_after, self.action, self.swallow = fail_after, action, swallow
        self.target = None
        self.nested = None

    def __len__(self):
        CALLS.append(self)
        if self.len_error is not None:
            raise self.len_error
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        CALLS.append(self)
        if self.action:
            Index.call_back(self)
        if self.iter_error is not None and self.fail_after is None:
            raise self.iter_error
        for n, item in enumerate(self.items):
            if self.iter_error is not None and n == self.fail_after:
                raise self.iter_error
            yield item

    def __repr__(self):
        return (f"Words({self.items!r}, {self.len_error!r}, {self.iter_error!r}, {self.fail_after!r}, "
                f"{self.action!r}, {self.swallow})")


class OldSequence:
    """Iterable only through __getitem__ and IndexError."""

    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, i):
        return self.items[i]

    def __repr__(self):
        return f"OldSequence({self.items!r})"


class Str(str):
    def __str__(self):
        return "not me"


class Int(int):
    def __index__(self):
        raise AssertionError("an int's own value is used")


class Float(float):
    def __float__(self):
        raise AssertionError("a float's own value is used")


# --- Strategies -----------------------------------------------------------------

errors = st.sampled_from([Boom("boom"), TypeError("plain"), TypeErrorChild("child"), ValueError("v"),
                          OverflowError("o"), RuntimeError("r")])
actions = st.sampled_from([None, None, "solve", "add_word"])
small_text = st.text(alphabet="listenaLISTEN -'é1\u212a\x00", max_size=12)
texts = st.one_of(small_text, st.text(max_size=12), st.builds(Str, small_text),
                  st.sampled_from(["\ud800", "a\udfffb"]))
ints = st.one_of(st.integers(), st.integers(-3, 10),
                 st.sampled_from([U32_MAX, U32_MAX + 1, 2**64 - 1, 2**64, -2**64, 10**30]),
                 st.booleans(), st.builds(Int, st.integers(0, 10)))
floats = st.one_of(st.floats(), st.floats(-1, 10), st.builds(Float, st.floats(0, 5)))
index_objects = st.builds(Index, st.integers(-5, 2**33), st.none() | errors, actions, st.booleans())
float_objects = st.builds(Floaty, st.floats(-1, 5), st.none() | errors, actions, st.booleans())
word_lists = st.lists(texts, max_size=4)
sequences = st.one_of(
    word_lists, word_lists.map(tuple), word_lists.map(OldSequence),
    st.builds(Words, word_lists, st.none() | errors, st.none() | errors, st.none() | st.integers(0, 3), actions,
              st.booleans()),
    st.lists(st.one_of(texts, st.integers(), st.none(), st.binary(max_size=3)), max_size=3),
    st.binary(max_size=3), st.just(range(2)))
others = st.one_of(st.none(), st.binary(max_size=4), st.sets(small_text, max_size=2),
                   st.dictionaries(small_text, small_text, max_size=2), st.just(iter(["a"])), st.just(object()),
                   st.complex_numbers(max_magnitude=5), st.just(Boom("as argument")))
anything = st.one_of(texts, ints, floats, index_objects, float_objects, sequences, others)


plain_text = st.one_of(small_text, st.builds(Str, small_text))
good_index = st.builds(Index, st.integers(0, 6), st.none(), actions, st.just(True))
good_count = st.one_of(st.integers(0, 6), st.booleans(), st.builds(Int, st.integers(0, 6)), good_index,
                       st.just(U32_MAX))
# Values each parameter accepts (the Index objects may still call back into
# the instance, which a shared borrow allows).
phrases = st.sampled_from(["Listen!", "silent", "its", "nest tin", "Tinsel, a", "a i", "", "é listen"])
GOOD = {
    "phrase": st.one_of(phrases, phrases.map(Str), plain_text),
    "must_start_with": st.one_of(st.sampled_from(["", "l", "ts", "Sl"]), plain_text),
    "can_only_ever_start_with": st.one_of(st.sampled_from(["", "list", "aeinst", "LT"]), plain_text),
    "must_not_start_with": st.one_of(st.sampled_from(["", "l", "é", "ax"]), plain_text),
    "max_words": good_count,
    "min_word_length": good_count,
    "timeout_seconds": st.one_of(st.sampled_from([1e9, float("nan"), float("inf"), -1.0, -0.0, 5, True]),
                                 st.floats(1, 100), st.builds(Float, st.floats(1, 5)),
                                 st.builds(Floaty, st.floats(1, 5)), good_index.map(lambda i: i if i.value else
                                                                                    Index(7))),
    "max_solutions": good_count,
    "contains_patterns": st.one_of(st.lists(small_text, max_size=2), st.lists(small_text, max_size=2).map(tuple),
                                   st.lists(small_text, max_size=2).map(OldSequence),
                                   st.builds(Words, st.lists(small_text, max_size=2), st.none() | errors,
                                             action=actions, swallow=st.just(True))),
}
# Values that may well be refused, per parameter.
ODD = {name: st.one_of(anything, anything, strategy) for name, strategy in {
    "phrase": texts, "must_start_with": texts, "can_only_ever_start_with": texts, "must_not_start_with": texts,
    "max_words": st.one_of(ints, index_objects), "min_word_length": st.one_of(ints, index_objects),
    "timeout_seconds": st.one_of(floats, float_objects, index_objects),
    "max_solutions": st.one_of(ints, index_objects), "contains_patterns": sequences}.items()}


@st.composite
def solve_arguments(draw):
    """Some options with good values, and up to two parameters with odd ones."""
    args = {}
    for name in SOLVE_PARAMS:
        if name == "phrase" and draw(st.integers(0, 19)) > 0 or draw(st.booleans()):
            args[name] = draw(GOOD[name])
    for name in draw(st.lists(st.sampled_from(SOLVE_PARAMS), max_size=2, unique=True)):
        args[name] = draw(st.none() | ODD[name])
    return args


# --- The model of the conversions -----------------------------------------------

class Expected(Exception):
    """The exception a call must raise: its type and exact message, or a
    prefix of it when the rest is the interpreter's own wording."""

    def __init__(self, kind, message=None, prefix=None):
        super().__init__(kind, message, prefix)
        self.kind, self.message, self.prefix = kind, message, prefix


def qualname(obj):
    return type(obj).__qualname__


def wrap(name, error):
    """Rule of the calling machinery: an exact TypeError gets the argument name."""
    if type(error) is TypeError:
        return Expected(TypeError, f"argument '{name}': {error}")
    return Expected(type(error), str(error))


def expect_text(name, obj):
    if not isinstance(obj, str):
        raise Expected(TypeError, f"argument '{name}': '{qualname(obj)}' object cannot be converted to 'PyString'")
    value = str.__str__(obj)
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise Expected(UnicodeEncodeError) from None
    return value


def run_declared(obj, instance, borrow):
    """What a misbehaving object does when the module calls it while holding
    `borrow` ('shared' or 'exclusive') of `instance`."""
    if obj.action == "add_word" or (obj.action == "solve" and borrow == "exclusive"):
        if not obj.swallow:
            raise Expected(RuntimeError, "Already borrowed" if obj.action == "add_word" else
                           "Already mutably borrowed")
    if obj.error is not None:
        raise wrap(obj.name, obj.error)


def expect_count(name, obj, instance):
    if isinstance(obj, int):
        value = int(obj)
    elif isinstance(obj, Index) and not isinstance(obj, Floaty):
        obj.name = name
        run_declared(obj, instance, "shared")
        value = obj.value
    else:
        try:
            value = operator.index(obj)
        except TypeError as e:
            raise wrap(name, e) from None
    if value < 0 or value >= 2**64:
        raise Expected(OverflowError)
    if value > U32_MAX:
        raise Expected(OverflowError, "out of range integral type conversion attempted")
    return value


def expect_seconds(obj, instance):
    name = "timeout_seconds"
    if isinstance(obj, float):
        return float.__float__(obj)
    if isinstance(obj, (Index, Floaty)):
        obj.name = name
        run_declared(obj, instance, "shared")
        if isinstance(obj, Floaty):
            return float(obj.value)
        try:
            return float(obj.value)
        except OverflowError as e:
            raise Expected(OverflowError, str(e)) from None
    if isinstance(obj, int):
        try:
            return float(obj)
        except OverflowError as e:
            raise Expected(OverflowError, str(e)) from None
    if isinstance(obj, complex):
        raise Expected(TypeError, prefix=f"argument '{name}': ")
    raise Expected(TypeError, f"argument '{name}': must be real number, not {qualname(obj)}")


def expect_text_list(name, obj, instance, borrow):
    if isinstance(obj, str):
        raise Expected(TypeError, f"argument '{name}': Can't extract `str` to `Vec`")
    if not hasattr(type(obj), "__getitem__") or isinstance(obj, dict):
        raise Expected(TypeError, f"argument '{name}': '{qualname(obj)}' object cannot be converted to 'Sequence'")
    items = list(obj.items) if isinstance(obj, (Words, OldSequence)) else list(obj)
    if isinstance(obj, Words):
        obj.name = name
        if obj.action == "add_word" or (obj.action == "solve" and borrow == "exclusive"):
            if not obj.swallow:
                raise Expected(RuntimeError, "Already borrowed" if obj.action == "add_word" else
                               "Already mutably borrowed")
        if obj.iter_error is not None:
            if obj.fail_after is None:
                raise wrap(name, obj.iter_error)
            head = items[:obj.fail_after]
            for item in head:
                expect_text(name, item)
            if obj.fail_after < len(items):
                raise wrap(name, obj.iter_error)
    return [expect_text(name, item) for item in items]


def expected_solve(instance, args):
    """Plain arguments for the same request, or the Expected failure, which
    names the parameter that failed."""
    plain = {}
    for name in SOLVE_PARAMS:
        obj = args.get(name)
        if name != "phrase" and obj is None:
            continue
        try:
            if name in TEXT_PARAMS:
                plain[name] = expect_text(name, obj)
            elif name in COUNT_PARAMS:
                plain[name] = expect_count(name, obj, instance)
            elif name == "timeout_seconds":
                plain[name] = expect_seconds(obj, instance)
            else:
                plain[name] = expect_text_list(name, obj, instance, "shared")
        except Expected as failure:
            failure.param = name
            raise
    return plain


def assert_raises(expected, call):
    """Runs `call` and checks that it raises exactly what `expected` says."""
    with pytest.raises(BaseException) as excinfo:
        call()
    assert type(excinfo.value) is expected.kind, (excinfo.value, expected)
    if expected.message is not None:
        assert str(excinfo.value) == expected.message
    if expected.prefix is not None:
        assert str(excinfo.value).startswith(expected.prefix)


def attach(args, instance):
    for obj in args.values():
        if isinstance(obj, (Index, Words)):
            obj.target = instance


def check_full_or_cut(got, plain, reference):
    """The result of a request with these plain options, read from `reference`.
    A cap or a short time limit may cut it to a sorted part of the whole."""
    cut = {k: v for k, v in plain.items() if k not in ("max_solutions", "timeout_seconds")}
    whole = reference.solve(**cut)
    limit = plain.get("timeout_seconds")
    if limit is not None and limit < 0:
        assert got == []
        return
    if limit is not None and limit < 1:  # may or may not expire during the search
        assert all(s in whole for s in got)
        return
    cap = plain.get("max_solutions")
    if cap is None:
        assert got == whole
    else:
        assert len(got) == min(cap, len(whole)) and all(s in whole for s in got)
        assert got == sorted(got, key=lambda s: whole.index(s))


# --- solve -----------------------------------------------------------------------

@FUZZ
@given(args=solve_arguments(), positional=st.integers(0, 9))
def test_solve_with_arbitrary_arguments(args, positional):
    s = solver_with(BASE_WORDS)
    attach(args, s)
    # The first `positional` parameters go by position when all are given.
    names = [n for n in SOLVE_PARAMS if n in args]
    given_positionally = names[:positional] if names == list(SOLVE_PARAMS[:len(names)]) else []
    pos = [args[n] for n in given_positionally]
    kw = {n: args[n] for n in names if n not in given_positionally}
    if "phrase" not in args:
        with pytest.raises(TypeError) as excinfo:
            s.solve(*pos, **kw)
        assert str(excinfo.value) == "Solver.solve() missing 1 required positional argument: 'phrase'"
        assert_intact(s)
        return
    try:
        plain = expected_solve(s, args)
    except Expected as expected:
        failing = expected
        plain = None
    CALLS.clear()
    if plain is None:
        assert_raises(failing, lambda: s.solve(*pos, **kw))
        # No parameter after the failing one was looked at.
        later = SOLVE_PARAMS[SOLVE_PARAMS.index(failing.param) + 1:]
        assert not any(any(c is args[n] for c in CALLS) for n in later if n in args)
    else:
        got = s.solve(*pos, **kw)
        check_full_or_cut(got, plain, s)
        for obj in args.values():
            if getattr(obj, "action", None) == "solve" and obj.nested is not None:
                assert obj.nested == BASELINE  # a solve nested in a solve works
    assert_intact(s)


# --- the dictionary methods ------------------------------------------------------

def dictionary_probe(s, words):
    """Answers that differ when the dictionaries differ in any of `words`."""
    encodable = [w for w in words if isinstance(w, str) and not any(0xD800 <= ord(c) <= 0xDFFF for c in w)]
    probes = [KNOWN] + encodable[:6]
    return [s.solve(p, max_words=1) for p in probes] + [s.solve(KNOWN)]


@FUZZ
@given(words=st.one_of(sequences, anything), by_keyword=st.booleans())
def test_load_dictionary_from_words_with_arbitrary_arguments(words, by_keyword):
    s = solver_with(BASE_WORDS)
    attach({"words": words}, s)
    try:
        plain = expect_text_list("words", words, s, "exclusive")
    except Expected as expected:
        assert_raises(expected, lambda: s.load_dictionary_from_words(words=words) if by_keyword
                      else s.load_dictionary_from_words(words))
        candidates = words.items if isinstance(words, (Words, OldSequence)) else []
        assert dictionary_probe(s, candidates) == dictionary_probe(solver_with(BASE_WORDS), candidates)
        assert_intact(s)
        return
    assert (s.load_dictionary_from_words(words=words) if by_keyword else s.load_dictionary_from_words(words)) is None
    reference = solver_with(BASE_WORDS)
    reference.load_dictionary_from_words(plain)
    assert dictionary_probe(s, plain) == dictionary_probe(reference, plain)
    assert_intact(s, reference.solve(KNOWN))


@FUZZ
@given(word=st.one_of(texts, anything))
def test_add_word_with_arbitrary_arguments(word):
    s = solver_with(BASE_WORDS)
    attach({"word": word}, s)
    try:
        plain = expect_text("word", word)
    except Expected as expected:
        assert_raises(expected, lambda: s.add_word(word))
        assert_intact(s)
        return
    assert s.add_word(word) is None
    reference = solver_with(BASE_WORDS)
    reference.add_word(plain)
    assert dictionary_probe(s, [plain]) == dictionary_probe(reference, [plain])
    assert_intact(s, reference.solve(KNOWN))


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("dicts")
    (d / "good.txt").write_text("tinsel\r\nnets\n\nLent\n")
    (d / "latin1.txt").write_bytes("tinsel\ncaf\xe9\n".encode("latin-1"))
    (d / "empty.txt").write_bytes(b"")
    (d / "folder").mkdir()
    return d


@FUZZ
@given(path=st.one_of(st.sampled_from(["good.txt", "latin1.txt", "empty.txt", "folder", "missing.txt", "",
                                       "good.txt\x00", "/", "\udcff"]),
                      st.text(alphabet="abc./\x00", max_size=6), anything))
def test_load_dictionary_from_path_with_arbitrary_arguments(files, path):
    s = solver_with(BASE_WORDS)
    cwd = os.getcwd()
    os.chdir(files)
    try:
        try:
            plain = expect_text("path", path)
        except Expected as expected:
            assert_raises(expected, lambda: s.load_dictionary_from_path(path))
            assert_intact(s)
            return
        content = None
        if "\x00" not in plain and os.path.isfile(plain):
            try:
                content = open(plain, "rb").read().decode("utf-8")
            except UnicodeDecodeError:
                pass
        if content is None:
            with pytest.raises(OSError) as excinfo:
                s.load_dictionary_from_path(path)
            assert type(excinfo.value) is OSError and excinfo.value.errno is None
            assert str(excinfo.value).startswith("Failed to read dictionary: ")
            assert_intact(s)
        else:
            assert s.load_dictionary_from_path(path) is None
            reference = solver_with(BASE_WORDS)
            reference.load_dictionary_from_words(content.split("\n"))
            assert dictionary_probe(s, ["tinsel", "nets", "lent"]) == \
                dictionary_probe(reference, ["tinsel", "nets", "lent"])
    finally:
        os.chdir(cwd)


# --- threads ---------------------------------------------------------------------

class SlowIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0.0002)
        return self.value


class SlowWords:
    def __init__(self, words):
        self.words = words

    def __len__(self):
        return len(self.words)

    def __getitem__(self, i):
        return self.words[i]

    def __iter__(self):
        for w in self.words:
            time.sleep(0.0002)
            yield w


def test_threads_on_one_instance_never_crash_and_leave_the_counter_free(tmp_path):
    dict_file = tmp_path / "d.txt"
    dict_file.write_text("nets\nstein\n")
    s = solver_with(BASE_WORDS)
    outcomes = {"ok": 0, "Already borrowed": 0, "Already mutably borrowed": 0}
    added = set()
    lock = threading.Lock()
    problems = []

    def record(call, new_words=()):
        try:
            result = call()
        except RuntimeError as e:
            if str(e) not in outcomes:
                problems.append(repr(e))
                return
            with lock:
                outcomes[str(e)] += 1
            return
        except BaseException as e:  # anything else is a fault
            problems.append(repr(e))
            return
        with lock:
            outcomes["ok"] += 1
            added.update(new_words)
        return result

    # The words the writers add make no new anagram of KNOWN.
    expected = s.solve(KNOWN, max_words=3)

    def solver_thread(n):
        for i in range(40):
            result = record(lambda: s.solve(KNOWN, max_words=SlowIndex(3), max_solutions=SlowIndex(1000)))
            if result is not None and result != expected:
                problems.append(f"odd result {result}")
            time.sleep(0.002 * (i % 3))  # lets a writer in now and then

    def writer_thread(n):
        for i in range(40):
            word = f"{'tens' if i % 2 else 'nest'}"
            kind = i % 3
            if kind == 0:
                record(lambda: s.add_word(word), [word])
            elif kind == 1:
                record(lambda: s.load_dictionary_from_words(SlowWords([word, "stein"])), [word, "stein"])
            else:
                record(lambda: s.load_dictionary_from_path(str(dict_file)), ["nets", "stein"])
            time.sleep(0.001)

    run_threads([(solver_thread, (n,)) for n in range(2)] + [(writer_thread, (n,)) for n in range(2)],
                switch_interval=1e-5)
    assert problems == []
    assert outcomes["ok"] > 0
    print("thread outcomes:", outcomes)
    reference = solver_with(BASE_WORDS)
    reference.load_dictionary_from_words(sorted(added))
    assert_intact(s, reference.solve(KNOWN))
    assert s.solve("stein nets", max_words=2) == reference.solve("stein nets", max_words=2)


# --- trace-file faults -------------------------------------------------------------

TRACE_SCRIPT = textwrap.dedent("""
    import json, os, sys
    import core
    s = core.Solver()
    s.load_dictionary_from_words({words!r})
    plain = s.solve({phrase!r}, max_words=3)
    {setup}
    os.environ["ANAGRAM_DEBUG_LOG"] = "1"
    traced = s.solve({phrase!r}, max_words=3)
    sys.stdout.write(json.dumps([plain, traced]))
""")


def run_traced(tmp_path, setup, phrase="listen"):
    script = TRACE_SCRIPT.format(words=BASE_WORDS, phrase=phrase, setup=setup)
    env = dict(os.environ, PYTHONPATH=os.path.dirname(core.__file__))
    env.pop("ANAGRAM_DEBUG_LOG", None)
    done = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    plain, traced = json.loads(done.stdout)
    assert traced == plain and plain != []
    return done.stderr


def test_trace_faults_never_change_the_result(tmp_path):
    # A good run first, to know how many lines the trace has.
    good = tmp_path / "good"
    good.mkdir()
    assert run_traced(good, "") == ""
    lines = (good / "anagram_solver_debug.log").read_text().count("\n")
    assert lines > 20

    taken = tmp_path / "taken"
    (taken / "anagram_solver_debug.log").mkdir(parents=True)
    assert run_traced(taken, "") == \
        "Failed to create log file anagram_solver_debug.log: Is a directory (os error 21)\n"

    full = tmp_path / "full"
    full.mkdir()
    (full / "anagram_solver_debug.log").symlink_to("/dev/full")
    assert run_traced(full, "") == "Log write error: No space left on device (os error 28)\n" * lines

    gone = tmp_path / "gone"
    gone.mkdir()
    assert run_traced(gone, f"os.rmdir({str(gone)!r})") == \
        "Failed to create log file anagram_solver_debug.log: No such file or directory (os error 2)\n"

    # A value that is not UTF-8 turns tracing off without a word.
    silent = tmp_path / "silent"
    silent.mkdir()
    script = TRACE_SCRIPT.format(words=BASE_WORDS, phrase="listen", setup="")
    script = script.replace('os.environ["ANAGRAM_DEBUG_LOG"] = "1"', 'os.environb[b"ANAGRAM_DEBUG_LOG"] = b"\\xff"')
    env = dict(os.environ, PYTHONPATH=os.path.dirname(core.__file__))
    done = subprocess.run([sys.executable, "-c", script], cwd=silent, env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0 and done.stderr == ""
    assert not (silent / "anagram_solver_debug.log").exists()


# --- very large inputs -------------------------------------------------------------

def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


def test_long_phrases():
    s = solver_with(BASE_WORDS)
    filler = "0123456789 ,.-!?" * (10**6 // 16)
    for phrase in [filler, filler + "é", "é" + "a" * 10**6, "listen" * 200_000 + "\u212a"]:
        assert s.solve(phrase) == []
    # Half a million words deep. (With the word "a" as well, every mix of a
    # and ab would be tried: exponential, as any exhaustive search.)
    deep = core.Solver()
    deep.add_word("ab")
    result, seconds = timed(lambda: deep.solve("ab" * 500_000))
    assert result == [["ab"] * 500_000]
    print(f"500,000-word solution in {seconds:.2f} s")
    # Too many letters for the word budget: an empty list, not a long search.
    assert deep.solve("ab" * 500_000, max_words=1000) == []


def test_huge_dictionaries(tmp_path):
    import itertools
    letters = "abcdefghijklmnopqrstuvwxyz"
    words = ["".join(p) for p in itertools.islice(itertools.product(letters, repeat=5), 10**6)]
    s = core.Solver()
    s.load_dictionary_from_words(words)
    dict_file = tmp_path / "million.txt"
    dict_file.write_text("\n".join(words) + "\n")
    t = core.Solver()
    t.load_dictionary_from_path(str(dict_file))
    in_dictionary = set(words)
    expected = sorted([w] for w in {"".join(p) for p in itertools.permutations("cabed")} if w in in_dictionary)
    assert s.solve("cabed") == expected == t.solve("cabed")
    assert s.solve("zzzzz") == [] and s.solve("abcd") == []


def test_long_words():
    s = core.Solver()
    long_a = "ab" * 5_000
    long_b = "cd" * 5_000
    s.load_dictionary_from_words([long_a, long_b, "abcd"])
    assert s.solve(long_a.upper()) == [[long_a]]
    assert s.solve(long_b + long_a, max_words=2) == [[long_a, long_b]]
    assert s.solve(long_a + "z") == []


def test_a_million_patterns():
    s = solver_with(BASE_WORDS)
    whole = s.solve(KNOWN)
    assert s.solve(KNOWN, contains_patterns=["en"] * 10**6) == \
        s.solve(KNOWN, contains_patterns=["en"]) == [w for w in whole if any("en" in x for x in w)]
    assert s.solve(KNOWN, contains_patterns=["xyz"] + ["e"] * 10**6) == []
    assert s.solve(KNOWN, contains_patterns=["", "1", "é"] * 300_000) == whole
    gc.collect()
