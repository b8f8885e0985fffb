"""Attributes holding other Indexable objects: dotted paths, sharing, cycles, writes."""
import gc
import random

from PyVorlane import Index, Indexable, PyQueryExpr as Q


class Node(Indexable):
    pass


def tags(objs):
    return sorted(o.tag for o in objs)


def run(idx, q):
    return tags(idx.reduced_query(q).collect())


def test_paths_one_two_and_three_levels_deep():
    c = Node(tag="c", name="carol", n=3)
    b = Node(tag="b", name="bob", owner=c)
    a = Node(tag="a", name="ann", owner=b)
    idx = Index()
    idx.add_object(a)
    assert run(idx, Q.eq("owner.name", "bob")) == ["a"]
    assert run(idx, Q.eq("owner.owner.name", "carol")) == ["a"]
    assert run(idx, Q.gt("owner.owner.n", 2)) == ["a"]
    assert run(idx, Q.starts_with("owner.owner.name", "ca")) == ["a"]
    assert run(idx, Q.eq("owner.owner.owner.name", "x")) == []
    assert tags(idx.get_by_attribute(**{"owner.name": "bob"})) == ["a"]
    assert idx.collect() == [a]  # nested objects are stored by the index, but are not its members
    assert run(idx, Q.eq("owner", b)) == ["a"]  # a nested value is also matched by identity
    assert run(idx, Q.ne("owner.name", "bob")) == []
    assert run(idx, Q.not_(Q.eq("owner.name", "zed"))) == ["a"]


def test_writes_on_holders_and_on_nested_objects():
    b1, b2 = Node(tag="b1", name="x"), Node(tag="b2", name="y")
    holders = [Node(tag=f"h{i}", owner=b1) for i in range(3)]
    idx = Index()
    for h in holders:
        idx.add_object(h)
    assert run(idx, Q.eq("owner.name", "x")) == ["h0", "h1", "h2"]
    holders[1].owner = b2
    assert run(idx, Q.eq("owner.name", "x")) == ["h0", "h2"]
    assert run(idx, Q.eq("owner.name", "y")) == ["h1"]
    b1.name = "renamed"  # the index follows the nested object's own writes
    assert run(idx, Q.eq("owner.name", "x")) == []
    assert run(idx, Q.eq("owner.name", "renamed")) == ["h0", "h2"]
    holders[0].owner = "plain"
    assert run(idx, Q.eq("owner.name", "renamed")) == ["h2"]
    assert run(idx, Q.eq("owner", "plain")) == ["h0"]
    holders[0].owner = b1
    assert run(idx, Q.eq("owner.name", "renamed")) == ["h0", "h2"]


def test_many_holders_and_nested_objects_answer_exactly():
    rng = random.Random(5)
    inner = [Node(tag=f"i{k}", k=k) for k in range(300)]
    holders = [Node(tag=f"h{k}", owner=rng.choice(inner)) for k in range(600)]
    idx = Index()
    for h in holders:
        idx.add_object(h)
    for k in rng.sample(range(300), 40):
        want = sorted(h.tag for h in holders if h.owner.k == k)
        assert run(idx, Q.eq("owner.k", k)) == want
    for h in rng.sample(holders, 100):
        h.owner = rng.choice(inner)
    for k in range(0, 300, 7):
        want = sorted(h.tag for h in holders if h.owner.k == k)
        assert run(idx, Q.eq("owner.k", k)) == want
    assert run(idx, Q.bt("owner.k", 10, 20)) == sorted(h.tag for h in holders if 10 <= h.owner.k <= 20)


def test_nested_objects_inside_containers_resolve_to_the_holder():
    b = Node(tag="b", name="bee")
    a = Node(tag="a", friends=[1, b, [b]], pair=(b,))
    idx = Index()
    idx.add_object(a)
    assert run(idx, Q.eq("friends.name", "bee")) == ["a"]
    assert run(idx, Q.eq("pair.name", "bee")) == ["a"]
    assert run(idx, Q.eq("friends", b)) == ["a"]
    a.friends = [2]
    assert run(idx, Q.eq("friends.name", "bee")) == []
    assert run(idx, Q.eq("pair.name", "bee")) == ["a"]


def test_objects_that_hold_themselves_or_each_other():
    a = Node(tag="a", name="ann")
    a.me = a
    idx = Index()
    idx.add_object(a)
    assert run(idx, Q.eq("me.name", "ann")) == ["a"]
    a.name = "anne"
    assert run(idx, Q.eq("me.name", "anne")) == ["a"]
    x, y = Node(tag="x", name="ex"), Node(tag="y", name="why")
    x.f = y
    y.f = x
    idx.add_object(x)
    idx.add_object(y)
    assert run(idx, Q.eq("f.name", "why")) == ["x"]
    assert run(idx, Q.eq("f.name", "ex")) == ["y"]
    # assigning a cycle on an indexed object completes too
    z = Node(tag="z", name="zed")
    idx.add_object(z)
    z.f = x
    assert run(idx, Q.eq("f.name", "ex")) == ["y", "z"]
    z.me = z
    assert run(idx, Q.eq("me.name", "zed")) == ["z"]


def test_reduce_keeps_only_what_the_kept_holders_reach():
    n1, n2 = Node(tag="n1", v=1), Node(tag="n2", v=2)
    h1, h2 = Node(tag="h1", keep=True, owner=n1), Node(tag="h2", keep=False, owner=n2)
    idx = Index()
    idx.add_object(h1)
    idx.add_object(h2)
    idx.reduce(keep=True)
    assert run(idx, Q.eq("owner.v", 1)) == ["h1"]
    assert run(idx, Q.eq("owner.v", 2)) == []
    assert tags(idx.collect()) == ["h1"]


def test_long_chains_of_nested_objects_do_not_overflow():
    head = tail = Node(tag="t0", depth=0)
    for d in range(1, 3000):
        nxt = Node(tag=f"t{d}", depth=d)
        tail.next = nxt
        tail = nxt
    idx = Index()
    idx.add_object(head)
    path = ".".join(["next"] * 5) + ".depth"
    assert run(idx, Q.eq(path, 5)) == ["t0"]


def test_nested_objects_are_released_with_their_indexes():
    import sys

    b = Node(tag="b")
    base = sys.getrefcount(b)
    idx = Index()
    idx.add_object(Node(tag="a", owner=b))
    gc.collect()
    assert sys.getrefcount(b) > base
    del idx
    gc.collect()
    assert sys.getrefcount(b) == base
