"""Where and how reads are written.

The output target follows the rules of careful Unix tools: standard output for no path or "-";
an existing device, FIFO or socket is written through, never replaced; a regular file (or the
target of a symlink) is replaced atomically by a temporary file in its folder that is renamed
over it when complete, keeping its permission bits; a new file follows the umask. A failed or
interrupted run leaves no partial file behind.
"""
import array
import os
import shutil
import socket
import stat
import sys
import tempfile

import dnaio
import xopen

from .errors import OutputError, UsageError

FORMATS = ("fastq", "fasta", "fastq.gz", "fasta.gz", "sam", "bam")
SUFFIXES = {".fastq": "fastq", ".fq": "fastq", ".fasta": "fasta", ".fa": "fasta", ".sam": "sam",
            ".bam": "bam"}
MOVES_TAG = "mo"  # the per-block moves of an unaligned SAM/BAM record, as a B:C array
TEMPORARY_PREFIX = ".tovrel-decode-"
SCORE_SUFFIXES = (".pt", ".pth", ".npy", ".npz")
# numpy arrays, zip archives (torch.save, .npz) and pickles (legacy torch.save)
SCORE_MAGICS = (b"\x93NUMPY", b"PK\x03\x04", b"\x80")


def format_of(path, explicit):
    """The output format: --format, else the name's suffix; FASTQ for any other name and for
    standard output. A trailing .gz compresses FASTQ or FASTA."""
    if explicit:
        return explicit
    name = "" if path is None or path == "-" else os.path.basename(path).lower()
    compressed = name.endswith(".gz")
    if compressed:
        name = name[:-3]
    kind = next((kind for suffix, kind in SUFFIXES.items() if name.endswith(suffix)), "fastq")
    if compressed and kind not in ("fastq", "fasta"):
        raise UsageError(f"{path}: {kind.upper()} cannot be gzip-compressed; name it .{kind}")
    return f"{kind}.gz" if compressed else kind


def same_file(a, b):
    return a.st_dev == b.st_dev and a.st_ino == b.st_ino


class Target:
    """The place the reads go. `prepare` checks it without changing anything; `open` returns the
    path or binary stream to write; `commit` makes the written output visible; `discard` removes
    every trace of an unfinished one."""

    def __init__(self, path, spool=False):
        self.path = path  # as the user gave it, for messages
        # Spooled, output for standard output, a device, a FIFO or a socket is held in a private
        # temporary file and copied there on commit, so that nothing reaches it from a run that
        # fails halfway (a regular file needs no spool: it is replaced only on commit).
        self.spool = spool
        self.spooled = None
        self.temporary = None
        self.final = None  # the regular file replaced on commit
        self.stream = None

    @property
    def is_stdout(self):
        return self.path is None or self.path == "-"

    def existing(self):
        """os.stat of what the path names (symlinks followed), or None."""
        if self.is_stdout:
            try:
                return os.fstat(1)
            except OSError:
                return None
        try:
            return os.stat(self.path)
        except FileNotFoundError:
            return None
        except OSError as error:
            raise OutputError(self.path, error) from None

    def refuse_inputs(self, inputs):
        """An output that is the same file as an input is a usage error: nothing is changed."""
        if self.is_stdout:
            return
        status = self.existing()
        if status is None or not stat.S_ISREG(status.st_mode):
            return
        for path in inputs:
            if path != "-" and same_file(status, os.stat(path)):
                raise UsageError(f"output {self.path} is the same file as input {path}")
        # `-o scores.pt other.pt` is a slip for two inputs: never replace a score file.
        try:
            with open(self.path, "rb") as existing:
                head = existing.read(8)
        except OSError:
            head = b""
        if self.path.lower().endswith(SCORE_SUFFIXES) or head.startswith(SCORE_MAGICS):
            raise UsageError(f"output {self.path} is a score file; it is never replaced")

    def prepare(self):
        """Refuses, before any work, a target that cannot be written."""
        if self.is_stdout:
            try:
                os.fstat(1)
            except OSError as error:
                raise OutputError("standard output", error) from None
            return
        if os.path.islink(self.path) and not os.path.exists(self.path):
            raise OutputError(self.path, "not writing through a dangling symlink")
        status = self.existing()
        if status is not None and stat.S_ISDIR(status.st_mode):
            raise OutputError(self.path, IsADirectoryError(21, "Is a directory"))
        if status is None or stat.S_ISREG(status.st_mode):
            folder = os.path.dirname(os.path.realpath(self.path))
            if not os.path.isdir(folder):
                raise OutputError(self.path, FileNotFoundError(2, "No such file or directory"))
            if not os.access(folder, os.W_OK | os.X_OK):
                raise OutputError(self.path, PermissionError(13, "Permission denied"))

    def open(self):
        """Returns (path for writers that open by name, or None; binary stream)."""
        status = None if self.is_stdout else self.existing()
        if self.spool and (self.is_stdout or
                           (status is not None and not stat.S_ISREG(status.st_mode))):
            try:
                handle, self.spooled = tempfile.mkstemp(prefix=TEMPORARY_PREFIX)
            except OSError as error:
                raise OutputError(tempfile.gettempdir(), error) from None
            self.stream = os.fdopen(handle, "w+b")
            return self.spooled, self.stream
        return self.open_destination()

    def open_destination(self):
        if self.is_stdout:
            return "-", sys.stdout.buffer
        status = self.existing()
        try:
            if status is not None and stat.S_ISSOCK(status.st_mode):
                connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                connection.connect(self.path)
                self.stream = connection.makefile("wb")
                return None, self.stream
            if status is not None and not stat.S_ISREG(status.st_mode):
                self.stream = open(self.path, "wb")
                return self.path, self.stream
            self.final = os.path.realpath(self.path)
            handle, self.temporary = tempfile.mkstemp(dir=os.path.dirname(self.final),
                                                      prefix=TEMPORARY_PREFIX)
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
            self.stream = os.fdopen(handle, "wb")
            return self.temporary, self.stream
        except OSError as error:
            raise OutputError(self.path, error) from None

    def commit(self):
        if self.spooled is not None:
            self.stream.close()
            self.stream = None
            try:
                with open(self.spooled, "rb") as spooled:
                    _, destination = self.open_destination()
                    shutil.copyfileobj(spooled, destination)
                    destination.flush()
            finally:
                os.unlink(self.spooled)
                self.spooled = None
        try:
            if self.stream is not None and not self.stream.closed:
                self.stream.flush()
                if self.temporary is not None:
                    os.fsync(self.stream.fileno())
                self.stream.close()
            if self.temporary is not None:
                os.replace(self.temporary, self.final)
                self.temporary = None
        except OSError as error:
            raise OutputError(self.path, error) from None

    def discard(self):
        if self.stream is not None:
            try:
                self.stream.close()
            except OSError:
                pass
        for leftover in (self.temporary, self.spooled):
            if leftover is not None:
                try:
                    os.unlink(leftover)
                except OSError:
                    pass
        self.temporary = self.spooled = None


