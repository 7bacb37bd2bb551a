"""The decoding engine: chunks in as a network emits them, whole reads out.

`decode_window` decodes chunks on torch's intra-op threads and checks their values as part of the
decoding. `Decoder` runs it off the caller's thread, within a bound on the memory it holds, and
makes reads of the results (see `assembly`). The command decodes locally with
`decoded_chunks`, the same thread without the assembly, or on a cluster through its workers, and
assembles the reads of both alike.
"""
from __future__ import annotations

import atexit
import collections
import dataclasses
import os
import threading
import weakref
from typing import Any, Deque, Generator, Iterable, Iterator, Optional, Sequence, Union

import numpy as np
import torch

import tovrel_tensors

from . import checks, names
from .assembly import (ChunkResults, InvalidPolicy, NewChunk, OnInvalid, PendingRead,
                       ReadAssembler)
from .limits import MAX_THREADS
from .results import (ChunkResult, DecodedChunk, DecodedRead, InvalidChunk, InvalidRead,
                      ReadInfo, check_overlap, is_int)

# About 100,000 blocks of float32 scores at k = 5.
DEFAULT_MAX_PENDING_BYTES = 2 * 1024**3
# A window holds four chunks per thread, or fewer once it holds this many values of 8-bit scores
# to widen (and every thread has a chunk): decode_window widens those all at once, other types
# are widened a chunk at a time on the thread that decodes it. Fewer chunks than that per thread
# leave threads waiting at the end of each window.
WINDOW_CHUNKS_PER_THREAD = 4
WINDOW_VALUES = 16 * 1024 * 1024
NAME_RULES = ("fastq", "sam")

Lengths = Union[Sequence[int], torch.Tensor, np.ndarray]
Flags = Union[bool, Sequence[bool], torch.Tensor, np.ndarray]
Overlaps = Union[int, Sequence[int], torch.Tensor, np.ndarray]


@dataclasses.dataclass(frozen=True, kw_only=True)
class DecodeOptions:
    """The parameters of the beam search, field for field as tovrel_tensors.decode and the native
    decoding layer take them (always by keyword), refused as every decoder refuses them."""

    beam_size: int = 5
    beam_cut: float = 100.0
    temperature: float = 1.0
    q_shift: float = 0.0
    q_scale: float = 1.0

    def __post_init__(self) -> None:
        if not is_int(self.beam_size):
            raise TypeError(f"beam_size must be an int, not {type(self.beam_size).__name__}")
        for name in ("beam_cut", "temperature", "q_shift", "q_scale"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float, np.floating,
                                                                 np.integer)):
                raise TypeError(f"{name} must be a number, not {type(value).__name__}")
            object.__setattr__(self, name, float(value))
        object.__setattr__(self, "beam_size", int(self.beam_size))
        if not 1 <= self.beam_size <= tovrel_tensors.MAX_BEAM_SIZE:
            # Beyond what the native check can even be handed.
            raise ValueError(f"beam_size must be between 1 and {tovrel_tensors.MAX_BEAM_SIZE}, "
                             f"not {self.beam_size}.")
        tovrel_tensors.check_options(**self.keywords())

    def keywords(self) -> dict:
        return dataclasses.asdict(self)


@dataclasses.dataclass
class ChunkWork:
    """A chunk's scores, with the guides and posteriors stored for it, if any."""

    scores: torch.Tensor
    back_guides: Optional[torch.Tensor] = None
    posts: Optional[torch.Tensor] = None
    # Memory the decoder made itself (a copy, or a transfer from another device): nobody else
    # can change it, so it is not copied again, and it may be reused once decoded.
    private: bool = False

    @property
    def blocks(self) -> int:
        return int(self.scores.shape[0])

    def tensors(self) -> list[torch.Tensor]:
        return [t for t in (self.scores, self.back_guides, self.posts) if t is not None]

    def copied(self, buffers: Sequence[Optional[torch.Tensor]] = (None, None, None)
               ) -> "ChunkWork":
        """The same values in memory of their own: no padding, nothing shared with the caller.
        `buffers` (one per tensor, or None) are spare memory of the right size to copy into."""
        if self.private:
            return self

        def copy(tensor: Optional[torch.Tensor],
                 buffer: Optional[torch.Tensor]) -> Optional[torch.Tensor]:
            if tensor is None:
                return None
            if buffer is None:
                return tensor.clone(memory_format=torch.contiguous_format)
            return buffer.view(tensor.shape).copy_(tensor)

        # Normal tensors even under the caller's inference mode: their memory is reused later,
        # perhaps outside it, where an inference tensor cannot be written.
        with torch.inference_mode(False):
            scores, back_guides, posts = (copy(tensor, buffer) for tensor, buffer in
                                          zip((self.scores, self.back_guides, self.posts),
                                              buffers))
        assert scores is not None
        return ChunkWork(scores, back_guides, posts, private=True)

    def nbytes(self) -> int:
        return sum(t.numel() * t.element_size() for t in self.tensors())


