"""Decoding a plan on this machine: its chunks go through a Decoder, loaded as they are
submitted, so that only the chunks waiting or in flight are held in memory."""
from __future__ import annotations

import time
from typing import Callable, Iterator

import torch

import tovrel_tensors

from . import inputs
from .engine import WINDOW_VALUES, Decoder, OnInvalid, SearchOptions
from .plan import Executor, PlannedRead, chunks_of
from .results import DecodedRead, InvalidRead


class LocalExecutor:
    """Runs the intra-op threads of this process. A mapped input that is truncated under it ends
    the process with `bus_error_prefix` and a line naming the file."""

    def __init__(self, options: SearchOptions, threads: int, bus_error_prefix: str) -> None:
        self.options = options
        self.threads = threads
        self.opened: list[inputs.Source] = []
        self.checked_at = 0.0
        torch.set_num_threads(threads)
        tovrel_tensors._exit_on_bus_error(bus_error_prefix)

    def sources(self, paths: list[str], status: Callable[[str], None]) -> list[inputs.Source]:
        for path in paths:
            status(f"loading {path}")
            self.opened.append(inputs.open_input(path))
        return self.opened

    def pending_bytes(self, reads: list[PlannedRead]) -> int:
        """Two windows of the largest chunks: one decoding, the next one waiting."""
        largest = max((chunk.shape[0] * chunk.shape[1] * chunk.dtype.itemsize
                       for read in reads for chunk in read.chunks), default=1)
        return 2 * max(self.threads * largest, WINDOW_VALUES * 4, 1)

    def decoded_reads(self, reads: list[PlannedRead], on_invalid: OnInvalid,
                      progress: Callable[[int], None]) -> Iterator[DecodedRead]:
        chunk_counts: dict[str, int] = {}

        def left_out(read: InvalidRead) -> None:
            progress(chunk_counts.pop(read.name))
            on_invalid(read)  # type: ignore[operator]

        # The inputs are not changed by anyone but the run, so their chunks are decoded in place.
        with Decoder(**self.options.keywords(), on_invalid=on_invalid if on_invalid == "raise"
                     else left_out, max_pending_bytes=self.pending_bytes(reads)) as decoder:
            for read, index, chunk in chunks_of(reads):
                chunk_counts[read.name] = len(read.chunks)
                scores, guides, posts = chunk.load()
                decoder._submit_chunks([decoder._new_chunk(
                    read.name, scores, read.overlap, index == len(read.chunks) - 1, guides, posts,
                    None, chunk.label)], copy=False)
                for decoded in decoder.ready():
                    progress(chunk_counts.pop(decoded.name))
                    self.check_inputs(every=1.0)
                    yield decoded
            decoder.close()
            for decoded in decoder.reads():
                progress(chunk_counts.pop(decoded.name))
                self.check_inputs(every=1.0)
                yield decoded
        self.check_inputs()

    def check_inputs(self, every: float = 0.0) -> None:
        """InputError if an input no longer is the file opened (looked at once per `every`
        seconds): the reads would mix two files."""
        if time.monotonic() - self.checked_at >= every:
            self.checked_at = time.monotonic()
            for source in self.opened:
                inputs.check_unchanged(source.path, source.identity)

    def close(self) -> None:
        pass


_IS_AN_EXECUTOR: type[Executor] = LocalExecutor  # checked by mypy
