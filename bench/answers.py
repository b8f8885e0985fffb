"""Answers beyond a list: order_by, count_by, min/max, pickling and columns, next to the other ways to them.

The suite's objects (bench/suite.py: `Person` with id, age, score, name, city out of 50,
tags a list of 1-3 of 10), generated from the seed and indexed with one bulk add. Measured
on the whole index and on the 2% view `idx.reduced(city=CITY)` (CITY from bench/peers.py):

- `order_by("score", limit=10)`, ascending and descending, whole index and view;
- the full `order_by("age")` of the whole index against `sorted(idx.collect(), key=attrgetter("age"))`;
- `count_by("city")` and `count_by("tags")`, whole index and view;
- `min("score")` and `max("score")`;
- `pickle.loads(pickle.dumps(idx))` against the same round trip of the list of the objects;
- `polars.DataFrame(idx.columns("age", "score", "city"))` against polars from a list
  comprehension over `collect()` (a dict of lists and a list of dicts; the faster is the
  baseline). Measured only where the installed build has `Index.columns`.

The peers (bench/peers.py), each on its own copy built once from the generator's rows (build
time reported apart, not in the ratios), built, asked and freed one after another:

- Python: `heapq.nsmallest`/`nlargest` with `attrgetter`, `Counter(...).most_common()`,
  `min`/`max` of a generator, over the list `collect()` returns (of the index, or of the
  view), taken once and not timed. Its answers are the reference;
- sqlite3 in memory, indexes on score and city, tags in a second table indexed on tag and
  on the person; the view's questions add `WHERE city = ?`;
- pandas (`nsmallest`/`nlargest`, `value_counts`, `explode` for the tags, `min`/`max`),
  polars (`bottom_k`/`top_k`, `value_counts`, `explode`, `min`/`max`; `city` as an Enum,
  tags a list column) and DuckDB (SQL as for sqlite3 over a table loaded from Arrow, tags
  as VARCHAR[] with `unnest`); those three ask the view's questions of their own copy
  narrowed to the city beforehand (untimed), as the suite does.

Times are the best of several runs; a ratio is the other engine's time over PyVorlane's.
Every answer is checked against Python's (the same objects in the same order; the same
counts, in PyVorlane's case also in its documented order; the same number); a difference
aborts the run.

    .venv/bin/python bench/answers.py [--size 1000000] [--seed 1] [--out bench/results] [--docs [docs/benchmarks.md]]
    .venv/bin/python bench/answers.py --report bench/results/answers.json --docs   # tables only, no run
"""
import argparse
import datetime
import heapq
import pickle
import sys
import time
from collections import Counter
from itertools import chain
from operator import attrgetter

from PyVorlane import Index

from common import (add_report_args, best, bulk, fail, fmt_ratio, log, make_people, make_rows, md_row,
                    put_section as _put_section, report_head, run_or_report, target_lines, timed_once, speed_verdict)
from peers import ANSWERS_PEERS, CITY

DOCS_HEADING = "Answers beyond a list (`bench/answers.py`)"
BEFORE_HEADING = "Object graphs"   # where the section goes when the docs have none yet

# Targets (set for TARGET_SIZE objects).
TARGET_SIZE = 1_000_000
TOP_SECONDS = 0.2e-3       # order_by("score", limit=10)
COUNT_SECONDS = 1e-3       # count_by("city"), count_by("tags")
MINMAX_SECONDS = 0.1e-3    # min("score"), max("score")
SORT_RATIO = 5             # full order_by("age") at least this many times faster than sorted(collect())
PICKLE_RATIO = 3           # the index's round trip at most this many times the list's
COLUMNS_RATIO = 5          # columns into polars at least this many times faster than a list comprehension

COLUMN_ATTRS = ("age", "score", "city")
# Operations that take seconds at 1,000,000 objects: fewer runs.
HEAVY = {"min_runs": 2, "max_runs": 5, "budget": 5.0}

WHOLE, VIEW = "whole index", "2% view"
PYTHON = "Python"
PEER_NAMES = [PYTHON] + [cls.name for cls in ANSWERS_PEERS]
SORTED = "sorted(collect())"
LIST_PICKLE = "list of the objects"
DICT_OF_LISTS, LIST_OF_DICTS = "polars from dict of lists", "polars from list of dicts"

