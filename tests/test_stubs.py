"""The installed type stubs agree with the installed modules, and type-check a program using all nine."""

import ast
import importlib
import importlib.util
import inspect
import os
import runpy
import site
import subprocess
import sys
from pathlib import Path

import pytest

import quarvel

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None,
                                reason="mypy is part of the test extra (pip install '.[test]')")

MODULES = [
    "quarvel.memory.sync_kernel",
    "quarvel.memory.block_index",
    "quarvel.memory.bucket_pool",
    "quarvel.jit.compile_gate",
    "quarvel.native.hardware_probe",
    "quarvel.plugins.analyzer.task_profiler",
    "quarvel.plugins.analyzer.pool_planner",
    "quarvel.monitoring.counter_fold",
    "quarvel.gpu.device_fit",
]
EXAMPLE = Path(__file__).with_name("typing_example.py")


def _mypy_env():
    """mypy finds a regular install in site-packages by itself. An editable install serves the
    package through an import hook that mypy cannot follow, so point it at the package's directory."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)  # stubtest imports what this test sees
    env.pop("MYPYPATH", None)
    home = str(Path(quarvel.__file__).resolve().parents[1])
    installed = {str(Path(p).resolve()) for p in site.getsitepackages() + [site.getusersitepackages()]}
    if home not in installed:
        env["MYPYPATH"] = home
    return env


def _run(args, tmp_path):
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\ncache_dir = {tmp_path / 'mypy-cache'}\n")
    option = "--mypy-config-file" if args[0] == "mypy.stubtest" else "--config-file"
    proc = subprocess.run([sys.executable, "-m", *args, option, str(config)],
                          cwd=tmp_path, env=_mypy_env(), capture_output=True, text=True, timeout=600)
    return proc.returncode, proc.stdout + proc.stderr


@needs_mypy
def test_stubtest_finds_no_difference(tmp_path):
    # No allowlist: every difference between a stub and its module is an error.
    code, out = _run(["mypy.stubtest", *MODULES], tmp_path)
    assert code == 0, out


@needs_mypy
def test_typed_example_passes_strict_mypy_and_runs(tmp_path):
    code, out = _run(["mypy", "--strict", "--warn-unreachable", str(EXAMPLE)], tmp_path)
    assert code == 0, out
    # The same program runs against the modules (assert_type is a no-op at run time).
    runpy.run_path(str(EXAMPLE), run_name="__main__")


@needs_mypy
def test_stubs_reject_misuse(tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(
        "from quarvel.memory.block_index import FastRedBlackTree\n"
        "from quarvel.monitoring.counter_fold import CounterAggregator\n"
        "from quarvel.jit.compile_gate import CompileGate\n"
        "FastRedBlackTree().find_best_fit('64')\n"
        "CounterAggregator().get_stats(0)['median']\n"
        "CompileGate().config = None\n"
        "CompileGate().should_compile('f', object())\n")
    code, out = _run(["mypy", "--strict", str(misuse)], tmp_path)
    assert code == 1
    assert sorted({line.split(":")[1] for line in out.splitlines() if ": error:" in line}) == ["4", "5", "6", "7"], out


# What each runtime annotation string stands for in the stubs. The runtime strings are free text
# fixed by the modules' documented behaviour ("double" for a float parameter, typing-style names in
# some return annotations); a string missing here fails the test until it is given its meaning.
RUNTIME_TO_STUB = {
    "double": "float", "float": "float", "int": "int", "bool": "bool", "str": "str", "object": "object",
    "list": "list", "List": "list", "tuple": "tuple", "Tuple": "tuple", "dict": "dict", "Dict": "dict",
    "None": "None", "Optional": None,  # Optional[X]: X or None
    "MemoryBlock": "MemoryBlock", "CompileGate": "CompileGate", "PolicyConfig": "PolicyConfig",
    "FunctionMetrics": "FunctionMetrics",
}


def _members(node):
    """The members of a union annotation (`X | Y`, `Optional[X]`), as AST nodes."""
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        return _members(node.left) + _members(node.right)
    if isinstance(node, ast.Subscript) and isinstance(node.value, ast.Name) and node.value.id == "Optional":
        return _members(node.slice) + [ast.Constant(None)]
    return [node]


def _kinds(node, typed_dicts, mapping=None):
    """The outer types an annotation allows, None left out unless it is all there is: {"float"},
    {"list"} for `list[str] | None`, {"dict"} for a TypedDict of the stub."""
    kinds = set()
    for m in _members(node):
        head = m.value if isinstance(m, ast.Subscript) else m
        if isinstance(head, ast.Constant) and head.value is None:
            name = "None"
        elif isinstance(head, ast.Name):
            name = head.id
        else:
            raise AssertionError(f"unexpected annotation {ast.unparse(m)}")
        if mapping is not None:
            assert name in mapping, f"runtime annotation {ast.unparse(node)!r}: give {name!r} its stub type"
            name = mapping[name]
        elif name == "Literal":
            name = type(m.slice.elts[0].value if isinstance(m.slice, ast.Tuple) else m.slice.value).__name__
        kinds.add("dict" if name in typed_dicts else name)
    return kinds - {"None"} or kinds


def _stub_functions(path):
    """{qualified name: def} of a stub's functions and methods (of an overloaded function, its last,
    most general form), and the names of its TypedDicts; type-checking-only protocols left out."""
    tree = ast.parse(path.read_text())
    defs, typed_dicts = {}, set()

    def walk(body, prefix):
        for node in body:
            if isinstance(node, ast.FunctionDef):
                defs[prefix + node.name] = node
            elif isinstance(node, ast.ClassDef):
                bases = {ast.unparse(b) for b in node.bases}
                if "TypedDict" in bases:
                    typed_dicts.add(node.name)
                elif "Protocol" not in bases:
                    walk(node.body, prefix + node.name + ".")

    walk(tree.body, "")
    return defs, typed_dicts


def _runtime_functions(module):
    """{qualified name: function} of the module's own functions and of its classes' methods; an
    alias is listed under the name the function was made with."""
    out = {}
    for name, value in vars(module).items():
        if inspect.isclass(value) and value.__module__ == module.__name__:
            for attr, member in vars(value).items():
                member = member.__func__ if isinstance(member, (staticmethod, classmethod)) else member
                if callable(member) and isinstance(getattr(member, "__annotations__", None), dict):
                    out[f"{name}.{getattr(member, '__name__', attr)}"] = member
        elif callable(value) and getattr(value, "__module__", None) == module.__name__:
            out[name] = value
    return out


@pytest.mark.parametrize("name", MODULES)
def test_runtime_annotations_agree_with_the_stubs(name):
    module = importlib.import_module(name)
    defs, typed_dicts = _stub_functions(Path(module.__file__).parent / (name.rsplit(".", 1)[1] + ".pyi"))
    # Special methods the stub leaves out (those refusing pickling) are the stub-presence check's concern.
    runtime = {k: v for k, v in _runtime_functions(module).items()
               if k in defs or not k.rsplit(".", 1)[-1].startswith("__")}
    assert sorted(set(runtime) - set(defs)) == [], "functions without a stub"
    problems = []
    for qualname, fn in runtime.items():
        stub = defs[qualname]
        params = list(inspect.signature(fn).parameters)
        stub_args = {a.arg: a.annotation for a in stub.args.args}
        if params != list(stub_args):
            problems.append(f"{qualname}: parameters {params} at run time, {list(stub_args)} in the stub")
            continue
        for key, text in fn.__annotations__.items():
            stub_ann = stub.returns if key == "return" else stub_args[key]
            if stub_ann is None:
                problems.append(f"{qualname}: {key} is {text!r} at run time, unannotated in the stub")
                continue
            expected = _kinds(ast.parse(text, mode="eval").body, typed_dicts, RUNTIME_TO_STUB)
            if expected != _kinds(stub_ann, typed_dicts):
                problems.append(f"{qualname}: {key} is {text!r} at run time, {ast.unparse(stub_ann)} in the stub")
    assert problems == []
