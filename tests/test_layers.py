"""The layers of the sources, as docs/architecture.md lists them, and the direction of
their includes: a file includes only files of its own layer or of the layers it is
built on, and only the layers allowed to touch the interpreter include <Python.h>."""
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SRC = ROOT / "src"
DOC = ROOT / "docs" / "architecture.md"

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]', re.M)


def layers():
    """The layer table of docs/architecture.md: rows `| name | folder | built on | Python.h |`
    between the markers, bottom layer first."""
    text = DOC.read_text()
    block = text.split("<!-- layers -->")[1].split("<!-- /layers -->")[0]
    out = {}
    for line in block.splitlines():
        cells = [c.strip().strip("`") for c in line.strip().strip("|").split("|")]
        if len(cells) != 4 or cells[0] in ("layer", "") or set(cells[0]) <= set("-: "):
            continue
        name, folder, below, python = cells
        out[name] = {"folder": folder, "below": {b.strip() for b in below.split(",") if b.strip() not in ("", "none")},
                     "python": python == "yes"}
    return out


def layer_of(path, table, src=SRC):
    rel = path.relative_to(src).as_posix()
    found = [name for name, layer in table.items()
             if rel == layer["folder"] or rel.startswith(layer["folder"].rstrip("/") + "/")]
    return max(found, key=lambda n: len(table[n]["folder"])) if found else None


def violations(table, src=SRC):
    """(file, line, what) for every include that runs up or sideways, every Python.h
    where it may not be, and every source file outside the layers."""
    out = []
    reach = {}
    for name in table:  # every layer a layer is built on, directly or not
        seen, todo = set(), [name]
        while todo:
            for b in table[todo.pop()]["below"]:
                if b not in seen:
                    seen.add(b)
                    todo.append(b)
        reach[name] = seen | {name}
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".cpp", ".hpp", ".h"):
            continue
        mine = layer_of(path, table, src)
        rel = path.relative_to(src).as_posix()
        if mine is None:
            out.append((rel, 0, "outside every layer"))
            continue
        text = path.read_text()
        for m in INCLUDE.finditer(text):
            line = text.count("\n", 0, m.start()) + 1
            kind, target = m.groups()
            if kind == "<":
                if target == "Python.h" and not table[mine]["python"]:
                    out.append((rel, line, f"<Python.h> in the {mine} layer"))
                continue
            target_path = src / target
            if not target_path.exists():
                continue  # a third-party header (nanoarrow, roaring)
            theirs = layer_of(target_path, table, src)
            if theirs not in reach[mine]:
                out.append((rel, line, f"{mine} includes {target} of the {theirs} layer"))
    return out


def test_includes_run_down_the_layers():
    table = layers()
    assert {"structures", "runtime", "engine", "interfaces", "module"} <= set(table)
    assert violations(table) == []


def test_every_layer_folder_exists_and_holds_sources():
    for name, layer in layers().items():
        path = SRC / layer["folder"]
        assert path.exists(), f"{name}: {layer['folder']} is not in src/"
        assert path.is_file() or any(path.rglob("*.cpp")) or any(path.rglob("*.hpp")), name


def test_a_planted_include_is_found(tmp_path):
    # The check itself: an include that runs up, and Python.h below the interfaces.
    table = layers()
    for name in ("structures", "engine"):
        folder = tmp_path / table[name]["folder"]
        folder.mkdir(parents=True)
    (tmp_path / table["interfaces"]["folder"]).mkdir(parents=True)
    (tmp_path / table["interfaces"]["folder"] / "boundary.hpp").write_text("#pragma once\n")
    (tmp_path / table["engine"]["folder"] / "x.cpp").write_text(
        f'#include "{table["interfaces"]["folder"]}/boundary.hpp"\n#include <Python.h>\n')
    (tmp_path / table["structures"]["folder"] / "y.hpp").write_text('#include <Python.h>\n')
    found = violations(table, tmp_path)
    assert len(found) == 3, found
    assert {what.split()[0] for _, _, what in found} >= {"engine", "<Python.h>"}
