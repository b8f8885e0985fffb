"""Find live Python objects by their attribute values with compressed-bitmap indexes.

Objects derive from `Indexable`, which stores their attributes natively; an
`Index` holds such objects and answers queries over their attributes without
scanning. Queries are keyword equality filters (`Index.reduced(age=36)`) or
trees built with the static methods of `PyQueryExpr`.

Example::

    from PyVorlane import Index, Indexable, PyQueryExpr as Q

    class Person(Indexable):
        pass

    ada = Person(name="Ada", age=36)
    idx = Index()
    idx.add_object(ada)
    idx.reduced_query(Q.gt("age", 30)).collect()   # [ada]
"""

import datetime as _dt
from collections.abc import Iterator, Sequence
from typing import Any, final

from typing_extensions import Self, disjoint_base

__all__ = ["sum_as_string", "Index", "Indexable", "FilteredIndex", "PyQueryExpr"]

__version__: str
"""The package's version, as its metadata states it (e.g. "0.1.0")."""

class InternalError(BaseException):
    """Raised only for a broken invariant of the engine (a bug, or a lock left
    poisoned by one), never for a value or argument a caller passes.

    Values the index cannot take raise ordinary exceptions naming the
    attribute: `OverflowError` (an `int` outside 64 bits), `TypeError` (an
    unhashable value), `UnicodeEncodeError` (a `str` with lone surrogates).
    It derives from `BaseException`, so `except Exception` does not catch it
    by accident.
    """

def sum_as_string(a: int, b: int) -> str:
    """Formats the sum of two numbers as string.

    Args:
        a: an unsigned 64-bit integer (an `int` or an object with `__index__`).
        b: likewise.

    Returns:
        The decimal digits of `a + b`, without sign or separators.

    Raises:
        OverflowError: a negative argument or one beyond 64 bits.
        TypeError: an argument that is not an integer.

    Example::

        sum_as_string(1, 2)   # "3"
    """

