"""Where the bytes of an output go.

A regular file named as the output is written all or nothing: into a private file of this run,
unnamed (O_TMPFILE) where the file system allows it, linked beside the output and renamed over it
once complete, keeping its permission bits. A failed, interrupted or even killed run leaves
nothing behind. With keep_partial (the library's choice for long runs), the file is written in
place under OUTPUT.partial instead, flushed every 0.2 s, and renamed to OUTPUT only
when complete.

Streams (standard output, an open descriptor named /dev/stdout, /dev/fd/N or /proc/self/fd/N, a
FIFO, a socket, a device) receive the records as they are written, flushed at least once a
second, through one writer that takes every byte or raises: it goes on after partial writes and
waits on a descriptor that would block.

Only the standard library: neither torch nor numpy.
"""
from __future__ import annotations

import ctypes
import errno
import hashlib
import io
import os
import re
import select
import socket
import stat
import threading
from typing import IO, Any, Iterable, Optional, Union

from . import sniff
from .errors import OutputError, UsageError, shown

COMPRESSIONS = (".gz", ".bz2", ".xz")
FLUSH_SECONDS = 0.2  # a stream or partial file gets new records at least this often
PARTIAL_SUFFIX = ".partial"
TEMPORARY_PREFIX = ".tovrel-decode."
TEMPORARY_NAME = re.compile(re.escape(TEMPORARY_PREFIX) + r"(\d+)\.([0-9a-f]{16})\.")
PIECE = 1 << 16
AT_FDCWD = -100
AT_EMPTY_PATH = 0x1000
# A descriptor named as a path: writing to it must not replace what it is open on.
DESCRIPTOR_PATH = re.compile(r"/dev/(?:std(?P<std>in|out|err)|fd/(?P<fd>\d+))|"
                             r"/proc/(?:self|thread-self|(?P<pid>\d+))(?:/task/\d+)?"
                             r"/fd/(?P<procfd>\d+)")



def is_binary(kind: str) -> bool:
    """Whether a format writes bytes a terminal must not receive."""
    return kind == "bam" or kind.endswith(COMPRESSIONS)


def same_file(a: os.stat_result, b: os.stat_result) -> bool:
    return a.st_dev == b.st_dev and a.st_ino == b.st_ino


def descriptor_named(path: str) -> Optional[int]:
    """The descriptor of this process that `path` names (/dev/stdout, /dev/fd/N,
    /proc/self/fd/N, or a symlink to one of them), or None."""
    for _ in range(40):
        match = DESCRIPTOR_PATH.fullmatch(os.path.normpath(path))
        if match:
            if match["std"]:
                return ("in", "out", "err").index(match["std"])
            if match["fd"]:
                return int(match["fd"])
            if match["pid"] is None or int(match["pid"]) == os.getpid():
                return int(match["procfd"])
            return None
        if not os.path.islink(path):
            return None
        path = os.path.join(os.path.dirname(path), os.readlink(path))
    return None


# Private files whose name could not be avoided carry this process's id and a digest of where the
# id means something: the host, its boot and the PID namespace. Clean-up touches only those of
# this very place whose process is gone.
def process_place() -> str:
    parts = [socket.gethostname()]
    for path in ("/proc/sys/kernel/random/boot_id", "/proc/self/ns/pid"):
        try:
            if path.endswith("/pid"):
                parts.append(os.readlink(path))
            else:
                with open(path) as text:
                    parts.append(text.read())
        except OSError:
            parts.append("")
    return hashlib.sha256("\0".join(parts).encode()).hexdigest()[:16]


