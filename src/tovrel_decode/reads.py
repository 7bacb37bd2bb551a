"""From chunks to reads: naming, grouping by overlap, checking, decoding a window at a time and
joining the chunks of a read."""
import dataclasses
import math
from typing import Optional

import torch

import tovrel_tensors

from . import checks
from .errors import InputError


@dataclasses.dataclass
class Read:
    name: str
    chunks: list  # the Chunks it is cut into, in order
    overlap: int = 0
    invalid: Optional[str] = None  # why it cannot be decoded, once checked


def plan_reads(sources, sam_names=False):
    """The reads of the run, in input order, after every check that needs no data: names
    (default chunk_N, N the position of the chunk among all chunks of the run), their rules and
    uniqueness, layouts and shapes."""
    reads = []
    seen = {}
    position = 0
    for source in sources:
        previous = None
        for chunk in source.chunks:
            name = chunk.name if chunk.name is not None else f"chunk_{position}"
            position += 1
            checks.check_name(name, chunk.label, sam=sam_names)
            checks.num_states_of(chunk)
            if source.overlap is not None and previous is not None and previous.name == name:
                previous.chunks.append(chunk)
                continue
            if name in seen:
                raise InputError(f"{chunk.label}: read name {name!r} is used again (first at "
                                 f"{seen[name]})"
                                 + ("; the chunks of one read must be consecutive"
                                    if source.overlap is not None else ""))
            seen[name] = chunk.label
            previous = Read(name, [chunk], source.overlap or 0)
            reads.append(previous)
    for read in reads:
        if len(read.chunks) > 1:
            for chunk in read.chunks:
                if chunk.shape[0] < read.overlap:
                    raise InputError(f"{chunk.label}: {chunk.shape[0]} blocks, fewer than the "
                                     f"overlap of {read.overlap} of read {read.name}")
    return reads


def chunk_problem(chunk):
    """None, or (what, row) for the first value of a chunk that can only decode to garbage.
    Stored guides and posteriors that do not fit the scores raise InputError."""
    scores, guides, posts = chunk.load()
    states = checks.num_states_of(chunk)
    if guides is not None:
        checks.check_stored_guides(chunk, scores, guides, posts, states)
    return checks.first_bad_block(scores, guides, posts, states)


def invalid_message(read, position, problem):
    """Why a read cannot be decoded: `problem` of its chunk at `position`."""
    what, row = problem
    if len(read.chunks) > 1:
        what = f"{what} of {read.chunks[position].label.rsplit(': ', 1)[-1]}"
    return checks.bad_value_message(read.name, what, row)


def check_read(read):
    """Sets read.invalid when a chunk holds values that can only decode to garbage."""
    for position, chunk in enumerate(read.chunks):
        problem = chunk_problem(chunk)
        if problem is not None:
            read.invalid = invalid_message(read, position, problem)
            return


def decode_chunks(chunks, options):
    """(sequence, quality, moves list) of every chunk, in order. Chunks without stored guides go
    through decode_batch on the intra-op threads; 8-bit scores are decoded as the float values
    they hold."""
    results = [None] * len(chunks)
    batch = []
    for i, chunk in enumerate(chunks):
        scores, guides, posts = chunk.load()
        if guides is None:
            batch.append((i, checks.as_float32(scores)))
            continue
        if scores.dtype != torch.int8:
            scores, guides, posts = (checks.as_float32(t) for t in (scores, guides, posts))
        results[i] = tovrel_tensors.beam_search(scores, guides, posts, **options)
    if batch:
        decoded = tovrel_tensors.decode_batch([scores for _, scores in batch], **options)
        for (i, _), result in zip(batch, decoded):
            results[i] = result
    return [(sequence, quality, moves.tolist()) for sequence, quality, moves in results]


def join(read, decoded):
    """The record of a read from the decoded chunks it is cut into: between two neighbours, the
    earlier keeps its blocks up to ceil(overlap / 2) before its end, the later its blocks from
    floor(overlap / 2) on; a base belongs to the block whose move emitted it."""
    if len(decoded) == 1:
        return decoded[0]
    sequence, quality, moves = [], [], []
    last = len(decoded) - 1
    for i, (chunk_sequence, chunk_quality, chunk_moves) in enumerate(decoded):
        start = read.overlap // 2 if i > 0 else 0
        end = len(chunk_moves) - math.ceil(read.overlap / 2) if i < last else len(chunk_moves)
        first_base = sum(chunk_moves[:start])
        end_base = first_base + sum(chunk_moves[start:end])
        sequence.append(chunk_sequence[first_base:end_base])
        quality.append(chunk_quality[first_base:end_base])
        moves += chunk_moves[start:end]
    return "".join(sequence), "".join(quality), moves


def windows(reads, threads, max_values=16 * 1024 * 1024):
    """Groups the reads to decode into windows of whole reads, enough chunks to keep every
    thread busy and few enough values to bound the memory in flight."""
    window, chunks, values = [], 0, 0
    for read in reads:
        window.append(read)
        chunks += len(read.chunks)
        values += sum(c.shape[0] * c.shape[1] for c in read.chunks)
        if chunks >= 2 * threads or (values >= max_values and chunks >= threads):
            yield window
            window, chunks, values = [], 0, 0
    if window:
        yield window
