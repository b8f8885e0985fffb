"""The suite's "Groups" section (bench/groups.py): its checks of the answers, its measures over a few
thousand objects, its verdicts, table and docs section (the verdicts and tables from synthetic results)."""
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import common  # noqa: E402
import groups  # noqa: E402
import suite  # noqa: E402

N = 3_000
MACHINE = {"commit": "abc", "cpu": "cpu", "cores": 2, "memory GiB": 1, "python": "3.13", "versions": {}}


@pytest.fixture(scope="module")
def people():
    return common.make_people(common.make_rows(N, 5))


def test_answers_are_checked_against_the_exact_ones():
    want = {"a": 1.0, "b": 2.5, "c": 7}
    assert groups.difference([("b", 2.5), ("a", 1.0), ("c", 7)], want) is None
    # Means within the tolerance pass; beyond it, or of another kind, they do not.
    assert groups.difference([("b", 2.5 * (1 + 1e-12)), ("a", 1.0), ("c", 7)], want) is None
    assert "2.5000001" in groups.difference([("b", 2.5000001), ("a", 1.0), ("c", 7)], want)
    assert groups.difference([("b", 2.5), ("a", 1.0), ("c", 7.0)], want) is not None      # a sum of ints is an int
    assert groups.difference([("b", 2.5), ("a", 1.0), ("c", True)], {"a": 1.0, "b": 2.5, "c": 1}) is not None
    # A group missing, one too many, one twice, or not pairs at all.
    assert "2 groups" in groups.difference([("b", 2.5), ("a", 1.0)], want)
    assert groups.difference([("b", 2.5), ("a", 1.0), ("c", 7), ("d", 0)], want) is not None
    assert groups.difference([("b", 2.5), ("a", 1.0), ("c", 7), ("c", 7)], want) is not None
    assert "not a list" in groups.difference(3, want)
    # With count_by's order, the pairs must come in it.
    assert groups.difference([("c", 7), ("a", 1.0), ("b", 2.5)], want, ["c", "a", "b"]) is None
    assert "order" in groups.difference([("a", 1.0), ("c", 7), ("b", 2.5)], want, ["c", "a", "b"])
    # A total is an exact int.
    assert groups.difference(10, 10) is None
    assert groups.difference(10.0, 10) is not None and groups.difference(11, 10) is not None


def test_measure_times_pyvorlane_and_the_loop_and_checks_them(people):
    idx = common.bulk(people)
    section, want = groups.measure(N, people, idx, log=lambda s: None)
    rows = {r["question"]: r for r in section["rows"]}
    assert list(rows) == groups.GROUP_LABELS
    assert all(set(r["times"]) == {"PyVorlane", groups.PYTHON} and min(r["times"].values()) > 0
               for r in rows.values())
    in_view = [p for p in people if groups.in_view(p)]
    assert section["view objects"] == len(in_view) > 0
    assert rows[groups.G_MEAN]["groups"] == len(common.CITIES) and rows[groups.G_TOTAL]["groups"] is None
    assert rows[groups.G_SUM_VIEW]["groups"] == len({p.city for p in in_view})
    assert want[groups.G_TOTAL] == sum(p.age for p in people)
    assert want[groups.G_SUM_VIEW] == {c: sum(p.age for p in in_view if p.city == c) for c in {p.city for p in in_view}}


def test_measure_aborts_on_a_wrong_answer(people, monkeypatch):
    idx = common.bulk(people)
    real = groups.pyvorlane_cases

    def off_by_one(idx, view):
        cases = real(idx, view)
        cases[groups.G_SUM_VIEW] = lambda: [(c, s + 1) for c, s in view.group_by("city").sum("age")]
        return cases
    monkeypatch.setattr(groups, "pyvorlane_cases", off_by_one)
    with pytest.raises(SystemExit, match="PyVorlane answers sum of ages by city, 2% view"):
        groups.measure(N, people, idx, log=lambda s: None)

    # An answer in another order than count_by's is wrong for PyVorlane.
    def reversed_order(idx, view):
        cases = real(idx, view)
        cases[groups.G_MEAN] = lambda: idx.group_by("city").mean("score")[::-1]
        return cases
    monkeypatch.setattr(groups, "pyvorlane_cases", reversed_order)
    with pytest.raises(SystemExit, match="count_by's is"):
        groups.measure(N, people, idx, log=lambda s: None)


class Peer:
    name = "polars"

    def __init__(self, answers):
        self.answers = answers

    def groups(self):
        return {label: (lambda a=a: a) for label, a in self.answers.items()}


