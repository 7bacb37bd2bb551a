"""Decoding a plan on a Dask cluster.

Tasks name the work, not the data: an input file (its absolute path and the identity it had when
planned) and a range of its chunks. Workers open the files themselves from a shared file system,
decode a window of chunks at a time with the same engine as a local run and send back only the
decoded chunks; the client assembles and writes the reads in input order.

Workers whose tovrel or torch differ from the client's, or that cannot import this package, get
no tasks; a worker that holds a task far longer than its size warrants is left out and the task
runs elsewhere. Only `--scheduler` imports this module, and with it Dask's `distributed`.
"""
from __future__ import annotations

import collections
import dataclasses
import logging
import socket
import threading
import time
import warnings
from typing import Any, Callable, Deque, Iterator, Optional

import torch

import tovrel_tensors

from . import inputs
from .engine import (WINDOW_VALUES, ChunkWork, InvalidPolicy, OnInvalid, ReadAssembler,
                     SearchOptions, decode_window)
from .errors import DecodeError, InputError, UsageError
from .plan import PlannedRead
from .results import ChunkResult, DecodedRead, InvalidRead

MAX_TASK_BLOCKS = 300_000
NO_WORKERS_GRACE = 30.0  # seconds without a worker that can take tasks before a run gives up
CONNECT_TIMEOUT = 10.0
REFRESH_SECONDS = 1.0  # how often the workers present are looked at again while waiting
TIMEOUT_BLOCKS = 100_000  # --task-timeout is per this many blocks
# Sent with eval, a builtin, so that a worker without this package answers with an ImportError
# instead of failing to unpickle a function of it.
VERSION_PROBE = "__import__('tovrel_decode.cluster', fromlist=['versions']).versions()"
NOT_INSTALLED = "cannot import tovrel_decode: install the project in the workers' environment"


class ClusterError(DecodeError):
    """The cluster cannot do the work: unreachable, lost, or without workers that can."""


def versions() -> dict:
    return {"tovrel": tovrel_tensors.__version__, "torch": torch.__version__}


def version_mismatch(worker: str, found: dict, expected: dict) -> str:
    return (f"worker {worker} has tovrel {found['tovrel']} and torch {found['torch']}; this "
            f"client has tovrel {expected['tovrel']} and torch {expected['torch']}")


# Each worker process keeps the input it opened last, so that the tasks of one file do not open
# it again (a legacy torch.save file is read whole).
_opened: dict = {}
_opened_lock = threading.Lock()


def open_on_worker(path: str, identity: Optional[tuple]) -> inputs.Source:
    """The planned input, after checking that `path` still names the file that was planned."""
    if identity is not None:
        host, planned = identity
        inputs.check_unchanged(path, planned, same_machine=host == socket.gethostname())
    with _opened_lock:
        key = (path, identity)
        if key not in _opened:
            _opened.clear()
            _opened[key] = inputs.open_input(path)
        return _opened[key]


def plan_task(paths: list, expected_versions: dict) -> list:
    """On a worker: the input files and the layout of each, without data:
    [(path, overlap, identity, [(name, label, shape, dtype)])]."""
    if versions() != expected_versions:
        raise ClusterError(version_mismatch(socket.gethostname(), versions(), expected_versions))
    layouts = []
    for path in inputs.expand(paths):
        source = open_on_worker(path, None)
        identity = (socket.gethostname(), source.identity)
        layouts.append((path, source.overlap, identity,
                        [(c.name, c.label, c.shape, c.dtype) for c in source.chunks]))
    return layouts


def decode_task(path: str, start: int, stop: int, identity: Optional[tuple],
                options: SearchOptions,
                expected_versions: dict) -> list[ChunkResult]:
    """On a worker: decodes chunks start .. stop - 1 of an input, a window at a time, with the
    checks of a local run. The worker's Dask threads run tasks side by side, one intra-op thread
    each."""
    if versions() != expected_versions:
        raise ClusterError(version_mismatch(socket.gethostname(), versions(), expected_versions))
    torch.set_num_threads(1)
    chunks = open_on_worker(path, identity).chunks[start:stop]
    results: list[ChunkResult] = []
    window: list[ChunkWork] = []
    values = 0
    for chunk in chunks:
        window.append(ChunkWork(*chunk.load()))
        values += window[-1].scores.numel()
        if values >= WINDOW_VALUES:
            results += decode_window(window, options)
            window, values = [], 0
    results += decode_window(window, options)
    if len(results) != stop - start:
        raise InputError(f"{path} changed or was removed during the run")
    return results


@dataclasses.dataclass
class Task:
    source: int  # its input's position among the planned sources
    path: str
    start: int
    stop: int
    identity: Optional[tuple]
    blocks: int
    future: Any = None
    submitted: float = 0.0
    workers: frozenset = frozenset()


