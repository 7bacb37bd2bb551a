"""How reads are written: the formats (FASTQ and FASTA, optionally compressed, SAM and BAM), their
headers and records, and the Writer that puts them into a target (see `targets` for where the
bytes go, all or nothing).

Only the standard library and dnaio are imported here (pysam for SAM and BAM when used):
neither torch nor numpy.
"""
from __future__ import annotations

import array
import dataclasses
import errno
import importlib.metadata
import math
import os
import re
import sys
import threading
import weakref
from typing import IO, TYPE_CHECKING, Any, Iterable, Mapping, Optional, Sequence, Union

import dnaio

from . import names
from .errors import InputError, OutputError, UsageError, shown
from .targets import COMPRESSIONS, FLUSH_SECONDS, Target, target_for

if TYPE_CHECKING:
    from .results import DecodedRead

KINDS = {".fastq": "fastq", ".fq": "fastq", ".fasta": "fasta", ".fa": "fasta", ".sam": "sam",
         ".bam": "bam"}
FORMATS = ("fastq", "fasta", *(f"{kind}{c}" for c in COMPRESSIONS for kind in ("fastq", "fasta")),
           "sam", "bam")
UNWRITTEN = {".cram": "CRAM", ".zst": "zstd", ".zstd": "zstd", ".lz4": "LZ4", ".br": "Brotli"}
MOVES_TAG = "mo"  # the per-block moves without a stride, as a B:C array
SIGNAL_MOVES_TAG = "mv"  # stride, then the per-block moves, as a B:c array
PROGRAM = "tovrel-decode"

def format_of(path: Optional[str], explicit: Optional[str]) -> str:
    """The output format: `explicit`, else the name's suffix; FASTQ for any other name and for
    standard output. A trailing .gz, .bz2 or .xz compresses FASTQ or FASTA."""
    if explicit:
        if explicit not in FORMATS:
            raise UsageError(f"unknown format {explicit!r}; one of {', '.join(FORMATS)}")
        return explicit
    name = "" if path is None or path == "-" else os.path.basename(path).lower()
    for suffix, what in UNWRITTEN.items():
        if name.endswith(suffix):
            raise UsageError(f"{shown(path or '')}: {what} is not written; name the output .fastq "
                             "or .fasta (either with .gz, .bz2 or .xz), .sam or .bam")
    compression = next((c for c in COMPRESSIONS if name.endswith(c)), "")
    name = name[:len(name) - len(compression)]
    kind = next((kind for suffix, kind in KINDS.items() if name.endswith(suffix)), "fastq")
    if compression and kind in ("sam", "bam"):
        raise UsageError(f"{shown(path or '')}: {kind.upper()} cannot be compressed this way; "
                         f"name it .{kind}")
    return f"{kind}{compression}"


def project_version() -> str:
    try:
        return importlib.metadata.version("tovrel")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


MEMBER_BYTES = 4 << 20  # at most this much uncompressed output waits for its member to end


def compressor(compression: str) -> Any:
    """The function that compresses bytes into one whole gzip member, bzip2 or xz stream."""
    if compression == "gz":
        try:
            from isal import igzip  # xopen's own choice for gzip where it is installed

            return lambda data: igzip.compress(data, compresslevel=1, mtime=0)
        except ImportError:
            import gzip

            return lambda data: gzip.compress(data, compresslevel=1, mtime=0)
    if compression == "bz2":
        import bz2

        return bz2.compress
    import lzma

    return lzma.compress


class MemberStream:
    """A compressed stream readable up to its last flush, even if the process is killed: every
    flush ends a whole gzip member (bzip2, xz: stream), which the readers of each format read on
    from as one file; so does every MEMBER_BYTES of output between flushes."""

    def __init__(self, stream: IO[bytes], compression: str) -> None:
        self.stream = stream
        self.compress = compressor(compression)
        self.pending = bytearray()

    def write(self, data: bytes) -> int:
        self.pending += data
        if len(self.pending) >= MEMBER_BYTES:
            self.end_member()
        return len(data)

    def end_member(self) -> None:
        if self.pending:
            self.stream.write(self.compress(bytes(self.pending)))
            self.pending.clear()

    def flush(self) -> None:
        self.end_member()
        self.stream.flush()

    def close(self) -> None:
        self.flush()


