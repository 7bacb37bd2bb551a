"""What decoding gives: decoded reads, reads that cannot be decoded and why, and the rule that
joins the overlapping chunks of a read."""
from __future__ import annotations

import array
import dataclasses
import math
import operator
import re
import types
from typing import Any, Mapping, Optional, Sequence, Union

import numpy as np

from .errors import InputError


def as_moves(moves: Any) -> np.ndarray:
    """Moves as a uint8 array (a tensor's memory is shared, not copied)."""
    if hasattr(moves, "numpy"):
        moves = moves.numpy()
    return np.asarray(moves, dtype=np.uint8)


class TagArray(tuple):
    """The values of an array tag, immutable, with the element type they are written as (a type
    code of `array.array` that SAM's B arrays hold: b, B, h, H, i, I or f)."""

    typecode: str

    def __new__(cls, values: Sequence[Union[int, float]], typecode: str) -> "TagArray":
        made = super().__new__(cls, values)
        made.__dict__["typecode"] = typecode
        return made

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("a TagArray cannot be changed")

    def __eq__(self, other: object) -> bool:
        if isinstance(other, TagArray) and other.typecode != self.typecode:
            return False
        return tuple.__eq__(self, other)

    def __ne__(self, other: object) -> bool:
        return not self == other

    def __hash__(self) -> int:
        return hash((self.typecode, tuple(self)))

    def __repr__(self) -> str:
        return f"TagArray({list(self)!r}, {self.typecode!r})"

    def __reduce__(self) -> Any:
        return TagArray, (tuple(self), self.typecode)


# SAM tag values as a caller gives them: an int, a float, a str, or an array of numbers. ReadInfo
# keeps them as int, float (rounded as written), str or TagArray.
TagValue = Union[int, float, str, Sequence[int], Sequence[float], np.ndarray]


# Tags that the writers set themselves from a read's moves, signal layout and qualities.
WRITER_TAGS = ("mo", "mv", "ts", "ns", "qs")
TAG = re.compile(r"[A-Za-z][A-Za-z0-9]")
SAM_TEXT = re.compile(r"[ -~]*")  # printable ASCII, spaces included
SAM_INT_RANGE = (-2**31, 2**32 - 1)
INT32_MAX = 2**31 - 1
FLOAT32_MAX = float(np.finfo(np.float32).max)
ARRAY_RANGES = {code: (int(np.iinfo(code).min), int(np.iinfo(code).max)) for code in "bBhHiI"}


@dataclasses.dataclass(frozen=True)
class ReadInfo:
    """What a caller knows of a read besides its scores, given with its first chunk: SAM `tags`
    (two-character tags to values: int, float, str, or an array of numbers) and its signal
    layout: `stride` (samples per block, 1 to 127), `trimmed_samples` (samples before the first
    block) and `samples` (all samples of the read), each below 2**31.

    The values are copied when given (a buffer the caller refills for the next read changes
    nothing here): numpy scalars become Python values, floats are rounded to what SAM and BAM
    both store (single precision, six significant digits), arrays become TagArrays. ValueError
    or TypeError, naming the tag, for a value that SAM and BAM cannot hold: what is accepted is
    written as it is kept here.

    Raises
    ------
    ValueError, TypeError
        For a tag or signal layout that SAM and BAM cannot hold.

    Examples
    --------
    >>> from tovrel_decode import ReadInfo
    >>> info = ReadInfo(tags={"RG": "run1", "ch": 7}, stride=5, trimmed_samples=100)
    >>> dict(info.tags), info.stride
    ({'RG': 'run1', 'ch': 7}, 5)
    """

    tags: Mapping[str, TagValue] = dataclasses.field(default_factory=dict)
    stride: Optional[int] = None
    trimmed_samples: Optional[int] = None
    samples: Optional[int] = None

    def __post_init__(self) -> None:
        if not isinstance(self.tags, Mapping):
            raise TypeError(f"tags must be a mapping, not {type(self.tags).__name__}")
        kept = {tag: tag_value(tag, value) for tag, value in self.tags.items()}
        for name, least, most in (("stride", 1, 127), ("trimmed_samples", 0, INT32_MAX),
                                  ("samples", 0, INT32_MAX)):
            value = getattr(self, name)
            if value is not None:
                if not is_int(value) or not least <= plain_int(value) <= most:
                    raise ValueError(f"{name} must be an int from {least} to {most}, not "
                                     f"{value!r:.40}")
                object.__setattr__(self, name, plain_int(value))
        object.__setattr__(self, "tags", types.MappingProxyType(kept))

    def __eq__(self, other: object) -> bool:
        # 1 and 1.0 are written as different tags (i and f), so they are different values here.
        if not isinstance(other, ReadInfo):
            return NotImplemented
        return (typed_tags(self), self.stride, self.trimmed_samples, self.samples) == \
            (typed_tags(other), other.stride, other.trimmed_samples, other.samples)

    def __hash__(self) -> int:
        return hash((typed_tags(self), self.stride, self.trimmed_samples, self.samples))


