"""Groups: answers by group and totals, the suite's "Groups" section (run by bench/suite.py).

On the suite's objects (`city` out of 50 values, `age` an int, `score` a float), PyVorlane's

- `group_by("city").mean("score")` and `group_by("city").sum("age")`, on the whole index
  and on the view `idx.reduced_query(bt("age", 41, 42))` (about 2% of the objects, made
  beforehand, untimed),
- `sum("age")` over the whole index,

next to a Python loop over the list of the objects (dicts of sums and counts; for the view
it filters as it goes) and to pandas `groupby`, polars `group_by` (lazy, so that only the
columns asked for are read) and DuckDB `GROUP BY` over their own copies (bench/peers.py),
which filter and then group for the view's questions, and sum the column for the total.
Every answer is a list of (city, result) pairs (a number for the total) and is checked
against the exact figures (ints summed exactly, scores by `math.fsum`), means within a
relative 1e-9 as each engine adds its floats in its own order; PyVorlane's pairs must also
come in count_by's order. A difference aborts the run.
"""
import math
from collections import Counter

from PyVorlane import PyQueryExpr as Q

from common import best, fail, fmt_ratio, md_row, speed_verdict
from peers import G_MEAN, G_MEAN_VIEW, G_SUM, G_SUM_VIEW, G_TOTAL, GROUP_LABELS, GROUP_VIEW_AGES

PYTHON = "Python loop"
ENGINES = [PYTHON, "pandas", "polars", "DuckDB"]
WHOLE, VIEW = "whole index", "2% view"
# (label, the call, over, attribute grouped on, attribute totalled, "mean" or "sum")
QUESTIONS = [
    (G_MEAN, 'group_by("city").mean("score")', WHOLE, "city", "score", "mean"),
    (G_SUM, 'group_by("city").sum("age")', WHOLE, "city", "age", "sum"),
    (G_MEAN_VIEW, 'group_by("city").mean("score")', VIEW, "city", "score", "mean"),
    (G_SUM_VIEW, 'group_by("city").sum("age")', VIEW, "city", "age", "sum"),
    (G_TOTAL, 'sum("age")', WHOLE, None, "age", "sum"),
]
MEAN_TOLERANCE = 1e-9

# Targets (set for 1,000,000 objects, the suite's TARGET_SIZE).
GROUP_SECONDS = 5e-3        # group_by over the whole index, and faster than FAST_PEERS
FAST_PEERS = ("polars", "DuckDB")
VIEW_SECONDS = 1e-3         # group_by over the 2% view
TOTAL_SECONDS = 0.5e-3      # sum("age")


def in_view(p):
    lo, hi = GROUP_VIEW_AGES
    return lo <= p.age <= hi


def view_of(idx):
    return idx.reduced_query(Q.bt("age", *GROUP_VIEW_AGES))


# ---------------------------------------------------------------- the reference and the checks

def reference(people):
    """The exact answers (untimed), by label: {city: result} for the groups, a number for the
    total; and the count_by order of the cities over the whole list and over the view."""
    out, order = {}, {}
    for over, objs in ((WHOLE, people), (VIEW, [p for p in people if in_view(p)])):
        counts = Counter(p.city for p in objs)
        order[over] = [c for c, _ in sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))]
        scores, ages = {}, {}
        for p in objs:
            scores.setdefault(p.city, []).append(p.score)
            ages[p.city] = ages.get(p.city, 0) + p.age
        for label, _, o, by, attr, how in QUESTIONS:
            if o != over:
                continue
            if by is None:
                out[label] = sum(ages.values())
            elif attr == "score":
                out[label] = {c: math.fsum(v) / counts[c] for c, v in scores.items()}
            else:
                out[label] = dict(ages)
    return out, order


def difference(got, want, order=None):
    """Why `got` is not the answer `want` (see reference), or None when it is. With `order`,
    the pairs must also come in that order of their groups."""
    if not isinstance(want, dict):
        if isinstance(got, bool) or not isinstance(got, int) or got != want:
            return f"{got!r}, not {want!r}"
        return None
    try:
        pairs = [(k, v) for k, v in got]
    except (TypeError, ValueError):
        return f"{type(got).__name__}, not a list of (group, result) pairs"
    mine = dict(pairs)
    if len(mine) != len(pairs) or set(mine) != set(want):
        return f"{len(pairs)} groups {sorted(map(str, mine))[:3]}..., not {len(want)} {sorted(want)[:3]}..."
    for k, w in want.items():
        v = mine[k]
        if isinstance(w, int):
            ok = isinstance(v, int) and not isinstance(v, bool) and v == w
        else:
            ok = isinstance(v, float) and math.isclose(v, w, rel_tol=MEAN_TOLERANCE)
        if not ok:
            return f"{v!r} for {k!r}, not {w!r}"
    if order is not None and [k for k, _ in pairs] != order:
        return f"groups in the order {[k for k, _ in pairs][:5]}..., count_by's is {order[:5]}..."
    return None


def _check(n, engine, label, got, want, order=None):
    why = difference(got, want, order)
    if why is not None:
        fail(n, f"{engine} answers {label} with {why}")


# ---------------------------------------------------------------- PyVorlane and the Python loop

def pyvorlane_cases(idx, view):
    return {
        G_MEAN: lambda: idx.group_by("city").mean("score"),
        G_SUM: lambda: idx.group_by("city").sum("age"),
        G_MEAN_VIEW: lambda: view.group_by("city").mean("score"),
        G_SUM_VIEW: lambda: view.group_by("city").sum("age"),
        G_TOTAL: lambda: idx.sum("age"),
    }


