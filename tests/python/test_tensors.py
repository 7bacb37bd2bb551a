"""tovrel_tensors gives exactly what tovrel gives, as tensors."""
import importlib.metadata
import re
import threading
import types

import numpy as np
import pytest
import torch

import reference as ref
import tovrel
import tovrel_tensors as tt
from tovrel_decode import checks
from tovrel_decode.errors import InputError


def random_scores(k, blocks, seed, specials=False):
    rng = np.random.default_rng(seed)
    scores = (rng.standard_normal((blocks, 5 * 4**k)) * 3).astype(np.float32)
    if specials:
        scores[rng.random(scores.shape) < 0.05] = -np.inf
        scores[rng.random(scores.shape) < 0.01] = np.nan
    return torch.from_numpy(scores)


def same_values(tensor, values):
    """The same bits wherever tovrel's values are numbers: where a masked transition gives tovrel
    NaN, the tensor module gives -inf (or NaN, from NaN scores)."""
    got, expected = ref.bits(tensor.reshape(-1).tolist()), ref.bits(values)
    tovrel_nan = np.isnan(np.asarray(values, np.float32))
    return bool(np.all((got == expected) | tovrel_nan))


@pytest.mark.parametrize("k", [1, 2, 3, 4, 5, 6])
@pytest.mark.parametrize("specials", [False, True])
def test_scoring_matches_the_list_api(k, specials):
    scores = random_scores(k, 60 if k < 5 else 8, k, specials)
    # With masked transitions, posts come from renormalised guides: see test_long_and_masked.
    for name in ("backward_scores", "forward_scores") + (() if specials else ("posts",)):
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
    with pytest.raises(TypeError, match="torch.int8"):
        tt.posts(torch.zeros(3, 20, dtype=torch.int8))
    with pytest.raises(ValueError, match="'meta'"):
        tt.backward_scores(torch.zeros(3, 20, device="meta"))
    with pytest.raises(ValueError, match="beam_size must be between 1 and 256, not 257"):
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


@pytest.mark.parametrize("threads", [1, 2])
def test_decode_batch_matches_decode_chunk_by_chunk(threads):
    previous = torch.get_num_threads()
    torch.set_num_threads(threads)
    try:
        batch = torch.stack([random_scores(3, 70, 40 + i) for i in range(5)])
        options = {"beam_size": 16, "beam_cut": 50.0, "q_shift": 1.0, "temperature": 0.7}

        def same(results, chunks):
            assert len(results) == len(chunks)
            for (sequence, quality, moves), scores in zip(results, chunks):
                expected = tt.decode(scores, **options)
                assert (sequence, quality) == expected[:2] and torch.equal(moves, expected[2])

        same(tt.decode_batch(batch, **options), list(batch))
        lengths = [70, 0, 33, 1, 69]
        chunks = [scores[:n] for scores, n in zip(batch, lengths)]
        same(tt.decode_batch(batch, lengths, **options), chunks)
        same(tt.decode_batch(batch, torch.tensor(lengths, dtype=torch.int32), **options), chunks)
        uneven = [random_scores(k, 20 + 9 * k, 50 + k) for k in (1, 4, 2, 5)]
        same(tt.decode_batch(uneven, **options), uneven)
        same(tt.decode_batch(uneven, (20, 56, 3, 0), **options),
             [s[:n] for s, n in zip(uneven, (20, 56, 3, 0))])
        assert tt.decode_batch([]) == []
        # Two threads on one chunk: backward and forward at once, the same bits.
        for name in ("posts", "backward_scores"):
            assert same_values(getattr(tt, name)(batch[0]), getattr(tovrel, name)(batch[0]))
    finally:
        torch.set_num_threads(previous)


