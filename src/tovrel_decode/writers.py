"""Where and how reads are written.

Reads are always written into a private file of this run, unnamed (O_TMPFILE) where the file
system allows it, and reach their destination only when complete: a regular file is replaced
atomically (the private file is linked beside it and renamed over it, keeping its permission
bits); standard output, a FIFO, a device or a socket gets a copy. A failed, interrupted or even
killed run therefore leaves nothing partial anywhere. Where a named temporary file had to be used,
its name carries the process id, and a later run removes those whose process is gone.
"""
from __future__ import annotations

import array
import ctypes
import errno
import os
import re
import socket
import stat
import sys
import tempfile
from typing import IO, Any, Iterable, Optional

import dnaio
import xopen

from . import checks, inputs
from .errors import OutputError, UsageError
from .results import DecodedRead

FORMATS = ("fastq", "fasta", "fastq.gz", "fasta.gz", "sam", "bam")
SUFFIXES = {".fastq": "fastq", ".fq": "fastq", ".fasta": "fasta", ".fa": "fasta", ".sam": "sam",
            ".bam": "bam"}
MOVES_TAG = "mo"  # the per-block moves of an unaligned SAM/BAM record, as a B:C array
TEMPORARY_PREFIX = ".tovrel-decode-"
TEMPORARY_NAME = re.compile(re.escape(TEMPORARY_PREFIX) + r"(\d+)-")
COPY_SIZE = 1 << 20
AT_FDCWD = -100
AT_EMPTY_PATH = 0x1000


def format_of(path: Optional[str], explicit: Optional[str]) -> str:
    """The output format: `explicit`, else the name's suffix; FASTQ for any other name and for
    standard output. A trailing .gz compresses FASTQ or FASTA."""
    if explicit:
        if explicit not in FORMATS:
            raise UsageError(f"unknown format {explicit!r}; one of {', '.join(FORMATS)}")
        return explicit
    name = "" if path is None or path == "-" else os.path.basename(path).lower()
    compressed = name.endswith(".gz")
    if compressed:
        name = name[:-3]
    kind = next((kind for suffix, kind in SUFFIXES.items() if name.endswith(suffix)), "fastq")
    if compressed and kind not in ("fastq", "fasta"):
        raise UsageError(f"{path}: {kind.upper()} cannot be gzip-compressed; name it .{kind}")
    return f"{kind}.gz" if compressed else kind


def is_binary(kind: str) -> bool:
    return kind == "bam" or kind.endswith(".gz")


def same_file(a: os.stat_result, b: os.stat_result) -> bool:
    return a.st_dev == b.st_dev and a.st_ino == b.st_ino


def process_is_gone(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except OSError:
        pass  # alive, but another user's
    return False


def remove_leftovers(folder: str) -> None:
    """Removes the temporary files that runs which died left in `folder`."""
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        match = TEMPORARY_NAME.match(name)
        if match and int(match.group(1)) != os.getpid() and process_is_gone(int(match.group(1))):
            try:
                os.unlink(os.path.join(folder, name))
            except OSError:
                pass


def private_file(folder: str) -> tuple[IO[bytes], Optional[str]]:
    """A new empty file in `folder` that only this run sees: unnamed where the file system can
    make one (then None), else named after this process."""
    remove_leftovers(folder)
    try:
        handle = os.open(folder, os.O_TMPFILE | os.O_RDWR | os.O_CLOEXEC, 0o600)
        return os.fdopen(handle, "w+b"), None
    except OSError as error:
        if error.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL, errno.ENOENT):
            raise
    handle, name = tempfile.mkstemp(dir=folder, prefix=f"{TEMPORARY_PREFIX}{os.getpid()}-")
    return os.fdopen(handle, "w+b"), name


