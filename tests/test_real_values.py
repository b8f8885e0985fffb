"""The values real data holds: numpy scalars of every width, subclasses of int, float and
str (enum members), dates, datetimes naive and aware, times and durations, NaN and NaT,
and the refusal of ranges over values that have no order."""
import datetime as dt
import enum
import gc
import math
import sys
import weakref

import pytest

from PyVorlane import Index, Indexable, PyQueryExpr as Q

np = pytest.importorskip("numpy")

UTC = dt.timezone.utc
PLUS1 = dt.timezone(dt.timedelta(hours=1))
MINUS8 = dt.timezone(-dt.timedelta(hours=8))


class Obj(Indexable):
    pass


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 2


class Flag(enum.IntFlag):
    R = 4
    W = 2


class Colour(enum.StrEnum):
    RED = "red"
    LONG = "a colour with a name longer than fifteen bytes"


def both_ways(objs):
    """One index built in bulk, one object by object: both must answer alike."""
    bulk, single = Index(), Index()
    bulk.add_object_many(objs)
    for o in objs:
        single.add_object(o)
    return bulk, single


def found(idx, query, objs):
    return sorted(objs.index(o) for o in idx.reduced_query(query).collect())


def test_numpy_scalars_of_every_width_match_as_python_compares_them():
    values = [np.int8(-5), np.int16(5), np.int32(5), np.uint8(5), np.uint16(200), np.uint32(7), np.uint64(5),
              np.float16(-0.0), np.float32(2.5), np.float32(0.1), np.int64(5), np.float64(5.0), 5, np.bool_(True)]
    objs = [Obj(n=v) for v in values]
    for idx in both_ways(objs):
        assert found(idx, Q.eq("n", 5), objs) == [i for i, v in enumerate(values) if v == 5 and type(v) is not np.bool_]
        assert found(idx, Q.eq("n", 0.1), objs) == []  # float32's 0.1 is not the double 0.1
        assert found(idx, Q.eq("n", float(np.float32(0.1))), objs) == [9]
        assert found(idx, Q.le("n", 0), objs) == [0, 7]  # -0.0 is 0
        assert found(idx, Q.gt("n", 100), objs) == [4]
        assert found(idx, Q.in_("n", [np.int8(7), np.float32(2.5)]), objs) == [5, 8]
        assert found(idx, Q.eq("n", True), objs) == [13]  # booleans stay apart from 1
        assert idx.min("n") == -5 and idx.max("n") == 200
        assert dict(idx.count_by("n"))[5] == 7
    # Reads give the built-in value, as for int64 and float64 before.
    assert type(objs[2].n) is int and objs[2].n == 5 and type(objs[8].n) is float


def test_numpy_values_that_do_not_fit_are_refused_and_change_nothing():
    o = Obj(n=1)
    with pytest.raises(OverflowError, match="attribute 'n'.*outside the signed 64-bit range"):
        o.n = np.uint64(2**64 - 1)
    assert o.n == 1
    assert Obj(n=np.longdouble(0.5)).n == 0.5  # exact in a double
    third = np.longdouble(1) / np.longdouble(3)
    if float(third) != third:  # a platform whose longdouble is wider than a double
        with pytest.raises(ValueError, match="does not hold exactly"):
            o.n = third
        assert o.n == 1


