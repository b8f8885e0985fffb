"""Attribute storage: key tables shared by objects with the same names, private tables
for objects whose names no other has, and reads that give back equal values of the
built-in types whatever was read before."""
import math
import random

from PyVorlane import Index, Indexable


class Item(Indexable):
    pass


def test_objects_with_names_in_other_orders_read_their_own_values():
    orders = [("a", "b", "c"), ("c", "b", "a"), ("b", "a"), ("a", "b", "c", "d")]
    objs = []
    for k in range(40):
        names = orders[k % len(orders)]
        o = Item(**{n: f"{n}{k}" for n in names})
        objs.append((o, names, k))
    for _ in range(2):  # the second pass reads through remembered positions
        for o, names, k in objs:
            assert [getattr(o, n) for n in names] == [f"{n}{k}" for n in names]
            assert not hasattr(o, "z")
    # An attribute added later keeps the others where they were.
    o, names, k = objs[0]
    o.z = 1
    assert [getattr(o, n) for n in names] == [f"{n}{k}" for n in names] and o.z == 1
    assert [n for n in dir(o) if len(n) == 1] == sorted([*names, "z"])
    assert repr(o) == f"<Indexable with {len(names) + 1} attributes>"


def test_objects_with_names_no_other_object_has():
    objs = []
    for k in range(400):
        o = Item(shared=k)
        for j in range(k % 7 + 1):
            setattr(o, f"own_{k}_{j}", k * 10 + j)
        objs.append(o)
    big = Item()
    for j in range(300):
        setattr(big, f"wide{j}", j)
    for k, o in enumerate(objs):
        assert o.shared == k
        assert [getattr(o, f"own_{k}_{j}") for j in range(k % 7 + 1)] == [k * 10 + j for j in range(k % 7 + 1)]
    assert [getattr(big, f"wide{j}") for j in range(300)] == list(range(300))
    big.wide7 = "seven"  # replaced where it stood
    assert big.wide7 == "seven" and repr(big) == "<Indexable with 300 attributes>"
    idx = Index()
    idx.add_object_many(objs + [big])
    assert idx.get_by_attribute(**{"own_9_2": 92}) == [objs[9]]
    assert idx.get_by_attribute(wide299=299) == [big]


def test_reads_give_equal_values_of_the_built_in_types():
    rng = random.Random(7)
    values = []
    for k in range(6000):
        r = k % 5
        if r == 0:
            values.append(rng.randrange(-10**15, 10**15))
        elif r == 1:
            values.append(rng.choice([rng.uniform(-1e6, 1e6), -0.0, 0.0, math.inf, 2.5]))
        elif r == 2:
            values.append("s" + str(rng.randrange(10**6)))  # stored in place
        elif r == 3:
            values.append("a long text that is stored apart " + str(rng.randrange(10**6)))
        else:
            values.append(rng.randrange(-5, 300))
    o = Item(v=0)
    objs = [Item(v=v) for v in values]
    for v, held in zip(values, objs):
        o.v = v
        for got in (o.v, held.v, o.v):
            assert type(got) is type(v) and got == v
            if isinstance(v, float):
                assert math.copysign(1, got) == math.copysign(1, v)
    # Many objects sharing one long string read it back, as do copies assigned apart.
    text = "x" * 40
    many = [Item(t=text) for _ in range(50)] + [Item(t="".join(["x"] * 40)) for _ in range(50)]
    assert all(m.t == text for m in many)
    assert math.isnan(Item(f=math.nan).f)


def test_writes_racing_the_adds_that_list_their_objects_reach_the_index():
    import threading

    for round_ in range(5):
        objs = [Item(v=i, tag="a") for i in range(3000)]
        idx = Index()
        start = threading.Barrier(2)

        def add():
            start.wait()
            idx.add_object_many(objs[:1500])
            for o in objs[1500:]:
                idx.add_object(o)

        def write():
            start.wait()
            for k in range(3):
                for o in objs:
                    o.v = o.v + 1
                    o.tag = "b" if k % 2 == 0 else "c"

        threads = [threading.Thread(target=add), threading.Thread(target=write)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for value in (3, 1500, 3002):
            assert idx.get_by_attribute(v=value) == [o for o in objs if o.v == value], round_
        assert len(idx.get_by_attribute(tag="b")) == len(objs)
