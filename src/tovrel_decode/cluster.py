"""Decoding a plan on a Dask cluster.

The client connects (TLS and connection mistakes are one line), plans the inputs on a worker,
cuts the work into tasks (tasks.py) and hands them to the workers that can take them
(workers.py), a few per thread at a time; it assembles and writes the reads in input order with
every rule of a local run. A task that ran too long moves on and its worker is left out; so is a
worker that cannot read an input, and the run fails only when no worker can. Only `--scheduler`
imports this module, and with it Dask's `distributed`.
"""
from __future__ import annotations

import collections
import logging
import os
import re
import ssl
import stat
import threading
import time
import uuid
import warnings
from typing import Any, Callable, Deque, Iterator, Optional

from . import inputs
from .engine import DecodeOptions
from .errors import DecodeError, InputError, UsageError, shown
from .plan import Executor, PlannedRead
from .results import ChunkResult
from .sniff import has_score_suffix
from .tasks import (STARTED_TOPIC, Task, TaskCutter, UnreadableInput, changed_here, client_view,
                    decode_task, list_task, plan_task, planned_sources)
from .workers import REFRESH_SECONDS, ClusterError, WorkerPool

CONNECT_TIMEOUT = 10.0
PLAN_FILES = 50  # files planned by one task at least: a task costs more than opening a file
TLS_SETTINGS = (("ca-file", "CA_FILE"), ("client.cert", "CLIENT__CERT"),
                ("client.key", "CLIENT__KEY"))


# Names of this process's own descriptors: a worker would open its own instead.
OWN_DESCRIPTORS = re.compile(r"/dev/(fd/\d+|std(in|out|err))|"
                             r"/proc/(self|thread-self|\d+)(/task/\d+)?/fd/\d+")
# Paths through this process's own folders: a worker would resolve them in its own.
OWN_FOLDERS = re.compile(r"/proc/(self|thread-self|\d+)(/task/\d+)?/(cwd|root)(/.*)?")
MAX_LINKS = 40  # as the kernel follows at most


def links_followed(path: str) -> list[str]:
    """The paths that `path` names as the kernel follows its symbolic links, one link (in any
    component) at a time: the absolute path first, the path with no link left last."""
    hops = [os.path.abspath(path)]
    parts = collections.deque(os.path.join(os.getcwd(), path).split("/"))
    resolved = "/"
    while parts and len(hops) <= MAX_LINKS:
        part = parts.popleft()
        if part in ("", "."):
            continue
        if part == "..":
            resolved = os.path.dirname(resolved)
            continue
        candidate = os.path.join(resolved, part)
        try:
            target = os.readlink(candidate)
        except OSError:  # not a link, or not there: the rest is as named
            resolved = candidate
            continue
        hops.append(os.path.join(candidate, *parts))
        parts.extendleft(reversed(target.split("/")))
        if target.startswith("/"):
            resolved = "/"
    hops.append(os.path.join(resolved, *parts))
    return hops


def refuse_what_cannot_travel(paths: list[str]) -> None:
    """UsageError naming the first input that a worker cannot open as the client does: a stream
    (a FIFO, a shell's <(...), a socket), a device, or a descriptor of this process, named as
    such or reached through symbolic links. Workers open every input by its name, so only a file
    (or a folder) on a shared file system can be sent."""
    for path in paths_and_folder_entries(paths):
        try:
            mode = os.stat(path).st_mode
        except OSError:
            mode = None  # the workers say why they cannot read it either, or can
        hops = links_followed(path)
        descriptor = next((hop for hop in hops if OWN_DESCRIPTORS.fullmatch(hop)), None)
        own_folder = next((hop for hop in hops if OWN_FOLDERS.fullmatch(hop)), None)
        if descriptor is not None:
            what = "a descriptor of this process" if descriptor == hops[0] else \
                f"a link to {shown(descriptor)}, a descriptor of this process"
        elif own_folder is not None:
            what = "a path through this process's own folders" if own_folder == hops[0] else \
                f"a link to {shown(own_folder)}, a path through this process's own folders"
        elif mode is not None and stat.S_ISFIFO(mode):
            what = "a FIFO"
        elif mode is not None and stat.S_ISSOCK(mode):
            what = "a socket"
        elif mode is not None and (stat.S_ISCHR(mode) or stat.S_ISBLK(mode)):
            what = "a device"
        else:
            continue
        raise UsageError(f"{shown(path)}: {what} cannot be sent to a cluster (workers open the "
                         "inputs by name); save it to a file on the shared file system")


