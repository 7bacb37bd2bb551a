"""beam_search: exact results against the reference, its errors, and the released interpreter lock."""
import sys
import threading
import time

import numpy as np
import pytest
import torch

import reference as ref
import tovrel

WIDTH_MESSAGE = "Unexpected number of transition states in beam search decode."


def problem(k, blocks, seed, scale=3.0, eight_bit=False):
    """Scores, backward guides and posteriors as numpy arrays (int8 codes for eight_bit)."""
    num_states = 4**k
    rng = np.random.default_rng(seed)
    scores = (rng.standard_normal((blocks, 5 * num_states)) * scale).astype(np.float32)
    tensor = torch.from_numpy(scores)
    guides = np.array(tovrel.backward_scores(tensor), dtype=np.float32)
    posts = np.array(tovrel.posts(tensor), dtype=np.float32)
    guides, posts = guides.reshape(blocks + 1, -1), posts.reshape(blocks + 1, -1)
    if eight_bit:
        to_int8 = lambda a: np.clip(np.round(a), -128, 127).astype(np.int8)  # noqa: E731
        scores = to_int8(scores * 8)
        guides = to_int8(guides / max(1.0, blocks / 8))
        posts = to_int8(posts * 255 - 128)
    return scores, guides, posts


def decode(scores, guides, posts, *args, **kwargs):
    tensors = [torch.from_numpy(np.ascontiguousarray(a)) for a in (scores, guides, posts)]
    return tovrel.beam_search(*tensors, *args, **kwargs)


def expected(scores, guides, posts, width=5, beam_cut=100.0, q_shift=0.0, q_scale=1.0,
             temperature=1.0):
    float_posts = ref.eight_bit_posts(posts) if posts.dtype == np.int8 else posts
    return ref.decode(scores, guides, float_posts, guides.shape[1], width, beam_cut, q_shift,
                      q_scale, temperature)


def check_against_reference(scores, guides, posts, **options):
    sequence, quality, moves = decode(
        scores, guides, posts,
        **{("beam_size" if key == "width" else key): value for key, value in options.items()},
    )
    assert (sequence, quality, moves) == expected(scores, guides, posts, **options)
    assert len(sequence) == len(quality) == sum(moves)
    assert len(moves) == scores.shape[0]
    assert set(sequence) <= set("ACGT") and set(moves) <= {0, 1} and moves[:1] == [1]
    assert all(34 <= ord(c) <= 123 for c in quality)


@pytest.mark.parametrize("eight_bit", [False, True], ids=["float", "int8"])
@pytest.mark.parametrize("k", [1, 2, 3, 4, 5, 6])
@pytest.mark.parametrize("width", [1, 5, 32, 256])
def test_bit_exact_against_reference(k, width, eight_bit):
    seed = 100 * k + width + eight_bit
    # Narrow score spreads put many candidates within the cut, so that the width search runs.
    scale = 0.05 if width == 256 else 1.0 if width == 32 else 3.0
    scores, guides, posts = problem(k, 24, seed, scale, eight_bit)
    check_against_reference(scores, guides, posts, width=width)


@pytest.mark.parametrize(
    "beam_cut, temperature",
    [(100.0, 0.0), (100.0, 0.5), (100.0, 2.0), (0.0, 1.0), (-3.0, 0.7), (0.5, 1.0), (1.0, 1.0),
     (1e30, 1.0), (100.0, float("inf")), (float("nan"), 1.0), (100.0, -1.0)],
)
@pytest.mark.parametrize("eight_bit", [False, True], ids=["float", "int8"])
def test_cuts_and_temperatures(beam_cut, temperature, eight_bit):
    scores, guides, posts = problem(3, 30, 7, 0.5, eight_bit)
    check_against_reference(scores, guides, posts, width=12, beam_cut=beam_cut,
                            temperature=temperature)


@pytest.mark.parametrize("q_shift, q_scale", [(0.0, 2.0), (5.0, 1.0), (-3.0, 0.5), (0.0, -1.0),
                                              (1e30, 1.0), (float("nan"), 1.0)])
def test_quality_calibration(q_shift, q_scale):
    scores, guides, posts = problem(2, 40, 8)
    check_against_reference(scores, guides, posts, q_shift=q_shift, q_scale=q_scale)


