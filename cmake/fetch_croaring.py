"""Puts CRoaring's single-file distribution (roaring.c, roaring.h) into a folder.

The two files are taken from one pinned source distribution of pyroaring, which
publishes them unchanged: pip downloads it, its sha256 is checked, and only the
two files are extracted (fetch_pinned.py does the download, check and stamp).
Nothing is built or installed. Run again, it does nothing while the folder
holds the files of the pinned release.

    python fetch_croaring.py DEST [--sdist pyroaring-1.2.0.tar.gz]
"""

from __future__ import annotations

import tarfile
from pathlib import Path

from fetch_pinned import PinnedSource, write_file

PACKAGE = "pyroaring"
VERSION = "1.2.0"  # carries CRoaring 5.2.2
SDIST_SHA256 = "e33bf8fc8d8aad7373f62147cb5dbfaf0fdcf19af8069d034cd8ef4fb41a78af"
FILES = ("roaring.c", "roaring.h")

PINNED = PinnedSource(
    name="croaring", package=PACKAGE, version=VERSION, sdist_sha256=SDIST_SHA256, option="VORLANE_CROARING_DIR",
    offline=f"put roaring.c and roaring.h (from {PACKAGE}-{VERSION}.tar.gz, folder {PACKAGE}/) into a folder",
)


def complete(dest: Path) -> bool:
    return all((dest / name).is_file() for name in FILES)


def extract(archive: tarfile.TarFile, dest: Path) -> int:
    for name in FILES:
        member = f"{PACKAGE}-{VERSION}/{PACKAGE}/{name}"
        try:
            info = archive.getmember(member)
        except KeyError:
            PINNED.fail(f"{PINNED.sdist_name} has no {member}")
        write_file(dest / name, PINNED.read(archive, info))
    return len(FILES)


if __name__ == "__main__":
    PINNED.main(complete, extract)