class SequenceWriter:
    """FASTQ or FASTA records, optionally compressed, through dnaio."""

    def __init__(self, stream: IO[bytes], kind: str) -> None:
        self.kind, _, compression = kind.partition(".")
        self.stream: Any = MemberStream(stream, compression) if compression else stream
        self.writer = dnaio.open(self.stream, mode="w", fileformat=self.kind)  # type: ignore

    def write(self, read: "DecodedRead") -> None:
        self.writer.write(dnaio.SequenceRecord(
            read.name, read.sequence, read.quality if self.kind == "fastq" else None))

    def flush(self) -> None:
        self.stream.flush()

    def close(self) -> None:
        self.writer.close()
        if isinstance(self.stream, MemberStream):
            self.stream.close()


# The error probability of each FASTQ quality character, by its byte value.
ERROR_OF_BYTE = [10.0 ** (-(byte - 33) / 10) for byte in range(256)]


def mean_quality(quality: str) -> float:
    """The Phred value of the mean error probability of the bases (not the mean Phred value)."""
    errors = sum(map(ERROR_OF_BYTE.__getitem__, quality.encode("ascii"))) / len(quality)
    return -10 * math.log10(errors)


class AlignmentWriter:
    """Unaligned SAM or BAM records through pysam: flag 4, name, sequence, qualities, the moves
    (`mv`: the stride, then one move per block, where the read's stride is known; else `mo`, one
    move per block), `ts` and `ns` where known, `qs` (the mean quality) and the caller's tags.
    The SAM/BAM library's own messages are silenced; its failures surface as OSError."""

    def __init__(self, stream: IO[bytes], kind: str, header: dict) -> None:
        import pysam  # only SAM and BAM need it

        self.pysam = pysam
        self.read_groups = {group["ID"] for group in header.get("RG", [])}
        self.descriptor: Optional[int] = None
        self.verbosity = pysam.set_verbosity(0)
        if kind == "sam":
            # SAM text is written here, a record per write: the library would write out its
            # buffer between flushes, leaving a half record in a partial file after a kill.
            self.text: Optional[IO[bytes]] = stream
            self.header = pysam.AlignmentHeader.from_dict(header)
            stream.write(str(self.header).rstrip("\n").encode("ascii") + b"\n")
            return
        self.text = None
        # The library's own descriptor: it closes it, except when a failed write makes its close
        # fail, and then we do (see release_descriptor).
        self.descriptor = os.dup(stream.fileno())
        self.identity = os.fstat(self.descriptor)
        try:
            # BAM: each BGZF block, once flushed, goes straight to the descriptor (with the
            # library's own buffer of 4 kB or more, a flush would leave the last blocks in it).
            options = ["block_size=1"]
            with os.fdopen(self.descriptor, "wb", closefd=False) as handle:
                self.file = pysam.AlignmentFile(handle, "wb", header=header,
                                                format_options=options,
                                                duplicate_filehandle=False)
                self.header = self.file.header
        except BaseException:
            pysam.set_verbosity(self.verbosity)
            self.release_descriptor()
            raise

    def record(self, read: "DecodedRead") -> Any:
        """The read's record; InputError for a read that cannot be one."""
        group = read.tags.get("RG")
        if group is not None and group not in self.read_groups:
            raise InputError(f"read {read.name}: read group {group!r:.40} is not among the "
                             "writer's read groups")
        record = self.pysam.AlignedSegment(self.header)
        record.query_name = read.name
        record.query_sequence = read.sequence
        record.flag = 4
        record.query_qualities = self.pysam.qualitystring_to_array(read.quality)
        moves = read.moves.tobytes()
        if read.stride is not None:
            record.set_tag(SIGNAL_MOVES_TAG, array.array("b", bytes([read.stride]) + moves))
        else:
            record.set_tag(MOVES_TAG, array.array("B", moves))
        if read.trimmed_samples is not None:
            record.set_tag("ts", read.trimmed_samples, "i")
        if read.samples is not None:
            record.set_tag("ns", read.samples, "i")
        if read.quality:
            record.set_tag("qs", mean_quality(read.quality), "f")
        # The read holds its tags as ReadInfo keeps them: each has one SAM type.
        value: Any  # an int, a float, a str or a TagArray
        for tag, value in read.tags.items():
            if isinstance(value, str):
                record.set_tag(tag, value, "Z")
            elif isinstance(value, float):
                record.set_tag(tag, value, "f")
            elif isinstance(value, int):
                record.set_tag(tag, value)
            else:
                record.set_tag(tag, array.array(value.typecode, value))
        return record

    def write(self, read: "DecodedRead") -> None:
        record = self.record(read)
        if self.text is not None:
            self.text.write(record.to_string().encode("ascii") + b"\n")
            return
        try:
            self.file.write(record)
        except OSError as error:
            # pysam's message for a failed record carries no reason; closing gives the errno.
            self.close()
            raise OSError(error.errno or errno.EIO, "writing SAM/BAM failed") from None

    def flush(self) -> None:
        if self.text is not None:
            self.text.flush()
        else:
            self.file.flush()

    def close(self) -> None:
        if self.text is not None:
            self.pysam.set_verbosity(self.verbosity)
            self.text.flush()
            return
        try:
            if self.file.is_open:
                self.file.close()
            self.descriptor = None  # closed with the file
        finally:
            self.pysam.set_verbosity(self.verbosity)
            self.release_descriptor()

    def release_descriptor(self) -> None:
        """Closes the library's descriptor where it is still open on our file: a close whose
        last block could not be written leaves it open."""
        descriptor, self.descriptor = self.descriptor, None
        if descriptor is None:
            return
        try:
            status = os.fstat(descriptor)
        except OSError:
            return
        if (status.st_dev, status.st_ino) == (self.identity.st_dev, self.identity.st_ino):
            os.close(descriptor)


