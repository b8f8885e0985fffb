"""Puts nanoarrow's C sources (the Arrow C data and stream structures) into a folder.

The sources are taken from one pinned source distribution of the nanoarrow
Python package, which carries the C library unchanged: pip downloads it (from
whatever index pip is set up to use), its sha256 is checked, and only the C
library's header, its common/*.c sources and their inline headers are
extracted, into DEST/nanoarrow/ (the sources include each other as
"nanoarrow/..."), so that DEST is the include folder. nanoarrow_config.h is
made from its template with the release's version and a namespace of our own,
so the symbols cannot clash with another copy of nanoarrow in the process.
Nothing is built or installed. Run again, it does nothing while the folder
holds the files of the pinned release.

    python fetch_nanoarrow.py DEST [--sdist nanoarrow-0.7.0.tar.gz]

--sdist takes a source distribution downloaded before instead of asking pip
(it is checked all the same).
"""

from __future__ import annotations

import hashlib
import os
import re
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

PACKAGE = "nanoarrow"
VERSION = "0.7.0"
SDIST_SHA256 = "e333e639f02d97c01834c8e3fd25fb945ed53196bdfaeb129dd5a7b9f4233d39"
SOURCE_ROOT = f"{PACKAGE}-{VERSION}/subprojects/arrow-nanoarrow/src/nanoarrow/"
NAMESPACE = "Vorlane"
CONFIG_TEMPLATE = "nanoarrow_config.h.in"
CONFIG = "nanoarrow_config.h"
STAMP = "nanoarrow.sha256"
# The files of the C library the extension compiles, relative to SOURCE_ROOT.
WANTED = re.compile(r"^(nanoarrow\.h|common/[^/]+\.c|common/inline_[^/]+\.h)$")


def fail(message: str) -> None:
    sys.stderr.write(f"fetch_nanoarrow: {message}\n")
    sys.stderr.write(
        "fetch_nanoarrow: for a build without network access, run this script where pip can "
        f"download {PACKAGE}=={VERSION} and copy its output folder, then pass "
        "-DVORLANE_NANOARROW_DIR=<folder> to CMake "
        "(pip: -Ccmake.define.VORLANE_NANOARROW_DIR=<folder>)\n"
    )
    sys.exit(1)


def sha256(path: Path) -> str:
    digest = hashlib.sha256()
    with path.open("rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def complete(folder: Path) -> bool:
    return (folder / "nanoarrow.h").is_file() and (folder / CONFIG).is_file() and any((folder / "common").glob("*.c"))


def current(dest: Path) -> bool:
    stamp = dest / STAMP
    return stamp.is_file() and stamp.read_text().strip() == SDIST_SHA256 and complete(dest / "nanoarrow")


def download(into: Path) -> Path:
    command = [
        sys.executable, "-m", "pip", "download", "--quiet", "--disable-pip-version-check",
        "--no-deps", "--no-binary", PACKAGE, "--dest", str(into), f"{PACKAGE}=={VERSION}",
    ]
    try:
        subprocess.run(command, check=True, stdout=sys.stderr)
    except FileNotFoundError:
        fail(f"cannot run {sys.executable}")
    except subprocess.CalledProcessError as error:
        fail(f"pip could not download {PACKAGE}=={VERSION} (exit status {error.returncode})")
    found = sorted(into.glob(f"{PACKAGE}-{VERSION}.tar.gz"))
    if not found:
        fail(f"pip downloaded no {PACKAGE}-{VERSION}.tar.gz")
    return found[0]


def configure(template: str) -> str:
    """nanoarrow_config.h from its template: the release's version numbers and our namespace."""
    major, minor, patch = VERSION.split(".")
    values = {
        "NANOARROW_VERSION_MAJOR": major,
        "NANOARROW_VERSION_MINOR": minor,
        "NANOARROW_VERSION_PATCH": patch,
        "NANOARROW_VERSION": VERSION,
        "NANOARROW_NAMESPACE_DEFINE": f"#define NANOARROW_NAMESPACE {NAMESPACE}",
    }

    def substitute(match: re.Match[str]) -> str:
        name = match.group(1)
        if name not in values:
            fail(f"{CONFIG_TEMPLATE} has a placeholder @{name}@ this script does not know")
        return values[name]

    text = re.sub(r"@([A-Z_]+)@", substitute, template)
    if f"NANOARROW_NAMESPACE {NAMESPACE}" not in text:
        # Older templates take the namespace from the compiler's command line only.
        text += f"\n#ifndef NANOARROW_NAMESPACE\n#define NANOARROW_NAMESPACE {NAMESPACE}\n#endif\n"
    return text


def write_file(path: Path, data: bytes) -> None:
    # Written beside the target and renamed, so a stopped run leaves no half file.
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_name(f".{path.name}.partial")
    partial.write_bytes(data)
    os.replace(partial, path)


def extract(sdist: Path, dest: Path) -> None:
    got = sha256(sdist)
    if got != SDIST_SHA256:
        fail(f"{sdist.name} has sha256 {got}, expected {SDIST_SHA256}")
    dest.mkdir(parents=True, exist_ok=True)
    (dest / STAMP).unlink(missing_ok=True)
    folder = dest / "nanoarrow"
    template = None
    taken = 0
    with tarfile.open(sdist, "r:gz") as archive:
        for info in archive.getmembers():
            if not info.name.startswith(SOURCE_ROOT):
                continue
            relative = info.name[len(SOURCE_ROOT):]
            if relative != CONFIG_TEMPLATE and not WANTED.match(relative):
                continue
            source = archive.extractfile(info) if info.isfile() else None
            if source is None:
                fail(f"{info.name} in {sdist.name} is not a regular file")
            with source:
                data = source.read()
            if relative == CONFIG_TEMPLATE:
                template = data.decode("utf-8")
                continue
            write_file(folder / relative, data)
            taken += 1
    if template is None:
        fail(f"{sdist.name} has no {SOURCE_ROOT}{CONFIG_TEMPLATE}")
    write_file(folder / CONFIG, configure(template).encode("utf-8"))
    if not complete(folder):
        fail(f"{sdist.name} lacks nanoarrow.h or common/*.c under {SOURCE_ROOT}")
    (dest / STAMP).write_text(SDIST_SHA256 + "\n")
    print(f"fetch_nanoarrow: {taken} files of {PACKAGE} {VERSION} in {dest}", file=sys.stderr)


def main() -> None:
    args = sys.argv[1:]
    if len(args) == 3 and args[1] == "--sdist":
        dest, sdist = Path(args[0]), Path(args[2])
    elif len(args) == 1:
        dest, sdist = Path(args[0]), None
    else:
        fail("usage: fetch_nanoarrow.py DEST [--sdist FILE]")
    if current(dest):
        return
    if sdist is not None:
        if not sdist.is_file():
            fail(f"no file {sdist}")
        extract(sdist, dest)
        return
    with tempfile.TemporaryDirectory(prefix="nanoarrow-") as tmp:
        extract(download(Path(tmp)), dest)


if __name__ == "__main__":
    main()
