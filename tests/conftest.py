import os
import re
import subprocess
import sys

import pytest

import PyVorlane

# The sanitized run sets this, so that tests never pass against the normal build by mistake.
_EXPECTED = os.environ.get("VORLANE_EXPECT_PACKAGE")
if _EXPECTED is not None:
    _loaded = os.path.realpath(os.path.dirname(PyVorlane.__file__))
    if _loaded != os.path.realpath(_EXPECTED):
        raise RuntimeError(f"PyVorlane imported from {_loaded}, expected {_EXPECTED}")


def pytest_report_header(config):
    return f"PyVorlane: {PyVorlane.__file__}"


@pytest.fixture
def Q():
    return PyVorlane.PyQueryExpr


_VALUE = re.compile(r"PyValue \{ obj: (?P<obj>Some\(Py\(0x[0-9a-f]+\)\)|None), primitave: (?P<prim>.*), hash: (?P<hash>\d+) \}$")


def parse_value(text):
    """Splits the text form of one PyValue into (obj, primitave, hash)."""
    m = _VALUE.match(text)
    assert m, text
    return m["obj"], m["prim"], int(m["hash"])


def converted(value):
    """How a value converts: (primitave text, hash), read off the text form of Eq."""
    text = repr(PyVorlane.PyQueryExpr.eq("a", value))
    prefix = '<QueryExpr: Eq("a", '
    assert text.startswith(prefix) and text.endswith(")>"), text
    obj, prim, h = parse_value(text[len(prefix):-2])
    assert obj == f"Some(Py({hex(id(value))}))"
    return prim, h


def run_python(code):
    """Runs `code` in a fresh interpreter and returns its stripped standard output."""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()