def checked_work(label: str, scores: Any, back_guides: Any = None, posts: Any = None,
                 private: bool = False) -> tuple[ChunkWork, int]:
    """A chunk the decoder can take, on the CPU, and its row width; InputError (a ValueError)
    naming `label` otherwise. `private`: the caller made the tensors' memory for the decoder."""
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
    transferred = all(t is None or t.device.type != "cpu"
                      for t in (scores, back_guides, posts))
    scores, back_guides, posts = tensors
    assert scores is not None
    checks.check_chunk(label, scores, back_guides, posts)
    return ChunkWork(scores, back_guides, posts, private=transferred or private), \
        int(scores.shape[1])


def decode_window(chunks: Sequence[ChunkWork], options: DecodeOptions) -> list[ChunkResult]:
    """Decodes chunks on torch's intra-op threads with the interpreter lock released. A chunk
    whose values can only decode to garbage (NaN, infinities, masks that leave no finite
    path, stored posteriors that do not sum to 1) gives an InvalidChunk instead."""
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


def widened_values(chunk: ChunkWork) -> int:
    """The values decode_window widens to float32 at once for this chunk: 8-bit scores without
    stored guides (the native decoders widen other types a chunk at a time)."""
    unguided = chunk.back_guides is None or chunk.posts is None
    return chunk.scores.numel() if unguided and chunk.scores.dtype == torch.int8 else 0


def as_result(result: Any) -> ChunkResult:
    if isinstance(result, tovrel_tensors.InvalidValues):
        return InvalidChunk(result.what, result.row, result.problem)
    sequence, quality, moves = result
    return DecodedChunk(sequence, quality, moves.numpy())


def check_threads(threads: Any) -> int:
    if not is_int(threads) or not 1 <= threads <= MAX_THREADS:
        raise ValueError(f"threads must be an int from 1 to {MAX_THREADS}, not {threads!r:.40}")
    return int(threads)


class HeldMemory:
    """The bytes of tensor memory the queued chunks keep alive: each block of memory once, however
    many chunks view it (the padded batch behind views, a file read whole)."""

    def __init__(self) -> None:
        self.users: collections.Counter = collections.Counter()
        self.total = 0

    @staticmethod
    def blocks(work: ChunkWork) -> list[tuple[int, int]]:
        found = []
        for tensor in work.tensors():
            storage = tensor.untyped_storage()
            found.append((storage.data_ptr(), storage.nbytes()))
        return found

    def extra(self, works: Iterable[ChunkWork]) -> int:
        """The bytes that holding `works` too would add."""
        new = {key: size for work in works for key, size in self.blocks(work)
               if key not in self.users}
        return sum(new.values())

    def add(self, work: ChunkWork) -> None:
        for key, size in self.blocks(work):
            if self.users[key] == 0:
                self.total += size
            self.users[key] += 1

    def remove(self, work: ChunkWork) -> None:
        for key, size in self.blocks(work):
            self.users[key] -= 1
            if self.users[key] == 0:
                del self.users[key]
                self.total -= size


