"""A cluster run's connection to its scheduler: the inputs that cannot travel refused, TLS and
connection mistakes named in one line each, and the `Session` that connects as soon as the command
line is read. Nothing here imports torch: the workers take up the run (start decompressing its
first compressed input, and plan it) while the client loads the rest."""
from __future__ import annotations

import collections
import logging
import os
import re
import ssl
import stat
import threading
import time
import warnings
from typing import Any, Iterator, Optional

from .builds import build_identity
from .early import EarlyPlan
from .errors import UsageError, shown
from .sniff import (COMPRESSION_SUFFIXES, RunStart, folder_identity, has_score_suffix,
                    regular_file_identity)
from .workers import ClusterError, SchedulerSilent

CONNECT_TIMEOUT = 10.0
# Dask's own timeout does not bound a scheduler that accepts the connection and never answers.
ANSWER_SECONDS = CONNECT_TIMEOUT + 5.0
COPIES_HEAD_START = 5.0  # the most a run with compressed inputs waits to load torch
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


def refuse_what_cannot_travel(paths: list[str], skip_unreadable: bool = False) -> None:
    """UsageError naming the first input that a worker cannot open as the client does: a stream
    (a FIFO, a shell's <(...), a socket), a device, or a descriptor of this process, named as
    such or reached through symbolic links. Workers open every input by its name, so only a file
    (or a folder) on a shared file system can be sent. With `skip_unreadable`, a folder's stream
    or device is left to the folder's listing, which skips it with a warning as a local run
    does."""
    named = set(paths)
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
        elif skip_unreadable and path not in named:
            continue
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


def names_compressed(paths: list[str]) -> bool:
    """Whether an input, or a score file of a folder among them, is named as compressed."""
    return any(path.lower().endswith(COMPRESSION_SUFFIXES)
               for path in paths_and_folder_entries(paths))


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


class Session:
    """A run's client of the scheduler and the workers' shared copies of its inputs. `start`
    connects and registers the copies on a thread of its own as soon as the command line is
    read, so that the workers decompress the run's first compressed input while this client
    loads torch and checks the rest of the command line; given the run's search parameters
    (`search`), it goes on to begin the plan (early.py) until `client` is called. A failure to
    connect, or a scheduler that does not answer, is raised by `client`; `close` gives back what
    was taken, however far `start` came, without waiting for a connection still being made."""

    def __init__(self, address: str, paths: list[str], search: Optional[dict] = None,
                 skip_unreadable: bool = False) -> None:
        self.distributed = import_dask()
        from . import spools

        self.address = address
        self.paths = paths
        self.copies = spools.Shared()  # known before it is registered, for `close`
        self.lock = threading.Lock()
        self.connection: Any = None  # set, under the lock, once connected
        self.closed = False
        self.failure: Optional[Exception] = None
        self.silent: Optional[SchedulerSilent] = None  # the scheduler stopped answering
        self.connected = threading.Event()
        self.registered = threading.Event()  # the copies registered, or given up
        self.shared = threading.Event()
        self.thread: Optional[threading.Thread] = None
        self.started = 0.0  # when `start` began to connect
        self.asked: dict = {}  # the workers present as it connected: address -> their answers
        self.compressed = names_compressed(paths)
        # Each file and folder as the run began: the workers may plan them before this client
        # looks at them.
        self.run_start = RunStart(time.time(), {path: folder_identity(path) for path in paths})
        self.began = {path: regular_file_identity(path) for path in paths}
        self.early: Optional[EarlyPlan] = None
        if search is not None:
            self.early = EarlyPlan(paths, all(self.began.values()), self.copies.name, search,
                                   skip_unreadable)

    def start(self) -> None:
        self.started = time.monotonic()
        self.thread = threading.Thread(target=self.connect_and_share, daemon=True,
                                       name="tovrel-connect")
        self.thread.start()

    def connect_and_share(self) -> None:
        try:
            self.connect_and_register()
        finally:
            self.registered.set()

    def connect_and_register(self) -> None:
        from . import spools

        try:
            connection = connect(self.address)
        except Exception as error:  # connect words its own failures; keep any other as it is
            self.failure = error
            self.connected.set()
            return
        with self.lock:
            if self.closed:  # the run ended while this connected: nothing to register
                close_client(connection)
                return
            self.connection = connection
        self.connected.set()
        try:
            # The workers start on a compressed input as the copies are registered: that comes
            # first where there is one, and the workers' answers first where there is none.
            if not self.compressed:
                self.asked = ask_workers(connection, self.address)
            spools.share(connection, self.paths, self.copies)
            self.registered.set()
            if self.compressed:
                self.asked = ask_workers(connection, self.address)
            if self.early is not None:
                self.early.begin(connection, self.address, self.asked)
        except SchedulerSilent as silent:
            self.silent = silent
        finally:
            self.shared.set()

    def wait_for_copies(self) -> None:
        """For a run with compressed inputs, waits (a few seconds at most) until the workers have
        taken up its shared copies, and so started on the first: importing torch holds this
        process's interpreter lock for tenths of a second at a time, which would hold that up."""
        if self.compressed:
            waited(self.registered, COPIES_HEAD_START)

    def client(self) -> Any:
        """The connected client, once the run's copies are registered; ClusterError for a
        failure to connect or a scheduler that has not answered in time."""
        if not waited(self.connected, self.started + ANSWER_SECONDS - time.monotonic()):
            raise ClusterError(f"{self.address}: cannot reach the scheduler (no answer within "
                               f"{ANSWER_SECONDS:.0f} s)")
        if self.failure is not None:
            raise self.failure
        if self.early is not None:
            self.early.taking_over.set()
        waited(self.shared, float("inf"))  # the registration has a bound of its own
        if self.silent is not None:
            raise self.silent
        return self.connection

    def close(self, silent: bool = False) -> None:
        """Gives back the shared copies and closes the client; safe to call twice. A scheduler
        that has stopped answering (`silent`) is not waited for: the next run from this machine
        gives back what it could not."""
        if self.early is not None:
            self.early.taking_over.set()
        with self.lock:
            self.closed = True
            connection, self.connection = self.connection, None
        if connection is None:
            return
        from . import spools

        if silent or self.silent is not None:
            threading.Thread(target=close_client, args=(connection,), daemon=True).start()
            return
        waited(self.shared, spools.PLUGIN_SECONDS)
        if self.copies.registering is not None:
            spools.give_back(connection, self.copies.name, self.copies.registering)
        close_client(connection)


def ask_workers(connection: Any, address: str) -> dict:
    """Asks the workers present their versions and build, so that their answers are in by the
    time this client has loaded torch (and read its own, to judge them); those
    without the memory to decode are not asked, as the run would not ask them."""
    from . import workers

    try:
        present = workers.workers_present(connection, address)
        asked = {worker: workers.ask(connection, worker)
                 for worker, info in present.items() if workers.fits_in_memory(info)}
        build_identity(), workers.installed_versions()
        return asked
    except SchedulerSilent:
        raise
    except Exception:  # the connection's own errors: the run's first look finds them
        return {}


def close_client(connection: Any) -> None:
    try:
        connection.close(timeout=5)
    except Exception:  # a scheduler that is gone cannot be told goodbye
        pass


def waited(event: threading.Event, seconds: float) -> bool:
    """Waits up to `seconds` for `event`, a little at a time: a signal that the system hands to
    another thread reaches this one's handler only between waits."""
    deadline = time.monotonic() + seconds
    while not event.wait(min(0.1, max(0.0, deadline - time.monotonic()))):
        if time.monotonic() >= deadline:
            return False
    return True
