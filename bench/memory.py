"""Memory of objects and indexes: RSS deltas, per case, each case in a fresh process.

    .venv/bin/python bench/memory.py [--objects 1000000] [--large] [--out docs/memory.json]

Cases (every figure is an RSS delta after `gc.collect()` and `malloc_trim(0)`):

- many small indexes: 200 indexes of 10 objects each, picked at random among a million
  live objects (so their ids are spread over the whole id range);
- nested holders: one index over 10,000 holders that each hold one nested object, in a
  process holding a million objects;
- an object with six scalar attributes (two ints, a float, two short strings, a bool),
  values included, next to a plain class with `__dict__` and one with `__slots__`;
- an object with 23 attributes (8 ints, 8 floats, 5 strings, a bool and None; strings
  shared among objects as Python shares them), next to `__dict__` and `__slots__` objects
  holding the same values;
- graph rounds: a tree of 100,000 nodes linked both ways (`parent`, `children`) is built,
  bulk added, queried and dropped with its index, then `gc.collect()`; ten rounds, and the
  RSS growth from the end of the first round to the end of the last;
- the benchmark's objects (seven attributes and a list of tags): the objects with their
  values, and the index built by one bulk add;
- with --large: 10,000,000 of the benchmark's objects bulk added (peak RSS of the whole
  process), and whether 20,000,000 fit.

Each case runs in its own interpreter so that one case's heap does not hide another's.
Prints a Markdown table; --out also writes the figures as JSON.
"""
import argparse
import json
import random
import resource
import subprocess
import sys

from common import DictPerson, Person, bulk, iter_rows, make_people, rss, slotted, timed_once


def peak_rss():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def bench_people(n):
    """The suite's objects, made from its rows one at a time (seed 1), so that the rows are never
    all held at once."""
    return make_people(iter_rows(n, 1, tags_last=True))


# ---------------------------------------------------------------- cases (child side)

def case_small_indexes(objects):
    people = [Person(age=i % 100, score=i * 0.5, city=f"c{i % 50}", active=i % 2 == 0) for i in range(objects)]
    rng = random.Random(7)
    groups = [rng.sample(people, 10) for _ in range(200)]
    before = rss()
    elapsed, indexes = timed_once(lambda: [bulk(group) for group in groups], quiet=False)
    grown = rss() - before
    assert all(len(ix.collect()) == 10 for ix in indexes)
    assert indexes[0].reduced(age=groups[0][0].age).collect()
    return {"200 indexes of 10 objects: MB": grown / 1e6, "200 indexes of 10 objects: s": elapsed}


def case_nested_holders(objects):
    people = [Person(age=i % 100, city=f"c{i % 50}") for i in range(objects)]
    holders = [Person(n=i, inner=Person(v=i % 10, label=f"l{i % 7}")) for i in range(10_000)]
    before = rss()
    index = bulk(holders)
    grown = rss() - before
    assert len(index.reduced(**{"inner.v": 3}).collect()) == 1_000
    del people
    return {"10,000 holders with a nested object: MB": grown / 1e6}


def case_six_scalars(objects):
    Slotted = slotted("Slotted", ("a", "b", "c", "d", "e", "f"))

    # Values are made per object (distinct ints, floats and strings), as real data would be.
    def values(i):
        return dict(a=i * 7 + 1000, b=i * 0.25, c=f"n{i}", d=f"k{i % 1000}x", e=i % 3 == 0, f=-i - 1000)

    out = {}
    for label, make in (("Indexable", lambda i: Person(**values(i))),
                        ("plain class with __dict__", lambda i: DictPerson(**values(i))),
                        ("class with __slots__", lambda i: Slotted(**values(i)))):
        before = rss()
        kept = [make(i) for i in range(objects)]
        out[f"six scalars, {label}: B/object"] = (rss() - before - 8 * objects) / objects  # minus the list
        del kept
    return out


def case_twenty_three(objects):
    names = [f"i{k}" for k in range(8)] + [f"f{k}" for k in range(8)] + [f"s{k}" for k in range(5)] + ["flag", "none"]
    Slotted = slotted("Slotted", names)

    words = [f"word{k}" for k in range(200)]  # strings many objects share, as read from a file

    def values(i):
        row = {f"i{k}": i * 8 + k + 1000 for k in range(8)}
        row.update({f"f{k}": i * 0.5 + k + 0.25 for k in range(8)})
        row.update({f"s{k}": words[(i * 7 + k) % len(words)] for k in range(5)})
        row.update(flag=i % 2 == 0, none=None)
        return row

    out = {}
    for label, make in (("Indexable", Person), ("plain class with __dict__", DictPerson),
                        ("class with __slots__", Slotted)):
        before = rss()
        kept = [make(**values(i)) for i in range(objects)]
        out[f"23 attributes, {label}: B/object"] = (rss() - before - 8 * objects) / objects  # minus the list
        del kept
    out["23 attributes, Indexable / __slots__"] = (out["23 attributes, Indexable: B/object"] /
                                                   out["23 attributes, class with __slots__: B/object"])
    return out