def loop_mean(objs):
    sums, counts = {}, {}
    for p in objs:
        c = p.city
        sums[c] = sums.get(c, 0.0) + p.score
        counts[c] = counts.get(c, 0) + 1
    return [(c, s / counts[c]) for c, s in sums.items()]


def loop_sum(objs):
    sums = {}
    for p in objs:
        c = p.city
        sums[c] = sums.get(c, 0) + p.age
    return list(sums.items())


def python_cases(people):
    """The Python loops over the list of the objects; the view's filter as they go."""
    return {
        G_MEAN: lambda: loop_mean(people),
        G_SUM: lambda: loop_sum(people),
        G_MEAN_VIEW: lambda: loop_mean(p for p in people if in_view(p)),
        G_SUM_VIEW: lambda: loop_sum(p for p in people if in_view(p)),
        G_TOTAL: lambda: sum(p.age for p in people),
    }


def measure(n, people, idx, log=print):
    """PyVorlane and the Python loop at one size. Returns the section (its rows, which the
    peers add their times to with measure_peer) and the reference the peers are checked against."""
    view = view_of(idx)
    want, order = reference(people)
    if len(view) != sum(1 for p in people if in_view(p)):
        fail(n, f"the view age bt{GROUP_VIEW_AGES} holds {len(view):,} objects, not the list's")
    section = {"view objects": len(view), "rows": []}
    mine, loops = pyvorlane_cases(idx, view), python_cases(people)
    for label, call, over, by, _, _ in QUESTIONS:
        row = {"question": label, "call": call, "over": over,
               "groups": len(want[label]) if by else None, "times": {}}
        row["times"]["PyVorlane"], got = best(mine[label])
        _check(n, "PyVorlane", label, got, want[label], order[over] if by else None)
        row["times"][PYTHON], got = best(loops[label], max_runs=5)
        _check(n, PYTHON, label, got, want[label])
        section["rows"].append(row)
        log(f"  {label:<44}PyVorlane {row['times']['PyVorlane'] * 1e3:.3f} ms  "
            f"{PYTHON} {row['times'][PYTHON] * 1e3:.3f} ms")
    return section, want


def measure_peer(n, peer, section, want):
    """Asks a built peer the questions it answers (peer.groups()), each checked, and adds its times."""
    rows = {r["question"]: r for r in section["rows"]}
    asked = peer.groups()
    unknown = set(asked) - set(GROUP_LABELS)
    if unknown:
        fail(n, f"{peer.name} answers unknown group questions: {sorted(unknown)}")
    for label, fn in asked.items():
        t, got = best(fn)
        _check(n, peer.name, label, got, want[label])
        rows[label]["times"][peer.name] = t


# ---------------------------------------------------------------- table and targets

def _ms(t):
    return "n/a" if t is None else f"{t * 1e3:.4f}" if t < 1e-4 else f"{t * 1e3:.3f}"


def columns(section, skipped=()):
    """The engines of the table: those with a time, and the peers skipped for memory."""
    return [e for e in ENGINES if e in skipped or any(e in r["times"] for r in section["rows"])]


def table(section, skipped=()):
    """The lines of the "Groups" table of one size; `skipped` names the peers not built there."""
    cols = columns(section, skipped)
    lines = [f"Best of several runs, in ms; the view is `age bt{GROUP_VIEW_AGES}` "
             f"({section['view objects']:,} objects), made beforehand for PyVorlane; the Python loop, pandas, "
             "polars and DuckDB filter and then group for it. A ratio is the other engine's time over "
             "PyVorlane's (above 1× PyVorlane is faster). Every answer is checked against the exact one.", "",
             "| call | over | groups | PyVorlane ms | " + " | ".join(f"{e} ms | ×{e}" for e in cols) + " |",
             "|---|---|---:|---:|" + "---:|---:|" * len(cols)]
    for r in section["rows"]:
        me = r["times"].get("PyVorlane")
        cells = [f"`{r['call']}`", r["over"], "" if r["groups"] is None else f"{r['groups']:,}", _ms(me)]
        for e in cols:
            t = r["times"].get(e)
            cells += ["skipped"] * 2 if e in skipped else [_ms(t), fmt_ratio(t, me)]
        lines.append(md_row(cells))
    return lines


def verdicts(section):
    """(target, verdict, detail) for each target of the section; the verdict None where the
    section lacks what the target needs."""
    rows = {r["question"]: r for r in section["rows"]}
    out = []

    def within(what, labels, limit, peers=()):
        mine = [rows[q] for q in labels if q in rows and "PyVorlane" in rows[q]["times"]]
        if len(mine) < len(labels):
            out.append((what, None, ""))
            return
        over, slow, missing, parts = speed_verdict(mine, lambda r: r["question"], _ms, peers, lambda t: t > limit)
        if missing:
            parts.append(f"{' and '.join(sorted(missing))} not run")
        ok = False if over or slow else None if missing else True
        out.append((what, ok, "; ".join(parts)))

    within(f'group_by("city") over the whole index ≤ {GROUP_SECONDS * 1e3:g} ms and faster than '
           + " and ".join(FAST_PEERS), [G_MEAN, G_SUM], GROUP_SECONDS, FAST_PEERS)
    within(f'group_by("city") over the 2% view ≤ {VIEW_SECONDS * 1e3:g} ms', [G_MEAN_VIEW, G_SUM_VIEW], VIEW_SECONDS)
    within(f'sum("age") ≤ {TOTAL_SECONDS * 1e3:g} ms', [G_TOTAL], TOTAL_SECONDS)
    return out
