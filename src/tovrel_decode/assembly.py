"""Chunks become reads: `ReadAssembler` collects the decoded chunks of each read, joins a read once
its last chunk is in and hands finished reads out, in the order of their first chunk or as they
finish; `InvalidPolicy` is what happens to a read that cannot be decoded, applied as its turn
comes; `assemble_reads` does both for a plan whose chunks were decoded anywhere. The Decoder and
the command (for either executor) assemble reads only here."""
from __future__ import annotations

import collections
import dataclasses
from typing import (TYPE_CHECKING, Any, Callable, Deque, Iterable, Iterator, Optional, Sequence,
                    Union)

from .errors import DecodeError, InputError
from .results import (ChunkResult, DecodedRead, InvalidChunk, InvalidRead, ReadInfo,
                      join_chunks)

if TYPE_CHECKING:
    from .engine import ChunkWork

NEVER_FINISHED = "its last chunk never came (submit it with last=True)"

OnInvalid = Union[str, Callable[[InvalidRead], Any]]


class IncompleteRun(DecodeError):
    """The chunks decoded do not account for the plan: a fault of the run, never success."""

    def __init__(self, message: str) -> None:
        super().__init__(f"internal error: {message}")


@dataclasses.dataclass(frozen=True)
class NewChunk:
    """A chunk as submitted, checked on its own, before it joins its read."""

    name: str
    work: Optional[ChunkWork]  # None where the chunk is decoded elsewhere (on a cluster)
    width: int
    blocks: int
    overlap: int  # with the read's previous chunk
    last: bool
    label: Optional[str]  # where it comes from, for messages; by default "chunk N" of its read
    info: Optional[ReadInfo] = None
    tag: Any = None  # what a caller that assembles the reads itself knows the chunk by


@dataclasses.dataclass(eq=False)
class PendingRead:
    """A read whose chunks are being submitted or decoded."""

    name: str
    width: int
    info: ReadInfo
    results: list = dataclasses.field(default_factory=list)  # ChunkResult, None until decoded
    labels: list = dataclasses.field(default_factory=list)  # where each chunk comes from
    overlaps: list = dataclasses.field(default_factory=list)  # each chunk's with the one before
    last_blocks: int = 0  # of its latest chunk, which the next one overlaps
    last_seen: bool = False
    never_finished: bool = False  # closed before its last chunk came
    undecoded: int = 0

    @property
    def finished(self) -> bool:
        return self.last_seen and self.undecoded == 0

    def invalid(self, index: int, chunk: InvalidChunk) -> InvalidRead:
        where = f"{self.labels[index]}: " if len(self.results) > 1 else ""
        return InvalidRead(self.name, f"{where}{chunk.describe()}; it cannot be decoded")

    def assemble(self) -> Union[DecodedRead, InvalidRead]:
        if self.never_finished:
            return InvalidRead(self.name, NEVER_FINISHED)
        for index, result in enumerate(self.results):
            if isinstance(result, InvalidChunk):
                return self.invalid(index, result)
        sequence, quality, moves = join_chunks(self.results, self.overlaps[1:])
        info = self.info
        problem = layout_problem(info, len(moves))
        if problem is not None:
            return InvalidRead(self.name, problem)
        return DecodedRead(self.name, sequence, quality, moves, info.tags, info.stride,
                           info.trimmed_samples, info.samples)


def layout_problem(info: ReadInfo, blocks: int) -> Optional[str]:
    """Why the read's signal layout cannot be that of its `blocks`, or None: its blocks must end
    within its samples (trimmed_samples + stride * blocks <= samples) where both are known."""
    if info.stride is None or info.samples is None:
        return None
    end = (info.trimmed_samples or 0) + info.stride * blocks
    if end <= info.samples:
        return None
    return (f"its {blocks} blocks of {info.stride} samples after {info.trimmed_samples or 0} "
            f"trimmed end at sample {end}, beyond its {info.samples} samples (overlaps and "
            "lengths are in blocks, not samples)")


