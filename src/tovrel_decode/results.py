"""What decoding gives: decoded reads, reads that cannot be decoded and why, and the rule that
joins the overlapping chunks of a read."""
from __future__ import annotations

import dataclasses
import math
from typing import Any, Sequence, Union

import numpy as np


def as_moves(moves: Any) -> np.ndarray:
    """Moves as a uint8 array (a tensor's memory is shared, not copied)."""
    if hasattr(moves, "numpy"):
        moves = moves.numpy()
    return np.asarray(moves, dtype=np.uint8)


@dataclasses.dataclass(frozen=True, eq=False)
class DecodedRead:
    """A read: its bases over "ACGT", a FASTQ quality string of the same length, and one move per
    kept block (1 where the block emitted a base, 0 where the path stayed), as uint8."""

    name: str
    sequence: str
    quality: str
    moves: np.ndarray

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, DecodedRead):
            return NotImplemented
        return (self.name, self.sequence, self.quality) == \
            (other.name, other.sequence, other.quality) and \
            np.array_equal(self.moves, other.moves)


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


def join_chunks(decoded_chunks: Sequence[Any], overlap: int) -> tuple[str, str, np.ndarray]:
    """Joins the decoded chunks of one read, each (sequence, quality, moves) in the order they
    were cut from the read, each starting `overlap` blocks before the previous one ends.

    Between two neighbours the earlier chunk keeps its blocks up to ceil(overlap / 2) before its
    end and the later one its blocks from floor(overlap / 2) on, so every block of the read is kept
    once; a base belongs to the block whose move emitted it. Returns (sequence, quality, moves)
    of the kept blocks, the moves as a uint8 array."""
    if isinstance(overlap, bool) or not isinstance(overlap, int) or overlap < 0:
        raise ValueError(f"overlap must be an int of at least 0, not {overlap!r:.40}")
    chunks = [(chunk.sequence, chunk.quality, chunk.moves)
              if isinstance(chunk, (DecodedChunk, DecodedRead)) else tuple(chunk)
              for chunk in decoded_chunks]
    if not chunks:
        raise ValueError("join_chunks needs at least one chunk")
    if len(chunks) == 1:
        sequence, quality, moves = chunks[0]
        return sequence, quality, as_moves(moves)
    sequences, qualities, kept_moves = [], [], []
    last = len(chunks) - 1
    for i, (sequence, quality, moves) in enumerate(chunks):
        moves = as_moves(moves)
        start = overlap // 2 if i > 0 else 0
        end = len(moves) - math.ceil(overlap / 2) if i < last else len(moves)
        if end < start:
            raise ValueError(f"chunk {i} has {len(moves)} blocks, fewer than the overlap of "
                             f"{overlap}")
        first_base = int(moves[:start].sum(dtype=np.int64))
        end_base = first_base + int(moves[start:end].sum(dtype=np.int64))
        sequences.append(sequence[first_base:end_base])
        qualities.append(quality[first_base:end_base])
        kept_moves.append(moves[start:end])
    return "".join(sequences), "".join(qualities), np.concatenate(kept_moves)
