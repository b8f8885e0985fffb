"""The demo refuses sizes it cannot run with a sentence, and runs the smallest one."""
import subprocess
import sys
from pathlib import Path

DEMO = Path(__file__).resolve().parent.parent / "examples" / "demo.py"


def run(*args):
    return subprocess.run([sys.executable, str(DEMO), *args], capture_output=True, text=True, timeout=120)


def test_demo_refuses_a_size_below_one_with_a_message():
    for size in ("0", "-5"):
        done = run("--size", size)
        assert done.returncode == 2
        assert f"--size must be at least 1 (got {size})" in done.stderr
        assert "Traceback" not in done.stderr


def test_demo_runs_with_one_person():
    done = run("--size", "1", "--seed", "3")
    assert done.returncode == 0, done.stderr
    assert "Every answer matched the list comprehension" in done.stdout
