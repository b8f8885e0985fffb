"""What the benchmark scripts share: the objects and the rows they are made from, the timers,
the checks and measures every script takes alike, and the writers of the Markdown tables and
of the sections of docs/benchmarks.md.

The scripts run as `python bench/<name>.py`, which puts bench/ first on sys.path, so that
`import common` (and `import peers`) finds this folder's modules; the tests put bench/ on the
path themselves. The peers (sqlite3, ducks, pandas, polars, DuckDB) are in bench/peers.py.
"""
import ctypes
import gc
import json
import os
import platform
import random
import sqlite3
import statistics
import string
import subprocess
import sys
import time
from pathlib import Path

from PyVorlane import Index, Indexable, PyQueryExpr as Q

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs" / "benchmarks.md"


# ---------------------------------------------------------------- objects

class Person(Indexable):
    """The benchmarks' object: whatever attributes its row gives it."""


# The attributes of the objects the suite's everyday reads and writes use: the eight of a
# row and `friend`, a nested object.
ATTRS = ("id", "age", "score", "name", "city", "active", "group", "tags", "friend")


def slotted(name, attrs, doc=None):
    """A plain Python class with `__slots__` for `attrs`, made from keyword arguments."""
    def __init__(self, **values):
        for k, v in values.items():
            setattr(self, k, v)
    return type(name, (), {"__slots__": tuple(attrs), "__init__": __init__, "__doc__": doc})


SlotsPerson = slotted("SlotsPerson", ATTRS,
                      "A plain Python object with `__slots__`: the reference cost of an attribute read or write.")


class DictPerson:
    """A plain Python object with a `__dict__`."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)


# ---------------------------------------------------------------- rows

CITIES = [f"city{i:02d}" for i in range(50)]
# Tags follow a skewed popularity so that the rarest one ("vip") is a selective query.
TAGS = ["new", "regular", "sports", "music", "travel", "books", "food", "tech", "art", "vip"]
TAG_WEIGHTS = [30, 20, 15, 10, 8, 6, 5, 3, 2, 1]
# The few-valued attribute that makes the suite's four-way conjunction: "member" is common
# (90%), so age x city x active x group hits about 1 in 11,000 (about 180 at 2M).
GROUPS = ["member", "staff", "admin"]
GROUP_WEIGHTS = [90, 7, 3]


def _tags(rng):
    return list(dict.fromkeys(rng.choices(TAGS, weights=TAG_WEIGHTS, k=rng.randint(1, 3))))


def iter_rows(n, seed, tags_last=False):
    """The suite's rows (id, age, score, name, city, active, group, tags), one at a time, so that
    objects can be made from them without holding them all. The id is the position.

    With `tags_last` each row's tags are drawn after its other values, the order bench/memory.py
    has always used: the same distributions, other rows for the same seed."""
    rng = random.Random(seed)
    letters = string.ascii_lowercase
    for i in range(n):
        tags = None if tags_last else _tags(rng)
        age, score = rng.randrange(100), rng.random() * 100.0
        name = "".join(rng.choices(letters, k=rng.randint(5, 12)))
        city, active = rng.choice(CITIES), rng.random() < 0.5
        group = rng.choices(GROUPS, weights=GROUP_WEIGHTS)[0]
        yield i, age, score, name, city, active, group, (_tags(rng) if tags_last else tags)


def make_rows(n, seed):
    return list(iter_rows(n, seed))


def make_people(rows):
    return [Person(id=a, age=b, score=c, name=d, city=e, active=f, group=g, tags=t)
            for a, b, c, d, e, f, g, t in rows]


def six_attribute_rows(n, seed):
    """Rows (id, age, score, name, city, active), one at a time, as bench/query_bench.py and
    bench/bulk_bench.py draw them: no group and no tags, and each name drawn letter by letter."""
    rng = random.Random(seed)
    letters = string.ascii_lowercase
    for i in range(n):
        yield (i, rng.randrange(100), rng.random() * 100,
               "".join(rng.choice(letters) for _ in range(rng.randint(5, 12))), rng.choice(CITIES), rng.random() < 0.5)


# ---------------------------------------------------------------- indexes

def bulk(objs):
    idx = Index()
    idx.add_object_many(objs)
    return idx


def one_by_one(objs):
    """Adds `objs` one at a time. Their numbers and strings wait in each structure to enter
    it in sorted groups at its next read: one query per attribute reads them all in, so the
    time includes what the adds left waiting."""
    idx = Index()
    add = idx.add_object
    for o in objs:
        add(o)
    read_every_attribute(idx)
    return idx


def read_every_attribute(idx):
    """A query on each of the benchmark objects' attributes (of `Person`): every structure
    carries out what waits in it."""
    len(idx.reduced_query(Q.gt("id", -1)))
    len(idx.reduced_query(Q.gt("age", -1)))
    len(idx.reduced_query(Q.gt("score", -1.0)))
    for attr, value in (("name", "a"), ("city", CITIES[0]), ("group", GROUPS[0]), ("tags", TAGS[0])):
        len(idx.reduced_query(Q.eq(attr, value)))


# ---------------------------------------------------------------- timers
# Quiet timings (the default) start from a collection and run with the collector off, so that
# no collection of unrelated garbage lands in them, and let go of an answer outside them. The
# scripts that have always timed a plain `perf_counter()` around the call pass quiet=False: the
# collector is left as it is (on, and what the timed code sets off counts), and a run's time
# includes letting go of the answer before it. The two give different figures for the same
# call (a collection just before a short query changes its time), so a script keeps its way.

def timed_once(fn, quiet=True):
    """The seconds of one call of fn, and what it returned."""
    if quiet:
        gc.collect()
        gc.disable()
    try:
        t0 = time.perf_counter()
        result = fn()
        return time.perf_counter() - t0, result
    finally:
        if quiet:
            gc.enable()


def runs(fn, min_runs, max_runs, budget, quiet=True):
    """The times of several runs of fn and its last result: at least min_runs, more while they
    stay under the budget (seconds), at most max_runs (min_runs == max_runs: that many)."""
    times = []
    result = None
    if quiet:
        gc.collect()
        gc.disable()
    try:
        start = time.perf_counter()
        while len(times) < min_runs or (len(times) < max_runs and time.perf_counter() - start < budget):
            if quiet:
                result = None
            t0 = time.perf_counter()
            result = fn()
            times.append(time.perf_counter() - t0)
    finally:
        if quiet:
            gc.enable()
    return times, result


def best(fn, min_runs=3, max_runs=30, budget=0.3, quiet=True):
    """Best of several runs (as `runs`) and the last result."""
    times, result = runs(fn, min_runs, max_runs, budget, quiet)
    return min(times), result


def median_time(fn, min_runs=3, max_runs=21, budget=0.5):
    """Median of several runs (as `runs`) and the last result."""
    times, result = runs(fn, min_runs, max_runs, budget)
    return statistics.median(times), result


# ---------------------------------------------------------------- checks and measures

def same_objects(got, want):
    """The same objects, in any order."""
    return len(got) == len(want) and sorted(map(id, got)) == sorted(map(id, want))


def log(s):
    print(s, flush=True)


def fail(n, what):
    raise SystemExit(f"FAIL at {n:,}: {what}")


def release_pools():
    """Hands pyarrow's freed memory back to the system (pandas' strings and DuckDB's load use
    its pool), so that an RSS figure taken after it is not hiding or keeping a peer's bytes."""
    pa = sys.modules.get("pyarrow")
    if pa is not None:
        pa.default_memory_pool().release_unused()


