"""The peers of the benchmarks, one class an engine: what PyVorlane is measured against.

A peer's constructor is its build (timed and measured by the scripts). Each script copies what
its questions need, and asks them its own way:

- bench/suite.py: `Peer(people)`, a copy of every attribute read off the live objects;
  `queries()` maps a query label to a callable returning the list of matching objects (a label
  it lacks is a query the peer cannot express), `write()` and `find_age()` follow writes;
  `groups()` maps a group question (GROUP_LABELS, asked by bench/groups.py) to a callable
  returning its (city, result) pairs or the total;
- bench/answers.py: `Peer(people, rows=rows)`, a copy of the columns its questions read (id,
  score, city, tags), from the generator's rows, with the copy narrowed to CITY made in the
  build; `answers()` maps a case of answers.py to a callable returning its answer: objects,
  (value, count) pairs or a number (ANSWERS_PEERS);
- bench/graph.py: `Peer(tables=tables, indexes=indexes)`, the given tables (columns of ints and
  strings, "id" the key) and indexes; `ask(sql, x, objs)` runs a query of one parameter whose
  ids are positions in `objs` (GRAPH_PEERS); `joined(question, objs)` answers a `Joined`
  question over two of its tables (JOIN_PEERS).

Every peer that is a copy of the data (all but ducks) answers with ids, turned into the objects
through the list (`[people[i] for i in ids]`; the id of an object is its position). `close()`
frees what the peer holds, so that a script can run the peers one after another at large sizes.

The packages are imported inside the classes: a peer left out with --engines need not be installed.
"""
import importlib
import sqlite3
from typing import NamedTuple

import numpy as np

from common import release_pools

AGE, CITY, PREFIX, INFIX, TAG = 42, "city07", "ab", "xyz", "vip"
AGES5 = [3, 17, 42, 68, 91]
VIEW_AGE = 89
ATTRS = ["id", "age", "score", "name", "city", "active", "group"]

Q_AGE = "age == 42"
Q_CITY = "city == 'city07'"
Q_SCORE = "score bt(30, 31)"
Q_CONJ = "age & city & active & group"
Q_PREFIX = "name starts_with 'ab'"
Q_INFIX = "name contains 'xyz'"
Q_IN = "age in_ 5 values"
Q_NOT = "not_(city == 'city07')"
Q_TAG = "tags has 'vip'"
# A view narrowed again: the view (city == 'city07') exists beforehand. The list comprehension,
# pandas, polars and DuckDB filter their own already narrowed copy; sqlite3 and Dex, which
# have no views, answer the combined condition.
Q_VIEW = "view(city).reduced(age > 89)"
LABELS = [Q_AGE, Q_CITY, Q_SCORE, Q_CONJ, Q_PREFIX, Q_INFIX, Q_IN, Q_NOT, Q_TAG, Q_VIEW]

# The suite's groups (bench/groups.py): by city over the whole copy and over the rows whose age
# is in GROUP_VIEW_AGES (about 2%), which the peers filter first; and the sum of every age.
GROUP_VIEW_AGES = (41, 42)
G_MEAN = "mean score by city"
G_SUM = "sum of ages by city"
G_MEAN_VIEW = "mean score by city, 2% view"
G_SUM_VIEW = "sum of ages by city, 2% view"
G_TOTAL = "sum of ages"
GROUP_LABELS = [G_MEAN, G_SUM, G_MEAN_VIEW, G_SUM_VIEW, G_TOTAL]


class Joined(NamedTuple):
    """A question of bench/graph.py over two of its tables: the rows of `table` joined to the
    rows of `parent` whose id their column `link` holds, then by the parent's column `by`:

    - "count": (value of `by`, number of rows) pairs, most rows first, ties by value;
    - "mean": (value of `by`, mean of the rows' column `of`) pairs, in any order;
    - "first": the `limit` rows with the smallest `by`, as objects (ties in any order)."""
    kind: str
    table: str
    link: str
    parent: str
    by: str
    of: str = ""
    limit: int = 0


