"""A build that cannot work says what to install before compiling anything."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
# The test environment's own cmake (pip installs it next to the interpreter), else one on PATH.
CMAKE = next((str(p) for p in [Path(sys.executable).parent / "cmake"] if p.exists()), shutil.which("cmake"))
OTHER_PYTHON = next((p for p in ("/usr/bin/python3.11", "/usr/bin/python3.14", "/usr/bin/python3")
                     if Path(p).exists() and Path(p).resolve().name not in ("python3.12", "python3.13")), None)


@pytest.mark.skipif(OTHER_PYTHON is None or CMAKE is None, reason="needs another Python and cmake")
def test_configuring_for_another_python_names_what_to_install(tmp_path):
    done = subprocess.run([CMAKE, "-S", str(ROOT), "-B", str(tmp_path), f"-DPython_EXECUTABLE={OTHER_PYTHON}",
                           "-DPython_FIND_STRATEGY=LOCATION", "-DVORLANE_CROARING_DIR=" + str(tmp_path)],
                          capture_output=True, text=True, timeout=120,
                          env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})  # no sanitizer in cmake
    assert done.returncode != 0
    out = " ".join((done.stdout + done.stderr).split())
    assert "PyVorlane builds for Python 3.12 and 3.13 only" in out and "python3.13-dev" in out
