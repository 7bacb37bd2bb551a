"""Invariants over random valid inputs (Hypothesis, derandomized so every run sees the same cases)."""
import numpy as np
import torch
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tovrel

deterministic = settings(derandomize=True, database=None, deadline=None, max_examples=80,
                         suppress_health_check=[HealthCheck.too_slow])

any_float = st.floats(allow_nan=True, allow_infinity=True, width=32)


@st.composite
def score_tensors(draw, max_k=3, max_blocks=30, magnitude=20.0):
    k = draw(st.integers(1, max_k))
    blocks = draw(st.integers(0, max_blocks))
    seed = draw(st.integers(0, 2**32 - 1))
    scale = draw(st.floats(0.01, magnitude))
    rng = np.random.default_rng(seed)
    scores = rng.standard_normal((blocks, 5 * 4**k)) * scale
    # Forbidden transitions are common in real models.
    scores[rng.random(scores.shape) < draw(st.sampled_from([0.0, 0.2]))] = -np.inf
    return torch.from_numpy(scores.astype(np.float32))


@st.composite
def decoding_inputs(draw):
    scores = draw(score_tensors(max_k=4, max_blocks=40))
    guides = torch.tensor(tovrel.backward_scores(scores))
    posts = torch.tensor(tovrel.posts(scores))
    if draw(st.booleans()):
        scores = (scores * 8).nan_to_num(neginf=-128).round().clamp(-128, 127).to(torch.int8)
        guides = guides.nan_to_num().round().clamp(-128, 127).to(torch.int8)
        posts = (posts * 255 - 128).nan_to_num().round().clamp(-128, 127).to(torch.int8)
    return scores, guides, posts


def as_rows(values, blocks):
    return np.array(values, dtype=np.float64).reshape(blocks + 1, -1)


def all_finite(*arrays):
    return all(np.isfinite(a).all() for a in arrays)


@deterministic
@given(score_tensors())
def test_posterior_rows_sum_to_one(scores):
    posts = as_rows(tovrel.posts(scores), scores.shape[0])
    if all_finite(posts):
        # Each row is normalised by the log of the total weight, which rounds to its single-
        # precision ulp: the sum may be off by a few of those, relative.
        back = as_rows(tovrel.backward_scores(scores), scores.shape[0])
        total = float(np.abs(back[0][np.isfinite(back[0])]).max(initial=0.0))
        np.testing.assert_allclose(posts.sum(axis=1), 1.0, rtol=0,
                                   atol=2e-5 + 4 * total * 2.0**-24)
        assert (posts >= 0).all() and (posts <= 1 + 1e-6).all()


@deterministic
@given(score_tensors())
def test_total_path_weight_is_the_same_at_every_boundary(scores):
    blocks = scores.shape[0]
    fwd = as_rows(tovrel.forward_scores(scores), blocks)
    back = as_rows(tovrel.backward_scores(scores), blocks)
    if all_finite(fwd, back):
        totals = np.logaddexp.reduce(fwd + back, axis=1)
        # Single-precision rounding accumulates with the size of the guides.
        tolerance = 1e-5 * (1 + blocks) * (1 + np.abs(fwd).max() + np.abs(back).max())
        np.testing.assert_allclose(totals, totals[0], rtol=0, atol=tolerance)


@deterministic
@given(score_tensors(), any_float)
def test_stay_score_changes_nothing(scores, stay_score):
    for function in (tovrel.backward_scores, tovrel.forward_scores, tovrel.posts):
        expected = np.array(function(scores), dtype=np.float32).view(np.uint32)
        got = np.array(function(scores, stay_score=stay_score), dtype=np.float32).view(np.uint32)
        np.testing.assert_array_equal(got, expected)


@deterministic
@given(decoding_inputs(), st.integers(1, 256), st.floats(-10, 1e6), st.floats(0, 10),
       any_float, any_float, any_float)
def test_decoded_reads_are_well_formed(inputs, beam_size, beam_cut, temperature, q_shift,
                                       q_scale, fixed_stay_score):
    scores, guides, posts = inputs
    sequence, quality, moves = tovrel.beam_search(
        scores, guides, posts, beam_size=beam_size, beam_cut=beam_cut,
        fixed_stay_score=fixed_stay_score, q_shift=q_shift, q_scale=q_scale,
        temperature=temperature,
    )
    assert len(moves) == scores.shape[0]
    assert len(sequence) == len(quality) == sum(moves)
    assert set(moves) <= {0, 1} and moves[:1] == [1][: len(moves)]
    assert set(sequence) <= set("ACGT")
    assert all(34 <= ord(c) <= 123 for c in quality)
    # The stay score is accepted and ignored.
    assert tovrel.beam_search(scores, guides, posts, beam_size, beam_cut, 2.0, q_shift, q_scale,
                              temperature) == (sequence, quality, moves)
