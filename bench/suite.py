"""Benchmark suite: PyVorlane side by side with the baselines a user would otherwise use.

Everything is measured in one process run on data generated from a seed, and reported
as ratios against baselines measured in the same run:

- a list comprehension over the same objects,
- sqlite3 in memory, one index per column, returning the objects (ids mapped through a list),
- ducks' Dex over the same objects and attributes (the queries it can express),
- pandas boolean masks over the same data copied into columns (a copy: it does not
  follow writes to the objects; its build is the DataFrame construction).

Queries include turning the answer into a list of objects (`collect()` for PyVorlane).
Every answer is checked against the list comprehension; a difference aborts the run.

    scripts/bench.sh [--sizes 100000 1000000] [--large] [--seed 1] [--out bench/results]
"""
import argparse
import datetime
import gc
import json
import os
import platform
import random
import sqlite3
import string
import subprocess
import sys
import time
import tracemalloc
from pathlib import Path

import numpy as np
import pandas as pd
from ducks import Dex

import PyVorlane
from PyVorlane import Index, Indexable, PyQueryExpr as Q

ROOT = Path(__file__).resolve().parent.parent
ENGINES = ["PyVorlane", "list comp", "sqlite3", "ducks", "pandas"]
BASELINES = ENGINES[1:]


class Person(Indexable):
    pass


class PlainPerson:
    """A plain Python object: the reference cost of an attribute write."""

    __slots__ = ("age",)

    def __init__(self, age):
        self.age = age


# ---------------------------------------------------------------- data

CITIES = [f"city{i:02d}" for i in range(50)]
# Tags follow a skewed popularity so that the rarest one ("vip") is a selective query.
TAGS = ["new", "regular", "sports", "music", "travel", "books", "food", "tech", "art", "vip"]
TAG_WEIGHTS = [30, 20, 15, 10, 8, 6, 5, 3, 2, 1]
# The few-valued attribute that makes the four-way conjunction: "member" is common
# (90%), so age x city x active x group hits about 1 in 11,000 (about 180 at 2M).
GROUPS = ["member", "staff", "admin"]
GROUP_WEIGHTS = [90, 7, 3]
ATTRS = ["id", "age", "score", "name", "city", "active", "group"]


def make_rows(n, seed):
    rng = random.Random(seed)
    letters = string.ascii_lowercase
    rows = []
    for i in range(n):
        tags = list(dict.fromkeys(rng.choices(TAGS, weights=TAG_WEIGHTS, k=rng.randint(1, 3))))
        rows.append((i, rng.randrange(100), rng.random() * 100.0,
                     "".join(rng.choices(letters, k=rng.randint(5, 12))),
                     rng.choice(CITIES), rng.random() < 0.5,
                     rng.choices(GROUPS, weights=GROUP_WEIGHTS)[0], tags))
    return rows


def make_people(rows):
    return [Person(id=a, age=b, score=c, name=d, city=e, active=f, group=g, tags=t)
            for a, b, c, d, e, f, g, t in rows]


# ---------------------------------------------------------------- measuring

from memory import rss  # noqa: E402  (bench/ is on the path when this runs)


def timed_once(fn):
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        result = fn()
        return time.perf_counter() - t0, result
    finally:
        gc.enable()


def best(fn, min_runs=3, max_runs=30, budget=0.3):
    """Best of several runs: at least min_runs, more while they stay under the budget."""
    times = []
    result = None
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        while len(times) < min_runs or (len(times) < max_runs and time.perf_counter() - start < budget):
            result = None
            t0 = time.perf_counter()
            result = fn()
            times.append(time.perf_counter() - t0)
    finally:
        gc.enable()
    return min(times), result


def same_objects(got, want):
    return len(got) == len(want) and sorted(map(id, got)) == sorted(map(id, want))


# ---------------------------------------------------------------- the engines