def test_subclasses_of_int_float_and_str_are_their_built_in_value_and_read_back_as_assigned():
    class Meters(float):
        pass

    values = [Level.LOW, Level.HIGH, 1, Flag.R | Flag.W, Colour.RED, "red", Colour.LONG, Meters(1.0), True]
    objs = [Obj(v=v) for v in values]
    for idx in both_ways(objs):
        assert found(idx, Q.eq("v", 1), objs) == [0, 2, 7]
        assert found(idx, Q.eq("v", Level.LOW), objs) == [0, 2, 7]
        assert found(idx, Q.eq("v", 6), objs) == [3]
        assert found(idx, Q.ge("v", Level.HIGH), objs) == [1, 3]
        assert found(idx, Q.eq("v", "red"), objs) == [4, 5]
        assert found(idx, Q.starts_with("v", "a colour"), objs) == [6]
        assert found(idx, Q.eq("v", True), objs) == [8]
        assert [n for v, n in idx.count_by("v") if v == 1 and v is not True] == [3]
    for o, v in zip(objs, values):
        assert o.v == v and type(o.v) is type(v)
        if type(v) not in (int, str):
            assert o.v is v  # an enum member stays a member
    assert type(objs[7].v) is Meters
    # A write from one subclass value to another moves the object between values.
    objs[0].v = Colour.LONG
    assert found(idx, Q.eq("v", Colour.LONG.value), objs) == [0, 6]
    assert found(idx, Q.eq("v", 1), objs) == [2, 7]


def test_kept_objects_are_released_with_the_values_that_keep_them():
    class Big(int):
        pass

    class Text(str):
        pass

    class Stamp(dt.datetime):
        pass

    kept = [Big(10**12), Text("short"), Text("a text longer than the inline part"), dt.datetime(2020, 1, 1),
            dt.date(2020, 1, 1), dt.timedelta(3), Stamp(2020, 1, 1)]
    refs = [weakref.ref(kept[-1])]
    before = [sys.getrefcount(v) for v in kept]
    objs = [Obj(x=v, l=[v, (v,)]) for v in kept]
    idx = Index()
    idx.add_object_many(objs)
    view = idx.reduced_query(Q.ne("x", 0))
    assert sorted(id(o.x) for o in view.collect()) == sorted(map(id, kept))
    del objs, idx, view
    gc.collect()
    assert [sys.getrefcount(v) for v in kept] == before
    del kept
    gc.collect()
    assert [r() for r in refs] == [None]


def test_datetimes_compare_as_python_compares_them():
    naive = [dt.datetime(2020, 1, 1, 12), dt.datetime(2020, 1, 1, 11), dt.datetime(2021, 3, 1)]
    aware = [dt.datetime(2020, 1, 1, 12, tzinfo=PLUS1), dt.datetime(2020, 1, 1, 11, tzinfo=UTC),
             dt.datetime(2020, 1, 1, 3, tzinfo=MINUS8), dt.datetime(2020, 1, 1, 12, tzinfo=UTC)]
    dates = [dt.date(2020, 1, 1), dt.date(2019, 12, 31)]
    values = naive + aware + dates
    objs = [Obj(t=v) for v in values]
    for idx in both_ways(objs):
        # An instant is one value in every zone: 12:00+01:00 is 11:00 UTC is 03:00-08:00.
        assert found(idx, Q.eq("t", dt.datetime(2020, 1, 1, 11, tzinfo=UTC)), objs) == [3, 4, 5]
        # Naive and aware never meet; a date is never a datetime.
        assert found(idx, Q.eq("t", dt.datetime(2020, 1, 1, 11)), objs) == [1]
        assert found(idx, Q.eq("t", dt.datetime(2020, 1, 1)), objs) == []
        assert found(idx, Q.eq("t", dt.date(2020, 1, 1)), objs) == [7]
        assert found(idx, Q.gt("t", dt.datetime(2020, 1, 1, 11)), objs) == [0, 2]
        assert found(idx, Q.ge("t", dt.datetime(2020, 1, 1, 11, tzinfo=UTC)), objs) == [3, 4, 5, 6]
        assert found(idx, Q.lt("t", dt.datetime(2020, 1, 1, 12, tzinfo=UTC)), objs) == [3, 4, 5]
        assert found(idx, Q.le("t", dt.date(2020, 6, 1)), objs) == [7, 8]
        assert found(idx, Q.bt("t", dt.datetime(2020, 1, 1), dt.datetime(2020, 12, 31)), objs) == [0, 1]
        assert found(idx, Q.in_("t", [dt.date(2019, 12, 31), dt.datetime(2021, 3, 1)]), objs) == [2, 8]
        assert found(idx, Q.not_(Q.eq("t", dt.datetime(2020, 1, 1, 11, tzinfo=UTC))), objs) == [0, 1, 2, 6, 7, 8]
        # Numbers and times stay apart.
        assert found(idx, Q.gt("t", 0), objs) == []
        # Without numbers, min and max take the first kind held: dates, then naive
        # datetimes, then aware ones.
        assert idx.min("t") == dt.date(2019, 12, 31) and idx.max("t") == dt.date(2020, 1, 1)
        counts = dict(idx.count_by("t"))
        assert counts[dt.datetime(2020, 1, 1, 11, tzinfo=UTC)] == 3 and len(counts) == 7
        order = [o.t for o in idx.order_by("t")]  # kind by kind
        assert order == [values[i] for i in (8, 7, 1, 0, 2, 5, 3, 4, 6)]
        assert [o.t for o in idx.order_by("t", descending=True)] == [values[i] for i in (7, 8, 2, 0, 1, 6, 3, 4, 5)]
    # Reads give the very object assigned, its zone included.
    assert [o.t for o in objs] == values and all(o.t is v for o, v in zip(objs, values))
    assert objs[3].t.tzinfo is PLUS1