def paths_and_folder_entries(paths: list[str]) -> Iterator[str]:
    """Each input, and the score files a folder among them contributes (what the workers will
    open by name)."""
    for path in paths:
        yield path
        if os.path.isdir(path):
            try:
                entries = sorted(os.listdir(path))
            except OSError:
                continue  # the workers say why they cannot list it
            yield from (os.path.join(path, entry) for entry in entries
                        if has_score_suffix(entry))


def import_dask() -> Any:
    """Dask's `distributed`, quietened, or a UsageError saying how to install it."""
    try:
        import distributed
    except ImportError:
        raise UsageError("--scheduler needs Dask: pip install tovrel[distributed]") from None
    quiet_dask()
    return distributed


def quiet_dask() -> None:
    """Dask's own log lines, warnings and thread tracebacks would break the rule of one line per
    failure: the command reports every failure itself."""
    logging.disable(logging.CRITICAL)
    warnings.filterwarnings("ignore", module="distributed")
    threading.excepthook = lambda args: None


def check_security(address: str) -> None:
    """The mistakes of TLS settings, each named, before anything connects."""
    import dask

    scheme = address.split("://")[0] if "://" in address else "tcp"
    if scheme != "tls" and dask.config.get("distributed.comm.require-encryption", False):
        raise ClusterError(f"{address}: encryption is required "
                           "(DASK_DISTRIBUTED__COMM__REQUIRE_ENCRYPTION) but the address is not "
                           "tls://")
    if scheme != "tls":
        return
    values = {name: dask.config.get(f"distributed.comm.tls.{name}", None)
              for name, _ in TLS_SETTINGS}
    if not values["ca-file"] or not values["client.cert"]:
        raise ClusterError(f"{address}: tls:// needs the cluster's certificates: set "
                           "DASK_DISTRIBUTED__COMM__TLS__CA_FILE, ..._CLIENT__CERT and "
                           "..._CLIENT__KEY (the README's deployment guide shows how)")
    for name, variable in TLS_SETTINGS:
        path = values[name]
        if path and not os.access(path, os.R_OK):
            reason = "No such file or directory" if not os.path.exists(path) else \
                "Permission denied"
            raise ClusterError(f"{shown(path)}: {reason} "
                               f"(DASK_DISTRIBUTED__COMM__TLS__{variable})")
    check_key(values["client.cert"], values["client.key"])


def check_key(certificate: str, key: Optional[str]) -> None:
    """The client's certificate and key load together, or the setting at fault is named."""
    try:
        ssl.create_default_context().load_cert_chain(certificate, key)
    except ssl.SSLError:
        if key is None:
            raise ClusterError(f"{shown(certificate)} holds no private key and "
                               "DASK_DISTRIBUTED__COMM__TLS__CLIENT__KEY is not set: set it to "
                               "the client's key file") from None
        raise ClusterError(f"{shown(key)} is not the key of {shown(certificate)} "
                           "(DASK_DISTRIBUTED__COMM__TLS__CLIENT__KEY, ..._CLIENT__CERT)"
                           ) from None


def tls_failure(address: str, text: str) -> str:
    """One line for a failed TLS handshake, by its cause: which side refused which
    certificate."""
    import dask

    certificate = dask.config.get("distributed.comm.tls.client.cert", None)
    mine = shown(str(certificate))
    # Under TLS 1.3 the scheduler checks this client's certificate after the client's side of
    # the handshake is done: its alert may come, or only the end of the connection. An expired
    # certificate of our own is then the cause, whichever came.
    if "ALERT_CERTIFICATE_EXPIRED" in text or "alert certificate expired" in text or \
            (certificate and has_expired(certificate) and
             any(word in text for word in ("EOF", "closed", "BAD_CERTIFICATE"))):
        return (f"{address}: the scheduler refused this client's certificate, which has expired "
                f"({mine}, DASK_DISTRIBUTED__COMM__TLS__CLIENT__CERT); renew it with the "
                "cluster's CA")
    if "certificate has expired" in text:
        return (f"{address}: the scheduler's certificate has expired; renew it with the "
                "cluster's CA")
    if "CERTIFICATE_VERIFY" in text or "does not match" in text:
        return (f"{address}: the TLS handshake failed (the scheduler's certificate is not "
                "signed by the CA file's CA); the CA file must be the CA that signed the "
                "cluster's certificates")
    if any(word in text for word in ("EOF", "closed", "UNKNOWN_CA", "BAD_CERTIFICATE")):
        return (f"{address}: the scheduler refused this client's certificate ({mine}, "
                "DASK_DISTRIBUTED__COMM__TLS__CLIENT__CERT): it must be signed by the "
                "cluster's CA")
    return f"{address}: the TLS handshake failed ({text.splitlines()[0][:200]})"