class SpareMemory:
    """The memory of decoded copies, kept to copy later chunks of the same size into: fresh memory
    costs a page fault per page, which made copying a chunk cost half as much as decoding it.
    Kept only within max_pending_bytes, and given up first when a submission needs the room."""

    def __init__(self) -> None:
        self.free: dict[tuple[torch.dtype, int], list[torch.Tensor]] = {}
        self.total = 0

    @staticmethod
    def reusable(tensor: torch.Tensor) -> bool:
        size = tensor.numel() * tensor.element_size()
        return bool(tensor.is_contiguous() and tensor.storage_offset() == 0 and
                    tensor.untyped_storage().nbytes() == size)

    def give(self, work: ChunkWork, room: int) -> None:
        """Keeps the memory of a decoded private chunk, as far as `room` bytes allow."""
        for tensor in work.tensors():
            size = tensor.numel() * tensor.element_size()
            if size == 0 or size > room or not self.reusable(tensor) or tensor.is_inference():
                continue
            self.free.setdefault((tensor.dtype, tensor.numel()), []).append(tensor.view(-1))
            self.total += size
            room -= size

    def take(self, work: ChunkWork) -> tuple[Optional[torch.Tensor], ...]:
        """Spare memory for a copy of each of the chunk's tensors, or None where there is none."""
        if work.private:
            return (None, None, None)
        found: list[Optional[torch.Tensor]] = []
        for tensor in (work.scores, work.back_guides, work.posts):
            kept = None if tensor is None else self.free.get((tensor.dtype, tensor.numel()))
            if kept:
                spare = kept.pop()
                self.total -= spare.numel() * spare.element_size()
                found.append(spare)
            else:
                found.append(None)
        return tuple(found)

    def trim(self, room: int) -> None:
        """Gives memory back until what is kept fits in `room` bytes."""
        for key in list(self.free):
            kept = self.free[key]
            while kept and self.total > max(room, 0):
                self.total -= kept[-1].numel() * kept[-1].element_size()
                kept.pop()
            if not kept:
                del self.free[key]


# The engines whose thread may still be decoding. At exit each is stopped and waited for: a
# thread inside the native code when the interpreter finalises would end the process abnormally.
_running: set["_Engine"] = set()
_running_lock = threading.Lock()


@atexit.register
def _stop_running_engines() -> None:
    with _running_lock:
        engines = list(_running)
    for engine in engines:
        engine.abandon()
        engine.wait_stopped(at_exit=True)


class _Engine:
    """What a Decoder shares with its decoding thread. The thread holds this, never the Decoder,
    so that a Decoder dropped without close() is collected, and stops the thread."""

    def __init__(self, options: DecodeOptions, max_pending_bytes: int,
                 assembler: Union[ReadAssembler, ChunkResults]) -> None:
        self.options = options
        self.max_pending_bytes = max_pending_bytes
        self.pid = os.getpid()
        self.state = threading.Condition()
        self.queue: Deque[tuple[Any, Any, ChunkWork]] = collections.deque()  # read, place, work
        self.held = HeldMemory()
        self.spares = SpareMemory()
        self.reserved = 0  # bytes of copies being made for admitted batches
        self.assembler = assembler
        self.finished: Deque[Any] = collections.deque()  # what the assembler finished
        self.closing = False  # no more chunks: decode what is queued, then stop
        self.abandoned = False  # stop after the window in flight
        self.stopped = False
        self.error: Optional[BaseException] = None
        self.thread = threading.Thread(target=self.run, name="tovrel-decoder", daemon=True)
        with _running_lock:
            _running.add(self)
        self.thread.start()

    def abandon(self) -> None:
        """Stops decoding: the window in flight is finished, nothing more is started."""
        if self.pid != os.getpid():  # a copy in a forked child: its thread does not exist
            return
        with self.state:
            self.abandoned = True
            self.state.notify_all()

    def wait_stopped(self, at_exit: bool = False) -> None:
        """Waits for the thread to leave the native code and stop. Not Thread.join: in Python 3.10
        an interrupted join marks a thread stopped that is still running."""
        if self.pid != os.getpid():
            return
        while True:
            try:
                with self.state:
                    while not self.stopped:
                        self.state.wait()
                return
            except KeyboardInterrupt:
                if not at_exit:
                    raise
                # At exit the window in flight must end before the interpreter does.

    def room(self) -> int:
        """The bytes under max_pending_bytes that nothing holds."""
        return self.max_pending_bytes - self.held.total - self.reserved - self.spares.total

    def raise_failure(self) -> None:
        if self.error is not None:
            raise self.error

    def take_window(self) -> list[tuple[PendingRead, int, ChunkWork]]:
        threads = torch.get_num_threads()
        window: list = []
        values = 0
        while self.queue:
            if window and (len(window) >= WINDOW_CHUNKS_PER_THREAD * threads or
                           (values >= WINDOW_VALUES and len(window) >= threads)):
                break
            window.append(self.queue.popleft())
            values += widened_values(window[-1][2])
        return window

    def run(self) -> None:
        try:
            while self.decode_next_window():
                pass
        except BaseException as error:
            with self.state:
                if self.error is None:
                    self.error = error
        finally:
            # Every tensor this thread held is gone by now: freeing one may release the
            # interpreter lock, and a thread that takes it back once the interpreter is
            # finalising ends in the middle of the native code.
            with self.state:
                self.stopped = True
                self.state.notify_all()
            with _running_lock:
                _running.discard(self)

    def decode_next_window(self) -> bool:
        """Decodes the next window of chunks; False once there is nothing more to do."""
        with self.state:
            while not self.queue and not self.closing and not self.abandoned:
                self.state.wait()
            if self.abandoned or not self.queue:
                return False
            window = self.take_window()
        # A read closed before its last chunk came is not decoded.
        wanted = [i for i, (read, _, _) in enumerate(window) if not read.never_finished]
        decoded = decode_window([window[i][2] for i in wanted], self.options)
        results: list[Optional[ChunkResult]] = [None] * len(window)
        for i, chunk_result in zip(wanted, decoded):
            results[i] = chunk_result
        with self.state:
            for (read, index, work), result in zip(window, results):
                self.assembler.fill(read, index, result)
                self.held.remove(work)
                if work.private:
                    self.spares.give(work, self.room())
            self.finished.extend(self.assembler.finished())
            self.state.notify_all()
        return True


