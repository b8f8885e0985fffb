"""A build that cannot work says what to install before compiling anything."""
import dataclasses
import hashlib
import importlib.util
import io
import os
import shutil
import subprocess
import sys
import tarfile
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


# ---------------------------------------------------------------- the fetch of the pinned sources

CMAKE_DIR = ROOT / "cmake"
# Each fetch script, the stamp it leaves, the option it names for an offline build, and
# the files of a complete folder.
FETCHES = [
    ("fetch_croaring.py", "croaring.sha256", "VORLANE_CROARING_DIR", ("roaring.c", "roaring.h")),
    ("fetch_nanoarrow.py", "nanoarrow.sha256", "VORLANE_NANOARROW_DIR",
     ("nanoarrow/nanoarrow.h", "nanoarrow/nanoarrow_config.h", "nanoarrow/common/array.c")),
]


def fetch(script, *args):
    return subprocess.run([sys.executable, str(CMAKE_DIR / script), *map(str, args)],
                          capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("script, stamp, option, files", FETCHES)
def test_fetch_scripts_refuse_a_wrong_checksum_and_keep_a_current_folder(tmp_path, script, stamp, option, files):
    fake = tmp_path / "fake.tar.gz"
    with tarfile.open(fake, "w:gz"):
        pass
    dest = tmp_path / "out"
    done = fetch(script, dest, "--sdist", fake)
    assert done.returncode == 1 and "sha256" in done.stderr and option in done.stderr
    assert not (dest / stamp).exists()

    # A folder stamped with the pinned release is left as it is, nothing read or fetched.
    pinned = (CMAKE_DIR / script).read_text().split('SDIST_SHA256 = "')[1].split('"')[0]
    for name in files:
        (dest / name).parent.mkdir(parents=True, exist_ok=True)
        (dest / name).write_text("kept")
    (dest / stamp).write_text(pinned + "\n")
    done = fetch(script, dest, "--sdist", tmp_path / "missing.tar.gz")
    assert done.returncode == 0, done.stderr
    assert all((dest / name).read_text() == "kept" for name in files)
    # Stamped with another release, or missing a file, it is fetched again.
    (dest / stamp).write_text("0" * 64 + "\n")
    done = fetch(script, dest, "--sdist", tmp_path / "missing.tar.gz")
    assert done.returncode == 1 and "no file" in done.stderr
    (dest / stamp).write_text(pinned + "\n")
    (dest / files[-1]).unlink()
    done = fetch(script, dest, "--sdist", tmp_path / "missing.tar.gz")
    assert done.returncode == 1 and "no file" in done.stderr


def load_fetch_script(name):
    sys.path.insert(0, str(CMAKE_DIR))
    try:
        spec = importlib.util.spec_from_file_location(f"vorlane_{name}", CMAKE_DIR / f"{name}.py")
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module
    finally:
        sys.path.remove(str(CMAKE_DIR))


def write_sdist(path, members):
    with tarfile.open(path, "w:gz") as archive:
        for name, text in members.items():
            data = text.encode()
            info = tarfile.TarInfo(name)
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data))


def unpack(module, sdist, dest):
    """The script's unpacking of `sdist`, pinned to that archive's checksum."""
    pinned = dataclasses.replace(module.PINNED, sdist_sha256=hashlib.sha256(sdist.read_bytes()).hexdigest())
    pinned.unpack(sdist, dest, module.extract)
    return pinned


def test_croaring_takes_its_two_files_and_stamps_the_folder(tmp_path):
    module = load_fetch_script("fetch_croaring")
    top = f"pyroaring-{module.VERSION}"
    sdist = tmp_path / "pyroaring.tar.gz"
    write_sdist(sdist, {f"{top}/pyroaring/roaring.c": "int c;", f"{top}/pyroaring/roaring.h": "int h;",
                        f"{top}/pyroaring/abi.pyx": "", f"{top}/roaring.c": "wrong folder"})
    dest = tmp_path / "out"
    pinned = unpack(module, sdist, dest)
    assert sorted(p.name for p in dest.iterdir()) == ["croaring.sha256", "roaring.c", "roaring.h"]
    assert (dest / "roaring.c").read_text() == "int c;" and (dest / "roaring.h").read_text() == "int h;"
    assert pinned.current(dest, module.complete)

    # An archive without one of the files fails, naming it, and leaves no stamp.
    write_sdist(sdist, {f"{top}/pyroaring/roaring.c": "int c;"})
    with pytest.raises(SystemExit):
        unpack(module, sdist, tmp_path / "partial")
    assert not (tmp_path / "partial" / "croaring.sha256").exists()


def test_nanoarrow_takes_the_c_library_and_writes_its_config(tmp_path):
    module = load_fetch_script("fetch_nanoarrow")
    root = module.SOURCE_ROOT
    sdist = tmp_path / "nanoarrow.tar.gz"
    write_sdist(sdist, {
        f"{root}nanoarrow.h": "h", f"{root}common/array.c": "c", f"{root}common/inline_array.h": "i",
        f"{root}ipc/decoder.c": "not compiled", f"{root}nanoarrow_config.h.in":
            "#define NANOARROW_VERSION \"@NANOARROW_VERSION@\"\n@NANOARROW_NAMESPACE_DEFINE@\n",
    })
    dest = tmp_path / "out"
    pinned = unpack(module, sdist, dest)
    taken = sorted(str(p.relative_to(dest)) for p in dest.rglob("*") if p.is_file())
    assert taken == ["nanoarrow.sha256", "nanoarrow/common/array.c", "nanoarrow/common/inline_array.h",
                     "nanoarrow/nanoarrow.h", "nanoarrow/nanoarrow_config.h"]
    config = (dest / "nanoarrow" / "nanoarrow_config.h").read_text()
    assert f'"{module.VERSION}"' in config and f"#define NANOARROW_NAMESPACE {module.NAMESPACE}" in config
    assert pinned.current(dest, module.complete)
