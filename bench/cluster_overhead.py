"""The cost of decoding through a Dask cluster, measured side by side in one run: the same files
decoded by tovrel-decode locally with --threads 2, and through a local cluster of two worker
processes with one thread each, alternately. Times are medians, with and without the start-up
(the same command on a one-block file): one file of 32 chunks, four files, and 1,000 small files
of 122 blocks (k = 3); then the peak memory of one worker against a local run on the same
float16 file, private (RssAnon) and all of it, mapped file pages included (VmRSS); a worker's
whole resident memory (what Dask compares with its limit) for 1, 2 and 4 threads; and a .gz
input on the cluster against the same file uncompressed.

    .venv/bin/python bench/cluster_overhead.py [--rounds 3] [--part memory|compressed|small]
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


def write_scores(path, chunks, dtype=torch.float32, seed=0, blocks=BLOCKS, k=K):
    batch = torch.empty(chunks, blocks, 5 * 4**k, dtype=dtype)
    generator = torch.Generator().manual_seed(seed)
    for chunk in batch:
        chunk.copy_(torch.randn(blocks, 5 * 4**k, generator=generator))
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


def small_files(folder, cluster, rounds):
    small = os.path.join(folder, "small")
    os.mkdir(small)
    for i in range(1000):
        write_scores(os.path.join(small, f"{i:04d}.pt"), 1, seed=100 + i, blocks=122, k=3)
    return (f"1,000 files of 122 blocks at k = 3 (goal <= 1.3): "
            f"{compare(folder, [small], cluster, rounds)}")


def memory(folder, rounds):
    path = os.path.join(folder, "half.pt")
    write_scores(path, 36, torch.float16, seed=9)
    output = os.path.join(folder, "half.fq")
    local_peaks, worker_peaks, local_totals, worker_totals = [], [], [], []
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=":0", silence_logs=50) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        (worker,) = client.run(os.getpid).values()
        command = [DECODER, "-q", "-o", output, path]
        subprocess.run(command + ["--scheduler", cluster.scheduler_address], check=True)
        for _ in range(rounds):
            for field, peaks in (("RssAnon", local_peaks), ("VmRSS", local_totals)):
                with subprocess.Popen(command + ["--threads", "1"]) as process:
                    peaks.append(peak_while(process.pid, lambda: process.poll() is None, field))
            baseline = rss_anon_mb(worker)
            for field, peaks in (("RssAnon", worker_peaks), ("VmRSS", worker_totals)):
                process = subprocess.Popen(command + ["--scheduler", cluster.scheduler_address])
                watcher = threading.Thread(target=lambda: peaks.append(
                    peak_while(worker, lambda: process.poll() is None, field)))
                watcher.start()
                process.wait()
                watcher.join()
            idle_total = rss_anon_mb(worker, "VmRSS")
    size = os.path.getsize(path) / 1e9
    local, remote = statistics.median(local_peaks), statistics.median(worker_peaks)
    local_total, remote_total = statistics.median(local_totals), statistics.median(worker_totals)
    return (f"float16 file of {size:.2f} GB (36 chunks), locally with --threads 1 against the "
            f"one worker:\n  private (RssAnon) peak {local:.0f} MB against {remote:.0f} MB "
            f"(idle {baseline:.0f} MB): worker / local {remote / local:.2f} (goal <= 1.5)\n"
            f"  all (VmRSS, mapped file pages included) peak {local_total:.0f} MB against "
            f"{remote_total:.0f} MB; the worker idle after the run {idle_total:.0f} MB")


def compressed(folder, cluster, rounds):
    """The same file decoded on the cluster gzip-compressed and not: it is decompressed once per
    machine, for all the tasks of its workers."""
    import gzip

    plain = os.path.join(folder, "eight.pt")
    write_scores(plain, 8, seed=21)
    with open(plain, "rb") as source, gzip.open(plain + ".gz", "wb", compresslevel=1) as packed:
        shutil.copyfileobj(source, packed, 1 << 22)
    os.sync()  # the files just written go to disk now, not during the runs
    remote = [DECODER, "-q", "-o", os.path.join(folder, "eight.fq"), "--scheduler",
              cluster.scheduler_address]
    timed(remote + [plain])
    samples = {"plain": [], "gz": []}
    for _ in range(rounds):
        samples["plain"].append(timed(remote + [plain]))
        samples["gz"].append(timed(remote + [plain + ".gz"]))
    t = {name: statistics.median(values) for name, values in samples.items()}
    return (f"uncompressed {t['plain']:.2f} s, .gz {t['gz']:.2f} s: .gz / uncompressed "
            f"{t['gz'] / t['plain']:.2f}")


def memory_by_threads(folder):
    """What Dask compares with a worker's memory limit (the process's whole resident memory,
    VmRSS) for 1, 2 and 4 threads: idle after a run, and the peak of a run that keeps every
    thread busy (float32 chunks at k = 5, decoded one window per thread at a time)."""
    path = os.path.join(folder, "wide.pt")
    write_scores(path, 16, seed=11)
    lines = []
    for threads in (1, 2, 4):
        with distributed.LocalCluster(n_workers=1, threads_per_worker=threads, host="127.0.0.1",
                                      dashboard_address=":0", memory_limit=0,
                                      silence_logs=50) as cluster, \
                distributed.Client(cluster, set_as_default=False) as client:
            (worker,) = client.run(os.getpid).values()
            command = [DECODER, "-q", "-o", os.path.join(folder, "wide.fq"), path,
                       "--scheduler", cluster.scheduler_address]
            subprocess.run(command, check=True)
            idle = rss_anon_mb(worker, "VmRSS")
            process = subprocess.Popen(command)
            peak = peak_while(worker, lambda: process.poll() is None, "VmRSS")
            lines.append(f"  {threads} thread{'s' if threads > 1 else ''}: idle {idle:.0f} MiB, "
                         f"peak {peak:.0f} MiB (a limit of {peak / 0.8:.0f} MiB keeps it below "
                         "the 80 % pause)")
    return "a worker's whole resident memory, as Dask measures it:\n" + "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--part", choices=("all", "memory", "compressed", "small"),
                        default="all",
                        help="memory: only a worker's memory for 1, 2 and 4 threads; compressed: "
                             "only .gz against uncompressed on the cluster; small: only the "
                             "1,000 small files")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        if args.part in ("all", "memory"):
            print(memory_by_threads(folder))
        if args.part in ("all", "compressed"):
            with distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                          dashboard_address=":0", silence_logs=50) as cluster:
                print(f"one file of 8 chunks on the cluster (goal <= 1.3): "
                      f"{compressed(folder, cluster, args.rounds)}")
        if args.part == "small":
            with distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                          dashboard_address=":0", silence_logs=50) as cluster:
                print(small_files(folder, cluster, args.rounds))
        if args.part != "all":
            return
        one = [os.path.join(folder, "one.pt")]
        write_scores(one[0], 32)
        four = [os.path.join(folder, f"scores{i}.pt") for i in range(4)]
        for i, path in enumerate(four):
            write_scores(path, 12, seed=i + 1)
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                      dashboard_address=":0", silence_logs=50) as cluster:
            print(f"k = {K}, chunks of {BLOCKS} blocks; medians of {args.rounds}; 2 workers of "
                  "one thread against --threads 2")
            print(f"one file of 32 chunks (goal <= 1.15): "
                  f"{compare(folder, one, cluster, args.rounds)}")
            print(f"4 files of 12 chunks (goal <= 1.1): "
                  f"{compare(folder, four, cluster, args.rounds)}")
            print(small_files(folder, cluster, args.rounds))
        print(memory(folder, args.rounds))


if __name__ == "__main__":
    main()