_LIBC = ctypes.CDLL("libc.so.6")
_PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    """The process's resident bytes after a collection, `malloc_trim(0)` and, where pyarrow is
    loaded, the release of its pool."""
    release_pools()
    gc.collect()
    _LIBC.malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE


def machine():
    """The machine, interpreter, commit and peer versions of a run, as its tables show them."""
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
    from importlib.metadata import PackageNotFoundError, version

    def installed(name):
        try:
            return version(name)
        except PackageNotFoundError:
            return "not installed"
    return {
        "cpu": model, "cores": os.cpu_count(), "memory GiB": round(mem_kib / 2**20, 1),
        "python": platform.python_version(), "os": platform.platform(), "commit": commit,
        "versions": {name: installed(name) for name in
                     ["ducks", "pandas", "numpy", "polars", "duckdb", "pyarrow"]} | {
            "sqlite": sqlite3.sqlite_version},
    }


# ---------------------------------------------------------------- tables and docs

VERDICTS = {True: "met", False: "not met", None: "not measured"}


def target_lines(verdicts):
    """One Markdown list line a target: `verdicts` holds (where, target, verdict, detail)."""
    return "".join(f"- {where}: {what}: {VERDICTS[ok]}" + (f" ({detail})" if detail else "") + "\n"
                   for where, what, ok, detail in verdicts)


def fmt_ms(t):
    return "n/a" if t is None else f"{t * 1e3:.3f}"


def fmt_ratio(base, t):
    """How many times `t` goes into `base` (the other engine's time over PyVorlane's); below 0.1,
    two significant digits (not a bare "0.0×")."""
    if base is None or t is None:
        return "n/a"
    r = base / t
    return f"{r:,.0f}×" if r >= 100 else f"{r:.1f}×" if r >= 0.095 else f"{r:.2g}×"


