"""Long chunks against the same read cut into short ones, with a known truth.

    .venv/bin/python bench/long_chunks.py [--blocks 100000 1000000] [--threads 2]

A synthetic read of about the given number of blocks at k = 3 (scripts/demo_data.py: the true
path's transition gets 3 on top of standard normal scores) is decoded whole, as one chunk, and
cut into chunks of 2,000 blocks that overlap by 200, through a Decoder. Prints each one's
identity to the truth (1 - edit distance / length) and the time. Goal: the whole chunk no lower
than the cut read minus 0.1 percentage points.
"""
import argparse
import os
import sys
import time

import edlib
import torch

import tovrel_tensors
from tovrel_decode import Decoder

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "scripts"))
import demo_data  # noqa: E402

CHUNK, OVERLAP = 2000, 200


def identity(decoded, truth):
    return 1 - edlib.align(decoded, truth)["editDistance"] / len(truth)


def decode_cut(scores):
    with Decoder() as decoder:
        start = 0
        while True:
            end = min(start + CHUNK, len(scores))
            decoder.submit("cut", scores[start:end], overlap=OVERLAP, last=end == len(scores))
            if end == len(scores):
                break
            start = end - OVERLAP
    return decoder.ready()[0].sequence


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--blocks", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    print(f"k = 3, {args.threads} threads; whole: one chunk through decode_batch_checked (windows "
          f"of {tovrel_tensors.WINDOW_BLOCKS} blocks overlapping by "
          f"{tovrel_tensors.WINDOW_OVERLAP} where single precision needs them); cut: chunks of "
          f"{CHUNK} overlapping by {OVERLAP} through a Decoder")
    print(f"{'blocks':>9} {'whole':>8} {'cut':>8} {'whole-cut':>10} {'whole s':>8} {'cut s':>7}")
    for blocks in args.blocks:
        generator = torch.Generator().manual_seed(blocks)
        scores, truth = demo_data.synthetic_chunk(blocks // 2, 3, 3.0, generator)
        started = time.perf_counter()
        whole = tovrel_tensors.decode_batch_checked([scores])[0]
        whole_seconds = time.perf_counter() - started
        if isinstance(whole, tovrel_tensors.InvalidValues):
            print(f"{len(scores):>9} refused: {whole}")
            continue
        started = time.perf_counter()
        cut = decode_cut(scores)
        cut_seconds = time.perf_counter() - started
        a, b = identity(whole[0], truth), identity(cut, truth)
        print(f"{len(scores):>9} {a:8.4%} {b:8.4%} {100 * (a - b):+9.3f}pp {whole_seconds:8.1f} "
              f"{cut_seconds:7.1f}")


if __name__ == "__main__":
    main()