class Decoder:
    """Decodes chunks into whole reads off the caller's thread.

    Submit the chunks of each read in order (`submit`, or `submit_batch` for a batch as a network
    emits it); the chunks of different reads may interleave and a read may span many batches.
    `last=True` marks a read's final chunk; each chunk overlaps the read's previous chunk by
    `overlap` blocks and the chunks are joined by `join_chunks`. A read id names a new read again
    once its read's last chunk was submitted. Finished reads come out in the order of their first
    chunk (with `ordered=False`: as they finish): `ready()` returns those finished so far, `reads()`
    waits for each in turn and ends once the decoder is closed and every read has been handed out.
    `close()` (or leaving the `with`) decodes everything submitted; a read whose last chunk never
    came is then a read that cannot be decoded, handed to `on_invalid` in its turn.

    A refused submission changes nothing: every chunk of a batch is checked (names, shapes,
    widths, overlaps with the read's earlier chunks, lengths) before any is taken, so that the
    corrected batch can be submitted again.

    The decoder owns what it decodes: it copies the blocks it keeps of each chunk (never the
    padding), so the caller may reuse or change its tensors as soon as submit returns. With
    copy=False it keeps views instead: a tensor must then not change until its read comes out.
    `submit` waits while the tensor memory the decoder holds (copies, or with copy=False the
    whole memory that its views keep alive) exceeds `max_pending_bytes`, so memory stays bounded.

    Decoding runs on a thread of its own, on torch's intra-op threads (`threads` sets
    torch.set_num_threads, for the whole process) with the interpreter lock released. Scores are
    float32, float16, bfloat16 (exact), float64 (rounded) or int8; a tensor on another device is
    brought to the CPU, a batch in one transfer.

    A read whose values can only decode to garbage (NaN, infinities, masks that leave no finite
    path) or whose last chunk never came: with on_invalid="raise" (the default), InputError
    is raised in its turn, after every read before it has been handed out; the reads after it come
    out on later calls. "skip" leaves such reads out and counts them in `skipped`; a callable is
    given each InvalidRead in its turn, and the read is left out (what it raises comes out as
    under "raise": after every read before it, the reads after it on later calls).
    `names="sam"` refuses at submit the read ids that SAM and BAM cannot store.

    Parameters
    ----------
    beam_size : int
        Paths kept from block to block, 1 to ``tovrel_tensors.MAX_BEAM_SIZE``.
    beam_cut : float
        Candidates more than ``log(beam_cut) * temperature`` below the best guided score are
        dropped (0 or less: no cut).
    temperature : float
        Softening of the log-add of merged paths, and scale of the cut; finite, at least 0.
    q_shift, q_scale : float
        Each base's Phred value becomes ``phred * q_scale + q_shift``, clamped to 1 .. 90.
    threads : int, optional
        torch's intra-op threads (``torch.set_num_threads``, for the whole process), 1 to 1024;
        None leaves them as they are.
    on_invalid : "raise", "skip" or callable
        What becomes of a read that cannot be decoded (above).
    max_pending_bytes : int
        The tensor memory the decoder may hold before `submit` waits (2 GiB by default).
    names : "fastq" or "sam"
        The rule for read ids: "sam" also refuses those that SAM and BAM cannot store.
    ordered : bool
        Hand out reads in the order of their first chunk (True) or as they finish (False).

    Raises
    ------
    ValueError
        For a parameter out of its range (as ``tovrel_tensors.check_options`` says for the
        search parameters).
    TypeError
        For a parameter of the wrong type.

    Examples
    --------
    >>> import torch
    >>> from tovrel_decode import Decoder
    >>> scores = torch.randn(2, 500, 5 * 4**3, generator=torch.Generator().manual_seed(3))
    >>> with Decoder(beam_size=8) as decoder:
    ...     decoder.submit_batch(scores, ["read-1", "read-1"], last=[False, True], overlap=100)
    ...     decoder.close()
    ...     reads = list(decoder.reads())
    >>> [read.name for read in reads], len(reads[0].moves)
    (['read-1'], 900)
    """

    def __init__(self, *, beam_size: int = 5, beam_cut: float = 100.0, temperature: float = 1.0,
                 q_shift: float = 0.0, q_scale: float = 1.0, threads: Optional[int] = None,
                 on_invalid: OnInvalid = "raise",
                 max_pending_bytes: int = DEFAULT_MAX_PENDING_BYTES, names: str = "fastq",
                 ordered: bool = True) -> None:
        options = DecodeOptions(beam_size=beam_size, beam_cut=beam_cut, temperature=temperature,
                                q_shift=q_shift, q_scale=q_scale)
        self._policy = InvalidPolicy(on_invalid)
        if not is_int(max_pending_bytes) or max_pending_bytes < 1:
            raise ValueError(f"max_pending_bytes must be an int of at least 1, not "
                             f"{max_pending_bytes!r:.40}")
        if names not in NAME_RULES:
            raise ValueError(f"names must be one of {', '.join(map(repr, NAME_RULES))}, not "
                             f"{names!r:.40}")
        if threads is not None:
            torch.set_num_threads(check_threads(threads))
        self._sam_names = names == "sam"
        self._deferred: Optional[Exception] = None  # raised by on_invalid, for the next call
        self._engine = _Engine(options, int(max_pending_bytes), self._assembler(bool(ordered)))
        self._pid = self._engine.pid
        weakref.finalize(self, self._engine.abandon)

    def _assembler(self, ordered: bool) -> Union[ReadAssembler, ChunkResults]:
        return ReadAssembler(ordered)

    @property
    def skipped(self) -> int:
        """The reads left out so far because they cannot be decoded."""
        return self._policy.skipped

    def __enter__(self) -> "Decoder":
        return self

    def __exit__(self, exc_type: Any, exc: Any, traceback: Any) -> None:
        if exc_type is None:
            self.close()
        else:
            self._engine.abandon()
            # An interrupt does not wait for the window in flight; the exit does.
            if issubclass(exc_type, (Exception, GeneratorExit)):
                self._engine.wait_stopped()

    def submit(self, read_id: str, scores: torch.Tensor, *, overlap: int = 0, last: bool = True,
               back_guides: Optional[torch.Tensor] = None,
               posts: Optional[torch.Tensor] = None, copy: bool = True,
               info: Optional[ReadInfo] = None) -> None:
        """Adds one chunk of read `read_id`.

        Waits while the memory the decoder holds leaves no room for the chunk
        (`max_pending_bytes`). A refused chunk changes nothing.

        Parameters
        ----------
        read_id : str
            The read's name; a new read once the previous read of that name had its last chunk.
        scores : torch.Tensor
            The chunk's scores ``(blocks, 5 * 4**k)``, of any element type the decoders read, on
            any device (brought to the CPU).
        overlap : int
            Blocks it shares with the read's previous chunk, at least 0.
        last : bool
            Whether this is the read's last chunk.
        back_guides, posts : torch.Tensor, optional
            Stored backward guides and posteriors of the scores, both or neither: the chunk is
            then decoded with these, as ``tovrel_tensors.beam_search``.
        copy : bool
            Copy the blocks the decoder keeps, so that the caller may change or reuse its tensor
            as soon as submit returns (True); keep views instead (False): the tensor must then
            not change until its read comes out.
        info : ReadInfo, optional
            The read's tags and signal layout, with its first chunk.

        Raises
        ------
        InputError
            For a chunk the decoder cannot take: scores that are not 2-D or of an element type
            other than float32, float16, bfloat16, float64 and int8, a row width that is not
            ``5 * 4**k``, more than ``tovrel_tensors.MAX_STATES`` states, a sparse or meta
            tensor, an overlap longer than the read's previous chunk or than this one, a read id
            that is not a str or that the `names` rule refuses.
        ValueError
            For an overlap that is not an int of at least 0.
        TypeError
            For scores that are not a tensor, a `last` that is not a bool, an `info` that is not
            a ReadInfo.
        RuntimeError
            When the decoder is closed, or was made in another process.
        """
        self._submit_chunks([self._new_chunk(read_id, scores, overlap, last, back_guides, posts,
                                             info, None)], copy)

    def submit_batch(self, scores: Union[torch.Tensor, Sequence[torch.Tensor]],
                     read_ids: Sequence[str], *, lengths: Optional[Lengths] = None,
                     last: Optional[Flags] = None, overlap: Overlaps = 0, copy: bool = True,
                     info: Optional[Sequence[Optional[ReadInfo]]] = None) -> None:
        """Adds a batch of chunks, all or none, as a network emits them.

        Every chunk is checked before any is taken; a batch on another device is brought to the
        CPU in one transfer. Waits as `submit` does.

        Parameters
        ----------
        scores : torch.Tensor or sequence of torch.Tensor
            A 3-D tensor ``(chunks, blocks, 5 * 4**k)``, or a sequence of 2-D tensors.
        read_ids : sequence of str
            The read of each chunk.
        lengths : torch.Tensor or sequence of int, optional
            The blocks used of each chunk of a 3-D batch: chunk i uses its first ``lengths[i]``.
        last : bool or sequence of bool, optional
            Whether each chunk is its read's last (one bool, or one per chunk); None: every chunk.
        overlap : int or sequence of int
            Blocks each chunk shares with its read's previous chunk (one int, or one per chunk).
        copy : bool
            As for `submit`. A batch brought from another device is the decoder's own and is
            never copied again.
        info : sequence of ReadInfo or None, optional
            One ReadInfo or None per chunk, for first chunks.

        Raises
        ------
        InputError
            For a chunk the decoder cannot take, as `submit` says; nothing is taken.
        ValueError
            For a batch that is not 3-D, or counts of `read_ids`, `lengths`, `last`, `overlap` or
            `info` that do not match the chunks, a length outside 0 .. blocks.
        TypeError
            For scores that are neither a tensor nor a sequence of tensors.
        RuntimeError
            When the decoder is closed, or was made in another process.
        """
        self._check_process()
        transferred = False
        if isinstance(scores, torch.Tensor):
            if scores.dim() != 3:
                raise ValueError(f"a batch must be 3-D (chunks, blocks, 5 * 4**k), not "
                                 f"{scores.dim()}-D")
            checks.check_dense("batch", scores)
            if scores.device.type != "cpu":
                scores = scores.to("cpu")  # one transfer for the whole batch
                transferred = True
            chunks = list(scores.unbind(0))
        elif isinstance(scores, (str, bytes)) or not isinstance(scores, Sequence):
            raise TypeError(f"scores must be a 3-D tensor or a sequence of 2-D tensors, not "
                            f"{type(scores).__name__}")
        else:
            chunks = list(scores)
            for i, chunk in enumerate(chunks):
                if not isinstance(chunk, torch.Tensor):
                    raise TypeError(f"scores[{i}] must be a torch.Tensor, not "
                                    f"{type(chunk).__name__}")
        count = len(chunks)
        names = list(read_ids)
        if len(names) != count:
            raise ValueError(f"{len(names)} read_ids for {count} chunks")
        finals = per_chunk_flags(last, count)
        overlaps = per_chunk_overlaps(overlap, count)
        infos = [None] * count if info is None else list(info)
        if len(infos) != count:
            raise ValueError(f"{len(infos)} info entries for {count} chunks")
        if lengths is not None:
            kept = per_chunk_lengths(lengths, count)
            for i, length in enumerate(kept):
                blocks = chunks[i].shape[0] if chunks[i].dim() > 0 else 0
                if not 0 <= length <= blocks:
                    raise ValueError(f"lengths[{i}] is {length}, outside 0 .. {blocks} blocks")
            chunks = [chunk[:length] for chunk, length in zip(chunks, kept)]
        self._submit_chunks([self._new_chunk(name, chunk, chunk_overlap, final, None, None,
                                             chunk_info, None, private=transferred)
                             for name, chunk, chunk_overlap, final, chunk_info
                             in zip(names, chunks, overlaps, finals, infos)], copy)

    def _new_chunk(self, read_id: Any, scores: Any, overlap: Any, last: Any, back_guides: Any,
                   posts: Any, info: Optional[ReadInfo], label: Optional[str],
                   private: bool = False) -> NewChunk:
        names.check_name(read_id, f"read {read_id!r:.80}", sam=self._sam_names)
        read_id = str.__str__(read_id)  # a plain str, as every writer takes it (not numpy.str_)
        if not isinstance(last, (bool, np.bool_)):
            raise TypeError(f"read {read_id}: last must be a bool, not {type(last).__name__}")
        if info is not None and not isinstance(info, ReadInfo):
            raise TypeError(f"read {read_id}: info must be a ReadInfo, not "
                            f"{type(info).__name__}")
        overlap = check_overlap(overlap, f"read {read_id}: overlap")
        work, width = checked_work(label or f"read {read_id}", scores, back_guides, posts,
                                   private)
        return NewChunk(read_id, work, width, work.blocks, overlap, bool(last), label, info)

    def _submit_chunks(self, chunks: list[NewChunk], copy: bool) -> None:
        """Queues checked chunks, all or none, once the memory held leaves room for them."""
        self._check_process()
        engine = self._engine
        with engine.state:
            self._check_open()
            engine.assembler.check(chunks)
            works = [chunk.work for chunk in chunks if chunk.work is not None]
            copied = [work for work in works if copy and not work.private]
            need = sum(work.nbytes() for work in copied)
            held = engine.held.extra([work for work in works if not copy or work.private])
            while engine.held.total + engine.reserved and engine.held.total + engine.reserved + \
                    need + held > engine.max_pending_bytes:
                engine.state.wait()
                self._check_open()
            buffers = {id(work): engine.spares.take(work) for work in copied}
            engine.spares.trim(engine.room() + engine.spares.total - need - held)
            engine.reserved += need
        try:
            if copy:
                chunks = [dataclasses.replace(chunk, work=chunk.work and chunk.work.copied(
                    buffers.get(id(chunk.work), (None,) * 3))) for chunk in chunks]
        finally:
            with engine.state:
                engine.reserved -= need
        with engine.state:
            self._check_open()
            engine.assembler.check(chunks)  # another thread may have submitted meanwhile
            for chunk in chunks:
                assert chunk.work is not None
                read, index = engine.assembler.add(chunk)
                engine.held.add(chunk.work)
                engine.queue.append((read, index, chunk.work))
            engine.state.notify_all()

    def _check_process(self) -> None:
        if os.getpid() != self._pid:
            raise RuntimeError("this Decoder was made in another process (before a fork); its "
                               "decoding thread is not in this one: make a new Decoder here")

    def _check_open(self) -> None:
        self._engine.raise_failure()
        if self._engine.closing or self._engine.abandoned:
            raise RuntimeError("the decoder is closed")

    def ready(self) -> list[DecodedRead]:
        """The reads finished so far, in order, without waiting.

        With on_invalid="raise", a read that cannot be decoded ends the list before it, and the
        next call raises for it.

        Returns
        -------
        list[DecodedRead]
            The reads finished since the last call; empty if none.

        Raises
        ------
        InputError
            With on_invalid="raise", for a read that cannot be decoded, in its turn; whatever an
            on_invalid callable raised, in its turn.
        RuntimeError
            When decoding failed or the decoder was abandoned, or in another process.
        """
        self._raise_deferred()
        reads: list[DecodedRead] = []
        while (result := self._next_finished(wait=False)) is not None:
            if isinstance(result, InvalidRead) and reads:
                if self._policy.raises:
                    self._put_back(result)
                    break
                try:
                    self._policy.leave_out(result)
                except Exception as error:
                    # What an on_invalid callable raises comes after the reads before it, as
                    # under "raise": on the next call.
                    self._deferred = error
                    break
                except BaseException:
                    with self._engine.state:
                        self._engine.finished.extendleft(reversed(reads))
                    raise
                continue
            reads += self._policy.decoded([result])
        return reads

    def reads(self) -> Iterator[DecodedRead]:
        """Every read in order, each as soon as it is finished, until the decoder is closed and
        every read has been handed out.

        Yields
        ------
        DecodedRead
            The next read, waiting for it.

        Raises
        ------
        InputError, RuntimeError
            As `ready` does.
        """
        self._raise_deferred()
        while (result := self._next_finished(wait=True)) is not None:
            yield from self._policy.decoded([result])

    def _raise_deferred(self) -> None:
        error, self._deferred = self._deferred, None
        if error is not None:
            raise error

    def _next_finished(self, wait: bool) -> Any:
        """The next finished read (or chunk result, for a _ChunkDecoder), or None: none yet
        (without `wait`), or none to come."""
        self._check_process()
        engine = self._engine
        with engine.state:
            while True:
                if engine.finished:
                    return engine.finished.popleft()
                engine.raise_failure()
                if engine.abandoned and not engine.closing:
                    raise RuntimeError("the decoder was abandoned")
                if not wait or engine.abandoned or (engine.closing and engine.stopped):
                    return None
                engine.state.wait()

    def _put_back(self, read: Union[DecodedRead, InvalidRead]) -> None:
        with self._engine.state:
            self._engine.finished.appendleft(read)

    def close(self) -> None:
        """Decodes everything submitted; a read whose last chunk never came is then a read that
        cannot be decoded, in its turn. Returns once the decoding has ended; the reads are then
        handed out by reads() and ready(). May be called more than once.

        Raises
        ------
        RuntimeError
            When decoding failed, or in another process.
        """
        self._check_process()
        engine = self._engine
        with engine.state:
            if not engine.closing:
                engine.closing = True
                engine.assembler.close()
                engine.finished.extend(engine.assembler.finished())
                engine.state.notify_all()
        engine.wait_stopped()
        with engine.state:
            engine.raise_failure()