def test_first_front_with_ties_nan_and_minus_infinity():
    scores, guides, posts = problem(2, 10, 9)
    guides[0] = 0.0
    guides[0, 9], guides[0, 12] = 1.0, 2.0
    check_against_reference(scores, guides, posts, width=4)
    guides[0, :8] = np.nan
    guides[0, 8:11] = -np.inf
    check_against_reference(scores, guides, posts, width=4)
    check_against_reference(scores, guides, posts, width=16)
    guides[0] = np.nan
    check_against_reference(scores, guides, posts, width=4)


def test_non_finite_inputs_decode_without_harm():
    scores, guides, posts = problem(3, 20, 10)
    scores[3, ::7] = np.nan
    scores[5, ::3] = -np.inf
    scores[6, 11] = np.inf
    guides[4, ::5] = np.nan
    posts[7] = np.nan
    check_against_reference(scores, guides, posts, width=8)


def test_defaults_and_keywords():
    scores, guides, posts = problem(3, 20, 11)
    assert decode(scores, guides, posts) == decode(
        scores, guides, posts, beam_size=5, beam_cut=100.0, fixed_stay_score=2.0, q_shift=0.0,
        q_scale=1.0, temperature=1.0,
    )
    assert decode(scores, guides, posts, fixed_stay_score=-40.0) == decode(scores, guides, posts)
    assert decode(scores, guides, posts, 7, 50, True, 1, 2, 1) == decode(
        scores, guides, posts, 7, 50.0, 1.0, 1.0, 2.0, 1.0)
    doc = tovrel.beam_search.__doc__.splitlines()[0]
    assert doc.startswith("beam_search(scores: torch.Tensor, back_guides: torch.Tensor, "
                          "posts: torch.Tensor, beam_size: ")
    assert doc.rstrip().endswith("temperature: typing.SupportsFloat | typing.SupportsIndex = 1.0)"
                                 " -> tuple")
    assert [n for n in vars(tovrel) if not n.startswith("__")][0] == "beam_search"


def test_flat_and_strided_tensors_read_in_logical_order():
    scores, guides, posts = problem(2, 15, 12)
    expected_result = decode(scores, guides, posts)
    flat = [torch.from_numpy(a.ravel().copy()) for a in (guides, posts)]
    assert tovrel.beam_search(torch.from_numpy(scores), *flat) == expected_result
    transposed = [torch.from_numpy(a).t().contiguous().t() for a in (scores, guides, posts)]
    assert not transposed[0].is_contiguous()
    assert tovrel.beam_search(*transposed) == expected_result
    longer = [torch.from_numpy(np.concatenate([a.ravel(), np.ones(7, a.dtype)]))
              for a in (guides, posts)]
    assert tovrel.beam_search(torch.from_numpy(scores), *longer) == expected_result
    # A huge expanded view is read without being materialised.
    huge = [torch.from_numpy(a).expand(2**30, *a.shape) for a in (guides, posts)]
    assert tovrel.beam_search(torch.from_numpy(scores), *huge) == expected_result


def test_zero_rows_decode_to_nothing():
    for dtype in (torch.float32, torch.int8):
        empty = torch.zeros(0, 80, dtype=dtype)
        row = torch.zeros(16, dtype=dtype)
        assert tovrel.beam_search(empty, row, row) == ("", "", [])


def test_errors_in_order():
    scores, guides, posts = (torch.from_numpy(a) for a in problem(2, 6, 13))
    as_int8 = lambda t: t.to(torch.int8)  # noqa: E731
    with pytest.raises(IndexError):
        tovrel.beam_search(scores[0], guides, posts)
    with pytest.raises(RuntimeError, match=f"^{WIDTH_MESSAGE}$"):
        tovrel.beam_search(scores[:, :79], guides, as_int8(posts))
    with pytest.raises(RuntimeError) as error:
        tovrel.beam_search(scores, guides, as_int8(posts))
    assert str(error.value) == (
        "beam_search_decode: mismatched tensor types provided for posts, scores and guides")
    with pytest.raises(RuntimeError) as error:
        tovrel.beam_search(scores.double(), guides.double(), posts.double(), beam_size=300)
    assert str(error.value) == "beam_search_decode: unsupported tensor type double"
    with pytest.raises(ValueError) as error:
        tovrel.beam_search(scores, guides, posts, beam_size=257)
    assert str(error.value) == "Beamsearch max_beam_width cannot be greater than 256."
    with pytest.raises(ValueError, match="at least 1"):
        tovrel.beam_search(scores, guides, posts, beam_size=0)
    for bad_size in (-1, 2.5, "5", 2**64):
        with pytest.raises(TypeError):
            tovrel.beam_search(scores, guides, posts, beam_size=bad_size)
    with pytest.raises(ValueError, match="greater than 256"):
        tovrel.beam_search(scores, guides, posts, beam_size=2**64 - 1)
    assert tovrel.beam_search(scores, guides, posts, beam_size=256)[2][0] == 1
    assert tovrel.beam_search(scores, guides, posts)  # still usable


