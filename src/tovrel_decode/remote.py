"""What a cluster run's client sends its workers, without torch: its tasks, and the functions that
list and plan the inputs, by name. A worker runs their bodies (tasks.py, which loads torch there),
so that the client can plan the run while it loads torch itself."""
from __future__ import annotations

import dataclasses
import time
import uuid
from typing import TYPE_CHECKING, Any, Callable, Optional

if TYPE_CHECKING:
    from .tasks import Piece

TIMEOUT_BLOCKS = 100_000  # --task-timeout is per this many blocks
STARTED_TOPIC = "tovrel-task-started"


def list_task(task: str, paths: list, skip_unreadable: bool = False) -> tuple:
    """On a worker: tasks.list_task."""
    from . import tasks

    return tasks.list_task(task, paths, skip_unreadable)


def plan_task(task: str, paths: list, skip_unreadable: bool = False,
              copies: Optional[str] = None, search: Optional[dict] = None,
              budget: int = 0) -> tuple:
    """On a worker: tasks.plan_task, with the run's search parameters (`search`, DecodeOptions'
    fields) for the small files it decodes."""
    from . import tasks

    return tasks.plan_task(task, paths, skip_unreadable, copies, tasks.search_options(search),
                           budget)


@dataclasses.dataclass
class Task:
    id: str
    pieces: list[Piece]
    blocks: int
    future: Any = None
    workers: frozenset = frozenset()  # those it may run on
    started: Optional[float] = None  # when its start was heard of
    started_on: Optional[str] = None
    planning: Optional[tuple] = None  # (list_task or plan_task, its arguments) for planning
    prefer: Optional[str] = None  # the worker that planned its files, sent it first if usable

    def overdue(self, task_timeout: float) -> Optional[str]:
        """Why its worker is left out when the task has run (counted from its start, as the
        worker told it) longer than --task-timeout allows for its blocks; None while it has
        not."""
        if self.started is None:
            return None
        ran = time.monotonic() - self.started
        if ran <= task_timeout * max(1.0, self.blocks / TIMEOUT_BLOCKS):
            return None
        what = "planning the inputs" if self.planning is not None else \
            f"a task of {self.blocks} blocks"
        return (f"worker {self.started_on} was left out by --task-timeout (it ran {what} for "
                f"over {ran:.0f} s)")

    def stranded(self, pool: Any) -> bool:
        """Whether the task may be held by a worker of `pool` (a WorkerPool) that is gone or left
        out: the one it started on, or before its start is heard, any it was sent to (the
        scheduler may have queued it on one that stopped answering); or whether none it was sent
        to can take tasks now. A paused worker still runs what it started."""
        gone = set(pool.left_out) | (self.workers - set(pool.seen))
        held = {self.started_on} if self.started_on is not None else self.workers
        return bool(held & gone) or not self.workers & set(pool.usable)


def start_listener(started: dict) -> Callable[[Any], None]:
    """A handler of the workers' STARTED_TOPIC events that notes, in `started`, each task's start
    as its worker tells it: task -> (when heard, worker). Dask calls it on the client's thread."""
    def heard(event: Any) -> None:
        _, message = event
        started.setdefault(message["task"], (time.monotonic(), message["worker"]))

    return heard


def planning_task(function: Callable, *arguments: Any) -> Task:
    """A task that lists (list_task) or plans (plan_task) inputs, not yet sent."""
    blocks = arguments[-1] if function is plan_task else 0  # those it may decode
    return Task(f"plan-{uuid.uuid4().hex[:12]}", [], blocks, planning=(function, arguments))


def send(client: Any, task: Task, usable: dict, started: dict, function: Callable,
         arguments: tuple) -> None:
    """Sends `task` (running `function` with `arguments`) to the `usable` workers, or to the one
    it prefers while that one is usable; its start is heard afresh (in `started`)."""
    task.workers = frozenset([task.prefer]) if task.prefer in usable else frozenset(usable)
    task.prefer = None  # sent again, it goes to any usable worker
    task.started = task.started_on = None
    started.pop(task.id, None)
    task.future = client.submit(
        function, task.id, *arguments, key=f"{function.__name__}-{task.id}-"
        f"{uuid.uuid4().hex[:8]}", workers=list(task.workers), allow_other_workers=False,
        pure=False)
