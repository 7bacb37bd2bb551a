"""tovrel-decode --scheduler: the same output through a Dask cluster of worker processes on
127.0.0.1, working in a folder of their own; with a worker killed mid-run, workers of another
version or joining late, inputs the workers lack or that change, and TLS."""
import collections
import gzip
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import psutil
import pytest
import torch
import tovrel_tensors

from decoder_helpers import DECODER, chunk, default_signals
from tovrel_decode.tasks import STARTED_TOPIC

distributed = pytest.importorskip("distributed")

DASK = os.path.join(os.path.dirname(sys.executable), "dask")
REPOSITORY = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


@pytest.fixture(scope="module")
def workers_folder(tmp_path_factory):
    return tmp_path_factory.mktemp("workers")


@pytest.fixture(scope="module")
def cluster(workers_folder):
    # The workers start in a folder of their own, which holds namesakes of the inputs.
    here = os.getcwd()
    os.chdir(workers_folder)
    try:
        local = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                         host="127.0.0.1", dashboard_address=":0",
                                         silence_logs=50)
    finally:
        os.chdir(here)
    with local, distributed.Client(local, set_as_default=False) as client:
        yield local, client


def slow_scores(path, chunks):
    """Chunks that each take a while with --beam-size 256: narrow spreads keep many paths."""
    torch.save(torch.randn(chunks, 4000, 80, generator=torch.Generator().manual_seed(8)) * 0.05,
               path)