@pytest.mark.parametrize("width", [0, 5, 10, 15, 21, 30, 40, 5 * 32])
def test_widths_other_than_five_times_a_power_of_four(width):
    t = torch.zeros(3, width)
    with pytest.raises(RuntimeError, match=f"^{WIDTH_MESSAGE}$"):
        tovrel.beam_search(t, torch.zeros(100), torch.zeros(100))


def test_refusals_before_the_search():
    scores, guides, posts = (torch.from_numpy(a) for a in problem(2, 6, 14))
    with pytest.raises(ValueError, match="back_guides holds 111 elements, fewer than the 112"):
        tovrel.beam_search(scores, guides.ravel()[:-1], posts)
    with pytest.raises(ValueError, match="posts holds 111 elements, fewer than the 112"):
        tovrel.beam_search(scores, guides, posts.ravel()[:-1])
    with pytest.raises(ValueError, match="scores holds 0 elements"):
        tovrel.beam_search(torch.zeros(6, 80, 0), guides, posts)
    with pytest.raises(ValueError, match="'meta'"):
        tovrel.beam_search(scores, guides.to("meta"), posts)
    with pytest.raises(ValueError, match="dense tensor"):
        tovrel.beam_search(scores, guides, posts.to_sparse())
    # k = 7 would overflow the decoder's 16-bit state and transition indices.
    big = torch.zeros(1, 5 * 4**7)
    with pytest.raises(ValueError, match="4096 states"):
        tovrel.beam_search(big, torch.zeros(2 * 4**7), torch.zeros(2 * 4**7))
    huge = torch.zeros(1, 80).expand(2**31, 80)
    with pytest.raises(ValueError, match="too large"):
        tovrel.beam_search(huge, torch.zeros(16), torch.zeros(16))


def progress_during(call):
    """How many times another thread wakes from a sleep while `call` runs. The switch interval is
    made so long that the lock is never taken from a thread that holds it: the sleeper can run
    during the call only if the call releases the lock."""
    count = [0]
    stop = threading.Event()

    def sleeper():
        while not stop.is_set():
            count[0] += 1
            time.sleep(0.0005)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    thread = threading.Thread(target=sleeper)
    try:
        thread.start()
        while count[0] == 0:
            time.sleep(0.001)
        before = count[0]
        call()
        after = count[0]
    finally:
        stop.set()
        sys.setswitchinterval(interval)
        thread.join()
    return after - before


def test_lock_is_released_while_decoding():
    scores, guides, posts = (torch.from_numpy(a) for a in problem(4, 4000, 15, 0.02))
    lock_holding_scores = torch.randn(2000, 5 * 4**5, generator=torch.Generator().manual_seed(0))
    assert progress_during(lambda: tovrel.beam_search(scores, guides, posts, beam_size=256)) > 0
    # A scoring call holds the lock throughout: nothing else runs while it does.
    assert progress_during(lambda: tovrel.backward_scores(lock_holding_scores)) == 0


def test_eight_threads_decoding_at_once_match_serial_results():
    problems = [problem(4, 200, 16 + i, 0.3, eight_bit=i % 2 == 1) for i in range(8)]
    tensors = [[torch.from_numpy(a) for a in p] for p in problems]
    serial = [tovrel.beam_search(*t, beam_size=64) for t in tensors]
    results = [None] * len(tensors)
    barrier = threading.Barrier(len(tensors))

    def work(i):
        barrier.wait()
        results[i] = tovrel.beam_search(*tensors[i], beam_size=64)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(tensors))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == serial
