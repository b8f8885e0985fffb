"""Object graphs: PyVorlane over objects that hold each other, next to the same objects with ints for links.

Three graphs, each generated from the seed and built as Python objects before anything is
timed (every object an `Indexable`, every link an object reference):

- people: N people with `name` (unique), `age` (0..99) and `friends`, a list of 5 other
  people drawn at random (5N links);
- tree: N nodes with `name`, `age`, `parent` (None for the root) and `children`; node i's
  parent is drawn at random among the nodes before it (2(N - 1) links: each parent and
  each element of a children list);
- orders: N/10 customers (`name`, `age`, `country` out of 50, `orders`: exactly their orders)
  and N orders (`amount`, `customer`), each order's customer drawn at random (2N links); the
  countries are drawn after everything else, so the rest is what it was without them.

Each graph has a flat baseline: as many objects with the same attributes and shapes, every
link replaced by the linked object's position (an int; the root's parent stays None).

Measured per graph, one graph at a time (each freed before the next is built):

- bulk add, `Index().add_object_many(all its objects)`, best of several builds, against the
  flat baseline's; the index's memory (RSS growth over its first build, after a collection
  and `malloc_trim`) and the bytes per link beyond the flat baseline's index;
- dotted queries (`friends.name`, `friends.friends.age`, `parent.parent.name`, and
  `customer.name` over an index of the orders alone), the median of several runs, each
  returning the list of objects. Every answer is checked against a list comprehension over
  the same objects that gives the path the same meaning (a step through a list means "some
  element": `friends.friends.age == x` is "some friend has some friend aged x"), and against
  sqlite3 and DuckDB holding the same graph as tables (people and a friend link table;
  parent and customer as columns, of which children and a customer's orders are the
  inverse), with an index on every join and filter column, queried with joins (through
  the friend table as `IN` subqueries: at 1,000,000 people `friends.friends.age` took
  about 0.8× (sqlite3) and 0.9× (DuckDB) the time of the same joins with `DISTINCT`);
  their answers are ids, mapped to the objects through the list. Their build (from the
  generator's rows) is reported apart; the ratios are query times only;
- answers through a link, over the index of the orders alone: `count_by("customer.country")`,
  `group_by("customer.country").mean("amount")` and `order_by("customer.age", limit=10)`, the
  median of several runs, against a Python loop over the orders (its answers are the
  reference; ties of the order left free), polars joining the two tables and grouping (or
  taking the bottom 10) and DuckDB's join with GROUP BY (or ORDER BY ... LIMIT 10);
- writes: with the orders alone indexed (customers are nested only), `customer.age = x`
  against `order.amount = x`; and `age = x` on objects of each graph's index against the
  same write in its flat baseline's.

A wrong answer is printed, marked in the tables and fails the targets it concerns; the run
still writes its results, then exits with status 1.

    .venv/bin/python bench/graph.py [--size 1000000] [--seed 1] [--graphs people tree orders]
                                    [--out bench/results] [--docs [docs/benchmarks.md]]
    .venv/bin/python bench/graph.py --report bench/results/graph.json --docs   # tables only, no run
"""
import argparse
import datetime
import heapq
import math
import random
import sys
import time
from collections import Counter

from PyVorlane import Indexable, PyQueryExpr as Q

from common import (Person, add_report_args, bulk, fmt_ms, fmt_ratio, log, md_row, median_time,
                    put_section as _put_section, report_head, rss, run_or_report, same_objects, target_lines,
                    timed_once)
from peers import GRAPH_PEERS, JOIN_PEERS, Joined

DOCS_HEADING = "Object graphs"
ENGINES = ["list comp"] + [cls.name for cls in GRAPH_PEERS]
PEERS = ENGINES[1:]
LOOP = "Python loop"
JOIN_ENGINES = [LOOP] + [cls.name for cls in JOIN_PEERS]
COUNTRIES = [f"country{i:02d}" for i in range(50)]

# Targets.
RATE_SHARE = 0.5          # bulk add of a graph at least this share of its flat baseline's rate
BYTES_PER_LINK = 40       # index memory beyond the flat baseline's, per link
NESTED_WRITE_RATIO = 1.5  # a nested object's write at most this many times a member's
LISTCOMP_RATIO = 100      # dotted queries at least this many times faster than the list comprehension
TARGET_SIZE = 1_000_000   # the size the targets are set for
GROUP_PEER = "DuckDB"     # count_by and group_by through a link faster than its join + GROUP BY
GROUP_LOOP_RATIO = 50     # and at least this many times faster than the Python loop
FIRST_SECONDS = 1e-3      # order_by through a link, limit 10
MEAN_TOLERANCE = 1e-9     # relative: each engine adds its numbers in its own order
BULK_RUNS = 3
WRITES = 20_000           # objects written (at most; a tenth of the candidates below that)


class Node(Indexable):
    pass


class Customer(Indexable):
    pass


class Order(Indexable):
    pass


