"""Benchmark suite: PyVorlane side by side with the baselines a user would otherwise use.

Everything is measured in one process run on data generated from a seed, and reported
as ratios against baselines measured in the same run (the peers are in bench/peers.py):

- a list comprehension over the same objects (the reference answer of every query),
- sqlite3 in memory, one index per column, tags in a second indexed table,
- ducks' Dex over the same objects and attributes (the queries it can express),
- pandas boolean masks over the data copied into a DataFrame (strings in pyarrow arrays),
- polars expressions over a DataFrame copied once from the objects (`city` and `group` as
  Enum, tags as a list column tested with `list.contains`),
- DuckDB in memory, the table loaded once from an Arrow table of the columns (`city` and
  `group` as ENUM, tags as VARCHAR[] with `list_contains`), parameterised SQL. Without
  ART indexes: DuckDB scans an index only when fewer rows match than 2,048 or 0.1% of the
  table, which no single-column condition here does. Checked with DuckDB 2.0.1 at
  1,000,000 objects: with an index on each of age, score, city, active and group no query
  got faster beyond noise; with those limits raised so that the indexes are used,
  `age == 42` took 2.7x, `city == 'city07'` 5.3x and `age in_` 3.9x as long; the five
  indexes added 1.3 s to a 1.5 s load.

The copies (sqlite3, pandas, polars, DuckDB) do not follow writes to the objects; their
build is the copy, from the live objects. Their answers are ids (the id column, which is
the position), turned into the objects through the list: `[people[i] for i in ids]`.
Queries include turning the answer into a list of objects (`collect()` for PyVorlane).
Every answer is checked against the list comprehension; a difference aborts the run.
polars and DuckDB use both cores; the others run on one.

Everyday operations, per size, next to references measured in the same run: reads `o.attr`
of each kind of value against plain objects with `__slots__` and `__dict__`; writes on an
object in no index, in one index (a number and two strings) and in four, against plain
objects and the peers that follow writes; the bulk add against the DataFrame builds;
removal one by one; the negation's `collect()` per object against the list copy `people[:]`.
Real values: searches over datetimes, numpy int32 and signed numbers against the same
searches over plain ints (bench/real_values.py). Groups: `group_by("city")` means and sums
over the whole index and a 2% view, and `sum("age")`, against a Python loop and pandas,
polars and DuckDB over their copies (bench/groups.py).

PyVorlane and the list comprehension are measured first; then each peer in turn is built,
asked every query, made to follow the writes it can follow, and freed before the next one
is built, so that each peer's memory figure is its own and 10,000,000 objects fit in 24 GiB
with every peer (the base, objects and index, takes about 10 GiB there; all peers at once
would need about 12 GiB more). Before a build the suite compares the memory the peer needs
at its peak (bytes per object measured at a smaller size in this run, else the figure in
its class) with what the system has available; a peer that would not fit is skipped at
that size with a printed line and a note in the tables.

    scripts/bench.sh [--sizes 100000 1000000] [--large] [--seed 1] [--engines ...] [--out bench/results]
    .venv/bin/python bench/suite.py ... --docs [docs/benchmarks.md]   # also the "Groups" section of the docs
    .venv/bin/python bench/suite.py --report bench/results/<stamp>.json --docs   # that section from a run, no run
"""
import argparse
import datetime
import itertools
import json
import random
import sys
import time
import tracemalloc
from pathlib import Path

import PyVorlane
from PyVorlane import Index, PyQueryExpr as Q

import groups
import real_values
from common import (ATTRS, CITIES, DOCS, ROOT, DictPerson, Person, SlotsPerson, best, bulk, fmt_ms, fmt_ratio,
                    machine, make_people, make_rows, md_row, one_by_one, put_section, rss, run_line, same_objects,
                    target_lines, timed_once)
from peers import (AGE, AGES5, CITY, INFIX, LABELS, PEERS, PREFIX, Q_AGE, Q_CITY, Q_CONJ, Q_IN,  # noqa: F401
                   Q_INFIX, Q_NOT, Q_PREFIX, Q_SCORE, Q_TAG, Q_VIEW, TAG, VIEW_AGE)

ENGINES = ["PyVorlane", "list comp"] + [peer.name for peer in PEERS]
BASELINES = ENGINES[1:]


# ---------------------------------------------------------------- measuring

