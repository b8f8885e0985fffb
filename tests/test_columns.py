"""columns(*attrs): attribute values as Arrow columns through the PyCapsule
interface, checked against a plain model built from collect(), through pyarrow,
polars and the raw C structures (ctypes, which also runs under the sanitizers)."""
import ctypes
import datetime as D
import gc
import math
import os
import sys
import threading

import numpy as np
import polars as pl
import pyarrow as pa
import pytest

from PyVorlane import Columns, Index, Indexable, PyQueryExpr as Q

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


class Obj(Indexable):
    pass


def model(objs, attrs):
    return {a: [getattr(o, a, None) for o in objs] for a in attrs}


def same(got, want):
    """Equal lists where NaN equals NaN and floats compare exactly."""
    return len(got) == len(want) and all(
        (isinstance(g, float) and isinstance(w, float) and math.isnan(g) and math.isnan(w))
        or (g == w and type(g) is type(w)) for g, w in zip(got, want))


def sample():
    objs = [Obj(i=i, f=i / 4, s=f"s{i}", b=i % 3 == 0, mixed=i if i % 2 else i + 0.5) for i in range(40)]
    objs[5] = Obj(i=2**63 - 1, f=math.nan, s="Zürich 東京 🙂", b=np.bool_(True), mixed=-(2**63))
    objs[6] = Obj(i=np.int64(-7), f=-0.0, s="", mixed=3)  # no b
    objs[7] = Obj(s="a string longer than fifteen bytes", extra=1)  # only s
    return objs


# ---------------------------------------------------------------- consumers

def test_pyarrow_and_polars_read_every_column_type_as_the_model():
    objs = sample()
    idx = Index()
    idx.add_object_many(objs)
    objs[9].s = "assigned"  # current values, not the ones added
    attrs = ("i", "f", "s", "b", "mixed", "unknown")
    want = model(idx.collect(), attrs)
    want["b"] = [None if v is None else bool(v) for v in want["b"]]
    want["i"] = [None if v is None else int(v) for v in want["i"]]
    want["mixed"] = [None if v is None else float(v) for v in want["mixed"]]

    table = pa.table(idx.columns(*attrs))
    assert [str(t) for t in table.schema.types] == ["int64", "double", "string", "bool", "double", "null"]
    assert table.column_names == list(attrs)
    assert table.column("i").null_count == 1 and table.column("b").null_count == 2
    got = table.to_pydict()
    for a in attrs:
        assert same(got[a], want[a]), a

    frame = pl.DataFrame(idx.columns(*attrs))
    assert [str(t) for t in frame.dtypes] == ["Int64", "Float64", "String", "Boolean", "Float64", "Null"]
    got = frame.to_dict(as_series=False)
    for a in attrs:
        assert same(got[a], want[a]), a


def test_views_empty_indexes_and_zero_attributes():
    objs = [Obj(age=i % 7, name=f"n{i}") for i in range(100)]
    idx = Index()
    idx.add_object_many(objs)
    view = idx.reduced_query(Q.gt("age", 3))
    objs[4].age = 0  # no longer matches, but the view keeps it, as collect() does
    idx.add_object(Obj(age=6, name="later"))  # not in the view
    assert pa.table(view.columns("age", "name")).to_pydict() == model(view.collect(), ["age", "name"])
    narrowed = view.reduced(age=5)
    assert pl.DataFrame(narrowed.columns("name"))["name"].to_list() == [o.name for o in narrowed.collect()]

    empty = pa.table(Index().columns("age", "name"))
    assert empty.num_rows == 0 and [str(t) for t in empty.schema.types] == ["null", "null"]
    assert pa.table(view.reduced(age=99).columns("age")).num_rows == 0
    bare = pa.table(idx.columns())
    assert bare.num_columns == 0 and bare.num_rows == len(idx) == 101
    # The schema capsule alone, and the stream ignoring a requested schema.
    c = idx.columns("age", "name")
    assert pa.schema(c) == pa.schema([("age", pa.int64()), ("name", pa.string())])
    reader = pa.RecordBatchReader._import_from_c_capsule(c.__arrow_c_stream__(requested_schema=None))
    assert reader.read_all().num_rows == 101


