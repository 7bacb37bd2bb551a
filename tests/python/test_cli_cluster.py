"""tovrel-decode --scheduler: the same output through a Dask cluster of two worker processes on
127.0.0.1, with a worker killed mid-run, workers of another version, and inputs the workers lack."""
import os
import signal
import subprocess
import threading
import time

import pytest
import torch

from decoder_helpers import DECODER, chunk

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=50) as local, \
            distributed.Client(local, set_as_default=False) as client:
        yield local, client


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


def decode(*args, timeout=300, cwd=None):
    return subprocess.run([DECODER, *map(str, args)], capture_output=True, timeout=timeout,
                          cwd=cwd)


def test_cluster_output_is_byte_identical_to_a_local_run(cluster, inputs, tmp_path):
    local, _ = cluster
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

    def pretend(version):
        import tovrel_tensors
        tovrel_tensors.__version__ = version

    original = client.run(lambda: __import__("tovrel_tensors").__version__)
    client.run(pretend, "0.0.9")
    try:
        result = decode(*inputs, "-o", tmp_path / "out.fq", "--scheduler",
                        local.scheduler_address)
    finally:
        client.run(pretend, next(iter(original.values())))
    # Each is left out with a warning; with none left for the grace period, the run ends.
    lines = result.stderr.decode().strip().splitlines()
    assert result.returncode == 1 and len(lines) == 3, lines
    assert all(line.endswith("; it gets no tasks") for line in lines[:2])
    assert lines[2].startswith("tovrel-decode: error: worker ")
    assert "has tovrel 0.0.9" in lines[2] and "this client has tovrel 0.1.0" in lines[2]
    assert not (tmp_path / "out.fq").exists()


def test_inputs_the_workers_cannot_read_and_unreachable_schedulers(cluster, tmp_path):
    local, _ = cluster
    missing = decode(tmp_path / "absent.pt", "-o", tmp_path / "out.fq", "--scheduler",
                     local.scheduler_address)
    assert missing.returncode == 1
    assert missing.stderr.decode().strip() == \
        f"tovrel-decode: error: {tmp_path / 'absent.pt'}: No such file or directory"
    bad = tmp_path / "nan.pt"
    nan = chunk(50, 2, 1)
    nan[3, 3] = float("nan")
    torch.save([chunk(50, 2, 0), nan], bad)
    for args, status in (([], 1), (["--skip-invalid"], 0)):
        result = decode(bad, "--scheduler", local.scheduler_address, *args)
        assert result.returncode == status
        assert "read chunk_1: scores at block 3 hold NaN" in result.stderr.decode()
        assert result.stdout.count(b"@chunk_") == 1 - status  # nothing written on failure
    # Nothing listens on this port: one line, exit 1, nothing written.
    unreachable = decode(bad, "-o", tmp_path / "out.fq", "--scheduler", "tcp://127.0.0.1:9",
                         timeout=120)
    lines = unreachable.stderr.decode().strip().splitlines()
    assert unreachable.returncode == 1 and len(lines) == 1
    assert lines[0].startswith("tovrel-decode: error: tcp://127.0.0.1:9: cannot reach")
    assert not (tmp_path / "out.fq").exists()