@dataclasses.dataclass(frozen=True)
class Program:
    """The program that made the reads, for the SAM/BAM header's @PG line. Its fields are
    printable ASCII: `command_line(sys.argv)` quotes any arguments so, as the command quotes its
    own.

    Attributes
    ----------
    id : str
        The @PG line's ID, which tovrel-decode's own line names as its previous program.
    name : str, optional
        Its PN field.
    version : str, optional
        Its VN field.
    command_line : str, optional
        Its CL field.
    """

    id: str
    name: Optional[str] = None
    version: Optional[str] = None
    command_line: Optional[str] = None


HEADER_TEXT = re.compile(r"[ -~]*")  # a header field: printable ASCII, no tab or newline
RG_FIELD = re.compile(r"[A-Za-z][A-Za-z0-9]")
RG_STANDARD_FIELDS = frozenset({"ID", "BC", "CN", "DS", "DT", "FO", "KS", "LB", "PG", "PI",
                                "PL", "PM", "PU", "SM"})


def header_field(value: str, what: str) -> str:
    if not isinstance(value, str) or not value or not HEADER_TEXT.fullmatch(value):
        raise ValueError(f"{what} {value!r:.60} cannot go into a SAM header (printable ASCII, "
                         "no tab or newline)")
    return value


def quoted_argument(argument: str) -> str:
    """A command-line argument quoted for a shell, as printable ASCII: other bytes (tabs,
    newlines, control characters, bytes that are not UTF-8) as $'\\xNN'."""
    data = os.fsencode(argument)
    if data and all(32 <= byte < 127 for byte in data):
        if re.fullmatch(r"[A-Za-z0-9_@%+=:,./-]+", argument):
            return argument
        return "'" + argument.replace("'", "'\"'\"'") + "'"
    escaped = "".join(chr(byte) if 32 <= byte < 127 and byte not in b"'\\" else
                      f"\\{chr(byte)}" if byte in b"'\\" else f"\\x{byte:02x}" for byte in data)
    return f"$'{escaped}'"