def reset_peak():
    """Starts a new peak (VmHWM) for this process; False where the kernel does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _proc_kib(path, field):
    """A "Field:   123 kB" line of a /proc file, in bytes (0 when absent)."""
    with open(path) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def peak():
    return _proc_kib("/proc/self/status", "VmHWM")


def available():
    return _proc_kib("/proc/meminfo", "MemAvailable")


# ---------------------------------------------------------------- queries

def queries():
    """(label, PyVorlane, list comprehension) for each query; the peers' forms are in bench/peers.py.

    Each callable takes the context dict `c` of one size."""
    return [
        (Q_AGE,
         lambda c: c["idx"].get_by_attribute(age=AGE),
         lambda c: [p for p in c["people"] if p.age == AGE]),
        (Q_CITY,
         lambda c: c["idx"].get_by_attribute(city=CITY),
         lambda c: [p for p in c["people"] if p.city == CITY]),
        (Q_SCORE,
         lambda c: c["idx"].reduced_query(Q.bt("score", 30.0, 31.0)).collect(),
         lambda c: [p for p in c["people"] if 30.0 <= p.score <= 31.0]),
        (Q_CONJ,
         lambda c: c["idx"].get_by_attribute(age=AGE, city=CITY, active=True, group="member"),
         lambda c: [p for p in c["people"]
                    if p.age == AGE and p.city == CITY and p.active is True and p.group == "member"]),
        (Q_PREFIX,
         lambda c: c["idx"].reduced_query(Q.starts_with("name", PREFIX)).collect(),
         lambda c: [p for p in c["people"] if p.name.startswith(PREFIX)]),
        (Q_INFIX,
         lambda c: c["idx"].reduced_query(Q.contains("name", INFIX)).collect(),
         lambda c: [p for p in c["people"] if INFIX in p.name]),
        (Q_IN,
         lambda c: c["idx"].reduced_query(Q.in_("age", AGES5)).collect(),
         lambda c: [p for p in c["people"] if p.age in c["ages5"]]),
        (Q_NOT,
         lambda c: c["idx"].reduced_query(Q.not_(Q.eq("city", CITY))).collect(),
         lambda c: [p for p in c["people"] if not p.city == CITY]),
        (Q_TAG,
         lambda c: c["idx"].reduced_query(Q.eq("tags", TAG)).collect(),
         lambda c: [p for p in c["people"] if TAG in p.tags]),
        # The view (city == 'city07') exists already, as does the list comprehension's narrowed list.
        (Q_VIEW,
         lambda c: c["view"].reduced_query(Q.gt("age", VIEW_AGE)).collect(),
         lambda c: [p for p in c["city_list"] if p.age > VIEW_AGE]),
    ]


# ---------------------------------------------------------------- one size

GiB = 2**30
# Kept free beside a peer's build: the answers being checked (two lists of object ids
# sorted for the comparison, for up to every object) and some slack.
RESERVE_FIXED, RESERVE_PER_OBJECT = 2 * GiB, 100


def run_size(n, seed, engines, log, peaks):
    """Measures one size. `peaks` maps a peer's name to the largest build peak (bytes per
    object) measured so far in this run; it is updated here."""
    res = {"n": n, "build": {}, "memory": {}, "queries": [], "writes": {}, "skipped": {}, "freed": {},
           "ran": []}
    log(f"\n=== {n:,} objects ===")
    before = rss()
    rows = make_rows(n, seed)
    res["memory"]["values RSS (strings, floats, tag lists, row tuples)"] = (rss() - before) / n

    # The values exist already (the rows hold them): this is the objects and their native
    # attribute storage alone.
    before = rss()
    people = make_people(rows)
    res["memory"]["objects RSS"] = (rss() - before) / n

    # The index kept for the queries is the one measured for memory: its first build.
    before = rss()
    t, idx = timed_once(lambda: bulk(people))
    res["memory"]["PyVorlane index RSS"] = (rss() - before) / n
    if len(idx.collect()) != n:
        raise SystemExit(f"FAIL: the index holds {len(idx.collect())} objects, not {n}")

    bulk_times = [t]
    for _ in range(2):
        t, other = timed_once(lambda: bulk(people))
        bulk_times.append(t)
        del other
    res["build"]["PyVorlane add_object_many"] = min(bulk_times)

    single_times = []
    for _ in range(2 if n <= 200_000 else 1):
        t, other = timed_once(lambda: one_by_one(people))
        single_times.append(t)
        del other
    res["build"]["PyVorlane add_object one by one"] = min(single_times)
    log(f"  PyVorlane built: bulk {res['build']['PyVorlane add_object_many']:.2f} s, "
        f"one by one {res['build']['PyVorlane add_object one by one']:.2f} s")

    # tracemalloc sees only what goes through Python's allocators, not the engine's own
    # C++ allocations, so it is a separate pass next to the RSS figure.
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    other = bulk(people)
    res["memory"]["PyVorlane index tracemalloc"] = (tracemalloc.get_traced_memory()[0] - base) / n
    tracemalloc.stop()
    del other

    ctx = {"people": people, "idx": idx, "ages5": set(AGES5)}
    ctx["view"] = idx.reduced(city=CITY)
    ctx["city_list"] = [p for p in people if p.city == CITY]

    # The list comprehension's answers are the reference for every engine.
    rows_by_label, wants = {}, {}
    for label, *fns in queries():
        _, want = best(lambda: fns[1](ctx), min_runs=1, max_runs=1)
        wants[label] = want
        row = rows_by_label[label] = {"query": label, "hits": len(want), "times": {}}
        res["queries"].append(row)
        for engine, fn in zip(("PyVorlane", "list comp"), fns):
            row["times"][engine] = _timed_query(n, engine, label, lambda: fn(ctx), want)

    # Answers by group: PyVorlane and the Python loop now, the peers with their queries; the
    # exact answers are kept for them.
    res["groups"], group_wants = groups.measure(n, people, idx, log)

    # Everyday operations: reads, writes, and the list copy that the negation's collect is
    # held against.
    res["reads"] = pyvorlane_reads(people[0])
    sample, old, values = _write_sample(people, n, seed)
    res["writes"], res["writes skipped"] = pyvorlane_writes(
        ctx, n, sample, old, values, res["memory"]["PyVorlane index RSS"], log)
    res["list copy"] = best(lambda: people[:])[0]
    log("  reads (ns, Indexable / __slots__): " + ", ".join(
        f"{kind} {r['Indexable'] * 1e9:.1f}/{r['__slots__'] * 1e9:.1f}" for kind, r in res["reads"].items()))
    log("  writes (µs): " + ", ".join(f"{label} {t * 1e6:.3f}" for label, t in res["writes"].items()))

    for cls in PEERS:
        if cls.name not in engines:
            continue
        peer_run(cls, n, people, res, rows_by_label, wants, (sample, old, values), peaks, log, group_wants)

    for row in res["queries"]:
        log(f"  {row['query']:<32}{row['hits']:>9}  " + "  ".join(
            f"{e} {row['times'][e] * 1e3:.3f} ms" for e in ENGINES if e in row["times"]))

    # The values real data holds, on objects of their own.
    log("  real values (search only):")
    res["real values"] = real_values.run(n, seed, log=log)

    # Last, as it empties the index: every object removed one by one, in random order
    # (no view is alive, so each object is let go of at once).
    del ctx["view"]
    res["removal"] = pyvorlane_removal(idx, people, seed)
    log(f"  PyVorlane remove_object: {res['removal']['PyVorlane remove_object, random order'] * 1e6:.2f} µs each")

    del ctx, idx, wants, group_wants
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    more = make_people(rows)
    res["memory"]["objects tracemalloc (values shared with the rows)"] = (
        (tracemalloc.get_traced_memory()[0] - base) / n)
    tracemalloc.stop()
    del more, people, rows
    return res


def _timed_query(n, engine, label, fn, want):
    t, got = best(fn)
    if not same_objects(got, want):
        raise SystemExit(f"FAIL at {n:,}: {engine} answers {label!r} with {len(got)} objects, "
                         f"the list comprehension with {len(want)}")
    return t


def peer_run(cls, n, people, res, rows_by_label, wants, writes, peaks, log, group_wants=None):
    """Builds one peer, asks it every query it can express (and the group questions it answers,
    given their exact answers `group_wants`), times the writes it can follow, frees it."""
    name = cls.name
    per_object = peaks.get(name, cls.peak_per_object)
    need = per_object * n
    free = available() - RESERVE_FIXED - RESERVE_PER_OBJECT * n
    if need > free:
        why = (f"its build needs about {need / GiB:.1f} GiB ({per_object:,.0f} bytes/object at its peak), "
               f"{max(free, 0) / GiB:.1f} GiB are available beside the reserve")
        res["skipped"][name] = why
        log(f"  {name} SKIPPED at {n:,}: {why}")
        return

    # Imports and first-use set-up (thread pools, a first connection) are not the build.
    cls.load()
    cls(people[:1000]).close()
    start = rss()
    has_peak = reset_peak()
    t, peer = timed_once(lambda: cls(people))
    after = rss()
    res["build"][cls.build_label] = t
    res["memory"][cls.memory_label] = (after - start) / n
    if has_peak:
        top = (max(peak(), after) - start) / n
        res["memory"][f"{name} build peak RSS"] = top
        peaks[name] = max(peaks.get(name, 0), top)
    res["ran"].append(name)
    peer.prepare_view()

    asked = peer.queries()
    unknown = set(asked) - set(LABELS)
    if unknown:
        raise SystemExit(f"{name} answers unknown queries: {sorted(unknown)}")
    for label, fn in asked.items():
        rows_by_label[label]["times"][name] = _timed_query(n, name, label, fn, wants[label])
    asked = fn = None  # the callables hold the peer's structures
    if group_wants is not None:
        groups.measure_peer(n, peer, res["groups"], group_wants)

    if cls.write_label:
        res["writes"][cls.write_label] = peer_writes(peer, n, *writes)

    peer.close()
    del peer
    time.sleep(cls.settle_seconds)
    left = rss() - start
    res["freed"][name] = {"RSS left after close": left / n}
    log(f"  {name}: built in {t:.2f} s, {res['memory'][cls.memory_label]:,.0f} bytes/object"
        + (f" (peak {res['memory'][f'{name} build peak RSS']:,.0f})" if has_peak else "")
        + f"; queries checked; freed ({left / n:,.0f} bytes/object left)")


def _write_sample(people, n, seed):
    rng = random.Random(seed + 1)
    k = min(20_000, n // 10)
    sample = rng.sample(people, k)
    old = [p.age for p in sample]
    return sample, old, [(a + 1) % 100 for a in old]


def _assign(sample, values):
    for p, v in zip(sample, values):
        p.age = v


def _check_age(n, engine, found, people, probe):
    want = [p for p in people if p.age == probe]
    if not same_objects(found, want):
        raise SystemExit(f"FAIL at {n:,}: after the writes {engine} does not find age == {probe}")


# Per-operation figures for reads and for writes outside an index come from loops that run
# the statement UNROLL times a turn on the same object, TURNS turns a timing; with UNROLL 1
# this is what `timeit` measures (the loop's own turn included, as for the plain objects).
UNROLL, TURNS = 1, 400_000

# (kind, attribute) of the reads: each kind of value an attribute can hold.
READS = (("int", "age"), ("float", "score"), ("str", "name"), ("bool", "active"), ("list", "tags"),
         ("nested object", "friend"))

# Labels of the write figures (res["writes"], next to the peers' write_label).
W_LOOSE = "Indexable in no index: o.age = x"
W_SLOTS = "plain object with __slots__: o.age = x"
W_DICT = "plain object with __dict__: o.age = x"
W_AGE = "PyVorlane o.age = x, one index"
W_CITY = "PyVorlane o.city = s, one index"
W_NAME = "PyVorlane o.name = s, one index"
W_FOUR = "PyVorlane o.age = x, four indexes"
EXTRA_INDEXES = 3


def _loop(params, body):
    """A function running `body` UNROLL times a turn, once a turn of `turns`."""
    ns = {}
    exec(f"def loop({params}, turns):\n    for _ in turns:\n        " + "; ".join([body] * UNROLL), ns)
    return ns["loop"]


def _per_operation(loop, *args, per_body=1):
    """Seconds per operation of a loop made by _loop whose body holds `per_body`
    operations, best of several timings."""
    t, _ = best(lambda: loop(*args, itertools.repeat(None, TURNS)), min_runs=5, budget=0.1)
    return t / (TURNS * UNROLL * per_body)


def _setter(attr):
    """`o.attr = v` for each pair of objects and values."""
    ns = {}
    exec(f"def assign(objs, values):\n    for o, v in zip(objs, values):\n        o.{attr} = v", ns)
    return ns["assign"]


def pyvorlane_reads(person):
    """Seconds per read `o.attr` of each kind of value, on an Indexable in an index and on
    plain objects (`__slots__`, `__dict__`) holding the same values; `person` gives them."""
    values = {a: getattr(person, a) for a in ATTRS if a != "friend"}
    reader = Person(**values, friend=Person(**values))
    holder = Index()
    holder.add_object(reader)
    objs = {"Indexable": reader, "__slots__": SlotsPerson(**values, friend=SlotsPerson(**values)),
            "__dict__": DictPerson(**values, friend=DictPerson(**values))}
    out = {}
    for kind, attr in READS:
        got = [(getattr(o, attr), o) for o in objs.values()]
        if attr == "friend":
            same = all(type(v) is type(o) for v, o in got)
        else:
            same = all(type(v) is type(got[0][0]) and v == got[0][0] for v, _ in got)
        if not same:
            raise SystemExit(f"FAIL: the readers do not hold the same value in {attr!r}")
        loop = _loop("o", f"o.{attr}")
        out[f"{kind} ({attr})"] = {name: _per_operation(loop, o) for name, o in objs.items()}
    return out


def _there_and_back(assign, objs, new, old, settle):
    """Seconds per write of assigning `new` to the objects and then `old` back, best of
    several timings; each write changes the value, and the objects end as they were.
    `settle()` runs after each pass inside the timing: a read carries out the writes the
    index keeps waiting in a batch, so their whole cost is counted."""
    t, _ = best(lambda: (assign(objs, new), settle(), assign(objs, old), settle()))
    return t / (2 * len(objs))


def _check_attr(n, engine, idx, people, attr, probe):
    want = [p for p in people if getattr(p, attr) == probe]
    if not same_objects(idx.get_by_attribute(**{attr: probe}), want):
        raise SystemExit(f"FAIL at {n:,}: after the writes {engine} does not find {attr} == {probe!r}")


def _indexed_write(n, engine, indexes, people, sample, attr, new):
    """Per-write cost of changing `attr` on the sample of indexed objects (values `new`, then
    their old ones back). Checked first, untimed: every index finds the new values."""
    assign = _setter(attr)
    old = [getattr(p, attr) for p in sample]
    assign(sample, new)
    for idx in indexes:
        _check_attr(n, engine, idx, people, attr, new[0])
    assign(sample, old)
    t = _there_and_back(assign, sample, new, old,
                        lambda: [idx.get_by_attribute(**{attr: new[0]}) for idx in indexes])
    if any(getattr(p, attr) != v for p, v in zip(sample, old)):
        raise SystemExit(f"FAIL at {n:,}: the writes of {attr!r} did not leave the old values")
    return t


def _other_string(s):
    flipped = s[::-1]
    return flipped if flipped != s else s + "z"


def pyvorlane_writes(ctx, n, sample, old, values, index_bytes, log):
    """Per-write costs of `o.attr = x`: on objects outside an index and plain objects (the
    same object assigned two values in turn), and on the sample of indexed objects: `age`,
    `city` and `name` in one index, `age` with the objects in EXTRA_INDEXES more indexes.
    Every object ends with its old values (the reference answers were taken before), and
    the extra indexes are freed. Returns (the figures, {label: why} for those skipped)."""
    out, skipped = {}, {}
    for label, o in ((W_LOOSE, Person(age=old[0])), (W_SLOTS, SlotsPerson(age=old[0])),
                     (W_DICT, DictPerson(age=old[0]))):
        out[label] = _per_operation(_loop("o, a, b", "o.age = a; o.age = b"), o, old[0], values[0], per_body=2)

    idx, people = ctx["idx"], ctx["people"]
    out[W_AGE] = _indexed_write(n, "PyVorlane", [idx], people, sample, "age", values)
    city_after = {c: CITIES[(i + 1) % len(CITIES)] for i, c in enumerate(CITIES)}
    out[W_CITY] = _indexed_write(n, "PyVorlane", [idx], people, sample, "city",
                                 [city_after[p.city] for p in sample])
    out[W_NAME] = _indexed_write(n, "PyVorlane", [idx], people, sample, "name",
                                 [_other_string(p.name) for p in sample])

    # The same objects in EXTRA_INDEXES more indexes, when those fit beside the reserve.
    need = EXTRA_INDEXES * index_bytes * n
    free = available() - RESERVE_FIXED - RESERVE_PER_OBJECT * n
    if need > free:
        skipped[W_FOUR] = (f"{EXTRA_INDEXES} more indexes need about {need / GiB:.1f} GiB "
                           f"({index_bytes:,.0f} bytes/object each), {max(free, 0) / GiB:.1f} GiB are available "
                           "beside the reserve")
        log(f"  {W_FOUR} SKIPPED at {n:,}: {skipped[W_FOUR]}")
    else:
        extra = [bulk(people) for _ in range(EXTRA_INDEXES)]
        out[W_FOUR] = _indexed_write(n, "PyVorlane", [idx, *extra], people, sample, "age", values)
        # The list is all that holds them (its reference and getrefcount's argument), so
        # they are freed with it.
        if any(sys.getrefcount(extra[i]) != 2 for i in range(EXTRA_INDEXES)):
            raise SystemExit(f"FAIL at {n:,}: the {EXTRA_INDEXES} extra indexes are held elsewhere")
        del extra
    return out, skipped


def pyvorlane_removal(idx, people, seed):
    """Per-object cost of taking every object out of the index one by one."""
    order = list(people)
    random.Random(seed + 2).shuffle(order)
    remove = idx.remove_object
    t = timed_once(lambda: [remove(p) for p in order])[0]
    if len(idx) != 0 or idx.reduced_query(Q.eq("tags", "vip")).collect():
        raise SystemExit("FAIL: objects are left in the index after removing them all")
    return {"PyVorlane remove_object, random order": t / len(order)}


def peer_writes(peer, n, sample, old, values, passes=3):
    """What a peer needs to follow the same writes (the objects are assigned first, untimed),
    per write: best of `passes` passes, to the new values and back to the old in turn, so
    that every write is a change. The objects end with their old values."""
    times = []
    for i in range(passes):
        now = values if i % 2 == 0 else old
        _assign(sample, now)
        times.append(timed_once(lambda: peer.write(sample, now))[0])
        if i == 0:
            _check_age(n, peer.name, peer.find_age(values[0]), peer.people, values[0])
    _assign(sample, old)
    return min(times) / len(sample)


# ---------------------------------------------------------------- reporting

def columns(res):
    """The baselines of a size's tables: the list comprehension and the peers that were run or
    skipped at that size (not those left out with --engines)."""
    ran = set(res.get("ran", ())) | set(res.get("skipped", {}))
    ran |= {e for row in res["queries"] for e in row["times"]}
    return [e for e in BASELINES if e in ran]


def table(res, mach, seed):
    n = res["n"]
    skipped = res.get("skipped", {})
    lines = [f"# PyVorlane benchmarks, {n:,} objects", "",
             run_line(datetime.date.today().isoformat(), seed, mach), "",
             "Best of several runs, each returning the list of matching objects. The ratio columns say "
             "how many times longer the baseline took than PyVorlane (above 1× PyVorlane is faster). "
             "sqlite3, pandas, polars and DuckDB work on a copy of the data (query time only; they do not "
             "follow writes); their answers are ids mapped back to the objects through a list. "
             "Each peer is built, queried and freed before the next. n/a: the peer cannot answer the query; "
             "skipped: the peer was not built at this size (memory)."]
    for name, why in skipped.items():
        lines.append(f"\n{name} was skipped at this size: {why}.")
    cols = columns(res)
    head = "| query | hits | PyVorlane ms | " + " | ".join(f"{e} ms | ×{e}" for e in cols) + " |"
    lines += ["", "## Queries", "", head, "|---|---:|---:|" + "---:|---:|" * len(cols)]
    for row in res["queries"]:
        t = row["times"]
        me = t.get("PyVorlane")
        cells = [row["query"], f"{row['hits']:,}", fmt_ms(me)]
        for e in cols:
            cells += ["skipped", "skipped"] if e in skipped else [fmt_ms(t.get(e)), fmt_ratio(t.get(e), me)]
        lines.append(md_row(cells))
    bulk = res["build"]["PyVorlane add_object_many"]
    lines += ["", "## Build", "", "| build | seconds | objects/s | × PyVorlane bulk |", "|---|---:|---:|---:|"]
    for label, t in res["build"].items():
        lines.append(f"| {label} | {t:.2f} | {n / t:,.0f} | {t / bulk:.1f}× |")
    if "reads" in res:
        lines += ["", "## Everyday operations", ""] + everyday_table(res)
    if res.get("real values"):
        lines += ["", "## Real values", "",
                  "Searches over the kinds real data holds, each against the query over plain ints that finds "
                  "the same objects, on objects that hold both (`bench/real_values.py`): a naive datetime "
                  "against its minute as an int, np.int32 against int, signed numbers against the same "
                  "numbers shifted to be positive. Times are for the search alone (the view it makes).", ""]
        lines += real_values.table(res["real values"])
    if res.get("groups"):
        lines += ["", "## Groups", ""] + groups.table(res["groups"], skipped)
    if res.get("removal"):
        lines += ["", "## Removal of every object, one by one", "", "| removal | µs per object | seconds for all |",
                  "|---|---:|---:|"]
        for label, t in res["removal"].items():
            lines.append(f"| {label} | {t * 1e6:.2f} | {t * n:.2f} |")
    lines += ["", "## Memory (bytes per object)", "",
              "RSS deltas are taken after a collection and `malloc_trim`; a peer's is taken right after its "
              "build, with no other peer alive; its build peak is the highest RSS during the build above the "
              "RSS before it, and what its close left is the RSS after it was freed above the RSS before its "
              "build. tracemalloc sees only Python's allocators, not the engine's C++ allocations.",
              "", "| what | bytes/object |", "|---|---:|"]
    for label, b in res["memory"].items():
        lines.append(f"| {label} | {b:,.0f} |")
    for name, freed in res.get("freed", {}).items():
        for label, b in freed.items():
            lines.append(f"| {name} {label} | {b:,.0f} |")
    return "\n".join(lines) + "\n"


def _peer_label(name, attr):
    return next(getattr(cls, attr) for cls in PEERS if cls.name == name)


SQLITE_WRITE = _peer_label("sqlite3", "write_label")
DUCKS_WRITE = _peer_label("ducks", "write_label")
# The DataFrame builds the bulk add is shown next to, polars' first (the one it is judged against).
FRAME_BUILDS = [(name, _peer_label(name, "build_label")) for name in ("polars", "DuckDB", "pandas")]
REMOVAL = "PyVorlane remove_object, random order"


def _ns(t):
    return f"{t * 1e9:.1f} ns"


def _us(t):
    return f"{t * 1e6:.2f} µs"


def _x(r):
    return f"{r:.2f}×"


def everyday_table(res):
    """The lines of the "Everyday operations" table of one size: each operation's cost in
    PyVorlane, the references measured in the same run, PyVorlane's time over theirs, and
    the target. A figure missing from the results (a peer not run, a measurement skipped)
    reads "not run" or "skipped"."""
    n = res["n"]
    writes, build = res["writes"], res["build"]
    skipped = res.get("writes skipped", {})
    lines = ["Best of several timings each. Reads, and writes outside an index: the same object read or "
             f"assigned {'once' if UNROLL == 1 else f'{UNROLL} times'} a loop turn (two values in turn), the loop "
             "included, as `timeit` measures. Writes in an index: "
             "10% of the objects (at most 20,000), picked at random, get a new value and then their old one back, "
             "each pass followed by a query inside the timing (an index carries out waiting writes at its next "
             "read); the peers follow the same writes of `age`, to the new values and back in turn (best of three passes, "
             "the objects assigned first, untimed). The ratio is PyVorlane's time over the reference's (below 1×, "
             "PyVorlane is faster).",
             "", "| operation | PyVorlane | reference | reference's | PyVorlane ÷ reference | target |",
             "|---|---:|---|---:|---:|---|"]

    def row(*cells):
        lines.append(md_row(cells))

    for kind, r in res["reads"].items():
        attr = kind.split("(")[1].rstrip(")")
        me = r["Indexable"]
        row(f"read `o.{attr}`, {kind.split(' (')[0]}", _ns(me), "`__slots__` / `__dict__`",
            f"{_ns(r['__slots__'])} / {_ns(r['__dict__'])}",
            f"{_x(me / r['__slots__'])} / {_x(me / r['__dict__'])}", f"≤ {READ_RATIO}× `__slots__`")

    def mine(label):
        return _us(writes[label]) if label in writes else "skipped" if label in skipped else "not run"

    loose = writes[W_LOOSE]
    row("write `o.age = x`, in no index", _ns(loose), "`__slots__` / `__dict__`",
        f"{_ns(writes[W_SLOTS])} / {_ns(writes[W_DICT])}",
        f"{_x(loose / writes[W_SLOTS])} / {_x(loose / writes[W_DICT])}", f"≤ {LOOSE_WRITE_RATIO}× `__slots__`")
    one = writes[W_AGE]
    peers = [(f"{label.split(' ', 1)[0]} `{label.split(' ', 1)[1]}`", writes.get(label))
             for label in (SQLITE_WRITE, DUCKS_WRITE)]
    row("write `o.age = x`, one index", _us(one), " / ".join(name for name, _ in peers),
        " / ".join("not run" if t is None else _us(t) for _, t in peers),
        " / ".join("n/a" if t is None else _x(one / t) for _, t in peers),
        f"≤ {NUMBER_WRITE_LIMIT * 1e6:g} µs; ≤ 1/{SQLITE_WRITE_RATIO} of sqlite3's")
    for label, attr in ((W_CITY, "city"), (W_NAME, "name")):
        row(f"write `o.{attr} = s`, one index", mine(label), "", "", "", f"≤ {STRING_WRITE_LIMIT * 1e6:g} µs")
    four = writes.get(W_FOUR)
    row(f"write `o.age = x`, {1 + EXTRA_INDEXES} indexes", mine(W_FOUR), "the same write, one index", _us(one),
        "n/a" if four is None else _x(four / one), f"≤ {FOUR_INDEX_RATIO}× one index")

    bulk = build["PyVorlane add_object_many"]
    frames = [(name, build.get(label)) for name, label in FRAME_BUILDS]
    row("bulk add `add_object_many`", f"{n / bulk:,.0f} objects/s",
        " / ".join(label for _, label in FRAME_BUILDS),
        " / ".join("not run" if t is None else f"{n / t:,.0f} objects/s" for _, t in frames),
        " / ".join("n/a" if t is None else _x(bulk / t) for _, t in frames),
        f"≥ {BULK_RATE:,} objects/s; < 1× polars")

    removal = res.get("removal", {}).get(REMOVAL)
    row("`remove_object` of every object, one by one, random order",
        "not run" if removal is None else f"{_us(removal)} each", "", "", "", f"≤ {REMOVAL_EACH * 1e6:g} µs each")

    neg = next((r for r in res["queries"] if r["query"] == Q_NOT), None)
    copy = res.get("list copy")
    if neg is not None and neg["hits"] and copy is not None:
        per, per_copy = neg["times"]["PyVorlane"] / neg["hits"], copy / n
        row(f"`{Q_NOT}` with `collect()`, per object returned", _ns(per), "`people[:]`, per object",
            _ns(per_copy), _x(per / per_copy), f"≤ {NOT_COPY_RATIO}× `people[:]`")
    for label, why in skipped.items():
        lines += ["", f"{label} was skipped at this size: {why}."]
    return lines


PEER_NAMES = BASELINES[1:]
# The query targets are set for 1,000,000 objects (a run's other sizes are reported, not
# judged); the bulk rate holds from 1,000,000 up, and growth is judged from 1M to 10M.
TARGET_SIZE = 1_000_000
ABSOLUTE_LIMITS = ((Q_INFIX, 0.3e-3), (Q_PREFIX, 0.3e-3), (Q_SCORE, 1e-3))
NOT_NS_PER_OBJECT = 8
SELECTIVE_SHARE, SELECTIVE_RATIO = 0.01, 100
BULK_RATE = 1_000_000
SCALING_LIMIT = 12
SINGLE_RATIO = 3  # adding one by one, × the bulk add, from 1,000,000 up
VIEW_RATIO = 2    # every peer's time for the view query, × PyVorlane's
REMOVAL_SECONDS = 5  # for a million objects, one by one
# The everyday operations' targets are per operation, not set for one size: they are judged
# at every size measured (from results that hold the reads, those of a run that made them).
READ_RATIO = 1.5            # a read on an Indexable, × the same read with __slots__
LOOSE_WRITE_RATIO = 3       # a write on an Indexable in no index, × the same write with __slots__
NUMBER_WRITE_LIMIT = 2e-6   # `age` on an object in one index
STRING_WRITE_LIMIT = 3e-6   # `city`, `name` on an object in one index
SQLITE_WRITE_RATIO = 3      # sqlite3's UPDATE ... WHERE id = ? at least this many times as long
FOUR_INDEX_RATIO = 3        # `age` on an object in four indexes, × in one
REMOVAL_EACH = 3e-6         # per object, removing every object one by one in random order
NOT_COPY_RATIO = 1.2        # not_ with collect, per object returned, × people[:] per object


def target_verdicts(results):
    """The targets, judged from the measured results of one run: a list of
    (where, target, verdict, detail), verdict True (met), False (not met) or None (not measured)."""
    out = []

    def add(where, what, ok, detail=""):
        out.append((where, what, ok, detail))

    by_n = {res["n"]: res for res in results}
    for res in results:
        n = res["n"]
        where = f"{n:,}"
        rows = res["queries"]
        skipped = res.get("skipped", {})
        if n >= TARGET_SIZE:
            # Bulk add of the benchmark's objects (with their tags lists).
            rate = n / res["build"]["PyVorlane add_object_many"]
            add(where, f"bulk add ≥ {BULK_RATE:,} objects/s", rate >= BULK_RATE, f"{rate:,.0f}/s")
            single = res["build"].get("PyVorlane add_object one by one")
            what = f"adding one by one (first reads included) ≤ {SINGLE_RATIO:g}× the bulk add"
            if single is None:
                add(where, what, None)
            else:
                ratio = single / res["build"]["PyVorlane add_object_many"]
                add(where, what, ratio <= SINGLE_RATIO, f"{single:.2f} s, {ratio:.2f}×")
        if "reads" in res:
            for what, ok, detail in everyday_verdicts(res):
                add(where, what, ok, detail)
        if n != TARGET_SIZE:
            continue
        if res.get("real values"):
            for what, ok, detail in real_values.verdicts(res["real values"]):
                add(where, what, ok, detail)
        if res.get("groups"):
            for what, ok, detail in groups.verdicts(res["groups"]):
                add(where, what, ok, detail)
        removal = res.get("removal", {}).get("PyVorlane remove_object, random order")
        what = f"removing {n:,} objects one by one within {REMOVAL_SECONDS} s"
        if removal is None:
            add(where, what, None)
        else:
            add(where, what, removal * n <= REMOVAL_SECONDS, f"{removal * n:.2f} s ({removal * 1e6:.2f} µs each)")

        # Faster than every peer that answers the query, the view query included.
        slow, ratios, compared = [], [], set()
        for row in rows:
            t = row["times"]
            for e in PEER_NAMES:
                if e in t:
                    compared.add(e)
                    ratios.append((t[e] / t["PyVorlane"], f"{row['query']} vs {e}"))
                    if t[e] <= t["PyVorlane"]:
                        slow.append(f"{row['query']} vs {e} {t[e] / t['PyVorlane']:.2f}×")
        ran = ", ".join(e for e in PEER_NAMES if e in compared)
        what = f"every query faster than each peer that answers it ({ran or 'no peer ran'})"
        if skipped:
            what += "; skipped for memory: " + ", ".join(skipped)
        if not ratios:
            add(where, what, None)
        elif slow:
            add(where, what, False, "not faster for " + "; ".join(slow))
        else:
            r, q = min(ratios)
            add(where, what, True, f"closest {q} {r:.2f}×")

        # The view query at least twice as fast as every peer.
        view = next((r for r in rows if r["query"] == Q_VIEW), None)
        what = f"`{Q_VIEW}` at least {VIEW_RATIO:g}× as fast as every peer"
        peers = [] if view is None else [(view["times"][e] / view["times"]["PyVorlane"], e)
                                         for e in PEER_NAMES if e in view["times"]]
        if not peers:
            add(where, what, None)
        else:
            r, e = min(peers)
            add(where, what, r >= VIEW_RATIO, f"closest {e} {r:.2f}×")

        # Selective queries far faster than the list comprehension.
        sel = [(r["times"]["list comp"] / r["times"]["PyVorlane"], r["query"]) for r in rows
               if r["hits"] < n * SELECTIVE_SHARE]
        what = f"selective queries (< {SELECTIVE_SHARE:.0%} of objects returned: {len(sel)}) ≥ {SELECTIVE_RATIO}× list comp"
        low = [f"{q} {x:.0f}×" for x, q in sel if x < SELECTIVE_RATIO]
        if not sel:
            add(where, what, None)
        elif low:
            add(where, what, False, "below for " + "; ".join(low))
        else:
            add(where, what, True, f"lowest {min(sel)[1]} {min(sel)[0]:.0f}×")

        # Absolute times.
        me = {r["query"]: r["times"]["PyVorlane"] for r in rows}
        for label, limit in ABSOLUTE_LIMITS:
            what = f"`{label}` under {limit * 1e3:g} ms"
            if label in me:
                add(where, what, me[label] < limit, f"{me[label] * 1e3:.3f} ms")
            else:
                add(where, what, None)

        # The negation returns nearly every object: its time per object returned, collect included.
        row = next((r for r in rows if r["query"] == Q_NOT), None)
        what = f"`{Q_NOT}` ≤ {NOT_NS_PER_OBJECT} ns per object returned"
        if row is None or not row["hits"]:
            add(where, what, None)
        else:
            per = row["times"]["PyVorlane"] / row["hits"]
            add(where, what, per <= NOT_NS_PER_OBJECT * 1e-9,
                f"{per * 1e9:.1f} ns × {row['hits']:,} = {row['times']['PyVorlane'] * 1e3:.2f} ms")

        mem = res["memory"]
        add(where, "index memory ≤ objects' own", mem["PyVorlane index RSS"] <= mem["objects RSS"],
            f"{mem['PyVorlane index RSS']:,.0f} vs {mem['objects RSS']:,.0f} bytes/object, RSS; "
            f"the objects with their values: "
            f"{mem['objects RSS'] + mem['values RSS (strings, floats, tag lists, row tuples)']:,.0f}")

    # Growth from 1,000,000 to 10,000,000 objects.
    what = f"each query's time at 10,000,000 at most {SCALING_LIMIT}× its 1,000,000 time"
    if 1_000_000 in by_n and 10_000_000 in by_n:
        small = {r["query"]: r["times"]["PyVorlane"] for r in by_n[1_000_000]["queries"]}
        big = {r["query"]: r["times"]["PyVorlane"] for r in by_n[10_000_000]["queries"]}
        growth = sorted(((big[q] / small[q], q) for q in small if q in big), reverse=True)
        over = [f"{q} {g:.1f}×" for g, q in growth if g > SCALING_LIMIT]
        if over:
            add("10,000,000 vs 1,000,000", what, False, "over for " + "; ".join(over))
        else:
            add("10,000,000 vs 1,000,000", what, True, f"largest {growth[0][1]} {growth[0][0]:.1f}×")
    else:
        add("10,000,000 vs 1,000,000", what, None, "needs both sizes in one run")
    if TARGET_SIZE not in by_n:
        add(f"{TARGET_SIZE:,}", "the query targets, set for this size", None, "not in this run")
    return out


def everyday_verdicts(res):
    """The everyday operations' targets at one size: a list of (target, verdict, detail)."""
    out = []
    writes = res["writes"]

    def at_most(what, t, limit, show):
        out.append((what, None, "") if t is None else (what, t <= limit, show(t)))

    reads = [(r["Indexable"] / r["__slots__"], kind) for kind, r in res["reads"].items()]
    over = [f"{kind} {x:.2f}×" for x, kind in reads if x > READ_RATIO]
    what = f"reads `o.attr` on an Indexable ≤ {READ_RATIO}× `__slots__`, for each kind of value"
    out.append((what, False, "over for " + "; ".join(over)) if over else
               (what, True, f"highest {max(reads)[1]} {max(reads)[0]:.2f}×"))

    r = writes[W_LOOSE] / writes[W_SLOTS]
    out.append((f"write on an Indexable in no index ≤ {LOOSE_WRITE_RATIO}× `__slots__`", r <= LOOSE_WRITE_RATIO,
                f"{_ns(writes[W_LOOSE])} vs {_ns(writes[W_SLOTS])}, {r:.2f}×"))
    at_most(f"number write (`age`) in one index ≤ {NUMBER_WRITE_LIMIT * 1e6:g} µs", writes.get(W_AGE),
            NUMBER_WRITE_LIMIT, _us)
    for label, attr in ((W_CITY, "city"), (W_NAME, "name")):
        at_most(f"string write (`{attr}`) in one index ≤ {STRING_WRITE_LIMIT * 1e6:g} µs", writes.get(label),
                STRING_WRITE_LIMIT, _us)

    what = f"number write in one index ≥ {SQLITE_WRITE_RATIO}× faster than sqlite3 `UPDATE ... WHERE id = ?`"
    sql = writes.get(SQLITE_WRITE)
    if sql is None:
        out.append((what, None, "sqlite3 not run"))
    else:
        x = sql / writes[W_AGE]
        out.append((what, x >= SQLITE_WRITE_RATIO, f"{x:.2f}× ({_us(writes[W_AGE])} vs {_us(sql)})"))

    what = f"write with the objects in {1 + EXTRA_INDEXES} indexes ≤ {FOUR_INDEX_RATIO}× in one"
    four = writes.get(W_FOUR)
    if four is None:
        out.append((what, None, res.get("writes skipped", {}).get(W_FOUR, "")))
    else:
        x = four / writes[W_AGE]
        out.append((what, x <= FOUR_INDEX_RATIO, f"{x:.2f}× ({_us(four)} vs {_us(writes[W_AGE])})"))

    what = "bulk add faster than the polars DataFrame build"
    bulk, polars = res["build"]["PyVorlane add_object_many"], res["build"].get(FRAME_BUILDS[0][1])
    if polars is None:
        out.append((what, None, "polars not run"))
    else:
        n = res["n"]
        out.append((what, bulk < polars, f"{n / bulk:,.0f} vs {n / polars:,.0f} objects/s"))

    at_most(f"`remove_object` one by one in random order ≤ {REMOVAL_EACH * 1e6:g} µs per object",
            res.get("removal", {}).get(REMOVAL), REMOVAL_EACH, _us)

    what = f"`{Q_NOT}` with `collect()` ≤ {NOT_COPY_RATIO}× `people[:]` per object"
    neg = next((r for r in res["queries"] if r["query"] == Q_NOT), None)
    if neg is None or not neg["hits"] or res.get("list copy") is None:
        out.append((what, None, ""))
    else:
        per, per_copy = neg["times"]["PyVorlane"] / neg["hits"], res["list copy"] / res["n"]
        out.append((what, per <= NOT_COPY_RATIO * per_copy,
                    f"{_ns(per)} vs {_ns(per_copy)}, {per / per_copy:.2f}×"))
    return out