def test_times_durations_and_numpy_datetimes():
    values = [dt.time(9), dt.time(12, tzinfo=UTC), dt.time(13, tzinfo=PLUS1), dt.timedelta(hours=-3),
              dt.timedelta(days=2), np.timedelta64(3, "h"), np.datetime64("2020-01-01T12:00"),
              dt.datetime(2020, 1, 1, 12), np.datetime64("2020-01-01", "D")]
    objs = [Obj(t=v) for v in values]
    for idx in both_ways(objs):
        assert found(idx, Q.eq("t", dt.time(12, tzinfo=UTC)), objs) == [1, 2]
        assert found(idx, Q.lt("t", dt.time(10)), objs) == [0]
        assert found(idx, Q.lt("t", dt.timedelta(0)), objs) == [3]
        assert found(idx, Q.eq("t", dt.timedelta(hours=3)), objs) == [5]
        assert found(idx, Q.eq("t", np.timedelta64(180, "m")), objs) == [5]
        assert found(idx, Q.eq("t", dt.datetime(2020, 1, 1, 12)), objs) == [6, 7]
        assert found(idx, Q.le("t", np.datetime64("2020-01-01T00:00:00.000000")), objs) == [8]
        assert idx.min("t") == dt.datetime(2020, 1, 1) and idx.max("t") == dt.datetime(2020, 1, 1, 12)
    assert objs[6].t is values[6]


def test_nan_and_nat_match_no_test_and_not_admits_them():
    values = [math.nan, np.datetime64("NaT", "us"), np.timedelta64("NaT", "us"), np.float32("nan"), 1.0, None]
    objs = [Obj(x=v) for v in values]
    for idx in both_ways(objs):
        for q in (Q.eq("x", math.nan), Q.eq("x", np.datetime64("NaT", "us")), Q.eq("x", np.float32("nan")),
                  Q.le("x", dt.datetime.max), Q.bt("x", dt.timedelta(days=-10**6), dt.timedelta(days=10**6))):
            assert found(idx, q, objs) == []
        assert found(idx, Q.not_(Q.eq("x", 1.0)), objs) == [0, 1, 2, 3, 5]
        assert idx.count_by("x") == [(1, 1)]
        assert [objs.index(o) for o in idx.order_by("x")][0] == 4
    assert np.isnat(objs[1].x) and objs[1].x is values[1]


