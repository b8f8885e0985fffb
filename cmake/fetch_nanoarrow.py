"""Puts nanoarrow's C sources (the Arrow C data and stream structures) into a folder.

The sources are taken from one pinned source distribution of the nanoarrow
Python package, which carries the C library unchanged: pip downloads it, its
sha256 is checked (fetch_pinned.py does the download, check and stamp), and only
the C library's header, its common/*.c sources and their inline headers are
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

import re
import tarfile
from pathlib import Path

from fetch_pinned import PinnedSource, write_file

PACKAGE = "nanoarrow"
VERSION = "0.7.0"
SDIST_SHA256 = "e333e639f02d97c01834c8e3fd25fb945ed53196bdfaeb129dd5a7b9f4233d39"
SOURCE_ROOT = f"{PACKAGE}-{VERSION}/subprojects/arrow-nanoarrow/src/nanoarrow/"
NAMESPACE = "Vorlane"
CONFIG_TEMPLATE = "nanoarrow_config.h.in"
CONFIG = "nanoarrow_config.h"
# The files of the C library the extension compiles, relative to SOURCE_ROOT.
WANTED = re.compile(r"^(nanoarrow\.h|common/[^/]+\.c|common/inline_[^/]+\.h)$")

PINNED = PinnedSource(
    name="nanoarrow", package=PACKAGE, version=VERSION, sdist_sha256=SDIST_SHA256, option="VORLANE_NANOARROW_DIR",
    offline=f"run this script where pip can download {PACKAGE}=={VERSION} and copy its output folder",
)


def complete_folder(folder: Path) -> bool:
    return (folder / "nanoarrow.h").is_file() and (folder / CONFIG).is_file() and any((folder / "common").glob("*.c"))


def complete(dest: Path) -> bool:
    return complete_folder(dest / "nanoarrow")


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
            PINNED.fail(f"{CONFIG_TEMPLATE} has a placeholder @{name}@ this script does not know")
        return values[name]

    text = re.sub(r"@([A-Z_]+)@", substitute, template)
    if f"NANOARROW_NAMESPACE {NAMESPACE}" not in text:
        # Older templates take the namespace from the compiler's command line only.
        text += f"\n#ifndef NANOARROW_NAMESPACE\n#define NANOARROW_NAMESPACE {NAMESPACE}\n#endif\n"
    return text


def extract(archive: tarfile.TarFile, dest: Path) -> int:
    folder = dest / "nanoarrow"
    template = None
    taken = 0
    for info in archive.getmembers():
        if not info.name.startswith(SOURCE_ROOT):
            continue
        relative = info.name[len(SOURCE_ROOT):]
        if relative != CONFIG_TEMPLATE and not WANTED.match(relative):
            continue
        data = PINNED.read(archive, info)
        if relative == CONFIG_TEMPLATE:
            template = data.decode("utf-8")
            continue
        write_file(folder / relative, data)
        taken += 1
    if template is None:
        PINNED.fail(f"{PINNED.sdist_name} has no {SOURCE_ROOT}{CONFIG_TEMPLATE}")
    write_file(folder / CONFIG, configure(template).encode("utf-8"))
    if not complete_folder(folder):
        PINNED.fail(f"{PINNED.sdist_name} lacks nanoarrow.h or common/*.c under {SOURCE_ROOT}")
    return taken


if __name__ == "__main__":
    PINNED.main(complete, extract)