class _IndexLike:
    """What `Index` and `FilteredIndex` both answer over the objects they hold:
    ordering, counting by value, Arrow columns, smallest and largest values.

    A name for type checkers only: at run time each class has these methods
    of its own.
    """

    def order_by(self, attr: str, *, descending: bool = False, limit: int | None = None) -> list[Any]:
        """Returns the objects ordered by their current value of `attr`.

        Numbers come first (ints and floats in one numeric order), then
        dates, naive datetimes, aware datetimes (by instant), naive times,
        aware times and durations, each kind in its own order, then strings in
        code point order. Objects whose value is of another kind (a bool, NaN
        or NaT, a container, an `Indexable`) or that lack the attribute come
        last, in `collect()` order. Ties keep `collect()` order.
        `descending=True` reverses the order of the values within each kind
        only: ties and the objects without a value stay as they were. With `limit`, only the
        first `limit` objects are returned, found from the index's ordered
        structures at a cost that follows the limit, not the size of the set.

        Args:
            attr: an attribute name, or a dotted path ("plane.year"): an
                object then sorts by the least value its path reaches (the
                greatest when descending), and one that reaches none comes last.
            descending: largest values first.
            limit: at most this many objects; None for all.

        Returns:
            A new list of objects.

        Raises:
            TypeError: `attr` is not a str, or `limit` is not an int or None.
            ValueError: `limit` is negative, or `attr` has an empty name in it.

        Example::

            idx.order_by("age", descending=True, limit=10)   # the ten oldest
        """

    def count_by(self, attr: str, /) -> list[tuple[Any, int]]:
        """Counts the objects holding each value of `attr`, most common first.

        Like `Counter.most_common()`; ties come in value order: numbers
        ascending, dates, datetimes, times and durations kind by kind, then
        strings in code point order, then False, True, then objects in
        `collect()` order. A list, tuple or set counts each of its
        distinct elements once per object. Equal numbers are one entry, an
        int when the number is integral (3 and 3.0 count together as 3), else
        a float; booleans stay apart from 0 and 1. `Indexable` values count by
        identity; values of other kinds (and NaN, NaT) are left out. An unknown
        attribute gives an empty list. Along a dotted path ("carrier.name") an
        object counts once for each distinct value its path reaches.

        Raises:
            TypeError: `attr` is not a str.
            ValueError: `attr` has an empty name in it ("a..b").

        Example::

            idx.reduced(active=True).count_by("city")   # [("Oslo", 120), ("Rome", 80), ...]
        """

    def columns(self, *attrs: str) -> Columns:
        """Returns the current values of the named attributes of the objects as Arrow columns.

        One row per object, in `collect()` order; one column per name, in
        argument order, typed by the values found: `int64` (ints), `float64`
        (floats, or ints and floats together), `string` (str; `large_string`
        past 2 GiB of text), `bool`, `date32` (dates), `timestamp[us]` (naive
        datetimes; with time zone "UTC" for aware ones), `time64[us]` (naive
        times), `duration[us]` (timedeltas), or the null type when no object
        has the attribute. An object without the attribute, or whose value is
        None or NaT, gives a null there.

        Lists, tuples and sets make a list column, `list<T>` (`large_list<T>`
        past 2**31 - 1 elements), its elements typed by the same rules (a
        None element is a null element; a set's elements in its iteration
        order). In a column holding containers, any other value is a list of
        that one value, a missing one or None a null list, an empty container
        an empty list. Containers are read as they are at the call, changes
        made in place included.

        A dotted path `"a.b.c"` gives each object the values of `c` on the
        distinct objects its path reaches, through nested objects and lists,
        tuples and sets of them, as queries follow it (missing values and
        None left out): none is a null, one is that value, several make the
        column a list column (values in no promised order; a container at
        the path's end gives its elements).

        Args:
            *attrs: attribute names or dotted paths of names. An unknown name
                gives an all-null column; no names give no columns, one row
                per object.

        Returns:
            A new `Columns`, which `pyarrow.table`, `polars.DataFrame`, duckdb
            and `pandas.DataFrame.from_arrow` take directly. It holds its own
            copy of the values: later assignments do not change it.

        Raises:
            TypeError: a name that is not a `str`; an attribute whose values
                (or list elements) mix kinds other than int and float, or hold
                a dict, nested `Indexable`, aware time or any other value, or a
                container inside a list, tuple or set.
            OverflowError: an element of a container changed in place to
                hold an int beyond 64 bits (any element that no longer
                converts raises what assigning it would).
            ValueError: a name with an empty part (`"a..b"`, `"a."`, `""`) or
                a NUL character.

        Example::

            import polars as pl
            pl.DataFrame(idx.columns("name", "age"))
            pl.DataFrame(idx.columns("name", "tags", "mentor.name"))  # list<str>, str
        """

    def min(self, attr: str, /) -> int | float | _dt.date | _dt.time | _dt.timedelta | None:
        """Returns the smallest number among the values of `attr` (list, tuple
        and set elements included; booleans are not numbers here), an int
        when it is integral; without numbers, the smallest value of the first
        kind of date, datetime, time or duration held (in `order_by`'s order);
        None when there is none. `attr` may be a dotted path.

        Raises:
            TypeError: `attr` is not a str.
            ValueError: `attr` has an empty name in it ("a..b").
        """

    def max(self, attr: str, /) -> int | float | _dt.date | _dt.time | _dt.timedelta | None:
        """Returns the largest number among the values of `attr`, as `min`
        returns the smallest."""

    def sum(self, attr: str, /) -> int | float:
        """Returns the sum of the numbers among the values of `attr` (list,
        tuple and set elements included; booleans, strings, dates and NaN are
        not numbers here): an exact int when every number is integral (2.0
        counts as 2), else a float rounded once, as `math.fsum` rounds (inf
        where that is beyond the largest float); 0 when there is none. Along a
        dotted path each object adds the numbers of each distinct object its
        path leads to: `sum("customer.age")` over orders adds each order's
        customer's age.

        Raises:
            TypeError: `attr` is not a str.
            ValueError: `attr` has an empty name in it ("a..b").
        """

    def mean(self, attr: str, /) -> float | None:
        """Returns the mean of the numbers `sum` adds up: their exact sum over
        their number, rounded once; None when there is none."""

    def group_by(self, attr: str, /) -> GroupBy:
        """Returns the objects grouped by their values of `attr`, as `count_by`
        groups them (an object holding a list is in the group of each distinct
        element). Its methods give (group value, result) pairs in `count_by`'s
        order, read when they are called. `attr`, and the attribute each
        method reads, may be dotted paths:
        `flights.group_by("origin.faa").mean("dep_delay")`.

        Raises:
            TypeError: `attr` is not a str.
            ValueError: `attr` has an empty name in it ("a..b").
        """