class TaskCutter:
    """Cuts the work into tasks in input order, each as it is needed, sized for the threads
    present then: at most MAX_TASK_BLOCKS blocks and a chunk at least, and small enough that
    every thread gets work (four tasks per thread of what remains), so that workers joining late
    get work and the last tasks are short."""

    def __init__(self, sources: list[inputs.Source]) -> None:
        self.sources = sources
        self.position = 0  # the source being cut
        self.start = 0  # its next chunk
        self.remaining = sum(chunk.shape[0] for source in sources for chunk in source.chunks)
        self.skip_finished_sources()

    def skip_finished_sources(self) -> None:
        while self.position < len(self.sources) and \
                self.start >= len(self.sources[self.position].chunks):
            self.position, self.start = self.position + 1, 0

    def __bool__(self) -> bool:
        return self.position < len(self.sources)

    def next(self, threads: int) -> Task:
        size = max(1, min(MAX_TASK_BLOCKS, self.remaining // max(1, 4 * threads)))
        source = self.sources[self.position]
        stop, blocks = self.start, 0
        while stop < len(source.chunks) and (blocks == 0 or blocks < size):
            blocks += source.chunks[stop].shape[0]
            stop += 1
        task = Task(self.position, source.path, self.start, stop, source.identity, blocks)
        self.remaining -= blocks
        self.start = stop
        self.skip_finished_sources()
        return task


def quiet_dask() -> None:
    """Dask's own log lines, warnings and thread tracebacks would break the rule of one line per
    failure: the command reports every failure itself."""
    logging.disable(logging.CRITICAL)
    warnings.filterwarnings("ignore", module="distributed")
    threading.excepthook = lambda args: None


class ClusterExecutor:
    def __init__(self, address: str, options: SearchOptions, task_timeout: float,
                 warn: Callable[[str], None]) -> None:
        try:
            import distributed
        except ImportError:
            raise UsageError("--scheduler needs Dask: pip install tovrel[distributed]") from None
        quiet_dask()
        self.distributed = distributed
        self.address = address
        self.options = options
        self.task_timeout = task_timeout
        self.warn = warn
        self.versions = versions()
        self.planned: list[inputs.Source] = []
        self.matching: dict[str, int] = {}  # workers that take tasks, with their threads
        self.left_out: dict[str, str] = {}  # other workers, and why
        self.last_refresh = 0.0
        self.alone_since: Optional[float] = None
        try:
            self.client = distributed.Client(address, timeout=CONNECT_TIMEOUT,
                                             set_as_default=False)
        except (OSError, TimeoutError, distributed.TimeoutError, ValueError) as error:
            raise ClusterError(f"{address}: cannot reach the scheduler ({error})") from None

    def close(self) -> None:
        try:
            self.client.close(timeout=5)
        except Exception:  # a scheduler that is gone cannot be told goodbye
            pass

    def lost(self, error: BaseException) -> ClusterError:
        """The run's tasks are cancelled when the client loses the scheduler: say that."""
        if isinstance(error, self.distributed.CancelledError) or not str(error):
            return ClusterError(f"{self.address}: lost the scheduler")
        return ClusterError(f"{self.address}: lost the scheduler ({str(error).splitlines()[0]})")

    # Workers

    def refresh(self, force: bool = False) -> None:
        """Looks at the workers present: new ones are probed and take tasks if their versions
        match ours; gone ones no longer count. Without any worker that can take tasks for
        NO_WORKERS_GRACE seconds the run ends."""
        now = time.monotonic()
        if not force and now - self.last_refresh < REFRESH_SECONDS:
            return
        self.last_refresh = now
        try:
            present = {address: info.get("nthreads", 1) for address, info in
                       self.client.scheduler_info(n_workers=-1)["workers"].items()}
        except (OSError, self.distributed.TimeoutError, self.distributed.CancelledError) as error:
            raise self.lost(error) from None
        new = [address for address in present
               if address not in self.matching and address not in self.left_out]
        if new:
            self.probe(new)
        self.matching = {address: present[address] for address in self.matching
                         if address in present}
        if self.matching:
            self.alone_since = None
        elif self.alone_since is None:
            self.alone_since = now
        elif now - self.alone_since > NO_WORKERS_GRACE:
            if self.left_out:
                raise ClusterError(next(reversed(self.left_out.values())))
            raise ClusterError(f"{self.address}: the scheduler has no workers")

    def probe(self, workers: list[str]) -> None:
        try:
            answers = self.client.run(eval, VERSION_PROBE, workers=workers, on_error="return")
        except (OSError, self.distributed.TimeoutError, self.distributed.CancelledError) as error:
            raise self.lost(error) from None
        info = self.client.scheduler_info(n_workers=-1)["workers"]
        for worker, found in answers.items():
            if isinstance(found, ImportError):
                self.leave_out(worker, f"a worker ({worker}) {NOT_INSTALLED}")
            elif isinstance(found, BaseException):
                self.leave_out(worker, f"worker {worker} cannot be asked its versions ({found})")
            elif found != self.versions:
                self.leave_out(worker, version_mismatch(worker, found, self.versions))
            else:
                self.matching[worker] = info.get(worker, {}).get("nthreads", 1)

    def leave_out(self, worker: str, reason: str) -> None:
        self.left_out[worker] = reason
        self.matching.pop(worker, None)
        self.warn(f"{reason}; it gets no tasks")

    def wait_for_workers(self, status: Callable[[str], None]) -> None:
        status(f"waiting for workers of {self.address}")
        self.refresh(force=True)
        while not self.matching:
            time.sleep(0.2)
            self.refresh()

    @property
    def threads(self) -> int:
        return max(1, sum(self.matching.values()))

    # Work

    def run_and_wait(self, function: Callable, *args: Any) -> Any:
        future = self.client.submit(function, *args, workers=list(self.matching),
                                    allow_other_workers=False, pure=False)
        task = Task(-1, "", 0, 0, (), 0, future, time.monotonic(), frozenset(self.matching))
        return self.result(task, lambda: None)

    def sources(self, paths: list[str], status: Callable[[str], None]) -> list[inputs.Source]:
        """The inputs as a worker sees them, planned there: the client needs no access."""
        self.wait_for_workers(status)
        status("opening the inputs on a worker")
        layouts = self.run_and_wait(plan_task, paths, self.versions)
        self.planned = [inputs.Source(path, [inputs.Chunk(name, label, tuple(shape), dtype, None)
                                             for name, label, shape, dtype in chunks],
                                      overlap, identity)
                        for path, overlap, identity, chunks in layouts]
        return self.planned

    def submit(self, task: Task) -> None:
        task.workers = frozenset(self.matching)
        task.submitted = time.monotonic()
        task.future = self.client.submit(
            decode_task, task.path, task.start, task.stop, task.identity, self.options,
            self.versions, workers=list(task.workers), allow_other_workers=False, pure=False)

    def resubmit(self, task: Task) -> None:
        try:
            task.future.cancel()
        except Exception:
            pass
        self.submit(task)

    def timed_out(self, task: Task) -> bool:
        allowed = self.task_timeout * max(1.0, task.blocks / TIMEOUT_BLOCKS)
        return time.monotonic() - task.submitted > allowed

    def holder(self, task: Task) -> Optional[str]:
        try:
            for worker, keys in self.client.processing().items():
                if task.future.key in keys:
                    return worker
        except Exception:
            pass
        return None

    def result(self, task: Task, top_up: Callable[[], None]) -> Any:
        """A task's result. Lost workers' tasks run again elsewhere (Dask reruns them); a task
        whose workers are all gone is resubmitted; a task held too long runs elsewhere."""
        while True:
            try:
                return task.future.result(timeout=REFRESH_SECONDS)
            except self.distributed.TimeoutError:
                pass
            except self.distributed.KilledWorker as error:
                raise ClusterError(f"a task was lost with every worker that ran it ({error})"
                                   ) from None
            except DecodeError:
                raise
            except (OSError, self.distributed.CancelledError) as error:
                raise self.lost(error) from None
            self.refresh()
            if not task.workers & set(self.matching):
                self.resubmit(task)
            elif self.timed_out(task):
                worker = self.holder(task)
                if worker is not None and worker in self.matching:
                    self.leave_out(worker, f"worker {worker} held a task of {task.blocks} blocks "
                                           f"for over {time.monotonic() - task.submitted:.0f} s")
                self.refresh(force=True)
                if self.matching:
                    self.resubmit(task)
            top_up()

    def decoded_reads(self, reads: list[PlannedRead], on_invalid: OnInvalid,
                      progress: Callable[[int], None]) -> Iterator[DecodedRead]:
        policy = InvalidPolicy(on_invalid)
        assembler = ReadAssembler()
        slots = {}  # id of a planned chunk -> (its pending read, its position in the read)
        chunk_counts = {}
        for read in reads:
            chunk_counts[read.name] = len(read.chunks)
            for index, chunk in enumerate(read.chunks):
                slots[id(chunk)] = assembler.add(read.name, read.overlap, chunk.shape[1],
                                                 chunk.shape[0], index == len(read.chunks) - 1,
                                                 chunk.label)
        cutter = TaskCutter(self.planned)
        in_flight: Deque[Task] = collections.deque()

        def top_up() -> None:
            self.refresh()  # workers that joined since take tasks, even while results come fast
            while cutter and len(in_flight) < 2 * self.threads:
                in_flight.append(cutter.next(self.threads))
                self.submit(in_flight[-1])

        top_up()
        while in_flight:
            task = in_flight[0]
            results = self.result(task, top_up)
            in_flight.popleft()
            task.future.release()
            chunks = self.planned[task.source].chunks[task.start:task.stop]
            for chunk, result in zip(chunks, results):
                assembler.fill(*slots[id(chunk)], result)
            for item in assembler.finished():
                progress(chunk_counts.pop(item.name))
                if isinstance(item, InvalidRead):
                    policy.leave_out(item)
                else:
                    yield item
            top_up()
