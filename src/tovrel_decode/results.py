"""What decoding gives: decoded reads, reads that cannot be decoded and why, and the rule that
joins the overlapping chunks of a read."""
from __future__ import annotations

import array
import dataclasses
import math
import re
import types
from typing import Any, Mapping, Optional, Sequence, Union

import numpy as np


def as_moves(moves: Any) -> np.ndarray:
    """Moves as a uint8 array (a tensor's memory is shared, not copied)."""
    if hasattr(moves, "numpy"):
        moves = moves.numpy()
    return np.asarray(moves, dtype=np.uint8)


# SAM tag values as pysam types them: an int, a float, a str, or an array of numbers.
TagValue = Union[int, float, str, Sequence[int], Sequence[float], np.ndarray]


# Tags that the writers set themselves from a read's moves, signal layout and qualities.
WRITER_TAGS = ("mo", "mv", "ts", "ns", "qs")
TAG = re.compile(r"[A-Za-z][A-Za-z0-9]")
SAM_TEXT = re.compile(r"[ -~]*")  # printable ASCII, spaces included
SAM_INT_RANGE = (-2**31, 2**32 - 1)


@dataclasses.dataclass(frozen=True)
class ReadInfo:
    """What a caller knows of a read besides its scores, given with its first chunk: SAM `tags`
    (two-character tags to values: int, float, str, or an array of numbers) and its signal
    layout: `stride` (samples per block), `trimmed_samples` (samples before the first block) and
    `samples` (all samples of the read). ValueError or TypeError for a value SAM cannot hold."""

    tags: Mapping[str, TagValue] = dataclasses.field(default_factory=dict)
    stride: Optional[int] = None
    trimmed_samples: Optional[int] = None
    samples: Optional[int] = None

    def __post_init__(self) -> None:
        if not isinstance(self.tags, Mapping):
            raise TypeError(f"tags must be a mapping, not {type(self.tags).__name__}")
        for tag, value in self.tags.items():
            check_tag(tag, value)
        for name, least in (("stride", 1), ("trimmed_samples", 0), ("samples", 0)):
            value = getattr(self, name)
            if value is not None and (not is_int(value) or value < least):
                raise ValueError(f"{name} must be an int of at least {least}, not {value!r:.40}")
        object.__setattr__(self, "tags", types.MappingProxyType(dict(self.tags)))


def check_tag(tag: object, value: object) -> None:
    """A SAM tag and a value that SAM and BAM can store."""
    if not isinstance(tag, str) or not TAG.fullmatch(tag):
        raise ValueError(f"tag {tag!r:.20} is not a SAM tag (a letter, then a letter or digit)")
    if tag in WRITER_TAGS:
        raise ValueError(f"tag {tag} is written from the read itself; choose another")
    values: Any = value.tolist() if isinstance(value, np.ndarray) else value
    if isinstance(values, str):
        if not SAM_TEXT.fullmatch(values):
            raise ValueError(f"tag {tag}: {values!r:.40} holds characters SAM text cannot hold")
        return
    scalar = not isinstance(values, (list, tuple, array.array))
    for item in [values] if scalar else values:
        if is_int(item):
            if not SAM_INT_RANGE[0] <= item <= SAM_INT_RANGE[1]:  # type: ignore[operator]
                raise ValueError(f"tag {tag}: {item} is beyond SAM's 32-bit integers")
        elif isinstance(item, (float, np.floating)) and not isinstance(item, bool):
            if not math.isfinite(item):
                raise ValueError(f"tag {tag}: {item} cannot be stored; SAM floats are finite")
        else:
            raise TypeError(f"tag {tag}: values must be int, float, str or arrays of numbers, "
                            f"not {type(item).__name__}")


@dataclasses.dataclass(frozen=True, eq=False)
class DecodedRead:
    """A read: its bases over "ACGT", a FASTQ quality string of the same length, and one move per
    kept block (1 where the block emitted a base, 0 where the path stayed), as uint8.

    What the caller gave with the read's first chunk comes along: SAM `tags` (two-character tags
    to values, written into SAM/BAM records) and, where known, its signal layout: `stride`
    (samples per block), `trimmed_samples` (samples of the read before its first block) and
    `samples` (all samples of the read)."""

    name: str
    sequence: str
    quality: str
    moves: np.ndarray
    tags: Mapping[str, TagValue] = dataclasses.field(default_factory=dict)
    stride: Optional[int] = None
    trimmed_samples: Optional[int] = None
    samples: Optional[int] = None

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, DecodedRead):
            return NotImplemented
        return (self.name, self.sequence, self.quality, self.stride, self.trimmed_samples,
                self.samples) == (other.name, other.sequence, other.quality, other.stride,
                                  other.trimmed_samples, other.samples) and \
            np.array_equal(self.moves, other.moves) and \
            dict(self.tags).keys() == dict(other.tags).keys() and \
            all(np.array_equal(self.tags[tag], other.tags[tag]) for tag in self.tags)