def join_sql(q):
    """The SQL of a Joined question; "first" selects the rows' ids as `id`."""
    rows = f"FROM {q.table} t JOIN {q.parent} p ON t.{q.link} = p.id"
    if q.kind == "count":
        return f"SELECT p.{q.by} AS v, COUNT(*) AS c {rows} GROUP BY p.{q.by} ORDER BY c DESC, v"
    if q.kind == "mean":
        return f"SELECT p.{q.by}, AVG(t.{q.of}) {rows} GROUP BY p.{q.by}"
    if q.kind == "first":
        return f"SELECT t.id AS id {rows} ORDER BY p.{q.by} LIMIT {int(q.limit)}"
    raise ValueError(f"no such kind of joined question: {q.kind!r}")


class Peer:
    name = ""              # the engine's name in the suite's tables and in --engines
    build_label = ""       # its row in the build table
    memory_label = ""      # its row in the memory table
    # Bytes per object that the build adds to the process at its peak, used to decide
    # whether the peer fits when this run has not measured it at a smaller size
    # (measured at 1,000,000 objects with the versions of bench/requirements.txt).
    peak_per_object = 1000
    write_label = None     # set by the peers that can follow a write of `age`
    settle_seconds = 0     # waited after close() before the memory it left is measured
    modules = ()           # imported before the timed build, so that it does not count the import

    @classmethod
    def load(cls):
        for module in cls.modules:
            importlib.import_module(module)

    def __init__(self, people=None, rows=None, tables=None, indexes=()):
        self.people = people
        if tables is not None:
            self.copy_tables(tables, indexes)
        elif rows is not None:
            self.copy_rows(rows)
        else:
            self.copy_objects(people)

    def copy_objects(self, people):
        """The suite's copy."""
        raise NotImplementedError

    def copy_rows(self, rows):
        """answers.py's copy."""
        raise NotImplementedError

    def copy_tables(self, tables, indexes):
        """graph.py's copy."""
        raise NotImplementedError

    def objects(self, ids):
        people = self.people
        return [people[i] for i in ids]

    def prepare_view(self):
        """Untimed: whatever the peer keeps for the view query (its narrowed copy)."""

    def queries(self):
        return {}

    def groups(self):
        return {}

    def answers(self):
        return {}

    def write(self, sample, values):
        """Makes the peer follow `obj.age = value` (already assigned on the objects)."""
        raise NotImplementedError

    def find_age(self, age):
        raise NotImplementedError

    def close(self):
        self.__dict__.clear()


def _sqlite_indexes(db, indexes):
    for table, col in indexes:
        db.execute(f"CREATE INDEX {table}_{col} ON {table}({col})")
    db.commit()


