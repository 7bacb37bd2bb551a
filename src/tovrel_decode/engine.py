"""The decoding engine: chunks in as a network emits them, whole reads out in order.

`decode_window` decodes chunks on torch's intra-op threads and checks their values as part of the
decoding; `ReadAssembler` collects the decoded chunks of each read, joins a read once its last
chunk is in and hands finished reads out in the order of their first chunk; `InvalidPolicy` is
what happens to a read that cannot be decoded. `Decoder` runs them off the caller's thread. The
command runs the same pieces, locally through a Decoder and on a cluster through its workers.
"""
from __future__ import annotations

import atexit
import collections
import dataclasses
import threading
import weakref
from typing import Any, Callable, Deque, Iterator, Optional, Sequence, Union

import torch

import tovrel_tensors

from . import checks
from .errors import InputError
from .results import (ChunkResult, DecodedChunk, DecodedRead, InvalidChunk, InvalidRead,
                      join_chunks)

MAX_THREADS = 1024
# At k = 5 a block of float32 scores is 20 KB, so by default at most about 2 GB of scores wait.
DEFAULT_MAX_PENDING_BLOCKS = 100_000
# A window holds four chunks per thread, or fewer once it holds this many values (and every thread
# has a chunk), which bounds the memory of the chunks in flight.
WINDOW_CHUNKS_PER_THREAD = 4
WINDOW_VALUES = 16 * 1024 * 1024

OnInvalid = Union[str, Callable[[InvalidRead], Any]]

# Decoders whose thread may still be decoding. At exit each is stopped and waited for: a thread
# that is inside the native code when the interpreter finalises would end the process abnormally.
_running: "weakref.WeakSet[Decoder]" = weakref.WeakSet()


@atexit.register
def _stop_running_decoders() -> None:
    for decoder in list(_running):
        decoder._abandon()


