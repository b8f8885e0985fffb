"""Python's cycle collector frees graphs of Indexable objects: cycles through attribute
values, through containers, through an index or a view. Objects an index holds stay
alive while the index lives."""
import gc
import sys
import threading
import weakref

import pytest

from PyVorlane import Index, Indexable, PyQueryExpr as Q


class Node(Indexable):
    pass


class Plain:
    pass


def freed(*refs):
    gc.collect()
    return [r() is None for r in refs]


def test_cycles_between_objects_are_freed():
    # Direct, self-referencing, and through each kind of container.
    a, b = Node(), Node()
    a.friend, b.friend = b, a
    me = Node()
    me.me = me
    c, d = Node(), Node()
    c.friends, d.friends = [d], [c]
    e, f = Node(), Node()
    e.by_name, f.pair, f.back = {"f": f}, (e, 1), {e}  # a set holds e by identity only
    refs = [weakref.ref(o) for o in (a, b, me, c, d, e, f)]
    del a, b, me, c, d, e, f
    assert freed(*refs) == [True] * len(refs)


def test_cycles_through_plain_objects_and_subclass_values():
    class Number(int):
        pass

    class Text(str):
        pass

    n = Node(name="n")
    p = Plain()
    p.node = n
    n.plain = p  # matched by identity
    count = Number(5)
    count.owner, count.mark = n, Plain()  # ints take no weak reference: their mark tells
    n.count = count  # an int subclass keeps its object
    label = Text("x")
    label.owner, label.mark = n, Plain()
    n.label = label
    refs = [weakref.ref(n), weakref.ref(p), weakref.ref(count.mark), weakref.ref(label.mark)]
    del n, p, count, label
    assert freed(*refs) == [True] * 4