# (key, group, call, over)
CASES = [
    ("top", "order_by", 'order_by("score", limit=10)', WHOLE),
    ("top view", "order_by", 'order_by("score", limit=10)', VIEW),
    ("top desc", "order_by", 'order_by("score", descending=True, limit=10)', WHOLE),
    ("top desc view", "order_by", 'order_by("score", descending=True, limit=10)', VIEW),
    ("sort", "sort", 'order_by("age")', WHOLE),
    ("count city", "count_by", 'count_by("city")', WHOLE),
    ("count city view", "count_by", 'count_by("city")', VIEW),
    ("count tags", "count_by", 'count_by("tags")', WHOLE),
    ("count tags view", "count_by", 'count_by("tags")', VIEW),
    ("min", "min/max", 'min("score")', WHOLE),
    ("max", "min/max", 'max("score")', WHOLE),
    ("pickle", "pickle", "pickle.loads(pickle.dumps(idx))", WHOLE),
    ("columns", "columns", 'polars.DataFrame(idx.columns("age", "score", "city"))', WHOLE),
]
CASE = {key: (group, call, over) for key, group, call, over in CASES}
PEER_CASES = [key for key, group, _, _ in CASES if group in ("order_by", "count_by", "min/max")]

# (group, title, the other engines of its table, what it says)
GROUPS = [
    ("order_by", "Top 10 by score", PEER_NAMES,
     "Each answer is the list of the 10 objects. Python: `heapq.nsmallest`/`nlargest(10, objs, "
     "key=attrgetter(\"score\"))`; sqlite3: `ORDER BY score [DESC] LIMIT 10` (with `WHERE city = ?` for the "
     "view) using its index on score; pandas `nsmallest`/`nlargest`; polars `bottom_k`/`top_k` then a sort of "
     "the 10 rows; DuckDB `ORDER BY score LIMIT 10`."),
    ("sort", "Full order", [SORTED],
     "Every object ordered by `age` (100 values, ties in `collect()` order), against "
     "`sorted(idx.collect(), key=attrgetter(\"age\"))`, the `collect()` included."),
    ("count_by", "Counts", PEER_NAMES,
     "Each answer is the list of (value, count) pairs, most common first. Python: "
     "`Counter(...).most_common()` (the tags chained); sqlite3: `GROUP BY city`, and `GROUP BY tag` over the "
     "tag table (joined to the people for the view); pandas `value_counts` (`explode` first for the tags); "
     "polars `value_counts` (`explode` first); DuckDB `GROUP BY` (over `unnest(tags)`)."),
    ("min/max", "Smallest and largest score", PEER_NAMES,
     "Python: `min(o.score for o in objs)`; sqlite3 `SELECT MIN(score)` (its index); pandas, polars: "
     "the column's `min()`/`max()`; DuckDB `SELECT MIN(score)`."),
    ("pickle", "Pickle round trip", [LIST_PICKLE],
     "`pickle.loads(pickle.dumps(idx))` (a new index over copies of its members) against the same round trip "
     "of the list of the objects."),
    ("columns", "Columns into polars", [DICT_OF_LISTS, LIST_OF_DICTS],
     f"`polars.DataFrame(idx.columns(...))` of {', '.join(COLUMN_ATTRS)} against polars from a list "
     "comprehension over `collect()`: a dict of lists, and a list of dicts. The target takes the faster of the "
     "two."),
]


# ---------------------------------------------------------------- checking the answers

def same_order(got, want):
    return len(got) == len(want) and all(a is b for a, b in zip(got, want))


def count_order(counts):
    """The order count_by gives its pairs: most common first, ties by value."""
    return sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))


