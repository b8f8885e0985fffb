#!/usr/bin/env bash
# The benchmark suite: PyVorlane next to a list comprehension, sqlite3, ducks, pandas, polars and DuckDB,
# measured in one run, then the memory cases (bench/memory.py), the object graphs (bench/graph.py) and the
# answers beyond a list (bench/answers.py).
# Builds what is needed and installs the benchmark-only packages into .venv first. Arguments go to
# bench/suite.py (--sizes, --large, --seed, --engines, --out); the graphs take their size, seed and out.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
setup_all

# Everything the suite imports beside the package and the tests' tools: a missing one means install.
BENCH_IMPORTS='import ducks, pandas, matplotlib, polars, duckdb, pyarrow'

# ducks pins numpy below 2, old BTrees and sortednp, none of which build or install cleanly
# on Python 3.13 next to the tests' numpy; it runs fine on the current ones, so it goes in
# without its pins and sortednp is built against the numpy already in .venv.
ensure_bench_packages() {
    local reqs="$ROOT/bench/requirements.txt"
    local stamp="$STAMPS/bench-requirements.sha"
    local sum; sum="$(cat "$reqs" "${BASH_SOURCE[0]}" | sha256sum | cut -d' ' -f1)"
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$sum" ] \
        && "$PY" -c "$BENCH_IMPORTS" >/dev/null 2>&1; then
        return 0
    fi
    log "installing the benchmark packages into .venv"
    "$PY" -m pip install -q -r "$reqs"
    "$PY" -m pip install -q --no-deps "ducks==0.5.1"
    "$PY" -m pip install -q --no-deps --no-build-isolation --no-cache-dir --no-binary sortednp \
        --force-reinstall "sortednp==0.5.0"
    "$PY" -c "$BENCH_IMPORTS"
    echo "$sum" > "$stamp"
}
ensure_bench_packages

cd "$ROOT"
# Its "Groups" tables also go into docs/benchmarks.md, section "Groups", before the answers.
"$PY" "$ROOT/bench/suite.py" "$@" --docs "$ROOT/docs/benchmarks.md"
# Memory: each case in a fresh interpreter; --large adds 10M and 20M objects.
memory_args=()
for arg in "$@"; do [ "$arg" = "--large" ] && memory_args+=(--large); done
mkdir -p "$ROOT/bench/results"
"$PY" "$ROOT/bench/memory.py" "${memory_args[@]}" --md "$ROOT/bench/results/memory.md" \
    --out "$ROOT/bench/results/memory.json"
# Object graphs: one size, the largest of --sizes up to 1,000,000 (the default; there the list
# comprehension over friends of friends alone takes about 40 s a run), --seed and --out as given.
graph_size=0 graph_args=() opt=""
for arg in "$@"; do
    case "$arg" in
        --sizes) opt=sizes ;;
        --sizes=*) opt=sizes; graph_size=$(( ${arg#--sizes=} > graph_size ? ${arg#--sizes=} : graph_size )) ;;
        --seed|--out) opt="$arg" ;;
        --seed=*|--out=*) graph_args+=("$arg"); opt="" ;;
        -*) opt="" ;;
        *)
            case "$opt" in
                sizes) graph_size=$(( arg > graph_size ? arg : graph_size )) ;;
                --seed|--out) graph_args+=("$opt" "$arg"); opt="" ;;
            esac ;;
    esac
done
if [ "$graph_size" -eq 0 ] || [ "$graph_size" -gt 1000000 ]; then graph_size=1000000; fi
# Its tables also go into docs/benchmarks.md, section "Object graphs".
"$PY" "$ROOT/bench/graph.py" --size "$graph_size" "${graph_args[@]}" --docs "$ROOT/docs/benchmarks.md"
# order_by, count_by, min/max, pickling and columns next to the ways around them, at 1,000,000 objects;
# its tables go into docs/benchmarks.md too, section "Answers beyond a list", before the graphs.
"$PY" "$ROOT/bench/answers.py" --size 1000000 "${graph_args[@]}" --docs "$ROOT/docs/benchmarks.md"