def typed_tags(info: ReadInfo) -> frozenset:
    return frozenset((tag, type(value), value) for tag, value in info.tags.items())


def tag_value(tag: object, value: object) -> Union[int, float, str, TagArray]:
    """A SAM tag's value as kept and written; ValueError or TypeError naming the tag for a value
    that SAM and BAM cannot store."""
    if not isinstance(tag, str) or not TAG.fullmatch(tag):
        raise ValueError(f"tag {tag!r:.20} is not a SAM tag (a letter, then a letter or digit)")
    if tag in WRITER_TAGS:
        raise ValueError(f"tag {tag} is written from the read itself; choose another")
    if isinstance(value, np.ndarray) and value.ndim == 0:
        value = value[()]
    if isinstance(value, str):
        text = str.__str__(value)  # the characters themselves, whatever a subclass says
        if not SAM_TEXT.fullmatch(text):
            raise ValueError(f"tag {tag}: {text!r:.40} holds characters SAM text cannot hold")
        return text
    if tag == "RG":
        raise TypeError(f"tag RG names a read group: a str, not {type(value).__name__}")
    if is_int(value) or is_float(value):
        return scalar_value(tag, value)
    if isinstance(value, (list, tuple, array.array, np.ndarray)):
        return array_value(tag, value)
    raise TypeError(f"tag {tag}: values must be int, float, str or arrays of numbers, not "
                    f"{type(value).__name__}")


def plain_int(value: Any) -> int:
    """An integer as a plain int, whatever a subclass's own arithmetic says."""
    return int.__index__(operator.index(value))


def scalar_value(tag: str, value: Any) -> Union[int, float]:
    if is_int(value):
        number = plain_int(value)
        if not SAM_INT_RANGE[0] <= number <= SAM_INT_RANGE[1]:
            raise ValueError(f"tag {tag}: {number} is beyond SAM's 32-bit integers")
        return number
    single = single_precision(float.__float__(value) if isinstance(value, float)
                              else float(value))
    if single is None:
        raise ValueError(f"tag {tag}: {value} cannot be stored; SAM floats are finite single "
                         "precision")
    return single


def single_precision(value: float) -> Optional[float]:
    """The value as SAM and BAM both hold it, or None for one they cannot hold: single precision,
    to the six significant digits SAM text writes (%g), so that both formats read back alike."""
    if not math.isfinite(value) or abs(value) > FLOAT32_MAX:
        return None
    return float(np.float32(float(f"{float(np.float32(value)):g}")))


def array_value(tag: str, value: Any) -> TagArray:
    if isinstance(value, np.ndarray):
        if value.ndim != 1:
            raise ValueError(f"tag {tag}: an array tag must be 1-D, not {value.ndim}-D")
        if value.dtype.kind not in "iuf":
            raise TypeError(f"tag {tag}: arrays of {value.dtype} cannot be stored; ints or "
                            "floats")
        given = value.dtype.char
        items = value.tolist()
    else:
        given = value.typecode if isinstance(value, (array.array, TagArray)) else ""
        items = list(value)
    if not items:
        raise ValueError(f"tag {tag}: an empty array has no type SAM can store; leave it out")
    if all(is_int(item) for item in items):
        items = [int(item) for item in items]
        low, high = min(items), max(items)
        code = given if given in ARRAY_RANGES else "i" if low >= -2**31 and high < 2**31 else "I"
        if not ARRAY_RANGES[code][0] <= low <= high <= ARRAY_RANGES[code][1]:
            raise ValueError(f"tag {tag}: values from {low} to {high} fit no 32-bit array type")
        return TagArray(items, code)
    if all(is_float(item) for item in items):
        singles = []
        for item in items:
            single = single_precision(float(item))
            if single is None:
                raise ValueError(f"tag {tag}: {item} cannot be stored; SAM floats are finite "
                                 "single precision")
            singles.append(single)
        return TagArray(singles, "f")
    kinds = ", ".join(sorted({type(item).__name__ for item in items}))
    if all(is_int(item) or is_float(item) for item in items):
        raise TypeError(f"tag {tag}: an array holds ints or floats, not both ({kinds})")
    raise TypeError(f"tag {tag}: arrays hold ints or floats, not {kinds}")