@final
class Index(_IndexLike):
    """An index over `Indexable` objects, answering attribute queries with bitmaps.

    An index keeps strong references to the objects added to it and stays
    current when an attribute of one of them is assigned. Queries give
    `FilteredIndex` views or lists of objects, in ascending object id order
    (the order in which the objects were created; ids of released objects are
    reused).

    Example::

        idx = Index()
        idx.add_object_many([ada, alan])
        idx.get_by_attribute(city="London")             # [ada]
        idx.reduced_query(PyQueryExpr.gt("age", 40))    # a FilteredIndex
    """

    def __init__(self) -> None:
        """Makes an empty index; it takes no arguments."""

    def __len__(self) -> int:
        """The number of objects the index holds, counted without building a list."""

    def __contains__(self, obj: object, /) -> bool:
        """Whether `obj` itself (not an equal object) is held, by its id in constant time.

        Anything that is not an `Indexable` is in no index.
        """

    def __iter__(self) -> Iterator[Any]:
        """Iterates over the objects held, in the order `collect()` returns them.

        The iteration walks a list taken when it starts: objects added or
        narrowed away meanwhile do not change it.
        """

    def collect(self) -> list[Any]:
        """Returns the objects the index holds.

        Returns:
            A new list of the very objects that were added (not copies), each
            once, in ascending id order. After `reduce` only the objects it
            kept.
        """

    def reduced(self, **kwargs: Any) -> FilteredIndex:
        """Returns a view of the objects whose attributes equal the given values.

        Args:
            **kwargs: attribute name (or dotted path, passed through a dict)
                and the value it must equal; all must hold. No keywords: every
                object of the index.

        Returns:
            A new `FilteredIndex`; the index itself is unchanged.

        Example::

            idx.reduced(age=36, city="London").collect()
            idx.reduced(**{"mentor.name": "Ada"})
        """

    def reduce(self, **kwargs: Any) -> None:
        """Narrows the index itself to the objects whose attributes equal the given values.

        Args:
            **kwargs: keyword filters, as for `reduced`. No keywords: nothing changes.

        Returns:
            None. Views made earlier still collect their objects; narrowing
            them further finds only objects the reduce kept. An object narrowed
            away takes no writes in this index until it is added again.

        Example::

            idx.reduce(city="London")
            idx.collect()   # only the Londoners
        """

    def get_by_attribute(self, **kwargs: Any) -> list[Any]:
        """Returns the objects whose attributes equal the given values.

        The same as `reduced(**kwargs).collect()`.

        Args:
            **kwargs: keyword filters, as for `reduced`.

        Returns:
            A new list of the matching objects, in ascending id order.

        Example::

            idx.get_by_attribute(city="London")   # [ada]
        """

    def add_object_many(self, objs: Sequence[Indexable]) -> None:
        """Adds a sequence of objects in bulk (faster than one by one).

        Args:
            objs: a sequence (a list or tuple, not a `str`) of `Indexable`
                objects. Objects already in the index stay once.

        Returns:
            None.

        Raises:
            TypeError: `objs` is not a sequence, is a `str`, or holds an
                element that is not an `Indexable`; then nothing is added.
        """

    def add_object(self, py_ref: Indexable) -> None:
        """Adds one object to the index.

        Its attribute values are entered now, and every later assignment to
        the object updates the index. Adding it again changes nothing.

        Args:
            py_ref: an `Indexable` object (of any subclass).

        Returns:
            None.

        Raises:
            TypeError: `py_ref` is not an `Indexable`.
        """

    def remove_object(self, obj: Indexable) -> None:
        """Takes one object out of the index.

        It is no longer a member: it leaves every result. Unless another
        member still reaches it (then it stays stored as a nested object, and
        dotted paths through it still answer), its values, list elements and
        the nested objects only it reached leave the index, and later
        assignments to it no longer reach it. Views made before keep
        their set of objects (they still collect it) but do not match it when
        narrowed further; adding it again restores it. The object itself is
        unchanged.

        Args:
            obj: an `Indexable` object the index holds.

        Returns:
            None.

        Raises:
            KeyError: the index does not hold `obj`.
            TypeError: `obj` is not an `Indexable`.

        Example::

            idx.remove_object(alice)
            alice in idx   # False
        """

    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex:
        """Returns a view of the objects that match a query tree.

        Args:
            query: a `PyQueryExpr` built with its static methods.

        Returns:
            A new `FilteredIndex`.

        Raises:
            TypeError: `query` is not a `PyQueryExpr`.

        Example::

            idx.reduced_query(Q.and_(Q.ge("age", 18), Q.eq("city", "Oslo"))).collect()
        """

    def union_with(self, other: Index) -> None:
        """Merges another index into this one, in place.

        Values, container elements and nested objects of `other`'s objects are
        entered into this index; `other` is unchanged, and assignments to its
        objects update both from then on. `a.union_with(a)` changes nothing.

        Args:
            other: an `Index`.

        Returns:
            None.

        Raises:
            TypeError: `other` is not an `Index`.
        """

    def __reduce__(self) -> tuple[type[Index], tuple[()], list[Any]]:
        """Pickles the index as the list of its members (`pickle` and
        `copy.deepcopy` use it): the objects pickle as they pickle themselves,
        with what they reach, and loading adds them back in one bulk add.
        Objects shared by indexes pickled together come back as one object."""

    def __sizeof__(self) -> int:
        """The bytes the index holds (what `sys.getsizeof` reports): the object,
        its value maps, members, object graph and records, counting the
        memory its structures reserve; the indexed objects are not counted."""

    def __setstate__(self, state: list[Any], /) -> None:
        """Adds the members of a pickled index to this empty index.

        Raises:
            ValueError: the index is not empty.
            TypeError: `state` is not a list of `Indexable` objects.
        """