def targets(results):
    """One line a target (and size), as printed and written by main()."""
    return target_lines(target_verdicts(results))


GROUPS_HEADING = "Groups (`bench/suite.py`)"
GROUPS_BEFORE = "Answers beyond a list (`bench/answers.py`)"   # where the section goes when the docs have none


def groups_section(results, mach, seed, date):
    """The "Groups" tables of a run's sizes and their targets, as the section of docs/benchmarks.md
    (level 2, a size a subsection); None when no size of the run measured them."""
    sized = [res for res in results if res.get("groups")]
    if not sized:
        return None
    sizes = " ".join(str(res["n"]) for res in results)
    lines = [f"## {GROUPS_HEADING}", "", f"`bench/suite.py --sizes {sizes}`: " + run_line(date, seed, mach), "",
             "The suite's objects in one index (`city` out of 50 values, `age` an int out of 100, `score` a float). "
             "PyVorlane's `group_by(\"city\")` mean of `score` and sum of `age`, over the whole index and over a "
             "view of about 2% made beforehand, and `sum(\"age\")`, against a Python loop over the list of the "
             "objects (dicts of sums and counts) and pandas `groupby`, polars `group_by` (lazy) and DuckDB "
             "`GROUP BY` over their own copies of the data, built for the suite's queries (not in the ratios); "
             "for the view they filter the rows first, in the timing. A ratio is the other engine's time over "
             "PyVorlane's."]
    verdicts = []
    for res in sized:
        lines += ["", f"### {res['n']:,} objects", ""] + groups.table(res["groups"], res.get("skipped", {}))
        verdicts += [(f"{res['n']:,}", what, ok, detail) for what, ok, detail in groups.verdicts(res["groups"])]
    lines += ["", "### Targets", ""]
    if any(res["n"] != TARGET_SIZE for res in sized):
        lines += [f"Set for {TARGET_SIZE:,} objects; judged here at every size measured.", ""]
    lines.append(target_lines(verdicts).rstrip("\n"))
    return "\n".join(lines) + "\n"