def command_line_of(arguments: Sequence[str]) -> str:
    """Arguments as one printable ASCII line that a shell splits back into them, for the
    `command_line` of a Program or of open_writer.

    Examples
    --------
    >>> from tovrel_decode import command_line
    >>> command_line(["basecall", "--out", "my reads.bam"])
    "basecall --out 'my reads.bam'"
    """
    return " ".join(quoted_argument(argument) for argument in arguments)


command_line = command_line_of  # the public name


def sam_header(version: str, command_line: Optional[str], program: Optional[Program] = None,
               read_groups: Sequence[Mapping[str, str]] = ()) -> dict:
    """@HD, the caller's @PG (if any) followed by ours chained to it, and the read groups."""
    ours = {"ID": PROGRAM, "PN": PROGRAM, "VN": version}
    if command_line is not None:
        ours["CL"] = header_field(command_line, "the command line")
    programs = []
    if program is not None:
        theirs = {"ID": header_field(program.id, "the program's ID")}
        for key, value in (("PN", program.name), ("VN", program.version),
                           ("CL", program.command_line)):
            if value is not None:
                theirs[key] = header_field(value, f"the program's {key}")
        programs.append(theirs)
        if theirs["ID"] == PROGRAM:
            ours["ID"] = f"{PROGRAM}.1"
        ours["PP"] = theirs["ID"]
    programs.append(ours)
    groups: list[dict[str, str]] = []
    if isinstance(read_groups, (str, Mapping)):
        raise TypeError("read_groups must be a sequence of read groups, each a mapping of "
                        "header tags to values")
    for group in read_groups:
        if not isinstance(group, Mapping):
            raise TypeError(f"a read group must be a mapping of header tags to values (\"ID\" "
                            f"required), not {type(group).__name__}")
        fields = {}
        for key, value in group.items():
            if not isinstance(key, str) or not RG_FIELD.fullmatch(key):
                raise ValueError(f"read group field {key!r:.20} is not a SAM header tag")
            if key.isupper() and key not in RG_STANDARD_FIELDS:
                # The SAM library leaves such fields out of the header in silence.
                raise ValueError(f"read group field {key} is not one of SAM's @RG fields "
                                 f"({', '.join(sorted(RG_STANDARD_FIELDS))}); fields of your own "
                                 "take lower-case letters")
            fields[key] = header_field(str(value), f"read group field {key}")
        if "ID" not in fields:
            raise ValueError("a read group needs an ID")
        if any(fields["ID"] == other["ID"] for other in groups):
            raise ValueError(f"read group {fields['ID']!r:.40} is given twice")
        groups.append(fields)
    header: dict = {"HD": {"VN": "1.6", "SO": "unknown"}, "PG": programs}
    if groups:
        header["RG"] = groups
    return header


def is_decoded_read(read: object) -> bool:
    """Whether `read` is a DecodedRead, checked as it was built (results, which imports numpy,
    is loaded wherever one exists)."""
    results = sys.modules.get(f"{__package__}.results")
    return results is not None and isinstance(read, results.DecodedRead)