def check(n, engine, key, got, want, strict):
    """Aborts the run when `got` differs from Python's answer `want` for the case `key`. Object
    lists must hold the same objects in the same order; counts must be the same pairs, and with
    `strict` (PyVorlane) also come in count_by's order; numbers must be equal."""
    _, call, over = CASE[key]
    where = f"{engine} answers `{call}` ({over})"
    if isinstance(want, Counter):
        pairs = [(v, int(c)) for v, c in got]
        if strict:
            if pairs != count_order(want):
                fail(n, f"{where} with {pairs[:5]}..., Python's counts in count_by's order are "
                        f"{count_order(want)[:5]}...")
        elif len(pairs) != len(want) or dict(pairs) != dict(want):
            fail(n, f"{where} with {len(pairs)} values {sorted(pairs)[:5]}..., Python with {len(want)} "
                    f"{sorted(want.items())[:5]}...")
    elif isinstance(want, list):
        if not same_order(got, want):
            at = next((i for i, (a, b) in enumerate(zip(got, want)) if a is not b), min(len(got), len(want)))
            fail(n, f"{where} with {len(got):,} objects, Python with {len(want):,}; they differ from position {at}")
    elif got != want:
        fail(n, f"{where} with {got!r}, Python with {want!r}")


# ---------------------------------------------------------------- Python: the reference

def python_cases(objs, view_objs):
    """Python's ways over the lists collect() returned (taken once, untimed)."""
    score = attrgetter("score")
    city, tags = attrgetter("city"), attrgetter("tags")
    return {
        "top": lambda: heapq.nsmallest(10, objs, key=score),
        "top view": lambda: heapq.nsmallest(10, view_objs, key=score),
        "top desc": lambda: heapq.nlargest(10, objs, key=score),
        "top desc view": lambda: heapq.nlargest(10, view_objs, key=score),
        "count city": lambda: Counter(map(city, objs)),
        "count city view": lambda: Counter(map(city, view_objs)),
        "count tags": lambda: Counter(chain.from_iterable(map(tags, objs))),
        "count tags view": lambda: Counter(chain.from_iterable(map(tags, view_objs))),
        "min": lambda: min(o.score for o in objs),
        "max": lambda: max(o.score for o in objs),
    }


def timed_python(fn, key):
    """Python's time for a case includes `most_common()` (the answer as pairs, like the others'),
    and its Counter is kept as the reference."""
    if key.startswith("count"):
        t, pairs = best(lambda: fn().most_common())
        return t, Counter(dict(pairs))
    return best(fn)


def pyvorlane_cases(idx, view):
    return {
        "top": lambda: idx.order_by("score", limit=10),
        "top view": lambda: view.order_by("score", limit=10),
        "top desc": lambda: idx.order_by("score", descending=True, limit=10),
        "top desc view": lambda: view.order_by("score", descending=True, limit=10),
        "count city": lambda: idx.count_by("city"),
        "count city view": lambda: view.count_by("city"),
        "count tags": lambda: idx.count_by("tags"),
        "count tags view": lambda: view.count_by("tags"),
        "min": lambda: idx.min("score"),
        "max": lambda: idx.max("score"),
    }


# ---------------------------------------------------------------- the heavier cases

def measure_sort(n, idx):
    t_me, got = best(lambda: idx.order_by("age"), **HEAVY)
    t_py, want = best(lambda: sorted(idx.collect(), key=attrgetter("age")), **HEAVY)
    check(n, "PyVorlane", "sort", got, want, True)
    return {"PyVorlane": t_me, SORTED: t_py}


def _pickled_index_agrees(n, idx, back):
    """The index a round trip gave back holds as many members, with the same values."""
    if not isinstance(back, Index) or len(back) != len(idx):
        fail(n, f"the pickled index comes back as {type(back).__name__} of {len(back):,} objects, not {len(idx):,}")
    for attr in ("age", "score", "city"):
        if back.count_by(attr) != idx.count_by(attr):
            fail(n, f"the pickled index comes back with other values of {attr}")
    mine = [(o.id, o.score, o.tags) for o in idx.order_by("score", limit=10)]
    if [(o.id, o.score, o.tags) for o in back.order_by("score", limit=10)] != mine:
        fail(n, "the pickled index comes back with other objects first by score")


def measure_pickle(n, idx, objs):
    def index_round_trip():
        return pickle.loads(pickle.dumps(idx))

    def list_round_trip():
        return pickle.loads(pickle.dumps(objs))
    t_me, back = best(index_round_trip, **HEAVY)
    _pickled_index_agrees(n, idx, back)
    del back
    t_list, back = best(list_round_trip, **HEAVY)
    if len(back) != len(objs) or [(o.id, o.score) for o in back[:10]] != [(o.id, o.score) for o in objs[:10]]:
        fail(n, "the pickled list comes back with other objects")
    del back
    return {"PyVorlane": t_me, LIST_PICKLE: t_list}


