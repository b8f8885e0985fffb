"""How Python values convert: kind by exact type, hashes, equality keys, text form."""
import enum
import math
import struct

import pytest

import PyVorlane
from PyVorlane import Indexable, PyQueryExpr as Q
from conftest import converted, run_python

K = 0xF1357AEA2E62A9C5
M = (1 << 64) - 1


def fx(*words):
    state = 0
    for w in words:
        state = ((state + (w & M)) * K) & M
    return ((state << 26) | (state >> 38)) & M


def test_int_boundaries_and_hash():
    for v in (0, 1, -1, 42, 2**63 - 1, -(2**63)):
        assert converted(v) == (f"Int({v})", fx(v, 1))
    for v in (2**63, -(2**63) - 1, 2**64):
        with pytest.raises(OverflowError, match=r"^attribute 'a': "):
            Q.eq("a", v)


def test_floats_keep_nan_and_signed_zero_and_hash_their_bits():
    def bits(x):
        return struct.unpack("<Q", struct.pack("<d", x))[0]

    for v, text in [(1.5, "1.5"), (3.0, "3.0"), (-0.0, "-0.0"), (0.0, "0.0"), (1e16, "1e16"), (1.5e-5, "1.5e-5"),
                    (0.0001, "0.0001"), (123456.789, "123456.789"), (math.inf, "inf"), (-math.inf, "-inf"),
                    (0.1 + 0.2, "0.30000000000000004"), (5e-324, "5e-324")]:
        assert converted(v) == (f"Float({text})", fx(bits(v), 2))
    nan = float("nan")
    prim, h = converted(nan)
    assert prim == "Float(NaN)" and h == fx(bits(nan), 2)
    assert converted(0.0)[1] != converted(-0.0)[1]


def test_ints_floats_and_bools_are_three_different_keys():
    hashes = {converted(1)[1], converted(1.0)[1], converted(True)[1]}
    assert len(hashes) == 3
    assert converted(True) == ("Bool(true)", fx(1, 4))
    assert converted(False) == ("Bool(false)", fx(0, 4))


@pytest.mark.parametrize("text", ["", "a", "x" * 23, "y" * 24, "é☃𝄞", "x" * 1000])
def test_strings_short_and_long_convert_and_read_back(text):
    prim, h = converted(text)
    assert prim == f'Str("{text}")'
    assert converted(text + "")[1] == h  # same text, same hash, any object

    class Item(Indexable):
        pass

    obj = Item(s=text)
    assert obj.s == text
    assert type(obj.s) is str


def test_string_escapes_in_the_text_form():
    assert converted('a"b\\c\n\t')[0] == r'Str("a\"b\\c\n\t")'
    assert converted("\x01\x7f")[0] == r'Str("\u{1}\u{7f}")'
    with pytest.raises(UnicodeEncodeError):
        Q.eq("a", "\ud800")


def test_unknown_values_hash_like_python_and_compare_by_identity():
    assert converted(None) == ("Unknown", hash(None) & M)
    assert converted(None) == converted(None)
    fs = frozenset({1, 2})
    assert converted(fs) == ("Unknown", hash(fs) & M)
    assert converted(b"bytes")[0] == "Unknown"

    # Subclasses of the built-in kinds are their built-in value.
    class Colour(enum.IntEnum):
        RED = 1

    assert converted(Colour.RED) == converted(1)

    class MyInt(int):
        pass

    assert converted(MyInt(5)) == converted(5)

    class MyStr(str):
        pass

    assert converted(MyStr("x")) == converted("x")


def test_unhashable_unknown_values_raise_type_error_naming_the_type():
    class MyList(list):
        pass

    class NoHash:
        __hash__ = None

    for value in (MyList([1]), bytearray(b"x"), NoHash(), {1: 2}.keys()):
        with pytest.raises(TypeError, match=f"^attribute 'a': unhashable type: '{type(value).__name__}'$"):
            Q.eq("a", value)