@disjoint_base
class Indexable:
    """Base class of every object an `Index` can hold.

    Keyword arguments of the constructor become attributes; positional ones
    are ignored. Attributes live in native storage, not in `__dict__`: they
    are read and assigned as usual, shadow class attributes of the same name,
    appear in `dir(obj)` and cannot be deleted. Assigning an attribute of an
    indexed object updates every index that holds it.

    Attributes read as `Any` unless the subclass declares them: an annotation
    without a value (`age: int`) types the attribute for checkers and stores
    nothing on the class.

    Example::

        class Person(Indexable):
            name: str
            age: int

            def __init__(self, name: str, age: int) -> None:
                super().__init__(name=name, age=age)

        ada = Person("Ada", 36)
        ada.age = 37
        repr(ada)   # "<Indexable with 2 attributes>"
    """

    def __new__(cls, *_args: Any, **kwargs: Any) -> Self:
        """Makes an object whose attributes are the keyword arguments.

        Args:
            *_args: ignored.
            **kwargs: attribute names and their values. A name that cannot be
                encoded as UTF-8 is skipped.

        Raises:
            OverflowError, TypeError, UnicodeEncodeError: a value the index
                cannot take (an int outside 64 bits, an unhashable value, a
                str with lone surrogates), naming the attribute; nothing
                is made.
        """

    def __init__(self, *_args: Any, **kwargs: Any) -> None:
        """Assigns each keyword argument as an attribute.

        A subclass's `__init__` passes attributes on with
        `super().__init__(**attrs)`. The keywords given to the constructor are
        already stored by `__new__`; without an `__init__` of its own, a class
        does not store them twice.

        Args:
            *_args: ignored.
            **kwargs: attribute names and their values, assigned in order as
                `obj.name = value` would (a name that cannot be encoded as
                UTF-8 is skipped).

        Raises:
            OverflowError, TypeError, UnicodeEncodeError: a value the index
                cannot take (an int outside 64 bits, an unhashable value, a
                str with lone surrogates), naming the attribute; the
                attributes before it are assigned.
        """

    def __getattribute__(self, name: str, /) -> Any:
        """Reads an attribute: a stored one first, then the class's.

        Raises:
            AttributeError: neither stored nor on the class; its only argument
                is the name.
        """

    def __setattr__(self, name: str, value: Any, /) -> None:
        """Stores an attribute and updates every index that holds the object.

        Any name is stored natively, also names beginning with an underscore;
        properties and descriptors of the class are not called.

        Args:
            name: the attribute name.
            value: any value; containers are indexed by element, `Indexable`
                values as nested objects, values of other types by identity.

        Raises:
            OverflowError, TypeError, UnicodeEncodeError: a value the index
                cannot take (an int outside 64 bits, an unhashable value, a
                str with lone surrogates), naming the attribute; nothing
                changes.
        """

    def __delattr__(self, name: str, /) -> None:
        """Always refused: attributes cannot be deleted.

        Raises:
            AttributeError: "can't delete attribute".
        """

    def __dir__(self) -> list[str]:
        """Returns the stored attribute names followed by what `object.__dir__` lists."""

    def __reduce__(self) -> tuple[Any, tuple[type[Self]], dict[str, Any]]:
        """Supports `pickle`, `copy.copy` and `copy.deepcopy`.

        Returns:
            `(copyreg.__newobj__, (type(self),), attributes)`: a copy is made by
            the class's `__new__` without arguments (its `__init__` does not run)
            and then given the attributes. A copy belongs to no index.

        Example::

            clone = copy.deepcopy(person)   # nested objects and containers copied too
        """

    def __setstate__(self, state: dict[str, Any], /) -> None:
        """Assigns every item of `state` as an attribute (as `__reduce__` made it).

        Args:
            state: a dict of attribute names to values.
        """

