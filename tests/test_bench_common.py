"""What the benchmark scripts share (bench/common.py): the data they generate stays the data their
published figures were measured on, the timers keep their promises, the reference objects are
what they claim, and a script's tables go where --out, --report and --docs say."""
import gc
import hashlib
import json
import sys
import weakref
from argparse import Namespace
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import common  # noqa: E402


def digest(rows):
    return hashlib.sha256(repr(rows).encode()).hexdigest()[:16]


def test_rows_are_the_ones_the_published_figures_were_measured_on():
    # A change here changes every benchmark's data for the same seed.
    assert common.make_rows(1, 1) == [(0, 97, 6.310682188770933, "mlquca", "city24", True, "member", ["sports"])]
    assert digest(common.make_rows(500, 1)) == "939f84446f0054e6"
    assert digest(common.make_rows(500, 7)) == "2e2744417730a60e"
    # bench/memory.py's draw order, and bench/query_bench.py's and bench/bulk_bench.py's rows.
    assert digest(list(common.iter_rows(500, 1, tags_last=True))) == "b67d43613f42e6cb"
    assert digest(list(common.six_attribute_rows(500, 1))) == "1dd703689efa15b9"


def test_people_are_made_from_rows_given_one_at_a_time():
    rows = common.iter_rows(50, 3)
    people = common.make_people(rows)
    assert next(rows, None) is None
    assert [(p.id, p.age, p.score, p.name, p.city, p.active, p.group, p.tags) for p in people] == \
        common.make_rows(50, 3)


def test_reference_objects_have_slots_and_a_dict_as_named():
    values = {a: i for i, a in enumerate(common.ATTRS)}
    slots, plain = common.SlotsPerson(**values), common.DictPerson(**values)
    assert not hasattr(slots, "__dict__") and common.SlotsPerson.__slots__ == common.ATTRS
    assert [getattr(slots, a) for a in common.ATTRS] == [getattr(plain, a) for a in common.ATTRS] == list(range(9))
    with pytest.raises(AttributeError):
        common.SlotsPerson(other=1)
    assert plain.__dict__ == values


class Answer:
    pass


@pytest.mark.parametrize("quiet", [True, False])
def test_quiet_timers_collect_first_and_pause_the_collector_plain_ones_leave_it_be(quiet):
    seen = []

    def fn():
        seen.append((gc.isenabled(), garbage() is None))
        return len(seen)

    for timer in (common.timed_once, lambda f, quiet: common.runs(f, 4, 4, 10.0, quiet=quiet)):
        cycle = [Answer()]
        cycle.append(cycle)
        garbage = weakref.ref(cycle[0])
        del cycle
        timer(fn, quiet=quiet)
    # Quiet: the cycle is collected before the first run, and the collector is off while they run.
    assert seen == [(not quiet, quiet)] * 5 and gc.isenabled()
    assert common.timed_once(fn, quiet=quiet)[1] == 6 and common.runs(fn, 2, 2, 0, quiet=quiet)[1] == 8

    def broken():
        raise ValueError
    for timer in (common.timed_once, lambda f, quiet: common.best(f, quiet=quiet)):
        with pytest.raises(ValueError):
            timer(broken, quiet=quiet)
        assert gc.isenabled()


@pytest.mark.parametrize("quiet", [True, False])
def test_runs_stay_within_their_counts_and_let_go_of_each_answer_where_they_say(quiet):
    answers, held = [], []

    def fn():
        held.append(bool(answers) and answers[-1]() is not None)
        answer = Answer()
        answers.append(weakref.ref(answer))
        return answer

    times, last = common.runs(fn, 1, 7, 60.0, quiet=quiet)
    assert len(times) == 7 and answers[-1]() is last
    # Quiet runs let go of the previous answer before the next run starts; plain ones when the
    # next answer replaces it, within that run's time.
    assert held == [False] + [not quiet] * 6
    assert len(common.runs(lambda: None, 2, 50, 0.0, quiet=quiet)[0]) == 2


def report(res, level=1):
    return f"{'#' * level} Things\n\nn = {res['n']}\n"


def test_run_or_report_writes_the_run_and_puts_a_report_into_the_docs(tmp_path, capsys):
    out, docs = tmp_path / "out", tmp_path / "docs.md"
    docs.write_text("# Docs\n\n## Things\n\nold\n\n## Later\n\nkept\n")
    args = Namespace(report=None, out=out, docs=docs)
    res = common.run_or_report(args, "things", report, lambda mach: {"n": 3, "machine": mach}, "Things")
    assert res["n"] == 3 and "cpu" in res["machine"]
    assert (out / "things.md").read_text() == report(res) and json.loads((out / "things.json").read_text()) == res
    assert docs.read_text() == "# Docs\n\n## Things\n\nn = 3\n\n## Later\n\nkept\n"

    # From a run's JSON: nothing is run or written but the docs, placed before "## Later" this time.
    (tmp_path / "old.json").write_text(json.dumps({"n": 5}))
    docs.write_text("# Docs\n\n## Later\n\nkept\n")
    capsys.readouterr()
    args = Namespace(report=tmp_path / "old.json", out=tmp_path / "unused", docs=docs)
    res = common.run_or_report(args, "things", report, None, "Things", before="Later")
    assert res == {"n": 5} and not (tmp_path / "unused").exists()
    assert capsys.readouterr().out.startswith("# Things\n\nn = 5\n")
    assert docs.read_text() == "# Docs\n\n## Things\n\nn = 5\n\n## Later\n\nkept\n"


def test_ratios_keep_two_digits_below_a_tenth():
    assert [common.fmt_ratio(r, 1.0) for r in (1234, 12.34, 0.1, 0.094, 0.0143)] == [
        "1,234×", "12.3×", "0.1×", "0.094×", "0.014×"]
    assert common.fmt_ratio(None, 1.0) == common.fmt_ratio(1.0, None) == "n/a"