class Writer:
    """Writes DecodedReads to one output; made by `open_writer`.

    A writer may be used from several threads; its writes are serialised. After an error on the
    output, every later call raises that error again, until `close` has raised it (a later
    `close` does nothing).

    Examples
    --------
    >>> import pathlib
    >>> import numpy as np
    >>> from tovrel_decode import DecodedRead, open_writer
    >>> with open_writer("reads.fastq") as writer:
    ...     writer.write(DecodedRead("read-1", "ACG", "+++", np.array([1, 0, 1, 1], np.uint8)))
    >>> print(pathlib.Path("reads.fastq").read_text(), end="")
    @read-1
    ACG
    +
    +++
    """

    def __init__(self) -> None:
        raise TypeError("a Writer is made by open_writer")

    @classmethod
    def _create(cls, target: Target, kind: str, header: dict) -> "Writer":
        """A writer of `kind` records to `target`, which it owns from here on."""
        writer = object.__new__(cls)
        writer._setup(target, kind, header)
        return writer

    def _setup(self, target: Target, kind: str, header: dict) -> None:
        self._target = target
        self._sam_names = kind in ("sam", "bam")
        self._closed = False
        self._lock = threading.Lock()
        self._dirty = False
        self._error: Optional[BaseException] = None
        stream = target.open(descriptor=kind == "bam")
        try:
            self._records: Any = AlignmentWriter(stream, kind, header) if self._sam_names else \
                SequenceWriter(stream, kind)
        except OSError as error:
            target.discard()
            raise OutputError(target.label, error) from None
        except BaseException:
            target.discard()
            raise
        # A writer dropped unclosed gives up its descriptors and private file, as abandon() does.
        self._release = weakref.finalize(self, release, self._records, target)
        self._stop_flushing = threading.Event()
        if target.streams:
            threading.Thread(target=flush_periodically, args=(weakref.ref(self),
                                                              self._stop_flushing),
                             name="tovrel-flush", daemon=True).start()

    def write(self, read: "DecodedRead") -> None:
        """Writes one read.

        Parameters
        ----------
        read : DecodedRead
            The read; its tags and signal layout go into SAM and BAM records.

        Raises
        ------
        InputError
            For a read this format cannot store (a name SAM refuses, for one): for that read
            alone, the writer stays usable.
        OutputError
            When the operating system refuses the output (a full device, for one).
        BrokenPipeError
            When the reader of a streamed output went away.
        TypeError
            For anything but a DecodedRead.
        ValueError
            When the writer is closed.
        """
        if self._closed:
            raise ValueError("the writer is closed")
        if not is_decoded_read(read):
            raise TypeError(f"a writer writes DecodedReads, not {type(read).__name__}")
        names.check_name(read.name, f"read {read.name!r:.80}", sam=self._sam_names)
        with self._lock:
            self._raise_error()
            try:
                self._records.write(read)
                self._dirty = True
            except OSError as error:
                self._fail(error)

    def flush(self) -> None:
        """Sends what has been written on to a stream or a partial file.

        A file written all at once is complete only at close.

        Raises
        ------
        OutputError, BrokenPipeError
            As `write` does.
        """
        with self._lock:
            self._raise_error()
            self._flush_now()

    def _flush_now(self) -> None:
        try:
            if self._dirty:
                self._records.flush()
                self._dirty = False
            self._target.flush()
        except OSError as error:
            self._fail(error)

    def _flush_in_turn(self) -> bool:
        """The periodic flush; False once there is nothing more to flush."""
        with self._lock:
            if self._closed or self._error is not None:
                return False
            try:
                self._flush_now()
            except BaseException as error:
                self._error = error
                return False
        return True

    def _fail(self, error: OSError) -> None:
        """The output failed: a reader that left is BrokenPipeError, anything else OutputError."""
        self._error = error if isinstance(error, BrokenPipeError) else \
            OutputError(self._target.label, error)
        raise self._error from None

    def _raise_error(self) -> None:
        if self._error is not None:
            raise self._error

    def close(self) -> None:
        """Completes the output and puts it in place.

        May be called more than once: later calls do nothing. After a failure the output is
        abandoned (as by `abandon`) and the failure raised.

        Raises
        ------
        OutputError, BrokenPipeError
            As `write` does, for the last records or for putting the file in place.
        """
        if self._closed:
            return
        self._stop_flushing.set()
        with self._lock:
            self._closed = True
            try:
                self._raise_error()
                try:
                    self._records.close()
                    self._target.commit()
                    self._release.detach()
                except OSError as error:
                    self._fail(error)
            except BaseException:
                self._abandon_locked()
                raise

    def abandon(self) -> None:
        """Stops writing: a file written all at once stays as it was, a partial file keeps what
        was flushed, a stream keeps what it was sent. Never raises for the output."""
        self._stop_flushing.set()
        with self._lock:
            self._closed = True
            self._abandon_locked()

    def _abandon_locked(self) -> None:
        self._release()

    def __enter__(self) -> "Writer":
        return self

    def __exit__(self, exc_type: Any, exc: Any, traceback: Any) -> None:
        if exc_type is None:
            self.close()
        else:
            self.abandon()