class Sqlite(Peer):
    """In memory. The suite's copy: one index per column, tags in a second indexed table.
    answers.py's: indexes on score and city, tags in a second table indexed on tag and person.
    graph.py's: the tables as given, "id" the integer primary key."""
    name, build_label, memory_label = "sqlite3", "sqlite3 insert + indexes", "sqlite3 RSS"
    peak_per_object = 400
    write_label = "sqlite3 UPDATE ... WHERE id = ?"
    TYPES = {"id": "INTEGER PRIMARY KEY", int: "INTEGER", str: "TEXT"}

    def copy_objects(self, people):
        self.db = sqlite3.connect(":memory:")
        # GLOB and LIKE then use the column index for a prefix.
        self.db.execute("PRAGMA case_sensitive_like = ON")
        self.db.execute("CREATE TABLE person (id INTEGER PRIMARY KEY, age INTEGER, score REAL, "
                        "name TEXT, city TEXT, active INTEGER, grp TEXT)")
        self.db.execute("CREATE TABLE tag (pid INTEGER, tag TEXT)")
        self.db.executemany("INSERT INTO person VALUES (?,?,?,?,?,?,?)",
                            ((p.id, p.age, p.score, p.name, p.city, p.active, p.group) for p in people))
        self.db.executemany("INSERT INTO tag VALUES (?,?)", ((p.id, t) for p in people for t in p.tags))
        _sqlite_indexes(self.db, [("person", col) for col in ["age", "score", "name", "city", "active", "grp"]]
                        + [("tag", "tag")])

    def copy_rows(self, rows):
        self.db = db = sqlite3.connect(":memory:")
        db.execute("CREATE TABLE person (id INTEGER PRIMARY KEY, age INTEGER, score REAL, city TEXT)")
        db.execute("CREATE TABLE tag (pid INTEGER, tag TEXT)")
        db.executemany("INSERT INTO person VALUES (?,?,?,?)", ((r[0], r[1], r[2], r[4]) for r in rows))
        db.executemany("INSERT INTO tag VALUES (?,?)", ((r[0], t) for r in rows for t in r[7]))
        _sqlite_indexes(db, [("person", "score"), ("person", "city"), ("tag", "tag"), ("tag", "pid")])

    def copy_tables(self, tables, indexes):
        self.db = sqlite3.connect(":memory:")
        for table, cols in tables:
            self.db.execute(f"CREATE TABLE {table} ("
                            + ", ".join(f"{c} {self.TYPES[ty]}" for c, ty, _ in cols) + ")")
            self.db.executemany(f"INSERT INTO {table} VALUES ({', '.join('?' * len(cols))})",
                                zip(*(v for _, _, v in cols)))
        _sqlite_indexes(self.db, indexes)

    def query(self, sql, params=()):
        people = self.people
        return [people[i] for (i,) in self.db.execute(sql, params)]

    def queries(self):
        q = self.query
        return {
            Q_AGE: lambda: q("SELECT id FROM person WHERE age = ?", (AGE,)),
            Q_CITY: lambda: q("SELECT id FROM person WHERE city = ?", (CITY,)),
            Q_SCORE: lambda: q("SELECT id FROM person WHERE score BETWEEN ? AND ?", (30.0, 31.0)),
            Q_CONJ: lambda: q("SELECT id FROM person WHERE age = ? AND city = ? AND active = 1 AND grp = ?",
                              (AGE, CITY, "member")),
            Q_PREFIX: lambda: q("SELECT id FROM person WHERE name GLOB ?", (PREFIX + "*",)),
            Q_INFIX: lambda: q("SELECT id FROM person WHERE name GLOB ?", ("*" + INFIX + "*",)),
            Q_IN: lambda: q("SELECT id FROM person WHERE age IN (?,?,?,?,?)", AGES5),
            Q_NOT: lambda: q("SELECT id FROM person WHERE NOT city = ?", (CITY,)),
            Q_TAG: lambda: q("SELECT pid FROM tag WHERE tag = ?", (TAG,)),
            Q_VIEW: lambda: q("SELECT id FROM person WHERE city = ? AND age > ?", (CITY, VIEW_AGE)),
        }

    def write(self, sample, values):
        ex = self.db.execute
        for p, v in zip(sample, values):
            ex("UPDATE person SET age = ? WHERE id = ?", (v, p.id))
        self.db.commit()

    def find_age(self, age):
        return self.query("SELECT id FROM person WHERE age = ?", (age,))

    def answers(self):
        db = self.db

        def ids(sql, params=()):
            return self.objects([i for (i,) in db.execute(sql, params)])

        def pairs(sql, params=()):
            return db.execute(sql, params).fetchall()

        def one(sql):
            return db.execute(sql).fetchone()[0]
        top = "SELECT id FROM person {} ORDER BY score {} LIMIT 10"
        where = "WHERE city = ?"
        return {
            "top": lambda: ids(top.format("", "")),
            "top view": lambda: ids(top.format(where, ""), (CITY,)),
            "top desc": lambda: ids(top.format("", "DESC")),
            "top desc view": lambda: ids(top.format(where, "DESC"), (CITY,)),
            "count city": lambda: pairs("SELECT city, COUNT(*) AS c FROM person GROUP BY city ORDER BY c DESC, city"),
            "count city view": lambda: pairs("SELECT city, COUNT(*) AS c FROM person WHERE city = ? GROUP BY city "
                                             "ORDER BY c DESC, city", (CITY,)),
            "count tags": lambda: pairs("SELECT tag, COUNT(*) AS c FROM tag GROUP BY tag ORDER BY c DESC, tag"),
            "count tags view": lambda: pairs("SELECT t.tag, COUNT(*) AS c FROM person p JOIN tag t ON t.pid = p.id "
                                             "WHERE p.city = ? GROUP BY t.tag ORDER BY c DESC, t.tag", (CITY,)),
            "min": lambda: one("SELECT MIN(score) FROM person"),
            "max": lambda: one("SELECT MAX(score) FROM person"),
        }

    def ask(self, sql, x, objs):
        return [objs[i] for (i,) in self.db.execute(sql, (x,))]

    def close(self):
        self.db.close()
        super().close()