def _frame_rows(df):
    """A DataFrame's rows, city as plain strings, in score order (scores are distinct)."""
    import polars as pl
    df = df.with_columns(pl.col("city").cast(pl.String))
    return df.sort("score").rows()


def measure_columns(n, idx, objs):
    """(times, built): polars from the index's columns where the build has them, and the two
    list comprehensions over `objs` (the index's collect())."""
    import polars as pl
    attrs = COLUMN_ATTRS

    def dict_of_lists():
        return pl.DataFrame({a: [getattr(o, a) for o in objs] for a in attrs})

    def list_of_dicts():
        return pl.DataFrame([{"age": o.age, "score": o.score, "city": o.city} for o in objs])
    times = {}
    times[DICT_OF_LISTS], want = best(dict_of_lists, **HEAVY)
    times[LIST_OF_DICTS], other = best(list_of_dicts, **HEAVY)
    want_rows = _frame_rows(want)
    if _frame_rows(other) != want_rows:
        fail(n, "polars from a list of dicts differs from polars from a dict of lists")
    del other
    built = hasattr(idx, "columns")
    if built:
        times["PyVorlane"], got = best(lambda: pl.DataFrame(idx.columns(*attrs)), **HEAVY)
        if got.columns != list(attrs) or got.height != len(objs) or _frame_rows(got) != want_rows:
            fail(n, f"polars from idx.columns{attrs} is {got.height:,} rows of {got.columns}, not the objects' values")
    return times, built


# ---------------------------------------------------------------- a run

def run(n, seed, mach):
    res = {"n": n, "seed": seed, "date": datetime.date.today().isoformat(), "machine": mach,
           "rows": [], "builds": {}}
    t0 = time.perf_counter()
    rows = make_rows(n, seed)
    people = make_people(rows)
    log(f"  generated in {time.perf_counter() - t0:.1f} s")
    res["builds"]["PyVorlane add_object_many"], idx = timed_once(lambda: bulk(people))
    view = idx.reduced(city=CITY)
    objs, view_objs = idx.collect(), view.collect()
    if len(objs) != n:
        fail(n, f"the index holds {len(objs):,} objects")
    sizes = {WHOLE: n, VIEW: len(view_objs)}

    by_key = {}
    for key, group, call, over in CASES:
        by_key[key] = {"key": key, "group": group, "call": call, "over": over, "objects": sizes[over], "times": {}}
    res["rows"] = [by_key[key] for key, *_ in CASES]

    wants = {}
    mine = pyvorlane_cases(idx, view)
    for key, fn in python_cases(objs, view_objs).items():
        by_key[key]["times"][PYTHON], wants[key] = timed_python(fn, key)
        by_key[key]["times"]["PyVorlane"], got = best(mine[key])
        check(n, "PyVorlane", key, got, wants[key], True)
        by_key[key]["answer"] = _answer(wants[key])
    log("  PyVorlane and Python: checked")

    for cls in ANSWERS_PEERS:
        cls.load()
        cls(people[:1000], rows=rows[:1000]).close()  # first-use set-up is not the build
        t, peer = timed_once(lambda: cls(people, rows=rows))
        res["builds"][f"{cls.name} copy"] = t
        for key, fn in peer.answers().items():
            by_key[key]["times"][cls.name], got = best(fn)
            check(n, cls.name, key, got, wants[key], False)
        fn = got = None
        peer.close()
        del peer
        log(f"  {cls.name}: built in {t:.2f} s; answers checked")
    del rows, wants

    by_key["sort"]["times"] = measure_sort(n, idx)
    by_key["sort"]["answer"] = f"{n:,} objects"
    log("  order_by(\"age\"): checked")
    by_key["pickle"]["times"] = measure_pickle(n, idx, objs)
    by_key["pickle"]["answer"] = f"{n:,} objects"
    log("  pickle: round trips checked")
    by_key["columns"]["times"], built = measure_columns(n, idx, objs)
    by_key["columns"]["answer"] = f"{n:,} rows × {len(COLUMN_ATTRS)}"
    if not built:
        by_key["columns"]["not built"] = True
    log("  columns: " + ("checked" if built else "Index.columns is not in this build; the list comprehensions alone"))
    for row in res["rows"]:
        log(f"  {row['call']:<56}{row['over']:<13}" + "  ".join(
            f"{e} {fmt_time(t)} ms" for e, t in row["times"].items()))
    return res


