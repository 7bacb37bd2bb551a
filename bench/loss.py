"""The training loss side by side with what it is made of and with plain PyTorch, in one run:

- log Z with its gradient (crf_log_z, backward) against the two recursions alone
  (tovrel_tensors.forward_scores and backward_scores) and against log Z with its gradient written
  in PyTorch in float32 and differentiated by autograd;
- the numerator: the loss with its gradient less log Z with its gradient, against the latter;
- a batch on two intra-op threads against one, in a fresh process and after the tables;
- the precision of float32 log Z, edge posteriors and numerator against float64 at 1,000, 10,000
  and 100,000 blocks.

    .venv/bin/python bench/loss.py [--rounds 5]

The columns of our own functions are timed round-robin (one call of each per round) in the
calling thread's processor time, which other jobs on a shared machine do not inflate (one intra-op
thread runs on the calling thread); the PyTorch reference, slow, on its own rounds afterwards, and
the two-thread speed-up in wall time.
"""
import argparse
import statistics
import time

import torch

import tovrel_tensors
from bench import median_times  # the same round-robin timing as the main benchmark
from tovrel_tensors import crf_edge_posteriors, crf_log_z, crf_loss


def sources(num_states):
    d = torch.arange(num_states)
    return torch.stack([d] + [d // 4 + b * (num_states // 4) for b in range(4)], 1)


def torch_log_z(scores):
    """log Z of a batch (chunks, blocks, 5 * 4**k) as a PyTorch user writes it: the forward
    recursion vectorised over chunks and states, iterating over blocks with unbind (slicing in
    the loop makes autograd's backward allocate a whole-input zero tensor per block)."""
    chunks, _, width = scores.shape
    num_states = width // 5
    src = sources(num_states)
    fwd = scores.new_zeros(chunks, num_states)
    for row in scores.unbind(1):
        fwd = torch.logsumexp(row.view(chunks, num_states, 5) + fwd[:, src], 2)
    return torch.logsumexp(fwd, 1)


def median_ms(function, rounds, clock=time.perf_counter):
    times = []
    for _ in range(rounds):
        start = clock()
        function()
        times.append(clock() - start)
    return 1000 * statistics.median(times)


def scores_of(chunks, blocks, k, seed=0):
    generator = torch.Generator().manual_seed(seed)
    return (torch.rand(chunks, blocks, 5 * 4**k, generator=generator) * 2 - 1) * 3


def speed(rounds):
    torch.set_num_threads(1)
    print("one thread unless stated; medians of", rounds, "rounds; processor times of the calling "
          "thread in ms")
    header = ("case", "recursions", "log Z", "log Z+grad", "torch+grad", "loss+grad",
              "grad/recursions", "torch/ours", "numerator/log Z")
    print(("{:>16}" * len(header)).format(*header))
    for k, blocks, chunks in ((3, 1000, 8), (5, 1000, 4)):
        scores = scores_of(chunks, blocks, k)
        targets = torch.randint(0, 4, (chunks, blocks // 2), generator=torch.Generator().manual_seed(1))
        lengths = [blocks // 2] * chunks

        def recursions():
            for chunk in scores.unbind(0):
                tovrel_tensors.forward_scores(chunk)
                tovrel_tensors.backward_scores(chunk)

        def log_z_only():
            with torch.no_grad():
                crf_log_z(scores)

        leaf = scores.clone().requires_grad_()

        def log_z_grad():
            torch.autograd.grad(crf_log_z(leaf).sum(), leaf)

        def loss_grad():
            torch.autograd.grad(crf_loss(leaf, targets, lengths, reduction="sum"), leaf)

        def reference_grad():
            torch.autograd.grad(torch_log_z(leaf).sum(), leaf)

        ours = median_times({"recursions": recursions, "log Z": log_z_only,
                             "log Z+grad": log_z_grad, "loss+grad": loss_grad}, rounds,
                            time.thread_time)
        times = [1000 * ours[name] for name in ("recursions", "log Z", "log Z+grad")]
        times.append(median_ms(reference_grad, max(1, rounds // 2), time.thread_time))
        times.append(1000 * ours["loss+grad"])
        ratios = (times[2] / times[0], times[3] / times[2], (times[4] - times[2]) / times[2])
        print(("{:>16}" + "{:>16.1f}" * 5 + "{:>16.2f}" * 3).format(
            f"k={k} T={blocks} N={chunks}", *times, *ratios))


def threads(rounds, when):
    """A batch's loss with its gradient on two intra-op threads against one, in wall time."""
    scores = scores_of(8, 1000, 5)
    targets = torch.randint(0, 4, (8, 500), generator=torch.Generator().manual_seed(2))

    leaf = scores.clone().requires_grad_()

    def batch():
        torch.autograd.grad(crf_loss(leaf, targets, [500] * 8), leaf)

    def on(threads):
        def timed():
            torch.set_num_threads(threads)
            batch()
        return timed

    batch()  # warm-up
    t = median_times({"one": on(1), "two": on(2)}, rounds)
    torch.set_num_threads(1)
    one, two = 1000 * t["one"], 1000 * t["two"]
    print(f"loss+grad, k=5 T=1000 N=8, {when}: one thread {one:.1f} ms, two threads {two:.1f} ms, "
          f"speed-up {one / two:.2f}")


def precision():
    torch.set_num_threads(2)
    print("float32 against float64 (the same core in double, itself checked against a float64 "
          "torch recursion at 1,000 and 10,000 blocks), k=3, scores uniform in [-3, 3]")
    header = ("blocks", "log Z", "|error| log Z", "relative", "max |error| posteriors",
              "torch f64 - ours f64", "|error| numerator")
    print(("{:>24}" * len(header)).format(*header))
    for blocks in (1000, 10000, 100000):
        scores = scores_of(1, blocks, 3, seed=blocks)
        exact = scores.double()
        log_z64 = crf_log_z(exact).item()
        log_z32 = crf_log_z(scores).item()
        posts = (crf_edge_posteriors(scores).double() - crf_edge_posteriors(exact)).abs().max()
        check = "-"
        if blocks <= 10000:
            with torch.no_grad():
                check = f"{torch_log_z(exact).item() - log_z64:.2e}"
        # The numerator of a target of 0.9 * blocks bases, as log Z less the loss.
        bases = blocks * 9 // 10
        target = torch.randint(0, 4, (1, bases), generator=torch.Generator().manual_seed(blocks))
        num64 = log_z64 - crf_loss(exact, target, [bases], reduction="sum").item()
        num32 = log_z32 - crf_loss(scores, target, [bases], reduction="sum").item()
        print(("{:>24}" * 7).format(blocks, f"{log_z64:.3f}", f"{abs(log_z32 - log_z64):.2e}",
                                    f"{abs(log_z32 - log_z64) / abs(log_z64):.1e}",
                                    f"{posts.item():.2e}", check, f"{abs(num32 - num64):.2e}"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--speed-only", action="store_true", help="leave out the precision table")
    args = parser.parse_args()
    # Before and after the tables: their PyTorch reference allocates and frees gigabytes, and on a
    # virtual machine that hands freed memory back to its host, memory touched for the first time
    # by two processors at once can cost more than the work done in it.
    threads(args.rounds, "in a fresh process")
    speed(args.rounds)
    threads(args.rounds, "after the tables")
    if not args.speed_only:
        precision()


if __name__ == "__main__":
    main()