def is_float(value: object) -> bool:
    return isinstance(value, (float, np.floating))


SEQUENCE = re.compile(r"[ACGT]*")  # what the decoder emits
FASTQ_QUALITY = re.compile(r"[!-~]*")


@dataclasses.dataclass(frozen=True, eq=False)
class DecodedRead:
    """A read: its bases over "ACGT", a FASTQ quality string of the same length, and one move per
    kept block (1 where the block emitted a base, 0 where the path stayed), as uint8.

    What the caller gave with the read's first chunk comes along: SAM `tags` (two-character tags
    to values, written into SAM/BAM records) and, where known, its signal layout: `stride`
    (samples per block), `trimmed_samples` (samples of the read before its first block) and
    `samples` (all samples of the read).

    A read built by a caller is checked as the decoder's are made, InputError naming the read
    otherwise; it keeps a read-only uint8 copy of the moves and the tags as ReadInfo keeps them.

    Attributes
    ----------
    name : str
        The read's name.
    sequence : str
        Its bases over "ACGT".
    quality : str
        Its FASTQ qualities (Phred + 33), one per base.
    moves : numpy.ndarray
        One uint8 move per kept block, read-only.
    tags : Mapping[str, int or float or str or tuple]
        SAM tags, written into SAM and BAM records (an array tag as a tuple of its numbers).
    stride : int or None
        Samples per block, where known (for the ``mv`` tag).
    trimmed_samples : int or None
        Samples of the read before its first block, where known (for the ``ts`` tag).
    samples : int or None
        All samples of the read, where known (for the ``ns`` tag).

    Raises
    ------
    InputError
        For a read built with values a decoder never gives.
    """

    name: str
    sequence: str
    quality: str
    moves: np.ndarray
    tags: Mapping[str, TagValue] = dataclasses.field(default_factory=dict)
    stride: Optional[int] = None
    trimmed_samples: Optional[int] = None
    samples: Optional[int] = None

    def __post_init__(self) -> None:
        if not isinstance(self.name, str):
            raise InputError(f"a read's name must be a str, not {type(self.name).__name__}")
        object.__setattr__(self, "name", str.__str__(self.name))  # not a subclass's own text
        label = f"read {self.name}"
        if not isinstance(self.sequence, str) or not SEQUENCE.fullmatch(self.sequence):
            raise InputError(f"{label}: its sequence must be a str over ACGT, not "
                             f"{self.sequence!r:.40}")
        if not isinstance(self.quality, str) or len(self.quality) != len(self.sequence) or \
                not FASTQ_QUALITY.fullmatch(self.quality):
            raise InputError(f"{label}: its quality must be a str of FASTQ qualities (! to ~), "
                             "one per base")
        try:
            moves = checked_moves(label, self.sequence, self.quality, self.moves)
            info = ReadInfo(self.tags, self.stride, self.trimmed_samples, self.samples)
        except (TypeError, ValueError) as error:
            message = str(error)
            raise InputError(message if message.startswith(label) else f"{label}: {message}") \
                from None
        moves = np.array(moves, dtype=np.uint8)  # a copy of its own
        moves.flags.writeable = False
        object.__setattr__(self, "moves", moves)
        for field in ("tags", "stride", "trimmed_samples", "samples"):
            object.__setattr__(self, field, getattr(info, field))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, DecodedRead):
            return NotImplemented
        return (self.name, self.sequence, self.quality, self.stride, self.trimmed_samples,
                self.samples) == (other.name, other.sequence, other.quality, other.stride,
                                  other.trimmed_samples, other.samples) and \
            np.array_equal(self.moves, other.moves) and self.tags == other.tags