class _ChunkDecoder(Decoder):
    """A Decoder whose results are the chunks' own, for callers that assemble the reads
    themselves: (tag, ChunkResult) in the order their windows are decoded."""

    def __init__(self, options: DecodeOptions, max_pending_bytes: int) -> None:
        super().__init__(**options.keywords(), max_pending_bytes=max_pending_bytes)

    def _assembler(self, ordered: bool) -> ChunkResults:
        return ChunkResults()


def decoded_chunks(options: DecodeOptions, max_pending_bytes: int,
                   chunks: Iterable[tuple[Any, ChunkWork]]
                   ) -> Generator[tuple[Any, ChunkResult], None, None]:
    """The results of checked `chunks` (tag, work), as (tag, ChunkResult), decoded a window at a
    time on a thread of the Decoder's kind while the next chunks are taken, within
    `max_pending_bytes` of the chunks' own memory (they are not copied)."""
    with _ChunkDecoder(options, max_pending_bytes) as decoder:
        for tag, work in chunks:
            decoder._submit_chunks([NewChunk("", work, int(work.scores.shape[1]), work.blocks, 0,
                                             True, None, tag=tag)], copy=False)
            while (done := decoder._next_finished(wait=False)) is not None:
                yield done
        decoder.close()
        while (done := decoder._next_finished(wait=True)) is not None:
            yield done