def has_expired(certificate: str) -> bool:
    """True when the certificate in this file is past its end date (False where it cannot be
    read)."""
    try:
        ends = ssl._ssl._test_decode_cert(certificate)["notAfter"]  # type: ignore[attr-defined]
        return ssl.cert_time_to_seconds(ends) < time.time()
    except Exception:
        return False


def connection_failure(address: str, error: BaseException) -> str:
    """One line for a failed connection, with the likely cause."""
    chain: list[BaseException] = []
    cause: Optional[BaseException] = error
    while cause is not None and len(chain) < 10:
        chain.append(cause)
        cause = cause.__cause__ or cause.__context__
    text = " ".join(str(link) for link in chain)
    if address.startswith("tls://") and (any(isinstance(link, ssl.SSLError) for link in chain)
                                         or "CERTIFICATE_VERIFY" in text
                                         or "does not match" in text or "EOF" in text
                                         or "Stream is closed" in text):
        return tls_failure(address, text)
    if not address.startswith("tls://") and any(word in text for word in (
            "reset by peer", "closed", "EOF", "Stream is closed")):
        return (f"{address}: the scheduler closed the connection; if it requires TLS, use "
                "tls:// and the cluster's certificates")
    first = str(error).splitlines()[0] if str(error) else type(error).__name__
    return f"{address}: cannot reach the scheduler ({first})"


def connect(address: str) -> Any:
    """A client of the scheduler at `address`; a failure to connect is one line."""
    import distributed

    check_security(address)
    try:
        return distributed.Client(address, timeout=CONNECT_TIMEOUT, set_as_default=False)
    except Exception as error:  # Dask raises many kinds for a connection that fails
        raise ClusterError(connection_failure(address, error)) from None


class Unreadable:
    """Workers that cannot read an input: each is left out, and the run fails once no worker can
    read it. An input that this client cannot read either, or sees changed, is the input's fault,
    not the workers'."""

    def __init__(self, pool: WorkerPool) -> None:
        self.pool = pool
        self.reasons: dict[str, dict[str, str]] = {}  # path -> worker -> why
        self.seen_at_start: dict[str, Optional[tuple]] = {}  # the client's view as the run began

    def leave_out(self, error: UnreadableInput, planned: list[inputs.Source]) -> None:
        if self.seen_at_start.get(error.path) is not None and \
                not os.path.lexists(error.path):
            raise InputError(f"{shown(error.path)} changed or was removed during the run")
        if not error.differs and not os.access(error.path, os.R_OK):
            raise InputError(f"{shown(error.path)}: {error.reason}")
        if error.differs and changed_here(error.path, planned):
            raise InputError(f"{shown(error.path)} changed or was removed during the run")
        self.reasons.setdefault(error.path, {})[error.worker] = error.reason
        self.pool.leave_out(error.worker, str(error))
        self.pool.refresh(force=True)
        # Workers still being asked their versions, or paused, may read it: wait for them.
        while not self.pool.usable:
            if not self.pool.undecided():
                raise ClusterError(f"no worker can read {shown(error.path)}; " + "; ".join(
                    f"worker {worker}: {reason}"
                    for worker, reason in self.reasons[error.path].items()))
            time.sleep(0.2)
            self.pool.refresh()