def flush_periodically(writer: "weakref.ref[Writer]", stop: threading.Event) -> None:
    """Flushes a streaming writer every FLUSH_SECONDS until it closes, fails or is dropped (the
    thread holds it only while flushing)."""
    while not stop.wait(FLUSH_SECONDS):
        alive = writer()
        if alive is None or not alive._flush_in_turn():
            return
        del alive


def release(records: Any, target: Target) -> None:
    """Gives up what a writer holds: a partial file ends after its last whole record, a private
    file is removed, every descriptor is closed."""
    try:
        records.close()
    except Exception:
        pass
    target.discard()


def open_writer(path: Union[str, os.PathLike, None] = None, format: Optional[str] = None, *,
                command_line: Optional[str] = None,
                inputs: Iterable[Union[str, os.PathLike]] = (),
                program: Optional[Program] = None,
                read_groups: Sequence[Mapping[str, str]] = (),
                keep_partial: bool = False) -> Writer:
    """A writer of DecodedReads to `path`.

    A regular file is written all at once when the writer closes (or the `with` ends), replacing
    an existing one atomically and keeping its permission bits; an exception inside the `with`
    leaves it as it was. With keep_partial=True it is written in place as PATH.partial (a new
    file replacing whatever had that name, a link included, never written through), flushed every
    0.2 s, renamed to PATH when complete and left as PATH.partial when not. Standard output, a
    FIFO, a socket, a device or an open descriptor (/dev/stdout, /dev/fd/N) receive the records
    as they are written, flushed every 0.2 s too. Every format is readable up to its last flush,
    even after SIGKILL: compressed FASTQ and FASTA end a whole gzip member (bzip2, xz: stream) at
    each flush, BAM a BGZF block. A writer closed after a failure, or dropped, holds no
    descriptor and no private file.

    Parameters
    ----------
    path : str or os.PathLike, optional
        The output; None or "-": standard output.
    format : str, optional
        "fastq", "fasta", either with ".gz", ".bz2" or ".xz", "sam" or "bam"; by default from
        the name, else FASTQ.
    command_line : str, optional
        SAM and BAM: the command line of tovrel-decode's own @PG line.
    inputs : iterable of str or os.PathLike
        Files the reads come from: an output that is one of them is refused.
    program : Program, optional
        SAM and BAM: the @PG line of the program calling (ID, name, version, command line),
        followed by tovrel-decode's own, chained to it.
    read_groups : sequence of mappings of str to str
        SAM and BAM: the @RG lines, as mappings of header tags ("ID" required), which a read's
        RG tag must name.
    keep_partial : bool
        Write a regular file in place as PATH.partial (above).

    Returns
    -------
    Writer
        The writer, to be closed (or used in a `with`).

    Raises
    ------
    UsageError
        For an output that is one of `inputs`, binary output to a terminal, or a format it does
        not write.
    ValueError
        For header fields SAM cannot hold (printable ASCII, no tab or newline).
    OutputError
        When the output cannot be created.

    Examples
    --------
    >>> import pathlib
    >>> import numpy as np
    >>> from tovrel_decode import DecodedRead, open_writer
    >>> read = DecodedRead("read-1", "ACG", "+++", np.array([1, 1, 0, 1], np.uint8))
    >>> with open_writer("reads.sam") as writer:
    ...     writer.write(read)
    >>> lines = pathlib.Path("reads.sam").read_text().splitlines()
    >>> [line.split("\\t")[:2] for line in lines if not line.startswith("@")]
    [['read-1', '4']]
    """
    name = None if path is None else os.fspath(path)
    kind = format_of(name, format)
    target = target_for(name, keep_partial)
    target.check([os.fspath(path) for path in inputs], kind)
    header = sam_header(project_version(), command_line, program, read_groups) \
        if kind in ("sam", "bam") else {}
    return Writer._create(target, kind, header)
