"""Score inputs: files, folders and standard input, and the layouts they hold.

Every input becomes a list of `Chunk`s in file order. A chunk's tensors are opened lazily and, for
torch.save zip files and .npy files, memory-mapped, so that only the chunks being worked on are
held in private memory. Streams (standard input, FIFOs, sockets) and compressed files are copied
to an unnamed file in $TMPDIR first and read from there like any file.
"""
import contextlib
import ctypes
import dataclasses
import errno
import lzma
import mmap
import os
import re
import socket
import stat
import sys
import tempfile
import warnings
import zipfile
import zlib
from typing import Any, Callable, Optional

import numpy as np
import torch

from . import checks
from .errors import InputError, UnreadableFile, changed_during_run, shown
from .results import check_overlap
from .sniff import (NPY_MAGIC, SCORE_MAGICS, SCORE_SUFFIXES, ZIP_MAGIC, compression_of,
                    has_score_suffix, identity_of, score_stem)

# The keys of the container layout. A dict holding any of them is a container, and every other key
# in it is refused.
CONTAINER_KEYS = ("scores", "names", "back_guides", "posts", "overlap")
STREAM_PIECE = 1 << 20
UNSAFE_GLOBAL = re.compile(r"GLOBAL ([\w.]+)")
# What reading a file that is damaged or changes under us raises, besides OSError.
READ_ERRORS = (OSError, ValueError, KeyError, EOFError, zipfile.BadZipFile, zlib.error,
               RuntimeError)


@dataclasses.dataclass(frozen=True)
class Layout:
    """The shape and element type of a tensor, without its values: what the chunk rule reads."""

    shape: tuple
    dtype: torch.dtype

    @staticmethod
    def of(tensor: Optional[torch.Tensor]) -> Optional["Layout"]:
        return None if tensor is None else Layout(tuple(tensor.shape), tensor.dtype)


@dataclasses.dataclass
class Chunk:
    """One chunk of scores, with the guides and posteriors stored for it, if any."""

    name: Optional[str]  # None: named by its position in its file
    label: str  # where it comes from, for messages: "PATH: chunk 3"
    shape: tuple
    dtype: torch.dtype
    reader: Optional[Callable[[], tuple]]  # () -> (scores, back_guides or None, posts or None)
    mapped: bool = False  # its tensors are pages of the file, mapped
    # The layouts of the stored back_guides and posts (None for one missing), or () where none
    # are stored: the chunk rule checks them with the scores before anything is decoded.
    stored: tuple = ()

    def load(self) -> tuple:
        """(scores, back_guides or None, posts or None); InputError naming the chunk if the file
        cannot give them (damaged, or changed since it was opened)."""
        assert self.reader is not None
        try:
            return self.reader()
        except InputError:
            raise
        except READ_ERRORS as error:
            raise InputError(f"{self.label}: cannot be read ({first_line(error)})") from None


@dataclasses.dataclass
class Source:
    """The chunks of one input, in order. With `overlap`, consecutive chunks of the same name are
    one read. `identity` is (device, inode, size, modification time) of the file when opened;
    `stem` names its unnamed chunks."""

    path: str
    chunks: list
    overlap: Optional[int] = None
    identity: Optional[tuple] = None
    stem: str = "chunk"
    # The unnamed copy of a stream or a compressed file that the chunks are read from: open as
    # long as the source is (a worker decoding many such files gives each back in turn).
    spool: Any = dataclasses.field(default=None, repr=False)


def check_unchanged(path: str, identity: Optional[tuple], same_machine: bool = True) -> None:
    """InputError unless `path` still names the file that was opened. Device numbers differ
    between the machines that mount one file system, so they count on the same machine only."""
    if identity is None or path == "-":
        return
    try:
        now = identity_of(os.stat(path))
    except OSError:
        now = None
    if now is None or (now if same_machine else now[1:]) != \
            (identity if same_machine else identity[1:]):
        raise changed_during_run(path)