class ReadAssembler:
    """Chunks become reads: a chunk is added when submitted and filled when decoded; a read is
    finished once its last chunk has come and every chunk is decoded. Finished reads leave in the
    order of their first chunk, or with `ordered=False` as they finish. A read id names the next
    read again once its read's last chunk has come."""

    def __init__(self, ordered: bool = True) -> None:
        self.ordered = ordered
        self.order: Deque[PendingRead] = collections.deque()  # not yet handed out, in order
        self.open: dict[str, PendingRead] = {}  # reads still taking chunks
        self.done: list[PendingRead] = []  # finished, not yet handed out (ordered=False)

    def check(self, chunks: Sequence[NewChunk]) -> None:
        """InputError for the first of `chunks` (submitted in this order) that could not be
        added; nothing changes either way."""
        # name -> (width, blocks, chunks so far) of each read still open
        latest: dict[str, Optional[tuple[int, int, int]]] = {}
        for chunk in chunks:
            if chunk.name in latest:
                previous = latest[chunk.name]
            else:
                read = self.open.get(chunk.name)
                previous = None if read is None else \
                    (read.width, read.last_blocks, len(read.results))
            index = 0
            if previous is not None:
                width, blocks, index = previous
                label = chunk.label or f"chunk {index}"
                if chunk.info is not None:
                    raise InputError(f"read {chunk.name}: {label} carries the read's information, "
                                     "which comes with its first chunk only")
                if chunk.width != width:
                    raise InputError(f"read {chunk.name}: {label} has {chunk.width} scores per "
                                     f"block, its first chunk {width}; all chunks of a read must "
                                     "have the same width")
                shorter = min(blocks, chunk.blocks)
                if chunk.overlap > shorter:
                    which = "it" if chunk.blocks <= blocks else "the chunk before it"
                    raise InputError(f"read {chunk.name}: {label} overlaps the chunk before it by "
                                     f"{chunk.overlap} blocks, but {which} has {shorter}")
            latest[chunk.name] = None if chunk.last else (chunk.width, chunk.blocks, index + 1)

    def add(self, chunk: NewChunk) -> tuple[PendingRead, int]:
        """Adds a chunk that `check` accepted; returns its read and its place in the read."""
        read = self.open.get(chunk.name)
        if read is None:
            read = PendingRead(chunk.name, chunk.width, chunk.info or ReadInfo())
            self.order.append(read)
            self.open[chunk.name] = read
        read.labels.append(chunk.label or f"chunk {len(read.results)}")
        read.results.append(None)
        read.overlaps.append(chunk.overlap if len(read.results) > 1 else 0)
        read.last_blocks = chunk.blocks
        read.undecoded += 1
        if chunk.last:
            read.last_seen = True
            del self.open[chunk.name]
        return read, len(read.results) - 1

    def fill(self, read: PendingRead, index: int, result: Optional[ChunkResult]) -> None:
        read.results[index] = result
        read.undecoded -= 1
        if read.finished and not self.ordered:
            self.done.append(read)

    def close(self) -> None:
        """No more chunks: reads whose last chunk never came are finished as such."""
        for read in self.open.values():
            read.last_seen = read.never_finished = True
            if read.finished and not self.ordered:
                self.done.append(read)
        self.open.clear()

    def finished(self) -> list[Union[DecodedRead, InvalidRead]]:
        """The reads finished since last asked, assembled, in order."""
        if self.ordered:
            reads = []
            while self.order and self.order[0].finished:
                reads.append(self.order.popleft())
        else:
            reads, self.done = self.done, []
        return [read.assemble() for read in reads]


class _OnItsOwn:
    """The read of a chunk whose result leaves on its own: it is always decoded."""

    never_finished = False


class ChunkResults:
    """In place of a ReadAssembler, for callers that assemble the reads themselves: each chunk's
    result leaves as (its tag, ChunkResult) once its window is decoded."""

    def __init__(self) -> None:
        self.done: list[tuple[Any, ChunkResult]] = []

    def check(self, chunks: Sequence[NewChunk]) -> None:
        pass

    def add(self, chunk: NewChunk) -> tuple[_OnItsOwn, Any]:
        return _OnItsOwn(), chunk.tag

    def fill(self, read: Any, tag: Any, result: Optional[ChunkResult]) -> None:
        assert result is not None
        self.done.append((tag, result))

    def close(self) -> None:
        pass

    def finished(self) -> list[tuple[Any, ChunkResult]]:
        done, self.done = self.done, []
        return done


class InvalidPolicy:
    """What happens to a read that cannot be decoded, as its turn comes: "raise" raises InputError
    for it (the reads before it have come out; the reads after it come out on later calls);
    "skip" leaves it out; a callable is given each such read, which is left out too."""

    def __init__(self, on_invalid: OnInvalid) -> None:
        if on_invalid not in ("raise", "skip") and not callable(on_invalid):
            raise ValueError(f"on_invalid must be 'raise', 'skip' or a callable, not "
                             f"{on_invalid!r:.40}")
        self.on_invalid = on_invalid
        self.skipped = 0

    @property
    def raises(self) -> bool:
        return self.on_invalid == "raise"

    def leave_out(self, read: InvalidRead) -> None:
        if self.raises:
            raise InputError(read.message)
        self.skipped += 1
        if callable(self.on_invalid):
            self.on_invalid(read)

    def decoded(self, results: Iterable[Union[DecodedRead, InvalidRead]]
                ) -> Iterator[DecodedRead]:
        """The decoded reads of `results`; each invalid one is left out in its turn."""
        for result in results:
            if isinstance(result, InvalidRead):
                self.leave_out(result)
            else:
                yield result


def assemble_reads(reads: Sequence[Any], results: Iterable[tuple[Any, ChunkResult]],
                   on_invalid: OnInvalid, progress: Callable[[int], None]
                   ) -> Iterator[DecodedRead]:
    """The planned `reads` (each with its `chunks`, `overlap` and `name`) from the results of
    their chunks, which come in any order as (planned chunk, result): each read joined once all
    its chunks are in, handed out in plan order with `on_invalid` applied in its turn, and
    `progress` told the chunks of each read as it leaves.

    The plan is the account of the run: once the results end, every planned read has left
    (decoded, or left out by `on_invalid`), or IncompleteRun says how many did not. A chunk's
    result that comes twice, or for a chunk not planned, is refused the same way."""
    policy = InvalidPolicy(on_invalid)
    assembler = ReadAssembler()
    slots = {}  # id of a planned chunk -> (its pending read, its place in the read)
    chunk_counts = {}
    for read in reads:
        chunk_counts[read.name] = len(read.chunks)
        for index, chunk in enumerate(read.chunks):
            slots[id(chunk)] = assembler.add(NewChunk(
                read.name, None, chunk.shape[1], chunk.shape[0], read.overlap,
                index == len(read.chunks) - 1, chunk.label))
    for chunk, result in results:
        slot = slots.pop(id(chunk), None)
        if slot is None:
            raise IncompleteRun(f"the result of {chunk.label} came twice or was not planned")
        assembler.fill(*slot, result)
        for item in assembler.finished():
            progress(chunk_counts.pop(item.name))
            yield from policy.decoded([item])
    if chunk_counts:
        first = next(iter(chunk_counts))
        raise IncompleteRun(f"the run gave {len(reads) - len(chunk_counts)} of its {len(reads)} "
                            f"planned reads (read {first} and {len(chunk_counts) - 1} more never "
                            "came)")
