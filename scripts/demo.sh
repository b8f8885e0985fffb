#!/usr/bin/env bash
# The main job: builds what is needed, then runs the demo. Arguments go to the demo.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
setup_all
cd "$ROOT"
exec "$PY" "$ROOT/examples/demo.py" "$@"