def per_chunk_flags(flags: Optional[Flags], count: int) -> list[bool]:
    if flags is None:
        return [True] * count
    if isinstance(flags, (bool, np.bool_)):
        return [bool(flags)] * count
    values = as_list(flags, "last")
    for value in values:
        if not isinstance(value, (bool, np.bool_)):
            raise TypeError(f"last must hold bools, not {type(value).__name__}")
    if len(values) != count:
        raise ValueError(f"{len(values)} last flags for {count} chunks")
    return [bool(value) for value in values]


def per_chunk_overlaps(overlap: Overlaps, count: int) -> list[Any]:
    if is_int(overlap):
        return [overlap] * count
    values = as_list(overlap, "overlap")
    if len(values) != count:
        raise ValueError(f"{len(values)} overlaps for {count} chunks")
    return values


def per_chunk_lengths(lengths: Lengths, count: int) -> list[int]:
    values = as_list(lengths, "lengths")
    for value in values:
        if not is_int(value):
            raise TypeError(f"lengths must hold ints, not {type(value).__name__}")
    if len(values) != count:
        raise ValueError(f"{len(values)} lengths for {count} chunks")
    return [int(value) for value in values]


def as_list(values: Any, what: str) -> list:
    """The items of a sequence, a 1-D tensor or a 1-D array, as Python values."""
    if isinstance(values, (torch.Tensor, np.ndarray)):
        if values.ndim != 1:
            raise ValueError(f"{what} must be 1-D, not {values.ndim}-D")
        return values.tolist()
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        raise TypeError(f"{what} must be a sequence, a 1-D tensor or a 1-D array, not "
                        f"{type(values).__name__}")
    return list(values)
