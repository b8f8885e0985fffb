"""Randomized: every query answers as a brute-force filter over the same objects, with
attribute writes between queries, and under concurrent use with a watchdog."""
import math
import random
import threading

from PyVorlane import Index, Indexable, PyQueryExpr as Q

SENTINEL = object()


class Obj(Indexable):
    pass


def is_num(v):
    return type(v) in (int, float) and not (type(v) is float and math.isnan(v))


def eq(stored, probe):
    if is_num(probe):
        return is_num(stored) and stored == probe
    if type(probe) is str:
        return type(stored) is str and stored == probe and probe != ""
    if type(probe) is bool:
        return type(stored) is bool and stored is probe
    return stored is probe


def scalars(value, path=()):
    """The values a stored value is searchable by: itself, or the elements of a
    list, tuple or set (recursively); dicts hold none."""
    if type(value) in (list, tuple, set):
        if any(value is p for p in path):
            return
        for element in value:
            yield from scalars(element, path + (value,))
    elif type(value) is not dict:
        yield value


def holds(obj, attr, test):
    head, _, rest = attr.partition(".")
    value = getattr(obj, head, SENTINEL)
    if value is SENTINEL:
        return False
    if rest:
        return any(isinstance(v, Indexable) and holds(v, rest, test) for v in scalars(value))
    return any(test(v) for v in scalars(value))


def model(objs, expr):
    kind, attr, *args = expr
    if kind == "ne":
        return {o for o in objs if not holds(o, attr, lambda v: eq(v, args[0]))}
    if kind == "in":
        return {o for o in objs if holds(o, attr, lambda v: any(eq(v, x) for x in args[0]))}
    tests = {
        "eq": lambda v: eq(v, args[0]),
        "gt": lambda v: is_num(v) and is_num(args[0]) and v > args[0],
        "ge": lambda v: is_num(v) and is_num(args[0]) and v >= args[0],
        "lt": lambda v: is_num(v) and is_num(args[0]) and v < args[0],
        "le": lambda v: is_num(v) and is_num(args[0]) and v <= args[0],
        "bt": lambda v: is_num(v) and args[0] <= v <= args[1],
        "starts_with": lambda v: type(v) is str and v != "" and v.startswith(args[0]),
        "ends_with": lambda v: type(v) is str and v != "" and v.endswith(args[0]),
        "contains": lambda v: type(v) is str and v != "" and args[0] in v,
    }
    return {o for o in objs if holds(o, attr, tests[kind])}


def build(expr):
    kind, attr, *args = expr
    return {"in": Q.in_, "ne": Q.ne, "eq": Q.eq, "gt": Q.gt, "ge": Q.ge, "lt": Q.lt, "le": Q.le, "bt": Q.bt,
            "starts_with": Q.starts_with, "ends_with": Q.ends_with, "contains": Q.contains}[kind](attr, *args)


NONE = None
NUMBERS = [0, 1, -1, 2, 3, 3.0, 2.5, -0.0, 2**53, 2**53 + 1, float(2**53), 2**63 - 1, -(2**63), 1e-300,
           math.inf, -math.inf, 100, 7]


INNER = []


def random_value(rng, depth=0):
    r = rng.random()
    if depth == 0 and r < 0.15:
        kind = rng.choice([list, tuple, set])
        items = [random_value(rng, depth + 1) for _ in range(rng.randrange(0, 4))]
        if kind is set:
            items = [i for i in items if type(i) is not list]
        return kind(items)
    if depth == 0 and r < 0.25 and INNER:
        return rng.choice(INNER)
    if r < 0.5:
        return rng.choice(NUMBERS)
    if r < 0.75:
        return "".join(rng.choice("abc") for _ in range(rng.randrange(0, 6)))
    if r < 0.9:
        return rng.choice([True, False])
    return NONE


