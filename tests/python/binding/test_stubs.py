"""python/velt/_velt.pyi describes the native module as it really is."""

import ast
import inspect
import pathlib

import pytest

from velt import _velt

STUB = pathlib.Path(__file__).resolve().parents[3] / "python" / "velt" / "_velt.pyi"

# Special methods a stub leaves out: those every object has, and the reflected
# operators the interpreter adds alongside each binary one (x | y is only
# defined between two instances of the same class, so __ror__ never applies).
UNSTUBBED_SPECIAL = {"__new__", "__doc__", "__module__", "__repr__", "__str__"}
REFLECTED = {"__ror__": "__or__", "__rand__": "__and__"}

NO_DEFAULT = object()


def stub_module():
    return ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))


def stub_classes():
    """The stub's classes of the module; private protocols describe argument types."""
    body = stub_module().body
    return {node.name: node for node in body if isinstance(node, ast.ClassDef) and not node.name.startswith("_")}


def decorator_names(function):
    return {d.id if isinstance(d, ast.Name) else ast.unparse(d) for d in function.decorator_list}


def stub_members(class_name):
    """Every function the stub declares in the class, by name: (kind, node)."""
    members = {}
    for node in stub_classes()[class_name].body:
        if not isinstance(node, ast.FunctionDef):
            continue
        decorators = decorator_names(node)
        kind = "property" if "property" in decorators else "static" if "staticmethod" in decorators else "method"
        assert node.name not in members, f"{class_name}.{node.name} declared twice"
        members[node.name] = (kind, node)
    return members


def runtime_kind(value):
    if isinstance(value, staticmethod):
        return "static"
    if inspect.isgetsetdescriptor(value):
        return "property"
    return "method"