def start_worker(address, folder, *options):
    return subprocess.Popen([DASK, "worker", address, "--nthreads", "1", "--no-dashboard",
                             *options], cwd=folder, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def spools_held():
    """The files a process holds open that no longer have a name (unnamed spools among them),
    and those of the copies of compressed inputs kept in $TMPDIR for the workers of a machine
    (open, or left there)."""
    import glob
    import tempfile

    targets = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            targets.append(os.readlink(f"/proc/self/fd/{fd}"))
        except OSError:
            pass
    return [target for target in targets if target.endswith(" (deleted)") or
            "/tovrel-copies-" in target] + \
        glob.glob(os.path.join(tempfile.gettempdir(), "tovrel-copies-*"))


def decoding(client):
    """True once a decode task runs on a worker."""
    return any(str(task).startswith("decode_task")
               for tasks in client.processing().values() for task in tasks)


def wait_until(condition, what, timeout=120):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting until {what}"
        time.sleep(0.05)


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("scores")
    generator = torch.Generator().manual_seed(3)
    # Narrow spreads and wide beams make every chunk take a while, so that a worker can be
    # caught holding a task.
    torch.save(torch.randn(6, 3000, 5 * 4**3, generator=generator) * 0.3, folder / "a.pt")
    torch.save({"scores": [chunk(400 + 50 * i, 3, i) for i in range(5)],
                "names": [f"read{i}" for i in range(5)]}, folder / "b.pt")
    os.mkdir(folder / "more")
    torch.save([chunk(300, 2, 9), chunk(200, 2, 10)], folder / "more" / "c.pt")
    return [str(folder / "a.pt"), str(folder / "b.pt"), str(folder / "more")]


# A worker with another tovrel, as Dask's own version report (which the client asks) reads it.
PRETEND = """
import distributed.versions as versions
if not hasattr(versions, "installed_version"):  # a preload may run more than once
    versions.installed_version = versions._version_cached
    versions._version_cached = lambda package: \\
        "0.0.9" if package == "tovrel" else versions.installed_version(package)
"""


def pretend_version(version):
    """On a worker: report tovrel `version`, or the installed one for None."""
    import distributed.versions as versions

    if not hasattr(versions, "installed_version"):
        versions.installed_version = versions._version_cached
    versions._version_cached = versions.installed_version if version is None else \
        (lambda package: version if package == "tovrel" else versions.installed_version(package))


def decode(*args, timeout=300, cwd=None):
    return subprocess.run([DECODER, *map(str, args)], capture_output=True, timeout=timeout,
                          cwd=cwd)


def test_cluster_output_is_byte_identical_to_a_local_run(cluster, inputs, tmp_path,
                                                        workers_folder):
    local, _ = cluster
    # A relative path names the file where the user stands, not the workers' namesake.
    (tmp_path / "user").mkdir()
    torch.save([chunk(120, 2, 20)], tmp_path / "user" / "one.pt")
    torch.save([chunk(50, 2, 21)], workers_folder / "one.pt")
    here = decode("one.pt", cwd=tmp_path / "user")
    there = decode("one.pt", "--scheduler", local.scheduler_address, cwd=tmp_path / "user")
    assert there.returncode == 0 and there.stdout == here.stdout, there.stderr
    # A compressed input is decompressed on a worker into an unnamed file, given back once the
    # run is done.
    with open(tmp_path / "user" / "one.pt", "rb") as plain, \
            gzip.open(tmp_path / "user" / "one.pt.gz", "wb") as packed:
        packed.write(plain.read())
    with distributed.Client(local.scheduler_address) as client:
        before = client.run(spools_held)
        there = decode("one.pt.gz", "--scheduler", local.scheduler_address,
                       cwd=tmp_path / "user")
        assert there.returncode == 0 and there.stdout == here.stdout, there.stderr
        assert client.run(spools_held) == before
    missing = decode("absent.pt", "--scheduler", local.scheduler_address, cwd=tmp_path / "user")
    assert missing.stderr.decode().strip() == \
        f"tovrel-decode: error: {tmp_path / 'user' / 'absent.pt'}: No such file or directory"
    (tmp_path / "local").mkdir()
    (tmp_path / "cluster").mkdir()
    for name in ("reads.fastq", "reads.bam"):
        here = decode(*inputs, "-o", name, "--beam-size", "64", "-q", cwd=tmp_path / "local")
        there = decode(*inputs, "-o", name, "--beam-size", "64", "-q", "--scheduler",
                       local.scheduler_address, cwd=tmp_path / "cluster")
        assert here.returncode == 0 and there.returncode == 0, there.stderr
        assert (tmp_path / "local" / name).read_bytes() == \
            (tmp_path / "cluster" / name).read_bytes()
    # Standard output too, with the summary of a local run.
    there = decode(*inputs, "--beam-size", "64", "--scheduler", local.scheduler_address)
    assert there.stdout == (tmp_path / "local" / "reads.fastq").read_bytes()
    assert there.stderr.decode().startswith("tovrel-decode: 13 reads from 13 chunks, ")


def test_a_worker_killed_mid_run(cluster, inputs, tmp_path):
    local, client = cluster
    client.wait_for_workers(2, timeout=60)
    want = decode(inputs[0], "-o", tmp_path / "local.fq", "--beam-size", "256", "-q")
    assert want.returncode == 0
    process = subprocess.Popen([DECODER, inputs[0], "-o", str(tmp_path / "cluster.fq"),
                                "--beam-size", "256", "-q", "--scheduler",
                                local.scheduler_address], stderr=subprocess.PIPE)
    killed = []

    def kill_a_busy_worker():
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and process.poll() is None:
            busy = [worker for worker, tasks in client.processing().items()
                    if any(str(task).startswith("decode_task") for task in tasks)]
            if busy:
                pid = client.run(os.getpid, workers=[busy[0]])[busy[0]]
                os.kill(pid, signal.SIGKILL)
                killed.append(pid)
                return
            time.sleep(0.05)

    killer = threading.Thread(target=kill_a_busy_worker)
    killer.start()
    _, err = process.communicate(timeout=300)
    killer.join()
    assert killed, "no worker was seen holding a task"
    assert process.returncode == 0, err
    assert (tmp_path / "cluster.fq").read_bytes() == (tmp_path / "local.fq").read_bytes()
    client.wait_for_workers(2, timeout=60)  # the nanny starts a new worker


def test_workers_of_another_version_get_no_tasks(cluster, inputs, tmp_path):
    local, client = cluster
    client.wait_for_workers(2, timeout=60)

    client.run(pretend_version, "0.0.9")
    try:
        result = decode(*inputs, "-o", tmp_path / "out.fq", "--scheduler",
                        local.scheduler_address)
    finally:
        client.run(pretend_version, None)
    # Each is left out with a warning; with none left for the grace period, the run ends.
    lines = result.stderr.decode().strip().splitlines()
    assert result.returncode == 1 and len(lines) == 3, lines
    assert all(line.endswith("; it gets no tasks") for line in lines[:2])
    assert lines[2].startswith("tovrel-decode: error: no worker can take tasks: worker ")
    assert "has tovrel 0.0.9" in lines[2]
    assert f"this client has tovrel {tovrel_tensors.__version__}" in lines[2]
    assert not (tmp_path / "out.fq").exists()


def test_inputs_the_workers_cannot_read_and_unreachable_schedulers(cluster, tmp_path):
    local, _ = cluster
    bad = tmp_path / "nan.pt"
    nan = chunk(50, 2, 1)
    nan[3, 3] = float("nan")
    torch.save([chunk(50, 2, 0), nan], bad)
    for args, status in (([], 1), (["--skip-invalid"], 0)):
        result = decode(bad, "--scheduler", local.scheduler_address, *args)
        assert result.returncode == status
        assert "read nan_1: scores at block 3 hold NaN" in result.stderr.decode()
        # The read before the bad one was streamed: standard output is not all or nothing.
        assert result.stdout.count(b"@nan_") == 1
    # Stored guides that break the chunk rule are refused before any task, as a local run does.
    torch.save({"scores": [chunk(10, 2, 1)], "back_guides": [torch.zeros(175)],
                "posts": [torch.zeros(176)]}, tmp_path / "short.pt")
    refusals = [decode(tmp_path / "short.pt", *args).stderr.decode()
                for args in ([], ["--scheduler", local.scheduler_address])]
    assert refusals[0] == refusals[1] and "back_guides holds 175 elements" in refusals[0]
    # Nothing listens on this port: one line, exit 1, nothing written.
    unreachable = decode(bad, "-o", tmp_path / "out.fq", "--scheduler", "tcp://127.0.0.1:9",
                         timeout=120)
    lines = unreachable.stderr.decode().strip().splitlines()
    assert unreachable.returncode == 1 and len(lines) == 1
    assert lines[0].startswith("tovrel-decode: error: tcp://127.0.0.1:9: cannot reach")
    assert not (tmp_path / "out.fq").exists()


def test_malformed_addresses_are_usage_errors(tmp_path):
    torch.save(chunk(10, 2, 1), tmp_path / "in.pt")
    for address in ("bogus://x", "localhost", "tcp://127.0.0.1:abc", "", "not-a-url",
                    "tcp://127.0.0.1:70000"):
        result = decode(tmp_path / "in.pt", "--scheduler", address, timeout=60)
        lines = result.stderr.decode().strip().splitlines()
        assert result.returncode == 2 and len(lines) == 2, (address, lines)
        assert "is not a scheduler address" in lines[1]


def test_an_input_replaced_mid_run(cluster, tmp_path):
    local, client = cluster
    client.wait_for_workers(2, timeout=60)
    slow_scores(tmp_path / "slow.pt", 40)
    torch.save(torch.randn(40, 4000, 80) * 0.05, tmp_path / "other.pt")
    process = subprocess.Popen([DECODER, str(tmp_path / "slow.pt"), "-o",
                                str(tmp_path / "out.fq"), "--beam-size", "256", "--scheduler",
                                local.scheduler_address], stderr=subprocess.PIPE)
    wait_until(lambda: decoding(client) or process.poll() is not None, "decoding starts")
    os.replace(tmp_path / "other.pt", tmp_path / "slow.pt")
    _, err = process.communicate(timeout=300)
    assert process.returncode == 1 and err.decode() == \
        f"tovrel-decode: error: {tmp_path / 'slow.pt'} changed or was removed during the run\n"
    assert not (tmp_path / "out.fq").exists()
    # Removed, as every worker and the client see: the same, not a worker that cannot read it.
    slow_scores(tmp_path / "slow.pt", 40)
    process = subprocess.Popen([DECODER, str(tmp_path / "slow.pt"), "-o",
                                str(tmp_path / "out.fq"), "--beam-size", "256", "--scheduler",
                                local.scheduler_address], stderr=subprocess.PIPE)
    wait_until(lambda: decoding(client) or process.poll() is not None, "decoding starts")
    os.remove(tmp_path / "slow.pt")
    _, err = process.communicate(timeout=300)
    assert process.returncode == 1 and err.decode() == \
        f"tovrel-decode: error: {tmp_path / 'slow.pt'} changed or was removed during the run\n"
    assert not (tmp_path / "out.fq").exists()
    # A folder's file removed or cut short once planned, or its folder replaced by a file: the
    # same (the workers saw no file, or a damaged one).
    folder = tmp_path / "folder"
    for change in (os.remove, lambda path: os.truncate(path, 100),
                   lambda path: (os.rename(folder, tmp_path / "gone"), folder.write_bytes(b"x"))):
        shutil.rmtree(tmp_path / "gone", ignore_errors=True)
        folder.mkdir()
        slow_scores(folder / "slow.pt", 40)
        process = subprocess.Popen([DECODER, str(folder), "-o", str(tmp_path / "out.fq"),
                                    "--beam-size", "256", "--scheduler",
                                    local.scheduler_address], stderr=subprocess.PIPE)
        wait_until(lambda: decoding(client) or process.poll() is not None, "decoding starts")
        change(folder / "slow.pt")
        _, err = process.communicate(timeout=300)
        assert process.returncode == 1 and err.decode() == \
            f"tovrel-decode: error: {folder / 'slow.pt'} changed or was removed during the run\n"
        assert not (tmp_path / "out.fq").exists()
        if folder.is_dir():
            shutil.rmtree(folder)
        else:
            folder.unlink()


def test_workers_joining_mid_run_get_tasks_and_stale_ones_none(tmp_path):
    slow_scores(tmp_path / "slow.pt", 100)
    want = decode(tmp_path / "slow.pt", "--beam-size", "256", "-q")
    (tmp_path / "pretend.py").write_text(PRETEND)
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=":0",
                                  silence_logs=50) as local, \
            distributed.Client(local, set_as_default=False) as client:
        process = subprocess.Popen([DECODER, str(tmp_path / "slow.pt"), "--beam-size", "256",
                                    "--scheduler", local.scheduler_address],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        wait_until(lambda: decoding(client), "decoding starts")
        # The first worker pauses while the others join, so that work is left for them.
        (first,) = client.run(os.getpid).values()
        os.kill(first, signal.SIGSTOP)
        joining = [start_worker(local.scheduler_address, tmp_path, "--name", "late"),
                   start_worker(local.scheduler_address, tmp_path, "--name", "stale",
                                "--preload", str(tmp_path / "pretend.py"))]
        try:
            wait_until(lambda: len(client.scheduler_info(n_workers=-1)["workers"]) == 3,
                       "the workers join")
            # The run cannot end while the first worker pauses: the stale one is probed by then.
            # (Read unbuffered: communicate() below reads the pipe itself.)
            warning = b""
            while not warning.endswith(b"\n"):
                assert select.select([process.stderr], [], [], 120)[0], "no stale worker warning"
                warning += os.read(process.stderr.fileno(), 1)
            os.kill(first, signal.SIGCONT)
            out, err = process.communicate(timeout=600)
            err = warning + err
            names = {address: info["name"] for address, info in
                     client.scheduler_info(n_workers=-1)["workers"].items()}
            # Each decoding task tells the client of its start: count them by worker.
            executed = collections.Counter(names[message["worker"]] for _, message in
                                           client.get_events(STARTED_TOPIC))
        finally:
            os.kill(first, signal.SIGCONT)
            for worker in joining:
                worker.terminate()
                worker.wait(timeout=60)
    assert process.returncode == 0 and out == want.stdout, err
    lines = err.decode().strip().splitlines()
    assert len(lines) == 2 and "has tovrel 0.0.9" in lines[0], lines
    assert lines[0].endswith("it gets no tasks")
    assert executed["late"] > 0 and executed["stale"] == 0, executed


@pytest.mark.skipif(shutil.which("openssl") is None, reason="the example needs openssl")
def test_the_tls_example(tmp_path):
    torch.save([chunk(200, 3, i) for i in range(4)], tmp_path / "in.pt")
    want = decode(tmp_path / "in.pt", "-o", tmp_path / "local.fq")
    environment = {**os.environ, "PATH": f"{os.path.dirname(sys.executable)}:{os.environ['PATH']}"}
    result = subprocess.run(["bash", os.path.join(REPOSITORY, "examples", "tls-cluster.sh"),
                             str(tmp_path / "tls"), str(tmp_path / "in.pt"),
                             str(tmp_path / "cluster.fq")], env=environment,
                            capture_output=True, timeout=300)
    assert result.returncode == 0 and want.returncode == 0, result.stderr
    assert (tmp_path / "cluster.fq").read_bytes() == (tmp_path / "local.fq").read_bytes()
    # Every connection was TLS, every listener on 127.0.0.1 (the script checks with ss), and
    # nothing it started is left running (its processes work in its folder; another run's
    # cluster on this machine is not ours to judge).
    log = (tmp_path / "tls" / "scheduler.log").read_text()
    assert "Stopped scheduler at 'tls://127.0.0.1:" in log
    ours = str(tmp_path / "tls")
    assert not [process for process in psutil.process_iter(["cmdline", "cwd"])
                if "scheduler.json" in " ".join(process.info["cmdline"] or []) and
                process.info["cwd"] == ours]


# Operating a cluster


@pytest.fixture
def scheduler():
    """A scheduler without workers; the tests start the workers they need."""
    with distributed.LocalCluster(n_workers=0, host="127.0.0.1", dashboard_address=":0",
                                  silence_logs=50) as local, \
            distributed.Client(local, set_as_default=False) as client:
        yield local.scheduler_address, client


def address_of(client):
    """The address of the cluster's only worker."""
    (address,) = client.scheduler_info(n_workers=-1)["workers"]
    return address


def worker_states(client):
    return {info["name"]: info["status"]
            for info in client.scheduler_info(n_workers=-1)["workers"].values()}


def test_paused_and_undersized_workers_end_the_run_in_one_line(scheduler, tmp_path):
    address, client = scheduler
    torch.save([chunk(100, 2, i) for i in range(4)], tmp_path / "in.pt")
    # Dask pauses a worker past a share of its memory limit; this one's share is tiny.
    pausing = {**os.environ, "DASK_DISTRIBUTED__WORKER__MEMORY__PAUSE": "0.01"}
    workers = [subprocess.Popen([DASK, "worker", address, "--nthreads", "1", "--no-dashboard",
                                 "--name", "paused", "--memory-limit", "2GB"], cwd=tmp_path,
                                env=pausing, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL),
               start_worker(address, tmp_path, "--name", "small", "--memory-limit", "300MB")]
    try:
        wait_until(lambda: worker_states(client) == {"paused": "paused", "small": "running"},
                   "one worker is paused and the other runs")
        result = decode(tmp_path / "in.pt", "-o", tmp_path / "out.fq", "--scheduler", address)
        workers[0].terminate()
        workers[0].wait(timeout=60)
        wait_until(lambda: worker_states(client) == {"small": "running"}, "one worker is left")
        # Every worker too small: the run ends at once, without waiting for the grace.
        alone = decode(tmp_path / "in.pt", "--scheduler", address)
    finally:
        for worker in workers:
            worker.terminate()
            worker.wait(timeout=60)
    lines = result.stderr.decode().strip().splitlines()
    assert result.returncode == 1 and len(lines) == 2, lines
    assert "has a memory limit of 300 MB, less than decoding with 1 thread needs" in lines[0]
    assert lines[0].endswith("give at least 1159 MB); it gets no tasks")
    assert lines[1].startswith("tovrel-decode: error: no worker can take tasks: worker tcp://")
    assert "is paused for memory (it holds " in lines[1] and "of its 2000 MB limit)" in lines[1]
    assert not (tmp_path / "out.fq").exists()
    lines = alone.stderr.decode().strip().splitlines()
    assert alone.returncode == 1 and len(lines) == 2, lines
    assert lines[1].startswith("tovrel-decode: error: no worker can take tasks: every worker's "
                               "memory limit is below what decoding needs: worker tcp:")
    assert lines[1].endswith(" has 300 MB of the 1159 MB it needs")


@pytest.mark.skipif(os.geteuid() != 0, reason="a worker without root's file access needs root")
def test_a_worker_that_cannot_read_an_input_is_left_out(scheduler, tmp_path):
    address, client = scheduler
    private = tmp_path / "private.pt"
    torch.save([chunk(200, 2, i) for i in range(12)], private)
    os.chown(private, 12345, 12345)
    private.chmod(0o600)
    want = decode(private, "-q")
    # As root, but without the capabilities that let root read any file.
    blind = subprocess.Popen(["setpriv", "--bounding-set=-dac_override,-dac_read_search", DASK,
                              "worker", address, "--nthreads", "1", "--no-dashboard", "--name",
                              "blind"], cwd=tmp_path, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    seeing = start_worker(address, tmp_path, "--name", "seeing")
    try:
        wait_until(lambda: len(worker_states(client)) == 2, "both workers join")
        both = decode(private, "--scheduler", address, "-q")
        seeing.terminate()
        seeing.wait(timeout=60)
        wait_until(lambda: len(worker_states(client)) == 1, "one worker is left")
        alone = decode(private, "--scheduler", address)
    finally:
        for worker in (blind, seeing):
            worker.terminate()
            worker.wait(timeout=60)
    assert both.returncode == 0 and both.stdout == want.stdout, both.stderr
    assert all(line.endswith(f"cannot read {private}: Permission denied; it gets no tasks")
               for line in both.stderr.decode().splitlines())
    assert alone.returncode == 1
    assert alone.stderr.decode().strip().splitlines()[-1].startswith(
        f"tovrel-decode: error: no worker can read {private}; worker tcp://")


@pytest.fixture(scope="module")
def certificates(tmp_path_factory):
    """A CA, a certificate it signs for 127.0.0.1, and another CA that signed nothing here."""
    folder = tmp_path_factory.mktemp("certificates")

    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)

    for name in ("ca", "other"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                f"/CN={name}", "-keyout", f"{name}.key", "-out", f"{name}.pem")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
            "node.key", "-out", "node.csr")
    (folder / "node.ext").write_text("subjectAltName=IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "node.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "2", "-extfile", "node.ext", "-out", "node.pem")
    openssl("x509", "-req", "-in", "node.csr", "-CA", "other.pem", "-CAkey", "other.key",
            "-CAcreateserial", "-days", "2", "-extfile", "node.ext", "-out", "stranger.pem")
    # One that expired long ago, signed by the cluster's CA.
    (folder / "ca.cnf").write_text("[ca]\ndefault_ca = d\n[d]\ndatabase = index.txt\n"
                                   "new_certs_dir = .\nserial = serial\ndefault_md = sha256\n"
                                   "policy = p\n[p]\ncommonName = supplied\n")
    (folder / "index.txt").write_text("")
    (folder / "serial").write_text("01\n")
    openssl("ca", "-batch", "-config", "ca.cnf", "-cert", "ca.pem", "-keyfile", "ca.key", "-in",
            "node.csr", "-startdate", "20200101000000Z", "-enddate", "20200102000000Z",
            "-extfile", "node.ext", "-notext", "-out", "expired.pem")
    return folder