def random_expr(rng):
    attr = rng.choice(["x", "y", "z", "nobody", "x.w", "y.w"])
    kind = rng.choice(["eq", "ne", "in", "gt", "ge", "lt", "le", "bt", "starts_with", "ends_with", "contains"])
    if kind in ("starts_with", "ends_with", "contains"):
        return (kind, attr, "".join(rng.choice("abc") for _ in range(rng.randrange(0, 4))))
    if kind == "bt":
        lo, hi = rng.choice(NUMBERS), rng.choice(NUMBERS)
        return (kind, attr, lo, hi)
    if kind == "in":
        return (kind, attr, [random_value(rng) for _ in range(rng.randrange(0, 4))])
    value = random_value(rng)
    if kind in ("gt", "ge", "lt", "le") and (value is None or isinstance(value, Indexable)):
        value = rng.choice(NUMBERS)  # ranges refuse values matched by identity
    return (kind, attr, value)


def test_random_queries_and_writes_agree_with_the_model():
    rng = random.Random(2024)
    INNER[:] = [Obj(w=random_value(rng, 1)) for _ in range(40)]
    objs = []
    for i in range(2000):
        attrs = {a: random_value(rng) for a in ("x", "y", "z") if rng.random() < 0.8}
        objs.append(Obj(**attrs))
    idx = Index()
    for o in objs:
        idx.add_object(o)
    for round_no in range(300):
        expr = random_expr(rng)
        got = set(idx.reduced_query(build(expr)).collect())
        want = model(objs, expr)
        assert got == want, (round_no, expr, len(got), len(want))
        # conjunction of two, through a view
        expr2 = random_expr(rng)
        narrowed = set(idx.reduced_query(build(expr)).reduced_query(build(expr2)).collect())
        assert narrowed == want & model(objs, expr2), (expr, expr2)
        for o in rng.sample(objs, 5):
            setattr(o, rng.choice(["x", "y", "z"]), random_value(rng))
        for inner in rng.sample(INNER, 2):
            inner.w = random_value(rng, 1)


def test_threads_agree_with_the_model_and_never_deadlock():
    rng = random.Random(99)
    objs = [Obj(x=rng.choice(NUMBERS), y="".join(rng.choice("ab") for _ in range(3))) for _ in range(600)]
    for o in objs[::5]:
        o.x = [rng.choice(NUMBERS), "s"]  # containers are walked with the interpreter lock taken back
    idx, second = Index(), Index()
    stop = threading.Event()
    failures = []

    def adder(chunk):
        for o in chunk:
            idx.add_object(o)
            second.add_object(o)

    def writer(seed):
        r = random.Random(seed)
        while not stop.is_set():
            o = r.choice(objs)
            o.x = r.choice(NUMBERS) if r.random() < 0.7 else (r.choice(NUMBERS), [r.choice(NUMBERS)])
            o.y = "".join(r.choice("ab") for _ in range(3))

    def querier():
        while not stop.is_set():
            try:
                idx.reduced_query(Q.and_(Q.gt("x", 0), Q.starts_with("y", "a"))).collect()
                second.get_by_attribute(x=3)
                idx.reduced(y="aba").reduced_query(Q.not_(Q.eq("x", 1))).collect()
            except BaseException as e:  # pragma: no cover - reported below
                failures.append(e)
                return

    adders = [threading.Thread(target=adder, args=(objs[k::3],)) for k in range(3)]
    others = [threading.Thread(target=writer, args=(s,)) for s in range(2)] + [threading.Thread(target=querier)
                                                                              for _ in range(2)]
    for t in adders + others:
        t.start()
    for t in adders:
        t.join(timeout=120)
    stop.set()
    for t in others:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in adders + others), "deadlock: threads still running"
    assert not failures
    for index in (idx, second):
        for expr in [("gt", "x", 0), ("eq", "x", 3), ("starts_with", "y", "ab"), ("ne", "x", 7), ("le", "x", 2.5)]:
            assert set(index.reduced_query(build(expr)).collect()) == model(objs, expr), expr


def test_propagation_across_five_indexes():
    o = Obj(v=1)
    indexes = [Index() for _ in range(5)]
    for index in indexes:
        index.add_object(o)
    indexes[2].add_object(o)  # listed twice in one index
    o.v = "now a string"
    for index in indexes:
        assert index.get_by_attribute(v=1) == []
        assert index.get_by_attribute(v="now a string") == [o]
    del indexes[1:3]
    o.v = 2.5
    for index in indexes:
        assert index.get_by_attribute(v=2.5) == [o]
        assert index.reduced_query(Q.contains("v", "now")).collect() == []