# ---------------------------------------------------------------- refusals

@pytest.mark.parametrize("values, words", [
    ([1, "a"], ["mixes int and str"]),
    ([True, 1], ["mixes int and bool"]),
    ([1.5, "a", 2], ["mixes float and str"]),
    ([1, {"k": [1]}], ["holds a dict"]),
    (["a", ([1],)], ["holds a list in a list"]),
    ([{1, (2,)}], ["holds a tuple in a list"]),
    ([b"x"], ["'bytes'"]),
    ([Obj(name="inner")], ["nested Indexable (Obj)"]),
])
def test_values_without_a_column_type_raise_type_error_naming_the_attribute(values, words):
    idx = Index()
    idx.add_object_many([Obj(x=v, ok=1) for v in values] + [Obj(ok=2)])
    with pytest.raises(TypeError) as info:
        idx.columns("ok", "x")
    text = str(info.value)
    assert text.startswith("columns: attribute 'x' "), text
    assert all(w in text for w in words), text
    assert idx.columns("ok") is not None  # the other attribute still reads


def test_none_is_a_null_in_a_column_of_any_type():
    pa = pytest.importorskip("pyarrow")
    idx = Index()
    objs = [Obj(i=1, s="a", f=None), Obj(i=None, s=None, f=None), Obj(i=3, s="c", f=None)]
    idx.add_object_many(objs)
    table = pa.table(idx.columns("i", "s", "f"))
    assert table.column("i").type == pa.int64() and table.column("s").type == pa.string()
    assert table.column("f").type == pa.null()
    want = {a: [getattr(o, a) for o in idx.collect()] for a in ("i", "s", "f")}
    assert table.to_pydict() == want


def test_bad_arguments():
    idx = Index()
    idx.add_object(Obj(a=1))
    with pytest.raises(TypeError, match="must be str"):
        idx.columns("a", 3)
    for bad in ("a..b", ".a", "a.", ".", ""):
        with pytest.raises(ValueError, match="neither an attribute name nor a dotted path"):
            idx.reduced(a=1).columns("a", bad)
    with pytest.raises(TypeError, match="no keyword"):
        idx.columns(attr="a")
    with pytest.raises(TypeError):
        Columns()
    with pytest.raises(TypeError):
        idx.columns("a").__arrow_c_stream__(1, 2)


# ---------------------------------------------------------------- the raw structures

class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


class ArrowArrayStream(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))), ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))), ("private_data", ctypes.c_void_p)]
ArrowArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64), ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))), ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))), ("private_data", ctypes.c_void_p)]
ArrowArrayStream._fields_ = [
    ("get_schema", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))),
    ("get_next", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))),
    ("get_last_error", ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.POINTER(ArrowArrayStream))),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))), ("private_data", ctypes.c_void_p)]

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def capsule_struct(capsule, name, struct):
    return ctypes.cast(_get_pointer(capsule, name), ctypes.POINTER(struct)).contents