def link_into(file: IO[bytes], folder: str) -> str:
    """Gives the unnamed `file` a temporary name in `folder`; returns the name."""
    name = os.path.join(folder, f"{TEMPORARY_PREFIX}{os.getpid()}-{os.urandom(6).hex()}")
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.linkat(file.fileno(), b"", AT_FDCWD, os.fsencode(name), AT_EMPTY_PATH) == 0:
        return name
    try:  # without the capability AT_EMPTY_PATH needs
        os.link(f"/proc/self/fd/{file.fileno()}", name, follow_symlinks=True)
        return name
    except OSError:
        pass
    handle = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    try:
        file.seek(0)
        with os.fdopen(handle, "wb") as copy:
            while block := file.read(COPY_SIZE):
                copy.write(block)
            copy.flush()
            os.fchmod(copy.fileno(), stat.S_IMODE(os.fstat(file.fileno()).st_mode))
            os.fsync(copy.fileno())
    except BaseException:
        os.unlink(name)
        raise
    return name


class Target:
    """The place the reads go. `check` refuses, before anything is read, a target that must not
    or cannot be written; `open` returns the private file to write; `commit` puts its content in
    place; `discard` drops it."""

    def __init__(self, path: Optional[str]) -> None:
        if path == "":
            raise UsageError("the output name is empty")
        if path is not None and path != "-" and path.endswith("/"):
            raise UsageError(f"{path}: an output name cannot end in /; name a file in the folder")
        self.path = path
        self.is_stdout = path is None or path == "-"
        self.name = "" if path is None or self.is_stdout else path  # the file system's name
        self.label = "standard output" if self.is_stdout else self.name
        self.file: Optional[IO[bytes]] = None
        self.named: Optional[str] = None  # the private file's name, where it could not be unnamed
        self.final: Optional[str] = None  # the regular file replaced on commit
        self.status: Optional[os.stat_result] = None

    def existing(self) -> Optional[os.stat_result]:
        """os.stat of what the target names (symlinks followed), or None."""
        if self.is_stdout:
            try:
                return os.fstat(1)
            except OSError as error:
                raise OutputError("standard output", error) from None
        try:
            return os.stat(self.name)
        except FileNotFoundError:
            return None
        except OSError as error:
            raise OutputError(self.name, error) from None

    def check(self, inputs: Iterable[str] = (), kind: str = "fastq") -> None:
        """Refuses an output that is an input, or an existing score file (UsageError), binary
        output to a terminal (UsageError), and a target that cannot be written (OutputError)."""
        status = self.existing()
        self.status = status
        if self.is_stdout:
            if is_binary(kind) and os.isatty(1):
                what = "BAM" if kind == "bam" else "gzip-compressed"
                raise UsageError(f"{what} output is not written to a terminal; redirect it or "
                                 "name a file with -o")
        elif os.path.islink(self.name) and status is None:
            raise OutputError(self.name, "not writing through a dangling symlink")
        if status is not None and stat.S_ISREG(status.st_mode):
            for path in inputs:
                if path != "-" and os.path.exists(path) and same_file(status, os.stat(path)):
                    raise UsageError(f"{'output ' if not self.is_stdout else ''}{self.label} is "
                                     f"the same file as input {path}")
            if not self.is_stdout:
                self.refuse_score_file()
        if self.is_stdout:
            return
        if status is not None and stat.S_ISDIR(status.st_mode):
            raise OutputError(self.name, IsADirectoryError(errno.EISDIR, "Is a directory"))
        if status is None or stat.S_ISREG(status.st_mode):
            folder = os.path.dirname(os.path.realpath(self.name))
            if not os.path.isdir(folder):
                raise OutputError(self.name, FileNotFoundError(errno.ENOENT,
                                                               "No such file or directory"))
            if not os.access(folder, os.W_OK | os.X_OK):
                raise OutputError(self.name, PermissionError(errno.EACCES, "Permission denied"))

    def refuse_score_file(self) -> None:
        """`-o scores.pt other.pt` is a slip for two inputs: a score file is never replaced."""
        try:
            with open(self.name, "rb") as existing:
                head = existing.read(8)
        except OSError:
            head = b""
        if inputs.looks_like_scores(self.name, head):
            raise UsageError(f"output {self.name} is a score file; it is never replaced")

    @property
    def replaces_file(self) -> bool:
        return not self.is_stdout and (self.status is None or stat.S_ISREG(self.status.st_mode))

    def spool_label(self) -> str:
        return f"{tempfile.gettempdir()} (holding the output for {self.label})"

    def open(self) -> IO[bytes]:
        """The private file the reads are written to."""
        if self.replaces_file:
            self.final = os.path.realpath(self.name)
            folder, label = os.path.dirname(self.final), self.label
        else:
            folder, label = tempfile.gettempdir(), self.spool_label()
        try:
            self.file, self.named = private_file(folder)
            if self.final is not None:
                self.set_mode()
        except OSError as error:
            self.discard()
            raise OutputError(label, error) from None
        return self.file

    def set_mode(self) -> None:
        """An existing file keeps its permission bits and, where we may give it, its owner; a new
        one follows the umask."""
        assert self.file is not None
        handle = self.file.fileno()
        if self.status is not None:
            os.fchmod(handle, stat.S_IMODE(self.status.st_mode))
            try:
                os.fchown(handle, self.status.st_uid, self.status.st_gid)
            except PermissionError:
                pass  # as cp does, the owner stays ours where we may not give it away
        else:
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(handle, 0o666 & ~umask)

    def commit(self) -> None:
        """Puts the complete output in place. BrokenPipeError when the reader of a pipe has left;
        OutputError for any other failure, after which nothing has changed (but for the part of
        a copy that a stream received)."""
        assert self.file is not None
        try:
            self.file.flush()
            if self.final is not None:
                os.fsync(self.file.fileno())
                folder = os.path.dirname(self.final)
                name = self.named or link_into(self.file, folder)
                os.replace(name, self.final)
                self.named = None
            else:
                self.copy_to_destination()
        except BrokenPipeError:
            raise
        except OSError as error:
            raise OutputError(self.label, error) from None
        finally:
            self.discard()

    def copy_to_destination(self) -> None:
        assert self.file is not None
        self.file.seek(0)
        if self.is_stdout:
            sys.stdout.flush()
            destination, close = sys.stdout.buffer, False
        elif self.status is not None and stat.S_ISSOCK(self.status.st_mode):
            connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            connection.connect(self.name)
            destination, close = connection.makefile("wb"), True
            connection.close()  # the file object keeps the connection
        else:
            destination, close = open(self.name, "wb"), True
        try:
            while block := self.file.read(COPY_SIZE):
                destination.write(block)
            destination.flush()
        finally:
            if close:
                destination.close()

    def discard(self) -> None:
        """Drops the private file: an unnamed one vanishes when closed."""
        if self.file is not None:
            try:
                self.file.close()
            except OSError:
                pass
            self.file = None
        if self.named is not None:
            try:
                os.unlink(self.named)
            except OSError:
                pass
            self.named = None