class Sqlite:
    def __init__(self, people):
        self.people = people
        self.db = sqlite3.connect(":memory:")
        # GLOB and LIKE then use the column index for a prefix.
        self.db.execute("PRAGMA case_sensitive_like = ON")
        self.db.execute("CREATE TABLE person (id INTEGER PRIMARY KEY, age INTEGER, score REAL, "
                        "name TEXT, city TEXT, active INTEGER, grp TEXT)")
        self.db.execute("CREATE TABLE tag (pid INTEGER, tag TEXT)")
        self.db.executemany("INSERT INTO person VALUES (?,?,?,?,?,?,?)",
                            ((p.id, p.age, p.score, p.name, p.city, p.active, p.group) for p in people))
        self.db.executemany("INSERT INTO tag VALUES (?,?)", ((p.id, t) for p in people for t in p.tags))
        for col in ["age", "score", "name", "city", "active", "grp"]:
            self.db.execute(f"CREATE INDEX person_{col} ON person({col})")
        self.db.execute("CREATE INDEX tag_tag ON tag(tag)")
        self.db.commit()

    def query(self, sql, params=()):
        people = self.people
        return [people[i] for (i,) in self.db.execute(sql, params)]


def build_frame(people):
    return pd.DataFrame({
        "age": [p.age for p in people], "score": [p.score for p in people],
        "name": [p.name for p in people], "city": [p.city for p in people],
        "active": [p.active for p in people], "group": [p.group for p in people],
        # Joined so a tag test is a vectorised substring search rather than a Python loop.
        "tags": ["|" + "|".join(p.tags) + "|" for p in people],
    })


def frame_objects(people, mask):
    return [people[i] for i in np.flatnonzero(mask.to_numpy())]


# ---------------------------------------------------------------- queries

AGE, CITY, PREFIX, INFIX, TAG = 42, "city07", "ab", "xyz", "vip"
AGES5 = [3, 17, 42, 68, 91]


def queries():
    """(label, PyVorlane, list comprehension, sqlite3, ducks, pandas); None where a peer cannot say it.

    Each callable takes the context dict `c` of one size."""
    return [
        ("age == 42",
         lambda c: c["idx"].get_by_attribute(age=AGE),
         lambda c: [p for p in c["people"] if p.age == AGE],
         lambda c: c["sql"].query("SELECT id FROM person WHERE age = ?", (AGE,)),
         lambda c: c["dex"][{"age": AGE}],
         lambda c: frame_objects(c["people"], c["df"]["age"] == AGE)),
        ("city == 'city07'",
         lambda c: c["idx"].get_by_attribute(city=CITY),
         lambda c: [p for p in c["people"] if p.city == CITY],
         lambda c: c["sql"].query("SELECT id FROM person WHERE city = ?", (CITY,)),
         lambda c: c["dex"][{"city": CITY}],
         lambda c: frame_objects(c["people"], c["df"]["city"] == CITY)),
        ("score bt(30, 31)",
         lambda c: c["idx"].reduced_query(Q.bt("score", 30.0, 31.0)).collect(),
         lambda c: [p for p in c["people"] if 30.0 <= p.score <= 31.0],
         lambda c: c["sql"].query("SELECT id FROM person WHERE score BETWEEN ? AND ?", (30.0, 31.0)),
         lambda c: c["dex"][{"score": {">=": 30.0, "<=": 31.0}}],
         lambda c: frame_objects(c["people"], c["df"]["score"].between(30.0, 31.0))),
        ("age & city & active & group",
         lambda c: c["idx"].get_by_attribute(age=AGE, city=CITY, active=True, group="member"),
         lambda c: [p for p in c["people"]
                    if p.age == AGE and p.city == CITY and p.active is True and p.group == "member"],
         lambda c: c["sql"].query("SELECT id FROM person WHERE age = ? AND city = ? AND active = 1 AND grp = ?",
                                  (AGE, CITY, "member")),
         lambda c: c["dex"][{"age": AGE, "city": CITY, "active": True, "group": "member"}],
         lambda c: frame_objects(c["people"], (c["df"]["age"] == AGE) & (c["df"]["city"] == CITY)
                                 & c["df"]["active"] & (c["df"]["group"] == "member"))),
        ("name starts_with 'ab'",
         lambda c: c["idx"].reduced_query(Q.starts_with("name", PREFIX)).collect(),
         lambda c: [p for p in c["people"] if p.name.startswith(PREFIX)],
         lambda c: c["sql"].query("SELECT id FROM person WHERE name GLOB ?", (PREFIX + "*",)),
         # Dex has no prefix operator; a range over the sorted names says the same for these names.
         lambda c: c["dex"][{"name": {">=": PREFIX, "<": PREFIX[:-1] + chr(ord(PREFIX[-1]) + 1)}}],
         lambda c: frame_objects(c["people"], c["df"]["name"].str.startswith(PREFIX))),
        ("name contains 'xyz'",
         lambda c: c["idx"].reduced_query(Q.contains("name", INFIX)).collect(),
         lambda c: [p for p in c["people"] if INFIX in p.name],
         lambda c: c["sql"].query("SELECT id FROM person WHERE name GLOB ?", ("*" + INFIX + "*",)),
         None,
         lambda c: frame_objects(c["people"], c["df"]["name"].str.contains(INFIX, regex=False))),
        ("age in_ 5 values",
         lambda c: c["idx"].reduced_query(Q.in_("age", AGES5)).collect(),
         lambda c: [p for p in c["people"] if p.age in c["ages5"]],
         lambda c: c["sql"].query("SELECT id FROM person WHERE age IN (?,?,?,?,?)", AGES5),
         lambda c: c["dex"][{"age": {"in": AGES5}}],
         lambda c: frame_objects(c["people"], c["df"]["age"].isin(AGES5))),
        ("not_(city == 'city07')",
         lambda c: c["idx"].reduced_query(Q.not_(Q.eq("city", CITY))).collect(),
         lambda c: [p for p in c["people"] if not p.city == CITY],
         lambda c: c["sql"].query("SELECT id FROM person WHERE NOT city = ?", (CITY,)),
         lambda c: c["dex"][{"city": {"!=": CITY}}],
         lambda c: frame_objects(c["people"], ~(c["df"]["city"] == CITY))),
        ("tags has 'vip'",
         lambda c: c["idx"].reduced_query(Q.eq("tags", TAG)).collect(),
         lambda c: [p for p in c["people"] if TAG in p.tags],
         lambda c: c["sql"].query("SELECT pid FROM tag WHERE tag = ?", (TAG,)),
         None,
         lambda c: frame_objects(c["people"], c["df"]["tags"].str.contains(f"|{TAG}|", regex=False))),
        # A view narrowed again: the view (city == 'city07') exists already, as does the list
        # comprehension's and pandas' narrowed collection; sqlite and Dex have no views and
        # answer the combined condition.
        ("view(city).reduced(age > 89)",
         lambda c: c["view"].reduced_query(Q.gt("age", 89)).collect(),
         lambda c: [p for p in c["city_list"] if p.age > 89],
         lambda c: c["sql"].query("SELECT id FROM person WHERE city = ? AND age > ?", (CITY, 89)),
         lambda c: c["dex"][{"city": CITY, "age": {">": 89}}],
         lambda c: [c["people"][i] for i in c["city_frame"].index[c["city_frame"]["age"].to_numpy() > 89]]),
    ]