def speed_verdict(rows, label, fmt, peers, over_limit):
    """Whether rows timed against peers keep to a time limit and beat every peer that ran, and
    the words why: (over, slow, missing peers, detail). Each row's `times` holds seconds by
    engine, PyVorlane's among them; `label(row)` names a row, `fmt(t)` writes a time in ms,
    `over_limit(t)` says whether PyVorlane's time misses the limit."""
    over, slow, ratios, missing = [], [], [], set()
    for r in rows:
        me = r["times"]["PyVorlane"]
        if over_limit(me):
            over.append(f"{label(r)} {fmt(me)} ms")
        for e in peers:
            if e not in r["times"]:
                missing.add(e)
                continue
            x = r["times"][e] / me
            ratios.append((x, f"{label(r)} vs {e}"))
            if x <= 1:
                slow.append(f"{label(r)} vs {e} {x:.2f}×")
    worst = max(rows, key=lambda r: r["times"]["PyVorlane"])
    parts = [f"over for {'; '.join(over)}" if over else f"slowest {label(worst)} {fmt(worst['times']['PyVorlane'])} ms"]
    if slow:
        parts.append("not faster for " + "; ".join(slow))
    elif ratios:
        parts.append(f"closest {min(ratios)[1]} {min(ratios)[0]:,.1f}×")
    return over, slow, missing, parts


def md_row(cells):
    return "| " + " | ".join(cells) + " |"


def run_line(date, seed, mach, versions=None):
    """Where a run's figures come from: its date, seed and commit, then the machine and the
    versions named in `versions` ("?" for one the run did not record; all it recorded by default)."""
    recorded = mach.get("versions", {})
    names = list(recorded) if versions is None else versions
    return (f"{date}, seed {seed}, commit {mach['commit']}; {mach['cpu']}, {mach['cores']} cores, "
            f"{mach['memory GiB']} GiB, Python {mach['python']}; "
            + ", ".join(f"{name} {recorded.get(name, '?')}" for name in names) + ".")


def report_head(res, level, heading, script, versions):
    """The first lines of the report of a script run with --size: its title at `level`, and the
    command, date, seed, commit, machine and `versions` its figures come from."""
    return [f"{'#' * level} {heading}", "",
            f"`bench/{script} --size {res['n']}`: " + run_line(res["date"], res["seed"], res["machine"], versions),
            ""]


def put_section(doc, heading, section, before=None):
    """`doc` with its "## heading" section (up to the next level-2 heading) replaced by `section`;
    without one, `section` goes before the "## before" section where there is one, else at the
    end. Headings inside fenced code blocks are not headings."""
    lines = doc.splitlines()
    mine = f"## {heading}"
    anchor_heading = None if before is None else f"## {before}"
    fence = False
    start = end = anchor = None
    for i, line in enumerate(lines):
        if line.startswith("```"):
            fence = not fence
        if fence:
            continue
        if start is None and line.rstrip() == mine:
            start = i
        elif start is not None and end is None and line.startswith("## "):
            end = i
        if anchor is None and line.rstrip() == anchor_heading:
            anchor = i
    new = section.rstrip("\n").splitlines()
    if start is not None:
        rest = lines[end:] if end is not None else []
        lines = lines[:start] + new + ([""] + rest if rest else [])
    elif anchor is not None:
        lines = lines[:anchor] + new + [""] + lines[anchor:]
    else:
        while lines and not lines[-1].strip():
            lines.pop()
        lines += ([""] if lines else []) + new
    return "\n".join(lines) + "\n"


def add_report_args(parser, heading):
    """--out, --docs and --report, for a script whose tables are also a section of the docs."""
    parser.add_argument("--out", type=Path, default=ROOT / "bench" / "results")
    parser.add_argument("--docs", type=Path, nargs="?", const=DOCS, metavar="PATH",
                        help=f"also put the tables into the '## {heading}' section of this file "
                             f"(default {DOCS.relative_to(ROOT)})")
    parser.add_argument("--report", type=Path, metavar="JSON",
                        help="no run: the tables of a run's JSON (with --docs, into the docs)")


def run_or_report(args, name, report, run, heading, before=None):
    """The rest of the main() of a script with add_report_args: with --report, prints the tables
    of that JSON; else prints the machine, measures (`run(machine)` returns the results) and
    writes the tables and results to --out as <name>.md and <name>.json. With --docs, the tables
    also go into the docs, as the "## heading" section (see put_section). `report(res, level)`
    makes the tables. Returns the results."""
    if args.report:
        res = json.loads(args.report.read_text())
        print(report(res), end="")
    else:
        mach = machine()
        print(f"{mach['cpu']}, {mach['cores']} cores, Python {mach['python']}", flush=True)
        res = run(mach)
        text = report(res)
        args.out.mkdir(parents=True, exist_ok=True)
        (args.out / f"{name}.md").write_text(text)
        (args.out / f"{name}.json").write_text(json.dumps(res, indent=1))
        print("\n" + text + f"(written to {args.out / f'{name}.md'} and {name}.json)")
    if args.docs:
        path = args.docs
        path.write_text(put_section(path.read_text() if path.exists() else "", heading, report(res, level=2), before))
        print(f"section '## {heading}' written to {path}")
    return res