class SequenceWriter:
    """FASTQ or FASTA records (optionally gzip-compressed) through dnaio and xopen."""

    def __init__(self, stream: IO[bytes], kind: str) -> None:
        self.kind = kind.split(".")[0]
        self.compressed = None
        if kind.endswith(".gz"):
            self.compressed = xopen.xopen(stream, "wb", format="gz", threads=0)
            stream = self.compressed
        self.writer = dnaio.open(stream, mode="w", fileformat=self.kind)  # type: ignore

    def write(self, read: DecodedRead) -> None:
        self.writer.write(dnaio.SequenceRecord(
            read.name, read.sequence, read.quality if self.kind == "fastq" else None))

    def close(self) -> None:
        self.writer.close()
        if self.compressed is not None:
            self.compressed.close()


class AlignmentWriter:
    """Unaligned SAM or BAM records through pysam: flag 4, name, sequence, qualities and the
    per-block moves in the `mo` tag. The SAM/BAM library's own messages are silenced; its
    failures surface as OSError."""

    def __init__(self, stream: IO[bytes], kind: str, header: dict) -> None:
        import pysam  # only SAM and BAM need it

        self.pysam = pysam
        self.verbosity = pysam.set_verbosity(0)
        try:
            self.file = pysam.AlignmentFile(stream, "wb" if kind == "bam" else "w", header=header)
        except BaseException:
            pysam.set_verbosity(self.verbosity)
            raise

    def write(self, read: DecodedRead) -> None:
        record = self.pysam.AlignedSegment(self.file.header)
        record.query_name = read.name
        record.query_sequence = read.sequence
        record.flag = 4
        record.query_qualities = self.pysam.qualitystring_to_array(read.quality)
        moves = array.array("B")  # pysam takes a B:C array as array.array, not numpy
        moves.frombytes(read.moves.tobytes())
        record.set_tag(MOVES_TAG, moves)
        try:
            self.file.write(record)
        except OSError as error:
            # pysam's message for a failed record carries no reason; closing gives the errno.
            self.close()
            raise OSError(error.errno or errno.EIO, "writing SAM/BAM failed") from None

    def close(self) -> None:
        try:
            if self.file.is_open:
                self.file.close()
        finally:
            self.pysam.set_verbosity(self.verbosity)


