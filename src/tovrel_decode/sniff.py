"""Which files hold scores, by their names and first bytes, and which file a path names, by its
status. Standard library only."""
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
