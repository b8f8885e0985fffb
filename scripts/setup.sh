# Shared set-up, sourced by the scripts in this folder. Idempotent: every step
# checks first and does nothing when its work is already done.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
STAMPS="$ROOT/build/stamps"
mkdir -p "$STAMPS"

# The Python the scripts build for and test with: 3.13 in .venv by default;
# `use_python 3.12` before the steps below switches to 3.12 in .venv312.
use_python() {
    case "$1" in
        3.13) VENV="$ROOT/.venv"; STAMP_SUFFIX="" ;;
        3.12) VENV="$ROOT/.venv312"; STAMP_SUFFIX="-312" ;;
        *) echo "PyVorlane builds for Python 3.13 (the default) and 3.12, not '$1'" >&2; exit 2 ;;
    esac
    PY_VERSION="$1"
}
use_python 3.13

log() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

APT_UPDATED=0
apt_install() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    log "installing Debian packages: ${missing[*]}"
    if [ "$APT_UPDATED" -eq 0 ]; then
        as_root apt-get update -qq
        APT_UPDATED=1
    fi
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Whether the interpreter $1 is Python $PY_VERSION.
is_wanted_python() {
    [ -n "$1" ] && "$1" -c "import sys; sys.exit(sys.version_info[:2] != (${PY_VERSION/./, }))" >/dev/null 2>&1
}

# Python $PY_VERSION: on PATH, then pyenv's versions, then Debian's; installed only when none exists.
find_python() {
    local v="$PY_VERSION" cand
    if command -v "python$v" >/dev/null 2>&1 && is_wanted_python "python$v"; then
        command -v "python$v"; return
    fi
    if command -v pyenv >/dev/null 2>&1; then
        for cand in "$(pyenv root)"/versions/"$v"*/bin/"python$v"; do
            if is_wanted_python "$cand"; then echo "$cand"; return; fi
        done
    fi
    for cand in "$HOME"/.pyenv/versions/"$v"*/bin/"python$v" "/usr/bin/python$v"; do
        if is_wanted_python "$cand"; then echo "$cand"; return; fi
    done
    apt_install "python$v-dev" "python$v-venv"
    echo "/usr/bin/python$v"
}

ensure_system_packages() {
    apt_install libgtest-dev g++
}

ensure_venv() {
    local py
    if [ -x "$VENV/bin/python" ] && is_wanted_python "$VENV/bin/python"; then
        :
    else
        py="$(find_python)"
        log "creating $(basename "$VENV") with $py"
        rm -rf "$VENV"
        "$py" -m venv "$VENV"
    fi
    PY="$VENV/bin/python"
    local want="$ROOT/scripts/requirements-dev.txt"
    local stamp="$STAMPS/requirements$STAMP_SUFFIX.sha"
    local sum; sum="$(sha256sum "$want" | cut -d' ' -f1)"
    if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$sum" ]; then
        log "installing Python tools into $(basename "$VENV")"
        "$PY" -m pip install -q --upgrade pip
        "$PY" -m pip install -q -r "$want"
        echo "$sum" > "$stamp"
    fi
    export PATH="$VENV/bin:$PATH"
}

sources_digest() {
    (cd "$ROOT" && find src stubs cmake CMakeLists.txt pyproject.toml -type f -print0 | sort -z | xargs -0 sha256sum) \
        | sha256sum | cut -d' ' -f1
}

# The pinned CRoaring and nanoarrow sources, fetched once into build/pinned and shared
# by the builds for every Python (each fetch does nothing while its folder is current).
PINNED="$ROOT/build/pinned"
ensure_pinned_sources() {
    "$PY" "$ROOT/cmake/fetch_croaring.py" "$PINNED/croaring"
    "$PY" "$ROOT/cmake/fetch_nanoarrow.py" "$PINNED/nanoarrow"
}

# Builds and installs the package into $VENV unless the installed build is current.
ensure_package() {
    local stamp="$STAMPS/package$STAMP_SUFFIX.sha"
    local sum; sum="$(sources_digest)${VORLANE_PIP_FLAGS:-}"
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$sum" ] && "$PY" -c 'import PyVorlane' >/dev/null 2>&1; then
        return 0
    fi
    ensure_pinned_sources
    log "building and installing PyVorlane for Python $PY_VERSION"
    (cd "$ROOT" && "$PY" -m pip install -q --no-build-isolation -Ccmake.define.VORLANE_WERROR=ON \
        "-Ccmake.define.VORLANE_CROARING_DIR=$PINNED/croaring" "-Ccmake.define.VORLANE_NANOARROW_DIR=$PINNED/nanoarrow" \
        ${VORLANE_PIP_FLAGS:-} .)
    echo "$sum" > "$stamp"
}

setup_all() {
    ensure_system_packages
    ensure_venv
    ensure_package
}
