"""Long chunks against the same read cut into short ones, with a known truth.

    .venv/bin/python bench/long_chunks.py [--k 1 2 3 4 5] [--signals 2.0 2.3 3.0]
        [--blocks 10000 40000 100000] [--million] [--types float32 int8] [--threads 2]

A synthetic read of about the given number of blocks (scripts/demo_data.py: the true path's
transition gets `signal` on top of standard normal scores; int8: the same scores times 8,
rounded) is decoded through a Decoder whole, as one chunk, and cut into chunks of 2,000 blocks
that overlap by 200. "before" is the search over unnormalised guides, as decoding ran before it
renormalised them (and as tovrel.beam_search runs over tovrel's guides). Prints each one's
identity to the truth (1 - edit distance / length). Goal: whole no lower than cut minus 0.1
percentage points; --million adds 1,000,000 blocks at k <= 3.
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


def decode_whole(scores):
    with Decoder() as decoder:
        decoder.submit("whole", scores, last=True)
    return decoder.ready()[0].sequence


def decode_before(scores):
    widened = scores.float()
    back = tovrel_tensors.backward_scores(widened)
    return tovrel_tensors.beam_search(widened, back, tovrel_tensors.posts(widened))[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--k", type=int, nargs="+", default=[1, 2, 3, 4, 5])
    parser.add_argument("--signals", type=float, nargs="+", default=[2.0, 2.3, 3.0])
    parser.add_argument("--blocks", type=int, nargs="+", default=[10_000, 40_000, 100_000])
    parser.add_argument("--million", action="store_true")
    parser.add_argument("--types", nargs="+", default=["float32", "int8"])
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    print(f"{args.threads} threads; identity to the truth; whole, cut and before as the "
          f"docstring says (EXACT_BLOCKS = {tovrel_tensors.EXACT_BLOCKS})")
    print(f"{'type':>7} {'signal':>6} {'k':>2} {'blocks':>9} {'before':>8} {'whole':>8} "
          f"{'cut':>8} {'whole-cut':>10} {'before-cut':>11} {'whole s':>8}")
    for kind in args.types:
        for signal in args.signals:
            for k in args.k:
                lengths = args.blocks + ([1_000_000] if args.million and k <= 3 else [])
                for blocks in lengths:
                    generator = torch.Generator().manual_seed(blocks + k)
                    scores, truth = demo_data.synthetic_chunk(blocks // 2, k, signal, generator)
                    if kind == "int8":
                        scores = (scores * 8).round().clamp(-128, 127).to(torch.int8)
                    started = time.perf_counter()
                    whole = identity(decode_whole(scores), truth)
                    seconds = time.perf_counter() - started
                    cut = identity(decode_cut(scores), truth)
                    before = identity(decode_before(scores), truth)
                    print(f"{kind:>7} {signal:6.1f} {k:2d} {len(scores):9d} {before:8.4%} "
                          f"{whole:8.4%} {cut:8.4%} {100 * (whole - cut):+9.3f}pp "
                          f"{100 * (before - cut):+10.3f}pp {seconds:8.1f}", flush=True)


if __name__ == "__main__":
    main()