class SequenceWriter:
    """FASTQ or FASTA records (optionally gzip-compressed) through dnaio and xopen."""

    def __init__(self, stream, kind):
        self.kind = kind.split(".")[0]
        self.compressed = None
        if kind.endswith(".gz"):
            self.compressed = xopen.xopen(stream, "wb", format="gz", threads=0)
            stream = self.compressed
        self.writer = dnaio.open(stream, mode="w", fileformat=self.kind)

    def write(self, name, sequence, quality, moves):
        self.writer.write(dnaio.SequenceRecord(
            name, sequence, quality if self.kind == "fastq" else None))

    def close(self):
        self.writer.close()
        if self.compressed is not None:
            self.compressed.close()


class AlignmentWriter:
    """Unaligned SAM or BAM records through pysam: flag 4, name, sequence, qualities and the
    per-block moves in the `mo` tag."""

    def __init__(self, path, stream, kind, header):
        import pysam  # only SAM and BAM need it

        self.pysam = pysam
        mode = "wb" if kind == "bam" else "w"
        if path == "-":
            self.file = pysam.AlignmentFile("-", mode, header=header)
        else:
            # pysam writes through its own handle on the path; ours is not used.
            stream.flush()
            self.file = pysam.AlignmentFile(path, mode, header=header)

    def write(self, name, sequence, quality, moves):
        record = self.pysam.AlignedSegment(self.file.header)
        record.query_name = name
        record.query_sequence = sequence
        record.flag = 4
        record.query_qualities = self.pysam.qualitystring_to_array(quality)
        record.set_tag(MOVES_TAG, array.array("B", moves))  # B:C, an unsigned byte array
        self.file.write(record)

    def close(self):
        self.file.close()


def sam_header(version, command_line):
    return {"HD": {"VN": "1.6", "SO": "unknown"},
            "PG": [{"ID": "tovrel-decode", "PN": "tovrel-decode", "VN": version,
                    "CL": command_line}]}


def open_writer(target, kind, version, command_line):
    path, stream = target.open()
    if kind in ("sam", "bam"):
        if path is None:
            raise OutputError(target.path, "SAM and BAM cannot be written to a socket")
        return AlignmentWriter(path, stream, kind, sam_header(version, command_line))
    return SequenceWriter(stream, kind)
