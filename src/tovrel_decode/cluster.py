"""Decoding a plan on a Dask cluster.

The client's `connection.Session` is connected and the run's shared copies registered before
this module loads; the executor plans the inputs on the workers, cuts the work into tasks
(tasks.py) and hands them to the workers that can take them (workers.py), a few per thread at a
time; it assembles and writes the reads in input order with every rule of a local run. A task
that ran too long moves on and its worker is left out; so is a worker that cannot read an input,
and the run fails only when no worker can. Only `--scheduler` imports this module.
"""
from __future__ import annotations

import collections
import os
import time
import uuid
from typing import Any, Callable, Deque, Iterable, Iterator, Optional

from . import inputs
from .connection import Session
from .early import EarlyPlan, plan_groups
from .engine import DecodeOptions
from .errors import DecodeError, InputError, changed_during_run, shown
from .plan import Executor, PlannedRead
from .results import ChunkResult
from .remote import (STARTED_TOPIC, Task, list_task, plan_task, planning_task, send,
                     start_listener)
from .sniff import RunStart
from .tasks import (TaskCutter, UnreadableInput, another_folder, changed_here, client_view,
                    decode_task, planned_sources, same_file, status_here)
from .workers import REFRESH_SECONDS, ClusterError, WorkerPool


class Unreadable:
    """Workers that cannot read an input: each is left out, and the run fails once no worker can
    read it. An input that this client cannot read either, or sees changed, is the input's fault,
    not the workers'."""

    def __init__(self, pool: WorkerPool, start: RunStart) -> None:
        self.pool = pool
        self.start = start
        self.reasons: dict[str, dict[str, str]] = {}  # path -> worker -> why
        self.seen_at_start: dict[str, Optional[tuple]] = {}  # the client's view as the run began
        self.seen_planned: set[str] = set()  # files planned with this client's own view

    def changed(self, path: str, planned: list[inputs.Source]) -> bool:
        """Whether this client sees the file at `path` gone or replaced since it saw it as the run
        began or as it was planned (a folder's file: also gone from a folder that changed since
        the run began, or its folder replaced)."""
        seen = self.seen_at_start.get(path)
        if seen is None and path in self.seen_planned:
            seen = next((source.identity for source in planned if source.path == path), None)
        if seen is not None:
            return not same_file(client_view(path), seen)
        return self.start.removed(path) or self.start.replaced(os.path.dirname(path))

    def raise_if_changed(self, paths: Iterable[str], planned: list[inputs.Source]) -> None:
        for path in paths:
            if self.changed(path, planned):
                raise changed_during_run(path)

    def leave_out(self, error: UnreadableInput, planned: list[inputs.Source]) -> None:
        self.raise_if_changed([error.path], planned)
        if not error.differs and not os.access(error.path, os.R_OK):
            raise InputError(f"{shown(error.path)}: {error.reason}")
        if error.differs and changed_here(error.path, planned):
            raise changed_during_run(error.path)
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
    each group's files are checked against the client's view of them (`before`). A group's
    small files are decoded as they are planned, within a budget of blocks, and their results
    kept for the run. What the run began as it connected (`early`) is taken over where it is
    what the run needs, and cancelled where not."""

    def __init__(self, executor: "ClusterExecutor") -> None:
        self.executor = executor
        self.planned: list[inputs.Source] = []

    def plan(self, paths: list[str], before: dict) -> tuple[list[inputs.Source], list[str]]:
        """The planned sources in input order, and the warnings for files skipped."""
        run = self.executor
        early = run.early
        skipped: list[str] = []
        listing = early.listing if early is not None else None
        if all(before.values()):  # files, as every worker must see them: nothing to list
            files = list(paths)
            if early is not None:
                early.drop([listing])
        else:
            _, files, skipped = self.result(
                listing or self.task(list_task, paths, run.skip_unreadable),
                lambda listed: self.as_the_client_lists(listed, paths))
        search = run.options.keywords()
        if early is not None and early.files == files and early.search == search:
            groups = early.groups
        else:
            if early is not None:
                early.drop(list(early.groups))
            split, budget = plan_groups(files, run.pool.threads)
            groups = [self.task(plan_task, group, False, run.copies.name, search, budget)
                      for group in split]
        for group in groups:
            planner, planned, layouts, more, decoded = self.result(group, lambda result: (
                result[0],
                planned_sources(result[0], result[1], before, run.session.run_start),
                *result[1:]))
            for source, layout, results in zip(planned, layouts, decoded):
                # The identity planned is this client's own view, or the planner's where the
                # client sees no file.
                own = source.identity is not None and source.identity is not layout[2]
                if own:
                    run.unreadable.seen_planned.add(source.path)
                if results is not None and len(results) == len(source.chunks):
                    # Checked again as its reads are written, as a local run checks a file as
                    # it decodes it.
                    run.decoded[len(self.planned)] = (results, source.identity if own else None)
                self.planned.append(source)
            self.executor.planners += [planner] * len(planned)
            skipped += more
        return self.planned, skipped

    def as_the_client_lists(self, listed: tuple, paths: list[str]) -> tuple:
        """A worker's listing of the input folders (list_task's result), where it lists each
        folder that this client can list as the client does."""
        worker, files = listed[0], listed[1]
        for folder in dict.fromkeys(path for path in paths if os.path.isdir(path)):
            differs = another_folder(folder, files, self.executor.session.run_start)
            if differs is not None:
                raise UnreadableInput(worker, folder, differs, differs=True)
        return listed

    def task(self, function: Callable, *arguments: Any) -> Task:
        task = planning_task(function, *arguments)
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
    def __init__(self, session: Session, options: DecodeOptions, task_timeout: float,
                 warn: Callable[[str], None], skip_unreadable: bool = False) -> None:
        self.session = session
        self.distributed = session.distributed
        self.address = session.address
        self.options = options
        self.task_timeout = task_timeout
        self.warn = warn
        self.skip_unreadable = skip_unreadable
        self.planned: list[inputs.Source] = []
        self.copies = session.copies  # the workers' shared copies of the run
        self.planners: list[str] = []  # the worker that planned each source (and holds it)
        # source -> its results, decoded in the plan, and this client's view of it planned
        self.decoded: dict[int, tuple[list[ChunkResult], Optional[tuple]]] = {}
        self.client = session.client()
        self.early: Optional[EarlyPlan] = session.early
        if self.early is not None and self.early.pool is not None:
            # The workers admitted as the client connected, the tasks sent, the starts heard.
            self.pool = self.early.pool
            self.pool.warn, self.pool.lost = warn, self.lost
            for warning in self.early.warnings:
                warn(warning)
            self.started: dict[str, tuple[float, str]] = self.early.started
        else:
            self.early = None
            self.pool = WorkerPool(self.client, self.address, warn, self.lost, session.asked)
            self.started = {}  # task -> (when heard, worker)
        self.unreadable = Unreadable(self.pool, session.run_start)
        try:
            self.client.subscribe_topic(STARTED_TOPIC, start_listener(self.started))
        except Exception as error:
            raise self.lost(error) from None

    def close(self) -> None:
        self.session.close(silent=self.pool.silent)

    def lost(self, error: BaseException) -> ClusterError:
        """The run's tasks are cancelled when the client loses the scheduler: say that (with the
        connection's error, not a lookup in an answer that never came)."""
        cause = "" if isinstance(error, (self.distributed.CancelledError, LookupError)) or \
            not str(error) else f" ({str(error).splitlines()[0]})"
        return ClusterError(f"{self.address}: lost the scheduler{cause}")

    # Planning

    def sources(self, paths: list[str], status: Callable[[str], None]) -> list[inputs.Source]:
        """The inputs, planned on the workers (the client needs no access); the client's own view
        of each file it can see is its identity, which every worker's view must match."""
        status(f"waiting for workers of {self.address}")
        self.pool.wait_for_usable()
        status("opening the inputs on the workers")
        # Each file as this client sees it, which must be the file as the run began (the
        # workers may have planned it since): a file replaced while a worker plans it is a
        # change, not a worker that sees another file.
        before = {path: client_view(path) for path in paths}
        for path, seen in before.items():
            began = self.session.began.get(path)
            file_changed = began is not None and (seen is None or seen[1] != began)
            if file_changed or self.session.run_start.replaced(path):
                raise changed_during_run(path)
        self.unreadable.seen_at_start = before
        self.planners, self.decoded = [], {}
        self.planned, skipped = Planning(self).plan(paths, before)
        for warning in skipped:
            self.warn(warning)
        return self.planned

    # Tasks

    def submit(self, task: Task) -> None:
        """Planning and decoding alike: each has its start heard and its time limit."""
        # A worker keeps the small files it planned open for the run: a task of those goes to
        # it, unless it is not usable or already has its share of the tasks in flight.
        function, arguments = task.planning if task.planning is not None else \
            (decode_task, (task.pieces, self.options, self.copies.name))
        send(self.client, task, self.pool.usable, self.started, function, arguments)

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
        cutter = TaskCutter(self.planned, uuid.uuid4().hex[:12], frozenset(self.decoded))
        in_flight: Deque[Task] = collections.deque()
        decoded = iter(sorted(self.decoded))  # sources decoded as they were planned
        next_decoded = next(decoded, None)

        def decoded_before(source: int) -> Iterator[tuple[inputs.Chunk, ChunkResult]]:
            nonlocal next_decoded
            while next_decoded is not None and next_decoded < source:
                planned = self.planned[next_decoded]
                results, seen = self.decoded.pop(next_decoded)
                if seen is not None and status_here(planned.path) != seen[1]:
                    raise changed_during_run(planned.path)
                yield from zip(planned.chunks, results)
                next_decoded = next(decoded, None)

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
            yield from decoded_before(task.pieces[0].source)
            try:
                results = iter(self.result(task, top_up))
            except UnreadableInput as error:
                self.unreadable.leave_out(error, self.planned)
                self.resubmit(task)
                continue
            except InputError:  # a file cut short or replaced since it was planned, say so
                self.unreadable.raise_if_changed([piece.path for piece in task.pieces],
                                                 self.planned)
                raise
            in_flight.popleft()
            task.future.release()
            for piece in task.pieces:
                yield from decoded_before(piece.source)
                yield from zip(self.planned[piece.source].chunks[piece.start:piece.stop],
                               results)
            top_up()
        yield from decoded_before(len(self.planned))


_IS_AN_EXECUTOR: type[Executor] = ClusterExecutor  # checked by mypy
