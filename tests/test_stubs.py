"""The .pyi stubs of the extension modules say what the modules define: the
same classes and bases, and every method with the same parameters (names,
order, which have defaults), found as a type checker finds it: on the class's
own stub or, where the stub leaves it out, on its bases' stubs. Every method
defined in C++ has a docstring."""

import ast
import importlib
import inspect
import os
import re

import pytest

MODULES = [
    "quillon.forgeline.trainer.detection",
    "quillon.forgeline.trainer.segmentation",
    "quillon.forgeline.datasets.darknet",
    "quillon.forgeline.datasets.attitude",
]


def runtime_parameters(method):
    """[(name, has_default)] of a C++ method, read from pybind11's signature line or the graph function."""
    if hasattr(method, "python_function"):  # a tf.function over a callable that carries a signature
        parameters = inspect.signature(method.python_function).parameters.values()
        return [
            ("*" * (p.kind is inspect.Parameter.KEYWORD_ONLY) + p.name, p.default is not inspect.Parameter.empty)
            for p in parameters
        ]
    first_line = method.__doc__.split("\n", 1)[0]
    inside = first_line[first_line.index("(") + 1 : first_line.rindex(") ->")]
    inside = re.sub(r"<[^<>]*>", "...", inside)  # reprs such as <... object at 0x...>
    return parameters_of(ast.parse(f"def f({inside}): pass").body[0].args)


def parameters_of(arguments):
    """[(name, has_default)] of an ast.arguments, keyword-only ones marked with a leading '*'."""
    first_default = len(arguments.args) - len(arguments.defaults)
    positional = [(a.arg, i >= first_default) for i, a in enumerate(arguments.args)]
    keyword_only = [("*" + a.arg, d is not None) for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults)]
    return positional + keyword_only


def stub_path(module):
    return os.path.splitext(os.path.splitext(module.__file__)[0])[0] + ".pyi"


def stub_classes(module):
    path = stub_path(module)
    assert os.path.isfile(path), f"{module.__name__} has no stub file {path}"
    classes = {}
    for node in ast.parse(open(path).read()).body:
        if isinstance(node, ast.ClassDef):
            methods = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    methods[item.name] = parameters_of(item.args)
            classes[node.name] = ([ast.unparse(base).rsplit(".", 1)[-1] for base in node.bases], methods)
    return classes


def stub_method(cls, name):
    """The stub's parameters of ``name`` as a type checker resolves it on ``cls``: from the first class of the
    method resolution order whose module has a stub listing it; None when none does."""
    for owner in cls.__mro__:
        module = importlib.import_module(owner.__module__)
        if getattr(module, "__file__", None) and os.path.isfile(stub_path(module)):
            listed = stub_classes(module).get(owner.__name__, ((), {}))[1]
            if name in listed:
                return listed[name]
    return None


def cpp_methods(cls):
    return {
        name: value
        for name, value in vars(cls).items()
        if type(value).__name__ in ("instancemethod", "Function") and (name == "__init__" or not name.startswith("__"))
    }


@pytest.mark.parametrize("module_name", MODULES)
def test_stubs_match_the_module_and_every_method_is_documented(module_name):
    module = importlib.import_module(module_name)
    defined = {
        name: cls
        for name, cls in vars(module).items()
        if isinstance(cls, type) and cls.__module__ == module_name and not name.startswith("_")
    }
    stubs = stub_classes(module)
    assert sorted(stubs) == sorted(defined)
    for name, cls in defined.items():
        bases, stub_methods = stubs[name]
        assert bases == [base.__name__ for base in cls.__bases__ if base is not object], name
        methods = cpp_methods(cls)
        public = {method for method in methods if method == "__init__" or not method.startswith("_")}
        assert set(stub_methods) <= set(methods), name
        for method_name in public | set(stub_methods):
            parameters = stub_method(cls, method_name)
            assert parameters is not None, f"the stubs do not list {name}.{method_name}"
            assert parameters == runtime_parameters(methods[method_name]), f"{name}.{method_name}"
        for method_name, method in methods.items():
            text = method.__doc__ or ""
            described = text if hasattr(method, "python_function") else text.split("\n", 1)[-1]
            assert described.strip(), f"{name}.{method_name} has no docstring"
