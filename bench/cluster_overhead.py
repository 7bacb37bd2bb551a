"""The cost of decoding through a Dask cluster: the same files decoded by tovrel-decode locally
with --threads 2, and through a local cluster of two worker processes with one thread each,
alternately, in one run. Reports medians and the cluster's overhead as a ratio.

    .venv/bin/python bench/cluster_overhead.py [--files 4] [--chunks 12] [--rounds 3]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import distributed
import torch

DECODER = shutil.which("tovrel-decode", path=os.path.dirname(sys.executable))


def timed(command):
    started = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=int, default=4)
    parser.add_argument("--chunks", type=int, default=12, help="chunks per file")
    parser.add_argument("--blocks", type=int, default=2000)
    parser.add_argument("--k", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    generator = torch.Generator().manual_seed(0)
    with tempfile.TemporaryDirectory() as folder, \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                     dashboard_address=None, silence_logs=50) as cluster:
        paths = []
        for i in range(args.files):
            paths.append(os.path.join(folder, f"scores{i}.pt"))
            torch.save(torch.randn(args.chunks, args.blocks, 5 * 4**args.k,
                                   generator=generator), paths[-1])
        common = [DECODER, *paths, "-q", "-o", os.path.join(folder, "reads.fq")]
        local, remote = [], []
        timed(common + ["--scheduler", cluster.scheduler_address])  # workers warm up
        for _ in range(args.rounds):
            local.append(timed(common + ["--threads", "2"]))
            remote.append(timed(common + ["--scheduler", cluster.scheduler_address]))
        blocks = args.files * args.chunks * args.blocks
        local_s, remote_s = statistics.median(local), statistics.median(remote)
        print(f"{args.files} files, {blocks} blocks (k = {args.k}); medians of {args.rounds}")
        print(f"local, --threads 2:                       {local_s:.2f} s "
              f"({blocks / local_s:,.0f} blocks/s)")
        print(f"local cluster, 2 workers of one thread:   {remote_s:.2f} s "
              f"({blocks / remote_s:,.0f} blocks/s)")
        print(f"cluster / local: {remote_s / local_s:.2f}")


if __name__ == "__main__":
    main()
