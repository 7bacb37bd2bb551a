"""The cost of decoding through a Dask cluster, measured side by side in one run: the same files
decoded by tovrel-decode locally with --threads 2, and through a local cluster of two worker
processes with one thread each, alternately. Times are medians, with and without the start-up
(the same command on a one-block file); then the peak private memory (RssAnon) of one worker
against a local run on the same float16 file.

    .venv/bin/python bench/cluster_overhead.py [--rounds 3]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import distributed
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from rss import peak_while, rss_anon_mb  # noqa: E402

DECODER = shutil.which("tovrel-decode", path=os.path.dirname(sys.executable))
K = 5
BLOCKS = 2000


def timed(command):
    started = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - started


def write_scores(path, chunks, dtype=torch.float32, seed=0):
    batch = torch.empty(chunks, BLOCKS, 5 * 4**K, dtype=dtype)
    generator = torch.Generator().manual_seed(seed)
    for chunk in batch:
        chunk.copy_(torch.randn(BLOCKS, 5 * 4**K, generator=generator))
    torch.save(batch, path)


def compare(folder, paths, cluster, rounds):
    output = os.path.join(folder, "reads.fq")
    tiny = os.path.join(folder, "tiny.pt")
    torch.save(torch.zeros(1, 5 * 4**K), tiny)
    local = [DECODER, "-q", "-o", output, "--threads", "2"]
    remote = [DECODER, "-q", "-o", output, "--scheduler", cluster.scheduler_address]
    timed(remote + paths)  # the workers import torch and the project once
    samples = {name: [] for name in ("local", "remote", "local start-up", "remote start-up")}
    for _ in range(rounds):
        samples["local"].append(timed(local + paths))
        samples["remote"].append(timed(remote + paths))
        samples["local start-up"].append(timed(local + [tiny]))
        samples["remote start-up"].append(timed(remote + [tiny]))
    t = {name: statistics.median(values) for name, values in samples.items()}
    work = (t["remote"] - t["remote start-up"]) / (t["local"] - t["local start-up"])
    return (f"local {t['local']:.2f} s (start-up {t['local start-up']:.2f} s), cluster "
            f"{t['remote']:.2f} s (start-up {t['remote start-up']:.2f} s): cluster / local "
            f"{t['remote'] / t['local']:.2f}, less start-up {work:.2f}")


def memory(folder, rounds):
    path = os.path.join(folder, "half.pt")
    write_scores(path, 36, torch.float16, seed=9)
    output = os.path.join(folder, "half.fq")
    local_peaks, worker_peaks = [], []
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=":0", silence_logs=50) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        (worker,) = client.run(os.getpid).values()
        command = [DECODER, "-q", "-o", output, path]
        subprocess.run(command + ["--scheduler", cluster.scheduler_address], check=True)
        for _ in range(rounds):
            with subprocess.Popen(command + ["--threads", "1"]) as process:
                local_peaks.append(peak_while(process.pid, lambda: process.poll() is None))
            baseline = rss_anon_mb(worker)
            process = subprocess.Popen(command + ["--scheduler", cluster.scheduler_address])
            watcher = threading.Thread(target=lambda: worker_peaks.append(
                peak_while(worker, lambda: process.poll() is None)))
            watcher.start()
            process.wait()
            watcher.join()
    size = os.path.getsize(path) / 1e9
    local, remote = statistics.median(local_peaks), statistics.median(worker_peaks)
    return (f"float16 file of {size:.2f} GB (36 chunks): peak RssAnon locally ({'--threads 1'}) "
            f"{local:.0f} MB, of the one worker {remote:.0f} MB (idle {baseline:.0f} MB): "
            f"worker / local {remote / local:.2f} (goal <= 1.5)")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        one = [os.path.join(folder, "one.pt")]
        write_scores(one[0], 32)
        four = [os.path.join(folder, f"scores{i}.pt") for i in range(4)]
        for i, path in enumerate(four):
            write_scores(path, 12, seed=i + 1)
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                      dashboard_address=":0", silence_logs=50) as cluster:
            print(f"k = {K}, chunks of {BLOCKS} blocks; medians of {args.rounds}; 2 workers of "
                  "one thread against --threads 2")
            print(f"one file of 32 chunks (goal <= 1.15): {compare(folder, one, cluster, args.rounds)}")
            print(f"4 files of 12 chunks (goal <= 1.1):   {compare(folder, four, cluster, args.rounds)}")
        print(memory(folder, args.rounds))


if __name__ == "__main__":
    main()