def _answer(want):
    if isinstance(want, Counter):
        return f"{len(want)} value" + "s" * (len(want) != 1)
    if isinstance(want, list):
        return f"{len(want):,} objects"
    return f"{want:.6g}"


# ---------------------------------------------------------------- targets and tables

def fmt_time(t):
    """Milliseconds, with a fourth decimal below 0.1 ms."""
    if t is None:
        return "n/a"
    return f"{t * 1e3:.4f}" if t < 1e-4 else f"{t * 1e3:.3f}"


def _rows(res, *keys):
    rows = {r["key"]: r for r in res["rows"]}
    return [rows[k] for k in keys if k in rows]


def _label(row):
    return f"`{row['call']}` {row['over']}"


def _fast_and_first(add, what, rows, limit, expect):
    """A target of time under `limit` and faster than every peer, over the rows (`expect` of them)."""
    rows = [r for r in rows if "PyVorlane" in r["times"]]
    if len(rows) < expect:
        add(what, None)
        return
    over, slow, _, parts = speed_verdict(rows, _label, fmt_time, PEER_NAMES, lambda t: t >= limit)
    add(what, not over and not slow, "; ".join(parts))


def target_verdicts(res):
    """The targets judged from one run's results: (what, verdict, detail), the verdict True
    (met), False (not met) or None (not measured)."""
    out = []

    def add(what, ok, detail=""):
        out.append((what, ok, detail))

    ms = lambda s: f"{s * 1e3:g} ms"  # noqa: E731
    _fast_and_first(add, f'order_by("score", limit=10), whole index and 2% view: under {ms(TOP_SECONDS)} and '
                         "faster than every peer", _rows(res, "top", "top view"), TOP_SECONDS, 2)
    _fast_and_first(add, f'order_by("score", descending=True, limit=10), whole index and 2% view: under '
                         f"{ms(TOP_SECONDS)} and faster than every peer",
                    _rows(res, "top desc", "top desc view"), TOP_SECONDS, 2)

    what = f'full order_by("age") ≥ {SORT_RATIO}× faster than sorted(collect(), key=attrgetter("age"))'
    row = next(iter(_rows(res, "sort")), None)
    if row is None or "PyVorlane" not in row["times"]:
        add(what, None)
    else:
        t, base = row["times"]["PyVorlane"], row["times"][SORTED]
        add(what, base >= SORT_RATIO * t, f"{t * 1e3:,.1f} ms vs {base * 1e3:,.1f} ms, {base / t:.1f}×")

    for attr in ("city", "tags"):
        _fast_and_first(add, f'count_by("{attr}"), whole index and 2% view: under {ms(COUNT_SECONDS)} and faster '
                             "than every peer", _rows(res, f"count {attr}", f"count {attr} view"), COUNT_SECONDS, 2)

    what = f'min("score") and max("score") under {ms(MINMAX_SECONDS)}'
    rows = [r for r in _rows(res, "min", "max") if "PyVorlane" in r["times"]]
    if len(rows) < 2:
        add(what, None)
    else:
        over = [r for r in rows if r["times"]["PyVorlane"] >= MINMAX_SECONDS]
        add(what, not over, ", ".join(f"{r['call']} {fmt_time(r['times']['PyVorlane'])} ms" for r in rows))

    what = f"pickle round trip of the index ≤ {PICKLE_RATIO}× the list's"
    row = next(iter(_rows(res, "pickle")), None)
    if row is None or "PyVorlane" not in row["times"]:
        add(what, None)
    else:
        t, base = row["times"]["PyVorlane"], row["times"][LIST_PICKLE]
        add(what, t <= PICKLE_RATIO * base, f"{t:.2f} s vs {base:.2f} s, {t / base:.2f}×")

    what = f"columns into polars ≥ {COLUMNS_RATIO}× faster than polars from a list comprehension"
    row = next(iter(_rows(res, "columns")), None)
    if row is None or row.get("not built"):
        add(what, None, "Index.columns not built" if row else "")
    else:
        t = row["times"]["PyVorlane"]
        base, how = min((row["times"][e], e) for e in (DICT_OF_LISTS, LIST_OF_DICTS) if e in row["times"])
        add(what, base >= COLUMNS_RATIO * t, f"{t * 1e3:,.1f} ms vs {how} {base * 1e3:,.1f} ms, {base / t:.1f}×")
    return out


