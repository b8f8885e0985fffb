# Shared set-up, sourced by the scripts in this folder. Idempotent: every step
# checks first and does nothing when its work is already done.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
STAMPS="$ROOT/build/stamps"
mkdir -p "$STAMPS"

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

is_py313() { [ -n "$1" ] && "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }

# Python 3.13: on PATH, then pyenv's versions, then Debian's; installed only when none exists.
find_python() {
    local cand
    if command -v python3.13 >/dev/null 2>&1 && is_py313 python3.13; then
        command -v python3.13; return
    fi
    if command -v pyenv >/dev/null 2>&1; then
        for cand in "$(pyenv root)"/versions/3.13*/bin/python3.13; do
            if is_py313 "$cand"; then echo "$cand"; return; fi
        done
    fi
    for cand in "$HOME"/.pyenv/versions/3.13*/bin/python3.13 /usr/bin/python3.13; do
        if is_py313 "$cand"; then echo "$cand"; return; fi
    done
    apt_install python3.13-dev python3.13-venv
    echo /usr/bin/python3.13
}

ensure_system_packages() {
    apt_install libgtest-dev g++
}

ensure_venv() {
    local py
    if [ -x "$VENV/bin/python" ] && is_py313 "$VENV/bin/python"; then
        :
    else
        py="$(find_python)"
        log "creating .venv with $py"
        rm -rf "$VENV"
        "$py" -m venv "$VENV"
    fi
    PY="$VENV/bin/python"
    local want="$ROOT/scripts/requirements-dev.txt"
    local stamp="$STAMPS/requirements.sha"
    local sum; sum="$(sha256sum "$want" | cut -d' ' -f1)"
    if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$sum" ]; then
        log "installing Python tools into .venv"
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

# Builds and installs the package into .venv unless the installed build is current.
ensure_package() {
    local stamp="$STAMPS/package.sha"
    local sum; sum="$(sources_digest)${VORLANE_PIP_FLAGS:-}"
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$sum" ] && "$PY" -c 'import PyVorlane' >/dev/null 2>&1; then
        return 0
    fi
    log "building and installing PyVorlane"
    (cd "$ROOT" && "$PY" -m pip install -q --no-build-isolation -Ccmake.define.VORLANE_WERROR=ON ${VORLANE_PIP_FLAGS:-} .)
    echo "$sum" > "$stamp"
}

setup_all() {
    ensure_system_packages
    ensure_venv
    ensure_package
}
