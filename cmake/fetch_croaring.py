"""Puts CRoaring's single-file distribution (roaring.c, roaring.h) into a folder.

The two files are taken from one pinned source distribution of pyroaring, which
publishes them unchanged: pip downloads it (from whatever index pip is set up
to use), its sha256 is checked, and only the two files are extracted. Nothing
is built or installed. Run again, it does nothing while the folder holds the
files of the pinned release.

    python fetch_croaring.py DEST
"""

from __future__ import annotations

import hashlib
import os
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

PACKAGE = "pyroaring"
VERSION = "1.2.0"  # carries CRoaring 5.2.2
SDIST_SHA256 = "e33bf8fc8d8aad7373f62147cb5dbfaf0fdcf19af8069d034cd8ef4fb41a78af"
FILES = ("roaring.c", "roaring.h")
STAMP = "croaring.sha256"


def fail(message: str) -> None:
    sys.stderr.write(f"fetch_croaring: {message}\n")
    sys.stderr.write(
        "fetch_croaring: for a build without network access, put roaring.c and roaring.h "
        f"(from {PACKAGE}-{VERSION}.tar.gz, folder {PACKAGE}/) into a folder and pass "
        "-DVORLANE_CROARING_DIR=<folder> to CMake "
        "(pip: -Ccmake.define.VORLANE_CROARING_DIR=<folder>)\n"
    )
    sys.exit(1)


def sha256(path: Path) -> str:
    digest = hashlib.sha256()
    with path.open("rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def current(dest: Path) -> bool:
    stamp = dest / STAMP
    return stamp.is_file() and stamp.read_text().strip() == SDIST_SHA256 and all(
        (dest / name).is_file() for name in FILES
    )


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


def extract(sdist: Path, dest: Path) -> None:
    got = sha256(sdist)
    if got != SDIST_SHA256:
        fail(f"{sdist.name} has sha256 {got}, expected {SDIST_SHA256}")
    dest.mkdir(parents=True, exist_ok=True)
    with tarfile.open(sdist, "r:gz") as archive:
        for name in FILES:
            member = f"{PACKAGE}-{VERSION}/{PACKAGE}/{name}"
            try:
                info = archive.getmember(member)
            except KeyError:
                fail(f"{sdist.name} has no {member}")
            source = archive.extractfile(info) if info.isfile() else None
            if source is None:
                fail(f"{member} in {sdist.name} is not a regular file")
            # Written beside the target and renamed, so a stopped run leaves no half file.
            partial = dest / f".{name}.partial"
            with source, partial.open("wb") as out:
                out.write(source.read())
            os.replace(partial, dest / name)
    (dest / STAMP).write_text(SDIST_SHA256 + "\n")


def main() -> None:
    if len(sys.argv) != 2:
        fail("usage: fetch_croaring.py DEST")
    dest = Path(sys.argv[1])
    if current(dest):
        return
    with tempfile.TemporaryDirectory(prefix="croaring-") as tmp:
        extract(download(Path(tmp)), dest)
    print(f"fetch_croaring: CRoaring from {PACKAGE} {VERSION} in {dest}", file=sys.stderr)


if __name__ == "__main__":
    main()
