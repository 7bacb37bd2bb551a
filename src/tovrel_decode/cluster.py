"""Decoding on a Dask cluster: tasks name the work (an input file and a range of its chunks),
workers open the files themselves (a shared file system) with the same loading and checks as a
local run, decode with decode_batch and send back only finished chunks; the client joins and
writes them in input order.

Only `--scheduler` imports this module, and with it Dask's `distributed`.
"""
import collections
import logging
import os
import threading
import time
import warnings

import torch

import tovrel_tensors

from . import inputs, reads
from .errors import DecodeError, InputError

# A few hundred thousand blocks per task amortise the scheduling (a task's round trip costs
# milliseconds; 300,000 blocks at k = 5 take several seconds on one core).
BLOCKS_PER_TASK = 300_000
NO_WORKERS_GRACE = 30.0  # seconds without any worker before a run gives up


class ClusterError(DecodeError):
    """The cluster cannot do the work: unreachable, without workers, or of other versions."""


def versions():
    return {"tovrel": tovrel_tensors.__version__, "torch": torch.__version__}


def check_versions(expected):
    found = versions()
    if found != expected:
        raise ClusterError(f"a worker has tovrel {found['tovrel']} and torch {found['torch']}; "
                           f"this client has tovrel {expected['tovrel']} and torch "
                           f"{expected['torch']}")


# Each worker process keeps the input it opened last, so that the tasks of one file do not open
# it again (a legacy torch.save file is read whole).
_opened = {}
_opened_lock = threading.Lock()


def open_on_worker(path):
    status = os.stat(path)
    key = (path, status.st_ino, status.st_mtime_ns, status.st_size)
    with _opened_lock:
        if key not in _opened:
            _opened.clear()
            _opened[key] = inputs.open_input(path)
        return _opened[key]


def plan_task(paths, expected_versions):
    """On a worker: the input files of the command line and the layout of each, without data:
    [(path, overlap, [(name, label, shape, dtype)])]."""
    check_versions(expected_versions)
    layouts = []
    for path in inputs.expand(paths):
        if path == "-":
            raise InputError("-: standard input cannot be sent to a cluster; name a file")
        source = open_on_worker(path)
        layouts.append((path, source.overlap,
                        [(c.name, c.label, c.shape, c.dtype) for c in source.chunks]))
    return layouts


def decode_task(path, start, stop, options, expected_versions):
    """On a worker: checks and decodes chunks start .. stop - 1 of an input. Returns, per chunk,
    ("ok", sequence, quality, moves as bytes) or ("bad", what, row)."""
    check_versions(expected_versions)
    chunks = open_on_worker(path).chunks[start:stop]
    problems = [reads.chunk_problem(chunk) for chunk in chunks]
    good = [chunk for chunk, problem in zip(chunks, problems) if problem is None]
    decoded = iter(reads.decode_chunks(good, options))
    results = []
    for problem in problems:
        if problem is None:
            sequence, quality, moves = next(decoded)
            results.append(("ok", sequence, quality, bytes(moves)))
        else:
            results.append(("bad", *problem))
    return results


def sources_from(layouts):
    return [inputs.Source(path, [inputs.Chunk(name, label, tuple(shape), dtype, None)
                                 for name, label, shape, dtype in chunks], overlap)
            for path, overlap, chunks in layouts]


def task_ranges(sources):
    """(path, start, stop) of every task, in input order."""
    for source in sources:
        start = blocks = 0
        for index, chunk in enumerate(source.chunks):
            blocks += chunk.shape[0]
            if blocks >= BLOCKS_PER_TASK:
                yield source.path, start, index + 1
                start, blocks = index + 1, 0
        if start < len(source.chunks):
            yield source.path, start, len(source.chunks)