def test_a_peer_is_checked_and_timed(people):
    idx = common.bulk(people)
    section, want = groups.measure(N, people, idx, log=lambda s: None)
    right = {label: (list(w.items()) if isinstance(w, dict) else w) for label, w in want.items()}
    groups.measure_peer(N, Peer(right), section, want)
    assert all("polars" in r["times"] for r in section["rows"])
    with pytest.raises(SystemExit, match="polars answers sum of ages with"):
        groups.measure_peer(N, Peer(right | {groups.G_TOTAL: want[groups.G_TOTAL] - 1}), section, want)
    with pytest.raises(SystemExit, match="unknown group questions"):
        groups.measure_peer(N, Peer({"median age": 3}), section, want)


def fake_section(me=(2e-3, 2e-3, 0.5e-3, 0.5e-3, 0.2e-3), peer=5e-3):
    """Every target met: group_by 2 ms over the whole index (polars 5 ms, DuckDB 6 ms), 0.5 ms over the
    view, sum 0.2 ms."""
    rows = []
    for (label, call, over, by, _, _), t in zip(groups.QUESTIONS, me):
        times = {"PyVorlane": t, groups.PYTHON: 0.2, "pandas": 2 * peer, "polars": peer, "DuckDB": 1.2 * peer}
        rows.append({"question": label, "call": call, "over": over, "groups": 50 if by else None, "times": times})
    return {"view objects": 20_000, "rows": rows}


def verdict(section, start):
    hits = [(ok, detail) for what, ok, detail in groups.verdicts(section) if what.startswith(start)]
    assert len(hits) == 1, (start, groups.verdicts(section))
    return hits[0]


def test_verdicts():
    v = groups.verdicts(fake_section())
    assert len(v) == 3 and all(ok is True for _, ok, _ in v), v
    assert verdict(fake_section(), 'group_by("city") over the whole')[1] == (
        f"slowest {groups.G_MEAN} 2.000 ms; closest {groups.G_MEAN} vs polars 2.5×")
    # Over the limit, or as fast as polars, is not met; the detail names which.
    s = fake_section(me=(5.1e-3, 2e-3, 0.5e-3, 1.01e-3, 0.2e-3))
    ok, detail = verdict(s, 'group_by("city") over the whole')
    assert ok is False and detail.startswith(f"over for {groups.G_MEAN} 5.100 ms; not faster for {groups.G_MEAN} vs")
    assert verdict(s, 'group_by("city") over the 2% view') == (False, f"over for {groups.G_SUM_VIEW} 1.010 ms")
    s = fake_section()
    s["rows"][1]["times"]["DuckDB"] = 2e-3
    ok, detail = verdict(s, 'group_by("city") over the whole')
    assert ok is False and detail.endswith(f"not faster for {groups.G_SUM} vs DuckDB 1.00×")
    # pandas is in the table, not in the target.
    s = fake_section()
    s["rows"][0]["times"]["pandas"] = 1e-3
    assert verdict(s, 'group_by("city") over the whole')[0] is True
    # Limits are inclusive.
    assert verdict(fake_section(me=(5e-3, 5e-3, 1e-3, 1e-3, 0.5e-3), peer=6e-3), "sum")[0] is True
    assert verdict(fake_section(me=(2e-3, 2e-3, 0.5e-3, 0.5e-3, 0.51e-3)), "sum")[0] is False


def test_verdicts_without_the_peers_or_rows():
    s = fake_section()
    for r in s["rows"]:
        del r["times"]["polars"]
    ok, detail = verdict(s, 'group_by("city") over the whole')
    assert ok is None and detail.endswith("polars not run")
    # Missing the peers does not hide a limit that is missed.
    s["rows"][0]["times"]["PyVorlane"] = 6e-3
    assert verdict(s, 'group_by("city") over the whole')[0] is False
    s = fake_section()
    s["rows"] = [r for r in s["rows"] if r["question"] != groups.G_TOTAL]
    assert verdict(s, "sum")[0] is None and verdict(s, 'group_by("city") over the 2% view')[0] is True


def cells(lines, start):
    head = next(line for line in lines if line.startswith("| call |"))
    row = next(line for line in lines if line.startswith(f"| {start} "))
    split = lambda line: line.strip("| ").split(" | ")  # noqa: E731
    return dict(zip(split(head), split(row)))


def test_table_marks_peers_skipped_and_left_out():
    s = fake_section()
    for r in s["rows"]:
        del r["times"]["pandas"]                       # left out with --engines
        del r["times"]["DuckDB"]                       # skipped for memory
    lines = groups.table(s, skipped={"DuckDB": "needs more memory"})
    c = cells(lines, '`group_by("city").sum("age")` | 2% view')
    assert c["PyVorlane ms"] == "0.500" and c["Python loop ms"] == "200.000" and c["×Python loop"] == "400×"
    assert c["DuckDB ms"] == "skipped" and "pandas ms" not in c and c["polars ms"] == "5.000"
    c = cells(lines, '`sum("age")`')
    assert c["groups"] == "" and c["×polars"] == "25.0×"
    assert "(20,000 objects)" in lines[0]


