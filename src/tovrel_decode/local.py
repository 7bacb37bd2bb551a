"""Decoding a plan on this machine: its chunks are decoded on the Decoder's kind of thread, loaded
as they are submitted, so that only the chunks waiting or in flight are held in memory; their
results are assembled into reads by the command, as a cluster's are."""
from __future__ import annotations

import contextlib
import time
from typing import Callable, Iterator

import torch

import tovrel_tensors

from . import inputs
from .engine import WINDOW_VALUES, ChunkWork, DecodeOptions, checked_work, decoded_chunks
from .plan import Executor, PlannedRead, chunks_of
from .results import ChunkResult


class LocalExecutor:
    """Runs the intra-op threads of this process. A mapped input that is truncated under it ends
    the process with `bus_error_prefix` and a line naming the file."""

    def __init__(self, options: DecodeOptions, threads: int, bus_error_prefix: str) -> None:
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

    def chunk_results(self, reads: list[PlannedRead]
                      ) -> Iterator[tuple[inputs.Chunk, ChunkResult]]:
        def checked_chunks() -> Iterator[tuple[inputs.Chunk, ChunkWork]]:
            for _, _, chunk in chunks_of(reads):
                yield chunk, checked_work(chunk.label, *chunk.load())[0]

        # The inputs are not changed by anyone but the run, so their chunks are decoded in place.
        results = decoded_chunks(self.options, self.pending_bytes(reads), checked_chunks())
        with contextlib.closing(results):
            for result in results:
                self.check_inputs(every=1.0)
                yield result
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
