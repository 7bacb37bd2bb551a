"""What the workers of a cluster run, and how the work is cut into tasks.

A task names the work, not the data: pieces of input files (an absolute path, the identity the
file has as the client sees it, a range of its chunks). Small files share a task and a large one
is cut across several. The worker opens the files itself (checking that each is the file the
client sees), decodes a window of chunks at a time with the engine of a local run, gives the
pages of the mapped file back after each window, and lets go of the files when the task ends: an
idle worker holds no input (but for the copies of compressed inputs that the run's tasks share,
and the small files it opened to plan the run, kept for its tasks of the run: spools.py; both
given back when the run ends).
"""
from __future__ import annotations

import dataclasses
import functools
import hashlib
import os
import socket
import stat
from typing import Any, Callable, Optional

import torch

from . import inputs
from .engine import WINDOW_VALUES, ChunkWork, DecodeOptions, decode_window
from .errors import InputError, UnreadableFile, changed_during_run, shown
from .remote import STARTED_TOPIC, Task
from .results import ChunkResult
from .sniff import RunStart, has_score_suffix, identity_of

MAX_TASK_BLOCKS = 300_000
SAMPLES, SAMPLE_BYTES = 32, 4096  # what a file's fingerprint reads of it


class UnreadableInput(Exception):
    """A worker cannot read an input that the run planned, in its own view of the shared file
    system: missing, not permitted, or another file at that path (`differs`)."""

    def __init__(self, worker: str, path: str, reason: str, differs: bool = False) -> None:
        super().__init__(worker, path, reason, differs)
        self.worker, self.path, self.reason, self.differs = worker, path, reason, differs

    def __str__(self) -> str:
        return f"worker {self.worker} cannot read {shown(self.path)}: {self.reason}"


def this_worker() -> str:
    try:
        from distributed import get_worker

        return str(get_worker().address)
    except (ImportError, ValueError):
        return socket.gethostname()