def tls_settings(folder, **changes):
    settings = {"DASK_DISTRIBUTED__COMM__REQUIRE_ENCRYPTION": "True",
                "DASK_DISTRIBUTED__COMM__TLS__CA_FILE": str(folder / "ca.pem")}
    for role in ("SCHEDULER", "WORKER", "CLIENT"):
        settings[f"DASK_DISTRIBUTED__COMM__TLS__{role}__CERT"] = str(folder / "node.pem")
        settings[f"DASK_DISTRIBUTED__COMM__TLS__{role}__KEY"] = str(folder / "node.key")
    settings.update(changes)
    return settings


def tls_scheduler(folder, environment):
    """A TLS scheduler started in `folder`, and its address once it listens."""
    process = subprocess.Popen([DASK, "scheduler", "--protocol", "tls", "--host", "127.0.0.1",
                                "--port", "0", "--dashboard-address", "127.0.0.1:0",
                                "--scheduler-file", "scheduler.json"], cwd=folder,
                               env=environment, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    import json

    wait_until(lambda: process.poll() is not None or (folder / "scheduler.json").exists() and
               (folder / "scheduler.json").stat().st_size > 0, "the scheduler starts")
    return process, json.loads((folder / "scheduler.json").read_text())["address"]


@pytest.mark.skipif(shutil.which("openssl") is None, reason="certificates need openssl")
def test_tls_mistakes_are_one_line(certificates, tmp_path):
    torch.save(chunk(20, 2, 1), tmp_path / "in.pt")
    environment = {**os.environ, **tls_settings(certificates)}
    (tmp_path / "good").mkdir()
    (tmp_path / "expired").mkdir()
    schedulers = []
    try:
        scheduler, tls = tls_scheduler(tmp_path / "good", environment)
        schedulers.append(scheduler)
        scheduler, expired = tls_scheduler(tmp_path / "expired", {
            **environment, "DASK_DISTRIBUTED__COMM__TLS__SCHEDULER__CERT":
            str(certificates / "expired.pem")})
        schedulers.append(scheduler)
        tcp = tls.replace("tls://", "tcp://")
        plain = {key: value for key, value in os.environ.items()
                 if not key.startswith("DASK_DISTRIBUTED__COMM")}
        client_cert = "DASK_DISTRIBUTED__COMM__TLS__CLIENT__CERT"
        without_key = {key: value for key, value in environment.items()
                       if key != "DASK_DISTRIBUTED__COMM__TLS__CLIENT__KEY"}
        cases = {
            "no settings": (tls, plain, f"{tls}: tls:// needs the cluster's certificates"),
            "plain client": (tcp, plain, f"{tcp}: the scheduler closed the connection; if it "
                                         "requires TLS, use tls://"),
            "required": (tcp, environment, f"{tcp}: encryption is required"),
            "mistyped": (tls, {**environment, client_cert: str(certificates / "nod.pem")},
                         f"{certificates / 'nod.pem'}: No such file or directory "
                         f"({client_cert})"),
            "wrong CA": (tls, {**environment, "DASK_DISTRIBUTED__COMM__TLS__CA_FILE":
                               str(certificates / "other.pem")},
                         f"{tls}: the TLS handshake failed (the scheduler's certificate is not "
                         "signed by the CA file's CA)"),
            "expired client": (tls, {**environment, client_cert: str(certificates / "expired.pem")},
                               f"{tls}: the scheduler refused this client's certificate, which "
                               f"has expired ({certificates / 'expired.pem'}, {client_cert})"),
            "stranger client": (tls, {**environment,
                                      client_cert: str(certificates / "stranger.pem")},
                                f"{tls}: the scheduler refused this client's certificate "
                                f"({certificates / 'stranger.pem'}, {client_cert}): it must be "
                                "signed by the cluster's CA"),
            "no key": (tls, without_key, f"{certificates / 'node.pem'} holds no private key and "
                                         "DASK_DISTRIBUTED__COMM__TLS__CLIENT__KEY is not set"),
            "expired scheduler": (expired, environment,
                                  f"{expired}: the scheduler's certificate has expired"),
        }
        for case, (address, settings, message) in cases.items():
            result = subprocess.run([DECODER, str(tmp_path / "in.pt"), "--scheduler", address],
                                    env=settings, capture_output=True, text=True, timeout=120)
            lines = result.stderr.strip().splitlines()
            assert result.returncode == 1 and len(lines) == 1, (case, lines)
            assert lines[0].startswith(f"tovrel-decode: error: {message}"), (case, lines)
    finally:
        for scheduler in schedulers:
            scheduler.terminate()
            scheduler.wait(timeout=60)


def small_files(folder, count, seed):
    """A folder of `count` one-chunk files of 30 blocks, named in input order."""
    folder.mkdir()
    for i in range(count):
        torch.save(chunk(30, 2, seed + i), folder / f"{i:03d}.pt")
    return folder


def test_small_files_share_tasks(cluster, tmp_path):
    local, client = cluster
    client.wait_for_workers(2, timeout=60)
    folder = small_files(tmp_path / "small", 200, seed=0)
    want = decode(folder, "-q")
    files = sorted(folder.iterdir())
    # A folder is listed on a worker, then planned in groups of files side by side (two at
    # least, more once both workers are known); files the client sees need no listing. The
    # reads come in input order either way.
    for inputs, listing in (([folder], 1), (files, 0)):
        before = len(client.get_events(STARTED_TOPIC))
        there = decode(*inputs, "-q", "--scheduler", local.scheduler_address)
        assert there.returncode == 0 and there.stdout == want.stdout, there.stderr
        started = [event for _, event in client.get_events(STARTED_TOPIC)[before:]]
        assert len(started) < 50  # 200 files
        assert sum(event["task"].startswith("plan-") for event in started) >= listing + 2


def count_opens(start):
    """On a worker: counts the input files opened from now on, or ends the count and says
    which (a path for each opening)."""
    from tovrel_decode import inputs as opening

    real = opening.__dict__.setdefault("real_open_input", opening.open_input)
    if not start:
        opening.open_input = real
        return opening.files_opened

    def counted(path, *args, **options):
        opening.files_opened.append(path)
        return real(path, *args, **options)

    opening.files_opened = []
    opening.open_input = counted
    return []


def test_small_files_are_decoded_as_they_are_planned(cluster, tmp_path):
    local, client = cluster
    client.wait_for_workers(2, timeout=60)
    folder = small_files(tmp_path / "small", 200, seed=300)
    want = decode(folder, "-q")
    client.run(count_opens, True)
    before = len(client.get_events(STARTED_TOPIC))
    try:
        there = decode(*sorted(folder.iterdir()), "-q", "--scheduler", local.scheduler_address)
    finally:
        opened = client.run(count_opens, False)
    assert there.returncode == 0 and there.stdout == want.stdout, there.stderr
    # The task that opens a small file to plan the run decodes it: each file is opened once,
    # and no decode task runs.
    counts = collections.Counter(path for paths in opened.values() for path in paths)
    assert counts == {str(path): 1 for path in folder.iterdir()}, counts
    started = [event["task"] for _, event in client.get_events(STARTED_TOPIC)[before:]]
    assert started and all(task.startswith("plan-") for task in started), started
    # Beside files too large for that, and past the run's budget for it, decode tasks take
    # the rest: every read still comes in input order.
    for i in (3, 77, 78, 150):
        torch.save(chunk(3400, 3, i), folder / f"{i:03d}.pt")  # 4.4 MB
    want = decode(folder, "-q")
    for budget in (4_000_000, 2000):
        there = decode_patched(f"from tovrel_decode import early\n"
                               f"early.RUN_PLAN_DECODE_BLOCKS = {budget}", folder, "-q",
                               "--scheduler", local.scheduler_address)
        assert there.returncode == 0 and there.stdout == want.stdout, there.stderr
    # A chunk decoded in the plan that cannot be trusted meets the invalid-read policy there.
    bad = chunk(30, 2, 5)
    bad[7, 3] = float("nan")
    torch.save(bad, folder / "100.pt")
    for policy in ([], ["--skip-invalid"]):
        want = decode(folder, "-q", *policy)
        there = decode(folder, "-q", *policy, "--scheduler", local.scheduler_address)
        assert (there.returncode, there.stdout, there.stderr) == \
            (want.returncode, want.stdout, want.stderr)
        assert want.returncode == (0 if policy else 1)


# `change` (Python source) is run on the client once, as the first planning task's result comes
# back (after the worker has read and decoded the group's small files) or after the plan.
CHANGED_DURING_PLAN = """
import os
from tovrel_decode import cluster
done = []
real_sources, real_plan = cluster.planned_sources, cluster.Planning.plan
def change():
    if not done:
        done.append(1)
        {change}
def planned_sources(*args):
    if {as_it_returns}:
        change()
    return real_sources(*args)
def plan(self, paths, before):
    planned = real_plan(self, paths, before)
    change()
    return planned
cluster.planned_sources, cluster.Planning.plan = planned_sources, plan
"""


def test_a_file_decoded_in_the_plan_is_checked_again_before_its_reads_are_written(
        cluster, tmp_path):
    local, client = cluster
    client.wait_for_workers(2, timeout=60)
    for i in range(3):
        torch.save(chunk(30, 2, 400 + i), tmp_path / f"{i}.pt")
    path = tmp_path / "1.pt"
    for as_it_returns in (True, False):
        for change in (f"os.replace({str(tmp_path / 'other')!r}, {str(path)!r})",
                       f"os.remove({str(path)!r})"):
            torch.save(chunk(30, 2, 9), tmp_path / "other")
            patch = CHANGED_DURING_PLAN.format(change=change, as_it_returns=as_it_returns)
            result = decode_patched(patch, tmp_path / "0.pt", path, tmp_path / "2.pt", "-o",
                                    tmp_path / "out.fq", "--scheduler", local.scheduler_address)
            assert result.returncode == 1 and result.stderr.decode() == \
                f"tovrel-decode: error: {path} changed or was removed during the run\n", \
                (change, as_it_returns)
            assert not (tmp_path / "out.fq").exists()
            torch.save(chunk(30, 2, 401), path)


def test_a_held_file_is_checked_again_before_a_task_decodes_it(tmp_path, monkeypatch):
    from tovrel_decode import spools, tasks

    path = tmp_path / "in.pt"
    torch.save([chunk(100, 2, i) for i in range(3)], path)
    seen = tasks.client_view(str(path))

    class Shared:
        held = spools.HeldSources()

    def hold():
        source = tasks.opened(str(path), seen)
        Shared.held.hold(str(path), source, tasks.view_of(str(path), source.identity), 1)
        return source

    source = hold()
    assert tasks.reopened(str(path), seen, Shared) is source
    # A task takes it: the next one opens the file again, and nothing stays held for the run.
    assert tasks.reopened(str(path), seen, Shared) is not source and not Shared.held.sources
    # Replaced after the plan: the held source is not used, and the new file is not the one the
    # client saw.
    source = hold()
    view = tasks.view_of(str(path), source.identity)
    torch.save([chunk(100, 2, 9)], tmp_path / "new.pt")
    os.replace(tmp_path / "new.pt", path)
    with pytest.raises(tasks.UnreadableInput) as raised:
        tasks.reopened(str(path), seen, Shared)
    assert raised.value.differs
    # Nor is a held source whose view is not the client's.
    Shared.held.hold(str(path), source, view, 1)
    assert tasks.reopened(str(path), tasks.client_view(str(path)), Shared) is not source
    # A held file may keep a descriptor open: a worker holds only so many at once.
    monkeypatch.setattr(spools, "HELD_FILES", 2)
    for name in "abc":
        Shared.held.hold(name, source, None, 1)
    assert sorted(Shared.held.sources) == ["a", "b"]


# The plan is the account of a run


def decode_patched(patch, *args, timeout=300, **popen):
    """The command in a process of its own, after `patch` (Python source) changed it: faults
    injected where they are hard to cause from outside."""
    code = f"import sys\n{patch}\nfrom tovrel_decode.cli import main\nsys.exit(main(sys.argv[1:]))"
    command = [sys.executable, "-c", code, *map(str, args)]
    # Some patches signal the command: it must not inherit a background job's ignored SIGINT.
    if popen:
        return subprocess.Popen(command, preexec_fn=default_signals, **popen)
    return subprocess.run(command, capture_output=True, timeout=timeout,
                          preexec_fn=default_signals)


# The last chunk's result never comes, in either executor.
DROP_LAST = """
from tovrel_decode.{module} import {executor} as executor
real = executor.chunk_results
def chunk_results(self, reads):
    results = list(real(self, reads))
    yield from results[:-1]
executor.chunk_results = chunk_results
"""

# From the first decoded task on, the pool sees every worker paused for memory for `refreshes`
# looks at the cluster, and gives up after `grace` seconds without a worker. Decode tasks, not
# the plan, decode the small input.
PAUSED_AFTER_FIRST_RESULT = """
from tovrel_decode import cluster, early, workers
early.PLAN_DECODE_BLOCKS = 0
workers.NO_WORKERS_GRACE = {grace}
paused = {{"looks": None}}
real_result, real_present = cluster.ClusterExecutor.result, workers.WorkerPool.present
def result(self, task, top_up):
    value = real_result(self, task, top_up)
    if task.pieces and paused["looks"] is None:
        paused["looks"] = {refreshes}
        self.pool.refresh(force=True)
    return value
def present(self):
    found = real_present(self)
    if paused["looks"]:
        paused["looks"] -= 1
        for info in found.values():
            info["status"] = "paused"
    return found
cluster.ClusterExecutor.result, workers.WorkerPool.present = result, present
"""


def test_a_run_that_gives_fewer_reads_than_planned_fails(cluster, tmp_path):
    local, client = cluster
    client.wait_for_workers(2, timeout=60)
    torch.save([chunk(100, 2, i) for i in range(12)], tmp_path / "in.pt")
    want = decode(tmp_path / "in.pt", "-q")
    for module, executor, options in (("local", "LocalExecutor", []),
                                      ("cluster", "ClusterExecutor",
                                       ["--scheduler", local.scheduler_address])):
        patch = DROP_LAST.format(module=module, executor=executor)
        for output in ("out.fq", "-"):
            result = decode_patched(patch, tmp_path / "in.pt", "-o", output, *options)
            lines = result.stderr.decode().strip().splitlines()
            assert result.returncode == 1 and len(lines) == 1, (executor, lines)
            assert lines[0] == "tovrel-decode: error: internal error: the run gave 11 of its 12 " \
                               "planned reads (read in_11 and 0 more never came)", lines
            assert not (tmp_path / "out.fq").exists()
    # Every worker paused as the last task in flight comes back: the run waits for them.
    result = decode_patched(PAUSED_AFTER_FIRST_RESULT.format(grace=600, refreshes=3),
                            tmp_path / "in.pt", "--scheduler", local.scheduler_address, "-q")
    assert result.returncode == 0 and result.stdout == want.stdout, result.stderr
    # They stay paused: the run ends after its grace, saying why.
    result = decode_patched(PAUSED_AFTER_FIRST_RESULT.format(grace=0, refreshes=10**9),
                            tmp_path / "in.pt", "-o", tmp_path / "out.fq", "--scheduler",
                            local.scheduler_address)
    lines = result.stderr.decode().strip().splitlines()
    assert result.returncode == 1 and len(lines) == 1, lines
    assert lines[0].startswith("tovrel-decode: error: no worker can take tasks: worker tcp://")
    assert "is paused for memory" in lines[0]
    assert not (tmp_path / "out.fq").exists()


# On a worker: decoding (or planning) waits until a file exists.
HELD = """
import os
import time
from tovrel_decode import {module} as module
real = module.{function}
def held(*args):
    while not os.path.exists({release!r}):
        time.sleep(0.05)
    return real(*args)
module.{function} = held
"""


def test_a_run_whose_only_worker_is_left_out_by_the_task_timeout_fails(scheduler, tmp_path):
    address, client = scheduler
    torch.save([chunk(100, 2, i) for i in range(12)], tmp_path / "in.pt")
    (tmp_path / "held.py").write_text(HELD.format(module="tasks", function="decode_window",
                                                  release=str(tmp_path / "release")))
    worker = start_worker(address, tmp_path, "--preload", str(tmp_path / "held.py"))
    try:
        wait_until(lambda: len(worker_states(client)) == 1, "the worker joins")
        process = decode_patched("from tovrel_decode import cluster, early, workers\n"
                                 "early.PLAN_DECODE_BLOCKS = 0\n"
                                 "workers.NO_WORKERS_GRACE = 1", tmp_path / "in.pt", "-o",
                                 tmp_path / "out.fq", "--task-timeout", "1", "--scheduler",
                                 address, stderr=subprocess.PIPE)
        # Its tasks finish once it is left out: the run has work left and no worker for it.
        warning = process.stderr.readline().decode()
        (tmp_path / "release").touch()
        _, err = process.communicate(timeout=300)
    finally:
        worker.terminate()
        worker.wait(timeout=60)
    assert "was left out by --task-timeout (it ran a task of " in warning, warning
    lines = err.decode().strip().splitlines()
    assert process.returncode == 1 and len(lines) == 1, lines
    assert lines[0].startswith("tovrel-decode: error: no worker can take tasks: worker tcp://")
    assert "was left out by --task-timeout" in lines[0]
    assert not (tmp_path / "out.fq").exists()


def test_planning_has_the_time_limit_of_a_task(scheduler, tmp_path):
    address, client = scheduler
    torch.save([chunk(100, 2, i) for i in range(2)], tmp_path / "in.pt")
    (tmp_path / "held.py").write_text(HELD.format(module="inputs", function="expand",
                                                  release=str(tmp_path / "release")))
    worker = start_worker(address, tmp_path, "--preload", str(tmp_path / "held.py"))
    try:
        wait_until(lambda: len(worker_states(client)) == 1, "the worker joins")
        result = decode_patched("from tovrel_decode import workers\n"
                                "workers.NO_WORKERS_GRACE = 1", tmp_path / "in.pt",
                                "--task-timeout", "1", "--scheduler", address)
    finally:
        (tmp_path / "release").touch()
        worker.terminate()
        worker.wait(timeout=60)
    lines = result.stderr.decode().strip().splitlines()
    assert result.returncode == 1 and len(lines) == 2, lines
    assert "was left out by --task-timeout (it ran planning the inputs for over " in lines[1]


def test_inputs_that_cannot_travel_are_usage_errors(tmp_path):
    torch.save(chunk(10, 2, 1), tmp_path / "in.pt")
    os.mkfifo(tmp_path / "fifo")
    # Nothing listens there: the refusal comes before any connection.
    nowhere = ["--scheduler", "tcp://127.0.0.1:9"]
    cases = {str(tmp_path / "fifo"): "a FIFO", "/dev/null": "a device",
             "/dev/stdin": "a descriptor of this process",
             "/dev/fd/0": "a descriptor of this process"}
    for path, what in cases.items():
        result = decode(tmp_path / "in.pt", path, *nowhere, timeout=60)
        lines = result.stderr.decode().strip().splitlines()
        assert result.returncode == 2 and len(lines) == 2, (path, lines)
        assert lines[1] == f"tovrel-decode: error: {path}: {what} cannot be sent to a cluster " \
                           "(workers open the inputs by name); save it to a file on the shared " \
                           "file system", lines
    # A shell's process substitution is a descriptor too.
    result = subprocess.run(["bash", "-c", f'"$0" "$1" <(cat "$1") {" ".join(nowhere)}',
                             DECODER, str(tmp_path / "in.pt")], capture_output=True, timeout=60)
    assert result.returncode == 2
    assert "a descriptor of this process cannot be sent" in result.stderr.decode()
    # Reached through symbolic links, the same, decided by where the links lead on the client:
    # standard input a regular file here, /dev/null on a worker.
    links = {"to-stdin": ("/dev/stdin", "a link to /dev/stdin, a descriptor of this process"),
             "to-fifo": (str(tmp_path / "fifo"), "a FIFO"),
             "to-null": ("/dev/null", "a device"),
             "fds": ("/proc/self/fd", None)}
    for name, (target, _) in links.items():
        os.symlink(target, tmp_path / name)
    links["fds/0"] = (None, "a link to /proc/self/fd/0, a descriptor of this process")
    del links["fds"]
    for name, (_, what) in links.items():
        with open(tmp_path / "in.pt", "rb") as stdin:
            result = subprocess.run([DECODER, str(tmp_path / name), *nowhere], stdin=stdin,
                                    capture_output=True, timeout=60)
        lines = result.stderr.decode().strip().splitlines()
        assert result.returncode == 2 and lines[-1] == \
            f"tovrel-decode: error: {tmp_path / name}: {what} cannot be sent to a cluster " \
            "(workers open the inputs by name); save it to a file on the shared file system", \
            (name, lines)
    # A folder's entries are what the workers open: a link among them is refused the same way;
    # and a path through this process's working folder would be resolved in each worker's own.
    os.mkdir(tmp_path / "folder")
    os.symlink("/dev/stdin", tmp_path / "folder" / "x.pt")
    cwd_path = f"/proc/self/cwd/{tmp_path / 'in.pt'}"
    for path, shown_path, what in (
            (tmp_path / "folder", tmp_path / "folder" / "x.pt",
             "a link to /dev/stdin, a descriptor of this process"),
            (cwd_path, cwd_path, "a path through this process's own folders")):
        with open(tmp_path / "in.pt", "rb") as stdin:
            result = subprocess.run([DECODER, str(path), *nowhere], stdin=stdin,
                                    capture_output=True, timeout=60)
        lines = result.stderr.decode().strip().splitlines()
        assert result.returncode == 2 and lines[-1] == \
            f"tovrel-decode: error: {shown_path}: {what} cannot be sent to a cluster " \
            "(workers open the inputs by name); save it to a file on the shared file system", \
            (path, lines)
    # With --skip-unreadable a folder's FIFO is the listing's to skip, as in a local run; a link
    # to a descriptor of this process is still refused.
    os.mkfifo(tmp_path / "folder" / "y.pt")
    for skip in ([], ["--skip-unreadable"]):
        result = decode(tmp_path / "folder", *skip, *nowhere, timeout=60)
        assert result.returncode == 2 and b"x.pt: a link to /dev/stdin" in result.stderr
    os.unlink(tmp_path / "folder" / "x.pt")
    for skip, status in (([], 2), (["--skip-unreadable"], 1)):
        result = decode(tmp_path / "folder", *skip, *nowhere, timeout=60)
        assert result.returncode == status, (skip, result.stderr)
    assert b"cannot reach the scheduler" in result.stderr


def test_the_distributed_extra_pins_the_installed_dask():
    import importlib.metadata

    extra = [requirement.split(";")[0].strip()
             for requirement in importlib.metadata.requires("tovrel")
             if 'extra == "distributed"' in requirement]
    assert sorted(extra) == [f"dask=={importlib.metadata.version('dask')}",
                             f"distributed=={importlib.metadata.version('distributed')}"]


def test_a_worker_of_another_build_of_the_same_version_gets_no_tasks(scheduler, tmp_path):
    import tovrel_decode

    address, client = scheduler
    torch.save([chunk(100, 2, i) for i in range(4)], tmp_path / "in.pt")
    # The package as installed, with one file changed, found first on the worker's path.
    changed = tmp_path / "changed" / "tovrel_decode"
    shutil.copytree(os.path.dirname(tovrel_decode.__file__), changed,
                    ignore=shutil.ignore_patterns("__pycache__"))
    with open(changed / "engine.py", "a") as engine:
        engine.write("\n# rebuilt\n")
    worker = subprocess.Popen([DASK, "worker", address, "--nthreads", "1", "--no-dashboard"],
                              cwd=tmp_path, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              env={**os.environ, "PYTHONPATH": str(tmp_path / "changed")})
    try:
        wait_until(lambda: len(worker_states(client)) == 1, "the worker joins")
        result = decode(tmp_path / "in.pt", "-o", tmp_path / "out.fq", "--scheduler", address)
    finally:
        worker.terminate()
        worker.wait(timeout=60)
    lines = result.stderr.decode().strip().splitlines()
    assert result.returncode == 1 and len(lines) == 2, lines
    assert lines[0].startswith("tovrel-decode: warning: worker tcp://")
    assert lines[0].endswith(f" has another build of tovrel {tovrel_tensors.__version__} than "
                             "this client: its tovrel_decode files differ; it gets no tasks")
    assert lines[1].startswith("tovrel-decode: error: no worker can take tasks: worker tcp://")
    assert not (tmp_path / "out.fq").exists()


# The client's file is the input


def test_a_file_rewritten_in_place_with_its_size_and_time_is_another_file(tmp_path):
    from tovrel_decode import inputs as opening, tasks

    path = tmp_path / "in.pt"
    torch.save([chunk(100, 2, i) for i in range(3)], path)
    seen = tasks.view_of(str(path), opening.identity_of(os.stat(path)))
    assert tasks.opened(str(path), seen).path == str(path)
    before = os.stat(path)
    with open(path, "r+b") as file:
        file.seek(before.st_size // 2)
        byte = file.read(1)
        file.seek(before.st_size // 2)
        file.write(bytes([byte[0] ^ 1]))
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    assert opening.identity_of(os.stat(path)) == seen[1]
    with pytest.raises(tasks.UnreadableInput) as raised:
        tasks.opened(str(path), seen)
    assert raised.value.differs and raised.value.reason == tasks.ANOTHER_FILE


def test_a_file_replaced_while_a_worker_plans_it_is_a_change_not_the_workers_fault(tmp_path):
    from tovrel_decode import InputError, tasks

    path = tmp_path / "in.pt"
    torch.save([chunk(100, 2, 0)], path)
    before = tasks.client_view(str(path))
    torch.save([chunk(100, 2, 1)], tmp_path / "new.pt")
    os.replace(tmp_path / "new.pt", path)  # while the plan runs: the planner sees the new file
    planned = tasks.client_view(str(path))
    with pytest.raises(InputError, match="changed or was removed during the run"):
        tasks.planned_identity("tcp://worker", str(path), planned, before)
    # A planner that saw another file than the client's, the client's unchanged: the worker's.
    with pytest.raises(tasks.UnreadableInput):
        tasks.planned_identity("tcp://worker", str(path), before, planned)
    # A folder's file, which the client first looks at once it is planned: replaced since the
    # run began, a change; older than that, the planner saw another file.
    from tovrel_decode.sniff import RunStart, folder_identity

    for began, error in ((time.time() - 1, InputError), (time.time() + 60, tasks.UnreadableInput)):
        with pytest.raises(error):
            tasks.planned_identity("tcp://worker", str(path), before, None, RunStart(began, {}))
    # Its folder swapped for another by renames (whose files keep their change times), or the
    # file removed from it, since the run began: a change too, not the planner's fault.
    folder, other = tmp_path / "run", tmp_path / "other"
    for made in (folder, other):
        made.mkdir()
        torch.save([chunk(100, 2, len(str(made)))], made / "a.pt")
    planned = tasks.client_view(str(folder / "a.pt"))
    start = RunStart(time.time() + 60, {str(folder): folder_identity(str(folder))})
    os.rename(folder, tmp_path / "old")
    os.rename(other, folder)
    with pytest.raises(InputError, match="changed or was removed during the run"):
        tasks.planned_identity("tcp://worker", str(folder / "a.pt"), planned, None, start)
    start = RunStart(time.time() + 60, {str(folder): folder_identity(str(folder))})
    assert tasks.planned_identity("tcp://w", str(folder / "b.pt"), planned, None, start) == planned
    (folder / "a.pt").unlink()
    with pytest.raises(InputError, match="changed or was removed during the run"):
        tasks.planned_identity("tcp://worker", str(folder / "a.pt"), planned, None, start)


def test_a_listing_of_another_folder_than_the_clients(tmp_path, monkeypatch):
    from tovrel_decode import InputError, sniff, tasks
    from tovrel_decode.sniff import RunStart, folder_identity

    folder, old = tmp_path / "run", tmp_path / "old.pt"
    folder.mkdir()
    for name in ("a.pt", "b.pt"):
        torch.save([chunk(10, 2, 0)], folder / name)
    torch.save([chunk(10, 2, 1)], old)
    os.mkfifo(folder / "pipe.pt")
    (folder / "notes.txt").write_text("")
    every = [str(folder / "a.pt"), str(folder / "b.pt")]

    def start(seconds):  # a run that began that long after the files were made
        return RunStart(time.time() + seconds, {str(folder): folder_identity(str(folder))})

    assert tasks.another_folder(str(folder), every, start(60)) is None
    assert tasks.another_folder(str(folder), every[:1], start(60)) == \
        "another folder than the client's (1 of its files missing there, such as b.pt)"
    # Made since the run began, even as a symlink to an older file: not in the run.
    assert tasks.another_folder(str(folder), every[:1], start(-60)) is None
    monkeypatch.setattr(sniff, "CLOCK_MARGIN", 0.0)
    time.sleep(0.1)  # past the file system's clock tick
    began = start(0)
    time.sleep(0.1)
    os.symlink(old, folder / "c.pt")
    assert tasks.another_folder(str(folder), every, began) is None
    monkeypatch.undo()
    (folder / "c.pt").unlink()
    assert tasks.another_folder(str(folder), every + [str(folder / "z.pt")], start(60)) == \
        "another folder than the client's (1 file there that the client does not have, such " \
        "as z.pt)"
    # Gone from a folder that changed since the run began: a change during the run.
    before = start(60)
    (folder / "b.pt").unlink()
    with pytest.raises(InputError, match="b.pt changed or was removed during the run"):
        tasks.another_folder(str(folder), every, before)


@pytest.mark.skipif(os.geteuid() != 0 or shutil.which("unshare") is None,
                    reason="a worker with a mount namespace of its own (unshare -m) needs root")
def test_a_worker_that_sees_another_file_at_the_path_is_left_out(scheduler, tmp_path):
    address, client = scheduler
    path, other = tmp_path / "in.pt", tmp_path / "other.pt"
    torch.save([chunk(100, 2, i) for i in range(6)], path)
    torch.save([chunk(100, 2, 50 + i) for i in range(6)], other)
    os.utime(other, ns=(path.stat().st_atime_ns, path.stat().st_mtime_ns))
    want = decode(path, "-q")
    # A folder of which it sees an older state (a cache of the listing, say): one file short.
    folder, stale = tmp_path / "run", tmp_path / "stale"
    for made in (folder, stale):
        made.mkdir()
        os.link(path, made / "a.pt")
    torch.save([chunk(100, 2, 90)], folder / "b.pt")
    want_folder = decode(folder, "-q")
    # This worker sees the other file at the input's path, and the stale folder at the folder's.
    masked = subprocess.Popen(["unshare", "-m", "sh", "-c",
                               'mount --bind "$1" "$2" && mount --bind "$3" "$4" && shift 4 && '
                               'exec "$@"', "sh", str(other), str(path), str(stale), str(folder),
                               DASK, "worker", address, "--nthreads", "1", "--no-dashboard",
                               "--name", "masked"], cwd=tmp_path,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    workers = [masked]
    try:
        wait_until(lambda: len(worker_states(client)) == 1, "the masked worker joins")
        alone = decode(path, "-o", tmp_path / "out.fq", "--scheduler", address)
        alone_folder = decode(folder, "-o", tmp_path / "folder.fq", "--scheduler", address)
        workers.append(start_worker(address, tmp_path, "--name", "seeing"))
        wait_until(lambda: len(worker_states(client)) == 2, "both workers join")
        both = decode(path, "--scheduler", address)
        both_folder = decode(folder, "--scheduler", address)
    finally:
        for worker in workers:
            worker.terminate()
            worker.wait(timeout=60)
    # The folder's reads were left out of a run that reported success.
    for run, target, output, why in (
            (alone, path, "out.fq", "another file than the client's (its size, time, inode or "
                                    "content differ)"),
            (alone_folder, folder, "folder.fq", "another folder than the client's (1 of its "
                                                "files missing there, such as b.pt)")):
        lines = run.stderr.decode().strip().splitlines()
        assert run.returncode == 1 and len(lines) == 2, lines
        assert lines[0].endswith(f"cannot read {target}: {why}; it gets no tasks")
        assert lines[1].startswith(f"tovrel-decode: error: no worker can read {target}; worker ")
        assert not (tmp_path / output).exists()
    for run, wanted in ((both, want), (both_folder, want_folder)):
        assert run.returncode == 0 and run.stdout == wanted.stdout, run.stderr
        assert all(line.endswith("; it gets no tasks")
                   for line in run.stderr.decode().strip().splitlines()[:-1])


@pytest.mark.skipif(os.geteuid() != 0 or shutil.which("unshare") is None,
                    reason="a worker with a small tmpfs of its own (unshare -m) needs root")
def test_a_full_temporary_folder_is_named_as_such(scheduler, tmp_path):
    address, client = scheduler
    with gzip.open(tmp_path / "in.pt.gz", "wb") as packed:
        torch.save([chunk(2000, 3, i) for i in range(4)], packed)
    (tmp_path / "small").mkdir()
    worker = subprocess.Popen(["unshare", "-m", "sh", "-c",
                               'mount -t tmpfs -o size=1m tmpfs "$1" && shift && exec "$@"', "sh",
                               str(tmp_path / "small"), "env", f"TMPDIR={tmp_path / 'small'}",
                               DASK, "worker", address, "--nthreads", "1", "--no-dashboard"],
                              cwd=tmp_path, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_until(lambda: len(worker_states(client)) == 1, "the worker joins")
        full = address_of(client)
        result = decode(tmp_path / "in.pt.gz", "--scheduler", address)
        # A run that fails beside a copy that fits leaves nothing held on the worker, so that the
        # next run has the whole folder.
        (tmp_path / "both").mkdir()
        with gzip.open(tmp_path / "both" / "a.pt.gz", "wb") as packed:
            torch.save([chunk(300, 3, 9)], packed)
        os.link(tmp_path / "in.pt.gz", tmp_path / "both" / "b.pt.gz")
        assert decode(tmp_path / "both", "--scheduler", address).returncode == 1

        def held_in(folder):
            fds = [os.readlink(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd")
                   if os.path.exists(f"/proc/self/fd/{fd}")]
            with open("/proc/self/maps") as maps:
                return [name for name in fds + maps.read().splitlines()
                        if folder in name and "(deleted)" in name]

        assert list(client.run(held_in, str(tmp_path / "small")).values()) == [[]]
        assert decode(tmp_path / "both" / "a.pt.gz", "--scheduler", address).returncode == 0
    finally:
        worker.terminate()
        worker.wait(timeout=60)
    lines = result.stderr.decode().strip().splitlines()
    # The worker whose disk is full is named: the client's own $TMPDIR may have room.
    assert result.returncode == 1 and lines == [
        f"tovrel-decode: error: {tmp_path / 'in.pt.gz'}: cannot copy it into "
        f"{tmp_path / 'small'} on worker {full} ({socket.gethostname()}) (No space "
        "left on device); free space there or set TMPDIR to a folder with room"], lines


def count_copies(start):
    """On a worker: counts the decompressed copies of inputs made from now on, or ends the count
    and says how many."""
    from tovrel_decode import inputs as opening

    real = opening.__dict__.setdefault("real_decompressed", opening.decompressed)
    if not start:
        opening.decompressed = real
        return opening.copies_made

    def counted(*args, **options):
        opening.copies_made += 1
        return real(*args, **options)

    opening.copies_made = 0
    opening.decompressed = counted
    return 0


def test_a_compressed_input_is_decompressed_once_per_machine(cluster, tmp_path):
    local, client = cluster
    client.wait_for_workers(2, timeout=60)
    with gzip.open(tmp_path / "in.pt.gz", "wb") as packed:
        torch.save([chunk(200, 2, i) for i in range(24)], packed)
    want = decode(tmp_path / "in.pt.gz", "-q")
    before = client.run(spools_held)
    client.run(count_copies, True)
    try:
        there = decode(tmp_path / "in.pt.gz", "-q", "--scheduler", local.scheduler_address)
    finally:
        made = client.run(count_copies, False)
    assert there.returncode == 0 and there.stdout == want.stdout, there.stderr
    # The workers of a machine share one copy, made as the run starts, and the run's tasks
    # (more than one per worker) share it; it is given back when the run ends.
    assert sorted(made.values()) == [0, 1], made
    assert len(client.get_events(STARTED_TOPIC)) > 2
    assert client.run(spools_held) == before


def test_a_worker_stopped_before_the_run_is_left_out(scheduler, tmp_path):
    from tovrel_decode.builds import build_identity

    address, client = scheduler
    torch.save([chunk(100, 2, i) for i in range(6)], tmp_path / "in.pt")
    want = decode(tmp_path / "in.pt", "-q")
    workers = [start_worker(address, tmp_path, "--name", name) for name in ("stopped", "good")]
    stopped = None
    try:
        wait_until(lambda: len(worker_states(client)) == 2, "both workers join")
        names = {info["name"]: worker
                 for worker, info in client.scheduler_info(n_workers=-1)["workers"].items()}
        # The good worker has loaded the project, so that it answers at once.
        client.submit(build_identity, workers=[names["good"]], pure=False).result(timeout=300)
        stopped = client.run(os.getpid, workers=[names["stopped"]])[names["stopped"]]
        os.kill(stopped, signal.SIGSTOP)
        silent = "from tovrel_decode import workers\nworkers.SILENT_SECONDS = 20\n"
        both = decode_patched(silent, tmp_path / "in.pt", "--scheduler", address)
        workers[1].terminate()
        workers[1].wait(timeout=60)
        wait_until(lambda: len(worker_states(client)) == 1, "the stopped worker is left")
        alone = decode_patched(silent + "workers.NO_WORKERS_GRACE = 1", tmp_path / "in.pt",
                               "-o", tmp_path / "out.fq", "--scheduler", address)
    finally:
        if stopped is not None:
            os.kill(stopped, signal.SIGCONT)
        for worker in workers:
            worker.terminate()
            worker.wait(timeout=60)
    silence = f"worker {names['stopped']} does not answer (no heartbeat for over 20 s)"
    assert both.returncode == 0 and both.stdout == want.stdout, both.stderr
    lines = both.stderr.decode().strip().splitlines()
    # The good worker may finish every task before the stopped one has been silent long enough.
    assert lines[:-1] in ([], [f"tovrel-decode: warning: {silence}; it gets no tasks"]), lines
    assert lines[-1].startswith("tovrel-decode: 6 reads from 6 chunks"), lines
    lines = alone.stderr.decode().strip().splitlines()
    assert alone.returncode == 1 and lines == [
        f"tovrel-decode: warning: {silence}; it gets no tasks",
        f"tovrel-decode: error: no worker can take tasks: {silence}"], lines
    assert not (tmp_path / "out.fq").exists()


def test_the_copies_of_a_killed_client_are_given_back_by_the_next_run(cluster, tmp_path):
    local, client = cluster
    client.wait_for_workers(2, timeout=60)
    with gzip.open(tmp_path / "slow.pt.gz", "wb") as packed:
        slow_scores(packed, 12)
    torch.save([chunk(50, 2, 1)], tmp_path / "plain.pt")
    before = client.run(spools_held)
    killed = subprocess.Popen([DECODER, str(tmp_path / "slow.pt.gz"), "--beam-size", "256",
                               "--scheduler", local.scheduler_address],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_until(lambda: decoding(client) or killed.poll() is not None, "decoding starts")
    killed.kill()
    killed.wait(timeout=60)
    assert client.run(spools_held) != before  # its workers hold its copies
    there = decode(tmp_path / "plain.pt", "-q", "--scheduler", local.scheduler_address)
    assert there.returncode == 0, there.stderr
    wait_until(lambda: client.run(spools_held) == before,
               "the killed run's copies are given back")
    # The scheduler's record of the copies keeps no entry of a run that has ended.
    wait_until(lambda: not client.get_metadata(["tovrel-copies"], default={}),
               "the record of copies is emptied")


def test_a_file_planted_where_a_machine_copy_goes_is_not_taken_for_it(tmp_path, monkeypatch):
    import asyncio
    import tempfile
    import types

    from tovrel_decode import inputs as opening
    from tovrel_decode import spools

    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    torch.save([chunk(50, 2, 1)], tmp_path / "in.pt")
    with gzip.open(tmp_path / "in.pt.gz", "wb") as packed:
        packed.write((tmp_path / "in.pt").read_bytes())
    torch.save([chunk(50, 2, 2)], tmp_path / "other.pt")
    copies = spools.SharedCopies([], "tovrel-copies-test")
    copies.setup(types.SimpleNamespace(state=types.SimpleNamespace(nthreads=1)))
    status = os.stat(tmp_path / "in.pt.gz")
    key = (str(tmp_path / "in.pt.gz"), opening.identity_of(status))
    # Another user's file, or a link to one, where the copy would be named is not the copy.
    os.symlink(tmp_path / "other.pt", spools.machine_name(copies.run, key))
    source = opening.open_input(str(tmp_path / "in.pt.gz"), copies)
    assert torch.equal(source.chunks[0].load()[0], chunk(50, 2, 1))
    source.spool.close()
    # The copy could not be named: the machine's other workers make their own, and need not
    # wait for one another.
    assert os.path.getsize(spools.machine_name(copies.run, key) + ".lock") > 0
    other = spools.SharedCopies([], copies.run)
    other.setup(types.SimpleNamespace(state=types.SimpleNamespace(nthreads=1)))
    source = opening.open_input(str(tmp_path / "in.pt.gz"), other)
    assert torch.equal(source.chunks[0].load()[0], chunk(50, 2, 1))
    source.spool.close()
    asyncio.run(other.teardown(None))
    asyncio.run(copies.teardown(None))
    assert sorted(os.listdir(tmp_path)) == ["in.pt", "in.pt.gz", "other.pt"]


def test_a_stopped_maker_of_a_machine_copy_does_not_hold_the_run(tmp_path, monkeypatch):
    import asyncio
    import fcntl
    import tempfile
    import types

    from tovrel_decode import inputs as opening
    from tovrel_decode import spools

    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    monkeypatch.setattr(spools, "LOCK_STALE", 0.5)
    torch.save([chunk(50, 2, 1)], tmp_path / "in.pt")
    with gzip.open(tmp_path / "in.pt.gz", "wb") as packed:
        packed.write((tmp_path / "in.pt").read_bytes())
    copies = spools.SharedCopies([], "tovrel-copies-test")
    copies.setup(types.SimpleNamespace(state=types.SimpleNamespace(nthreads=1)))
    key = (str(tmp_path / "in.pt.gz"), opening.identity_of(os.stat(tmp_path / "in.pt.gz")))
    # Another worker took the copy's lock and stopped (SIGSTOP): it never touches the lock
    # again, and this worker makes its own copy rather than wait for it.
    stopped = os.open(spools.machine_name(copies.run, key) + ".lock", os.O_RDWR | os.O_CREAT)
    fcntl.flock(stopped, fcntl.LOCK_EX)
    source = opening.open_input(str(tmp_path / "in.pt.gz"), copies)
    assert torch.equal(source.chunks[0].load()[0], chunk(50, 2, 1))
    source.spool.close()
    os.close(stopped)
    asyncio.run(copies.teardown(None))
    # A task still running when the run ended leaves no lock behind.
    with pytest.raises(opening.InputError, match="given up"):
        copies.on_machine(key, "in.pt.gz", lambda: None)
    assert sorted(os.listdir(tmp_path)) == ["in.pt", "in.pt.gz"]


def test_copies_still_being_registered_when_the_run_ends_are_given_back(monkeypatch):
    # A run interrupted while it waits for the workers to take its shared copies must give them
    # back once they are taken, not before (they would stay on the workers).
    from tovrel_decode import spools

    monkeypatch.setattr(spools, "PLUGIN_SECONDS", 60)
    release, calls = threading.Event(), []

    class Client:
        def set_metadata(self, keys, value):
            pass

        def get_metadata(self, keys, default=None):
            return default

        def register_plugin(self, plugin, name):
            release.wait(60)
            calls.append(("register", name))

        def unregister_worker_plugin(self, name):
            calls.append(("unregister", name))

    shared = spools.Shared()
    run = threading.Thread(target=spools.share, args=(Client(), [], shared), daemon=True)
    run.start()
    wait_until(lambda: shared.registering is not None, "the registration starts")
    # The run ends (as on Ctrl-C, which leaves `share` while the registration goes on).
    ending = threading.Thread(target=spools.give_back,
                              args=(Client(), shared.name, shared.registering))
    ending.start()
    release.set()
    ending.join(120)
    assert calls == [("register", shared.name), ("unregister", shared.name)]



def test_a_run_with_compressed_inputs_registers_its_copies_before_loading_torch(monkeypatch,
                                                                                  tmp_path):
    # The workers start on a compressed input once its copy is registered: the client registers
    # it before asking the workers anything and waits for it before loading torch, whose import
    # would hold the connecting thread up. Other runs ask first and do not wait.
    from tovrel_decode import connection, spools

    (tmp_path / "folder").mkdir()
    (tmp_path / "folder" / "b.pt.GZ").touch()
    steps = []
    monkeypatch.setattr(connection, "connect", lambda address: None)
    monkeypatch.setattr(connection, "ask_workers",
                        lambda client, address: steps.append("ask") or {})
    monkeypatch.setattr(spools, "share", lambda *args: steps.append("register"))
    for inputs, compressed in ((["a.pt.gz"], True), (["folder"], True), (["a.pt"], False)):
        steps.clear()
        session = connection.Session("tcp://127.0.0.1:9", [str(tmp_path / i) for i in inputs])
        session.start()
        session.wait_for_copies()
        if compressed:
            assert steps[:1] == ["register"], inputs
        session.thread.join(60)
        assert steps == (["register", "ask"] if compressed else ["ask", "register"]), inputs
    # A client that cannot connect does not hold the run: the failure is raised as before.
    monkeypatch.setattr(connection, "connect", lambda address: 1 / 0)
    session = connection.Session("tcp://127.0.0.1:9", [str(tmp_path / "a.pt.gz")])
    session.start()
    session.wait_for_copies()
    with pytest.raises(ZeroDivisionError):
        session.client()

# Reads a cluster run's command line and makes its session, as the command does before it loads
# torch: neither may load it, or the workers would wait for torch to load on the client.
WITHOUT_TORCH = """
import sys
from tovrel_decode import cli, connection
args, _ = cli.parse_arguments(["in.pt.gz", "--scheduler", "tcp://127.0.0.1:9", "--beam-size", "9"])
connection.Session(args.scheduler, args.inputs)
print("torch" in sys.modules)
"""


def copy_plugins(dask_worker):
    return sorted(name for name in dask_worker.plugins if name.startswith("tovrel-copies-"))


def test_the_workers_take_up_the_run_before_torch_loads_on_the_client(cluster, tmp_path):
    # The workers start decompressing a compressed input while the client loads torch: the
    # command line is read, and the run registered, without it.
    local, client = cluster
    client.wait_for_workers(2, timeout=60)
    torch.save([chunk(50, 2, 1)], tmp_path / "in.pt")
    assert subprocess.run([sys.executable, "-c", WITHOUT_TORCH], capture_output=True,
                          check=True).stdout == b"False\n"
    # A search parameter that every decoder refuses is found once torch has loaded, after the
    # run was registered: still a usage error, and what the run registered is given back.
    before = client.run(copy_plugins)
    refused = decode(tmp_path / "in.pt", "--beam-size", "0", "--scheduler",
                     local.scheduler_address)
    lines = refused.stderr.decode().strip().splitlines()
    assert refused.returncode == 2 and len(lines) == 2, lines
    assert lines[1] == "tovrel-decode: error: argument --beam-size: beam_size must be between 1 " \
                       "and 256, not 0."
    assert client.run(copy_plugins) == before
    # Interrupted as soon as the copies are registered (while torch loads): they are given back.
    held = client.run(spools_held)
    interrupted = decode_patched(INTERRUPTED_AFTER_REGISTRATION, tmp_path / "in.pt", "-o",
                                 tmp_path / "out.fq", "--scheduler", local.scheduler_address)
    assert interrupted.returncode == 130, interrupted.stderr
    assert client.run(copy_plugins) == before and client.run(spools_held) == held
    assert not (tmp_path / "out.fq").exists()


# On the client: SIGINT as soon as the run's shared copies are registered.
INTERRUPTED_AFTER_REGISTRATION = """
import os
import signal
from tovrel_decode import spools
real_share = spools.share
def share(*args):
    real_share(*args)
    os.kill(os.getpid(), signal.SIGINT)
spools.share = share
"""


# On the client: importing torch waits until the file `release` exists.
TORCH_HELD = """
import builtins
import os
import time
real_import = builtins.__import__
def held_import(name, *args, **keywords):
    if name.partition(".")[0] == "torch":
        while not os.path.exists({release!r}):
            time.sleep(0.05)
    return real_import(name, *args, **keywords)
builtins.__import__ = held_import
"""


def test_the_workers_plan_the_run_while_torch_loads_on_the_client(cluster, tmp_path):
    # The workers list, plan and decode a run's small files while the client loads torch; a
    # file, or a folder, replaced meanwhile is a change of the run's input, as it would be at
    # any other time (not workers that see other files).
    local, client = cluster
    client.wait_for_workers(2, timeout=60)
    folder = small_files(tmp_path / "small", 60, seed=600)
    swapped = small_files(tmp_path / "swapped", 60, seed=700)
    want = decode(folder, "-q")
    release, output = tmp_path / "release", tmp_path / "out.fq"
    replaced = folder / "007.pt"
    # A folder's files are listed by a task, then planned by two (of 50 files at least).
    for inputs, tasks, change in (([folder], 3, None), (sorted(folder.iterdir()), 2, replaced),
                                  ([folder], 3, folder)):
        release.unlink(missing_ok=True)
        output.unlink(missing_ok=True)
        before = len(client.get_events(STARTED_TOPIC))
        process = decode_patched(TORCH_HELD.format(release=str(release)), *inputs, "-q", "-o",
                                 output, "--scheduler", local.scheduler_address,
                                 stderr=subprocess.PIPE)
        try:
            wait_until(lambda: sum(event["task"].startswith("plan-") for _, event in
                                   client.get_events(STARTED_TOPIC)[before:]) >= tasks,
                       f"the workers plan the run ({change})")
            if change == replaced:
                torch.save(chunk(30, 2, 9), tmp_path / "other.pt")
                os.replace(tmp_path / "other.pt", replaced)
            elif change == folder:  # its files keep their change times
                os.rename(folder, tmp_path / "before")
                os.rename(swapped, folder)
        finally:
            release.touch()
            _, err = process.communicate(timeout=300)
        if change:
            assert (process.returncode, err.decode()) == \
                (1, f"tovrel-decode: error: {change} changed or was removed during the run\n")
            assert not output.exists()
        else:
            assert process.returncode == 0 and output.read_bytes() == want.stdout, err

def silent_scheduler():
    """A listening socket that accepts connections (its backlog does) and never says a word, and
    its address."""
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(8)
    return silent, f"tcp://127.0.0.1:{silent.getsockname()[1]}"


def test_a_scheduler_that_never_answers(tmp_path):
    torch.save([chunk(50, 2, 1)], tmp_path / "in.pt")
    silent, address = silent_scheduler()
    with silent:
        # A usage error does not wait for the scheduler.
        refused = decode(tmp_path / "in.pt", "--temperature", "-1", "--scheduler", address)
        lines = refused.stderr.decode().strip().splitlines()
        assert refused.returncode == 2 and "argument --temperature:" in lines[-1], lines
        # Nor does the run wait for ever: one line, exit 1.
        result = decode_patched("from tovrel_decode import connection\n"
                                "connection.ANSWER_SECONDS = 2\n", tmp_path / "in.pt",
                                "--scheduler", address)
    lines = result.stderr.decode().strip().splitlines()
    assert result.returncode == 1 and lines == [
        f"tovrel-decode: error: {address}: cannot reach the scheduler (no answer within 2 s)"]
    # Ctrl-C while it waits ends the run at once, as at any other time.
    silent, address = silent_scheduler()
    with silent:
        waiting = subprocess.Popen([DECODER, tmp_path / "in.pt", "--scheduler", address],
                                   stderr=subprocess.PIPE, preexec_fn=lambda: signal.signal(
                                       signal.SIGINT, signal.SIG_DFL))
        connection, _ = silent.accept()  # it is connecting
        waiting.send_signal(signal.SIGINT)
        _, stopped = waiting.communicate(timeout=120)
        connection.close()
    assert waiting.returncode == 130 and stopped == b"", stopped


# The client says `sign` on standard error where `function` of `module` is called, and goes on
# once the file `go` exists; the scheduler is given SCHEDULER_SECONDS = 5, and decode tasks (not
# the plan) decode the input.
SIGN_THEN_WAIT = """
import os, sys, time
from tovrel_decode import early, workers
from tovrel_decode.{module} import {owner} as owner
workers.SCHEDULER_SECONDS = 5
early.PLAN_DECODE_BLOCKS = 0
real = getattr(owner, "{function}")
def signed(*args):
    print("{sign}", file=sys.stderr, flush=True)
    while not os.path.exists({go!r}):
        time.sleep(0.05)
    return real(*args)
setattr(owner, "{function}", signed)
"""


def test_a_scheduler_that_stops_answering_ends_the_run(tmp_path):
    # Stopped as the client asks the workers (on the connecting thread) or as it decodes: one
    # line naming the scheduler, not a run that waits for ever or blames a worker.
    torch.save([chunk(50, 2, i) for i in range(4)], tmp_path / "in.pt")
    scheduler = subprocess.Popen([DASK, "scheduler", "--host", "127.0.0.1", "--port", "0",
                                  "--no-dashboard"], stderr=subprocess.PIPE, text=True)
    draining = threading.Thread(target=scheduler.stderr.read, daemon=True)
    try:
        address = next(line.split("Scheduler at:")[1].strip() for line in scheduler.stderr
                       if "Scheduler at:" in line)
        draining.start()
        worker = start_worker(address, tmp_path)
        try:
            for module, owner, function in (("connection", "connection", "ask_workers"),
                                            ("cluster", "ClusterExecutor", "chunk_results")):
                go = tmp_path / f"go-{function}"
                patch = SIGN_THEN_WAIT.format(module=module, owner=owner, function=function,
                                              sign="here", go=str(go))
                if module == owner:  # a module's function
                    patch = patch.replace(f"from tovrel_decode.{module} import {owner}",
                                          f"from tovrel_decode import {owner}")
                process = decode_patched(patch, tmp_path / "in.pt", "-q", "-o",
                                         tmp_path / "out.fq", "--scheduler", address,
                                         stderr=subprocess.PIPE)
                try:
                    assert process.stderr.readline() == b"here\n"
                    scheduler.send_signal(signal.SIGSTOP)
                    go.touch()
                    _, err = process.communicate(timeout=300)
                finally:
                    process.kill()
                    process.stderr.close()
                    scheduler.send_signal(signal.SIGCONT)
                assert (process.returncode, err.decode()) == (
                    1, f"tovrel-decode: error: {address}: the scheduler does not answer (no "
                       "answer within 5 s)\n"), function
                assert not (tmp_path / "out.fq").exists()
        finally:
            worker.kill()
            worker.wait(timeout=60)
    finally:
        scheduler.send_signal(signal.SIGCONT)
        scheduler.kill()
        scheduler.wait(timeout=60)
        if draining.is_alive():
            draining.join(timeout=60)
        scheduler.stderr.close()


def test_a_lost_scheduler_is_named_with_the_connection_error_only():
    from types import SimpleNamespace

    from tovrel_decode import cluster

    executor = SimpleNamespace(distributed=distributed, address="tcp://h:1")
    # The answer of a scheduler that has died lacks what was asked of it.
    assert str(cluster.ClusterExecutor.lost(executor, KeyError("workers"))) == \
        "tcp://h:1: lost the scheduler"
    assert str(cluster.ClusterExecutor.lost(executor, OSError("Stream is closed"))) == \
        "tcp://h:1: lost the scheduler (Stream is closed)"