# ---------------------------------------------------------------- one size

def run_size(n, seed, engines, log):
    res = {"n": n, "build": {}, "memory": {}, "queries": [], "writes": {}}
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
    t, idx = timed_once(lambda: _bulk(people))
    res["memory"]["PyVorlane index RSS"] = (rss() - before) / n
    res["build"]["PyVorlane add_object_many"] = t
    if len(idx.collect()) != n:
        raise SystemExit(f"FAIL: the index holds {len(idx.collect())} objects, not {n}")

    bulk_times = [t]
    for _ in range(2):
        t, other = timed_once(lambda: _bulk(people))
        bulk_times.append(t)
        del other
    res["build"]["PyVorlane add_object_many"] = min(bulk_times)

    single_times = []
    for _ in range(2 if n <= 200_000 else 1):
        t, other = timed_once(lambda: _one_by_one(people))
        single_times.append(t)
        del other
    res["build"]["PyVorlane add_object one by one"] = min(single_times)
    log(f"  PyVorlane built: bulk {res['build']['PyVorlane add_object_many']:.2f} s, "
        f"one by one {res['build']['PyVorlane add_object one by one']:.2f} s")

    # tracemalloc sees only what goes through Python's allocators, not the engine's own
    # C++ allocations, so it is a separate pass next to the RSS figure.
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    other = _bulk(people)
    res["memory"]["PyVorlane index tracemalloc"] = (tracemalloc.get_traced_memory()[0] - base) / n
    tracemalloc.stop()
    del other

    ctx = {"people": people, "idx": idx, "ages5": set(AGES5)}
    if "sqlite3" in engines:
        before = rss()
        t, ctx["sql"] = timed_once(lambda: Sqlite(people))
        res["memory"]["sqlite3 RSS"] = (rss() - before) / n
        res["build"]["sqlite3 insert + indexes"] = t
        log(f"  sqlite3 built in {t:.2f} s")
    if "ducks" in engines:
        before = rss()
        t, ctx["dex"] = timed_once(lambda: Dex(people, on=ATTRS))
        res["memory"]["ducks Dex RSS"] = (rss() - before) / n
        res["build"]["ducks Dex"] = t
        log(f"  Dex built in {t:.2f} s")
    if "pandas" in engines:
        before = rss()
        t, ctx["df"] = timed_once(lambda: build_frame(people))
        res["memory"]["pandas DataFrame RSS"] = (rss() - before) / n
        res["build"]["pandas DataFrame"] = t
        log(f"  DataFrame built in {t:.2f} s")
        ctx["city_frame"] = ctx["df"][ctx["df"]["city"] == CITY]
    ctx["view"] = idx.reduced(city=CITY)
    ctx["city_list"] = [p for p in people if p.city == CITY]

    for label, *fns in queries():
        row = {"query": label, "times": {}}
        _, want = best(lambda: fns[1](ctx), min_runs=1, max_runs=1)
        row["hits"] = len(want)
        for engine, fn in zip(ENGINES, fns):
            if fn is None or engine not in engines:
                continue
            t, got = best(lambda: fn(ctx))
            if not same_objects(got, want):
                raise SystemExit(f"FAIL at {n:,}: {engine} answers {label!r} with {len(got)} objects, "
                                 f"the list comprehension with {len(want)}")
            row["times"][engine] = t
        res["queries"].append(row)
        log(f"  {label:<32}{row['hits']:>9}  " + "  ".join(
            f"{e} {row['times'][e] * 1e3:.3f} ms" for e in ENGINES if e in row["times"]))

    res["writes"] = run_writes(ctx, n, seed, engines)

    del ctx, idx
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    more = make_people(rows)
    res["memory"]["objects tracemalloc (values shared with the rows)"] = (
        (tracemalloc.get_traced_memory()[0] - base) / n)
    tracemalloc.stop()
    del more, people, rows
    return res