@dataclasses.dataclass(frozen=True)
class InvalidRead:
    """A read whose values can only decode to garbage, and why: what the Decoder hands to its
    `on_invalid` callable in place of the read.

    Attributes
    ----------
    name : str
        The read's name.
    reason : str
        Why it cannot be decoded (the first bad value, or a last chunk that never came).
    """

    name: str
    reason: str

    @property
    def message(self) -> str:
        """The reason as one line naming the read, as the InputError that on_invalid="raise"
        raises for it and the command's warning for a skipped read give it
        (``read NAME: REASON``)."""
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
    of the read is kept once; a base belongs to the block whose move emitted it.

    Parameters
    ----------
    decoded_chunks : sequence
        The chunks, each a (sequence, quality, moves) tuple (as ``tovrel_tensors.decode`` returns)
        or a DecodedRead.
    overlap : int or sequence of int
        The blocks shared by every two neighbours, or one count per pair of neighbours.

    Returns
    -------
    tuple[str, str, numpy.ndarray]
        (sequence, quality, moves) of the kept blocks, the moves as a uint8 array.

    Raises
    ------
    ValueError
        For no chunks, moves that are not 0 or 1 or do not match their sequence, and a chunk
        shorter than its overlaps.

    Examples
    --------
    >>> from tovrel_decode import join_chunks
    >>> sequence, quality, moves = join_chunks([("AC", "!!", [1, 0, 1, 0]),
    ...                                         ("GT", "++", [0, 1, 0, 1])], overlap=2)
    >>> sequence, moves.tolist()    # the first chunk's first 3 blocks, the second's last 3
    ('ACGT', [1, 0, 1, 1, 0, 1])
    """
    chunks = [(chunk.sequence, chunk.quality, chunk.moves)
              if isinstance(chunk, (DecodedChunk, DecodedRead)) else tuple(chunk)
              for chunk in decoded_chunks]
    if not chunks:
        raise ValueError("join_chunks needs at least one chunk")
    overlaps = overlaps_between(overlap, len(chunks))
    checked = [checked_moves(f"chunk {i}", sequence, quality, moves)
               for i, (sequence, quality, moves) in enumerate(chunks)]
    for i, value in enumerate(overlaps):
        shorter = min(len(checked[i]), len(checked[i + 1]))
        if value > shorter:
            which = i if len(checked[i]) == shorter else i + 1
            raise ValueError(f"chunks {i} and {i + 1} overlap by {value} blocks, but chunk "
                             f"{which} has {shorter}")
    sequences, qualities, kept_moves = [], [], []
    for i, ((sequence, quality, _), moves) in enumerate(zip(chunks, checked)):
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
    if is_int(overlap) or isinstance(overlap, (bool, np.bool_)) or \
            not isinstance(overlap, (Sequence, np.ndarray)):
        overlaps: list[Any] = [check_overlap(overlap)] * (count - 1)
    else:
        overlaps = list(overlap)
    if len(overlaps) != count - 1:
        raise ValueError(f"{len(overlaps)} overlaps for {count} chunks; one between each two "
                         "neighbours")
    return [check_overlap(value) for value in overlaps]


def is_int(value: object) -> bool:
    return isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_))


def check_overlap(overlap: object, label: str = "overlap") -> int:
    """An overlap in blocks: an int of at least 0."""
    if not is_int(overlap) or overlap < 0:  # type: ignore[operator]
        raise ValueError(f"{label} must be an int of at least 0, not {overlap!r:.40}")
    return int(overlap)  # type: ignore[call-overload]


def checked_moves(label: str, sequence: str, quality: str, moves: Any) -> np.ndarray:
    """The moves as uint8, converted only once each is known to be 0 or 1; ValueError naming
    `label` for other moves, or as many moves of 1 as the sequence has bases."""
    if hasattr(moves, "numpy"):
        moves = moves.detach().cpu().numpy() if hasattr(moves, "detach") else moves.numpy()
    moves = np.asarray(moves)
    if moves.ndim != 1 or (moves.size and (moves.dtype.kind not in "biu" or moves.min() < 0 or
                                           moves.max() > 1)):
        raise ValueError(f"{label}: moves must be a sequence of 0 and 1")
    moves = moves.astype(np.uint8, copy=False)
    bases = int(moves.sum(dtype=np.int64))
    if not len(sequence) == len(quality) == bases:
        raise ValueError(f"{label}: {bases} moves of 1 for a sequence of {len(sequence)} "
                         f"bases and {len(quality)} qualities; they must be equal")
    return moves
