"""Benchmarks of tovrel side by side with the alternatives, on one core.

Every column of a case is timed round-robin in the same run (one call of each per round), and the
tables give medians over the rounds and ratios between columns of the same run: the machines are
shared, and only ratios measured together mean anything.

    .venv/bin/python bench/bench.py            # all cases (several minutes)
    .venv/bin/python bench/bench.py --quick    # k = 5, 1,000 blocks
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np
import torch

import tovrel
import tovrel_tensors

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import torch_recursions  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def median_times(columns, rounds, clock=time.perf_counter):
    """Median seconds of each named callable, timed round-robin (by `clock`: time.thread_time
    counts only the calling thread's processor time, steadier on a shared machine for work that
    runs on that thread alone)."""
    samples = {name: [] for name in columns}
    for _ in range(rounds):
        for name, call in columns.items():
            start = clock()
            call()
            samples[name].append(clock() - start)
    return {name: statistics.median(values) for name, values in samples.items()}


def core_medians(rounds, quick):
    """Median milliseconds of the C++ benchmarks, from core_bench and core_bench_scan."""
    build = os.path.join(ROOT, "build", "cmake-bench")
    subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                    "-DTOVREL_BENCH=ON"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--parallel", "2", "--target", "core_bench",
                    "core_bench_scan"], check=True, stdout=subprocess.DEVNULL)
    pattern = "/5/1000" if quick else ""
    results = {}
    for binary, suffix in (("core_bench", ""), ("core_bench_scan", "+scan")):
        selected = f".*{pattern}.*" if binary == "core_bench" else f"beam_search{pattern}.*"
        output = subprocess.run(
            [os.path.join(build, binary), f"--benchmark_filter={selected}",
             f"--benchmark_repetitions={rounds}", "--benchmark_report_aggregates_only=true",
             "--benchmark_format=json"], check=True, capture_output=True, text=True).stdout
        for entry in json.loads(output)["benchmarks"]:
            if entry.get("aggregate_name") == "median":
                results[entry["run_name"] + suffix] = entry["real_time"]  # milliseconds
    return results


def scores_for(k, blocks):
    generator = torch.Generator().manual_seed(k * 10_000 + blocks)
    return torch.randn(blocks, 5 * 4**k, generator=generator) * 3


def print_table(title, header, rows):
    print(f"\n{title}")
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    for row in (header, *rows):
        print("  ".join(str(cell).rjust(width) for cell, width in zip(row, widths)))


def ms(seconds):
    return f"{seconds * 1e3:.1f}"


def ratio(a, b):
    return f"{a / b:.2f}"


def scoring_rows(cases, rounds, core):
    rows = []
    for k, blocks in cases:
        scores = scores_for(k, blocks)
        values = np.zeros((blocks + 1) * 4**k, dtype=np.float32)
        t = median_times({
            "list": values.tolist,
            "backward": lambda: tovrel.backward_scores(scores),
            "forward": lambda: tovrel.forward_scores(scores),
            "posts": lambda: tovrel.posts(scores),
            "tensors.backward": lambda: tovrel_tensors.backward_scores(scores),
            "tensors.posts": lambda: tovrel_tensors.posts(scores),
            "torch.backward": lambda: torch_recursions.backward_guides(scores),
            "torch.posts": lambda: torch_recursions.posteriors(scores),
        }, rounds)
        case = f"{k}/{blocks}"
        core_scalar = core.get(f"back_guides/scalar/{case}")
        core_vector = core.get(f"back_guides/avx2/{case}")
        rows.append([
            f"k={k} blocks={blocks}", ms(t["list"]), ms(t["backward"]), ms(t["forward"]),
            ms(t["posts"]), ms(t["tensors.backward"]), ms(t["tensors.posts"]),
            ms(t["torch.backward"]), ms(t["torch.posts"]),
            f"{core_scalar:.1f}" if core_scalar else "-", f"{core_vector:.1f}" if core_vector else "-",
            ratio(t["backward"], t["list"]), ratio(t["forward"], t["list"]),
            ratio(t["posts"], t["list"]), ratio(t["torch.backward"], t["tensors.backward"]),
            ratio(core_scalar, core_vector) if core_vector else "-",
        ])
    return rows


def decoding_rows(cases, rounds, core):
    rows = []
    for k, blocks in cases:
        # The same inputs as the C++ benchmark: narrow score spreads keep many candidates within
        # the cut, as in real data.
        scores = scores_for(k, blocks) * 0.3
        back = tovrel_tensors.backward_scores(scores)
        posts = tovrel_tensors.posts(scores)
        scores8 = (scores * 16).round().clamp(-128, 127).to(torch.int8)
        back8 = (back / 8).round().clamp(-128, 127).to(torch.int8)
        posts8 = (posts * 255 - 128).round().to(torch.int8)
        for eight_bit in (False, True):
            tensors = (scores8, back8, posts8) if eight_bit else (scores, back, posts)
            t = median_times({width: lambda w=width: tovrel.beam_search(*tensors, beam_size=w)
                              for width in (5, 32, 256)}, rounds)
            for width in (5, 32, 256):
                name = f"beam_search/{k}/{blocks}/{width}/{int(eight_bit)}"
                hashed, scan = core.get(name), core.get(name + "+scan")
                rows.append([f"k={k} blocks={blocks}", "int8" if eight_bit else "float", width,
                             ms(t[width]), f"{hashed:.2f}" if hashed else "-",
                             f"{scan:.2f}" if scan else "-",
                             ratio(scan, hashed) if hashed and scan else "-"])
    return rows


def chunk_rows(cases, rounds):
    rows = []
    for k, blocks in cases:
        scores = scores_for(k, blocks)

        def list_api():
            back = torch.tensor(tovrel.backward_scores(scores))
            posts = torch.tensor(tovrel.posts(scores))
            return tovrel.beam_search(scores, back, posts)

        t = median_times({
            "list": list_api,
            "tensors": lambda: tovrel_tensors.decode(scores),
            "torch": lambda: (torch_recursions.backward_guides(scores),
                              torch_recursions.posteriors(scores)),
        }, rounds)
        rows.append([f"k={k} blocks={blocks}", ms(t["list"]), ms(t["tensors"]), ms(t["torch"]),
                     ratio(t["list"], t["tensors"]), ratio(t["torch"], t["tensors"])])
    return rows


def thread_rows(rounds, quick):
    """decode_batch of 16 chunks and one chunk's decode and posts, on 2 intra-op threads
    against 1 (k = 5, 1,000 blocks)."""
    batch = torch.randn(16, 1000, 5 * 4**5, generator=torch.Generator().manual_seed(16)) * 3
    one = batch[0]
    columns = {}
    for threads in (1, 2):
        def on(threads, call):
            def timed():
                torch.set_num_threads(threads)
                call()
            return timed
        columns[f"batch/{threads}"] = on(threads, lambda: tovrel_tensors.decode_batch(batch))
        columns[f"decode/{threads}"] = on(threads, lambda: tovrel_tensors.decode(one))
        columns[f"posts/{threads}"] = on(threads, lambda: tovrel_tensors.posts(one))
    t = median_times(columns, rounds)
    torch.set_num_threads(1)
    return [[what, ms(t[f"{what}/1"]), ms(t[f"{what}/2"]), ratio(t[f"{what}/1"], t[f"{what}/2"]),
             goal] for what, goal in (("batch", ">= 1.8"), ("decode", ">= 1.6"),
                                      ("posts", ">= 1.6"))]


def eight_bit_rows(cases, rounds):
    """8-bit beam search against float32 on the same values: tovrel_tensors converts the
    posteriors it reads; tovrel converts them all first."""
    rows = []
    for k, blocks in cases:
        scores = (scores_for(k, blocks) * 0.3 * 16).round().clamp(-128, 127)
        back = tovrel_tensors.backward_scores(scores).round().clamp(-128, 127)
        posts = (tovrel_tensors.posts(scores) * 255 - 128).round()
        floats = (scores, back, (posts + 128) / 255)
        ints = tuple(t.to(torch.int8) for t in (scores, back, posts))
        t = median_times({
            "tensors.float": lambda: tovrel_tensors.beam_search(*floats),
            "tensors.int8": lambda: tovrel_tensors.beam_search(*ints),
            "module.float": lambda: tovrel.beam_search(*floats),
            "module.int8": lambda: tovrel.beam_search(*ints),
        }, rounds)
        rows.append([f"k={k} blocks={blocks}", ms(t["tensors.float"]), ms(t["tensors.int8"]),
                     ratio(t["tensors.int8"], t["tensors.float"]), ms(t["module.float"]),
                     ms(t["module.int8"]), ratio(t["module.int8"], t["module.float"])])
    return rows


def check_rows(cases, rounds):
    """decode_batch_checked, which sums every row of posteriors as part of the decoding, against
    decode_batch on the same chunk (goal: at most 3 % more)."""
    rows = []
    for k, blocks in cases:
        chunks = [scores_for(k, blocks)]
        t = median_times({"plain": lambda: tovrel_tensors.decode_batch(chunks),
                          "checked": lambda: tovrel_tensors.decode_batch_checked(chunks)},
                         rounds)
        rows.append([f"k={k} blocks={blocks}", ms(t["plain"]), ms(t["checked"]),
                     ratio(t["checked"], t["plain"])])
    return rows


def roofline_rows(cases, core):
    rows = []
    for k, blocks in cases:
        case = f"{k}/{blocks}"
        floor = core.get(f"exp_log_floor/{case}")
        back, fwd = core.get(f"back_guides/avx2/{case}"), core.get(f"fwd_guides/avx2/{case}")
        if floor and back and fwd:
            rows.append([f"k={k} blocks={blocks}", f"{floor:.1f}", f"{back:.1f}", f"{fwd:.1f}",
                         ratio(back, floor), ratio(fwd, floor)])
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="only k = 5 with 1,000 blocks")
    parser.add_argument("--rounds", type=int, default=5, help="rounds per case (default 5)")
    parser.add_argument("--skip-core", action="store_true", help="skip the C++ benchmarks")
    args = parser.parse_args()

    torch.set_num_threads(1)
    cases = [(5, 1000)] if args.quick else [(k, b) for k in (4, 5, 6) for b in (1000, 4000)]
    core = {} if args.skip_core else core_medians(args.rounds, args.quick)
    print(f"one thread; medians of {args.rounds} rounds; times in ms")
    print_table(
        "Scoring. list: building a Python list of as many floats (numpy .tolist()); torch: the "
        "recursions in plain PyTorch (bench/torch_recursions.py); core: the C++ backward "
        "recursion alone",
        ["case", "list", "backward_scores", "forward_scores", "posts", "tensors.backward",
         "tensors.posts", "torch.backward", "torch.posts", "core scalar", "core avx2",
         "backward/list", "forward/list", "posts/list", "torch/tensors", "scalar/avx2"],
        scoring_rows(cases, args.rounds, core))
    print_table(
        "Decoding. beam_search through the list API, and the C++ beam search alone with the "
        "hashed merge and with the w x w scan",
        ["case", "type", "beam", "beam_search", "core", "core scan", "scan/hashed"],
        decoding_rows(cases, args.rounds, core))
    print_table(
        "A chunk from scores to read (guides, posteriors, beam 5). list: backward_scores, posts, "
        "two torch.tensor() and beam_search; tensors: tovrel_tensors.decode; torch: the plain "
        "PyTorch guides and posteriors alone",
        ["case", "list API", "tensors.decode", "torch recursions", "list/tensors",
         "torch/tensors"],
        chunk_rows(cases, args.rounds))
    print_table(
        "Threads: 2 intra-op threads against 1 (k = 5, 1,000 blocks). batch: decode_batch of 16 "
        "chunks; decode, posts: one chunk, its backward and forward recursions at once and its "
        "posterior rows split between the threads",
        ["work", "1 thread", "2 threads", "speed-up", "goal"], thread_rows(args.rounds, args.quick))
    print_table(
        "8-bit against float32 beam search (beam 5) on the same values. tensors: "
        "tovrel_tensors.beam_search, posteriors converted as read; module: tovrel.beam_search, "
        "all posteriors converted first (goal for tensors: int8/float <= 1.5)",
        ["case", "tensors float", "tensors int8", "int8/float", "module float", "module int8",
         "int8/float"],
        eight_bit_rows(cases, args.rounds))
    print_table(
        "Values check: decode_batch_checked (the posteriors' rows summed as they are made) "
        "against decode_batch on one chunk (goal: checked/plain <= 1.03)",
        ["case", "decode_batch", "decode_batch_checked", "checked/plain"],
        check_rows(cases, 3 * args.rounds))
    if core:
        print_table(
            "Roofline: the exact vector expf and logf alone over as many values as a recursion "
            "evaluates (five exponentials and one logarithm per state and block), against the "
            "AVX2 recursions (goal: <= 1.4)",
            ["case", "exp+log floor", "back_guides avx2", "fwd_guides avx2", "back/floor",
             "fwd/floor"],
            roofline_rows(cases, core))


if __name__ == "__main__":
    main()