def _bulk(people):
    idx = Index()
    idx.add_object_many(people)
    return idx


def _one_by_one(people):
    idx = Index()
    add = idx.add_object
    for p in people:
        add(p)
    return idx


def run_writes(ctx, n, seed, engines):
    """Per-write cost of changing `age` on indexed objects, and what each peer needs to follow it."""
    rng = random.Random(seed + 1)
    k = min(20_000, n // 10)
    sample = rng.sample(ctx["people"], k)
    values = [(p.age + 1) % 100 for p in sample]
    out = {}

    def assign():
        for p, v in zip(sample, values):
            p.age = v

    t, _ = timed_once(assign)
    out["PyVorlane obj.age = x (indexed)"] = t / k

    loose = [Person(age=p.age) for p in sample]

    def assign_loose():
        for p, v in zip(loose, values):
            p.age = v

    out["Indexable not in an index"] = timed_once(assign_loose)[0] / k
    plain = [PlainPerson(p.age) for p in sample]

    def assign_plain():
        for p, v in zip(plain, values):
            p.age = v

    out["plain Python object"] = timed_once(assign_plain)[0] / k

    if "ducks" in engines:
        dex = ctx["dex"]

        def update():
            for p in sample:
                dex.update(p)

        out["ducks Dex.update(obj)"] = timed_once(update)[0] / k
    if "sqlite3" in engines:
        db = ctx["sql"].db

        def update_rows():
            ex = db.execute
            for p, v in zip(sample, values):
                ex("UPDATE person SET age = ? WHERE id = ?", (v, p.id))
            db.commit()

        out["sqlite3 UPDATE ... WHERE id = ?"] = timed_once(update_rows)[0] / k

    # The written objects are found under their new values by everyone.
    probe = values[0]
    want = [p for p in ctx["people"] if p.age == probe]
    checks = [("PyVorlane", lambda: ctx["idx"].get_by_attribute(age=probe))]
    if "ducks" in engines:
        checks.append(("ducks", lambda: ctx["dex"][{"age": probe}]))
    if "sqlite3" in engines:
        checks.append(("sqlite3", lambda: ctx["sql"].query("SELECT id FROM person WHERE age = ?", (probe,))))
    for engine, fn in checks:
        if not same_objects(fn(), want):
            raise SystemExit(f"FAIL at {n:,}: after the writes {engine} does not find age == {probe}")
    return out


# ---------------------------------------------------------------- reporting

def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kib = int(f.readline().split()[1])
    try:
        commit = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                                capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, check=True).stdout.strip()
        commit += " with local changes" if dirty else ""
    except (OSError, subprocess.CalledProcessError):
        commit = "unknown"
    from importlib.metadata import version
    return {
        "cpu": model, "cores": os.cpu_count(), "memory GiB": round(mem_kib / 2**20, 1),
        "python": platform.python_version(), "os": platform.platform(), "commit": commit,
        "versions": {name: version(name) for name in ["ducks", "pandas", "numpy"]} | {
            "sqlite": sqlite3.sqlite_version},
    }


