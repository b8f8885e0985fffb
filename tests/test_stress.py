"""A bounded multi-thread run: bulk and single adds, queries, views, rebase, union and
writes on objects shared by several indexes, with a watchdog; afterwards every
index answers as the model. VORLANE_STRESS=1 runs the full size."""
import os
import random
import sys
import threading

import pytest

from PyVorlane import Index, Indexable, PyQueryExpr as Q
from test_index_model import build, model

STRESS = os.environ.get("VORLANE_STRESS") == "1"
SCALE = float(os.environ.get("VORLANE_STRESS_SCALE", "1"))
N_OBJECTS = int((20_000 if STRESS else 3_000) * SCALE)
ROUNDS = int((2_000 if STRESS else 300) * SCALE)
WATCHDOG = 600 if STRESS else 240


class Obj(Indexable):
    pass


def value(r):
    k = r.random()
    if k < 0.4:
        return r.randrange(-20, 20)
    if k < 0.7:
        return "".join(r.choice("ab") for _ in range(r.randrange(1, 4)))
    if k < 0.85:
        return [r.randrange(5), "t"]
    return None


QUERIES = [("gt", "x", 0), ("eq", "x", 3), ("starts_with", "y", "ab"), ("ne", "x", 7), ("le", "x", 2.5),
           ("eq", "x", "t"), ("contains", "y", "b"), ("eq", "y", None), ("in", "x", [1, "ab", None])]


def test_threads_share_indexes_and_objects_and_agree_with_the_model():
    rng = random.Random(5)
    objs = [Obj(tag=i, x=value(rng), y=value(rng)) for i in range(N_OBJECTS)]
    shared = Index()  # filled by several threads at once, in bulk and one by one
    other = Index()  # holds the same objects: every write must reach both
    stop = threading.Event()
    failures = []
    made = []  # rebased and merged indexes, checked at the end

    def guard(fn):
        def run(*args):
            try:
                fn(*args)
            except BaseException as e:  # reported by the main thread
                failures.append(f"{fn.__name__}: {e!r}")
                stop.set()
        return run

    @guard
    def bulk_adder(chunk):
        for k in range(0, len(chunk), 250):
            shared.add_object_many(chunk[k:k + 250])

    @guard
    def single_adder(chunk):
        for o in chunk:
            shared.add_object(o)
            other.add_object(o)

    @guard
    def writer(seed):
        r = random.Random(seed)
        for _ in range(ROUNDS * 5):
            if stop.is_set():
                return
            o = r.choice(objs)
            setattr(o, r.choice("xy"), value(r))

    @guard
    def querier(seed):
        r = random.Random(seed)
        while not stop.is_set():
            expr = r.choice(QUERIES)
            for o in shared.reduced_query(build(expr)).collect():
                assert isinstance(o, Obj)
            view = other.reduced_query(Q.gt("x", -5)).reduced_query(Q.not_(Q.eq("y", "a")))
            assert set(view.reduced(x=3).collect()) <= set(view.collect())
            other.get_by_attribute(y="ab")

    @guard
    def rebaser():
        r = random.Random(9)
        while not stop.is_set():
            rebased = shared.reduced_query(build(r.choice(QUERIES))).rebase()
            merged = Index()
            merged.union_with(other)
            merged.union_with(rebased)
            made.append((rebased, merged))
            del made[:-3]

    chunks = [objs[k::3] for k in range(3)]
    workers = [threading.Thread(target=bulk_adder, args=(chunks[0],)),
               threading.Thread(target=bulk_adder, args=(chunks[1],)),
               threading.Thread(target=single_adder, args=(objs,)),
               threading.Thread(target=single_adder, args=(chunks[2],))]
    workers += [threading.Thread(target=writer, args=(s,)) for s in range(3)]
    background = [threading.Thread(target=querier, args=(s,)) for s in range(2)] + [threading.Thread(target=rebaser)]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    try:
        for t in workers + background:
            t.daemon = True  # a deadlocked thread must not keep the test process alive
            t.start()
        for t in workers:
            t.join(timeout=WATCHDOG)
        stop.set()
        for t in background:
            t.join(timeout=WATCHDOG)
    finally:
        sys.setswitchinterval(old)
    alive = [t.name for t in workers + background if t.is_alive()]
    assert not alive, f"deadlock: {alive} still running after {WATCHDOG}s"
    assert not failures, failures
    assert len(shared.collect()) == len(objs) == len(other.collect())
    everyone = set(objs)
    for expr in QUERIES:
        want = model(objs, expr)
        assert set(shared.reduced_query(build(expr)).collect()) == want, expr
        assert set(other.reduced_query(build(expr)).collect()) == want, expr
    for rebased, merged in made:
        members = set(rebased.collect())
        # a union made while `other` was still being filled holds `other` as it was then
        merged_members = set(merged.collect())
        assert merged_members <= everyone
        for expr in QUERIES:
            assert set(rebased.reduced_query(build(expr)).collect()) == model(members, expr), expr
            assert set(merged.reduced_query(build(expr)).collect()) == model(merged_members, expr), expr
