"""The type stub src/dwex/dwex.pyi against the module it describes: the same public
names, the same parameters (names, kinds, defaults), the same docstrings, and
annotations that agree with the ones the functions carry."""

import ast
import builtins
import inspect
import pathlib
import types

import pytest

import dwex

STUB = pathlib.Path(__file__).resolve().parents[3] / "src" / "dwex" / "dwex.pyi"
TREE = ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))

STUB_FUNCTIONS = {node.name: node for node in TREE.body if isinstance(node, ast.FunctionDef)}
STUB_VARIABLES = {
    node.target.id: node
    for node in TREE.body
    if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)
}
STUB_ASSIGNED = {
    target.id: node.value
    for node in TREE.body
    if isinstance(node, ast.Assign)
    for target in node.targets
    if isinstance(target, ast.Name)
}
P = inspect.Parameter


def _public(names):
    return {name for name in names if not name.startswith("_")}


def _runtime_public_names():
    # `sys` is the module's own `import sys`; a stub's plain import is not an
    # export either, so modules are left out on both sides.
    return _public(name for name, value in vars(dwex).items() if not isinstance(value, types.ModuleType))


def _stub_parameters(node):
    """(name, kind, has default) for every parameter of a stub function."""
    args = node.args
    positional = [(a, P.POSITIONAL_ONLY) for a in args.posonlyargs]
    positional += [(a, P.POSITIONAL_OR_KEYWORD) for a in args.args]
    first_default = len(positional) - len(args.defaults)
    params = [(a.arg, kind, i >= first_default) for i, (a, kind) in enumerate(positional)]
    if args.vararg:
        params.append((args.vararg.arg, P.VAR_POSITIONAL, False))
    params += [(a.arg, P.KEYWORD_ONLY, d is not None) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        params.append((args.kwarg.arg, P.VAR_KEYWORD, False))
    return params


def _outer_name(annotation):
    """The name a stub annotation starts with: `list` for `list[list[str]]`."""
    while isinstance(annotation, ast.Subscript):
        annotation = annotation.value
    assert isinstance(annotation, ast.Name), ast.dump(annotation)
    return annotation.id


def test_public_names_match_the_module():
    assert _public(STUB_FUNCTIONS) | _public(STUB_VARIABLES) | _public(STUB_ASSIGNED) == _runtime_public_names()


def test_all_matches_the_module():
    assert ast.literal_eval(STUB_ASSIGNED["__all__"]) == dwex.__all__


def test_every_exported_name_is_described():
    assert set(dwex.__all__) <= set(STUB_FUNCTIONS)


@pytest.mark.parametrize("name", sorted(STUB_FUNCTIONS))
def test_parameters_match(name):
    runtime = [
        (p.name, p.kind, p.default is not P.empty)
        for p in inspect.signature(getattr(dwex, name)).parameters.values()
    ]
    assert _stub_parameters(STUB_FUNCTIONS[name]) == runtime


@pytest.mark.parametrize("name", sorted(STUB_FUNCTIONS))
def test_docstring_matches(name):
    assert ast.get_docstring(STUB_FUNCTIONS[name], clean=False) == getattr(dwex, name).__doc__


@pytest.mark.parametrize("name", sorted(STUB_FUNCTIONS))
def test_annotations_agree(name):
    # The functions carry the names of the outer types as strings ("str",
    # "list"); the stub may be more precise inside them, never different.
    node = STUB_FUNCTIONS[name]
    stub = {a.arg: _outer_name(a.annotation) for a in node.args.args if a.annotation is not None}
    stub["return"] = _outer_name(node.returns)
    runtime = getattr(dwex, name).__annotations__
    assert {key: stub[key] for key in runtime} == runtime


def test_module_has_no_docstring_in_either():
    assert ast.get_docstring(TREE) is None
    assert dwex.__doc__ is None


@pytest.mark.parametrize("name", sorted(_public(STUB_VARIABLES)))
def test_constant_types_match(name):
    annotation = STUB_VARIABLES[name].annotation
    assert isinstance(getattr(dwex, name), getattr(builtins, _outer_name(annotation)))