@final
class FilteredIndex(_IndexLike):
    """A narrowed view over an index: the answer of a query.

    Made by `Index.reduced`, `Index.reduced_query` and the narrowing methods
    of a view; it cannot be constructed directly. A view never admits an
    object its parent did not; it sees later assignments to its objects, not
    objects added later, and keeps its index's data alive.

    Example::

        view = idx.reduced(city="London")
        view.reduced_query(Q.gt("age", 30)).collect()
    """

    def reduced(self, **kwargs: Any) -> FilteredIndex:
        """Returns a narrower view: the objects of this view whose attributes equal the given values.

        Args:
            **kwargs: attribute name (or dotted path) and the value it must
                equal; all must hold.

        Returns:
            A new `FilteredIndex`; this view is unchanged.
        """

    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex:
        """Returns a narrower view: the objects of this view that match a query tree.

        Args:
            query: a `PyQueryExpr`.

        Returns:
            A new `FilteredIndex`, never admitting an object this view does not.

        Raises:
            TypeError: `query` is not a `PyQueryExpr`.
        """

    def __len__(self) -> int:
        """The number of objects the view admits, counted without building a list."""

    def __contains__(self, obj: object, /) -> bool:
        """Whether the view admits `obj` itself, by its id in constant time.

        The view keeps the set it was made with: an admitted object stays in it
        after a write changes its values, until the view is narrowed again.
        """

    def __iter__(self) -> Iterator[Any]:
        """Iterates over the objects of the view, in the order `collect()` returns them."""

    def collect(self) -> list[Any]:
        """Returns the objects of the view.

        Returns:
            A new list of the very objects that were added, in ascending id order.
        """

    def rebase(self) -> Index:
        """Turns the view into an independent `Index` of the same objects.

        Returns:
            A new `Index`; `view.rebase().collect() == view.collect()`, and
            assignments to the objects update both.
        """

    def __sizeof__(self) -> int:
        """The bytes the view holds: the object and its own set of ids (the
        index it reads is counted by that index)."""

    def __reduce__(self) -> Any:
        """Views cannot be pickled or copied: always raises TypeError
        (`rebase()` the view into an `Index` first)."""