def fingerprint(path: str) -> str:
    """A digest of a file's content, cheap next to decoding it: all of a small file, evenly spaced
    blocks of a large one, so that another file of the same size and time does not pass."""
    summary = hashlib.sha256()
    with open(path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        if size <= SAMPLES * SAMPLE_BYTES:
            summary.update(file.read())
        else:
            for index in range(SAMPLES):
                summary.update(os.pread(file.fileno(), SAMPLE_BYTES,
                                        (size - SAMPLE_BYTES) * index // (SAMPLES - 1)))
    return summary.hexdigest()[:32]


def view_of(path: str, status: Optional[tuple]) -> Optional[tuple]:
    """A file as this machine sees it: (host, its stat identity, its fingerprint), None for what
    is not a regular file."""
    return None if status is None else (socket.gethostname(), status, fingerprint(path))


def same_file(seen: Optional[tuple], planned: tuple) -> bool:
    """Whether two views of a path are of one file. Device numbers differ between the machines
    that mount one file system, so they count on the same machine only."""
    if seen is None:
        return False
    (host, status, content), (planned_host, planned_status, planned_content) = seen, planned
    if host != planned_host:
        status, planned_status = status[1:], planned_status[1:]
    return status == planned_status and content == planned_content


ANOTHER_FILE = "another file than the client's (its size, time, inode or content differ)"


def client_view(path: str) -> Optional[tuple]:
    """The file at `path` as this client sees it, or None where it cannot."""
    try:
        status = os.stat(path)
        return view_of(path, identity_of(status)) if stat.S_ISREG(status.st_mode) \
            else None
    except OSError:
        return None


def status_here(path: str) -> Optional[tuple]:
    """The stat identity of the file at `path` as this machine sees it, None where it cannot."""
    try:
        return identity_of(os.stat(path))
    except OSError:
        return None


def planned_identity(planner: str, path: str, planned: Optional[tuple],
                     before: Optional[tuple], start: Optional[RunStart] = None
                     ) -> Optional[tuple]:
    """The identity of a file that `planner` planned: the client's view where it has one
    (`before`: as it was before the plan; else as it is now, for a file of a folder), and the
    planner must have seen that file; the planner's view where the client has none. A folder's
    file seen first now that changed since the run began (`start`), or is gone from its changed
    folder, has changed during the run: the planner may have opened the file it replaced."""
    seen = before if before is not None else client_view(path)
    if seen is None and before is None and start is not None and start.removed(path):
        raise changed_during_run(path)
    if seen is None or planned is None:
        return planned
    if not same_file(planned, seen):
        changed = not same_file(client_view(path), before) if before is not None else \
            start is not None and start.changed(path)
        if changed:
            raise changed_during_run(path)
        raise UnreadableInput(planner, path, ANOTHER_FILE, differs=True)
    return seen


def changed_here(path: str, planned: list[inputs.Source]) -> bool:
    """True when this client sees another file at `path` than the one planned (a client that
    cannot see it at all cannot tell)."""
    identity = next((source.identity for source in planned if source.path == path), None)
    if identity is None or not os.path.exists(path):
        return False
    return not same_file(client_view(path), identity)


def another_folder(folder: str, listed: list[str], start: RunStart) -> Optional[str]:
    """Why a worker's listing of an input folder (`listed`, the run's input files) is of another
    folder than this client sees, or None where it is the same as far as the client can tell
    (a client that cannot list the folder cannot tell). Files made since the run began, or that
    the client cannot read either, do not count; a file gone from a folder that has
    changed since the run began is a change during the run."""
    if start.replaced(folder):
        raise changed_during_run(folder)
    try:
        names = os.listdir(folder)
    except OSError:
        return None
    theirs = {path for path in listed if os.path.dirname(path) == folder}
    missing = sorted(path for path in (os.path.join(folder, name) for name in names
                                       if has_score_suffix(name))
                     if path not in theirs and inputs.unreadable(path) is None and
                     not start.changed(path))
    extra = sorted(path for path in theirs if not os.path.lexists(path))
    for path in extra:
        if start.removed(path):
            raise changed_during_run(path)
    if missing:
        return (f"another folder than the client's ({len(missing)} of its files missing there, "
                f"such as {os.path.basename(missing[0])})")
    if extra:
        files = "1 file" if len(extra) == 1 else f"{len(extra)} files"
        return (f"another folder than the client's ({files} there that the client does not "
                f"have, such as {os.path.basename(extra[0])})")
    return None


def planned_sources(planner: str, layouts: list, before: dict,
                    start: Optional[RunStart] = None) -> list[inputs.Source]:
    """The inputs of the plan that `planner` made (plan_task's layouts), each with its identity:
    the client's view of it before the plan (`before`) where it had one; `start` is what the
    client saw as the run began."""
    return [inputs.Source(path, [inputs.Chunk(name, label, tuple(shape), dtype, None,
                                              stored=stored)
                                 for name, label, shape, dtype, stored in chunks],
                          overlap,
                          planned_identity(planner, path, identity, before.get(path), start),
                          stem)
            for path, overlap, identity, stem, chunks in layouts]


def opened(path: str, identity: Optional[tuple], copies: Any = None) -> inputs.Source:
    """The planned input, after checking that `path` names the file that was planned (as the
    client sees it, where it can); a compressed one's copy shared through `copies`."""
    try:
        source = inputs.open_input(path, copies)
        seen = view_of(path, source.identity)
    except UnreadableFile as error:
        raise UnreadableInput(this_worker(), path, str(error).rsplit(": ", 1)[-1]) from None
    except inputs.NoRoom as error:  # the client must learn which worker's disk is full
        raise InputError(str(inputs.NoRoom(error.label, error.folder, error.reason,
                                           f"worker {this_worker()} ({socket.gethostname()})"))
                         ) from None
    except inputs.TooManyOpenFiles as error:  # and which worker's limit is reached
        raise InputError(str(inputs.TooManyOpenFiles(
            error.label, f"worker {this_worker()} ({socket.gethostname()})"))) from None
    except OSError as error:
        raise UnreadableInput(this_worker(), path, error.strerror or str(error)) from None
    if identity is not None and not same_file(seen, identity):
        raise UnreadableInput(this_worker(), path, ANOTHER_FILE, differs=True)
    return source


def copies_of(name: Optional[str]) -> Any:
    """The worker's shared copies of compressed inputs for the run registered as `name`."""
    if name is None:
        return None
    from .spools import registered

    return registered(name)


def tell_start(task: str) -> None:
    """Tells the client that `task` starts, so that its time limit counts its running, not its
    waiting."""
    try:
        from distributed import get_worker

        get_worker().log_event(STARTED_TOPIC, {"task": task, "worker": get_worker().address})
    except (ImportError, ValueError):
        pass


def failure_noted(task: Callable) -> Callable:
    """A task whose failure is noted on the worker (spools.note_failure)."""
    @functools.wraps(task)
    def noting(*arguments: Any, **keywords: Any) -> Any:
        try:
            return task(*arguments, **keywords)
        except BaseException:
            from .spools import note_failure

            note_failure()
            raise

    return noting


def expanded(paths: list, skip_unreadable: bool) -> tuple[list, list]:
    """On a worker: the input files of `paths` (folders listed) and the warnings for the files
    skipped."""
    skipped: list = []
    try:
        return inputs.expand(paths, skip_unreadable, skipped.append), skipped
    except UnreadableFile as error:
        path, _, reason = str(error).rpartition(": ")
        raise UnreadableInput(this_worker(), path, reason) from None


@failure_noted
def list_task(task: str, paths: list, skip_unreadable: bool = False) -> tuple:
    """On a worker: (this worker, the input files of `paths` in order, [warnings for files
    skipped]), for the plan to be split across the workers."""
    tell_start(task)
    return (this_worker(), *expanded(paths, skip_unreadable))


def search_options(search: Optional[dict]) -> Optional[DecodeOptions]:
    """The run's search parameters as the client sent them; None (the plan decodes nothing)
    where a decoder refuses them, as the client then refuses the run itself."""
    try:
        return DecodeOptions(**search) if search is not None else None
    except (TypeError, ValueError, OverflowError):
        return None


@failure_noted
def plan_task(task: str, paths: list, skip_unreadable: bool = False,
              copies: Optional[str] = None, options: Optional[DecodeOptions] = None,
              budget: int = 0) -> tuple:
    """On a worker: the input files and the layout of each, without data: (this worker,
    [(path, overlap, identity, stem, [(name, label, shape, dtype, stored layouts)])], [warnings
    for files skipped], [the results of each file's chunks, or None]). With `options`, small
    files are decoded as they are planned, up to `budget` blocks in all: opening a small file
    costs more than decoding it, and a task of its own more than both. Any other planned file
    that is small is held for this worker's decode tasks of the run."""
    tell_start(task)
    from .spools import HELD_FILE_BYTES

    shared = copies_of(copies)
    window = Window(options) if options is not None and budget > 0 else None
    layouts: list = []
    decoding: list[tuple[int, int]] = []  # (layout, chunks) of the files in the window
    files, skipped = expanded(paths, skip_unreadable)
    for path in files:
        source = opened(path, None, shared)
        view = view_of(path, source.identity)
        blocks = sum(chunk.shape[0] for chunk in source.chunks)
        size = source.identity[2] if source.identity is not None else None
        small = size is not None and size <= HELD_FILE_BYTES and source.spool is None and \
            source.chunks and all(chunk.mapped for chunk in source.chunks)
        if small and window is not None and blocks <= budget:
            try:
                for chunk in source.chunks:
                    window.add(chunk)
                decoding.append((len(layouts), len(source.chunks)))
                budget -= blocks
            except Exception:  # the decode tasks open it again, and report what is wrong
                window = None
        elif small and shared is not None:
            shared.held.hold(path, source, view, size)
        layouts.append((path, source.overlap, view, source.stem,
                        [(c.name, c.label, c.shape, c.dtype, c.stored) for c in source.chunks]))
    decoded: list = [None] * len(layouts)
    try:
        results = window.finish() if window is not None else []
    except Exception:
        results = []
    if len(results) == sum(count for _, count in decoding):
        for layout, count in decoding:
            decoded[layout], results = results[:count], results[count:]
    return this_worker(), layouts, skipped, decoded


def reopened(path: str, identity: Optional[tuple], shared: Any) -> inputs.Source:
    """The planned input: the source that this worker opened to plan it, where it holds it, the
    file is the one the client sees (as this worker saw it when it opened it) and the path still
    names it; else the file opened again."""
    held = shared.held.take(path) if shared is not None else None
    if held is not None and identity is not None:
        source, view = held
        try:
            unchanged = identity_of(os.stat(path)) == source.identity
        except OSError:
            unchanged = False
        if unchanged and same_file(view, identity):
            return source
    return opened(path, identity, shared)


@dataclasses.dataclass(frozen=True)
class Piece:
    """Chunks start .. stop - 1 of a planned input."""

    source: int  # the input's position among the planned sources
    path: str
    start: int
    stop: int
    identity: Optional[tuple]


class Window:
    """Chunks decoded a window at a time with the engine of a local run, one intra-op thread
    (the worker's Dask threads run tasks side by side); the pages of mapped files are given back
    after each window."""

    def __init__(self, options: DecodeOptions) -> None:
        torch.set_num_threads(1)
        self.options = options
        self.results: list[ChunkResult] = []
        self.work: list[ChunkWork] = []
        self.loaded: list[tuple] = []  # the chunks of the window as loaded
        self.values = 0

    def add(self, chunk: inputs.Chunk) -> None:
        tensors = chunk.load()
        self.work.append(ChunkWork(*tensors))
        self.loaded.append((chunk, [t for t in tensors if t is not None]))
        self.values += self.work[-1].scores.numel()
        if self.values >= WINDOW_VALUES:
            self.decode()

    def decode(self) -> None:
        self.results.extend(decode_window(self.work, self.options))
        for chunk, tensors in self.loaded:
            if chunk.mapped:
                for tensor in tensors:
                    inputs.release_pages(tensor)
        self.work, self.loaded, self.values = [], [], 0

    def finish(self) -> list[ChunkResult]:
        self.decode()
        return self.results


@failure_noted
def decode_task(task: str, pieces: list[Piece], options: DecodeOptions,
                copies: Optional[str] = None) -> list[ChunkResult]:
    """On a worker: decodes the chunks of `pieces`, a window at a time, with the checks of a local
    run; their results in order. Tells the client when it starts, so that a task's time limit
    counts its running, not its waiting."""
    tell_start(task)
    shared = copies_of(copies)
    window = Window(options)
    for piece in pieces:
        source = reopened(piece.path, piece.identity, shared)
        chunks = source.chunks[piece.start:piece.stop]
        if len(chunks) != piece.stop - piece.start:
            raise changed_during_run(piece.path)
        for chunk in chunks:
            window.add(chunk)
        del source, chunks
    return window.finish()


class TaskCutter:
    """Cuts the work into tasks in input order, each as it is needed, sized for the threads
    present then: at most MAX_TASK_BLOCKS blocks and a chunk at least, and small enough that
    every thread gets work (four tasks per thread of what remains), so that workers joining late
    get work and the last tasks are short. Small files are packed into one task; a large one is
    cut across several."""

    def __init__(self, sources: list[inputs.Source], run: str, done: frozenset = frozenset()
                 ) -> None:
        self.sources = sources
        self.done = done  # sources decoded already
        self.run = run
        self.count = 0
        self.position = 0  # the source being cut
        self.start = 0  # its next chunk
        self.remaining = sum(chunk.shape[0] for index, source in enumerate(sources)
                             if index not in done for chunk in source.chunks)
        self.skip_finished_sources()

    def skip_finished_sources(self) -> None:
        while self.position < len(self.sources) and (
                self.start >= len(self.sources[self.position].chunks) or
                self.position in self.done):
            self.position, self.start = self.position + 1, 0

    def __bool__(self) -> bool:
        return self.position < len(self.sources)

    def next(self, threads: int) -> Task:
        size = max(1, min(MAX_TASK_BLOCKS, self.remaining // max(1, 4 * threads)))
        pieces, blocks = [], 0
        while self and (blocks == 0 or blocks < size):
            source = self.sources[self.position]
            stop = self.start
            while stop < len(source.chunks) and (blocks == 0 or blocks < size):
                blocks += source.chunks[stop].shape[0]
                stop += 1
            pieces.append(Piece(self.position, source.path, self.start, stop, source.identity))
            self.start = stop
            self.skip_finished_sources()
        self.remaining -= blocks
        self.count += 1
        return Task(f"{self.run}-{self.count}", pieces, blocks)