def test_containers_by_exact_type():
    lst, tup, dct, st = [1], (1,), {1: 2}, {1}
    assert converted(lst)[0] == f"Iterable(List(Py({hex(id(lst))})))"
    assert converted(tup)[0] == f"Iterable(Tuple(Py({hex(id(tup))})))"
    assert converted(dct)[0] == f"Iterable(Dict(Py({hex(id(dct))})))"
    assert converted(st)[0] == f"Iterable(Set(Py({hex(id(st))})))"
    # Each conversion is its own value: two conversions of one tuple hash apart.
    assert converted(tup)[1] != converted(tup)[1]


def test_indexables_convert_to_nested_values_by_identity():
    class Item(Indexable):
        pass

    a = Item(x=1)
    prim, h = converted(a)
    assert prim.startswith(f"Ind(StoredIndexable {{ python_handle: Py({hex(id(a))}), owned_handle: IndexAPI {{ id: ")
    assert "primitave: Int(1)" in prim
    assert h == fx(id(a), 6)
    # An object that holds itself renders without endless recursion.
    a.me = a
    assert "<locked>" in repr(Q.eq("a", a))


def test_numpy_scalars():
    np = pytest.importorskip("numpy")
    assert converted(np.int64(7)) == ("Int(7)", fx(7, 1))
    assert converted(np.float64(2.5))[0] == "Float(2.5)"
    assert converted(np.str_("hi")) == converted("hi")[0:1] + (converted("hi")[1],)
    assert converted(np.bool_(True)) == ("Bool(true)", fx(1, 4))
    # Every width is its built-in kind.
    assert converted(np.int32(7)) == converted(np.uint8(7)) == converted(7)
    assert converted(np.float32(2.5)) == converted(np.float16(2.5)) == converted(2.5)

    class Item(Indexable):
        pass

    obj = Item()
    obj.x = np.int64(5)
    assert type(obj.x) is int and obj.x == 5
    obj.f = np.float64(0.5)
    assert type(obj.f) is float
    obj.b = np.bool_(False)
    assert obj.b is False


def test_values_convert_without_numpy():
    code = (
        "import sys; sys.modules['numpy'] = None\n"
        "from PyVorlane import PyQueryExpr as Q, Indexable\n"
        "r = repr(Q.in_('a', [1, 2.0, 's', True]))\n"
        "assert 'Int(1)' in r and 'Float(2.0)' in r and 'Str(\"s\")' in r and 'Bool(true)' in r, r\n"
        "o = Indexable(x=3); assert o.x == 3\n"
        "print('ok')\n"
    )
    assert run_python(code) == "ok"


def test_numpy_is_not_imported_but_its_scalars_are_recognised_once_it_is():
    pytest.importorskip("numpy")
    code = (
        "import sys\n"
        "from PyVorlane import Index, Indexable\n"
        "o = Indexable(a=1, b=2.5, c='s', d=True, e=None, f=[1, (2,)], g=Indexable(), h=frozenset())\n"
        "idx = Index(); idx.add_object(o)\n"
        "assert 'numpy' not in sys.modules\n"
        "import numpy as np\n"
        "o.a = np.int64(7); o.b = np.float64(0.5); o.d = np.bool_(False)\n"
        "assert type(o.a) is int and idx.get_by_attribute(a=7) == [o]\n"
        "assert idx.get_by_attribute(b=0.5) == [o] and idx.get_by_attribute(d=False) == [o]\n"
        "print('ok')\n"
    )
    assert run_python(code) == "ok"


def test_conversion_errors_keep_the_interpreter_running_and_leak_nothing():
    import sys

    big = 2**70
    before = sys.getrefcount(big)
    for _ in range(100):
        with pytest.raises(OverflowError):
            Q.eq("a", big)
    assert sys.getrefcount(big) == before
    assert Q.eq("a", 1) is not None