@final
class GroupBy:
    """Answers by group, made by `Index.group_by` and `FilteredIndex.group_by`;
    it cannot be constructed directly. Each method gives (group value, result)
    pairs in `count_by`'s order, over the objects' current values."""

    def count(self, attr: str | None = None, /) -> list[tuple[Any, int]]:
        """The number of objects in each group; with `attr`, the number of the
        group's numbers of `attr` that `sum` and `mean` take in."""

    def sum(self, attr: str, /) -> list[tuple[Any, int | float]]:
        """Each group's sum of its numbers of `attr`, as `Index.sum` gives it."""

    def mean(self, attr: str, /) -> list[tuple[Any, float | None]]:
        """Each group's mean of its numbers of `attr`, as `Index.mean` gives it."""

    def min(self, attr: str, /) -> list[tuple[Any, int | float | _dt.date | _dt.time | _dt.timedelta | None]]:
        """Each group's smallest value of `attr`, as `Index.min` gives it."""

    def max(self, attr: str, /) -> list[tuple[Any, int | float | _dt.date | _dt.time | _dt.timedelta | None]]:
        """Each group's largest value of `attr`, as `Index.max` gives it."""

@final
class Columns:
    """Attribute values of an index's objects as Arrow columns, made by
    `Index.columns` and `FilteredIndex.columns`; it cannot be constructed
    directly.

    It implements the Arrow PyCapsule interface, so Arrow consumers take it
    as it is: `pyarrow.table(c)`, `polars.DataFrame(c)`, duckdb, and
    `pandas.DataFrame.from_arrow(c)`. The values it exports stay valid after
    the object, its view and its index are gone.
    """

    def __arrow_c_schema__(self) -> object:
        """The schema, a struct of the columns, as a PyCapsule named "arrow_schema"."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """A stream of one record batch holding every row, as a PyCapsule named "arrow_array_stream".

        Args:
            requested_schema: accepted and ignored; the columns keep their types.
        """

@final
class PyQueryExpr:
    """A query tree, built with the static methods and passed to `reduced_query`.

    An expression is immutable; combining expressions copies them, so one
    expression can be used in many trees. `repr` shows the tree, for example
    `<QueryExpr: Eq("age", PyValue { ... })>`. It cannot be constructed
    directly.

    Example::

        Q = PyQueryExpr
        q = Q.and_(Q.bt("age", 30, 40), Q.not_(Q.eq("city", "Paris")))
        idx.reduced_query(q).collect()

    Values: numbers compare across `int` and `float`; `bool` is its own kind;
    strings compare by their UTF-8 bytes; an attribute holding a list, tuple
    or set matches by element; a dotted `attr` such as `"mentor.name"` reaches
    into nested `Indexable` objects (held directly or in a list, tuple or set),
    following the path exactly as a scan of current values would, round
    cycles and self-references included. Range operators see numbers only and
    string searches strings only; other combinations match nothing.

    An operand the index cannot take raises, naming `attr`, and builds
    nothing: `OverflowError` for an `int` outside 64 bits, `TypeError` for an
    unhashable value, `UnicodeEncodeError` for a `str` with lone surrogates.
    """

    @staticmethod
    def eq(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose attribute `attr` equals `value`.

        Args:
            attr: attribute name or dotted path.
            value: the value to match.

        Returns:
            A new `PyQueryExpr`.

        Example::

            Q.eq("tags", "vip")   # also objects whose tags list holds "vip"
        """

    @staticmethod
    def ne(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose attribute `attr` does not equal `value`: the complement of `eq`.

        Objects without the attribute match.

        Args:
            attr: attribute name or dotted path.
            value: the value not to match.

        Returns:
            A new `PyQueryExpr`.
        """

    @staticmethod
    def gt(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose attribute `attr` is greater than `value`, of its kind.

        Numbers compare with numbers, and dates, naive datetimes, aware
        datetimes (by instant), naive times, aware times and durations each
        with their own kind.

        Args:
            attr: attribute name or dotted path.
            value: a number, date, datetime, time or timedelta.

        Raises:
            TypeError: `value` has no order (None, an object, bytes: values
                matched by identity).

        Returns:
            A new `PyQueryExpr`.
        """

    @staticmethod
    def ge(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose attribute `attr` is greater than or equal to `value`, of its kind.

        Numbers compare with numbers, and dates, naive datetimes, aware
        datetimes (by instant), naive times, aware times and durations each
        with their own kind.

        Args:
            attr: attribute name or dotted path.
            value: a number, date, datetime, time or timedelta.

        Raises:
            TypeError: `value` has no order (None, an object, bytes: values
                matched by identity).

        Returns:
            A new `PyQueryExpr`.
        """

    @staticmethod
    def le(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose attribute `attr` is less than or equal to `value`, of its kind.

        Numbers compare with numbers, and dates, naive datetimes, aware
        datetimes (by instant), naive times, aware times and durations each
        with their own kind.

        Args:
            attr: attribute name or dotted path.
            value: a number, date, datetime, time or timedelta.

        Raises:
            TypeError: `value` has no order (None, an object, bytes: values
                matched by identity).

        Returns:
            A new `PyQueryExpr`.
        """

    @staticmethod
    def bt(attr: str, lower: Any, upper: Any) -> PyQueryExpr:
        """Objects whose attribute `attr` lies between `lower` and `upper`, both included.

        Args:
            attr: attribute name or dotted path.
            lower: the lower bound: a number, date, datetime, time or timedelta.
            upper: the upper bound, of the same kind (no swap when below `lower`).

        Raises:
            TypeError: a bound has no order, or the bounds are of kinds that
                never compare (a number and a date, naive and aware datetimes).

        Returns:
            A new `PyQueryExpr`.

        Example::

            Q.bt("age", 40, 45)
        """

    @staticmethod
    def lt(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose attribute `attr` is less than `value`, of its kind.

        Numbers compare with numbers, and dates, naive datetimes, aware
        datetimes (by instant), naive times, aware times and durations each
        with their own kind.

        Args:
            attr: attribute name or dotted path.
            value: a number, date, datetime, time or timedelta.

        Raises:
            TypeError: `value` has no order (None, an object, bytes: values
                matched by identity).

        Returns:
            A new `PyQueryExpr`.
        """

    @staticmethod
    def in_(attr: str, values: Sequence[Any]) -> PyQueryExpr:
        """Objects whose attribute `attr` equals one of `values`.

        Args:
            attr: attribute name or dotted path.
            values: a sequence (list, tuple, range); not a set, generator or `str`.

        Returns:
            A new `PyQueryExpr`.

        Raises:
            TypeError: `values` is not a sequence, or is a `str`.

        Example::

            Q.in_("city", ["Oslo", "Rome"])
        """

    @staticmethod
    def and_(*exprs: PyQueryExpr) -> PyQueryExpr:
        """Objects that match every expression.

        Args:
            *exprs: any number of `PyQueryExpr`; they are copied and stay usable.

        Returns:
            A new `PyQueryExpr`.

        Example::

            Q.and_(Q.gt("score", 99.5), Q.eq("active", True))
        """

    @staticmethod
    def or_(*exprs: PyQueryExpr) -> PyQueryExpr:
        """Objects that match at least one expression.

        Args:
            *exprs: any number of `PyQueryExpr`; they are copied and stay usable.

        Returns:
            A new `PyQueryExpr`.
        """

    @staticmethod
    def not_(exprs: PyQueryExpr) -> PyQueryExpr:
        """Objects that do not match the expression.

        Args:
            exprs: one `PyQueryExpr`; it is copied and stays usable.

        Returns:
            A new `PyQueryExpr`.

        Example::

            Q.not_(Q.eq("tags", "vip"))
        """

    @staticmethod
    def starts_with(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose attribute `attr` is a string beginning with `value`.

        Args:
            attr: attribute name or dotted path.
            value: a string.

        Returns:
            A new `PyQueryExpr`.

        Example::

            Q.starts_with("name", "Ab")
        """

    @staticmethod
    def ends_with(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose attribute `attr` is a string ending with `value`.

        Args:
            attr: attribute name or dotted path.
            value: a string.

        Returns:
            A new `PyQueryExpr`.
        """

    @staticmethod
    def contains(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose attribute `attr` is a string containing `value`.

        Args:
            attr: attribute name or dotted path.
            value: a string.

        Returns:
            A new `PyQueryExpr`.

        Example::

            Q.contains("name", "xyz")
        """