def _index_and_time(objs):
    """An index over objs, the best of BULK_RUNS bulk adds (seconds), and the RSS
    growth of the first (bytes)."""
    before = rss()
    t, idx = timed_once(lambda: bulk(objs))
    grown = rss() - before
    times = [t]
    for _ in range(BULK_RUNS - 1):
        t, other = timed_once(lambda: bulk(objs))
        times.append(t)
        del other
    return idx, min(times), grown


# ---------------------------------------------------------------- graphs

class Graph:
    """One graph: its generated rows (positions for links), its objects linked or flat, its
    queries and its tables. `objects` and `links` count what an index over all of it holds."""
    name = ""
    objects = links = 0
    members_label = ""  # the build of the query index, when query_members() is not None
    # A path reaching `age` through a link, and whether an object matches it: checked after the age writes.
    nested_age = ("", None)

    def build(self, linked):
        """All the graph's objects, with object links (linked) or ints (flat)."""
        raise NotImplementedError

    def unlink(self, objs):
        """Drops the links, so that the objects (whose cycles the collector does not see) are freed."""
        raise NotImplementedError

    def query_members(self, objs):
        """The objects the queries run over, when they are not all of the graph's."""
        return None

    def queries(self, objs, rng):
        """(label, dotted path, x, list comprehension, SQL, objects the SQL ids index)."""
        raise NotImplementedError

    def tables(self):
        """([(table, [(column, type, values)])], [(table, indexed column)]); the type "id" is the key."""
        raise NotImplementedError

    def aged(self, objs):
        """The objects that have an `age`."""
        return objs

    def write_pair(self, objs, rng):
        """(nested objects, attribute, members, attribute, path to the nested attribute), or None."""
        return None

    def answers(self, objs):
        """Answers through a link over the query members: (key, call, PyVorlane's way given the
        index, the Python loop, the Joined question the peers answer)."""
        return []


def _other(rng, n, i, k):
    """k distinct positions below n, none of them i."""
    return [j + (j >= i) for j in rng.sample(range(n - 1), k)]


class People(Graph):
    name = "people"
    FRIENDS = 5
    nested_age = ("friends.age", lambda o, v: any(f.age == v for f in o.friends))

    def __init__(self, n, seed):
        rng = random.Random(seed)
        self.n = self.objects = n
        self.links = n * self.FRIENDS
        self.names = [f"p{i}" for i in range(n)]
        self.ages = [rng.randrange(100) for _ in range(n)]
        self.friends = [_other(rng, n, i, self.FRIENDS) for i in range(n)]

    def build(self, linked):
        people = [Person(name=nm, age=a) for nm, a in zip(self.names, self.ages)]
        for p, fr in zip(people, self.friends):
            p.friends = [people[j] for j in fr] if linked else fr
        return people

    def unlink(self, objs):
        for p in objs:
            p.friends = None

    def queries(self, people, rng):
        held = sorted({j for fr in self.friends for j in fr})  # people someone counts as a friend
        name = self.names[rng.choice(held)]
        age = rng.randrange(100)
        return [
            ("friends.name == x", "friends.name", name,
             lambda: [p for p in people if any(f.name == name for f in p.friends)],
             "SELECT DISTINCT src AS id FROM friend WHERE dst IN (SELECT id FROM person WHERE name = ?)",
             people),
            ("friends.friends.age == x", "friends.friends.age", age,
             lambda: [p for p in people if any(g.age == age for f in p.friends for g in f.friends)],
             "SELECT id FROM person WHERE id IN (SELECT f1.src FROM friend f1 WHERE f1.dst IN "
             "(SELECT f2.src FROM friend f2 WHERE f2.dst IN (SELECT id FROM person WHERE age = ?)))",
             people),
        ]

    def tables(self):
        src = [i for i, fr in enumerate(self.friends) for _ in fr]
        dst = [j for fr in self.friends for j in fr]
        return ([("person", [("id", "id", list(range(self.n))), ("name", str, self.names), ("age", int, self.ages)]),
                 ("friend", [("src", int, src), ("dst", int, dst)])],
                [("person", "name"), ("person", "age"), ("friend", "src"), ("friend", "dst")])


class Tree(Graph):
    name = "tree"
    nested_age = ("parent.age", lambda o, v: o.parent is not None and o.parent.age == v)

    def __init__(self, n, seed):
        rng = random.Random(seed)
        self.n = self.objects = n
        self.links = 2 * (n - 1)
        self.names = [f"n{i}" for i in range(n)]
        self.ages = [rng.randrange(100) for _ in range(n)]
        self.parents = [None] + [rng.randrange(i) for i in range(1, n)]
        self.children = [[] for _ in range(n)]
        for i, p in enumerate(self.parents):
            if p is not None:
                self.children[p].append(i)

    def build(self, linked):
        nodes = [Node(name=nm, age=a) for nm, a in zip(self.names, self.ages)]
        for v, p, kids in zip(nodes, self.parents, self.children):
            if linked:
                v.parent = None if p is None else nodes[p]
                v.children = [nodes[c] for c in kids]
            else:
                v.parent = p
                v.children = kids
        return nodes

    def unlink(self, objs):
        for v in objs:
            v.parent = None
            v.children = None

    def queries(self, nodes, rng):
        grand = [i for i, kids in enumerate(self.children) if any(self.children[c] for c in kids)]
        name = self.names[rng.choice(grand)]

        def scan():
            out = []
            for v in nodes:
                p = v.parent
                if p is not None and p.parent is not None and p.parent.name == name:
                    out.append(v)
            return out
        return [("parent.parent.name == x", "parent.parent.name", name, scan,
                 "SELECT c.id FROM node g JOIN node p ON p.parent = g.id JOIN node c ON c.parent = p.id "
                 "WHERE g.name = ?",
                 nodes)]

    def tables(self):
        return ([("node", [("id", "id", list(range(self.n))), ("name", str, self.names), ("age", int, self.ages),
                           ("parent", int, self.parents)])],
                [("node", "name"), ("node", "age"), ("node", "parent")])