class Ducks(Peer):
    """ducks' Dex over the objects themselves (it holds them, no ids)."""
    name, build_label, memory_label = "ducks", "ducks Dex", "ducks Dex RSS"
    peak_per_object = 700
    write_label = "ducks Dex.update(obj)"
    modules = ("ducks",)

    def copy_objects(self, people):
        from ducks import Dex
        self.dex = Dex(people, on=ATTRS)

    def queries(self):
        dex = self.dex
        return {
            Q_AGE: lambda: dex[{"age": AGE}],
            Q_CITY: lambda: dex[{"city": CITY}],
            Q_SCORE: lambda: dex[{"score": {">=": 30.0, "<=": 31.0}}],
            Q_CONJ: lambda: dex[{"age": AGE, "city": CITY, "active": True, "group": "member"}],
            # Dex has no prefix operator; a range over the sorted names says the same for these names.
            Q_PREFIX: lambda: dex[{"name": {">=": PREFIX, "<": PREFIX[:-1] + chr(ord(PREFIX[-1]) + 1)}}],
            Q_IN: lambda: dex[{"age": {"in": AGES5}}],
            Q_NOT: lambda: dex[{"city": {"!=": CITY}}],
            Q_VIEW: lambda: dex[{"city": CITY, "age": {">": VIEW_AGE}}],
        }

    def write(self, sample, values):
        update = self.dex.update
        for p in sample:
            update(p)

    def find_age(self, age):
        return self.dex[{"age": age}]


class Pandas(Peer):
    """A DataFrame copied from the objects; boolean masks; strings in pyarrow arrays (pandas 3's
    default `str` once pyarrow is installed, made explicit here). answers.py's: score, city as
    pyarrow-backed strings, tags an object column of lists."""
    name, build_label, memory_label = "pandas", "pandas DataFrame", "pandas DataFrame RSS"
    peak_per_object = 700
    modules = ("pandas", "pyarrow")

    def copy_objects(self, people):
        import pandas as pd
        text = pd.StringDtype("pyarrow", na_value=np.nan)
        self.df = pd.DataFrame({
            "age": [p.age for p in people], "score": [p.score for p in people],
            "name": pd.array([p.name for p in people], dtype=text),
            "city": pd.array([p.city for p in people], dtype=text),
            "active": [p.active for p in people],
            "group": pd.array([p.group for p in people], dtype=text),
            # Joined so a tag test is a vectorised substring search rather than a Python loop.
            "tags": pd.array(["|" + "|".join(p.tags) + "|" for p in people], dtype=text),
        })

    def copy_rows(self, rows):
        import pandas as pd
        text = pd.StringDtype("pyarrow")
        self.df = pd.DataFrame({
            "score": [r[2] for r in rows],
            "city": pd.array([r[4] for r in rows], dtype=text),
            "tags": pd.Series([r[7] for r in rows], dtype=object),
        })
        self.city_frame = self.df[self.df["city"] == CITY]

    def mask(self, m):
        people = self.people
        return [people[i] for i in np.flatnonzero(m.to_numpy())]

    def prepare_view(self):
        self.city_frame = self.df[self.df["city"] == CITY]

    def queries(self):
        df, mask = self.df, self.mask
        return {
            Q_AGE: lambda: mask(df["age"] == AGE),
            Q_CITY: lambda: mask(df["city"] == CITY),
            Q_SCORE: lambda: mask(df["score"].between(30.0, 31.0)),
            Q_CONJ: lambda: mask((df["age"] == AGE) & (df["city"] == CITY) & df["active"]
                                 & (df["group"] == "member")),
            Q_PREFIX: lambda: mask(df["name"].str.startswith(PREFIX)),
            Q_INFIX: lambda: mask(df["name"].str.contains(INFIX, regex=False)),
            Q_IN: lambda: mask(df["age"].isin(AGES5)),
            Q_NOT: lambda: mask(~(df["city"] == CITY)),
            Q_TAG: lambda: mask(df["tags"].str.contains(f"|{TAG}|", regex=False)),
            Q_VIEW: lambda: self.objects(
                self.city_frame.index[self.city_frame["age"].to_numpy() > VIEW_AGE].tolist()),
        }

    def groups(self):
        df = self.df
        lo, hi = GROUP_VIEW_AGES

        def by_city(frame, col, how):
            s = getattr(frame.groupby("city", observed=True, sort=False)[col], how)()
            return list(zip(s.index.tolist(), s.tolist()))

        def view(col):
            return df.loc[df["age"].between(lo, hi), ["city", col]]
        return {
            G_MEAN: lambda: by_city(df, "score", "mean"),
            G_SUM: lambda: by_city(df, "age", "sum"),
            G_MEAN_VIEW: lambda: by_city(view("score"), "score", "mean"),
            G_SUM_VIEW: lambda: by_city(view("age"), "age", "sum"),
            G_TOTAL: lambda: int(df["age"].sum()),
        }

    def answers(self):
        df, cf, ids = self.df, self.city_frame, self.objects

        def counts(s):
            vc = s.value_counts()
            return _pairs((vc.index.tolist(), vc.tolist()))
        return {
            "top": lambda: ids(df.nsmallest(10, "score").index.tolist()),
            "top view": lambda: ids(cf.nsmallest(10, "score").index.tolist()),
            "top desc": lambda: ids(df.nlargest(10, "score").index.tolist()),
            "top desc view": lambda: ids(cf.nlargest(10, "score").index.tolist()),
            "count city": lambda: counts(df["city"]),
            "count city view": lambda: counts(cf["city"]),
            "count tags": lambda: counts(df["tags"].explode()),
            "count tags view": lambda: counts(cf["tags"].explode()),
            "min": lambda: float(df["score"].min()),
            "max": lambda: float(df["score"].max()),
        }


