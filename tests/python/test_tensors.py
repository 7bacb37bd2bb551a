"""tovrel_tensors gives exactly what tovrel gives, as tensors."""
import threading

import numpy as np
import pytest
import torch

import reference as ref
import tovrel
import tovrel_tensors as tt


def random_scores(k, blocks, seed, specials=False):
    rng = np.random.default_rng(seed)
    scores = (rng.standard_normal((blocks, 5 * 4**k)) * 3).astype(np.float32)
    if specials:
        scores[rng.random(scores.shape) < 0.05] = -np.inf
        scores[rng.random(scores.shape) < 0.01] = np.nan
    return torch.from_numpy(scores)


def same_values(tensor, values):
    got, expected = ref.bits(tensor.reshape(-1).tolist()), ref.bits(values)
    both_nan = np.isnan(tensor.reshape(-1).numpy()) & np.isnan(np.asarray(values, np.float32))
    return bool(np.all((got == expected) | both_nan))


@pytest.mark.parametrize("k", [1, 2, 3, 4, 5, 6])
@pytest.mark.parametrize("specials", [False, True])
def test_scoring_matches_the_list_api(k, specials):
    scores = random_scores(k, 60 if k < 5 else 8, k, specials)
    for name in ("backward_scores", "forward_scores", "posts"):
        result = getattr(tt, name)(scores)
        assert result.dtype == torch.float32
        assert result.shape == (scores.shape[0] + 1, 4**k)
        assert same_values(result, getattr(tovrel, name)(scores)), name


@pytest.mark.parametrize("k", [1, 2, 3, 4, 5, 6])
def test_decode_matches_the_list_api(k):
    scores = random_scores(k, 50 if k < 5 else 10, 10 + k)
    back = torch.tensor(tovrel.backward_scores(scores))
    posts = torch.tensor(tovrel.posts(scores))
    for options in ({}, {"beam_size": 32, "beam_cut": 0.0, "temperature": 0.5},
                    {"beam_size": 256, "q_shift": 2.0, "q_scale": 0.5}):
        sequence, quality, moves = tt.decode(scores, **options)
        assert moves.dtype == torch.uint8
        assert (sequence, quality, moves.tolist()) == tovrel.beam_search(scores, back, posts,
                                                                         **options)


@pytest.mark.parametrize("k", [1, 3, 5, 6])
def test_eight_bit_beam_search_matches_the_list_api(k):
    scores = random_scores(k, 40 if k < 5 else 8, 20 + k)
    scores8 = (scores * 8).round().clamp(-128, 127).to(torch.int8)
    back8 = torch.tensor(tovrel.backward_scores(scores)).round().clamp(-128, 127).to(torch.int8)
    posts8 = (torch.tensor(tovrel.posts(scores)) * 255 - 128).round().to(torch.int8)
    for width in (1, 5, 64, 256):
        sequence, quality, moves = tt.beam_search(scores8, back8, posts8, beam_size=width)
        assert (sequence, quality, moves.tolist()) == tovrel.beam_search(
            scores8, back8, posts8, beam_size=width)


def test_refusals_match_the_list_api():
    with pytest.raises(RuntimeError, match="Unexpected number of transition states"):
        tt.decode(torch.zeros(3, 40))
    with pytest.raises(RuntimeError, match="Float"):
        tt.posts(torch.zeros(3, 20, dtype=torch.int8))
    with pytest.raises(ValueError, match="'meta'"):
        tt.backward_scores(torch.zeros(3, 20, device="meta"))
    with pytest.raises(ValueError, match="greater than 256"):
        tt.decode(torch.zeros(3, 20), beam_size=257)
    with pytest.raises(ValueError, match="too large"):
        tt.forward_scores(torch.zeros(1, 80).expand(2**31, 80))
    sequence, quality, moves = tt.decode(torch.zeros(0, 20))
    assert (sequence, quality, moves.numel()) == ("", "", 0)


def test_threads_decoding_at_once_match_serial_results():
    inputs = [random_scores(4, 300, 30 + i) for i in range(4)]
    serial = [tt.decode(s, beam_size=32) for s in inputs]
    results = [None] * len(inputs)

    def work(i):
        results[i] = tt.decode(inputs[i], beam_size=32)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(inputs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for got, expected in zip(results, serial):
        assert got[:2] == expected[:2] and torch.equal(got[2], expected[2])