def stub_parameters(function, skip_first):
    """(name, kind, default) of each parameter, as inspect would describe them."""
    args = function.args
    positional = [(a, inspect.Parameter.POSITIONAL_ONLY) for a in args.posonlyargs]
    positional += [(a, inspect.Parameter.POSITIONAL_OR_KEYWORD) for a in args.args]
    defaults = [NO_DEFAULT] * (len(positional) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    parameters = [(a.arg, kind, default) for (a, kind), default in zip(positional, defaults)]
    if skip_first:
        parameters = parameters[1:]
    if args.vararg:
        parameters.append((args.vararg.arg, inspect.Parameter.VAR_POSITIONAL, NO_DEFAULT))
    for a, default in zip(args.kwonlyargs, args.kw_defaults):
        parameters.append((a.arg, inspect.Parameter.KEYWORD_ONLY, NO_DEFAULT if default is None else ast.literal_eval(default)))
    if args.kwarg:
        parameters.append((args.kwarg.arg, inspect.Parameter.VAR_KEYWORD, NO_DEFAULT))
    return parameters


def runtime_parameters(callable_, skip_first):
    parameters = list(inspect.signature(callable_).parameters.values())
    if skip_first:
        parameters = parameters[1:]
    return [(p.name, p.kind, NO_DEFAULT if p.default is p.empty else p.default) for p in parameters]


def typed(parameters):
    # 0 and 0.0 (and 1 and True) compare equal: a default must also have the right type.
    return [(name, kind, type(default), default) for name, kind, default in parameters]


def test_stub_exports_exactly_the_module_classes():
    tree = stub_module()
    exported = [
        ast.literal_eval(node.value)
        for node in tree.body
        if isinstance(node, ast.Assign) and [ast.unparse(t) for t in node.targets] == ["__all__"]
    ]
    assert exported == [_velt.__all__]
    assert sorted(stub_classes()) == sorted(_velt.__all__)


@pytest.mark.parametrize("name", _velt.__all__)
def test_class_is_final_and_documented(name):
    cls = getattr(_velt, name)
    node = stub_classes()[name]
    assert not cls.__flags__ & (1 << 10), "the class can be subclassed: drop @final"  # Py_TPFLAGS_BASETYPE
    assert "final" in decorator_names(node)
    first_line = cls.__doc__.split("\n", 1)[0]
    assert first_line.endswith(".")
    assert ast.get_docstring(node) == first_line


@pytest.mark.parametrize("name", _velt.__all__)
def test_public_members_match(name):
    cls = getattr(_velt, name)
    runtime = {k: runtime_kind(v) for k, v in vars(cls).items() if not k.startswith("_")}
    stub = {k: kind for k, (kind, _) in stub_members(name).items() if not k.startswith("_")}
    assert stub == runtime


@pytest.mark.parametrize("name", _velt.__all__)
def test_special_methods_match(name):
    cls = getattr(_velt, name)
    runtime = {k for k in vars(cls) if k.startswith("__")} - UNSTUBBED_SPECIAL
    for reflected, forward in REFLECTED.items():
        if reflected in runtime:
            assert forward in runtime
            runtime.remove(reflected)
    stub = {k for k in stub_members(name) if k.startswith("__")} - {"__new__"}
    assert stub == runtime


@pytest.mark.parametrize("name", _velt.__all__)
def test_constructor_signature_matches(name):
    cls = getattr(_velt, name)
    kind, node = stub_members(name)["__new__"]
    assert kind == "method"
    assert ast.unparse(node.returns) == "Self"
    assert typed(stub_parameters(node, skip_first=True)) == typed(runtime_parameters(cls, skip_first=False))


@pytest.mark.parametrize("name", _velt.__all__)
def test_method_signatures_match(name):
    cls = getattr(_velt, name)
    checked = 0
    for member, (kind, node) in stub_members(name).items():
        if kind == "property" or member == "__new__":
            continue
        bound_first = kind == "method"
        stub = typed(stub_parameters(node, skip_first=bound_first))
        runtime = typed(runtime_parameters(getattr(cls, member), skip_first=bound_first))
        assert stub == runtime, f"{name}.{member}"
        checked += 1
    assert checked > 0


@pytest.mark.parametrize("name", _velt.__all__)
def test_every_parameter_and_result_is_annotated(name):
    for member, (_, node) in stub_members(name).items():
        args = node.args
        parameters = args.posonlyargs + args.args + args.kwonlyargs
        if "staticmethod" not in decorator_names(node):
            parameters = parameters[1:]  # self or cls
        unannotated = [a.arg for a in parameters if a.annotation is None]
        assert not unannotated, f"{name}.{member}: {unannotated}"
        assert node.returns is not None, f"{name}.{member}"


# ---- Results -----------------------------------------------------------------------
# Every property, and every method callable without arguments, returns what the
# stub annotates, on a small instance holding a few items.

SAMPLES = {
    "BloomFilter": lambda: _velt.BloomFilter(expected_items=100, seed=1),
    "CountingBloomFilter": lambda: _velt.CountingBloomFilter(expected_items=100, seed=1),
    "CuckooFilter": lambda: _velt.CuckooFilter(capacity=100),
    "ScalableBloomFilter": lambda: _velt.ScalableBloomFilter(initial_capacity=100, seed=1),
    "HyperLogLog": lambda: _velt.HyperLogLog(precision=10),
    "CountMinSketch": lambda: _velt.CountMinSketch(width=64, depth=3),
    "MinHash": lambda: _velt.MinHash(num_hashes=16),
    "TopK": lambda: _velt.TopK(k=4),
}


def sample(name):
    instance = SAMPLES[name]()
    instance.update(["a", "b", "b", "c"])
    return instance


def conforms(value, annotation, name):
    """Whether `value` has the type of the annotation node (the forms the stub uses)."""
    if isinstance(annotation, ast.Constant) and annotation.value is None:
        return value is None
    if isinstance(annotation, ast.BinOp) and isinstance(annotation.op, ast.BitOr):
        return conforms(value, annotation.left, name) or conforms(value, annotation.right, name)
    if isinstance(annotation, ast.Name):
        if annotation.id == "Self":
            return type(value) is getattr(_velt, name)
        builtin = {"int": int, "float": float, "bool": bool, "str": str, "bytes": bytes}.get(annotation.id)
        return type(value) is (builtin or getattr(_velt, annotation.id))
    if isinstance(annotation, ast.Subscript):
        origin = annotation.value.id
        arguments = annotation.slice.elts if isinstance(annotation.slice, ast.Tuple) else [annotation.slice]
        if origin == "Literal":
            return value in [ast.literal_eval(a) for a in arguments]
        if origin == "list":
            return type(value) is list and all(conforms(v, arguments[0], name) for v in value)
        if origin == "tuple":
            return (
                type(value) is tuple
                and len(value) == len(arguments)
                and all(conforms(v, a, name) for v, a in zip(value, arguments))
            )
    raise AssertionError(f"unhandled annotation {ast.unparse(annotation)}")


@pytest.mark.parametrize("name", _velt.__all__)
def test_results_have_the_annotated_types(name):
    checked = []
    for member, (kind, node) in stub_members(name).items():
        if kind == "property":
            value = getattr(sample(name), member)
        elif kind == "method" and not member.startswith("_") and len(node.args.args) - 1 == len(node.args.defaults):
            value = getattr(sample(name), member)()
        else:
            continue
        assert conforms(value, node.returns, name), f"{name}.{member} gave {value!r}, not {ast.unparse(node.returns)}"
        checked.append(member)
    assert "size_in_bytes" in checked and "to_bytes" in checked