def decode(schema, array):
    """The values of one column read off its buffers, None where the validity bit is clear."""
    fmt, n, buffers = schema.format, array.length, array.buffers

    def bit(address, i):
        return (ctypes.cast(address, ctypes.POINTER(ctypes.c_uint8))[i // 8] >> (i % 8)) & 1

    def valid(i):
        return fmt != b"n" and (array.null_count == 0 or bit(buffers[0], i))

    if fmt == b"l":
        values = ctypes.cast(buffers[1], ctypes.POINTER(ctypes.c_int64))
    elif fmt == b"g":
        values = ctypes.cast(buffers[1], ctypes.POINTER(ctypes.c_double))
    elif fmt == b"b":
        values = [bool(bit(buffers[1], i)) for i in range(n)]
    elif fmt == b"u":
        offsets = ctypes.cast(buffers[1], ctypes.POINTER(ctypes.c_int32))
        values = [ctypes.string_at(buffers[2] + offsets[i], offsets[i + 1] - offsets[i]).decode()
                  for i in range(n)]
    elif fmt == b"+l":
        assert schema.n_children == array.n_children == 1
        offsets = ctypes.cast(buffers[1], ctypes.POINTER(ctypes.c_int32))
        elements = decode(schema.children[0].contents, array.children[0].contents)
        assert len(elements) == offsets[n] and offsets[0] == 0
        values = [elements[offsets[i]:offsets[i + 1]] for i in range(n)]
    else:
        assert fmt == b"n", fmt
        values = [None] * n
    return [values[i] if valid(i) else None for i in range(n)]


def consume(capsule):
    """Reads a stream capsule as a consumer would: schema, one batch, end of stream."""
    stream = capsule_struct(capsule, b"arrow_array_stream", ArrowArrayStream)
    schema, batch, after = ArrowSchema(), ArrowArray(), ArrowArray()
    assert stream.get_schema(ctypes.byref(stream), ctypes.byref(schema)) == 0
    assert stream.get_next(ctypes.byref(stream), ctypes.byref(batch)) == 0
    assert stream.get_next(ctypes.byref(stream), ctypes.byref(after)) == 0
    assert not after.release  # the end of the stream
    stream.release(ctypes.byref(stream))  # the capsule then only frees the structure
    assert schema.format == b"+s" and schema.n_children == batch.n_children
    out = {}
    for k in range(schema.n_children):
        child_schema, child = schema.children[k].contents, batch.children[k].contents
        assert child.length == batch.length
        out[child_schema.name.decode()] = decode(child_schema, child)
    batch.release(ctypes.byref(batch))
    schema.release(ctypes.byref(schema))
    assert not batch.release and not schema.release
    return out


def test_the_stream_outlives_the_index_the_view_and_the_columns_object():
    objs = sample()
    refs = [sys.getrefcount(o) for o in objs]
    idx = Index()
    idx.add_object_many(objs)
    view = idx.reduced_query(Q.ne("i", 3))
    attrs = ["i", "s", "b", "unknown"]
    want = model(view.collect(), attrs)
    want["b"] = [None if v is None else bool(v) for v in want["b"]]
    columns = view.columns(*attrs)
    stream = columns.__arrow_c_stream__()
    schema = columns.__arrow_c_schema__()
    never_consumed = columns.__arrow_c_stream__()  # released by its capsule alone
    del columns, view, idx, never_consumed
    gc.collect()
    got = consume(stream)
    assert got == want
    assert capsule_struct(schema, b"arrow_schema", ArrowSchema).format == b"+s"
    del stream, schema
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == refs


def test_list_columns_through_the_raw_structures():
    objs = [Obj(l=[1, None, 3], s=("x", "a string longer than fifteen bytes")), Obj(l=None, s=[]), Obj(l=[], s="y"),
            Obj(s=[None]), Obj(l=[2**62], n=[None, None])]
    idx = Index()
    idx.add_object_many(objs)
    view = idx.reduced_query(Q.ne("l", 3))
    stream = view.columns("l", "s", "n").__arrow_c_stream__()
    members = view.collect()
    want = {a: list_model(members, a) for a in ("l", "s", "n")}
    del view, idx, objs
    gc.collect()
    assert consume(stream) == want


def test_float_and_mixed_columns_through_the_raw_structures():
    idx = Index()
    idx.add_object_many([Obj(f=0.5, m=1), Obj(f=math.inf, m=2.5), Obj(m=2**53 + 1)])
    got = consume(idx.columns("f", "m").__arrow_c_stream__())
    want = model(idx.collect(), ["f", "m"])
    assert same(got["f"], want["f"])
    assert same(got["m"], [float(v) for v in want["m"]])


@pytest.mark.skipif(SANITIZED, reason="freed memory sits in the sanitizer's quarantine")
def test_unconsumed_capsules_free_their_columns():
    idx = Index()
    idx.add_object_many([Obj(x=i, s=f"value {i:08d}") for i in range(50_000)])

    def resident():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    for _ in range(3):
        idx.columns("x", "s").__arrow_c_stream__()
    start = resident()
    for _ in range(100):  # each holds about 1.5 MB while alive
        columns = idx.columns("x", "s")
        columns.__arrow_c_stream__()
        columns.__arrow_c_schema__()
    assert resident() - start < 40 * 2**20


def test_writes_and_removals_while_columns_are_read():
    objs = [Obj(x=i, s="a") for i in range(20_000)]
    idx = Index()
    idx.add_object_many(objs)
    stop = threading.Event()

    def writer():
        k = 0
        while not stop.is_set():
            o = objs[k % len(objs)]
            o.x = o.x + 1
            if k % 7 == 0:
                idx.remove_object(o)
                idx.add_object(o)
            k += 1

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        for _ in range(30):
            got = consume(idx.columns("x", "s").__arrow_c_stream__())
            assert len(got["x"]) == len(got["s"]) >= len(objs) - 1
            assert all(type(v) is int for v in got["x"]) and set(got["s"]) == {"a"}
    finally:
        stop.set()
        thread.join(60)
    assert not thread.is_alive()
    assert consume(idx.columns("x").__arrow_c_stream__())["x"] == [o.x for o in idx.collect()]


# ---------------------------------------------------------------- list columns

def as_list(v):
    """A row of a list column as the model has it: None for a missing value or None,
    the elements of a list, tuple or set (a set in its iteration order), else [v]."""
    if v is None:
        return None
    if isinstance(v, (list, tuple, set)):
        return list(v)
    return [v]


def list_model(objs, attr, element=lambda e: e):
    rows = [as_list(getattr(o, attr, None)) for o in objs]
    return [None if r is None else [None if e is None else element(e) for e in r] for r in rows]


UTC = D.timezone.utc


@pytest.mark.parametrize("values, arrow_type, element", [
    ([[1, 2, 3], [], [-(2**63), 2**63 - 1], (7,), {5}], pa.list_(pa.int64()), int),
    ([[0.5, -0.0], [math.inf], (2.25, 1e300)], pa.list_(pa.float64()), float),
    ([[1, 2.5], [3], (4,)], pa.list_(pa.float64()), float),  # ints and floats: floats
    ([["a", "Zürich 東京 🙂"], [""], ("a string longer than fifteen bytes",)], pa.list_(pa.string()), str),
    ([[True, False], [np.bool_(False)], (True,)], pa.list_(pa.bool_()), bool),
    ([[D.date(2024, 2, 29), D.date(1, 1, 1)], [D.date(9999, 12, 31)]], pa.list_(pa.date32()), None),
    ([[D.datetime(2020, 1, 1, 12, 30, 0, 5)], [D.datetime(1970, 1, 1)]], pa.list_(pa.timestamp("us")), None),
    ([[D.datetime(2020, 1, 1, tzinfo=UTC)], [D.datetime(2021, 6, 1, 3, tzinfo=D.timezone(D.timedelta(hours=2)))]],
     pa.list_(pa.timestamp("us", tz="UTC")), None),
    ([[D.time(1, 2, 3, 4)], [D.time(23, 59)]], pa.list_(pa.time64("us")), None),
    ([[D.timedelta(days=-1, microseconds=3)], [D.timedelta(0)]], pa.list_(pa.duration("us")), None),
])
def test_lists_tuples_and_sets_become_list_columns_of_their_element_type(values, arrow_type, element):
    # Each kind with a None element, an empty list, a None value and a member
    # without the attribute, first in list form and then after a scalar (the
    # column turns into a list column on its first container).
    for lead in (values, [values[0][0] if isinstance(values[0], list) and values[0] else None] + values):
        objs = [Obj(v=v, k=i) for i, v in enumerate(lead)]
        objs += [Obj(v=[None, *values[0]], k=100), Obj(v=None, k=101), Obj(v=[], k=102), Obj(k=103)]
        idx = Index()
        idx.add_object_many(objs)
        members = idx.collect()
        column = pa.table(idx.columns("v", "k")).column("v")
        assert column.type == arrow_type
        want = list_model(members, "v", element or (lambda e: e))
        got = column.to_pylist()
        if arrow_type.value_type == pa.timestamp("us", tz="UTC"):
            want = [None if r is None else [None if e is None else e.astimezone(UTC) for e in r] for r in want]
        assert got == want
        for g, w in zip(got, want):  # exactly: ints stay ints, floats floats, NaN and -0.0 as they are
            assert g is None or [type(e) for e in g] == [type(e) for e in w]
        chunk = column.chunk(0)
        chunk.validate(full=True)
        assert chunk.null_count == sum(r is None for r in want)
        lengths = [0 if r is None else len(r) for r in want]
        assert chunk.offsets.to_pylist() == [sum(lengths[:i]) for i in range(len(lengths) + 1)]
        assert chunk.values.null_count == sum(e is None for r in want if r for e in r)


def test_a_column_mixing_scalars_lists_and_missing_values():
    # A scalar among lists is a list of that one value; None and a missing
    # attribute are null lists; an empty list is an empty list, not a null.
    objs = [Obj(t=5), Obj(t=[1, 2]), Obj(t=None), Obj(), Obj(t=()), Obj(t={3}), Obj(t=7.5), Obj(t=[None]),
            Obj(t=math.nan)]
    idx = Index()
    idx.add_object_many(objs)
    table = pa.table(idx.columns("t"))
    assert table.column("t").type == pa.list_(pa.float64())
    got = table.column("t").to_pylist()
    want = list_model(idx.collect(), "t", float)
    assert [g if g is None else [x for x in g if x == x] for g in got] == \
           [w if w is None else [x for x in w if x == x] for w in want]
    assert [g is not None and any(x != x for x in g if x is not None) for g in got] == \
           [type(o) is Obj and isinstance(getattr(o, "t", None), float) and math.isnan(o.t) for o in idx.collect()]
    frame = pl.DataFrame(idx.columns("t"))
    assert frame.dtypes == [pl.List(pl.Float64)]
    assert frame["t"].null_count() == 2


def test_list_columns_read_current_values_in_views_and_after_writes():
    objs = [Obj(n=i, tags=[f"t{i}", "all"]) for i in range(30)]
    idx = Index()
    idx.add_object_many(objs)
    view = idx.reduced(tags="all")
    objs[3].tags = ("assigned",)
    objs[4].tags.append("in place")  # not seen by queries, but it is the list's current content
    objs[5].tags = "a scalar"
    objs[6].tags = None
    objs[7].tags = {"x"}
    idx.remove_object(objs[8])  # the view still admits it and reads the object itself
    objs[8].tags = ["after removal"]
    idx.add_object(Obj(n=99, tags=["not in the view"]))
    for source in (view, idx):
        members = source.collect()
        got = pa.table(source.columns("n", "tags")).to_pydict()
        assert got == {"n": [o.n for o in members], "tags": list_model(members, "tags")}
    assert pl.DataFrame(view.reduced(n=4).columns("tags"))["tags"].to_list() == [["t4", "all", "in place"]]
    # Once every list is gone the column is a plain one again.
    for o in idx.collect():
        o.tags = "s"
    assert pa.table(idx.columns("tags")).column("tags").type == pa.string()


@pytest.mark.parametrize("values, words", [
    ([[1, [2]]], ["holds a list in a list", "not containers"]),
    ([[(1,)]], ["holds a tuple in a list"]),
    ([[{"a": 1}]], ["holds a dict in a list"]),
    ([[Obj(name="inner")]], ["nested Indexable (Obj) in a list"]),
    ([[b"x"]], ["'bytes' in a list"]),
    ([[1, "a"]], ["mixes int and str in a list"]),
    ([1, ["a"]], ["mixes int and str in a list"]),
    ([["a"], [True]], ["mixes str and bool in a list"]),
    ([[D.time(1, tzinfo=UTC)]], ["aware time", "in a list"]),
    ([[1], {"k": 1}], ["holds a dict;", "and lists, tuples and sets of them"]),
    ([[1], Obj(name="inner")], ["nested Indexable (Obj);"]),
    ([[1], b"x"], ["'bytes';"]),
])
def test_list_elements_without_a_column_type_raise_type_error(values, words):
    idx = Index()
    idx.add_object_many([Obj(x=v, ok=1) for v in values] + [Obj(ok=2)])
    with pytest.raises(TypeError) as info:
        idx.columns("ok", "x")
    text = str(info.value)
    assert text.startswith("columns: attribute 'x' "), text
    assert all(w in text for w in words), text
    assert pa.table(idx.columns("ok")).num_rows == len(values) + 1


def test_an_element_that_no_longer_converts_raises_its_conversion_error():
    o = Obj(big=[1, 2])
    idx = Index()
    idx.add_object(o)
    o.big.append(2**70)  # changed in place: the index never saw it
    with pytest.raises(OverflowError, match="big"):
        idx.columns("big")
    o.big.pop()
    assert pa.table(idx.columns("big")).to_pydict() == {"big": [[1, 2]]}


class Count(int):
    pass


def test_list_columns_release_every_reference():
    kept = [Count(7), D.datetime(2020, 5, 1), "a string longer than fifteen bytes", Count(8)]
    lists = [[kept[0], kept[3]], (kept[0],), {kept[0]}]
    refs = [sys.getrefcount(x) for x in kept + lists]
    objs = [Obj(a=lists[i % 3], d=[kept[1]], s=[kept[2], None]) for i in range(300)]
    objs.append(Obj(a=[kept[0], "mixes with str"], d=kept[1]))  # refused after its lists were read
    idx = Index()
    idx.add_object_many(objs)
    during = [sys.getrefcount(x) for x in kept + lists]
    for _ in range(3):
        with pytest.raises(TypeError):
            idx.columns("d", "s", "a")
        table = pa.table(idx.columns("d", "s"))
        assert table.column("d").to_pylist()[:2] == [[kept[1]], [kept[1]]]
        columns = idx.columns("d", "s")
        stream = columns.__arrow_c_stream__()
        del columns, table
        gc.collect()
        assert [sys.getrefcount(x) for x in kept + lists] == during
        del stream
    idx.remove_object(objs[-1])
    assert pa.table(idx.columns("a")).column("a").to_pylist() == list_model(idx.collect(), "a")
    del idx, objs
    gc.collect()
    assert [sys.getrefcount(x) for x in kept + lists] == refs


# ---------------------------------------------------------------- dotted paths

def objects_in(v):
    """The Indexable objects a value holds: itself, or a container's at any depth."""
    if isinstance(v, Indexable):
        yield v
    elif type(v) in (list, tuple, set):
        for e in v:
            yield from objects_in(e)


def path_row(obj, path):
    """What a dotted column holds for one object, by a plain walk over current values:
    the last attribute's values on the distinct objects the steps lead to (None when
    there is none, a value when there is one, else every value, containers' elements
    in their place), sorted as the row's order is by id."""
    *steps, last = path.split(".")
    at = {id(obj): obj}
    for step in steps:
        at = {id(x): x for o in at.values() for x in objects_in(getattr(o, step, None))}
    values = [getattr(o, last, None) for o in at.values()]
    values = [v for v in values if v is not None]
    if not values:
        return None
    if len(values) == 1 and type(values[0]) not in (list, tuple, set):
        return values[0]
    return sorted((e for v in values for e in (v if type(v) in (list, tuple, set) else [v])),
                  key=lambda e: (e is None, e if e is not None else 0))


def path_model(objs, path):
    rows = [path_row(o, path) for o in objs]
    if any(isinstance(r, list) for r in rows):
        rows = [r if r is None or isinstance(r, list) else [r] for r in rows]
    return rows


def sorted_rows(rows):
    return [sorted(r, key=lambda e: (e is None, e if e is not None else 0)) if isinstance(r, list) else r
            for r in rows]


def people():
    """A graph with every shape a path can take: one link, lists of links, cycles,
    self-references, shared objects reached along several routes, links that end."""
    boss = Obj(name="boss", age=60, tags=["lead", "hr"])
    mid = [Obj(name=f"mid{i}", age=40 + i, boss=boss, tags=("x",)) for i in range(3)]
    staff = [Obj(name=f"p{i}", age=20 + i, boss=mid[i % 3], tags=[f"t{i}"]) for i in range(12)]
    for i, p in enumerate(staff):
        p.friend = staff[(i + 1) % 12]                     # a ring: friend.friend... comes back round
        p.friends = [staff[(i + 2) % 12], mid[0], staff[(i + 2) % 12]]  # a repeated link counts once
    staff[0].friend = staff[0]                             # a self-reference
    staff[1].boss = None                                   # a link that ends
    staff[2].boss = 5                                      # not an object: reaches nothing
    staff[3].friends = []
    staff[4].friends = [[mid[1]], (mid[2], {mid[1]})]    # objects in containers at any depth
    mid[2].boss = mid[1]                                   # shared: mid1 reached via two routes
    boss.boss = boss
    loner = Obj(name="loner")                              # no links at all
    return staff + [loner], mid, boss


PATHS = ["boss.name", "boss.age", "boss.boss.name", "friend.name", "friend.friend.friend.age", "friends.name",
         "friends.boss.name", "friends.friends.boss.age", "boss.tags", "friends.tags", "friend.boss.boss.boss.name"]


def test_dotted_paths_give_the_values_a_walk_over_current_values_reaches():
    members, mid, boss = people()
    idx = Index()
    idx.add_object_many(members)
    table = pa.table(idx.columns("name", *PATHS))
    assert table.column_names == ["name", *PATHS]
    objs = idx.collect()
    assert table.column("name").to_pylist() == [o.name for o in objs]
    for path in PATHS:
        want = path_model(objs, path)
        got = table.column(path).to_pylist()
        assert sorted_rows(got) == want, path
        column = table.column(path).chunk(0)
        column.validate(full=True)
        assert column.null_count == sum(r is None for r in want), path
    types = {p: str(table.column(p).type) for p in PATHS}
    assert types["boss.name"] == "string" and types["boss.age"] == "int64"      # one value each: scalars
    assert types["friend.friend.friend.age"] == "int64"
    assert types["friends.name"] == "list<item: string>"                       # several: lists
    assert types["boss.tags"] == "list<item: string>"                          # a list at the end
    # Members of a view only; a member without the link, or whose link is not an object, is a null.
    view = idx.reduced_query(Q.lt("age", 25))
    for path in ("boss.name", "friends.boss.name"):
        assert sorted_rows(pa.table(view.columns(path)).column(path).to_pylist()) == path_model(view.collect(), path)


def test_dotted_paths_follow_writes_and_refuse_what_a_column_cannot_hold():
    members, mid, boss = people()
    idx = Index()
    idx.add_object_many(members)
    staff = members[:12]
    boss.name = "renamed"                 # a nested object's own value
    staff[5].boss = Obj(name="new boss")  # a new link, to an object stored from now on
    staff[6].boss = None                  # a link gone
    mid[0].boss = [boss, mid[1]]          # one link made several: the column turns into a list column
    objs = idx.collect()
    table = pa.table(idx.columns("boss.boss.name", "boss.name"))
    for path in ("boss.boss.name", "boss.name"):
        assert sorted_rows(table.column(path).to_pylist()) == path_model(objs, path), path
    assert str(table.column("boss.boss.name").type) == "list<item: string>"
    # The same paths answer as queries do.
    for o, row in zip(objs, table.column("boss.name").to_pylist()):
        assert (o in idx.reduced_query(Q.eq("boss.name", "new boss")).collect()) == (row == "new boss")
    with pytest.raises(TypeError, match="attribute 'friend.friend' holds a nested Indexable"):
        idx.columns("friend.friend")
    staff[7].age = "seven"
    with pytest.raises(TypeError, match="attribute 'friend.age' mixes int and str"):
        idx.columns("friend.age")
    with pytest.raises(TypeError, match="attribute 'friends.age' mixes int and str in a list"):
        idx.columns("friends.age")
    # A name no object has, anywhere on the path: all nulls.
    for path in ("nobody.name", "boss.nobody", "boss.nobody.name"):
        assert pa.table(idx.columns(path)).column(path).to_pylist() == [None] * len(objs)


def test_a_member_reaching_one_object_along_several_routes_counts_it_once():
    shared = Obj(name="shared", n=1)
    other = Obj(name="other", n=2)
    a, b = Obj(to=shared), Obj(to=shared)
    m = Obj(via=[a, b, a])             # two routes to `shared`, one link repeated
    k = Obj(via=(a, Obj(to=other)))    # `shared` and `other`
    idx = Index()
    idx.add_object_many([m, k])
    got = dict(zip(idx.collect(), pa.table(idx.columns("via.to.n")).column("via.to.n").to_pylist()))
    assert got[m] == [1] and sorted(got[k]) == [1, 2]
    idx.remove_object(k)
    assert pa.table(idx.columns("via.to.n")).column("via.to.n").to_pylist() == [1]


def test_a_view_reads_paths_through_the_index_links():
    # A member a view admits after it left the index has no links there: its
    # paths reach nothing, as the other answers over the index's structures.
    inner = Obj(name="inner")
    objs = [Obj(k=i, to=inner) for i in range(4)]
    idx = Index()
    idx.add_object_many(objs)
    view = idx.reduced_query(Q.ge("k", 0))
    idx.remove_object(objs[2])
    rows = dict(zip(view.collect(), pa.table(view.columns("to.name", "k")).column("to.name").to_pylist()))
    assert [rows[o] for o in objs] == ["inner", "inner", None, "inner"]


def test_dotted_columns_release_every_reference():
    members, mid, boss = people()
    stamp = D.datetime(2021, 1, 1)
    for p in members:
        p.when = stamp
    everything = members + mid + [boss, stamp]
    idx = Index()
    idx.add_object_many(members)
    gc.collect()
    during = [sys.getrefcount(o) for o in everything]
    for _ in range(3):
        table = pa.table(idx.columns(*PATHS, "friends.when", "friend.when"))
        with pytest.raises(TypeError):
            idx.columns("friends.boss")
        del table
        gc.collect()
        assert [sys.getrefcount(o) for o in everything] == during


def test_paths_read_while_links_and_values_change():
    owners = [Obj(n=i) for i in range(50)]
    objs = [Obj(x=i, owner=owners[i % 50]) for i in range(5_000)]
    idx = Index()
    idx.add_object_many(objs)
    stop = threading.Event()

    def writer():
        k = 0
        while not stop.is_set():
            objs[k % len(objs)].owner = owners[(k * 7) % 50] if k % 5 else [owners[k % 50], owners[(k + 1) % 50]]
            owners[k % 50].n = k
            k += 1

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        for _ in range(20):
            table = pa.table(idx.columns("x", "owner.n"))
            assert table.num_rows == len(objs)
            # Each row reads the owners' links as a query would: the old ones, the new
            # ones or, for the instant of the write, none (a null).
            column = table.column("owner.n")
            assert column.null_count < table.num_rows // 10
            for r in column.to_pylist():
                assert r is None or type(r) is int or (1 <= len(r) <= 2 and all(type(e) is int for e in r))
    finally:
        stop.set()
        thread.join(60)
    assert not thread.is_alive()
    final = pa.table(idx.columns("owner.n")).column("owner.n").to_pylist()
    assert sorted_rows(final) == path_model(idx.collect(), "owner.n")