def case_graph_rounds(objects):
    def one_round():
        root = Person(name="root", depth=0, parent=None, children=[])
        nodes = [root]
        for i in range(1, objects):
            parent = nodes[(i - 1) // 3]
            node = Person(name=f"n{i}", depth=parent.depth + 1, parent=parent, children=[])
            parent.children.append(node)
            nodes.append(node)
        index = bulk(nodes)
        assert len(index.reduced(**{"parent.name": "root"}).collect()) == 3
        del index, nodes, root, parent, node

    one_round()
    first = rss()
    for _ in range(9):
        one_round()
    return {"graph rounds: RSS growth after the first round, %": (rss() - first) / first * 100}


def case_bench_class(objects):
    before = rss()
    people = bench_people(objects)
    made = rss() - before
    before = rss()
    index = bulk(people)
    indexed = rss() - before
    assert len(index.collect()) == objects
    return {"benchmark class, objects with values: B/object": (made - 8 * objects) / objects,
            "benchmark class, index: B/object": indexed / objects}


def case_large(objects):
    people = bench_people(objects)
    index = bulk(people)
    assert len(index.reduced(age=42).collect()) > 0
    return {f"{objects:,} benchmark objects bulk added: peak GiB": peak_rss() / 2**30}


CASES = {
    "small_indexes": case_small_indexes,
    "nested_holders": case_nested_holders,
    "six_scalars": case_six_scalars,
    "twenty_three": case_twenty_three,
    "graph_rounds": case_graph_rounds,
    "bench_class": case_bench_class,
    "large": case_large,
}


# ---------------------------------------------------------------- driver

def run_case(name, objects):
    cmd = [sys.executable, __file__, "--child", name, "--objects", str(objects)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        return None, (proc.stderr.strip().splitlines() or [f"exit {proc.returncode}"])[-1]
    return json.loads(proc.stdout.strip().splitlines()[-1]), None


TARGETS = {
    "200 indexes of 10 objects: MB": 20,
    "200 indexes of 10 objects: s": 0.2,
    "10,000 holders with a nested object: MB": 10,
    "six scalars, Indexable: B/object": 350,
    "23 attributes, Indexable / __slots__": 1.0,
    "graph rounds: RSS growth after the first round, %": 5,
    "benchmark class, index: B/object": 400,
    "10,000,000 benchmark objects bulk added: peak GiB": 10,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objects", type=int, default=1_000_000)
    parser.add_argument("--large", action="store_true", help="also 10M bulk add and the 20M fit check")
    parser.add_argument("--out", help="write the figures as JSON here")
    parser.add_argument("--md", help="write the table as Markdown here")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child:
        print(json.dumps(CASES[args.child](args.objects)))
        return

    plan = [("small_indexes", args.objects), ("nested_holders", args.objects),
            ("six_scalars", args.objects), ("twenty_three", max(args.objects // 5, 1)),
            ("graph_rounds", max(args.objects // 10, 1)), ("bench_class", args.objects)]
    if args.large:
        plan += [("large", 10_000_000), ("large", 20_000_000)]
    figures, failures = {}, {}
    for name, n in plan:
        print(f"  {name} ({n:,}) ...", file=sys.stderr, flush=True)
        got, err = run_case(name, n)
        if got is None:
            failures[f"{name} ({n:,})"] = err
        else:
            figures.update(got)

    lines = ["| case | measured | target |", "|---|---:|---:|"]
    for label, value in figures.items():
        target = TARGETS.get(label)
        mark = "" if target is None else (f"≤ {target:g} " + ("met" if value <= target else "**not met**"))
        lines.append(f"| {label} | {value:,.2f} | {mark} |")
    for label, err in failures.items():
        lines.append(f"| {label} | failed: {err} | |")
    print("\n".join(lines))
    if args.md:
        with open(args.md, "w") as f:
            f.write("\n".join(lines) + "\n")
    if args.out:
        with open(args.out, "w") as f:
            json.dump({"figures": figures, "failures": failures}, f, indent=1)


if __name__ == "__main__":
    main()