class Orders(Graph):
    name = "orders"
    members_label = "PyVorlane add_object_many of the orders alone (customers nested)"
    nested_age = ("customer.age", lambda o, v: getattr(o, "customer", None) is not None and o.customer.age == v)

    def __init__(self, n, seed):
        rng = random.Random(seed)
        self.n = n
        self.nc = max(1, n // 10)
        self.objects = self.nc + n
        self.links = 2 * n
        self.names = [f"c{i}" for i in range(self.nc)]
        self.ages = [rng.randrange(100) for _ in range(self.nc)]
        self.amounts = [rng.randrange(1, 1000) for _ in range(n)]
        self.owner = [rng.randrange(self.nc) for _ in range(n)]
        self.orders = [[] for _ in range(self.nc)]
        for j, c in enumerate(self.owner):
            self.orders[c].append(j)
        # Drawn last: every draw before is the same as without countries.
        self.countries = [rng.choice(COUNTRIES) for _ in range(self.nc)]

    def build(self, linked):
        customers = [Customer(name=nm, age=a, country=k) for nm, a, k in zip(self.names, self.ages, self.countries)]
        orders = [Order(amount=a) for a in self.amounts]
        for o, c in zip(orders, self.owner):
            o.customer = customers[c] if linked else c
        for c, mine in zip(customers, self.orders):
            c.orders = [orders[j] for j in mine] if linked else mine
        return customers + orders

    def unlink(self, objs):
        for c in objs[:self.nc]:
            c.orders = None
        for o in objs[self.nc:]:
            o.customer = None

    def query_members(self, objs):
        return objs[self.nc:]

    def aged(self, objs):
        return objs[:self.nc]

    def queries(self, objs, rng):
        orders = objs[self.nc:]
        name = self.names[rng.choice([c for c, mine in enumerate(self.orders) if mine])]
        return [("customer.name == x", "customer.name", name,
                 lambda: [o for o in orders if o.customer.name == name],
                 "SELECT o.id FROM customer c JOIN orders o ON o.customer = c.id WHERE c.name = ?",
                 orders)]

    def write_pair(self, objs, rng):
        customers, orders = objs[:self.nc], objs[self.nc:]
        k = min(WRITES, len(customers))
        return rng.sample(customers, k), "age", rng.sample(orders, k), "amount", "customer.age"

    def answers(self, objs):
        orders = objs[self.nc:]
        by_count = lambda kv: (-kv[1], kv[0])  # noqa: E731  count_by's order

        def count():
            return sorted(Counter(o.customer.country for o in orders).items(), key=by_count)

        def mean():
            sums, counts = {}, {}
            for o in orders:
                k = o.customer.country
                sums[k] = sums.get(k, 0) + o.amount
                counts[k] = counts.get(k, 0) + 1
            return [(k, sums[k] / c) for k, c in sorted(counts.items(), key=by_count)]

        def first():
            return heapq.nsmallest(10, orders, key=lambda o: o.customer.age)
        return [
            ("count", 'count_by("customer.country")', lambda idx: idx.count_by("customer.country"), count,
             Joined("count", "orders", "customer", "customer", "country")),
            ("mean", 'group_by("customer.country").mean("amount")',
             lambda idx: idx.group_by("customer.country").mean("amount"), mean,
             Joined("mean", "orders", "customer", "customer", "country", of="amount")),
            ("first", 'order_by("customer.age", limit=10)', lambda idx: idx.order_by("customer.age", limit=10),
             first, Joined("first", "orders", "customer", "customer", "age", limit=10)),
        ]

    def tables(self):
        return ([("customer", [("id", "id", list(range(self.nc))), ("name", str, self.names),
                               ("age", int, self.ages), ("country", str, self.countries)]),
                 ("orders", [("id", "id", list(range(self.n))), ("amount", int, self.amounts),
                             ("customer", int, self.owner)])],
                [("customer", "name"), ("orders", "customer")])


GRAPHS = {g.name: g for g in (People, Tree, Orders)}


def _head(tables, k):
    return [(t, [(c, ty, v[:k]) for c, ty, v in cols]) for t, cols in tables]


# ---------------------------------------------------------------- one graph

def _sample(objs, rng):
    return rng.sample(objs, min(WRITES, max(1, len(objs) // 10)))


def _write(objs, attr, values):
    for o, v in zip(objs, values):
        setattr(o, attr, v)


def _timed_writes(objs, attr, runs=3):
    """Seconds per `obj.attr = old + 1`, best of a few runs with the old values put back
    between them (untimed). Returns the time, the old values and the new ones (left assigned)."""
    old = [getattr(o, attr) for o in objs]
    new = [(a + 1) % 100 if attr == "age" else a + 1 for a in old]
    times = []
    for k in range(runs):
        if k:
            _write(objs, attr, old)
        times.append(timed_once(lambda: _write(objs, attr, new))[0])
    return min(times) / len(objs), old, new


def _check_follows(idx, path, value, members, match, what, log, wrong):
    """After writes: `path == value` against a scan of the members with `match(o, value)`."""
    got = idx.reduced_query(Q.eq(path, value)).collect()
    want = [o for o in members if match(o, value)]
    if not same_objects(got, want):
        wrong.append(f"after {what}, `{path} == {value!r}` finds {len(got)} objects, the scan {len(want)}")
        log(f"  MISMATCH {wrong[-1]}")


def run_graph(g, seed, log):
    """Everything measured on one graph; the graph's objects are freed on return."""
    out = {"graph": g.name, "objects": g.objects, "links": g.links, "build": {}, "memory": {},
           "other builds": {}, "queries": [], "answers": [], "writes": {}, "wrong": []}
    rng = random.Random(seed + 7)

    # The engine's first-use set-up is not any build's: a small graph and its flat baseline first.
    small = type(g)(200, seed)
    for linked in (False, True):
        few = small.build(linked)
        bulk(few)
        small.unlink(few)
    del small, few

    # The flat baseline first, freed (it has no cycles) before the graph is built.
    flat = g.build(linked=False)
    idx, out["build"]["flat"], out["memory"]["flat index"] = _index_and_time(flat)
    sample = _sample(g.aged(flat), random.Random(seed + 8))
    out["writes"]["age, flat index"], old, _ = _timed_writes(sample, "age")
    _write(sample, "age", old)
    del idx, flat, sample
    log(f"  flat baseline: bulk {out['build']['flat']:.3f} s, index {out['memory']['flat index'] / 1e6:.1f} MB")

    before = rss()
    objs = g.build(linked=True)
    out["memory"]["graph objects"] = rss() - before
    idx, out["build"]["graph"], out["memory"]["graph index"] = _index_and_time(objs)
    if len(idx) != len(objs):
        raise SystemExit(f"FAIL: the {g.name} index holds {len(idx)} objects, not {len(objs)}")
    log(f"  graph: bulk {out['build']['graph']:.3f} s, index {out['memory']['graph index'] / 1e6:.1f} MB, "
        f"objects {out['memory']['graph objects'] / 1e6:.1f} MB")

    # age on objects that are members and, through the links, nested in other members too.
    sample = _sample(g.aged(objs), random.Random(seed + 8))
    out["writes"]["age, graph index"], old, new = _timed_writes(sample, "age")
    for path, match in (("age", lambda o, v: getattr(o, "age", None) == v), g.nested_age):
        _check_follows(idx, path, new[0], objs, match, f"{g.name}: age writes", log, out["wrong"])
    _write(sample, "age", old)
    del sample

    members = g.query_members(objs)
    if members is not None:
        # Only these are members: the objects they link to are nested only.
        del idx
        t, idx = timed_once(lambda: bulk(members))
        out["other builds"][g.members_label] = {"seconds": t, "objects": len(members)}
    members = objs if members is None else members

    pair = g.write_pair(objs, rng)
    if pair is not None:
        nested, nattr, mine, mattr, path = pair
        t_nested, old_n, new_n = _timed_writes(nested, nattr)
        t_member, old_m, new_m = _timed_writes(mine, mattr)
        out["writes"][f"{path} (nested)"] = t_nested
        out["writes"][f"{mattr} (member)"] = t_member
        out["nested write"] = {"nested": f"{path} (nested)", "member": f"{mattr} (member)"}
        first = path.split(".")[0]
        _check_follows(idx, path, new_n[0], members, lambda o, v: getattr(getattr(o, first), nattr) == v,
                       f"{g.name}: {path} writes", log, out["wrong"])
        _check_follows(idx, mattr, new_m[0], members, lambda o, v: getattr(o, mattr) == v,
                       f"{g.name}: {mattr} writes", log, out["wrong"])
        _write(nested, nattr, old_n)
        _write(mine, mattr, old_m)
        del nested, mine

    asked = g.queries(objs, rng)
    wants = {}
    for label, path, x, scan, _sql, _ids in asked:
        t_scan, want = median_time(scan)
        t_me, got = median_time(lambda: idx.reduced_query(Q.eq(path, x)).collect())
        row = {"graph": g.name, "query": label, "x": x, "hits": len(want),
               "times": {"PyVorlane": t_me, "list comp": t_scan}, "wrong": {}}
        _check(row, "PyVorlane", got, want, log)
        out["queries"].append(row)
        wants[label] = want
        del got

    # Answers through a link: the Python loop's are the reference.
    joins = g.answers(objs)
    for key, call, mine, loop, q in joins:
        t_loop, want = median_time(loop)
        row = {"graph": g.name, "key": key, "call": call, "kind": q.kind, "answer": _answer(q.kind, want),
               "times": {LOOP: t_loop}, "wrong": {}}
        try:
            t_me, got = median_time(lambda: mine(idx))
        except (TypeError, ValueError) as e:
            row["wrong"]["PyVorlane"] = f"raises {type(e).__name__}: {e}"
            log(f"  MISMATCH {g.name}: PyVorlane {row['wrong']['PyVorlane']} for `{call}`")
        else:
            row["times"]["PyVorlane"] = t_me
            _check_joined(row, "PyVorlane", q, got, want, members, log, strict=True)
            del got
        out["answers"].append(row)
        wants[key] = want
    del idx

    tables, indexes = g.tables()
    for cls in dict.fromkeys(GRAPH_PEERS + (JOIN_PEERS if joins else [])):
        cls.load()
        cls(tables=_head(tables, 100), indexes=indexes).close()  # first-use set-up is not the build
        before = rss()
        t, peer = timed_once(lambda: cls(tables=tables, indexes=indexes))
        out["other builds"][f"{cls.name} tables" + " and indexes" * (cls in GRAPH_PEERS)] = {
            "seconds": t, "bytes": rss() - before}
        if cls in GRAPH_PEERS:
            for (label, _path, x, _scan, sql, ids), row in zip(asked, out["queries"]):
                row["times"][cls.name], got = median_time(lambda: peer.ask(sql, x, ids))
                _check(row, cls.name, got, wants[label], log)
                del got
        if cls in JOIN_PEERS:
            for (key, _call, _mine, _loop, q), row in zip(joins, out["answers"]):
                row["times"][cls.name], got = median_time(lambda: peer.joined(q, members))
                _check_joined(row, cls.name, q, got, wants[key], members, log, strict=False)
                del got
        peer.close()
        del peer
    for row in out["queries"]:
        log(f"  {row['query']:<28}{row['hits']:>9,}  " + "  ".join(
            f"{e} {t * 1e3:.3f} ms" for e, t in row["times"].items()))
    for row in out["answers"]:
        log(f"  {row['call']:<46}" + "  ".join(f"{e} {t * 1e3:.3f} ms" for e, t in row["times"].items()))

    del asked, wants, members, joins
    g.unlink(objs)
    del objs
    return out


def _answer(kind, want):
    return f"{len(want):,} " + ("objects" if kind == "first" else "values" if kind == "count" else "groups")


def joined_difference(q, got, want, members, strict):
    """Why `got` is not the Python loop's answer `want` to the Joined question `q`, or None when it
    is. Counts: the same pairs, and with `strict` in the same order (count_by's); means: the same
    groups, each within MEAN_TOLERANCE, with `strict` in the same order; the first objects: as many,
    distinct members of `members`, with the same values in the same order."""
    try:
        got = list(got)
    except TypeError:
        return f"a {type(got).__name__}, not a list"
    if q.kind == "first":
        value = lambda o: getattr(getattr(o, q.link), q.by)  # noqa: E731
        held = set(map(id, members))
        if len(got) != len(want) or len({id(o) for o in got}) != len(got) or not all(id(o) in held for o in got):
            return f"{len(got)} objects, not {len(want)} distinct ones of the index"
        mine, theirs = [value(o) for o in got], [value(o) for o in want]
        # Distinct members with the values of the first ones: the right objects, ties at the last
        # value being any of its objects.
        return None if mine == theirs else f"values {mine}, not {theirs}"
    try:
        pairs = [(k, v) for k, v in got]
    except (TypeError, ValueError):
        return "not a list of (value, result) pairs"
    if len(pairs) != len(want) or dict(pairs).keys() != dict(want).keys():
        return f"{len(pairs)} groups, not {len(want)}"
    if strict and [k for k, _ in pairs] != [k for k, _ in want]:
        return f"groups in the order {[k for k, _ in pairs][:4]}..., not count_by's {[k for k, _ in want][:4]}..."
    theirs = dict(want)
    for k, v in pairs:
        w = theirs[k]
        same = (math.isclose(v, w, rel_tol=MEAN_TOLERANCE) if q.kind == "mean" and isinstance(v, float)
                else v == w and not isinstance(v, bool))
        if not same:
            return f"{v!r} for {k!r}, not {w!r}"
    return None


def _check_joined(row, engine, q, got, want, members, log, strict):
    why = joined_difference(q, got, want, members, strict)
    if why is not None:
        row["wrong"][engine] = why
        log(f"  MISMATCH {row['graph']}: {engine} answers `{row['call']}` with {why}")


def _check(row, engine, got, want, log):
    if not same_objects(got, want):
        row["wrong"][engine] = f"{len(got):,} objects, the list comprehension {len(want):,}"
        log(f"  MISMATCH {row['graph']}: {engine} answers `{row['query']}` (x = {row['x']!r}) with "
            f"{row['wrong'][engine]}")


# ---------------------------------------------------------------- targets and tables

def bytes_per_link(g):
    return (g["memory"]["graph index"] - g["memory"]["flat index"]) / g["links"]


def target_verdicts(res):
    """The targets judged from one run's results: (where, target, verdict, detail), the verdict
    True (met), False (not met) or None (not measured)."""
    out = []
    where = f"{res['n']:,}"

    def add(what, ok, detail=""):
        out.append((where, what, ok, detail))

    graphs = {g["graph"]: g for g in res["graphs"]}
    for name in GRAPHS:
        what = f"{name}: bulk add ≥ {RATE_SHARE:g}× the flat baseline's rate"
        g = graphs.get(name)
        if g is None:
            add(what, None)
            add(f"{name}: index ≤ {BYTES_PER_LINK} bytes per link beyond the flat baseline", None)
            continue
        rate, flat = g["objects"] / g["build"]["graph"], g["objects"] / g["build"]["flat"]
        add(what, rate >= RATE_SHARE * flat, f"{rate:,.0f}/s vs {flat:,.0f}/s, {rate / flat:.2f}×")
        per = bytes_per_link(g)
        add(f"{name}: index ≤ {BYTES_PER_LINK} bytes per link beyond the flat baseline", per <= BYTES_PER_LINK,
            f"{per:,.1f} bytes/link")

    what = f"a write to a nested object's attribute ≤ {NESTED_WRITE_RATIO:g}× a member's"
    pairs = [(g, g["nested write"]) for g in res["graphs"] if "nested write" in g]
    if not pairs:
        add(what, None)
    for g, pair in pairs:
        nested, member = g["writes"][pair["nested"]], g["writes"][pair["member"]]
        add(f"{g['graph']}: {what}", nested <= NESTED_WRITE_RATIO * member,
            f"{pair['nested']} {nested * 1e6:.2f} µs vs {pair['member']} {member * 1e6:.2f} µs, "
            f"{nested / member:.2f}×")

    rows = [r for g in res["graphs"] for r in g["queries"]]
    wrong = [f"{r['graph']} {r['query']}" for r in rows if "PyVorlane" in r["wrong"]]
    name = lambda r: f"{r['graph']} {r['query']}"  # noqa: E731
    what = f"dotted queries ≥ {LISTCOMP_RATIO}× the list comprehension"
    if not rows:
        add(what, None)
    elif wrong:
        add(what, False, "wrong answer for " + "; ".join(wrong))
    else:
        ratios = sorted((r["times"]["list comp"] / r["times"]["PyVorlane"], name(r)) for r in rows)
        low = [f"{q} {x:.0f}×" for x, q in ratios if x < LISTCOMP_RATIO]
        add(what, not low, "below for " + "; ".join(low) if low else f"lowest {ratios[0][1]} {ratios[0][0]:,.0f}×")

    what = "dotted queries faster than " + " and ".join(PEERS)
    ratios, slow, unchecked = [], [], []
    for r in rows:
        for e in PEERS:
            if e in r["wrong"]:
                unchecked.append(f"{name(r)} vs {e}")
            elif e in r["times"]:
                x = r["times"][e] / r["times"]["PyVorlane"]
                ratios.append((x, f"{name(r)} vs {e}"))
                if x <= 1:
                    slow.append(f"{name(r)} vs {e} {x:.2f}×")
    note = f"; not compared, as the peer's answer differs: {', '.join(unchecked)}" if unchecked else ""
    if wrong:
        add(what, False, "wrong answer for " + "; ".join(wrong) + note)
    elif not ratios:
        add(what, None, note.lstrip("; "))
    elif slow:
        add(what, False, "not faster for " + "; ".join(slow) + note)
    else:
        add(what, True, f"closest {min(ratios)[1]} {min(ratios)[0]:,.1f}×" + note)
    _answer_verdicts(res, add)
    return out


def _answer_verdicts(res, add):
    """The targets of the answers through a link (see target_verdicts)."""
    rows = {r["kind"]: r for g in res["graphs"] for r in g.get("answers", [])}

    what = (f"count_by and group_by through a link faster than {GROUP_PEER}'s join + GROUP BY and "
            f"≥ {GROUP_LOOP_RATIO}× the {LOOP}")
    mine = [rows[k] for k in ("count", "mean") if k in rows]
    if len(mine) < 2:
        add(what, None)
    elif any("PyVorlane" in r["wrong"] for r in mine):
        add(what, False, "wrong answer for " + "; ".join(f"`{r['call']}`" for r in mine if "PyVorlane" in r["wrong"]))
    else:
        short, ratios, unmeasured = [], [], []
        for r in mine:
            me = r["times"]["PyVorlane"]
            x = r["times"][LOOP] / me
            ratios.append((x, f"`{r['call']}` vs {LOOP}"))
            if x < GROUP_LOOP_RATIO:
                short.append(f"`{r['call']}` vs {LOOP} {fmt_ratio(x, 1.0)}")
            if GROUP_PEER in r["wrong"] or GROUP_PEER not in r["times"]:
                unmeasured.append(f"`{r['call']}` vs {GROUP_PEER}"
                                  + (" (its answer differs)" if GROUP_PEER in r["wrong"] else ""))
                continue
            x = r["times"][GROUP_PEER] / me
            ratios.append((x, f"`{r['call']}` vs {GROUP_PEER}"))
            if x <= 1:
                short.append(f"`{r['call']}` vs {GROUP_PEER} {x:.2f}×")
        note = f"; not compared: {', '.join(unmeasured)}" if unmeasured else ""
        if short:
            add(what, False, "short for " + "; ".join(short) + note)
        elif unmeasured:
            add(what, None, note.lstrip("; "))
        else:
            x, q = min(ratios)
            add(what, True, f"closest {q} {x:,.1f}×")

    what = f"`order_by` through a link, limit 10, ≤ {FIRST_SECONDS * 1e3:g} ms"
    r = rows.get("first")
    if r is None:
        add(what, None)
    elif "PyVorlane" in r["wrong"]:
        add(what, False, f"wrong answer for `{r['call']}`")
    else:
        me = r["times"]["PyVorlane"]
        add(what, me <= FIRST_SECONDS, f"`{r['call']}` {me * 1e3:.3f} ms")


def targets(res):
    return target_lines(target_verdicts(res))


def _time_cell(row, engine):
    t = row["times"].get(engine)
    return fmt_ms(t) + (" (wrong)" if engine in row["wrong"] else "")


def _described(n):
    return {"people": f"people: {n:,} people, `friends` a list of {People.FRIENDS} others drawn at random",
            "tree": f"tree: {n:,} nodes, each node's `parent` drawn among the nodes before it, with `children` lists",
            "orders": f"orders: {max(1, n // 10):,} customers holding the list of their orders and {n:,} orders "
                      "holding their customer (with its `age` and `country`)"}


def report(res, level=1):
    """The results as Markdown: a title at `level` (1 for bench/results/graph.md, 2 for the
    section of docs/benchmarks.md), its tables one level below."""
    sub = "#" * (level + 1)
    n = res["n"]
    lines = report_head(res, level, DOCS_HEADING, "graph.py", ["duckdb", "sqlite"])
    lines += ["; ".join(_described(n)[g["graph"]] for g in res["graphs"]) + ". "
              "The flat baselines have as many objects with the same attributes, ints (positions) in "
              "place of the links. Bulk add is the best of several builds; memory is the RSS growth over the first "
              "build. Queries are the median of several runs, each returning the list of objects, checked against "
              "a list comprehension with the same meaning (a step through a list means some element) and against "
              "sqlite3 and DuckDB holding the same graph as tables (friends as a link table; parent and customer as "
              "columns), indexed on every join and filter column and queried with joins (through the friend "
              "table as `IN` subqueries); a ratio is the baseline's time over PyVorlane's. `customer.name` runs over an index of the orders alone. "
              "(wrong): the answer differs from the list comprehension's."]

    lines += ["", f"{sub} Bulk add", "",
              "| graph | objects | links | PyVorlane s | objects/s | flat baseline s | flat objects/s "
              "| rate / flat rate |",
              "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for g in res["graphs"]:
        k, tg, tf = g["objects"], g["build"]["graph"], g["build"]["flat"]
        lines.append(f"| {g['graph']} | {k:,} | {g['links']:,} | {tg:.2f} | {k / tg:,.0f} | {tf:.2f} | "
                     f"{k / tf:,.0f} | {tf / tg:.2f}× |")

    lines += ["", f"{sub} Index memory", "",
              "| graph | index MB | bytes/object | flat baseline's index MB | bytes/object | bytes per link beyond "
              "flat | the graph's objects MB |",
              "|---|---:|---:|---:|---:|---:|---:|"]
    for g in res["graphs"]:
        m, k = g["memory"], g["objects"]
        lines.append(f"| {g['graph']} | {m['graph index'] / 1e6:,.1f} | {m['graph index'] / k:,.0f} | "
                     f"{m['flat index'] / 1e6:,.1f} | {m['flat index'] / k:,.0f} | {bytes_per_link(g):,.1f} | "
                     f"{m['graph objects'] / 1e6:,.1f} |")

    head = "| graph | query | hits | PyVorlane ms | " + " | ".join(f"{e} ms | ×{e}" for e in ENGINES) + " |"
    lines += ["", f"{sub} Queries", "", head, "|---|---|---:|---:|" + "---:|---:|" * len(ENGINES)]
    for g in res["graphs"]:
        for r in g["queries"]:
            me = r["times"]["PyVorlane"]
            cells = [g["graph"], f"`{r['query']}`", f"{r['hits']:,}", _time_cell(r, "PyVorlane")]
            for e in ENGINES:
                cells += [_time_cell(r, e), fmt_ratio(r["times"].get(e), me)]
            lines.append(md_row(cells))

    answers = [r for g in res["graphs"] for r in g.get("answers", [])]
    if answers:
        cols = [e for e in JOIN_ENGINES if any(e in r["times"] for r in answers)]
        lines += ["", f"{sub} Answers through a link", "",
                  "Over the index of the orders alone, each order holding its customer (`country` out of 50, "
                  "`age` out of 100). The median of several runs; a ratio is the other engine's time over "
                  "PyVorlane's. The Python loop goes over the list of the orders (a `Counter`, dicts of sums and "
                  "counts, `heapq.nsmallest`), its answers sorted in count_by's order; its answers are the "
                  "reference. polars joins the orders to the customers (lazily, the columns asked for) and groups "
                  "or takes `bottom_k`; DuckDB joins with `GROUP BY`, or `ORDER BY c.age LIMIT 10`. Means are "
                  f"checked within a relative 10^{round(math.log10(MEAN_TOLERANCE))}; ties at the tenth order's age "
                  "may be any of its orders.", "",
                  "| graph | call | answer | PyVorlane ms | " + " | ".join(f"{e} ms | ×{e}" for e in cols) + " |",
                  "|---|---|---|---:|" + "---:|---:|" * len(cols)]
        for r in answers:
            me = r["times"].get("PyVorlane")
            cells = [r["graph"], f"`{r['call']}`", r["answer"], _time_cell(r, "PyVorlane")]
            for e in cols:
                cells += [_time_cell(r, e), fmt_ratio(r["times"].get(e), me)]
            lines.append(md_row(cells))

    lines += ["", f"{sub} Attribute writes", "",
              "`age` is written on objects of the whole graph's index (members, and nested in the objects "
              "that link to them) and on the same objects in the flat baseline's index; the orders' index "
              "holds the orders alone, so a customer is nested only.", "",
              "| graph | write | µs per write | ratio |", "|---|---|---:|---:|"]
    for g in res["graphs"]:
        w = g["writes"]
        lines.append(f"| {g['graph']} | `age`, whole graph's index | {w['age, graph index'] * 1e6:.2f} | "
                     f"{w['age, graph index'] / w['age, flat index']:.2f}× the flat baseline's |")
        lines.append(f"| {g['graph']} | `age`, flat baseline's index | {w['age, flat index'] * 1e6:.2f} | |")
        pair = g.get("nested write")
        if pair:
            nested, member = w[pair["nested"]], w[pair["member"]]
            lines.append(f"| {g['graph']} | `{pair['nested']}` | {nested * 1e6:.2f} | "
                         f"{nested / member:.2f}× the member's |")
            lines.append(f"| {g['graph']} | `{pair['member']}` | {member * 1e6:.2f} | |")

    lines += ["", f"{sub} Other builds (not in the ratios)", "",
              "sqlite3 and DuckDB are loaded from the generator's rows; MB is their RSS growth.", "",
              "| graph | build | seconds | MB |", "|---|---|---:|---:|"]
    for g in res["graphs"]:
        for label, b in g["other builds"].items():
            mb = f"{b['bytes'] / 1e6:,.1f}" if "bytes" in b else ""
            lines.append(f"| {g['graph']} | {label} | {b['seconds']:.2f} | {mb} |")

    lines += ["", f"{sub} Targets", ""]
    if n != TARGET_SIZE:
        lines += [f"Set for {TARGET_SIZE:,} objects; judged here at {n:,}.", ""]
    lines.append(targets(res).rstrip("\n"))
    wrong = [w for g in res["graphs"] for w in g["wrong"]]
    if wrong:
        lines += ["", "Index not following writes: " + "; ".join(wrong) + "."]
    return "\n".join(lines) + "\n"


def put_section(doc, section):
    """`doc` with its "## Object graphs" section replaced by `section`, or `section` appended
    when it has none."""
    return _put_section(doc, DOCS_HEADING, section)


def failures(res):
    return ([f"{r['graph']} {r['query']}: {e}" for g in res["graphs"] for r in g["queries"] for e in r["wrong"]]
            + [f"{r['graph']} {r['call']}: {e}" for g in res["graphs"] for r in g.get("answers", [])
               for e in r["wrong"]]
            + [w for g in res["graphs"] for w in g["wrong"]])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1_000_000,
                        help="people, tree nodes and orders (customers: a tenth of it)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--graphs", nargs="+", choices=list(GRAPHS), default=list(GRAPHS))
    add_report_args(parser, DOCS_HEADING)
    args = parser.parse_args()
    if not args.report and args.size < 20:
        parser.error("--size must be at least 20")

    def measure(mach):
        res = {"n": args.size, "seed": args.seed, "date": datetime.date.today().isoformat(), "machine": mach,
               "graphs": []}
        for name in args.graphs:
            print(f"\n=== {name}, size {args.size:,} ===", flush=True)
            t0 = time.perf_counter()
            g = GRAPHS[name](args.size, args.seed)
            print(f"  generated in {time.perf_counter() - t0:.1f} s", flush=True)
            res["graphs"].append(run_graph(g, args.seed, log))
            del g
            print(f"  freed: RSS {rss() / 2**30:.2f} GiB", flush=True)
        return res
    res = run_or_report(args, "graph", report, measure, DOCS_HEADING)
    bad = failures(res)
    if bad:
        print("FAIL: answers differ from the reference's (the list comprehension, the Python loop) or the index "
              "does not follow writes: " + "; ".join(bad), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