def test_decode_batch_refusals():
    batch = torch.zeros(3, 10, 20)
    for lengths, message in (([10, 10], "2 lengths for 3 chunks"), ([10, 11, 0], "outside 0 .. 10"),
                             ([-1, 0, 0], "outside 0 .. 10"), (torch.zeros(3, 1), "1-D integer")):
        with pytest.raises(ValueError, match=message):
            tt.decode_batch(batch, lengths)
    with pytest.raises(TypeError, match="lengths must hold integers, not float"):
        tt.decode_batch(batch, [1.0, 2, 3])
    with pytest.raises(TypeError, match=r"decode_batch: scores\[1\] must be a torch.Tensor, not "
                                        r"ndarray"):
        tt.decode_batch([batch[0], np.zeros((10, 20), np.float32)])
    with pytest.raises(ValueError, match="must be 3-D"):
        tt.decode_batch(batch[0])
    with pytest.raises(ValueError, match="^decode_batch: beam_size must be between 1 and 256, not 0"):
        tt.decode_batch(batch, beam_size=0)
    with pytest.raises(ValueError, match="chunk 1: scores must be 2-D"):
        tt.decode_batch([batch[0], batch])


def test_exported_limits_are_the_ones_the_decoders_enforce():
    small = random_scores(2, 10, 7)
    tt.decode(small, beam_size=tt.MAX_BEAM_SIZE)
    with pytest.raises(ValueError, match=f"not {tt.MAX_BEAM_SIZE + 1}"):
        tt.decode(small, beam_size=tt.MAX_BEAM_SIZE + 1)
    assert [tt.num_states(5 * 4**k) for k in range(1, 7)] == [4**k for k in range(1, 7)]
    assert tt.num_states(5 * 4**6) == tt.MAX_STATES
    too_wide = torch.zeros(1, 5 * 4 * tt.MAX_STATES)
    for call in (lambda: tt.num_states(too_wide.shape[1]), lambda: tt.decode(too_wide)):
        with pytest.raises(ValueError, match=f"at most {tt.MAX_STATES}"):
            call()
    for width in (0, 7, 5 * 4**3 + 5):  # not 5 * 4**k: refused as every decoder refuses it
        for call in (lambda: tt.num_states(width), lambda: tt.decode(torch.zeros(2, width))):
            with pytest.raises(RuntimeError, match="Unexpected number of transition states"):
                call()
    with pytest.raises(ValueError, match="cannot be negative"):
        tt.num_states(-5)
    assert {getattr(torch, name) for name in tt.FLOAT_TYPES} == \
        {torch.float32, torch.float16, torch.bfloat16, torch.float64}
    for name in tt.FLOAT_TYPES:
        tt.decode(small.to(getattr(torch, name)))


WIDTH = "^Unexpected number of transition states in beam search decode.$"
MIXED = "mismatched tensor types provided for posts, scores and guides$"
F32 = torch.zeros(176)
CHUNK_RULE = [  # scores, back_guides, posts; the error; its text; beam_search's error if not ours
    (torch.zeros(100), F32, F32, ValueError,
     "scores must be 2-D (blocks, 5 * 4**k), not of shape (100,)", None),
    (torch.zeros(10, 80, dtype=torch.int64), F32, F32, TypeError,
     "scores must be float32, float16, bfloat16, float64 or int8, not torch.int64", None),
    (torch.zeros(10, 40), F32, F32, ValueError, "40 scores per block is not 5 * 4**k", WIDTH),
    (torch.zeros(2, 5 * 4**7), F32, F32, ValueError,
     "16384 states; at most 4096 (k <= 6) can be decoded", None),
    (types.SimpleNamespace(shape=(2**31, 80), dtype=torch.float32), None, None, ValueError,
     "2147483648 blocks of 16 states are too large: their arrays need 2^31 entries or more; cut "
     "the chunk into shorter ones", None),
    (torch.zeros(10, 80), F32, None, ValueError, "back_guides and posts must come together", None),
    (torch.zeros(10, 80), torch.zeros(175), F32, ValueError,
     "back_guides holds 175 elements, fewer than the 176 it must hold for these scores", None),
    (torch.zeros(10, 80), F32, torch.zeros(176, dtype=torch.int8), ValueError,
     "posts are torch.int8 and scores torch.float32: all must be floating or all int8", MIXED),
    (torch.zeros(10, 80), torch.zeros(176, dtype=torch.int32), F32, TypeError,
     "back_guides must be float32, float16, bfloat16 or float64 as the scores, not torch.int32",
     None),
]