def expand(paths, skip_unreadable=False, warn=None):
    """The input files of the command line, in order: a folder contributes its score files in
    name order (suffixes in any case), not recursively; "-" is standard input. A file of a folder
    that cannot be read (a dangling symlink, a FIFO, no permission) is an error naming it, or with
    `skip_unreadable` a warning."""
    files = []
    for path in paths:
        if path == "-":
            files.append(path)
            continue
        status = status_of(path)
        if stat.S_ISDIR(status.st_mode):
            files += folder_files(path, skip_unreadable, warn)
        elif is_device(status):
            raise InputError(f"{shown(path)}: a device, not a score file")
        else:
            files.append(path)
    if files.count("-") > 1:
        raise InputError("-: standard input can be read only once")
    return files


def status_of(path):
    try:
        return os.stat(path)
    except FileNotFoundError:
        reason = "a dangling symlink" if os.path.islink(path) else "No such file or directory"
    except OSError as error:
        reason = error.strerror
    raise UnreadableFile(f"{shown(path)}: {reason}")


def folder_files(folder, skip_unreadable, warn):
    try:
        entries = sorted(os.listdir(folder))
    except OSError as error:
        raise UnreadableFile(f"{shown(folder)}: {error.strerror}") from None
    found = []
    for entry in entries:
        path = os.path.join(folder, entry)
        if not has_score_suffix(entry):
            continue
        problem = unreadable(path)
        if problem is None:
            found.append(path)
        elif problem != "a folder":
            if not skip_unreadable:
                raise InputError(f"{shown(path)}: {problem} (--skip-unreadable leaves such files "
                                 "out)")
            if warn is not None:
                warn(f"skipped {shown(path)}: {problem}")
    if not found:
        raise InputError(f"{shown(folder)}: no {', '.join(SCORE_SUFFIXES)} files in this folder")
    return found


def unreadable(path):
    """Why a file found in a folder cannot be read as a score file, or None."""
    try:
        status = os.stat(path)
    except FileNotFoundError:
        return "a dangling symlink" if os.path.islink(path) else "No such file or directory"
    except OSError as error:
        return error.strerror
    if stat.S_ISDIR(status.st_mode):
        return "a folder"
    if not stat.S_ISREG(status.st_mode):
        return "a FIFO, socket or device, not a regular file"
    if not os.access(path, os.R_OK):
        return "Permission denied"
    return None


def is_device(status):
    return stat.S_ISCHR(status.st_mode) or stat.S_ISBLK(status.st_mode)


def open_input(path, copies=None):
    """The Source of one input file, or of standard input for "-". A compressed file's copy is
    shared through `copies` where given (get and put by the file's path and identity)."""
    label = "standard input" if path == "-" else shown(path)
    try:
        if path == "-":
            if sys.stdin is None:
                raise InputError("standard input: Bad file descriptor")
            source = open_spooled(label, spooled(label, sys.stdin.buffer))
            source.stem = "stdin"
            return source
        status = os.stat(path)
        if stat.S_ISSOCK(status.st_mode):
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
                connection.connect(path)
                with connection.makefile("rb") as stream:
                    source = open_spooled(label, spooled(label, stream))
        else:
            with open(path, "rb") as file:
                status = os.fstat(file.fileno())
                if not stat.S_ISREG(status.st_mode):
                    # A FIFO (such as a shell's process substitution) can be read only once.
                    source = open_spooled(label, spooled(label, file))
                else:
                    head = file.read(8)
                    if compression_of(head):
                        source = open_spooled(label, copy_of(label, path, head,
                                                             identity_of(status), copies))
                    else:
                        source = open_file(label, path, head, file)
                    source.identity = identity_of(status)
        source.path, source.stem = path, score_stem(path)
        return source
    except InputError:
        raise
    except OSError as error:
        if error.errno == errno.EMFILE:
            raise TooManyOpenFiles(label) from None
        raise UnreadableFile(f"{label}: {error.strerror or error}") from None
    except (ValueError, KeyError, zipfile.BadZipFile, EOFError) as error:
        raise InputError(f"{label}: not a score file ({first_line(error)})") from None


class TooManyOpenFiles(InputError):
    """The fault of the process's limit on open files, not of the input being opened; `where`
    names the worker when it is not the process that reports it."""

    def __init__(self, label, where=None):
        import resource

        self.label, self.where = label, where
        self.limit = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
        super().__init__(label, where)

    def __str__(self):
        who = self.where or "this process"
        return (f"{self.label}: too many files open at once ({who} may open {self.limit}); "
                "raise it (ulimit -n)")