def test_values_finer_than_microseconds_or_out_of_range_are_refused():
    o = Obj(t=dt.date(2020, 1, 1))
    for bad, exc, text in ((np.datetime64("2020-01-01T00:00:00.000000001"), ValueError, "finer than a microsecond"),
                           (np.timedelta64(1, "ns"), ValueError, "finer than a microsecond"),
                           (dt.timedelta.max, OverflowError, "outside the range"),
                           (np.datetime64("20000-01-01"), OverflowError, "outside the range"),
                           (dt.datetime(1, 1, 1, tzinfo=PLUS1), OverflowError, "outside the range")):
        with pytest.raises(exc, match=f"attribute 't'.*{text}"):
            o.t = bad
        with pytest.raises(exc):
            Q.eq("t", bad)
        assert o.t == dt.date(2020, 1, 1)
    o.t = np.datetime64("2020-01-01T00:00:00.000001000")  # whole microseconds in nanoseconds
    assert Obj(t=np.datetime64("2020-01-01T00:00:00.000001000")).t == o.t


def test_ranges_refuse_operands_without_an_order():
    class Thing:
        pass

    for fn in (Q.gt, Q.ge, Q.lt, Q.le):
        for bad in (None, Thing(), b"bytes", Obj()):
            with pytest.raises(TypeError, match=f"values of type '{type(bad).__name__}' have no order"):
                fn("x", bad)
    with pytest.raises(TypeError, match="bounds do not compare"):
        Q.bt("t", dt.datetime(2020, 1, 1), dt.datetime(2021, 1, 1, tzinfo=UTC))
    with pytest.raises(TypeError, match="bounds do not compare"):
        Q.bt("t", dt.date(2020, 1, 1), 5)
    # Values that do order but are not searched by ranges keep matching nothing.
    idx = Index()
    idx.add_object(Obj(x="b"))
    assert idx.reduced_query(Q.gt("x", "a")).collect() == []


def test_writes_and_removals_move_time_values_between_kinds():
    objs = [Obj(t=dt.datetime(2020, 1, 1) + dt.timedelta(days=i)) for i in range(40)]
    idx = Index()
    idx.add_object_many(objs)
    for o in objs[::2]:
        o.t = dt.date(2020, 1, 1)
    objs[1].t = 5
    objs[3].t = dt.datetime(2020, 1, 3, tzinfo=UTC)
    idx.remove_object(objs[5])
    assert len(idx.reduced_query(Q.eq("t", dt.date(2020, 1, 1))).collect()) == 20
    assert found(idx, Q.lt("t", dt.datetime(2020, 1, 10)), objs) == [7]
    assert found(idx, Q.ge("t", dt.datetime(2020, 1, 3, tzinfo=UTC)), objs) == [3]
    assert found(idx, Q.eq("t", 5), objs) == [1]
    first = idx.order_by("t", descending=True, limit=3)
    assert first[0] is objs[1] and [o.t for o in first[1:]] == [dt.date(2020, 1, 1)] * 2


def test_columns_give_arrow_time_types():
    pa = pytest.importorskip("pyarrow")
    objs = [Obj(ts=dt.datetime(2020, 1, 1, 12), utc=dt.datetime(2020, 1, 1, 13, tzinfo=PLUS1),
                day=dt.date(2020, 1, 2), clock=dt.time(1, 2, 3, 4), span=dt.timedelta(days=-1, microseconds=5)),
            Obj(ts=np.datetime64("NaT", "us"), utc=None, day=dt.date(1, 1, 1), clock=dt.time(0), span=np.timedelta64(5, "ms"))]
    idx = Index()
    idx.add_object_many(objs)
    table = pa.table(idx.columns("ts", "utc", "day", "clock", "span"))
    assert [str(t) for t in table.schema.types] == ["timestamp[us]", "timestamp[us, tz=UTC]", "date32[day]",
                                                     "time64[us]", "duration[us]"]
    rows = table.to_pylist()
    if idx.collect()[0] is objs[1]:
        rows.reverse()
    assert rows[0]["utc"] == objs[0].utc and rows[0]["ts"] == objs[0].ts and rows[1]["ts"] is None
    assert [r["day"] for r in rows] == [o.day for o in objs] and rows[1]["span"] == dt.timedelta(milliseconds=5)
    assert [r["clock"] for r in rows] == [o.clock for o in objs] and rows[0]["span"] == objs[0].span
    mixed = Index()
    mixed.add_object_many([Obj(q=dt.date(2020, 1, 1)), Obj(q=dt.datetime(2020, 1, 1))])
    with pytest.raises(TypeError, match="mixes date and naive datetime"):
        mixed.columns("q")
    zoned = Index()
    zoned.add_object(Obj(q=dt.time(1, tzinfo=UTC)))
    with pytest.raises(TypeError, match="aware time"):
        zoned.columns("q")