@dataclasses.dataclass(frozen=True)
class SearchOptions:
    """The parameters of the beam search, as tovrel_tensors.decode takes them."""

    beam_size: int = 5
    beam_cut: float = 100.0
    temperature: float = 1.0
    q_shift: float = 0.0
    q_scale: float = 1.0

    def __post_init__(self) -> None:
        if isinstance(self.beam_size, bool) or not isinstance(self.beam_size, int) or \
                not 1 <= self.beam_size <= tovrel_tensors.MAX_BEAM_SIZE:
            raise ValueError(f"beam_size must be an int from 1 to {tovrel_tensors.MAX_BEAM_SIZE}"
                             f", not {self.beam_size!r:.40}")
        for name in ("beam_cut", "temperature", "q_shift", "q_scale"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError(f"{name} must be a number, not {type(value).__name__}")
            object.__setattr__(self, name, float(value))

    def keywords(self) -> dict:
        return dataclasses.asdict(self)


@dataclasses.dataclass
class ChunkWork:
    """A chunk's scores, with the guides and posteriors stored for it, if any."""

    scores: torch.Tensor
    back_guides: Optional[torch.Tensor] = None
    posts: Optional[torch.Tensor] = None

    @property
    def blocks(self) -> int:
        return int(self.scores.shape[0])


def checked_work(label: str, scores: Any, back_guides: Any = None,
                 posts: Any = None) -> tuple[ChunkWork, int]:
    """A chunk the decoder can take, on the CPU, and its row width; InputError (a ValueError)
    naming `label` otherwise."""
    tensors: list[Optional[torch.Tensor]] = []
    for what, tensor in (("scores", scores), ("back_guides", back_guides), ("posts", posts)):
        if tensor is None and what != "scores":
            tensors.append(None)
            continue
        if not isinstance(tensor, torch.Tensor):
            raise TypeError(f"{label}: {what} must be a torch.Tensor, not "
                            f"{type(tensor).__name__}")
        checks.check_dense(f"{label}: {what}", tensor)
        tensors.append(tensor if tensor.device.type == "cpu" else tensor.to("cpu"))
    scores, back_guides, posts = tensors
    assert scores is not None
    states = checks.num_states(label, tuple(scores.shape), scores.dtype)
    checks.check_stored_guides(label, scores, back_guides, posts, states)
    return ChunkWork(scores, back_guides, posts), int(scores.shape[1])


def decode_window(chunks: Sequence[ChunkWork], options: SearchOptions) -> list[ChunkResult]:
    """Decodes chunks on torch's intra-op threads with the interpreter lock released. A chunk
    whose values can only decode to garbage (NaN, infinities, scores too large for single
    precision, stored posteriors that do not sum to 1) gives an InvalidChunk instead."""
    results: list = [None] * len(chunks)
    batch = []
    for i, chunk in enumerate(chunks):
        if chunk.back_guides is None or chunk.posts is None:
            batch.append(i)
            continue
        problem = tovrel_tensors.check_values(chunk.scores, chunk.back_guides, chunk.posts)
        results[i] = as_result(problem if problem is not None else tovrel_tensors.beam_search(
            chunk.scores, chunk.back_guides, chunk.posts, **options.keywords()))
    if batch:
        # 8-bit scores without guides are decoded as the values they hold.
        scores = [chunks[i].scores if chunks[i].scores.dtype != torch.int8
                  else chunks[i].scores.float() for i in batch]
        for i, result in zip(batch, tovrel_tensors.decode_batch_checked(
                scores, **options.keywords())):
            results[i] = as_result(result)
    return results


def as_result(result: Any) -> ChunkResult:
    if isinstance(result, tovrel_tensors.InvalidValues):
        return InvalidChunk(result.what, result.row, result.problem)
    sequence, quality, moves = result
    return DecodedChunk(sequence, quality, moves.numpy())


@dataclasses.dataclass(eq=False)
class PendingRead:
    """A read whose chunks are being submitted or decoded."""

    name: str
    overlap: int
    width: int
    results: list = dataclasses.field(default_factory=list)  # ChunkResult, None until decoded
    labels: list = dataclasses.field(default_factory=list)  # where each chunk comes from
    last_seen: bool = False
    undecoded: int = 0

    @property
    def finished(self) -> bool:
        return self.last_seen and self.undecoded == 0

    def invalid(self, index: int, chunk: InvalidChunk) -> InvalidRead:
        where = f"{self.labels[index]}: " if len(self.results) > 1 else ""
        return InvalidRead(self.name, f"{where}{chunk.describe()}; it cannot be decoded")

    def assemble(self) -> Union[DecodedRead, InvalidRead]:
        for index, result in enumerate(self.results):
            if isinstance(result, InvalidChunk):
                return self.invalid(index, result)
        return DecodedRead(self.name, *join_chunks(self.results, self.overlap))


class ReadAssembler:
    """Reads in the order of their first chunk: a chunk is added when submitted and filled when
    decoded; a read is finished once its last chunk has come and every chunk is decoded, and
    finished reads leave in order."""

    def __init__(self) -> None:
        self.order: Deque[PendingRead] = collections.deque()
        self.open: dict[str, PendingRead] = {}  # reads still taking chunks
        self.queued: set[str] = set()  # names of the reads in `order`

    def add(self, name: str, overlap: int, width: int, blocks: int, last: bool,
            label: Optional[str] = None) -> tuple[PendingRead, int]:
        if isinstance(overlap, bool) or not isinstance(overlap, int) or overlap < 0:
            raise InputError(f"read {name}: overlap must be an int of at least 0, not "
                             f"{overlap!r:.40}")
        read = self.open.get(name)
        if read is None:
            if name in self.queued:
                raise InputError(f"read {name}: its last chunk has come; the name is used again")
            read = PendingRead(name, overlap, width)
            self.order.append(read)
            self.queued.add(name)
            self.open[name] = read
        label = label or f"chunk {len(read.results)}"
        if width != read.width:
            raise InputError(f"read {name}: {label} has {width} scores per block, its first chunk "
                             f"{read.width}; all chunks of a read must have the same width")
        if overlap != read.overlap:
            raise InputError(f"read {name}: {label} overlaps by {overlap} blocks, its first chunk "
                             f"by {read.overlap}")
        if (read.results or not last) and blocks < overlap:
            raise InputError(f"read {name}: {label} has {blocks} blocks, fewer than the overlap "
                             f"of {overlap}")
        read.results.append(None)
        read.labels.append(label)
        read.undecoded += 1
        if last:
            read.last_seen = True
            del self.open[name]
        return read, len(read.results) - 1

    def fill(self, read: PendingRead, index: int, result: ChunkResult) -> None:
        read.results[index] = result
        read.undecoded -= 1

    def finished(self) -> list[Union[DecodedRead, InvalidRead]]:
        out = []
        while self.order and self.order[0].finished:
            read = self.order.popleft()
            self.queued.discard(read.name)
            out.append(read.assemble())
        return out

    def unfinished(self) -> list[str]:
        """The reads whose last chunk never came, in order."""
        return [read.name for read in self.order if not read.last_seen]


class InvalidPolicy:
    """What happens to a read that cannot be decoded: "raise" ends the work with InputError;
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

    def error(self, read: InvalidRead) -> InputError:
        return InputError(read.message)

    def leave_out(self, read: InvalidRead) -> None:
        if self.raises:
            raise self.error(read)
        self.skipped += 1
        if callable(self.on_invalid):
            self.on_invalid(read)

    def decoded(self, results: Sequence[Union[DecodedRead, InvalidRead]]
                ) -> Iterator[DecodedRead]:
        """The decoded reads of `results`; each invalid one is left out in its turn."""
        for result in results:
            if isinstance(result, InvalidRead):
                self.leave_out(result)
            else:
                yield result


def check_threads(threads: Any) -> int:
    if isinstance(threads, bool) or not isinstance(threads, int) or \
            not 1 <= threads <= MAX_THREADS:
        raise ValueError(f"threads must be an int from 1 to {MAX_THREADS}, not {threads!r:.40}")
    return threads


class Decoder:
    """Decodes chunks into whole reads off the caller's thread.

    Submit the chunks of each read in order (`submit`, or `submit_batch` for a batch as a network
    emits it); the chunks of different reads may interleave and a read may span many batches.
    `last=True` marks a read's final chunk; consecutive chunks of a read overlap by `overlap`
    blocks and are joined by `join_chunks`. Finished reads come out in the order of their first
    chunk: `ready()` returns those finished so far, `reads()` waits for each in turn and ends once
    the decoder is closed and every read has been handed out. `close()` (or leaving the `with`)
    decodes everything submitted; a read whose last chunk never came is then an error.

    Decoding runs on a thread of its own, on torch's intra-op threads (`threads` sets
    torch.set_num_threads, for the whole process) with the interpreter lock released. `submit`
    waits while the submitted blocks not yet decoded exceed `max_pending_blocks`, so memory stays
    bounded. Scores are float32, float16, bfloat16 (exact), float64 (rounded) or int8; a tensor
    on another device is copied to the CPU. The decoder reads a tensor when it decodes it: do not
    change it after submitting it.

    A read whose values can only decode to garbage (NaN, infinities, scores too large for single
    precision) is an error with on_invalid="raise", raised at the caller's next call; "skip" leaves
    such reads out and counts them in `skipped`; a callable is given each InvalidRead as its turn
    comes, and the read is left out.
    """

    def __init__(self, *, beam_size: int = 5, beam_cut: float = 100.0, temperature: float = 1.0,
                 q_shift: float = 0.0, q_scale: float = 1.0, threads: Optional[int] = None,
                 on_invalid: OnInvalid = "raise",
                 max_pending_blocks: int = DEFAULT_MAX_PENDING_BLOCKS) -> None:
        self._options = SearchOptions(beam_size, beam_cut, temperature, q_shift, q_scale)
        self._policy = InvalidPolicy(on_invalid)
        if isinstance(max_pending_blocks, bool) or not isinstance(max_pending_blocks, int) or \
                max_pending_blocks < 1:
            raise ValueError(f"max_pending_blocks must be an int of at least 1, not "
                             f"{max_pending_blocks!r:.40}")
        if threads is not None:
            torch.set_num_threads(check_threads(threads))
        self._max_pending_blocks = max_pending_blocks
        self._state = threading.Condition()
        self._queue: Deque[tuple[PendingRead, int, ChunkWork]] = collections.deque()
        self._pending_blocks = 0
        self._assembler = ReadAssembler()
        self._finished: Deque[Union[DecodedRead, InvalidRead]] = collections.deque()
        self._closing = False
        self._stopped = False
        self._error: Optional[BaseException] = None
        self._engine = threading.Thread(target=self._decode_forever, name="tovrel-decoder",
                                        daemon=True)
        self._engine.start()
        _running.add(self)

    @property
    def skipped(self) -> int:
        """The reads left out so far because their values cannot be decoded."""
        return self._policy.skipped

    def __enter__(self) -> "Decoder":
        return self

    def __exit__(self, exc_type: Any, exc: Any, traceback: Any) -> None:
        if exc_type is None:
            self.close()
        else:
            # An interrupt must not wait for the window in flight; the exit does.
            self._abandon(wait=issubclass(exc_type, (Exception, GeneratorExit)))

    def submit(self, read_id: str, scores: torch.Tensor, *, overlap: int = 0, last: bool = True,
               back_guides: Optional[torch.Tensor] = None,
               posts: Optional[torch.Tensor] = None) -> None:
        """Adds one chunk of read `read_id`: scores (blocks, 5 * 4**k), optionally with their stored
        backward guides and posteriors (then decoded with these, as tovrel_tensors.beam_search)."""
        self.submit_chunk(read_id, scores, overlap, last, back_guides, posts, None)

    def submit_batch(self, scores: Union[torch.Tensor, Sequence[torch.Tensor]],
                     read_ids: Sequence[str], *, lengths: Optional[Sequence[int]] = None,
                     last: Optional[Sequence[bool]] = None, overlap: int = 0) -> None:
        """Adds a batch of chunks: a 3-D tensor (chunks, blocks, 5 * 4**k), of which chunk i uses
        its first lengths[i] blocks if given, or a list of 2-D tensors. Chunk i belongs to read
        read_ids[i] and is its last chunk where last[i] is true (every chunk, if last is None)."""
        if isinstance(scores, torch.Tensor):
            if scores.dim() != 3:
                raise ValueError(f"a batch must be 3-D (chunks, blocks, 5 * 4**k), not "
                                 f"{scores.dim()}-D")
            chunks = list(scores.unbind(0))
        else:
            chunks = list(scores)
        read_ids = list(read_ids)
        if isinstance(lengths, torch.Tensor):
            lengths = lengths.tolist()
        finals = [True] * len(chunks) if last is None else [bool(flag) for flag in last]
        for what, values in (("read_ids", read_ids), ("last", finals),
                             ("lengths", chunks if lengths is None else lengths)):
            if len(values) != len(chunks):
                raise ValueError(f"{len(values)} {what} for {len(chunks)} chunks")
        if lengths is not None:
            for i, length in enumerate(lengths):
                if isinstance(length, bool) or not 0 <= int(length) <= chunks[i].shape[0]:
                    raise ValueError(f"lengths[{i}] is {length!r:.40}, outside 0 .. "
                                     f"{chunks[i].shape[0]} blocks")
            chunks = [chunk[:int(length)] for chunk, length in zip(chunks, lengths)]
        checked = []  # every chunk is checked before any is queued
        for read_id, chunk in zip(read_ids, chunks):
            checks.check_name(read_id, f"read {read_id!r:.80}")
            checked.append(checked_work(f"read {read_id}", chunk))
        for read_id, (work, width), final in zip(read_ids, checked, finals):
            self.enqueue(read_id, work, width, overlap, final, None)

    def submit_chunk(self, read_id: str, scores: Any, overlap: int, last: bool,
                     back_guides: Any, posts: Any, label: Optional[str]) -> None:
        """submit, with `label` naming the chunk's origin in messages."""
        checks.check_name(read_id, f"read {read_id!r:.80}")
        work, width = checked_work(label or f"read {read_id}", scores, back_guides, posts)
        self.enqueue(read_id, work, width, overlap, last, label)

    def enqueue(self, read_id: str, work: ChunkWork, width: int, overlap: int, last: bool,
                label: Optional[str]) -> None:
        """Queues a checked chunk, once the blocks waiting leave room for it."""
        with self._state:
            self._raise_failure()
            if self._closing:
                raise RuntimeError("the decoder is closed")
            while self._pending_blocks and \
                    self._pending_blocks + work.blocks > self._max_pending_blocks:
                self._state.wait()
                self._raise_failure()
            read, index = self._assembler.add(read_id, overlap, width, work.blocks, last, label)
            self._queue.append((read, index, work))
            self._pending_blocks += work.blocks
            self._state.notify_all()

    def ready(self) -> list[DecodedRead]:
        """The reads finished so far, in order, without waiting."""
        return list(self.ready_in_order())

    def ready_in_order(self) -> Iterator[DecodedRead]:
        """ready(), a read at a time: a read left out is given to on_invalid when its turn
        comes, between the reads before and after it."""
        while (result := self._next_finished(wait=False)) is not None:
            yield from self._policy.decoded([result])

    def reads(self) -> Iterator[DecodedRead]:
        """Every read in order, each as soon as it is finished, until the decoder is closed and
        every read has been handed out."""
        while (result := self._next_finished(wait=True)) is not None:
            yield from self._policy.decoded([result])

    def _next_finished(self, wait: bool) -> Union[DecodedRead, InvalidRead, None]:
        """The next finished read, or None: none yet (without `wait`), or none to come."""
        with self._state:
            while wait and not self._finished and self._error is None and \
                    not (self._closing and self._stopped):
                self._state.wait()
            self._raise_failure()
            return self._finished.popleft() if self._finished else None

    def close(self) -> None:
        """Decodes everything submitted. A read whose last chunk never came is an error."""
        with self._state:
            if not self._closing:
                self._closing = True
                unfinished = self._assembler.unfinished()
                if unfinished and self._error is None:
                    more = f" (and {len(unfinished) - 1} more)" if len(unfinished) > 1 else ""
                    self._error = InputError(f"read {unfinished[0]}{more}: its last chunk never "
                                             "came (submit it with last=True)")
                self._state.notify_all()
        # Joined, not just stopped: the thread's last references (tensors among them) must go
        # before the interpreter may end.
        self._engine.join()
        with self._state:
            self._raise_failure()

    def _abandon(self, wait: bool = True) -> None:
        """Stops decoding: the window in flight is finished, nothing more is started."""
        with self._state:
            self._closing = True
            if self._error is None:
                self._error = RuntimeError("the decoder was abandoned")
            self._state.notify_all()
        if wait:
            self._engine.join()

    def _raise_failure(self) -> None:
        if self._error is not None:
            raise self._error

    def _take_window(self) -> list[tuple[PendingRead, int, ChunkWork]]:
        threads = torch.get_num_threads()
        window: list = []
        values = 0
        while self._queue:
            if window and (len(window) >= WINDOW_CHUNKS_PER_THREAD * threads or
                           (values >= WINDOW_VALUES and len(window) >= threads)):
                break
            window.append(self._queue.popleft())
            values += window[-1][2].scores.numel()
        return window

    def _decode_forever(self) -> None:
        try:
            while True:
                with self._state:
                    while not self._queue and not self._closing and self._error is None:
                        self._state.wait()
                    if self._error is not None or not self._queue:
                        return
                    window = self._take_window()
                results = decode_window([work for _, _, work in window], self._options)
                with self._state:
                    for (read, index, _), result in zip(window, results):
                        if isinstance(result, InvalidChunk) and self._policy.raises:
                            self._error = self._policy.error(read.invalid(index, result))
                            return
                        self._assembler.fill(read, index, result)
                    self._pending_blocks -= sum(work.blocks for _, _, work in window)
                    self._finished.extend(self._assembler.finished())
                    self._state.notify_all()
        except BaseException as error:
            with self._state:
                if self._error is None:
                    self._error = error
        finally:
            with self._state:
                self._stopped = True
                self._state.notify_all()
            _running.discard(self)