class Polars(Peer):
    """A polars DataFrame built once from columns: `city` and `group` as Enum (their distinct
    values), tags as a list column tested with `list.contains`; each query filters the id
    column alone (`select(col('id').filter(...))`). answers.py's: id, score, city (an Enum) and
    tags. Uses all cores (its thread pool)."""
    name, build_label, memory_label = "polars", "polars DataFrame", "polars DataFrame RSS"
    peak_per_object = 500
    modules = ("polars",)
    # polars' own allocator hands freed pages back to the system over some seconds, not at
    # close (300,000 objects: 105 bytes/object still held right after close, 6 after 12 s);
    # the next peer's memory check and this one's figure would otherwise count them.
    settle_seconds = 12

    def copy_objects(self, people):
        import polars as pl
        self.pl = pl
        city = [p.city for p in people]
        group = [p.group for p in people]
        self.df = pl.DataFrame({
            "id": pl.Series([p.id for p in people], dtype=pl.Int64),
            "age": pl.Series([p.age for p in people], dtype=pl.Int64),
            "score": pl.Series([p.score for p in people], dtype=pl.Float64),
            "name": pl.Series([p.name for p in people], dtype=pl.String),
            "city": pl.Series(city, dtype=pl.Enum(sorted(set(city)))),
            "active": pl.Series([p.active for p in people], dtype=pl.Boolean),
            "group": pl.Series(group, dtype=pl.Enum(sorted(set(group)))),
            # A list column straight from Python lists takes polars 18 s for 1M rows;
            # joined and split it is the same column in 0.7 s.
            "tags": pl.Series(["|".join(p.tags) for p in people], dtype=pl.String).str.split("|"),
        })

    def copy_rows(self, rows):
        import polars as pl
        self.pl = pl
        city = [r[4] for r in rows]
        self.df = pl.DataFrame({
            "id": pl.Series([r[0] for r in rows], dtype=pl.Int64),
            "score": pl.Series([r[2] for r in rows], dtype=pl.Float64),
            "city": pl.Series(city, dtype=pl.Enum(sorted(set(city)))),
            # Joined and split: the same list column as from the lists, much faster to build.
            "tags": pl.Series(["|".join(r[7]) for r in rows], dtype=pl.String).str.split("|"),
        })
        self.city_frame = self.df.filter(pl.col("city") == CITY)

    def copy_tables(self, tables, indexes):
        """Each table a DataFrame (strings as String, as DuckDB's VARCHAR); no indexes."""
        import polars as pl
        self.pl = pl
        types = {"id": pl.Int64, int: pl.Int64, str: pl.String}
        self.frames = {table: pl.DataFrame({c: pl.Series(v, dtype=types[ty]) for c, ty, v in cols})
                       for table, cols in tables}

    def joined(self, q, objs):
        """A Joined question: the two frames joined (lazily, on the columns it reads), then grouped or cut."""
        pl = self.pl
        c = pl.col
        rows, parent = self.frames[q.table].lazy(), self.frames[q.parent].lazy().select(c("id").alias("_p"), q.by)
        if q.kind == "count":
            out = (rows.select(q.link).join(parent, left_on=q.link, right_on="_p").group_by(q.by).len()
                   .sort(["len", q.by], descending=[True, False]))
            return out.collect().rows()
        if q.kind == "mean":
            out = rows.select(q.link, q.of).join(parent, left_on=q.link, right_on="_p").group_by(q.by).agg(
                c(q.of).mean())
            return out.collect().rows()
        if q.kind == "first":
            out = rows.select("id", q.link).join(parent, left_on=q.link, right_on="_p").bottom_k(q.limit, by=q.by)
            return [objs[i] for i in out.sort(q.by).collect()["id"].to_list()]
        raise ValueError(f"no such kind of joined question: {q.kind!r}")

    def ids(self, frame, cond):
        people = self.people
        return [people[i] for i in frame.select(self.pl.col("id").filter(cond)).to_series().to_list()]

    def prepare_view(self):
        self.city_frame = self.df.filter(self.pl.col("city") == CITY)

    def queries(self):
        pl, df, ids = self.pl, self.df, self.ids
        c = pl.col
        return {
            Q_AGE: lambda: ids(df, c("age") == AGE),
            Q_CITY: lambda: ids(df, c("city") == CITY),
            Q_SCORE: lambda: ids(df, c("score").is_between(30.0, 31.0)),
            Q_CONJ: lambda: ids(df, (c("age") == AGE) & (c("city") == CITY) & c("active")
                                & (c("group") == "member")),
            Q_PREFIX: lambda: ids(df, c("name").str.starts_with(PREFIX)),
            Q_INFIX: lambda: ids(df, c("name").str.contains(INFIX, literal=True)),
            Q_IN: lambda: ids(df, c("age").is_in(AGES5)),
            Q_NOT: lambda: ids(df, ~(c("city") == CITY)),
            Q_TAG: lambda: ids(df, c("tags").list.contains(TAG)),
            Q_VIEW: lambda: ids(self.city_frame, c("age") > VIEW_AGE),
        }

    def groups(self):
        pl, df = self.pl, self.df
        c = pl.col
        in_view = c("age").is_between(*GROUP_VIEW_AGES)

        def by_city(agg, cond=None):
            frame = df.lazy() if cond is None else df.lazy().filter(cond)
            return frame.group_by("city").agg(agg).collect().rows()
        return {
            G_MEAN: lambda: by_city(c("score").mean()),
            G_SUM: lambda: by_city(c("age").sum()),
            G_MEAN_VIEW: lambda: by_city(c("score").mean(), in_view),
            G_SUM_VIEW: lambda: by_city(c("age").sum(), in_view),
            G_TOTAL: lambda: df["age"].sum(),
        }

    def answers(self):
        df, cf, ids = self.df, self.city_frame, self.objects

        def low(frame):
            return ids(frame.select("id", "score").bottom_k(10, by="score").sort("score")["id"].to_list())

        def high(frame):
            return ids(frame.select("id", "score").top_k(10, by="score").sort("score", descending=True)["id"]
                       .to_list())

        def counts(s):
            vc = s.value_counts(sort=True)
            return _pairs((vc[:, 0].cast(self.pl.String).to_list(), vc[:, 1].to_list()))
        return {
            "top": lambda: low(df),
            "top view": lambda: low(cf),
            "top desc": lambda: high(df),
            "top desc view": lambda: high(cf),
            "count city": lambda: counts(df["city"]),
            "count city view": lambda: counts(cf["city"]),
            "count tags": lambda: counts(df["tags"].explode()),
            "count tags view": lambda: counts(cf["tags"].explode()),
            "min": lambda: df["score"].min(),
            "max": lambda: df["score"].max(),
        }