def copy_of(label, path, head, identity, copies):
    """The decompressed copy of a compressed file: shared from `copies` (waiting for the one
    being made there or on this machine, if any), or made here."""
    if copies is None:
        return decompressed(label, path, head)
    key = (path, identity)
    with copies.making(key):
        return copies.get(key) or copies.put(key, copies.on_machine(
            key, label, lambda: decompressed(label, path, head, stop=copies.stopping)))


def share_copy(path, copies):
    """Makes the shared copy of the file at `path` in `copies` if it is compressed and has none
    yet."""
    with open(path, "rb") as file:
        status = os.fstat(file.fileno())
        head = file.read(8)
    if stat.S_ISREG(status.st_mode) and compression_of(head):
        copy_of(shown(path), path, head, identity_of(status), copies).close()


def open_file(label, path, head, file):
    """A score file, opened as `file`: memory-mapped where its format allows."""
    if head.startswith(NPY_MAGIC):
        return mapped(npy_source(label, np.load(path, mmap_mode="r", allow_pickle=False)))
    if head.startswith(ZIP_MAGIC):
        try:
            with zipfile.ZipFile(file) as archive:
                members = archive.namelist()
        except (zipfile.BadZipFile, OSError) as error:
            raise InputError(f"{label}: a damaged or truncated zip archive "
                             f"({first_line(error)})") from None
        if not any(name.endswith("/data.pkl") or name == "data.pkl" for name in members):
            return npz_source(label, path)
    # A torch.save zip file is memory-mapped; a legacy (non-zip) one is read whole. torch is
    # given the open file by a name of ASCII alone, whatever the file's own name holds.
    file.seek(0)
    source = layout_of(label, torch_load(label, f"/proc/self/fd/{file.fileno()}",
                                         mmap=head.startswith(ZIP_MAGIC)))
    return mapped(source) if head.startswith(ZIP_MAGIC) else source


def mapped(source):
    for chunk in source.chunks:
        chunk.mapped = True
    return source


_libc = None