def test_subclass_times_are_asked_for_a_nanosecond_part():
    # The way pandas' Timestamp and Timedelta report a part finer than the base type holds.
    class Stamp(dt.datetime):
        nanosecond = 0

    class FineStamp(dt.datetime):
        nanosecond = 7

    class Span(dt.timedelta):
        nanoseconds = 0

    class FineSpan(dt.timedelta):
        nanoseconds = 3

    class Broken(dt.datetime):
        @property
        def nanosecond(self):
            raise LookupError("no clock")

    class Absent(dt.datetime):
        @property
        def nanosecond(self):
            raise AttributeError("nanosecond")

    class Plain(dt.datetime):
        pass

    when = (2020, 1, 2, 3, 4, 5)
    idx = Index()
    objs = [Obj(t=Stamp(*when)), Obj(t=Absent(*when)), Obj(t=Plain(*when)), Obj(t=Span(hours=2))]
    idx.add_object_many(objs)
    # collect() is in id order, and ids of released objects are reused: compare as sets.
    assert {id(o) for o in idx.reduced_query(Q.eq("t", dt.datetime(*when))).collect()} == {id(o) for o in objs[:3]}
    assert idx.reduced_query(Q.eq("t", dt.timedelta(hours=2))).collect() == objs[3:]
    for fine in (FineStamp(*when), FineSpan(hours=2)):
        with pytest.raises(ValueError, match="finer than a microsecond"):
            Obj(t=fine)
        with pytest.raises(ValueError, match="finer than a microsecond"):
            objs[0].t = fine
    # An error other than a missing attribute is the caller's to see; nothing changed.
    with pytest.raises(LookupError, match="no clock"):
        objs[0].t = Broken(*when)
    assert type(objs[0].t) is Stamp
    assert {id(o) for o in idx.reduced_query(Q.eq("t", dt.datetime(*when))).collect()} == {id(o) for o in objs[:3]}


def test_pandas_values_from_frames():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"when": pd.to_datetime(["2013-01-01 05:00", None, "2013-06-01 12:00"], utc=True),
                          "delay": pd.array([-3, None, 12], dtype="Int16"),
                          "span": pd.to_timedelta(["1h", "NaT", "-2h"])})
    objs = [Obj(**row) for row in frame.to_dict("records")]
    idx = Index()
    idx.add_object_many(objs)
    stamp = pd.Timestamp("2013-06-01 12:00", tz="UTC")
    assert found(idx, Q.eq("when", stamp.to_pydatetime()), objs) == [2]
    assert found(idx, Q.lt("when", stamp), objs) == [0]
    assert found(idx, Q.lt("delay", 0), objs) == [0]
    assert found(idx, Q.lt("span", pd.Timedelta(0)), objs) == [2]
    assert objs[1].when is pd.NaT and objs[2].when == stamp and type(objs[2].when) is pd.Timestamp
    with pytest.raises(ValueError, match="finer than a microsecond"):
        Obj(when=pd.Timestamp("2013-01-01 00:00:00.000000001"))
    # NA and NaT are nulls in columns.
    pa = pytest.importorskip("pyarrow")
    rows = pa.table(idx.columns("when", "delay", "span")).to_pylist()
    by_delay = {r["delay"]: r for r in rows}
    assert by_delay[None]["when"] is None and by_delay[None]["span"] is None and by_delay[-3]["span"] == dt.timedelta(hours=1)
