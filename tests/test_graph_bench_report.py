"""The object-graph benchmark's verdicts, tables and docs section, from synthetic results (nothing is timed here)."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import graph  # noqa: E402

N = 1_000_000
MACHINE = {"commit": "abc", "cpu": "cpu", "cores": 2, "memory GiB": 1, "python": "3.13",
           "versions": {"duckdb": "2.0", "sqlite": "3.40"}}
QUERIES = {"people": ["friends.name == x", "friends.friends.age == x"], "tree": ["parent.parent.name == x"],
           "orders": ["customer.name == x"]}


def fake_graph(name, objects=N, links=5 * N):
    """A graph whose targets are all met: bulk add at 0.8x the flat rate, 20 bytes a link beyond
    the flat index, queries 1,000x the list comprehension and 10x each peer."""
    g = {"graph": name, "objects": objects, "links": links,
         "build": {"flat": 1.0, "graph": 1.25},
         "memory": {"flat index": 100 * objects, "graph index": 100 * objects + 20 * links,
                    "graph objects": 400 * objects},
         "other builds": {"sqlite3 tables and indexes": {"seconds": 3.0, "bytes": 2e8}},
         "queries": [{"graph": name, "query": q, "x": "p1", "hits": 5, "wrong": {},
                      "times": {"PyVorlane": 1e-4, "list comp": 1e-1, "sqlite3": 1e-3, "DuckDB": 1e-3}}
                     for q in QUERIES[name]],
         "writes": {"age, flat index": 5e-6, "age, graph index": 6e-6}, "wrong": []}
    if name == "orders":
        g["writes"].update({"customer.age (nested)": 6e-6, "amount (member)": 5e-6})
        g["nested write"] = {"nested": "customer.age (nested)", "member": "amount (member)"}
    return g


def fake_run(names=("people", "tree", "orders")):
    return {"n": N, "seed": 1, "date": "2026-12-09", "machine": MACHINE,
            "graphs": [fake_graph(name) for name in names]}


def verdicts(res):
    return {what: (ok, detail) for _, what, ok, detail in graph.target_verdicts(res)}


def find(res, start):
    hits = [val for what, val in verdicts(res).items() if what.startswith(start)]
    assert len(hits) == 1, (start, list(verdicts(res)))
    return hits[0]


def graph_of(res, name):
    return next(g for g in res["graphs"] if g["graph"] == name)


def test_all_targets_met():
    v = verdicts(fake_run())
    # bulk rate and memory per graph, the nested write, the two query targets
    assert len(v) == 9 and all(ok for ok, _ in v.values()), v
    _, detail = find(fake_run(), "people: index")
    assert detail == "20.0 bytes/link"
    assert find(fake_run(), "dotted queries faster")[1].endswith("10.0×")


def test_bulk_rate_is_judged_against_half_the_flat_rate():
    res = fake_run()
    graph_of(res, "tree")["build"]["graph"] = 2.0       # exactly half the flat rate
    assert find(res, "tree: bulk add")[0] is True
    graph_of(res, "tree")["build"]["graph"] = 2.02
    ok, detail = find(res, "tree: bulk add")
    assert ok is False and "0.50×" in detail and "1,000,000/s" in detail
    assert find(res, "people: bulk add")[0] is True


def test_memory_per_link_beyond_the_flat_index():
    res = fake_run()
    g = graph_of(res, "orders")
    g["links"] = 2 * N
    g["memory"]["graph index"] = g["memory"]["flat index"] + 40 * g["links"]
    assert find(res, "orders: index")[0] is True
    g["memory"]["graph index"] += g["links"] // 10      # 40.1 bytes a link
    ok, detail = find(res, "orders: index")
    assert ok is False and detail == "40.1 bytes/link"


def test_nested_write_ratio_and_missing_orders():
    res = fake_run()
    w = graph_of(res, "orders")["writes"]
    w["customer.age (nested)"] = 7.5e-6                 # 1.5x the member's
    assert find(res, "orders: a write to a nested")[0] is True
    w["customer.age (nested)"] = 8e-6
    ok, detail = find(res, "orders: a write to a nested")
    assert ok is False and detail.endswith("1.60×")
    # Without the orders graph neither its own targets nor the write are measured.
    v = verdicts(fake_run(("people", "tree")))
    assert v["orders: bulk add ≥ 0.5× the flat baseline's rate"][0] is None
    assert [ok for what, (ok, _) in v.items() if "nested" in what] == [None]


def test_query_ratios_name_the_queries_that_fall_short():
    res = fake_run()
    q = graph_of(res, "tree")["queries"][0]
    q["times"]["list comp"] = 99e-4                     # 99x
    ok, detail = find(res, "dotted queries ≥")
    assert ok is False and detail == "below for tree parent.parent.name == x 99×"
    q["times"]["DuckDB"] = 1e-4                         # as fast as PyVorlane is not faster
    ok, detail = find(res, "dotted queries faster")
    assert ok is False and "tree parent.parent.name == x vs DuckDB 1.00×" in detail and "sqlite3" not in detail


def test_wrong_answers_fail_the_query_targets_and_the_run():
    res = fake_run()
    q = graph_of(res, "people")["queries"][1]
    q["wrong"]["PyVorlane"] = "3 objects, the list comprehension 4"
    for start in ("dotted queries ≥", "dotted queries faster"):
        ok, detail = find(res, start)
        assert ok is False and "wrong answer for people friends.friends.age == x" in detail
    assert graph.failures(res) == ["people friends.friends.age == x: PyVorlane"]

    # A peer's wrong answer is left out of the comparison, and said so; it still fails the run.
    res = fake_run()
    q = graph_of(res, "orders")["queries"][0]
    q["wrong"]["sqlite3"] = "0 objects, the list comprehension 5"
    q["times"]["sqlite3"] = 1e-5                        # faster, but not counted
    ok, detail = find(res, "dotted queries faster")
    assert ok is True and "not compared" in detail and "orders customer.name == x vs sqlite3" in detail
    assert find(res, "dotted queries ≥")[0] is True
    graph_of(res, "tree")["wrong"].append("after tree: age writes, ...")
    assert graph.failures(res) == ["orders customer.name == x: sqlite3", "after tree: age writes, ..."]
    assert graph.failures(fake_run()) == []


def cells(text, first, second):
    """The cells, by column name, of the row starting with `second` in the table whose header starts with `first`."""
    lines = text.splitlines()
    at = next(i for i, line in enumerate(lines) if line.startswith(f"| {first} |"))
    head, row = lines[at], next(line for line in lines[at:] if line.startswith(f"| {second} "))
    split = lambda line: line.strip("| ").split(" | ")  # noqa: E731
    return dict(zip(split(head), split(row)))


def test_report_tables():
    res = fake_run()
    q = graph_of(res, "people")["queries"][0]
    q["wrong"]["DuckDB"] = "4 objects, the list comprehension 5"
    text = graph.report(res)
    assert text.startswith("# Object graphs\n") and "\n## Queries\n" in text and "\n## Targets\n" in text
    c = cells(text, "graph | query", "people | `friends.name == x`")
    assert c["PyVorlane ms"] == "0.100" and c["×list comp"] == "1,000×" and c["×sqlite3"] == "10.0×"
    assert c["DuckDB ms"] == "1.000 (wrong)"
    c = cells(text, "graph | objects", "orders")
    assert c["objects/s"] == "800,000" and c["rate / flat rate"] == "0.80×"
    c = cells(text, "graph | index MB", "people")
    assert c["bytes per link beyond flat"] == "20.0" and c["index MB"] == "200.0"
    assert "| orders | `customer.age (nested)` | 6.00 | 1.20× the member's |" in text
    assert "Set for 1,000,000 objects" not in text
    res["n"] = 500
    assert "Set for 1,000,000 objects; judged here at 500." in graph.report(res)
    # In the docs the title is a level-2 section and its tables level 3.
    section = graph.report(fake_run(), level=2)
    assert section.startswith("## Object graphs\n") and "\n### Queries\n" in section and "\n## Queries" not in section


DOC = """# Benchmarks

Intro.

## Memory

Figures.

```markdown
## Object graphs
```

## Where the time goes

Text.
"""


def test_docs_section_is_appended_then_replaced_in_place():
    first = graph.report(fake_run(), level=2)
    doc = graph.put_section(DOC, first)
    assert doc.startswith(DOC.rstrip("\n") + "\n\n## Object graphs\n")
    # Applied again it changes nothing; the heading inside the code block is left alone.
    assert doc.count("\n## Object graphs\n") == 2 and graph.put_section(doc, first) == doc

    # Between two sections: replaced up to the next level-2 heading only, its own subsections included.
    doc = DOC.replace("## Where the time goes", "## Object graphs\n\nold table\n\n### Queries\n\nold\n\n"
                      "## Where the time goes")
    res = fake_run()
    res["n"] = 500
    second = graph.report(res, level=2)
    out = graph.put_section(doc, second)
    assert out == DOC.replace("## Where the time goes", second + "\n## Where the time goes")
    assert graph.put_section(out, second) == out