def release_pages(tensor):
    """Gives back the pages of a tensor mapped from a file: they leave this process's memory
    (staying in the page cache) and are read again if used again. Only whole pages inside the
    tensor are given back, so that nothing beside it is touched, even where the tensor turns out
    to be a private copy (of values stored in the other byte order) that is not needed again."""
    global _libc
    if _libc is None:
        _libc = ctypes.CDLL(None, use_errno=True)
        _libc.madvise.argtypes = (ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int)
    start = tensor.data_ptr()
    end = start + tensor.numel() * tensor.element_size()
    first = -(-start // mmap.PAGESIZE) * mmap.PAGESIZE
    last = end // mmap.PAGESIZE * mmap.PAGESIZE
    if last > first:
        _libc.madvise(first, last - first, mmap.MADV_DONTNEED)


def spooled(label, stream):
    """The bytes of a stream in an unnamed file of $TMPDIR, after checking that it starts like a
    score file; read in pieces, so that a signal ends the run at once."""
    head = b""
    while len(head) < 8:
        piece = stream.read(8 - len(head))
        if not piece:
            break
        head += piece
    if not head.startswith(SCORE_MAGICS) and not compression_of(head):
        raise InputError(f"{label}: not a score file (it starts with {head[:8]!r})")
    spool = spool_file(label)
    with closed_on_failure(spool):
        spool_write(label, spool, head)
        while piece := stream.read(STREAM_PIECE):
            spool_write(label, spool, piece)
        spool_write(label, spool, b"")
    if compression_of(head):
        return decompressed(label, f"/proc/self/fd/{spool.fileno()}", head, spool)
    return spool


@contextlib.contextmanager
def closed_on_failure(spool):
    """Closes a copy that will not be handed on: one held open by the frames of an exception
    would keep its space in $TMPDIR until the next garbage collection, which an idle worker may
    never run."""
    try:
        yield
    except BaseException:
        close_quietly(spool)
        raise


def close_quietly(spool):
    """Closes a copy being given up: its buffered bytes, flushed on closing, would meet a full
    disk again, and that error must not take the place of the one that ended the copy."""
    with contextlib.suppress(OSError):
        spool.close()


def decompression_errors():
    """What the readers of gzip, bzip2 and xz raise for a damaged or truncated file."""
    errors = [OSError, EOFError, ValueError, zlib.error, lzma.LZMAError]
    with contextlib.suppress(ImportError):
        from isal import isal_zlib

        errors.append(isal_zlib.error)
    return tuple(errors)


def spool_file(label):
    folder = tempfile.gettempdir()
    try:
        return open(os.open(folder, os.O_TMPFILE | os.O_RDWR | os.O_CLOEXEC, 0o600), "w+b")
    except OSError:
        return tempfile.TemporaryFile(dir=folder)


def spool_write(label, spool, piece):
    """Writes (or with b"" flushes) a piece of the copy of `label`; a full $TMPDIR is named as
    such, not taken for a fault of the input."""
    try:
        if piece:
            spool.write(piece)
        else:
            spool.flush()
    except OSError as error:
        raise NoRoom(label, tempfile.gettempdir(), error.strerror or str(error)) from None


class NoRoom(InputError):
    """The copy of an input does not fit in $TMPDIR (a fault of the machine, not of the input);
    `where` names the machine when it is not the one that reports it."""

    def __init__(self, label, folder, reason, where=None):
        super().__init__(label, folder, reason, where)
        self.label, self.folder, self.reason, self.where = label, folder, reason, where

    def __str__(self):
        on = f" on {self.where}" if self.where else ""
        return (f"{self.label}: cannot copy it into {shown(self.folder)}{on} ({self.reason}); "
                "free space there or set TMPDIR to a folder with room")


def decompressed(label, path, head, compressed=None, stop=None):
    """A gzip, bzip2 or xz score file, decompressed into an unnamed file of $TMPDIR (given up
    once the event `stop` is set)."""
    import xopen

    spool = spool_file(label)
    damaged = decompression_errors()
    try:
        # gzip is inflated on a thread of its own while this one writes the copy (in process,
        # with ISA-L: half the time of doing both here); bzip2 and xz stay in process.
        kind = compression_of(head)
        with xopen.xopen(path, "rb", format=kind, threads=1 if kind == "gz" else 0) as stream:
            while True:
                if stop is not None and stop.is_set():
                    raise InputError(f"{label}: its copy was given up (the run ended)")
                try:
                    piece = stream.read(STREAM_PIECE)
                except damaged as error:
                    raise InputError(f"{label}: a damaged or truncated {compression_of(head)} "
                                     f"file ({first_line(error)})") from None
                spool_write(label, spool, piece)
                if not piece:
                    break
        spool.seek(0)
        if not spool.read(8).startswith(SCORE_MAGICS):
            raise InputError(f"{label}: compressed, but not a score file")
    except InputError:  # a ValueError, but not a fault of the file's compression
        close_quietly(spool)
        raise
    except damaged as error:  # opening it
        close_quietly(spool)
        raise InputError(f"{label}: a damaged or truncated {compression_of(head)} file "
                         f"({first_line(error)})") from None
    except BaseException:
        close_quietly(spool)
        raise
    finally:
        if compressed is not None:
            compressed.close()
    return spool


def open_spooled(label, spool):
    with closed_on_failure(spool):
        spool.seek(0)
        head = spool.read(8)
        source = open_file(label, f"/proc/self/fd/{spool.fileno()}", head, spool)
    source.spool = spool
    return source


def first_line(error):
    lines = [line.strip() for line in str(error).splitlines() if line.strip()]
    return lines[0] if lines else type(error).__name__


def torch_load(label, file, mmap):
    """torch.load with the weights-only loader: a file that would run code is refused."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # notes on pickle protocols would add lines
            return torch.load(file, map_location="cpu", weights_only=True, mmap=mmap)
    except Exception as error:  # torch raises many kinds for files it cannot read safely
        if "Too many open files" in str(error) or getattr(error, "errno", None) == errno.EMFILE:
            raise TooManyOpenFiles(label) from None
        if isinstance(error, OSError) and error.strerror:
            raise InputError(f"{label}: {error.strerror}") from None
        lines = [line.strip() for line in str(error).splitlines() if line.strip()]
        unsafe = next((match[1] for line in lines if (match := UNSAFE_GLOBAL.search(line))),
                      None)
        if unsafe is not None:
            raise InputError(f"{label}: refused: loading it would run code ({unsafe}); the file "
                             "may be unsafe") from None
        reason = lines[0] if lines else type(error).__name__
        for i, line in enumerate(lines):
            if "Unpickler error" in line:
                reason = line[line.index("Unpickler error"):]
                if line.endswith(":") and i + 1 < len(lines):
                    reason += " " + lines[i + 1]
        raise InputError(f"{label}: not a torch.save file of tensors, lists and dicts "
                         f"({reason})") from None


def from_numpy(array):
    """A tensor over a numpy array (a read-only memory map is not copied; values stored in the
    other byte order are converted, a chunk at a time)."""
    if not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # torch notes that the map is read-only; we only read it
        return torch.from_numpy(array)


def numpy_dtype(label, array):
    try:
        return from_numpy(np.empty(0, array.dtype)).dtype
    except TypeError:
        raise InputError(f"{label}: arrays of {array.dtype} cannot hold scores") from None


def npy_source(label, array):
    dtype = numpy_dtype(label, array)
    if array.ndim == 3:
        chunks = [Chunk(None, f"{label}: chunk {i}", array.shape[1:], dtype,
                        lambda i=i: (from_numpy(array[i]), None, None))
                  for i in range(array.shape[0])]
    else:
        chunks = [Chunk(None, label, array.shape, dtype, lambda: (from_numpy(array), None, None))]
    return Source(label, chunks)


NUMPY_DEFAULT_KEY = re.compile(r"arr_\d+")


def npz_source(label, path):
    """Each array of an .npz archive is a chunk named by its key, or a batch whose chunks are
    named KEY_0, KEY_1, ... (numpy's own keys arr_N name nothing: the file's name does); arrays
    are read one at a time, in the order stored, and the archive is open only while one is
    read."""
    layouts = []
    with np.load(path, allow_pickle=False) as archive:
        for key in archive.files:
            with archive.zip.open(f"{key}.npy") as file:
                version = np.lib.format.read_magic(file)
                shape, _, dtype = (np.lib.format.read_array_header_1_0(file) if version == (1, 0)
                                   else np.lib.format.read_array_header_2_0(file))
            layouts.append((key, shape, dtype))
    held = {}  # the array being cut into chunks, and the chunks of it not yet taken

    def member(key, uses):
        if key not in held:
            held.clear()  # one array at a time
            with np.load(path, allow_pickle=False) as archive:
                held[key] = [archive[key], uses]
        array = held[key][0]
        held[key][1] -= 1
        if held[key][1] == 0:
            del held[key]
        return array

    chunks = []
    for key, shape, dtype in layouts:
        if dtype.hasobject:
            raise InputError(f"{label}: array {key} holds Python objects, which are never "
                             "unpickled")
        dtype = numpy_dtype(f"{label}: array {key}", np.empty(0, dtype))
        # numpy names the arrays given without a name arr_0, arr_1, ... in every file: such
        # chunks are named after the file, as those of a .pt or .npy file are.
        unnamed = NUMPY_DEFAULT_KEY.fullmatch(key) is not None
        if len(shape) == 3:
            chunks += [Chunk(None if unnamed else f"{key}_{i}", f"{label}: array {key}[{i}]",
                             shape[1:], dtype,
                             lambda key=key, i=i, n=shape[0]: (from_numpy(member(key, n)[i]),
                                                                None, None))
                       for i in range(shape[0])]
        else:
            chunks.append(Chunk(None if unnamed else key, f"{label}: array {key}", shape, dtype,
                                lambda key=key: (from_numpy(member(key, 1)), None, None)))
    return Source(label, chunks)


def tensor_list(label, value, what):
    """Per-chunk tensors from a tensor (3-D: several chunks; otherwise one) or a list."""
    if isinstance(value, torch.Tensor):
        return list(value.unbind(0)) if value.dim() == 3 else [value]
    if isinstance(value, (list, tuple)):
        for i, item in enumerate(value):
            if not isinstance(item, torch.Tensor):
                raise InputError(f"{label}: {what}[{i}] is {type(item).__name__}, not a tensor")
        return list(value)
    raise InputError(f"{label}: {what}: expected a tensor or a list of tensors, found "
                     f"{type(value).__name__}")


def per_chunk(label, value, count, what):
    if isinstance(value, torch.Tensor) and value.dim() == 3 and count > 1:
        items = list(value.unbind(0))
    elif isinstance(value, torch.Tensor):
        items = [value]
    else:
        items = tensor_list(label, value, what)
    if len(items) != count:
        raise InputError(f"{label}: {what}: {len(items)} entries for {count} chunks")
    return items


def make_chunks(label, scores, names, guides, posts):
    many = len(scores) > 1
    chunks = []
    for i, tensor in enumerate(scores):
        chunk_label = f"{label}: chunk {i}" if many else label
        checks.check_dense(chunk_label, tensor)
        for what, stored in (("back_guides", guides), ("posts", posts)):
            if stored:
                checks.check_dense(f"{chunk_label}: {what}", stored[i])
        stored = (guides[i] if guides else None, posts[i] if posts else None)
        chunks.append(Chunk(names[i] if names else None, chunk_label, tuple(tensor.shape),
                            tensor.dtype, lambda s=tensor, stored=stored: (s, *stored),
                            stored=tuple(map(Layout.of, stored)) if guides or posts else ()))
    return chunks


def layout_of(label, content):
    """The Source of a loaded torch.save object (or numpy array from standard input)."""
    if isinstance(content, np.ndarray):
        return npy_source(label, content)
    if isinstance(content, dict) and any(isinstance(k, str) and k in CONTAINER_KEYS
                                         for k in content):
        return container(label, content)
    if isinstance(content, dict):
        names = list(content)
        for name in names:
            if not isinstance(name, str):
                raise InputError(f"{label}: read names must be str; a key is "
                                 f"{type(name).__name__} ({name!r:.40})")
        scores = [content[name] for name in names]
        for name, item in zip(names, scores):
            if not isinstance(item, torch.Tensor):
                raise InputError(f"{label}: read {name}: expected a tensor, found "
                                 f"{type(item).__name__}")
        return Source(label, make_chunks(label, scores, names, None, None))
    return Source(label, make_chunks(label, tensor_list(label, content, "scores"), None, None,
                                     None))


def container(label, content):
    unknown = [key for key in content if key not in CONTAINER_KEYS]
    if unknown:
        raise InputError(f"{label}: unknown key {unknown[0]!r:.60} in a dict with "
                         f"{', '.join(repr(k) for k in CONTAINER_KEYS if k in content)} "
                         f"(the keys of this layout: {', '.join(CONTAINER_KEYS)})")
    if "scores" not in content:
        raise InputError(f"{label}: a dict with {', '.join(repr(k) for k in content)} needs "
                         "'scores'")
    scores = tensor_list(label, content["scores"], "scores")
    names = None
    if "names" in content:
        names = content["names"]
        if not isinstance(names, (list, tuple)):
            raise InputError(f"{label}: names must be a list of str, not "
                             f"{type(names).__name__}")
        for i, name in enumerate(names):
            if not isinstance(name, str):
                raise InputError(f"{label}: read names must be str; names[{i}] is "
                                 f"{type(name).__name__}")
        if len(names) != len(scores):
            raise InputError(f"{label}: {len(names)} names for {len(scores)} chunks")
        names = list(names)
    guides = posts = None
    if "back_guides" in content:
        guides = per_chunk(label, content["back_guides"], len(scores), "back_guides")
    if "posts" in content:
        posts = per_chunk(label, content["posts"], len(scores), "posts")
    overlap = None
    if "overlap" in content:
        try:
            overlap = check_overlap(content["overlap"], f"{label}: overlap")
        except ValueError as error:
            raise InputError(str(error)) from None
    return Source(label, make_chunks(label, scores, names, guides, posts), overlap)
