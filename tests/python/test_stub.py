"""The type stub src/core.pyi must describe the built module exactly."""

import ast
import inspect
from pathlib import Path

import core
import pytest

STUB = Path(__file__).resolve().parents[2] / "src" / "core.pyi"


def _stub_methods():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    # SolveIterator is the type iter_solve returns; like the types of
    # builtins' iterators it is not a module attribute.
    assert set(classes) == {"Solver", "SolveIterator", "BestIterator"}
    assert type(core.Solver().iter_solve("")).__name__ == "SolveIterator"
    assert type(core.Solver().iter_best("")).__name__ == "BestIterator"
    return {f.name: f for f in classes["Solver"].body if isinstance(f, ast.FunctionDef)}


def _stub_params(func):
    """(name, kind, default) for each parameter after self, as inspect spells them."""
    a = func.args
    assert not (a.vararg or a.kwarg or a.kwonlyargs or a.posonlyargs)
    names = [arg.arg for arg in a.args]
    assert names[0] == "self"
    defaults = [inspect.Parameter.empty] * (len(names) - len(a.defaults)) + [
        ast.literal_eval(d) for d in a.defaults
    ]
    kind = inspect.Parameter.POSITIONAL_OR_KEYWORD
    return [(n, kind, d) for n, d in zip(names[1:], defaults[1:])]


def _runtime_params(obj):
    params = list(inspect.signature(obj).parameters.values())
    return [(p.name, p.kind, p.default) for p in params if p.name != "self"]


def test_stub_lists_exactly_the_public_methods():
    public = {n for n in dir(core.Solver) if not n.startswith("_")}
    stub = set(_stub_methods())
    assert stub - {"__init__"} == public
    assert [n for n in dir(core) if not n.startswith("_")] == ["Solver"]


@pytest.mark.parametrize(
    "name", ["load_dictionary_from_words", "load_dictionary_from_path", "add_word", "solve",
             "count", "iter_solve", "load_scores", "load_scores_from_path", "iter_best", "best"]
)
def test_method_signature_matches(name):
    stub = _stub_methods()[name]
    assert _stub_params(stub) == _runtime_params(getattr(core.Solver, name))
    assert ast.get_docstring(stub), f"stub of {name} has no docstring"


def test_constructor_takes_nothing():
    assert _stub_params(_stub_methods()["__init__"]) == []
    assert _runtime_params(core.Solver) == []
    with pytest.raises(TypeError):
        core.Solver(1)


def test_stub_is_copied_next_to_the_built_module():
    beside = Path(core.__file__).with_name("core.pyi")
    if beside.exists():
        assert beside.read_text(encoding="utf-8") == STUB.read_text(encoding="utf-8")


def test_request_methods_share_one_parameter_list():
    # The request parameters are declared once on the C++ side; every request
    # method, in the module and in the stub, takes the phrase and then them.
    stub = _stub_methods()
    tails = {name: _runtime_params(getattr(core.Solver, name))[1:] for name in ("solve", "count", "iter_solve")}
    assert len({tuple(t) for t in tails.values()}) == 1
    options = [p[0] for p in tails["solve"]]
    assert options == ["must_start_with", "can_only_ever_start_with", "must_not_start_with", "max_words",
                       "min_word_length", "timeout_seconds", "max_solutions", "contains_patterns"]
    assert all(p[2] is None for p in tails["solve"])
    for name in tails:
        assert [p[0] for p in _stub_params(stub[name])][1:] == options