def targets(res):
    where = f"{res['n']:,}"
    return target_lines((where, what, ok, detail) for what, ok, detail in target_verdicts(res))


def _cell(row, engine):
    if engine == "PyVorlane" and row.get("not built"):
        return "not built"
    return fmt_time(row["times"].get(engine))


def report(res, level=1):
    """The results as Markdown: a title at `level` (1 for bench/results/answers.md, 2 for the
    section of docs/benchmarks.md), its tables one level below."""
    sub = "#" * (level + 1)
    n = res["n"]
    lines = report_head(res, level, DOCS_HEADING, "answers.py", ["pandas", "polars", "duckdb", "pyarrow", "sqlite"])
    lines += [f"The suite's {n:,} objects in one index, and its 2% view `idx.reduced(city={CITY!r})`. "
              "Times are the best of several runs, in ms; a ratio is the other engine's time over PyVorlane's "
              "(above 1× PyVorlane is faster). Python works over the list `collect()` returns (of the index or "
              "of the view), taken once; sqlite3, pandas, polars and DuckDB over their own copy of the data, built "
              "once (not in the ratios), the view's questions asked of a copy narrowed beforehand (sqlite3 adds "
              "`WHERE city = ?`). Every answer is checked against Python's."]
    rows = res["rows"]
    for group, title, engines, text in GROUPS:
        mine = [r for r in rows if r["group"] == group]
        if not mine:
            continue
        cols = [e for e in engines if any(e in r["times"] for r in mine)]
        lines += ["", f"{sub} {title}", "", text, "",
                  "| call | over | objects | answer | PyVorlane ms | "
                  + " | ".join(f"{e} ms | ×{e}" for e in cols) + " |",
                  "|---|---|---:|---|---:|" + "---:|---:|" * len(cols)]
        for r in mine:
            me = r["times"].get("PyVorlane")
            cells = [f"`{r['call']}`", r["over"], f"{r['objects']:,}", r.get("answer", ""), _cell(r, "PyVorlane")]
            for e in cols:
                cells += [fmt_time(r["times"].get(e)), fmt_ratio(r["times"].get(e), me)]
            lines.append(md_row(cells))

    lines += ["", f"{sub} Builds (not in the ratios)", "", "| build | seconds |", "|---|---:|"]
    for label, t in res["builds"].items():
        lines.append(f"| {label} | {t:.2f} |")
    lines += ["", f"{sub} Targets", ""]
    if n != TARGET_SIZE:
        lines += [f"Set for {TARGET_SIZE:,} objects; judged here at {n:,}.", ""]
    lines.append(targets(res).rstrip("\n"))
    return "\n".join(lines) + "\n"


def put_section(doc, section):
    """`doc` with its answers section replaced by `section`; without one, `section` goes before
    the "## Object graphs" section, or at the end."""
    return _put_section(doc, DOCS_HEADING, section, before=BEFORE_HEADING)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1_000_000, help="objects in the index")
    parser.add_argument("--seed", type=int, default=1)
    add_report_args(parser, DOCS_HEADING)
    args = parser.parse_args()
    if not args.report and args.size < 1000:
        parser.error("--size must be at least 1000")

    def measure(mach):
        print(f"\n=== {args.size:,} objects ===", flush=True)
        return run(args.size, args.seed, mach)
    run_or_report(args, "answers", report, measure, DOCS_HEADING, before=BEFORE_HEADING)
    return 0


if __name__ == "__main__":
    sys.exit(main())