class Cluster:
    def __init__(self, address, timeout=10):
        import distributed  # the optional extra

        # Dask's own log lines and warnings would break the rule of one line per failure.
        logging.getLogger("distributed").setLevel(logging.CRITICAL)
        warnings.filterwarnings("ignore", module="distributed")
        self.distributed = distributed
        self.address = address
        try:
            self.client = distributed.Client(address, timeout=timeout, set_as_default=False)
        except (OSError, TimeoutError, distributed.TimeoutError) as error:
            raise ClusterError(f"{address}: cannot reach the scheduler ({error})") from None
        self.versions = versions()

    def close(self):
        try:
            self.client.close(timeout=5)
        except Exception:  # a scheduler that is gone cannot be told goodbye
            pass

    def workers(self):
        try:
            return self.client.scheduler_info(n_workers=-1)["workers"]
        except (OSError, TimeoutError, self.distributed.TimeoutError) as error:
            raise ClusterError(f"{self.address}: lost the scheduler ({error})") from None

    def check_workers(self):
        """Waits for a worker, then refuses any whose versions differ from ours."""
        deadline = time.monotonic() + NO_WORKERS_GRACE
        while not self.workers():
            if time.monotonic() > deadline:
                raise ClusterError(f"{self.address}: the scheduler has no workers")
            time.sleep(0.2)
        for address, found in self.client.run(versions).items():
            if found != self.versions:
                raise ClusterError(
                    f"worker {address} has tovrel {found['tovrel']} and torch {found['torch']}; "
                    f"this client has tovrel {self.versions['tovrel']} and torch "
                    f"{self.versions['torch']}")

    def result(self, future):
        """A task's result. Lost workers' tasks run again elsewhere; with no worker left for a
        while, or a task that failed everywhere, the run ends."""
        alone_since = None
        while True:
            try:
                return future.result(timeout=1)
            except self.distributed.TimeoutError:
                pass
            except self.distributed.KilledWorker as error:
                raise ClusterError(f"a task was lost with every worker that ran it ({error})"
                                   ) from None
            except (OSError, self.distributed.client.FutureCancelledError) as error:
                raise ClusterError(f"{self.address}: lost the scheduler ({error})") from None
            if self.workers():
                alone_since = None
            elif alone_since is None:
                alone_since = time.monotonic()
            elif time.monotonic() - alone_since > NO_WORKERS_GRACE:
                raise ClusterError(f"{self.address}: no workers left")

    def plan(self, paths):
        future = self.client.submit(plan_task, paths, self.versions, pure=False)
        return sources_from(self.result(future))

    def decoded(self, sources, options, in_flight):
        """The results of every chunk of `sources`, in order, with at most `in_flight` tasks
        submitted and unread at once."""
        ranges = task_ranges(sources)
        pending = collections.deque()
        while True:
            while len(pending) < in_flight:
                work = next(ranges, None)
                if work is None:
                    break
                pending.append((work[2] - work[1], self.client.submit(
                    decode_task, *work, options, self.versions, pure=False)))
            if not pending:
                return
            count, future = pending.popleft()
            results = self.result(future)
            future.release()
            assert len(results) == count
            yield from results


def decode_on_cluster(plan, sources, cluster, options, progress, on_invalid):
    """Yields (read, decoded chunks) in order; a read with a bad chunk goes to on_invalid."""
    total = sum(len(read.chunks) for read in plan)
    threads = sum(w.get("nthreads", 1) for w in cluster.workers().values())
    results = cluster.decoded(sources, options, in_flight=max(2, 2 * threads))
    done = 0
    for read in plan:
        parts = [next(results) for _ in read.chunks]
        done += len(parts)
        progress.bar("decoding", done, total)
        bad = next(((i, r[1:]) for i, r in enumerate(parts) if r[0] == "bad"), None)
        if bad is not None:
            read.invalid = reads.invalid_message(read, *bad)
            on_invalid(read)
            continue
        yield read, [(sequence, quality, list(moves)) for _, sequence, quality, moves in parts]