@dataclasses.dataclass(frozen=True)
class InvalidRead:
    """A read whose values can only decode to garbage, and why."""

    name: str
    reason: str

    @property
    def message(self) -> str:
        return f"read {self.name}: {self.reason}"


@dataclasses.dataclass(frozen=True, eq=False)
class DecodedChunk:
    """One chunk of a read, decoded."""

    sequence: str
    quality: str
    moves: np.ndarray


@dataclasses.dataclass(frozen=True)
class InvalidChunk:
    """A chunk whose `what` ("scores", "back_guides" or "posts") holds `problem` at `row` (a block
    of the scores, a boundary of the guides and posteriors)."""

    what: str
    row: int
    problem: str

    def describe(self) -> str:
        where = f"block {self.row}" if self.what == "scores" else f"boundary {self.row}"
        what = "posteriors" if self.what == "posts" else self.what
        return f"{what} at {where} {self.problem}"


ChunkResult = Union[DecodedChunk, InvalidChunk]


def join_chunks(decoded_chunks: Sequence[Any],
                overlap: Union[int, Sequence[int]]) -> tuple[str, str, np.ndarray]:
    """Joins the decoded chunks of one read, each (sequence, quality, moves) in the order they
    were cut from the read, each starting some blocks before the previous one ends: `overlap`
    blocks between every two neighbours, or overlap[i] between chunk i and chunk i + 1.

    Between two neighbours that overlap by n blocks the earlier chunk keeps its blocks up to
    ceil(n / 2) before its end and the later one its blocks from floor(n / 2) on, so every block
    of the read is kept once; a base belongs to the block whose move emitted it. Returns
    (sequence, quality, moves) of the kept blocks, the moves as a uint8 array. ValueError for
    moves that are not 0 or 1, or do not match their sequence, and for a chunk shorter than its
    overlaps."""
    chunks = [(chunk.sequence, chunk.quality, chunk.moves)
              if isinstance(chunk, (DecodedChunk, DecodedRead)) else tuple(chunk)
              for chunk in decoded_chunks]
    if not chunks:
        raise ValueError("join_chunks needs at least one chunk")
    overlaps = overlaps_between(overlap, len(chunks))
    sequences, qualities, kept_moves = [], [], []
    for i, (sequence, quality, moves) in enumerate(chunks):
        moves = checked_moves(i, sequence, quality, moves)
        start = overlaps[i - 1] // 2 if i > 0 else 0
        end = len(moves) - math.ceil(overlaps[i] / 2) if i < len(chunks) - 1 else len(moves)
        if end < start:
            raise ValueError(f"chunk {i} has {len(moves)} blocks, fewer than its overlaps")
        first_base = int(moves[:start].sum(dtype=np.int64))
        end_base = first_base + int(moves[start:end].sum(dtype=np.int64))
        sequences.append(sequence[first_base:end_base])
        qualities.append(quality[first_base:end_base])
        kept_moves.append(moves[start:end])
    return "".join(sequences), "".join(qualities), np.concatenate(kept_moves)


def overlaps_between(overlap: Union[int, Sequence[int]], count: int) -> list[int]:
    """The overlap between each two neighbours of `count` chunks."""
    overlaps: list[Any] = [overlap] * (count - 1) if is_int(overlap) else \
        list(overlap)  # type: ignore[arg-type]
    if len(overlaps) != count - 1:
        raise ValueError(f"{len(overlaps)} overlaps for {count} chunks; one between each two "
                         "neighbours")
    for value in overlaps:
        check_overlap(value)
    return overlaps


def is_int(value: object) -> bool:
    return isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_))


def check_overlap(overlap: object, label: str = "overlap") -> int:
    """An overlap in blocks: an int of at least 0."""
    if not is_int(overlap) or overlap < 0:  # type: ignore[operator]
        raise ValueError(f"{label} must be an int of at least 0, not {overlap!r:.40}")
    return int(overlap)  # type: ignore[call-overload]


def checked_moves(index: int, sequence: str, quality: str, moves: Any) -> np.ndarray:
    moves = np.asarray(moves.numpy() if hasattr(moves, "numpy") else moves)
    if moves.ndim != 1 or (moves.size and (moves.dtype.kind not in "biu" or moves.min() < 0 or
                                           moves.max() > 1)):
        raise ValueError(f"chunk {index}: moves must be a sequence of 0 and 1")
    moves = moves.astype(np.uint8, copy=False)
    bases = int(moves.sum(dtype=np.int64))
    if not len(sequence) == len(quality) == bases:
        raise ValueError(f"chunk {index}: {bases} moves of 1 for a sequence of {len(sequence)} "
                         f"bases and {len(quality)} qualities; they must be equal")
    return moves