class Planning:
    """Plans a run's inputs on the workers: lists them on one (where the client cannot tell
    that they are all files), then plans them in groups of files in input order, side by side;
    each group's files are checked against the client's view of them (`before`, taken as the
    run began)."""

    def __init__(self, executor: "ClusterExecutor") -> None:
        self.executor = executor
        self.planned: list[inputs.Source] = []

    def plan(self, paths: list[str], before: dict) -> tuple[list[inputs.Source], list[str]]:
        """The planned sources in input order, and the warnings for files skipped."""
        run = self.executor
        skipped: list[str] = []
        if all(before.values()):  # files, as every worker must see them: nothing to list
            files = list(paths)
        else:
            _, files, skipped = self.result(self.task(list_task, paths, run.skip_unreadable),
                                            lambda listed: listed)
        size = max(PLAN_FILES, -(-len(files) // (2 * run.pool.threads)))
        groups = [self.task(plan_task, files[start:start + size], False, run.copies.name)
                  for start in range(0, len(files), size)]
        for group in groups:
            planner, planned, more = self.result(group, lambda result: (
                result[0], planned_sources(result[0], result[1], before), result[2]))
            self.planned += planned
            self.executor.planners += [planner] * len(planned)
            skipped += more
        return self.planned, skipped

    def task(self, function: Callable, *arguments: Any) -> Task:
        task = Task(f"plan-{uuid.uuid4().hex[:12]}", [], 0, planning=(function, arguments))
        self.executor.submit(task)
        return task

    def result(self, task: Task, take: Callable[[Any], Any]) -> Any:
        """What `take` makes of a planning task's result (it checks the worker's view of the
        files against the client's); the task runs again elsewhere while workers cannot read
        the inputs."""
        while True:
            try:
                return take(self.executor.result(task, lambda: None))
            except UnreadableInput as error:
                self.executor.unreadable.leave_out(error, self.planned)
                self.executor.resubmit(task)


class ClusterExecutor:
    def __init__(self, address: str, options: DecodeOptions, task_timeout: float,
                 warn: Callable[[str], None], skip_unreadable: bool = False) -> None:
        self.distributed = import_dask()
        self.address = address
        self.options = options
        self.task_timeout = task_timeout
        self.warn = warn
        self.skip_unreadable = skip_unreadable
        self.planned: list[inputs.Source] = []
        self.started: dict[str, tuple[float, str]] = {}  # task -> (when heard, worker)
        self.copies: Any = None  # the workers' shared copies of the run (a spools.Shared)
        self.planners: list[str] = []  # the worker that planned each source (and holds it)
        self.client = connect(address)
        self.pool = WorkerPool(self.client, address, warn, self.lost)
        self.unreadable = Unreadable(self.pool)
        try:
            self.client.subscribe_topic(STARTED_TOPIC, self.heard_start)
        except Exception as error:
            raise self.lost(error) from None

    def heard_start(self, event: Any) -> None:
        """A task's start, as its worker tells it (on the client's own thread)."""
        _, message = event
        self.started.setdefault(message["task"], (time.monotonic(), message["worker"]))

    def close(self) -> None:
        if self.copies is not None:
            shared, self.copies = self.copies, None
            from . import spools

            spools.give_back(self.client, shared.name, shared.registering)
        try:
            self.client.close(timeout=5)
        except Exception:  # a scheduler that is gone cannot be told goodbye
            pass

    def lost(self, error: BaseException) -> ClusterError:
        """The run's tasks are cancelled when the client loses the scheduler: say that."""
        cause = "" if isinstance(error, self.distributed.CancelledError) or not str(error) else \
            f" ({str(error).splitlines()[0]})"
        return ClusterError(f"{self.address}: lost the scheduler{cause}")

    # Planning

    def sources(self, paths: list[str], status: Callable[[str], None]) -> list[inputs.Source]:
        """The inputs, planned on the workers (the client needs no access); the client's own view
        of each file it can see is its identity, which every worker's view must match."""
        status(f"waiting for workers of {self.address}")
        self.pool.wait_for_usable()
        from . import spools

        # Known before it is registered: a run interrupted while it registers gives it back.
        self.copies = spools.Shared()
        spools.share(self.client, paths, self.copies)
        status("opening the inputs on the workers")
        # Taken before the plan: a file replaced while a worker plans it is a change, not a
        # worker that sees another file.
        before = {path: client_view(path) for path in paths}
        self.unreadable.seen_at_start = before
        self.planners = []
        self.planned, skipped = Planning(self).plan(paths, before)
        for warning in skipped:
            self.warn(warning)
        return self.planned

    # Tasks

    def submit(self, task: Task) -> None:
        """Planning and decoding alike: each has its start heard and its time limit."""
        # A worker keeps the small files it planned open for the run: a task of those goes to
        # it, unless it is not usable or already has its share of the tasks in flight.
        task.workers = frozenset([task.prefer]) if task.prefer in self.pool.usable else \
            frozenset(self.pool.usable)
        task.prefer = None  # sent again, it goes to any usable worker
        task.started = task.started_on = None
        self.started.pop(task.id, None)
        function, arguments = task.planning if task.planning is not None else \
            (decode_task, (task.pieces, self.options, self.copies.name))
        task.future = self.client.submit(
            function, task.id, *arguments, key=f"{function.__name__}-{task.id}-"
            f"{uuid.uuid4().hex[:8]}", workers=list(task.workers), allow_other_workers=False,
            pure=False)

    def resubmit(self, task: Task) -> None:
        try:
            task.future.cancel()
        except Exception:
            pass
        self.submit(task)

    def result(self, task: Task, top_up: Callable[[], None]) -> Any:
        """A task's result. Lost workers' tasks run again elsewhere (Dask reruns them); a task
        whose workers can no longer take it (gone, paused, left out) is resubmitted; a task
        running longer than allowed moves on and its worker is left out."""
        while True:
            try:
                return task.future.result(timeout=REFRESH_SECONDS)
            except self.distributed.TimeoutError:
                pass
            except self.distributed.KilledWorker as error:
                raise ClusterError(f"a task was lost with every worker that ran it ({error})"
                                   ) from None
            except (DecodeError, UnreadableInput):
                raise
            except (OSError, self.distributed.CancelledError) as error:
                raise self.lost(error) from None
            self.pool.refresh()
            if task.started is None and task.id in self.started:
                task.started, task.started_on = self.started[task.id]
            late = task.overdue(self.task_timeout)
            if late is not None:
                if task.started_on in self.pool.usable:
                    self.pool.leave_out(str(task.started_on), late)
                self.pool.refresh(force=True)
            if task.stranded(self.pool) and self.pool.usable:
                self.resubmit(task)
            top_up()

    def preferring(self, task: Task, in_flight: Deque[Task]) -> Task:
        """`task`, to be sent to the worker that planned its first file while that worker has
        fewer than two tasks per thread in flight (so that the others are not left idle)."""
        planner = self.planners[task.pieces[0].source] if task.pieces and \
            task.pieces[0].source < len(self.planners) else None
        threads = self.pool.usable.get(planner, 0) if planner is not None else 0
        if sum(1 for other in in_flight if other.workers == {planner}) < 2 * threads:
            task.prefer = planner
        return task

    def chunk_results(self, reads: list[PlannedRead]
                      ) -> Iterator[tuple[inputs.Chunk, ChunkResult]]:
        cutter = TaskCutter(self.planned, uuid.uuid4().hex[:12])
        in_flight: Deque[Task] = collections.deque()

        def top_up() -> None:
            self.pool.refresh()  # workers that joined since take tasks, even while results come
            while cutter and len(in_flight) < 2 * self.pool.threads and self.pool.usable:
                in_flight.append(self.preferring(cutter.next(self.pool.threads), in_flight))
                self.submit(in_flight[-1])

        top_up()
        while in_flight or cutter:
            if not in_flight:
                # Every worker paused or left out as the last task came back: wait for one (the
                # pool ends the run, saying why, after its grace), never end with work uncut.
                self.pool.wait_for_usable()
                top_up()
                continue
            task = in_flight[0]
            try:
                decoded = self.result(task, top_up)
            except UnreadableInput as error:
                self.unreadable.leave_out(error, self.planned)
                self.resubmit(task)
                continue
            in_flight.popleft()
            task.future.release()
            chunks = [chunk for piece in task.pieces
                      for chunk in self.planned[piece.source].chunks[piece.start:piece.stop]]
            yield from zip(chunks, decoded)
            top_up()


_IS_AN_EXECUTOR: type[Executor] = ClusterExecutor  # checked by mypy
