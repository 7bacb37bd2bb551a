"""The decoding path on long chunks and masked (-inf) transitions: renormalised guides against a
double-precision reference, tovrel's bits kept up to EXACT_BLOCKS, refusals that name their cause.
"""
import numpy as np
import pytest
import torch

import tovrel
import tovrel_tensors
from tovrel_decode import Decoder
from reference import step_layout


def masked_chunk(blocks, k, share, seed):
    generator = torch.Generator().manual_seed(seed)
    scores = torch.randn(blocks, 5 * 4**k, generator=generator) * 2
    scores[torch.rand(scores.shape, generator=generator) < share] = float("-inf")
    return scores


def log_sum_exp(slots):
    top = np.max(slots, axis=0)
    safe = np.where(np.isfinite(top), top, 0.0)
    with np.errstate(divide="ignore"):
        return np.where(np.isfinite(top), safe + np.log(np.exp(slots - safe).sum(axis=0)), top)


def reference_guides_and_posts(scores):
    """Backward and forward guides (each row less its maximum) and posteriors, in float64."""
    scores = scores.double().numpy()
    blocks, n = scores.shape[0], scores.shape[1] // 5
    states, msb = np.arange(n), n // 4
    dest, score_pos = step_layout(n)
    back, fwd = np.zeros((blocks + 1, n)), np.zeros((blocks + 1, n))
    for t in range(blocks - 1, -1, -1):
        slots = [scores[t, 5 * states] + back[t + 1]]
        slots += [scores[t, score_pos[:, b]] + back[t + 1, dest[:, b]] for b in range(4)]
        back[t] = log_sum_exp(np.array(slots))
    for t in range(blocks):
        slots = [scores[t, 5 * states] + fwd[t]]
        slots += [scores[t, 5 * states + 1 + b] + fwd[t, b * msb + states // 4] for b in range(4)]
        fwd[t + 1] = log_sum_exp(np.array(slots))
    total = fwd + back
    with np.errstate(invalid="ignore"):
        posts = np.exp(total - log_sum_exp(total.T)[:, None])
    return back - back.max(1, keepdims=True), fwd - fwd.max(1, keepdims=True), posts


@pytest.mark.parametrize("k,blocks,share", [(1, 300, 0.0), (1, 300, 0.3), (2, 120, 0.1),
                                            (3, 60, 0.05), (1, 20_000, 0.0)])
def test_guides_and_posteriors_match_a_double_reference(k, blocks, share):
    scores = masked_chunk(blocks, k, share, seed=k * 100 + blocks)
    back, fwd, posts = reference_guides_and_posts(scores)
    for ours, reference in ((tovrel_tensors.backward_scores(scores, normalised=True), back),
                            (tovrel_tensors.forward_scores(scores, normalised=True), fwd),
                            (tovrel_tensors.posts(scores), posts)):
        ours = ours.double().numpy()
        assert not np.isnan(ours).any()
        unreachable = np.isneginf(reference) if reference is not posts else reference == 0
        assert (ours[unreachable] == (-np.inf if reference is not posts else 0)).all()
        assert np.allclose(ours[~unreachable], reference[~unreachable], rtol=0, atol=2e-4)
    sequence, quality, moves = tovrel_tensors.decode_batch_checked([scores])[0]
    assert len(moves) == blocks and len(sequence) == len(quality) == int(moves.sum())


def test_masked_transitions_decode_where_tovrel_gives_nan(run, tmp_path):
    scores = masked_chunk(40, 1, 0.0, seed=1)
    scores[2, 0:5] = float("-inf")  # no way into state 0 in block 2
    assert np.isnan(tovrel.posts(scores)).any()
    unnormalised = tovrel_tensors.backward_scores(scores)
    specified = torch.tensor(tovrel.backward_scores(scores)).view(41, 4)
    usable = ~specified.isnan()
    assert torch.equal(unnormalised[usable], specified[usable])
    assert tovrel_tensors.posts(scores)[3, 0] == 0
    # The command decodes it, and a 300-block chunk with 30 % of its transitions masked.
    heavy = masked_chunk(300, 1, 0.3, seed=2)
    torch.save([scores, heavy], tmp_path / "masked.pt")
    result = run(tmp_path / "masked.pt")
    assert result.returncode == 0 and result.stdout.count("@masked_") == 2
    # Every block of its path is a finite transition.
    sequence, _, moves = tovrel_tensors.decode(heavy)
    assert len(moves) == 300 and sequence


def test_tovrel_bits_up_to_exact_blocks_and_renormalised_guides_beyond():
    limit = tovrel_tensors.EXACT_BLOCKS
    assert limit >= 10_000
    scores = masked_chunk(limit, 2, 0.0, seed=3)
    back = torch.tensor(tovrel.backward_scores(scores))
    posts = torch.tensor(tovrel.posts(scores))
    sequence, quality, moves = tovrel.beam_search(scores, back, posts)
    for read in (tovrel_tensors.decode(scores), tovrel_tensors.decode_batch_checked([scores])[0]):
        assert (read[0], read[1], read[2].tolist()) == (sequence, quality, moves)
    # One block more decodes over renormalised guides, 8-bit scores as they widen.
    longer = masked_chunk(limit + 1, 2, 0.0, seed=4)
    eight_bit = (longer * 10).clamp(-128, 127).to(torch.int8)
    with Decoder() as decoder:
        decoder.submit("eight_bit", eight_bit, last=True)
    read = decoder.ready()[0]
    widened = tovrel_tensors.decode(eight_bit.float())
    assert (read.sequence, read.quality, read.moves.tolist()) == \
        (widened[0], widened[1], widened[2].tolist())
    assert len(read.moves) == limit + 1


def best_path_score(scores, sequence, moves, k):
    """The best score, in float64, of a path of states that emits `sequence` with `moves`: -inf
    when every such path crosses a masked transition."""
    scores = scores.double().numpy()
    n, states = 4**k, np.arange(4**k)
    bases = ["ACGT".index(c) for c in sequence]
    first = np.maximum(scores[0, 5 * states], scores[0].reshape(n, 5)[:, 1:].max(axis=1))
    value = np.where(states % 4 == bases[0], first, -np.inf)
    emitted = 0
    for block in range(1, len(moves)):
        if moves[block] == 0:
            value = value + scores[block, 5 * states]
            continue
        emitted += 1
        destination = (states * 4) % n + bases[emitted]
        stepped = np.full(n, -np.inf)
        np.maximum.at(stepped, destination,
                      value + scores[block, 5 * destination + 1 + states // (n // 4)])
        value = stepped
    return value.max()


@pytest.mark.parametrize("options", [{"beam_cut": 0.0}, {}])
def test_masked_chunks_never_decode_through_a_masked_transition(options):
    for seed in range(40):
        k = 1 + seed % 2
        scores = masked_chunk(12 + seed, k, 0.5, seed=seed)
        read = tovrel_tensors.decode_batch_checked([scores], beam_size=16, **options)[0]
        if isinstance(read, tuple):
            assert np.isfinite(best_path_score(scores, read[0], read[2].tolist(), k)), seed


def test_refusals_name_the_cause_they_measured():
    nan = masked_chunk(30, 1, 0.0, seed=5)
    nan[7, 3] = float("nan")
    blocked = masked_chunk(30, 1, 0.0, seed=6)
    blocked[5, 5:] = float("-inf")  # only enters state 0
    blocked[6, [i for i in range(20) if (i // 5 if i % 5 == 0 else i % 5 - 1) != 1]] = \
        float("-inf")               # only leaves state 1
    reads = tovrel_tensors.decode_batch_checked([nan, blocked, masked_chunk(30, 1, 0.0, 7) * 1e37])
    assert (reads[0].what, reads[0].row, reads[0].problem) == ("scores", 7, "hold NaN")
    assert (reads[1].what, reads[1].row) == ("scores", 6)
    assert reads[1].problem.startswith("leave no path of finite scores")
    assert isinstance(reads[2], tuple)  # large but finite: decoded, not "too large"