def process_is_gone(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except OSError:
        pass  # alive, but another user's
    return False


def remove_leftovers(folder: str) -> None:
    """Removes the temporary files that runs of this host, boot and PID namespace left in
    `folder` when they died."""
    try:
        entries = os.listdir(folder)
    except OSError:
        return
    place = process_place()
    for entry in entries:
        match = TEMPORARY_NAME.match(entry)
        if match and match[2] == place and int(match[1]) != os.getpid() and \
                process_is_gone(int(match[1])):
            try:
                os.unlink(os.path.join(folder, entry))
            except OSError:
                pass


def temporary_name(folder: str) -> str:
    return os.path.join(folder, f"{TEMPORARY_PREFIX}{os.getpid()}.{process_place()}."
                                f"{os.urandom(6).hex()}")


def private_file(folder: str) -> tuple[IO[bytes], Optional[str]]:
    """A new empty file in `folder` that only this run sees: unnamed where the file system can
    make one (then None), else named as temporary_name says."""
    remove_leftovers(folder)
    try:
        handle = os.open(folder, os.O_TMPFILE | os.O_RDWR | os.O_CLOEXEC, 0o600)
        return os.fdopen(handle, "w+b"), None
    except OSError as error:
        if error.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL, errno.ENOENT):
            raise
    name = temporary_name(folder)
    handle = os.open(name, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    return os.fdopen(handle, "w+b"), name


def link_into(file: IO[bytes], folder: str) -> str:
    """Gives the unnamed `file` a temporary name in `folder`; returns the name."""
    name = temporary_name(folder)
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
            while block := file.read(1 << 20):
                copy.write(block)
            copy.flush()
            os.fchmod(copy.fileno(), stat.S_IMODE(os.fstat(file.fileno()).st_mode))
            os.fsync(copy.fileno())
    except BaseException:
        os.unlink(name)
        raise
    return name


def write_all(fd: int, data: Union[bytes, bytearray, memoryview]) -> None:
    """Writes every byte of `data` to `fd`: on after a partial write, waiting while a
    non-blocking descriptor would block. OSError (BrokenPipeError when the reader left)."""
    view = memoryview(data).cast("B")
    while view:
        try:
            written = os.write(fd, view)
        except BlockingIOError:
            poller = select.poll()
            poller.register(fd, select.POLLOUT)
            poller.poll()
            continue
        view = view[written:]


class DescriptorStream(io.RawIOBase):
    """A binary stream over a descriptor that takes every byte written or raises."""

    def __init__(self, fd: int, owned: bool) -> None:
        super().__init__()
        self.fd = fd
        self.owned = owned

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        write_all(self.fd, data)
        return memoryview(data).nbytes

    def close(self) -> None:
        if not self.closed and self.owned:
            os.close(self.fd)
        super().close()


class Pump:
    """Carries what a library writes into a pipe (pysam writes only to descriptors) to a stream,
    on a thread. After a failure it goes on draining the pipe, so that the writer never blocks;
    the failure is raised by finish()."""

    def __init__(self, destination: int) -> None:
        self.read_end, write_end = os.pipe2(os.O_CLOEXEC)
        self.writer = os.fdopen(write_end, "wb", buffering=0)
        self.destination = destination
        self.error: Optional[OSError] = None
        self.done = threading.Event()
        threading.Thread(target=self.run, name="tovrel-output", daemon=True).start()

    def run(self) -> None:
        try:
            while data := os.read(self.read_end, PIECE):
                if self.error is None:
                    try:
                        write_all(self.destination, data)
                    except OSError as error:
                        self.error = error
        finally:
            os.close(self.read_end)
            self.done.set()

    def finish(self) -> None:
        """Waits until everything written to the pipe (now closed) has gone on."""
        self.done.wait()
        if self.error is not None:
            raise self.error


class Target:
    """The place the reads go. `check` refuses, before anything is read, a target that must not
    or cannot be written; `open` returns the file the format writes (with a descriptor where
    `descriptor` is asked for); `commit` puts the output in place; `discard` drops what can be
    dropped."""

    streams = False  # the records reach the destination as they are written

    def __init__(self, path: Optional[str]) -> None:
        self.path = path
        self.label = shown(path) if path else "standard output"

    def check(self, inputs: Iterable[str] = (), kind: str = "fastq") -> None:
        raise NotImplementedError

    def open(self, descriptor: bool) -> IO[bytes]:
        raise NotImplementedError

    def flush(self) -> None:
        pass

    def commit(self) -> None:
        raise NotImplementedError

    def discard(self) -> None:
        raise NotImplementedError

    def refuse_inputs(self, status: Optional[os.stat_result], inputs: Iterable[str]) -> None:
        if status is None or not stat.S_ISREG(status.st_mode):
            return
        for path in inputs:
            try:
                if path != "-" and same_file(status, os.stat(path)):
                    raise UsageError(f"{'output ' if self.path else ''}{self.label} is the same "
                                     f"file as input {shown(path)}")
            except OSError:
                pass


def target_for(path: Optional[str], keep_partial: bool = False) -> Target:
    """Where `path` (None or "-": standard output) sends the reads."""
    if path == "":
        raise UsageError("the output name is empty")
    if path is None or path == "-":
        return StreamTarget(None, 1)
    if path.endswith("/"):
        raise UsageError(f"{shown(path)}: an output name cannot end in /; name a file in the "
                         "folder")
    descriptor = descriptor_named(path)
    if descriptor is not None:
        return StreamTarget(path, descriptor)
    try:
        status = os.stat(path)
    except OSError:
        status = None
    if status is not None and not stat.S_ISREG(status.st_mode) and \
            not stat.S_ISDIR(status.st_mode):
        return StreamTarget(path, None)
    return PartialFileTarget(path) if keep_partial else FileTarget(path)


class StreamTarget(Target):
    """Standard output, an open descriptor, a FIFO, a socket or a device: written through."""

    streams = True

    def __init__(self, path: Optional[str], descriptor: Optional[int]) -> None:
        super().__init__(path)
        self.descriptor = descriptor  # open already; else `path` is opened
        if path is not None and descriptor is not None:
            self.label = f"{shown(path)} (descriptor {descriptor})"
        self.fd: Optional[int] = None
        self.stream: Optional[IO[bytes]] = None
        self.pump: Optional[Pump] = None

    def status(self) -> os.stat_result:
        try:
            return os.fstat(self.descriptor) if self.descriptor is not None else \
                os.stat(self.path)  # type: ignore[arg-type]
        except OSError as error:
            raise OutputError(self.label, error) from None

    def check(self, inputs: Iterable[str] = (), kind: str = "fastq") -> None:
        status = self.status()
        if is_binary(kind) and stat.S_ISCHR(status.st_mode) and \
                self.descriptor is not None and os.isatty(self.descriptor):
            what = "BAM" if kind == "bam" else "compressed"
            raise UsageError(f"{what} output is not written to a terminal; redirect it or name "
                             "a file with -o")
        self.refuse_inputs(status, inputs)

    def open(self, descriptor: bool) -> IO[bytes]:
        try:
            if self.descriptor is not None:
                self.fd = self.descriptor
            elif stat.S_ISSOCK(self.status().st_mode):
                assert self.path is not None
                connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                connection.connect(self.path)
                self.fd = connection.detach()
            else:
                self.fd = os.open(self.path, os.O_WRONLY | os.O_CLOEXEC)  # type: ignore[arg-type]
        except OSError as error:
            raise OutputError(self.label, error) from None
        if descriptor:
            self.pump = Pump(self.fd)
            self.stream = self.pump.writer
        else:
            self.stream = io.BufferedWriter(DescriptorStream(self.fd, owned=False), 1 << 16)
        return self.stream

    def flush(self) -> None:
        if self.stream is not None and self.pump is None:
            self.stream.flush()
        if self.pump is not None and self.pump.error is not None:
            raise self.pump.error

    def commit(self) -> None:
        try:
            if self.pump is not None:
                if self.stream is not None and not self.stream.closed:
                    self.stream.close()
                self.pump.finish()
            elif self.stream is not None:
                self.stream.flush()
        finally:
            self.discard()

    def discard(self) -> None:
        if self.stream is not None:
            try:
                self.stream.close()
            except OSError:
                pass  # what was sent is sent; the failure has been reported
            self.stream = None
        if self.pump is not None:
            self.pump.done.wait()
        if self.fd is not None and self.fd != self.descriptor:
            os.close(self.fd)
        self.fd = None


class FileTarget(Target):
    """A regular file, replaced all at once when complete."""

    def __init__(self, path: str) -> None:
        super().__init__(path)
        self.file: Optional[IO[bytes]] = None
        self.named: Optional[str] = None  # the private file's name, where it could not be unnamed
        self.final: Optional[str] = None
        self.status: Optional[os.stat_result] = None

    def check(self, inputs: Iterable[str] = (), kind: str = "fastq") -> None:
        path = self.path
        assert path is not None
        try:
            self.status = os.stat(path)
        except FileNotFoundError:
            self.status = None
            if os.path.islink(path):
                raise OutputError(self.label, "not writing through a dangling symlink") from None
        except OSError as error:
            raise OutputError(self.label, error) from None
        if self.status is not None and stat.S_ISDIR(self.status.st_mode):
            raise OutputError(self.label, IsADirectoryError(errno.EISDIR, "Is a directory"))
        self.refuse_inputs(self.status, inputs)
        if self.status is not None:
            self.refuse_score_file()
            if not os.access(path, os.W_OK):  # as the shell's > refuses it
                raise OutputError(self.label, not_writable(path))
        folder = os.path.dirname(os.path.realpath(path))
        if not os.path.isdir(folder):
            raise OutputError(self.label, FileNotFoundError(errno.ENOENT, "No such file or "
                                                                          "directory"))
        if not os.access(folder, os.W_OK | os.X_OK):
            raise OutputError(self.label, not_writable(folder))

    def refuse_score_file(self) -> None:
        """`-o scores.pt other.pt` is a slip for two inputs: a score file is never replaced."""
        assert self.path is not None
        try:
            with open(self.path, "rb") as existing:
                head = existing.read(8)
        except OSError:
            head = b""
        if sniff.looks_like_scores(self.path, head):
            raise UsageError(f"output {self.label} is a score file; it is never replaced")

    def open(self, descriptor: bool) -> IO[bytes]:
        assert self.path is not None
        self.final = os.path.realpath(self.path)
        try:
            self.file, self.named = private_file(os.path.dirname(self.final))
            set_mode(self.file.fileno(), self.status)
        except OSError as error:
            self.discard()
            raise OutputError(self.label, error) from None
        return self.file

    def commit(self) -> None:
        assert self.file is not None and self.final is not None
        try:
            self.file.flush()
            os.fsync(self.file.fileno())
            os.replace(self.written_name(), self.final)
            self.named = None
        except OSError as error:
            raise OutputError(self.label, error) from None
        finally:
            self.discard()

    def written_name(self) -> str:
        """A name of the file written, to be renamed to the output's."""
        assert self.file is not None and self.final is not None
        return self.named or link_into(self.file, os.path.dirname(self.final))

    def discard(self) -> None:
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


class PartialFileTarget(FileTarget):
    """A regular file written in place as OUTPUT.partial, renamed to OUTPUT when complete and
    kept under its .partial name when not."""

    streams = True

    def partial(self) -> str:
        assert self.final is not None
        return self.final + PARTIAL_SUFFIX

    def open(self, descriptor: bool) -> IO[bytes]:
        assert self.path is not None
        self.final = os.path.realpath(self.path)
        try:
            handle = new_file(self.partial())
            self.file = os.fdopen(handle, "w+b")
            set_mode(handle, self.status)
        except OSError as error:
            self.discard()
            raise OutputError(shown(self.partial()), error) from None
        return self.file

    def flush(self) -> None:
        if self.file is not None:
            self.file.flush()

    def written_name(self) -> str:
        return self.partial()

    def discard(self) -> None:
        """Keeps what was written, under the .partial name."""
        if self.file is not None:
            try:
                self.file.close()  # its descriptor is closed even when the last flush fails
            except OSError:
                pass
            self.file = None


def not_writable(path: str) -> OSError:
    """Why `path`, which may not be written, may not: its file system is read-only, or we lack
    the permission."""
    try:
        read_only = os.statvfs(path).f_flag & os.ST_RDONLY
    except OSError:
        read_only = False
    return OSError(errno.EROFS, "Read-only file system") if read_only else \
        PermissionError(errno.EACCES, "Permission denied")


def new_file(path: str) -> int:
    """A new file at `path`, replacing what is there (a stale partial file, a symbolic link) and
    never writing through it: an existing file may be another's, reached by a link."""
    for _ in range(100):
        try:
            return os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW |
                           os.O_CLOEXEC, 0o600)
        except FileExistsError:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass  # gone meanwhile: try again
    raise FileExistsError(errno.EEXIST, "replaced again and again while being created", path)


def set_mode(handle: int, status: Optional[os.stat_result]) -> None:
    """An existing file keeps its permission bits and, where we may give it, its owner; a new one
    follows the umask."""
    if status is not None:
        os.fchmod(handle, stat.S_IMODE(status.st_mode))
        try:
            os.fchown(handle, status.st_uid, status.st_gid)
        except PermissionError:
            pass  # as cp does, the owner stays ours where we may not give it away
    else:
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(handle, 0o666 & ~umask)
