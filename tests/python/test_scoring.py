"""backward_scores, forward_scores and posts: exact values and refusals of bad input."""
import numpy as np
import pytest
import torch

import reference as ref
import tovrel

SCORING = ("backward_scores", "forward_scores", "posts")
WIDTH_MESSAGE = "Unexpected number of transition states in beam search decode."

# The same scores and bits as the C++ golden test.
GOLDEN_SCORES = [[((t * 20 + j) % 7 - 3) * 0.5 for j in range(20)] for t in range(2)]
GOLDEN = {
    "backward_scores": "0x1.036f2p+2 0x1.fbbe66p+1 0x1.fc309ep+1 0x1.e6a234p+1 0x1.163caap+1 "
    "0x1.15b0dp+1 0x1.a3ce3p+0 0x1.05a1bcp+1 0 0 0 0",
    "forward_scores": "0 0 0 0 0x1.58dba8p+0 0x1.10603p+1 0x1.27a59ep+1 0x1.d8dba8p+0 "
    "0x1.c1fe9cp+1 0x1.0ca2cep+2 0x1.1820b6p+2 0x1.ac907cp+1",
    "posts": "0x1.1b55c8p-2 0x1.03c012p-2 0x1.04a844p-2 0x1.b883e4p-3 0x1.4c9a3ap-3 "
    "0x1.6989acp-2 0x1.feabeap-3 0x1.e1a6aap-3 0x1.4adcbap-3 0x1.472596p-2 0x1.877e52p-2 "
    "0x1.17db64p-3",
}


def random_scores(blocks, num_states, seed, scale=3.0):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal((blocks, 5 * num_states)) * scale).astype(np.float32)


def module_results(scores):
    tensor = torch.from_numpy(scores)
    return {name: getattr(tovrel, name)(tensor) for name in SCORING}


def ref_results(scores, num_states):
    back = ref.backward_guides(scores, num_states)
    fwd = ref.forward_guides(scores, num_states)
    return {
        "backward_scores": back.ravel(),
        "forward_scores": fwd.ravel(),
        "posts": ref.posteriors(fwd, back).ravel(),
    }


@pytest.mark.parametrize("name", sorted(GOLDEN))
def test_golden_values(name):
    expected = [float.fromhex(x) for x in GOLDEN[name].split()]
    assert getattr(tovrel, name)(torch.tensor(GOLDEN_SCORES)) == expected


@pytest.mark.parametrize(
    "k, blocks, seed",
    [(1, 40, 1), (2, 30, 2), (3, 12, 3), (4, 6, 4), (5, 3, 5), (6, 2, 6), (3, 1, 7), (2, 0, 8)],
)
def test_bit_exact_against_reference(k, blocks, seed):
    num_states = 4**k
    scores = random_scores(blocks, num_states, seed)
    expected = ref_results(scores, num_states)
    for name, values in module_results(scores).items():
        assert len(values) == (blocks + 1) * num_states
        np.testing.assert_array_equal(ref.bits(values), ref.bits(expected[name]), err_msg=name)


def test_bit_exact_with_forbidden_transitions_and_extreme_scores():
    num_states = 16
    scores = random_scores(8, num_states, 9, scale=30.0)
    rng = np.random.default_rng(10)
    scores[rng.random(scores.shape) < 0.3] = -np.inf
    scores[0, :5] = 3e38
    scores[1, 5:10] = -3e38
    scores[2, 10:15] = 1e-42  # subnormal
    expected = ref_results(scores, num_states)
    for name, values in module_results(scores).items():
        np.testing.assert_array_equal(ref.bits(values), ref.bits(expected[name]), err_msg=name)


def test_posteriors_are_distributions_and_totals_agree():
    num_states, blocks = 64, 20
    scores = random_scores(blocks, num_states, 11)
    tensor = torch.from_numpy(scores)
    posts = np.array(tovrel.posts(tensor)).reshape(blocks + 1, num_states)
    np.testing.assert_allclose(posts.sum(axis=1), 1.0, rtol=1e-5)
    fwd = np.array(tovrel.forward_scores(tensor)).reshape(blocks + 1, num_states)
    back = np.array(tovrel.backward_scores(tensor)).reshape(blocks + 1, num_states)
    totals = np.logaddexp.reduce(fwd + back, axis=1)
    np.testing.assert_allclose(totals, totals[0], rtol=1e-5)


def test_zero_blocks():
    empty = torch.zeros(0, 20)
    assert tovrel.backward_scores(empty) == [0.0] * 4
    assert tovrel.forward_scores(empty) == [0.0] * 4
    assert tovrel.posts(empty) == [0.25] * 4


def test_layouts_that_are_read_as_row_major():
    """Views are read by their logical row-major order, never by their raw memory."""
    scores = torch.from_numpy(random_scores(6, 16, 12))
    expected = tovrel.posts(scores)
    transposed = scores.t().contiguous().t()
    assert not transposed.is_contiguous()
    assert tovrel.posts(transposed) == expected
    padded = torch.zeros(6, 100)
    padded[:, 10:90] = scores
    assert tovrel.posts(padded[:, 10:90]) == expected
    assert tovrel.posts(torch.cat([torch.zeros(2, 80), scores])[2:]) == expected
    row = scores[:1]
    assert tovrel.posts(row.expand(4, 80)) == tovrel.posts(row.repeat(4, 1))
    assert tovrel.posts(scores.clone().requires_grad_()) == expected
    # Extra trailing dimensions: the first rows of the flattened data are read.
    three_d = torch.from_numpy(random_scores(3, 16, 13)).reshape(3, 80, 1)
    assert tovrel.posts(three_d) == tovrel.posts(three_d.reshape(3, 80))


@pytest.mark.parametrize("width", [0, 5, 10, 15, 21, 30, 40, 7, 5 * 8, 5 * 32])
def test_widths_other_than_five_times_a_power_of_four(width):
    for name in SCORING:
        with pytest.raises(RuntimeError, match=f"^{WIDTH_MESSAGE}$"):
            getattr(tovrel, name)(torch.zeros(3, width))
    # The width is checked before the element type.
    with pytest.raises(RuntimeError, match=f"^{WIDTH_MESSAGE}$"):
        tovrel.posts(torch.zeros(2, 7, dtype=torch.float64))


def test_refusals_of_bad_tensors():
    for name in SCORING:
        function = getattr(tovrel, name)
        with pytest.raises(IndexError):
            function(torch.zeros(20))
        with pytest.raises(IndexError):
            function(torch.tensor(1.0))
        with pytest.raises(RuntimeError, match="Float"):
            function(torch.zeros(2, 20, dtype=torch.int8))
        with pytest.raises(RuntimeError, match="Float"):
            function(torch.zeros(2, 20, dtype=torch.float64))
        with pytest.raises(ValueError, match="CPU tensor.*'meta'"):
            function(torch.zeros(2, 20, device="meta"))
        with pytest.raises(ValueError, match="dense tensor"):
            function(torch.zeros(2, 20).to_sparse())
        with pytest.raises(ValueError, match="holds 0 elements, fewer than the 40"):
            function(torch.zeros(2, 20, 0))
        # Too large for 32-bit indices, refused before anything is allocated or read.
        with pytest.raises(ValueError, match="too large"):
            function(torch.zeros(1, 5120).expand(2**31 // 5120 + 1, 5120))
        with pytest.raises(ValueError, match="too large"):
            function(torch.zeros(1, 20).expand(2**40, 20))
    assert tovrel.posts(torch.zeros(1, 20)) == [0.25] * 8  # still usable
