"""Trains the example network of basecall.py with tovrel's CRF loss on simulated signal, on the
CPU, and saves the checkpoint that basecall.py loads. The checkpoint in this directory was made by

    python examples/train.py --minutes 9 --threads 2 --seed 0 -o examples/basecall-model.pt

which prints the held-out identity as it goes and keeps the best network seen. Its recipe (these
arguments, the steps taken and the identity reached) is saved inside it."""
import argparse
import time

import torch

import tovrel_tensors
from basecall import CHUNK, K, Network
from simulate import SimulatedRead, chunk_target, matches, pore_model, simulate

READ_BASES = 2000  # bases of each simulated read that chunks are cut from


def make_chunks(count: int, seed: int) -> tuple[torch.Tensor, torch.Tensor, torch.Tensor]:
    """count chunks of CHUNK samples cut end to end from simulated reads: (signal, targets padded
    with 0, target lengths)."""
    generator = torch.Generator().manual_seed(seed)
    levels = pore_model()
    signals, targets = [], []
    while len(signals) < count:
        read: SimulatedRead = simulate(READ_BASES, generator, levels)
        for start in range(0, len(read.signal) - CHUNK + 1, CHUNK):
            signals.append(read.signal[start:start + CHUNK])
            targets.append(chunk_target(read, start, start + CHUNK, K))
    signals, targets = signals[:count], targets[:count]
    lengths = torch.tensor([len(t) for t in targets])
    padded = torch.zeros(count, int(lengths.max()), dtype=torch.long)
    for row, target in enumerate(targets):
        padded[row, :len(target)] = target
    return torch.stack(signals), padded, lengths


def held_out_identity(network: Network, signal: torch.Tensor, targets: torch.Tensor,
                      lengths: torch.Tensor) -> float:
    """Mean identity of the decoded chunks to their truth (which, like the calls, leaves out the
    k - 1 bases of the first state before the first emitted one)."""
    with torch.inference_mode():
        reads = tovrel_tensors.decode_batch(network(signal))
    identities = []
    for (sequence, _, _), target, length in zip(reads, targets, lengths):
        truth = "".join("ACGT"[int(b)] for b in target[K - 1:int(length)])
        identities.append(matches(sequence, truth)[0])
    return sum(identities) / len(identities)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=4.0)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--batch", type=int, default=64)
    parser.add_argument("--learning-rate", type=float, default=2e-3)
    parser.add_argument("--train-chunks", type=int, default=20000)
    parser.add_argument("-o", "--output", default="basecall-model.pt")
    args = parser.parse_args()

    torch.set_num_threads(args.threads)
    torch.manual_seed(args.seed)
    signal, targets, lengths = make_chunks(args.train_chunks, args.seed + 1)
    test_signal, test_targets, test_lengths = make_chunks(256, args.seed + 2)
    network = Network(K)
    optimiser = torch.optim.Adam(network.parameters(), lr=args.learning_rate)
    best, best_state = 0.0, network.state_dict()
    started = time.monotonic()
    step, loss_time = 0, 0.0
    while time.monotonic() - started < 60 * args.minutes:
        rows = torch.randint(0, len(signal), (args.batch,))
        scores = network(signal[rows])
        loss_started = time.monotonic()
        loss = tovrel_tensors.crf_loss(scores, targets[rows], lengths[rows])
        loss_time += time.monotonic() - loss_started
        optimiser.zero_grad()
        loss.backward()
        optimiser.step()
        step += 1
        if step % 100 == 0:
            identity = held_out_identity(network, test_signal, test_targets, test_lengths)
            elapsed = time.monotonic() - started
            print(f"step {step}, {elapsed:.0f} s: loss {loss.item():.3f}, held-out identity "
                  f"{identity:.3f}, the loss {100 * loss_time / elapsed:.0f} % of the time",
                  flush=True)
            if identity > best:
                best, best_state = identity, {k: v.clone() for k, v in network.state_dict().items()}
    recipe = {**vars(args), "steps": step, "held_out_identity": best}
    torch.save({"state_dict": best_state, "recipe": recipe}, args.output)
    print(f"best held-out identity {best:.3f}; saved to {args.output}")


if __name__ == "__main__":
    main()