def sam_header(version: str, command_line: Optional[str]) -> dict:
    program = {"ID": "tovrel-decode", "PN": "tovrel-decode", "VN": version}
    if command_line is not None:
        program["CL"] = command_line
    return {"HD": {"VN": "1.6", "SO": "unknown"}, "PG": [program]}


class Writer:
    """Writes DecodedReads to a target; see open_writer."""

    def __init__(self, target: Target, kind: str, command_line: Optional[str]) -> None:
        import tovrel_tensors

        self.target = target
        self.kind = kind
        self.sam_names = kind in ("sam", "bam")
        stream = target.open()
        try:
            self.records: Any = AlignmentWriter(
                stream, kind, sam_header(tovrel_tensors.__version__, command_line)
            ) if self.sam_names else SequenceWriter(stream, kind)
        except OSError as error:
            target.discard()
            raise OutputError(target.label if target.final else target.spool_label(),
                              error) from None
        except BaseException:
            target.discard()
            raise

    def write(self, read: DecodedRead) -> None:
        checks.check_name(read.name, f"read {read.name!r:.80}", sam=self.sam_names)
        try:
            self.records.write(read)
        except OSError as error:
            self.abandon()
            raise OutputError(self.target.label if self.target.final else
                              self.target.spool_label(), error) from None

    def close(self) -> None:
        """Completes the output and puts it in place."""
        try:
            self.records.close()
        except OSError as error:
            self.abandon()
            raise OutputError(self.target.label if self.target.final else
                              self.target.spool_label(), error) from None
        except BaseException:
            self.abandon()
            raise
        self.target.commit()

    def abandon(self) -> None:
        """Drops everything written: the destination stays as it was."""
        try:
            self.records.close()
        except Exception:
            pass
        self.target.discard()

    def __enter__(self) -> "Writer":
        return self

    def __exit__(self, exc_type: Any, exc: Any, traceback: Any) -> None:
        if exc_type is None:
            self.close()
        else:
            self.abandon()


def open_writer(path: Optional[str] = None, format: Optional[str] = None, *,
                command_line: Optional[str] = None, inputs: Iterable[str] = ()) -> Writer:
    """A writer of DecodedReads to `path` (None or "-": standard output) in `format` ("fastq",
    "fasta", "fastq.gz", "fasta.gz", "sam", "bam"; by default from the name, else FASTQ), with the
    command's rules: nothing reaches the destination before `close()` (or leaving the `with`),
    an existing regular file is replaced atomically keeping its permission bits, a device, FIFO
    or socket is written through, and an exception inside the `with` leaves the destination as
    it was. An output that is the same file as one of `inputs` is refused (UsageError), and so is
    binary output to a terminal. `command_line` goes into the SAM/BAM header's @PG line."""
    kind = format_of(path, format)
    target = Target(path)
    target.check(list(inputs), kind)
    return Writer(target, kind, command_line)