def fmt_ms(t):
    return "—" if t is None else f"{t * 1e3:.3f}"


def fmt_ratio(base, t):
    if base is None or t is None:
        return "—"
    r = base / t
    return f"{r:,.0f}×" if r >= 100 else f"{r:.1f}×"


def table(res, mach, seed):
    n = res["n"]
    lines = [f"# PyVorlane benchmarks, {n:,} objects", "",
             f"{datetime.date.today().isoformat()}, seed {seed}, commit {mach['commit']}; "
             f"{mach['cpu']}, {mach['cores']} cores, {mach['memory GiB']} GiB, Python {mach['python']}; "
             + ", ".join(f"{k} {v}" for k, v in mach["versions"].items()) + ".", "",
             "Best of several runs, each returning the list of matching objects. The ratio columns say "
             "how many times longer the baseline took than PyVorlane (above 1× PyVorlane is faster). "
             "pandas works on a copy of the data as columns (query time only; it does not follow "
             "writes); its answer is mapped back to the objects through a list, as sqlite3's ids are. "
             "— : the peer has no such query.", "",
             "## Queries", "",
             "| query | hits | PyVorlane ms | list comp ms | ×list comp | sqlite3 ms | ×sqlite3 "
             "| ducks ms | ×ducks | pandas ms | ×pandas |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for row in res["queries"]:
        t = row["times"]
        me = t.get("PyVorlane")
        cells = [row["query"], f"{row['hits']:,}", fmt_ms(me)]
        for e in BASELINES:
            cells += [fmt_ms(t.get(e)), fmt_ratio(t.get(e), me)]
        lines.append("| " + " | ".join(cells) + " |")
    bulk = res["build"]["PyVorlane add_object_many"]
    lines += ["", "## Build", "", "| build | seconds | objects/s | × PyVorlane bulk |", "|---|---:|---:|---:|"]
    for label, t in res["build"].items():
        lines.append(f"| {label} | {t:.2f} | {n / t:,.0f} | {t / bulk:.1f}× |")
    lines += ["", "## Attribute write on an indexed object (`age`)", "", "| write | µs per write |", "|---|---:|"]
    for label, t in res["writes"].items():
        lines.append(f"| {label} | {t * 1e6:.2f} |")
    lines += ["", "## Memory (bytes per object)", "",
              "RSS deltas are taken after a collection and `malloc_trim`; tracemalloc sees only Python's "
              "allocators, not the engine's C++ allocations.", "", "| what | bytes/object |", "|---|---:|"]
    for label, b in res["memory"].items():
        lines.append(f"| {label} | {b:,.0f} |")
    return "\n".join(lines) + "\n"


def targets(results):
    out = []
    for res in results:
        n = res["n"]
        slow_lc, slow_peer = [], []
        for row in res["queries"]:
            t = row["times"]
            me = t["PyVorlane"]
            if "list comp" in t and t["list comp"] / me < 50:
                slow_lc.append(f"{row['query']} {t['list comp'] / me:.1f}×")
            for e in ("sqlite3", "ducks"):
                if e in t and t[e] <= me:
                    slow_peer.append(f"{row['query']} vs {e} {t[e] / me:.2f}×")
        out.append(f"- {n:,}: ≥ 50× list comp: " + ("met" if not slow_lc else "not met for " + "; ".join(slow_lc)))
        out.append(f"- {n:,}: faster than sqlite3 and ducks: "
                   + ("met" if not slow_peer else "not met for " + "; ".join(slow_peer)))
        sel = [(r["query"], r["times"]["PyVorlane"]) for r in res["queries"] if r["hits"] < n / 100]
        over = [f"{q} {t * 1e3:.3f} ms" for q, t in sel if t >= 1e-3]
        if sel:
            out.append(f"- {n:,}: selective queries (< 1% hits) under 1 ms: "
                       + ("met" if not over else "not met for " + "; ".join(over))
                       + f" (slowest {max(t for _, t in sel) * 1e3:.3f} ms)")
        rate = n / res["build"]["PyVorlane add_object_many"]
        out.append(f"- {n:,}: bulk add ≥ 1,000,000 objects/s: {'met' if rate >= 1e6 else 'not met'} ({rate:,.0f}/s)")
        mem = res["memory"]
        out.append(f"- {n:,}: index memory ≤ objects' own: "
                   f"{'met' if mem['PyVorlane index RSS'] <= mem['objects RSS'] else 'not met'} "
                   f"({mem['PyVorlane index RSS']:,.0f} vs {mem['objects RSS']:,.0f} bytes/object, RSS; "
                   f"the objects with their values: "
                   f"{mem['objects RSS'] + mem['values RSS (strings, floats, tag lists, row tuples)']:,.0f})")
        conj = next(r for r in res["queries"] if r["query"].startswith("age & city"))
        if "ducks" in conj["times"]:
            r = conj["times"]["ducks"] / conj["times"]["PyVorlane"]
            out.append(f"- {n:,}: four-way conjunction ({conj['hits']} hits) vs ducks: "
                       f"{'faster' if r > 1 else 'not faster'} ({r:.2f}×)")
    return "\n".join(out) + "\n"


def plot(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels = [r["query"] for r in results[0]["queries"]]
    cols = 4
    rows = (len(labels) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(4.2 * cols, 3.4 * rows), squeeze=False)
    sizes = [r["n"] for r in results]
    for ax, label in zip(axes.flat, labels):
        for engine in ENGINES:
            pts = [(r["n"], q["times"][engine]) for r in results for q in r["queries"]
                   if q["query"] == label and engine in q["times"]]
            if pts:
                xs, ys = zip(*pts)
                ax.plot(xs, [y * 1e3 for y in ys], marker="o", label=engine)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xticks(sizes, [f"{s:,}" for s in sizes], fontsize=7)
        ax.set_title(label, fontsize=9)
        ax.set_ylabel("ms (best)", fontsize=8)
        ax.grid(True, which="both", alpha=0.3)
    for ax in list(axes.flat)[len(labels):]:
        ax.axis("off")
    handles, names = axes.flat[0].get_legend_handles_labels()
    fig.legend(handles, names, loc="lower right", fontsize=9)
    fig.suptitle("Query time against the number of objects (log-log), collect included")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--large", action="store_true", help="also 10,000,000 objects")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--engines", nargs="+", default=BASELINES, choices=BASELINES,
                        help="baselines to run next to PyVorlane (the list comprehension always runs)")
    parser.add_argument("--out", type=Path, default=ROOT / "bench" / "results")
    args = parser.parse_args()
    sizes = sorted(set(args.sizes + ([10_000_000] if args.large else [])))
    engines = set(args.engines) | {"PyVorlane", "list comp"}
    args.out.mkdir(parents=True, exist_ok=True)

    mach = machine()
    print(f"{mach['cpu']}, {mach['cores']} cores, Python {mach['python']}, PyVorlane {PyVorlane.__file__}")
    stamp = datetime.datetime.now().strftime("%Y-%m-%d-%H%M")
    results = []
    for n in sizes:
        res = run_size(n, args.seed, engines, lambda s: print(s, flush=True))
        results.append(res)
        text = table(res, mach, args.seed)
        path = args.out / f"{stamp}-{n}.md"
        path.write_text(text)
        print("\n" + text + f"(written to {path})")
    summary = targets(results)
    print("\n## Targets\n\n" + summary)
    (args.out / f"{stamp}-targets.md").write_text("# Targets\n\n" + summary)
    (args.out / f"{stamp}.json").write_text(json.dumps({"machine": mach, "seed": args.seed, "results": results},
                                                        indent=1))
    if len(results) > 1:
        png = args.out / f"{stamp}-query-time.png"
        plot(results, png)
        print(f"plot written to {png}")


if __name__ == "__main__":
    sys.exit(main())