def build_tree(size):
    root = Node(name="root", parent=None, children=[])
    nodes = [root]
    for i in range(1, size):
        parent = nodes[(i - 1) // 3]
        node = Node(name=f"n{i}", depth=i % 7, parent=parent, children=[])
        parent.children.append(node)
        nodes.append(node)
    return nodes


@pytest.mark.parametrize("indexed", ["none", "members", "bulk", "root only"])
def test_trees_with_back_links_are_freed_with_their_index(indexed):
    nodes = build_tree(3_000)
    idx = Index()
    if indexed == "members":
        for k in range(len(nodes)):
            idx.add_object(nodes[k])
    elif indexed == "bulk":
        idx.add_object_many(nodes)
    elif indexed == "root only":
        idx.add_object(nodes[0])  # the rest are nested objects the index reaches
    if indexed in ("members", "bulk"):
        assert len(idx.reduced(**{"parent.name": "root"}).collect()) == 3
    refs = [weakref.ref(nodes[0]), weakref.ref(nodes[-1])]
    del nodes
    gc.collect()
    if indexed != "none":
        assert [r() is not None for r in refs] == [True, True], "an index keeps what it holds"
        assert len(idx) == (1 if indexed == "root only" else 3_000)
    del idx
    assert freed(*refs) == [True, True]


def test_a_cycle_through_an_index_is_freed():
    idx = Index()
    node = Node(name="x")
    node.index = idx  # the index, held by a member of itself
    idx.add_object(node)
    holder = Plain()
    holder.index = Index()
    other = Node(holder=holder, name="y")
    holder.index.add_object(other)  # through a plain object and its index
    refs = [weakref.ref(node), weakref.ref(other), weakref.ref(holder)]
    del idx, node, holder, other
    assert freed(*refs) == [True] * 3


def test_a_cycle_through_a_view_is_freed_and_a_live_view_keeps_its_objects():
    idx = Index()
    nodes = [Node(i=i) for i in range(10)]
    idx.add_object_many(nodes)
    view = idx.reduced_query(Q.lt("i", 5)).reduced_query(Q.ge("i", 2))
    nodes[0].view = view  # the view, held by an object its index holds
    refs = [weakref.ref(n) for n in nodes]
    del idx, nodes
    gc.collect()
    assert all(r() is not None for r in refs)
    assert sorted(n.i for n in view.collect()) == [2, 3, 4]
    del view
    assert freed(*refs) == [True] * 10

    # A view outliving its index keeps the objects it answers with.
    idx = Index()
    kept = Node(i=1)
    idx.add_object(kept)
    view = idx.reduced(i=1)
    ref = weakref.ref(kept)
    del idx, kept
    gc.collect()
    assert [o.i for o in view.collect()] == [1]
    del view
    assert freed(ref) == [True]


def test_objects_held_by_two_indexes_or_a_live_one_are_never_collected():
    a, b = Index(), Index()
    node = Node(i=1)
    node.me = node
    a.add_object(node)
    b.add_object(node)
    ref = weakref.ref(node)
    del node
    gc.collect()
    assert ref() is not None
    del a
    gc.collect()
    # Still held by b, whose answers stay whole.
    assert [o.i for o in b.get_by_attribute(i=1)] == [1]
    assert ref().me is ref()
    del b
    assert freed(ref) == [True]


def test_reference_counts_come_back_after_an_index_over_a_graph_is_dropped():
    nodes = build_tree(500)
    shared = Plain()
    for node in nodes[::10]:
        node.shared = shared
    before = [sys.getrefcount(n) for n in nodes] + [sys.getrefcount(shared)]
    idx = Index()
    idx.add_object_many(nodes[:250])
    idx.add_object(nodes[0])
    assert len(idx.reduced(**{"parent.parent.name": "root"}).collect()) == 9
    view = idx.reduced_query(Q.starts_with("name", "n1"))
    assert len(view) > 0
    del view, idx
    gc.collect()
    assert [sys.getrefcount(n) for n in nodes] + [sys.getrefcount(shared)] == before


def test_nested_cycles_let_go_of_by_an_index_are_freed():
    idx = Index()
    member = Node(name="m")
    idx.add_object(member)
    # Acyclic nested objects leave the index as soon as nothing stored holds them.
    leaf = Node(name="leaf")
    member.friend = leaf
    assert [o.name for o in idx.reduced(**{"friend.name": "leaf"}).collect()] == ["m"]
    member.friend = None
    assert idx.reduced(**{"friend.name": "leaf"}).collect() == []  # the write is carried out
    ref = weakref.ref(leaf)
    del leaf
    assert freed(ref) == [True]
    # A cycle among nested objects leaves at the index's next pass over its graph (its cost
    # is spread over as many lost links as it has stored objects), or with the index.
    a, b = Node(name="a"), Node(name="b")
    a.other, b.other = b, a
    member.friend = a
    assert [o.name for o in idx.reduced(**{"friend.other.name": "b"}).collect()] == ["m"]
    member.friend = None
    assert idx.reduced(**{"friend.other.name": "b"}).collect() == []
    refs = [weakref.ref(a), weakref.ref(b)]
    del a, b
    gc.collect()
    loose = [Node(name=f"l{i}") for i in range(70)]
    for node in loose:  # enough lost links for a pass
        member.friend = node
        assert len(idx.reduced(**{"friend.name": node.name})) == 1
    del node
    member.friend = None
    assert len(idx) == 1
    assert freed(*refs) == [True, True]
    # The index keeps working over new graphs.
    c = Node(name="c")
    c.other = c
    member.friend = c
    assert [o.name for o in idx.reduced(**{"friend.other.name": "c"}).collect()] == ["m"]


def test_threads_write_while_another_collects():
    idx = Index()
    nodes = [Node(i=i, friend=None) for i in range(200)]
    idx.add_object_many(nodes)
    stop = threading.Event()
    errors = []

    def writer(offset):
        try:
            k = 0
            while not stop.is_set():
                n = nodes[(k + offset) % len(nodes)]
                loose = Node(back=n, i=-1)
                loose.me = loose  # garbage the collector must find
                n.friend = loose if k % 2 else None
                n.i = k
                k += 1
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    def collector():
        try:
            for _ in range(30):
                gc.collect()
        except Exception as e:  # pragma: no cover
            errors.append(e)
        finally:
            stop.set()

    threads = [threading.Thread(target=writer, args=(k * 50,)) for k in range(2)] + [threading.Thread(target=collector)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for n in nodes:
        n.friend = None
    # The index answers as a scan does.
    want = sorted(id(n) for n in nodes if n.i >= 0)
    assert sorted(id(o) for o in idx.reduced_query(Q.ge("i", 0)).collect()) == want
    assert idx.reduced_query(Q.eq("friend.i", -1)).collect() == []
