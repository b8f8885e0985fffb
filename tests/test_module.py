import importlib
import sys

import pytest
from conftest import run_python

import PyVorlane
from PyVorlane import FilteredIndex, Index, Indexable, PyQueryExpr, sum_as_string


def test_all_lists_exports_in_order_and_internal_error_is_reachable_but_not_exported():
    assert PyVorlane.__all__ == ["sum_as_string", "Index", "Indexable", "FilteredIndex", "PyQueryExpr"]
    assert "InternalError" not in PyVorlane.__all__
    assert issubclass(PyVorlane.InternalError, BaseException)
    assert not issubclass(PyVorlane.InternalError, Exception)
    assert isinstance(PyVorlane.__doc__, str) and PyVorlane.__doc__


def test_version_and_license_agree_with_the_metadata():
    import importlib.metadata
    from pathlib import Path

    assert PyVorlane.__version__ == importlib.metadata.version("PyVorlane")
    assert "__version__" not in PyVorlane.__all__
    root = Path(__file__).resolve().parent.parent
    assert 'license = { text = "MIT" }' in (root / "pyproject.toml").read_text()
    assert (root / "LICENSE").read_text().startswith("MIT License")


def test_reimport_returns_the_same_module_object():
    first = sys.modules.pop("PyVorlane")
    try:
        again = importlib.import_module("PyVorlane")
        assert again is first
        assert again.Index is Index
    finally:
        sys.modules["PyVorlane"] = first


def test_subinterpreters_are_refused():
    # Run in a fresh process so the module is loaded there by the main interpreter first.
    if sys.version_info >= (3, 13):
        code = (
            "import _interpreters, PyVorlane\n"
            "for cfg in ('isolated', 'legacy'):\n"
            "    iid = _interpreters.create(cfg)\n"
            "    err = _interpreters.run_string(iid, 'import PyVorlane')\n"
            "    assert err is not None and err.type.__name__ == 'ImportError', err\n"
            "    _interpreters.destroy(iid)\n"
            "print('refused')\n"
        )
    else:
        # 3.12's module has another name and raises the sub-interpreter's error, named in its text.
        code = (
            "import _xxsubinterpreters as interpreters, PyVorlane\n"
            "for isolated in (True, False):\n"
            "    iid = interpreters.create(isolated=isolated)\n"
            "    try:\n"
            "        interpreters.run_string(iid, 'import PyVorlane')\n"
            "    except interpreters.RunFailedError as err:\n"
            "        assert str(err).startswith(\"<class 'ImportError'>\"), err\n"
            "    else:\n"
            "        raise AssertionError('imported')\n"
            "    interpreters.destroy(iid)\n"
            "print('refused')\n"
        )
    assert run_python(code) == "refused"


@pytest.mark.parametrize(
    "a, b, expected",
    [(1, 2, "3"), (0, 0, "0"), (2**64 - 1, 0, str(2**64 - 1)), (2**64 - 1, 2**64 - 1, str(2 * (2**64 - 1))),
     (True, 1, "2")],
)
def test_sum_as_string_is_exact(a, b, expected):
    assert sum_as_string(a, b) == expected


def test_sum_as_string_binding_and_conversion_errors():
    assert sum_as_string(a=5, b=7) == "12"
    assert sum_as_string(5, b=7) == "12"

    class WithIndex:
        def __index__(self):
            return 40

    assert sum_as_string(WithIndex(), 2) == "42"
    with pytest.raises(OverflowError, match="'a'"):
        sum_as_string(-1, 2)
    with pytest.raises(OverflowError, match="'b'"):
        sum_as_string(1, 2**64)
    with pytest.raises(TypeError, match="'a'"):
        sum_as_string(1.5, 2)
    with pytest.raises(TypeError, match="'b'"):
        sum_as_string(1, "2")
    with pytest.raises(TypeError, match="'b'"):
        sum_as_string(1)
    with pytest.raises(TypeError):
        sum_as_string(1, 2, 3)
    with pytest.raises(TypeError, match="'c'"):
        sum_as_string(1, 2, c=3)
    with pytest.raises(TypeError, match="'a'"):
        sum_as_string(1, a=2)
    # a is reported before b is looked at
    with pytest.raises(TypeError, match="'a'"):
        sum_as_string("x", "y")
    assert sum_as_string.__text_signature__ == "(a, b)"
    assert sum_as_string.__doc__ == "Formats the sum of two numbers as string."
    assert sum_as_string.__module__ == "PyVorlane"


def test_classes_names_docs_and_signatures():
    assert [c.__name__ for c in (Index, Indexable, FilteredIndex, PyQueryExpr)] == [
        "Index", "Indexable", "FilteredIndex", "PyQueryExpr"]
    assert Index.__text_signature__ == "()"
    assert Indexable.__text_signature__ == "(*_args, **kwargs)"
    assert FilteredIndex.__doc__ in ("", None)
    assert PyQueryExpr.__doc__ in ("", None)
    assert Indexable.__dir__.__text_signature__ == "($self)"
    for cls in (Index, Indexable, FilteredIndex, PyQueryExpr):
        assert cls.__bases__ == (object,)
        assert cls.__module__ == "PyVorlane"


def test_only_indexable_can_be_subclassed():
    class Item(Indexable):
        pass

    assert isinstance(Item(), Indexable)
    for cls in (Index, FilteredIndex, PyQueryExpr):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


def test_constructors():
    assert isinstance(Index(), Index)
    with pytest.raises(TypeError):
        Index(1)
    with pytest.raises(TypeError):
        Index(x=1)
    with pytest.raises(TypeError):
        FilteredIndex()
    with pytest.raises(TypeError):
        PyQueryExpr()
    assert isinstance(PyQueryExpr.eq("a", 1), PyQueryExpr)


def test_no_instance_dict_or_weakrefs_on_the_base_classes():
    for obj in (Index(), Indexable(), PyQueryExpr.eq("a", 1)):
        assert not hasattr(obj, "__dict__")
        with pytest.raises(TypeError):
            import weakref

            weakref.ref(obj)


def test_stubs_are_installed_and_cover_the_public_names():
    import pathlib

    pkg = pathlib.Path(PyVorlane.__file__).parent
    stub = (pkg / "__init__.pyi").read_text()
    assert (pkg / "py.typed").exists()
    for name in PyVorlane.__all__:
        assert f"{name}" in stub
    for cls in (Index, FilteredIndex, PyQueryExpr):
        for method in [m for m in dir(cls) if not m.startswith("_")]:
            assert f"def {method}(" in stub, (cls, method)
