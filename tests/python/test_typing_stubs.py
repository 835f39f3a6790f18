"""The typing stubs describe exactly what the compiled module offers.

The stubs are parsed with `ast` and compared with the live module tree: the public names of
every module and class, `__all__`, which attributes are properties and which of them can be
assigned, unhashable classes, and the parameter names, kinds and defaults of every function
and method that carries a text signature.
"""

import ast
import inspect
import pathlib

import pytest

import vantorix

STUBS = pathlib.Path(__file__).resolve().parents[2] / "python" / "vantorix-stubs"

MODULES = {
    "vantorix": (vantorix, "__init__.pyi"),
    "vantorix.grbl": (vantorix.grbl, "grbl/__init__.pyi"),
    "vantorix.grbl.types": (vantorix.grbl.types, "grbl/types.pyi"),
    "vantorix.grbl.parser": (vantorix.grbl.parser, "grbl/parser.pyi"),
}

# Instances to probe which properties accept assignment.
INSTANCES = {
    "GrblSession": lambda: vantorix.grbl.GrblSession.with_transport(vantorix.grbl.MockTransport()),
    "MockTransport": lambda: vantorix.grbl.MockTransport(),
    "DeviceState": lambda: vantorix.grbl.types.DeviceState(),
    "DeviceError": lambda: vantorix.grbl.types.DeviceError(1, "t", "d"),
    "DeviceStatus": lambda: vantorix.grbl.types.DeviceStatus.IDLE,
}


def is_public(name):
    return not name.startswith("_")


def parse(relative):
    return ast.parse((STUBS / relative).read_text(), filename=relative)


def stub_names(body):
    """Names a stub module or class body defines: functions, classes, annotated or plain
    assignments and re-exports written as `import x as x`."""
    names = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.setdefault(node.name, node)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    names[target.id] = node
        elif isinstance(node, ast.ImportFrom):
            for alias in node.names:
                if alias.asname == alias.name:
                    names[alias.name] = node
    return names


def stub_all(body):
    for node in body:
        if isinstance(node, ast.Assign) and any(
            isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets
        ):
            return ast.literal_eval(node.value)
    return None


def decorators(node):
    return {ast.unparse(d) for d in getattr(node, "decorator_list", [])}


def stub_parameters(node):
    """(name, kind, default) of a stub function, `self` dropped for methods."""
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults)) + [
        ast.literal_eval(d) for d in args.defaults
    ]
    result = []
    for index, (arg, default) in enumerate(zip(positional, defaults)):
        kind = (
            inspect.Parameter.POSITIONAL_ONLY
            if index < len(args.posonlyargs)
            else inspect.Parameter.POSITIONAL_OR_KEYWORD
        )
        result.append((arg.arg, kind, default))
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        value = inspect.Parameter.empty if default is None else ast.literal_eval(default)
        result.append((arg.arg, inspect.Parameter.KEYWORD_ONLY, value))
    if "staticmethod" not in decorators(node) and result and result[0][0] in ("self", "cls"):
        result = result[1:]
    return result


def runtime_parameters(obj):
    signature = inspect.signature(obj)
    params = list(signature.parameters.values())
    if params and params[0].name in ("self", "$self"):
        params = params[1:]
    return [(p.name, p.kind, p.default) for p in params]


def module_cases():
    return [pytest.param(name, id=name) for name in MODULES]


def class_cases():
    cases = []
    for module_name, (module, relative) in MODULES.items():
        for name, node in stub_names(parse(relative).body).items():
            if isinstance(node, ast.ClassDef) and is_public(name):
                cases.append(pytest.param(getattr(module, name), node, id=name))
    return cases


def function_cases():
    """Every function or method of the stubs whose runtime object has a text signature."""
    cases = []
    for module_name, (module, relative) in MODULES.items():
        for name, node in stub_names(parse(relative).body).items():
            if isinstance(node, ast.FunctionDef):
                cases.append(pytest.param(getattr(module, name), node, id=f"{module_name}.{name}"))
            elif isinstance(node, ast.ClassDef):
                cls = getattr(module, name)
                if cls.__text_signature__ is not None:
                    init = stub_names(node.body).get("__init__")
                    cases.append(pytest.param(cls, init, id=f"{name}()"))
                for member, sub in stub_names(node.body).items():
                    runtime = getattr(cls, member, None)
                    if (isinstance(sub, ast.FunctionDef) and is_public(member)
                            and "property" not in decorators(sub)
                            and getattr(runtime, "__text_signature__", None) is not None):
                        cases.append(pytest.param(runtime, sub, id=f"{name}.{member}"))
    return cases


@pytest.mark.parametrize("module_name", module_cases())
def test_module_names_match(module_name):
    module, relative = MODULES[module_name]
    tree = parse(relative)
    runtime = {name for name in dir(module) if is_public(name)}
    stubbed = {name for name in stub_names(tree.body) if is_public(name)}
    assert stubbed == runtime
    assert stub_all(tree.body) == getattr(module, "__all__", None)


@pytest.mark.parametrize("cls, node", class_cases())
def test_class_members_match(cls, node):
    members = stub_names(node.body)
    runtime = {name for name in vars(cls) if is_public(name)}
    assert {name for name in members if is_public(name)} == runtime

    properties = {name for name, sub in members.items() if "property" in decorators(sub)}
    getsets = {name for name in runtime if inspect.isdatadescriptor(vars(cls)[name])}
    assert properties == getsets

    # A property with a `@name.setter` in the stub must accept its own value back; one
    # without must refuse assignment.
    setters = {
        sub.name
        for sub in node.body
        if isinstance(sub, ast.FunctionDef) and any(d.endswith(".setter") for d in decorators(sub))
    }
    instance = INSTANCES[cls.__name__]()
    for name in sorted(properties):
        if name in setters:
            setattr(instance, name, getattr(instance, name))
        else:
            with pytest.raises(AttributeError):
                setattr(instance, name, getattr(instance, name))

    # Unhashable classes say so in the stub, so that type checkers refuse them as dict keys.
    declares_unhashable = "__hash__" in members
    assert declares_unhashable == (cls.__hash__ is None)
    for dunder in ("__int__", "__eq__", "__call__"):
        if dunder in members:
            assert dunder in vars(cls), dunder


@pytest.mark.parametrize("runtime, node", function_cases())
def test_parameters_match_the_text_signature(runtime, node):
    expected = runtime_parameters(runtime)
    assert node is not None, "the stub has no constructor although the runtime takes arguments"
    assert stub_parameters(node) == expected


def test_every_runtime_signature_is_checked():
    # Guards the collection above: a stub function that the runtime lacks, or a runtime
    # function without a text signature, would otherwise slip through unnoticed.
    checked = {case.id for case in function_cases()}
    assert "vantorix.init_logging" in checked
    assert {f"vantorix.grbl.parser.{name}" for name in vantorix.grbl.parser.__all__} <= checked
    session_methods = {
        name for name, value in vars(vantorix.grbl.GrblSession).items()
        if is_public(name) and callable(value) or isinstance(value, staticmethod)
    }
    assert {f"GrblSession.{name}" for name in session_methods} <= checked
    assert {"GrblSession()", "MockTransport()", "DeviceState()", "DeviceError()"} <= checked


def test_stubs_ship_as_a_typed_package():
    assert (STUBS / "py.typed").is_file()
    assert (STUBS.parent / "vantorix_tools" / "py.typed").is_file()
