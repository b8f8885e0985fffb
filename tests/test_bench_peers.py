"""The benchmarks' peers (bench/peers.py) answer every script's questions as the reference does,
on a few hundred objects: the suite's queries as its list comprehensions and its group questions
as the exact figures, answers.py's cases as Python's ways, graph.py's joins as its scans and its
joined questions as its Python loops. A peer whose package is not installed is skipped."""
import random
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import answers  # noqa: E402
import common  # noqa: E402
import graph  # noqa: E402
import groups  # noqa: E402
import peers  # noqa: E402
import suite  # noqa: E402

N = 3_000


def needs(cls):
    for module in cls.modules:
        pytest.importorskip(module)


@pytest.fixture(scope="module")
def rows():
    # Seed 10 leaves no query of the suite without an answer at this size.
    return common.make_rows(N, 10)


@pytest.fixture(scope="module")
def people(rows):
    return common.make_people(rows)


def by_name(classes):
    return pytest.mark.parametrize("cls", classes, ids=[cls.name for cls in classes])


@by_name(peers.PEERS)
def test_suite_queries_answer_as_the_list_comprehension(cls, people):
    needs(cls)
    ctx = {"people": people, "ages5": set(peers.AGES5), "city_list": [p for p in people if p.city == peers.CITY]}
    want = {label: fns[1](ctx) for label, *fns in suite.queries()}
    assert all(want.values())
    peer = cls(people)
    try:
        peer.prepare_view()
        asked = peer.queries()
        assert asked and set(asked) <= set(peers.LABELS)
        for label, fn in asked.items():
            got = fn()
            assert common.same_objects(got, want[label]), (label, len(got), len(want[label]))
    finally:
        peer.close()


@by_name(peers.ANSWERS_PEERS)
def test_answers_cases_answer_as_python(cls, rows, people):
    needs(cls)
    view = [p for p in people if p.city == peers.CITY]
    python = answers.python_cases(people, view)
    peer = cls(people, rows=rows)
    try:
        asked = peer.answers()
        assert set(asked) == set(answers.PEER_CASES) == set(python)
        for key, fn in asked.items():
            _, want = answers.timed_python(python[key], key)
            answers.check(N, cls.name, key, fn(), want, False)  # stops the test with SystemExit on a difference
    finally:
        peer.close()


@by_name(peers.GRAPH_PEERS)
@pytest.mark.parametrize("name", list(graph.GRAPHS))
def test_graph_joins_answer_as_the_scans(cls, name):
    needs(cls)
    g = graph.GRAPHS[name](400, 3)
    objs = g.build(linked=True)
    tables, indexes = g.tables()
    peer = cls(tables=tables, indexes=indexes)
    try:
        for label, _path, x, scan, sql, ids in g.queries(objs, random.Random(4)):
            want = scan()
            assert want, label
            assert common.same_objects(peer.ask(sql, x, ids), want), label
    finally:
        peer.close()
        g.unlink(objs)


@by_name([cls for cls in peers.PEERS if cls.groups is not peers.Peer.groups])
def test_suite_group_questions_answer_as_the_exact_figures(cls, people):
    needs(cls)
    want, _ = groups.reference(people)
    peer = cls(people)
    try:
        asked = peer.groups()
        assert set(asked) == set(peers.GROUP_LABELS)
        for label, fn in asked.items():
            assert groups.difference(fn(), want[label]) is None, label
    finally:
        peer.close()


def test_the_group_peers_are_those_of_the_table():
    assert [cls.name for cls in peers.PEERS if cls.groups is not peers.Peer.groups] == groups.ENGINES[1:]


@by_name(peers.JOIN_PEERS)
def test_graph_joined_questions_answer_as_the_loops(cls):
    needs(cls)
    g = graph.GRAPHS["orders"](400, 3)
    objs = g.build(linked=True)
    members = g.query_members(objs)
    tables, indexes = g.tables()
    peer = cls(tables=tables, indexes=indexes)
    try:
        for key, _call, _mine, loop, q in g.answers(objs):
            want = loop()
            assert want, key
            assert graph.joined_difference(q, peer.joined(q, members), want, members, False) is None, key
        with pytest.raises(ValueError, match="no such kind"):
            peer.joined(q._replace(kind="median"), members)
    finally:
        peer.close()
        g.unlink(objs)