def test_one_chunk_rule_for_the_tensor_module_and_the_command():
    for scores, guides, posts, error, text, own in CHUNK_RULE:
        with pytest.raises(error, match=f"^{re.escape(text)}$"):
            tt.check_chunk(scores, guides, posts)
        with pytest.raises(InputError, match=f"^f.pt: chunk 2: {re.escape(text)}$"):
            checks.check_chunk("f.pt: chunk 2", scores, guides, posts)
        if isinstance(scores, torch.Tensor) and posts is not None:
            with pytest.raises(RuntimeError if own else error,
                               match=own or f"^beam_search: {re.escape(text)}.$"):
                tt.beam_search(scores, guides, posts)
    eight_bit = torch.zeros(10, 80, dtype=torch.int8)
    assert tt.check_chunk(eight_bit, torch.zeros(11, 16, dtype=torch.int8),
                          torch.zeros(176, dtype=torch.int8)) == 16


def test_errors_name_the_function_and_the_problem():
    array = np.zeros((1000, 20), np.float32)
    with pytest.raises(TypeError) as error:
        tt.decode(array)
    assert str(error.value) == "decode: scores must be a torch.Tensor, not ndarray."
    with pytest.raises(ValueError, match=r"^decode: scores must be 2-D \(blocks, 5 \* 4\*\*k\), "
                                         r"not of shape \(2, 3, 20\)\.$"):
        tt.decode(torch.zeros(2, 3, 20))
    with pytest.raises(TypeError, match=r"^posts: scores must be float32, float16, bfloat16 or "
                                        r"float64, not torch.int64"):
        tt.posts(torch.zeros(3, 20, dtype=torch.int64))
    with pytest.raises(RuntimeError, match="mismatched tensor types"):
        tt.beam_search(torch.zeros(3, 20), torch.zeros(4, 4), torch.zeros(4, 4, dtype=torch.int8))
    for function in ("backward_scores", "forward_scores", "posts", "beam_search", "decode",
                     "decode_batch"):
        doc = getattr(tt, function).__doc__
        assert "Raises" in doc or "raises" in doc or "scores" in doc, function
        assert len(doc.splitlines()) > 3, function
    assert tt.__version__ == importlib.metadata.version("tovrel")


def test_other_float_types_are_converted():
    scores = random_scores(3, 40, 60)
    for dtype in (torch.float16, torch.bfloat16, torch.float64):
        typed = scores.to(dtype)
        as_float = typed.float()
        for name in ("backward_scores", "forward_scores", "posts"):
            assert torch.equal(getattr(tt, name)(typed), getattr(tt, name)(as_float))
        got, want = tt.decode(typed, beam_size=8), tt.decode(as_float, beam_size=8)
        assert got[:2] == want[:2] and torch.equal(got[2], want[2])
        back, posts = tt.backward_scores(as_float), tt.posts(as_float)
        guided = tt.beam_search(typed, back.to(dtype), posts.to(dtype))
        assert guided[:2] == tt.beam_search(as_float, back.to(dtype).float(),
                                            posts.to(dtype).float())[:2]


def test_eight_bit_posteriors_convert_like_the_whole_tensor_operations():
    # Every 8-bit code: (q + 128) / 255 in single precision, as to(float).add(128).div(255) gives.
    codes = torch.arange(-128, 128, dtype=torch.int8)
    whole = codes.to(torch.float32).add(128.0).div(255.0).numpy()
    each = (codes.numpy().astype(np.float32) + np.float32(128)) / np.float32(255)
    assert ref.bits(whole.tolist()).tolist() == ref.bits(each.tolist()).tolist()
