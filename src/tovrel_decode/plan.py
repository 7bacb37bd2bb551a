"""The plan of a run: its reads in output order, each with the chunks it is cut into, after every
check that needs no data. Executors decode a plan, on this machine or on a cluster."""
from __future__ import annotations

import dataclasses
from typing import Callable, Iterator, Protocol

from . import checks, inputs, names
from .errors import InputError
from .results import ChunkResult


@dataclasses.dataclass
class PlannedRead:
    name: str
    chunks: list  # the inputs.Chunks it is cut into, in order
    overlap: int = 0

    @property
    def blocks(self) -> int:
        return sum(chunk.shape[0] for chunk in self.chunks)


class Executor(Protocol):
    """What the command asks of a way to decode: the inputs opened where they will be decoded,
    their chunks decoded, and the resources released. Both executors are checked against it."""

    def sources(self, paths: list[str], status: Callable[[str], None]) -> list[inputs.Source]:
        """The inputs, opened and checked; `status` is told what is being done."""

    def chunk_results(self, reads: list[PlannedRead]
                      ) -> Iterator[tuple[inputs.Chunk, ChunkResult]]:
        """The result of every chunk of a plan, as (the planned chunk, its result), in any order;
        assembly.assemble_reads makes reads of them. Closing the iterator early stops the work."""

    def close(self) -> None:
        """Releases what the executor holds (inputs, a cluster's client); safe to call twice."""


def plan_reads(sources: list[inputs.Source], sam_names: bool = False) -> list[PlannedRead]:
    """The reads of the run, in input order: names (by default STEM_N, STEM the input's name
    without its suffixes and N the chunk's place in it), their rules and uniqueness, layouts,
    shapes, and the chunks of a joined read: consecutive, of one width, none shorter than the
    overlap."""
    reads: list[PlannedRead] = []
    seen: dict[str, str] = {}
    for source in sources:
        previous = None
        for position, chunk in enumerate(source.chunks):
            name = chunk.name if chunk.name is not None else \
                names.chunk_name(source.stem, position)
            names.check_name(name, chunk.label, sam=sam_names)
            checks.check_chunk(chunk.label, chunk, *chunk.stored)
            if source.overlap is not None and previous is not None and previous.name == name:
                if chunk.shape[1] != previous.chunks[0].shape[1]:
                    raise InputError(f"{chunk.label}: read {name} has chunks of "
                                     f"{previous.chunks[0].shape[1]} and {chunk.shape[1]} "
                                     "scores per block; all chunks of a read must have the "
                                     "same width")
                previous.chunks.append(chunk)
                continue
            if name in seen:
                raise InputError(f"{chunk.label}: read name {name!r} is used again (first at "
                                 f"{seen[name]})"
                                 + ("; the chunks of one read must be consecutive"
                                    if source.overlap is not None else ""))
            seen[name] = chunk.label
            previous = PlannedRead(name, [chunk], source.overlap or 0)
            reads.append(previous)
    for read in reads:
        if len(read.chunks) > 1:
            for chunk in read.chunks:
                if chunk.shape[0] < read.overlap:
                    raise InputError(f"{chunk.label}: {chunk.shape[0]} blocks, fewer than the "
                                     f"overlap of {read.overlap} of read {read.name}")
    return reads


def chunks_of(reads: list[PlannedRead]) -> Iterator[tuple[PlannedRead, int, inputs.Chunk]]:
    for read in reads:
        for index, chunk in enumerate(read.chunks):
            yield read, index, chunk