def write_groups_section(path, results, mach, seed, date):
    """Puts the run's "Groups" section into the file at `path` (see groups_section); says so,
    or that the run has none."""
    section = groups_section(results, mach, seed, date)
    if section is None:
        print(f"no size of this run measured the groups: {path} is left as it is")
        return
    path.write_text(put_section(path.read_text() if path.exists() else "", GROUPS_HEADING, section,
                                before=GROUPS_BEFORE))
    print(f"section '## {GROUPS_HEADING}' written to {path}")


def _pyplot():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def missing_marks(res):
    """(query, engine, mark) for each engine of the size's tables without a time for a query:
    "n/a" where the peer cannot answer it, "skipped" where it was not built at this size."""
    skipped = res.get("skipped", {})
    engines = ["PyVorlane"] + columns(res)
    return [(row["query"], e, "skipped" if e in skipped else "n/a")
            for row in res["queries"] for e in engines if e not in row["times"]]


def plot_bars(res, path):
    """One size: a group of bars a query, a bar an engine (log scale); an engine that has no time
    for a query gets no bar but its mark ("n/a" or "skipped") where the bar would stand."""
    plt = _pyplot()
    engines = ["PyVorlane"] + columns(res)
    labels = [r["query"] for r in res["queries"]]
    marks = {(q, e): m for q, e, m in missing_marks(res)}
    times = [t * 1e3 for r in res["queries"] for t in r["times"].values()]
    floor = min(times) / 3
    width = 0.8 / len(engines)
    fig, ax = plt.subplots(figsize=(max(12, 1.6 * len(labels)), 6))
    for k, engine in enumerate(engines):
        xs = [i - 0.4 + (k + 0.5) * width for i in range(len(labels))]
        ys = [r["times"].get(engine) for r in res["queries"]]
        ax.bar([x for x, y in zip(xs, ys) if y is not None], [y * 1e3 for y in ys if y is not None],
               width, label=engine, color=f"C{k}")
        for x, label in zip(xs, labels):
            if (label, engine) in marks:
                ax.text(x, floor * 1.15, marks[label, engine], rotation=90, ha="center", va="bottom",
                        fontsize=9, color=f"C{k}", fontweight="bold")
    ax.set_yscale("log")
    ax.set_ylim(bottom=floor)
    ax.set_xticks(range(len(labels)), labels, rotation=25, ha="right", fontsize=8)
    ax.set_xlabel("query")
    ax.set_ylabel("ms, best of several runs, answer as a list of objects (log scale)")
    ax.grid(True, axis="y", which="both", alpha=0.3)
    ax.legend(fontsize=8, ncol=len(engines))
    ax.set_title(f"Query time at {res['n']:,} objects (n/a: the peer cannot answer the query; "
                 "skipped: not built at this size for memory)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def plot(results, path):
    """Query time against the number of objects, a panel a query; the engines without a time
    in a panel are named in it."""
    plt = _pyplot()
    labels = [r["query"] for r in results[0]["queries"]]
    cols = 4
    rows = (len(labels) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(4.2 * cols, 3.5 * rows + 0.8), squeeze=False)
    sizes = [r["n"] for r in results]
    ran = [e for e in ENGINES if e == "PyVorlane" or any(e in columns(r) for r in results)]
    marks = {}
    for r in results:
        for q, e, m in missing_marks(r):
            marks.setdefault(q, {}).setdefault(e, set()).add(m if m == "n/a" else f"skipped at {r['n']:,}")
    for ax, label in zip(axes.flat, labels):
        for k, engine in enumerate(ENGINES):
            pts = [(r["n"], q["times"][engine]) for r in results for q in r["queries"]
                   if q["query"] == label and engine in q["times"]]
            if pts:
                xs, ys = zip(*pts)
                ax.plot(xs, [y * 1e3 for y in ys], marker="o", label=engine, color=f"C{k}")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xticks(sizes, [f"{s:,}" for s in sizes], fontsize=7)
        ax.set_title(label, fontsize=9)
        ax.set_xlabel("number of objects", fontsize=8)
        ax.set_ylabel("ms (best of several runs)", fontsize=8)
        ax.grid(True, which="both", alpha=0.3)
        missing = marks.get(label, {})
        if missing:
            ax.text(0.02, 0.98, "\n".join(f"{e}: {', '.join(sorted(m))}" for e, m in missing.items()),
                    transform=ax.transAxes, ha="left", va="top", fontsize=7, color="dimgray",
                    bbox={"facecolor": "white", "alpha": 0.8, "edgecolor": "none"})
    for ax in list(axes.flat)[len(labels):]:
        ax.axis("off")
    handles = {}
    for ax in axes.flat:
        for h, name in zip(*ax.get_legend_handles_labels()):
            handles.setdefault(name, h)
    names = [e for e in ran if e in handles]
    fig.legend([handles[e] for e in names], names, loc="lower right", fontsize=9, ncol=2,
               bbox_to_anchor=(0.99, 0.12))
    fig.suptitle("Query time against the number of objects (log-log), collect included; "
                 "n/a in a panel: the peer cannot answer that query")
    fig.tight_layout(rect=(0, 0.02, 1, 1))
    fig.savefig(path, dpi=90)
    plt.close(fig)


def _engine(name):
    canon = {e.lower(): e for e in BASELINES}
    if name.lower() not in canon:
        raise argparse.ArgumentTypeError(f"{name!r} is none of: {', '.join(BASELINES)}")
    return canon[name.lower()]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--large", action="store_true", help="also 10,000,000 objects")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--engines", nargs="+", default=BASELINES, type=_engine, metavar="ENGINE",
                        help="baselines to run next to PyVorlane, any of: " + ", ".join(BASELINES)
                        + " (the list comprehension always runs; names are case-insensitive)")
    parser.add_argument("--out", type=Path, default=ROOT / "bench" / "results")
    parser.add_argument("--docs", type=Path, nargs="?", const=DOCS, metavar="PATH",
                        help=f"also put the groups' tables into the '## {GROUPS_HEADING}' section of this file "
                             f"(default {DOCS.relative_to(ROOT)})")
    parser.add_argument("--report", type=Path, metavar="JSON",
                        help="no run: the groups' section of a run's JSON (with --docs, into the docs)")
    args = parser.parse_args()
    if args.report:
        data = json.loads(args.report.read_text())
        # Runs written before the date was kept have it in their stamp.
        date = data.get("date") or args.report.stem[:10]
        section = groups_section(data["results"], data["machine"], data["seed"], date)
        print(section or f"{args.report} holds no groups", end="")
        if args.docs:
            write_groups_section(args.docs, data["results"], data["machine"], data["seed"], date)
        return 0
    sizes = sorted(set(args.sizes + ([10_000_000] if args.large else [])))
    engines = set(args.engines) | {"PyVorlane", "list comp"}
    args.out.mkdir(parents=True, exist_ok=True)

    mach = machine()
    print(f"{mach['cpu']}, {mach['cores']} cores, Python {mach['python']}, PyVorlane {PyVorlane.__file__}")
    print("peers: " + ", ".join(e for e in BASELINES if e in engines))
    stamp = datetime.datetime.now().strftime("%Y-%m-%d-%H%M")
    date = datetime.date.today().isoformat()
    results = []
    peaks = {}
    for n in sizes:
        res = run_size(n, args.seed, engines, lambda s: print(s, flush=True), peaks)
        results.append(res)
        text = table(res, mach, args.seed)
        path = args.out / f"{stamp}-{n}.md"
        path.write_text(text)
        print("\n" + text + f"(written to {path})")
    summary = targets(results)
    print("\n## Targets\n\n" + summary)
    (args.out / f"{stamp}-targets.md").write_text("# Targets\n\n" + summary)
    (args.out / f"{stamp}.json").write_text(json.dumps({"machine": mach, "seed": args.seed, "date": date,
                                                        "results": results}, indent=1))
    if args.docs:
        write_groups_section(args.docs, results, mach, args.seed, date)
    for res in results:
        png = args.out / f"{stamp}-{res['n']}.png"
        plot_bars(res, png)
        print(f"plot written to {png}")
    if len(results) > 1:
        png = args.out / f"{stamp}-query-time.png"
        plot(results, png)
        print(f"plot written to {png}")


if __name__ == "__main__":
    sys.exit(main())
