"""Which files hold scores, by their names and first bytes, and which file a path names, by its
status. Standard library only."""
import dataclasses
import os
import stat
from typing import Optional

SCORE_SUFFIXES = (".pt", ".pth", ".npy", ".npz")  # the files a folder contributes
NPY_MAGIC = b"\x93NUMPY"
ZIP_MAGIC = b"PK\x03\x04"  # torch.save files and .npz archives
PICKLE_MAGIC = b"\x80"  # a legacy torch.save stream starts with a pickle protocol byte
SCORE_MAGICS = (NPY_MAGIC, ZIP_MAGIC, PICKLE_MAGIC)
# Compressed files, read through xopen: gzip, bzip2 and xz.
COMPRESSION_MAGICS = {b"\x1f\x8b": "gz", b"BZh": "bz2", b"\xfd7zXZ\x00": "xz"}
COMPRESSION_SUFFIXES = (".gz", ".bz2", ".xz")
CLOCK_MARGIN = 2.0  # seconds by which a file's change time may lag this machine's clock


def has_score_suffix(path: str) -> bool:
    """A score file's name, compressed or not; suffixes are compared ignoring case."""
    name = os.path.basename(path).lower()
    for suffix in COMPRESSION_SUFFIXES:
        if name.endswith(suffix):
            name = name[:-len(suffix)]
    return name.endswith(SCORE_SUFFIXES)


def score_stem(path: str) -> str:
    """A score file's name without its suffixes."""
    name = os.path.basename(path)
    for suffixes in (COMPRESSION_SUFFIXES, SCORE_SUFFIXES):
        for suffix in suffixes:
            if name.lower().endswith(suffix):
                name = name[:-len(suffix)]
                break
    return name


def compression_of(head: bytes) -> str:
    """"gz", "bz2" or "xz" for a compressed file's first bytes, else ""."""
    return next((kind for magic, kind in COMPRESSION_MAGICS.items() if head.startswith(magic)), "")


def looks_like_scores(path: str, head: bytes) -> bool:
    """A score file by its name or its first bytes (the output is never one)."""
    return has_score_suffix(path) or head.startswith(SCORE_MAGICS)


def identity_of(status: os.stat_result) -> tuple:
    """A file's identity as its status gives it: another file at the path, or this one rewritten,
    has another (but for a rewrite that keeps its size and time, which a fingerprint tells)."""
    return (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns)


def regular_file_identity(path: str) -> Optional[tuple]:
    """The identity of the regular file at `path`, None for anything else or nothing."""
    try:
        status = os.stat(path)
    except OSError:
        return None
    return identity_of(status) if stat.S_ISREG(status.st_mode) else None


def folder_identity(path: str) -> Optional[tuple]:
    """The identity of the folder at `path` (its modification time changes as files are made,
    removed or renamed in it), None for anything else or nothing."""
    try:
        status = os.stat(path)
    except OSError:
        return None
    return (status.st_dev, status.st_ino, status.st_mtime_ns) if stat.S_ISDIR(status.st_mode) \
        else None


@dataclasses.dataclass(frozen=True)
class RunStart:
    """What a client saw of its input folders as the run began: when (a time.time()), and each
    folder's identity (folder_identity, by its path), to tell a file of a folder that changed
    during the run from one that a worker sees otherwise."""
    began_at: float
    folders: dict

    def changed(self, path: str) -> bool:
        """Whether the file at `path` was made, replaced or written since the run began (or just
        before: its change time comes from the file system's coarse clock, another machine's on
        a shared one), or its folder replaced (renamed files keep their change time)."""
        if self.replaced(os.path.dirname(path)):
            return True
        try:  # a symlink made or pointed elsewhere since, to an older file, too
            statuses = (os.lstat(path), os.stat(path))
        except OSError:
            return True
        return any(status.st_ctime >= self.began_at - CLOCK_MARGIN for status in statuses)

    def replaced(self, folder: str) -> bool:
        """Whether an input folder is gone from its path, or another folder is there now."""
        began = self.folders.get(folder)
        now = folder_identity(folder)
        return began is not None and (now is None or now[:2] != began[:2])

    def removed(self, path: str) -> bool:
        """Whether a file of an input folder is missing from it, the folder having changed since
        the run began."""
        began = self.folders.get(os.path.dirname(path))
        return began is not None and not os.path.lexists(path) and \
            folder_identity(os.path.dirname(path)) != began