def size(n, section):
    return {"n": n, "groups": section, "skipped": {}, "queries": []}


def test_suite_shows_and_judges_the_groups():
    res = {"n": suite.TARGET_SIZE, "queries": [], "build": {"PyVorlane add_object_many": 0.5},
           "memory": {"PyVorlane index RSS": 200, "objects RSS": 500,
                      "values RSS (strings, floats, tag lists, row tuples)": 300},
           "skipped": {}, "freed": {}, "ran": [], "groups": fake_section(me=(6e-3, 2e-3, 0.5e-3, 0.5e-3, 0.2e-3))}
    assert "\n## Groups\n" in suite.table(res, MACHINE, 1)
    got = {what: ok for where, what, ok, _ in suite.target_verdicts([res]) if where == f"{suite.TARGET_SIZE:,}"}
    assert [ok for what, ok in got.items() if what.startswith('group_by("city")')] == [False, True]
    assert got['sum("age") ≤ 0.5 ms'] is True
    # Other sizes are in the tables, not the suite's targets.
    res["n"] = 100_000
    assert not [v for v in suite.target_verdicts([res]) if v[1].startswith("group_by")]


DOC = """# Benchmarks

Intro.

## Answers beyond a list (`bench/answers.py`)

Answers.
"""


def test_docs_section_goes_before_the_answers_and_is_replaced(tmp_path):
    results = [size(100_000, fake_section()), {"n": 200_000, "queries": []}, size(1_000_000, fake_section())]
    section = suite.groups_section(results, MACHINE, 1, "2026-12-10")
    assert section.startswith(f"## {suite.GROUPS_HEADING}\n\n`bench/suite.py --sizes 100000 200000 1000000`: "
                              "2026-12-10, seed 1, commit abc;")
    assert "\n### 100,000 objects\n" in section and "\n### 1,000,000 objects\n" in section
    assert "200,000" not in section.split("\n### ", 1)[1]            # the size without groups has no table
    assert "judged here at every size" in section and "\n- 100,000: sum(\"age\") ≤ 0.5 ms: met" in section
    assert suite.groups_section([{"n": 5, "queries": []}], MACHINE, 1, "d") is None

    path = tmp_path / "benchmarks.md"
    path.write_text(DOC)
    suite.write_groups_section(path, results, MACHINE, 1, "2026-12-10")
    once = path.read_text()
    assert once == DOC.replace("## Answers beyond", section + "\n## Answers beyond")
    # Written again (another run), it replaces its own section only.
    suite.write_groups_section(path, results[:1], MACHINE, 1, "2026-12-11")
    again = path.read_text()
    assert again.count(f"## {suite.GROUPS_HEADING}") == 1 and "2026-12-11" in again and "Answers.\n" in again
    assert "### 1,000,000 objects" not in again
    # A run without groups leaves the file alone.
    suite.write_groups_section(path, [{"n": 5, "queries": []}], MACHINE, 1, "2026-12-12")
    assert path.read_text() == again


def test_the_flights_questions_check_answers_and_build_their_objects():
    """bench/flights.py: a wrong mean, a missing group or a ten-list out of order is caught;
    the objects link flights to their airline, airport and plane, None for unknown codes."""
    pd = pytest.importorskip("pandas")
    import flights

    assert flights.same({"EWR": 15.1, "JFK": 12.0}, {"EWR": 15.1 * (1 + 1e-12), "JFK": 12.0})
    assert not flights.same({"EWR": 15.2, "JFK": 12.0}, {"EWR": 15.1, "JFK": 12.0})
    assert not flights.same({"EWR": 15.1}, {"EWR": 15.1, "JFK": 12.0})
    assert not flights.same([1, 3, 2], [1, 2, 3])
    frames = {
        "flights": pd.DataFrame({"carrier": ["AA", "ZZ"], "origin": ["EWR", "EWR"], "dest": ["JFK", "XXX"],
                                 "tailnum": ["N1", None], "dep_delay": [3.0, float("nan")], "distance": [10, 20]}),
        "airlines": pd.DataFrame({"carrier": ["AA"], "name": ["American"]}),
        "airports": pd.DataFrame({"faa": ["EWR", "JFK"], "name": ["Newark", "Kennedy"], "alt": [18, 13]}),
        "planes": pd.DataFrame({"tailnum": ["N1"], "year": [float("nan")], "manufacturer": ["BOEING"]}),
    }
    a, b = flights.build_objects(frames)
    assert a.carrier.name == "American" and a.dest.faa == "JFK" and a.plane.year is None
    assert b.carrier is None and b.dest is None and b.plane is None and b.dep_delay is None
    idx = flights.Index()
    idx.add_object_many([a, b])
    answers = [fn() for fn in flights.pyvorlane(idx)]
    assert answers == [fn() for fn in flights.python_loop([a, b])]
    assert answers[:2] == [{"American": 1}, {"EWR": 3.0}]