def _from_arrow(con, src, *sql):
    """Runs `sql` with the Arrow table `src` registered as the view "src"."""
    con.register("src", src)
    for statement in sql:
        con.execute(statement)
    con.unregister("src")


class DuckDB(Peer):
    """An in-memory DuckDB database loaded once from an Arrow table of the columns: `city` and
    `group` as ENUM types, tags as a VARCHAR[] list; parameterised SQL with `starts_with`,
    `contains` and `list_contains`; ids fetched as a numpy column. No ART indexes (see the
    suite's docstring). answers.py's: id, score, city (an ENUM) and tags, and the city's rows
    as a table of their own. graph.py's: the tables as given, with ART indexes on the keys and
    the indexed columns. Uses all cores (its default threads)."""
    name, build_label, memory_label = "DuckDB", "DuckDB table", "DuckDB RSS"
    peak_per_object = 600
    modules = ("duckdb", "pyarrow")

    def copy_objects(self, people):
        import duckdb
        import pyarrow as pa
        src = pa.table({
            "id": pa.array([p.id for p in people], pa.int64()),
            "age": pa.array([p.age for p in people], pa.int64()),
            "score": pa.array([p.score for p in people], pa.float64()),
            "name": pa.array([p.name for p in people], pa.string()),
            "city": pa.array([p.city for p in people], pa.string()),
            "active": pa.array([p.active for p in people], pa.bool_()),
            "group": pa.array([p.group for p in people], pa.string()),
            "tags": pa.array([p.tags for p in people], pa.list_(pa.string())),
        })
        self.con = con = duckdb.connect(":memory:")
        _from_arrow(con, src,
                    "CREATE TYPE city_t AS ENUM (SELECT DISTINCT city FROM src ORDER BY city)",
                    'CREATE TYPE group_t AS ENUM (SELECT DISTINCT "group" FROM src ORDER BY "group")',
                    'CREATE TABLE person AS SELECT id, age, score, name, city::city_t AS city, active, '
                    '"group"::group_t AS "group", tags FROM src')
        del src
        release_pools()

    def copy_rows(self, rows):
        import duckdb
        import pyarrow as pa
        src = pa.table({
            "id": pa.array([r[0] for r in rows], pa.int64()),
            "score": pa.array([r[2] for r in rows], pa.float64()),
            "city": pa.array([r[4] for r in rows], pa.string()),
            "tags": pa.array([r[7] for r in rows], pa.list_(pa.string())),
        })
        self.con = con = duckdb.connect(":memory:")
        _from_arrow(con, src,
                    "CREATE TYPE city_t AS ENUM (SELECT DISTINCT city FROM src ORDER BY city)",
                    "CREATE TABLE person AS SELECT id, score, city::city_t AS city, tags FROM src")
        del src
        con.execute("CREATE TABLE city_person AS SELECT * FROM person WHERE city = ?", [CITY])
        release_pools()

    def copy_tables(self, tables, indexes):
        import duckdb
        import pyarrow as pa
        types = {"id": pa.int64(), int: pa.int64(), str: pa.string()}
        self.con = con = duckdb.connect(":memory:")
        for table, cols in tables:
            src = pa.table({c: pa.array(v, types[ty]) for c, ty, v in cols})
            _from_arrow(con, src, f"CREATE TABLE {table} AS SELECT * FROM src")
            del src
        keys = [(table, c) for table, cols in tables for c, ty, _ in cols if ty == "id"]
        for table, col in keys + indexes:
            con.execute(f"CREATE INDEX {table}_{col} ON {table}({col})")

    def query(self, sql, params=None):
        people = self.people
        return [people[i] for i in self.con.execute(sql, params).fetchnumpy()["id"].tolist()]

    def prepare_view(self):
        self.con.execute("CREATE TABLE city_person AS SELECT * FROM person WHERE city = ?", [CITY])

    def queries(self):
        q = self.query
        return {
            Q_AGE: lambda: q("SELECT id FROM person WHERE age = ?", [AGE]),
            Q_CITY: lambda: q("SELECT id FROM person WHERE city = ?", [CITY]),
            Q_SCORE: lambda: q("SELECT id FROM person WHERE score BETWEEN ? AND ?", [30.0, 31.0]),
            Q_CONJ: lambda: q('SELECT id FROM person WHERE age = ? AND city = ? AND active AND "group" = ?',
                              [AGE, CITY, "member"]),
            Q_PREFIX: lambda: q("SELECT id FROM person WHERE starts_with(name, ?)", [PREFIX]),
            Q_INFIX: lambda: q("SELECT id FROM person WHERE contains(name, ?)", [INFIX]),
            Q_IN: lambda: q("SELECT id FROM person WHERE age IN (?, ?, ?, ?, ?)", AGES5),
            Q_NOT: lambda: q("SELECT id FROM person WHERE NOT city = ?", [CITY]),
            Q_TAG: lambda: q("SELECT id FROM person WHERE list_contains(tags, ?)", [TAG]),
            Q_VIEW: lambda: q("SELECT id FROM city_person WHERE age > ?", [VIEW_AGE]),
        }

    def groups(self):
        con = self.con
        by_city = "SELECT city::VARCHAR, {} FROM person {} GROUP BY city"
        in_view = "WHERE age BETWEEN ? AND ?"

        def pairs(sql, params=None):
            return con.execute(sql, params).fetchall()
        return {
            G_MEAN: lambda: pairs(by_city.format("AVG(score)", "")),
            G_SUM: lambda: pairs(by_city.format("SUM(age)", "")),
            G_MEAN_VIEW: lambda: pairs(by_city.format("AVG(score)", in_view), list(GROUP_VIEW_AGES)),
            G_SUM_VIEW: lambda: pairs(by_city.format("SUM(age)", in_view), list(GROUP_VIEW_AGES)),
            G_TOTAL: lambda: con.execute("SELECT SUM(age) FROM person").fetchone()[0],
        }

    def answers(self):
        con = self.con

        def ids(sql):
            return self.objects(con.execute(sql).fetchnumpy()["id"].tolist())

        def pairs(sql):
            return con.execute(sql).fetchall()

        def one(sql):
            return con.execute(sql).fetchone()[0]
        top = "SELECT id FROM {} ORDER BY score {} LIMIT 10"
        city = "SELECT city::VARCHAR AS v, COUNT(*) AS c FROM {} GROUP BY city ORDER BY c DESC, v"
        tags = "SELECT tag, COUNT(*) AS c FROM (SELECT unnest(tags) AS tag FROM {}) GROUP BY tag ORDER BY c DESC, tag"
        return {
            "top": lambda: ids(top.format("person", "")),
            "top view": lambda: ids(top.format("city_person", "")),
            "top desc": lambda: ids(top.format("person", "DESC")),
            "top desc view": lambda: ids(top.format("city_person", "DESC")),
            "count city": lambda: pairs(city.format("person")),
            "count city view": lambda: pairs(city.format("city_person")),
            "count tags": lambda: pairs(tags.format("person")),
            "count tags view": lambda: pairs(tags.format("city_person")),
            "min": lambda: one("SELECT MIN(score) FROM person"),
            "max": lambda: one("SELECT MAX(score) FROM person"),
        }

    def ask(self, sql, x, objs):
        return [objs[i] for i in self.con.execute(sql, [x]).fetchnumpy()["id"].tolist()]

    def joined(self, q, objs):
        """A Joined question in SQL (join_sql)."""
        if q.kind == "first":
            return [objs[i] for i in self.con.execute(join_sql(q)).fetchnumpy()["id"].tolist()]
        return self.con.execute(join_sql(q)).fetchall()

    def close(self):
        self.con.close()
        super().close()


def _pairs(counts):
    """A pandas or polars (values, counts) result as a list of (value, count) pairs."""
    return list(zip(*counts))


PEERS = [Sqlite, Ducks, Pandas, Polars, DuckDB]
ANSWERS_PEERS = [Sqlite, Pandas, Polars, DuckDB]
GRAPH_PEERS = [Sqlite, DuckDB]
# The peers of graph.py's Joined questions.
JOIN_PEERS = [Polars, DuckDB]
