"""Bad and unusual input for every function: each case must end in a correct result or a clear
Python exception, never a crash, and leave the interpreter usable.

`python battery.py NAME ...` runs the named cases in order, printing one JSON line per case; the
test module runs them in child interpreters so that a crash fails only the case that caused it.
"""
import json
import math
import re
import sys
import warnings

import numpy as np
import torch

import reference as ref
import tovrel
import tovrel_tensors

N = 16  # k = 2
BLOCKS = 6
WIDTH_MESSAGE = "Unexpected number of transition states in beam search decode."
SCORING = ("backward_scores", "forward_scores", "posts")

_rng = np.random.default_rng(2024)
SCORES = torch.from_numpy((_rng.standard_normal((BLOCKS, 5 * N)) * 2).astype(np.float32))
GUIDES = torch.tensor(tovrel.backward_scores(SCORES)).reshape(BLOCKS + 1, N)
POSTS = torch.tensor(tovrel.posts(SCORES)).reshape(BLOCKS + 1, N)
SCORES8 = (SCORES * 8).round().clamp(-128, 127).to(torch.int8)
GUIDES8 = GUIDES.round().clamp(-128, 127).to(torch.int8)
POSTS8 = (POSTS * 255 - 128).round().clamp(-128, 127).to(torch.int8)


# --- Expectations -------------------------------------------------------------------------------

def raises(exception, call, match=None):
    try:
        call()
    except exception as error:
        if match is not None and not re.search(match, str(error)):
            raise AssertionError(f"{type(error).__name__} {str(error)[:200]!r} lacks {match!r}")
        return
    except Exception as error:
        raise AssertionError(f"expected {exception.__name__}, got {type(error).__name__}: "
                             f"{str(error)[:200]}") from None
    raise AssertionError(f"expected {exception.__name__}, got a result")


def same_floats(got, expected):
    got, expected = ref.bits(got), ref.bits(expected)
    nan = lambda b: (b & 0x7F800000 == 0x7F800000) & (b & 0x007FFFFF != 0)  # noqa: E731
    if got.shape != expected.shape or not np.all((got == expected) | (nan(got) & nan(expected))):
        raise AssertionError("values differ from the reference")


def leading(tensor, count):
    """The first `count` elements of a tensor in row-major order, as a flat numpy array, without
    materialising a huge expanded view."""
    tensor = tensor.detach()
    while tensor.dim() > 1 and tensor.shape[0] > 1 and tensor[1:].numel() >= count:
        tensor = tensor[: max(1, -(-count // (tensor.numel() // tensor.shape[0])))]
    return tensor.reshape(-1)[:count].numpy()


def scoring_matches_reference(name, scores):
    """The scoring function on `scores` equals the reference on its row-major data."""
    data = leading(scores, scores.shape[0] * scores.shape[1]).reshape(scores.shape[:2])
    with np.errstate(all="ignore"):
        back = ref.backward_guides(data, scores.shape[1] // 5)
        fwd = ref.forward_guides(data, scores.shape[1] // 5)
        expected = {"backward_scores": back, "forward_scores": fwd,
                    "posts": ref.posteriors(fwd, back)}[name]
    same_floats(getattr(tovrel, name)(scores), expected.ravel())


def decoder_matches_reference(scores, guides, posts, **options):
    """beam_search equals the reference on the row-major data of its three tensors."""
    blocks, num_states = scores.shape[0], scores.shape[1] // 5
    s = leading(scores, blocks * 5 * num_states).reshape(blocks, 5 * num_states)
    g = leading(guides, (blocks + 1) * num_states).reshape(blocks + 1, num_states)
    p = leading(posts, (blocks + 1) * num_states).reshape(blocks + 1, num_states)
    p = ref.eight_bit_posts(p) if p.dtype == np.int8 else p
    width = options.pop("beam_size", 5)
    expected = ref.decode(s, g, p, num_states, width, options.get("beam_cut", 100.0),
                          options.get("q_shift", 0.0), options.get("q_scale", 1.0),
                          options.get("temperature", 1.0))
    got = tovrel.beam_search(scores, guides, posts, width, **options)
    sequence, quality, moves = got
    if not (len(sequence) == len(quality) == sum(moves) and set(moves) <= {0, 1}):
        raise AssertionError(f"inconsistent result {got}")
    if (sequence, quality, moves) != expected:
        raise AssertionError(f"{got} differs from the reference {expected}")


def same_result(first, second):
    if first() != second():
        raise AssertionError("the two calls differ")


def check_still_usable():
    if tovrel.posts(torch.zeros(1, 20)) != [0.25] * 8:
        raise AssertionError("the module misbehaves after the case")


# --- Cases --------------------------------------------------------------------------------------

CASES = {}


def case(name, call):
    assert name not in CASES, name
    CASES[name] = call


def call(function, *args, **kwargs):
    return lambda: getattr(tovrel, function)(*args, **kwargs)


def decode(*args, **kwargs):
    return lambda: tovrel.beam_search(*args, **kwargs)


OTHER_TYPES = [torch.uint8, torch.int16, torch.int32, torch.int64, torch.float16, torch.bfloat16,
               torch.float64, torch.bool, torch.complex64]

for name in SCORING:
    for dtype in [torch.int8] + OTHER_TYPES:
        case(f"{name}/dtype-{dtype}", lambda n=name, d=dtype: raises(
            RuntimeError, call(n, SCORES.to(d)), "expected scalar type Float"))
    for width in (0, 5, 10, 15, 21, 25, 45, 7, 5 * 8, 5 * 32, 5 * 48, 5 * 4**16):
        case(f"{name}/width-{width}", lambda n=name, w=width: raises(
            RuntimeError, call(n, torch.zeros(1, 1).expand(3, w)), f"^{WIDTH_MESSAGE}$"))
    case(f"{name}/0-d", lambda n=name: raises(IndexError, call(n, torch.tensor(1.0))))
    case(f"{name}/1-d", lambda n=name: raises(IndexError, call(n, SCORES.ravel())))
    case(f"{name}/3-d", lambda n=name: scoring_matches_reference(n, SCORES.reshape(BLOCKS, 80, 1)))
    case(f"{name}/3-d-wide", lambda n=name: scoring_matches_reference(
        n, torch.randn(4, 20, 3, generator=torch.Generator().manual_seed(1))))
    case(f"{name}/3-d-empty", lambda n=name: raises(
        ValueError, call(n, torch.zeros(3, 20, 0)), "holds 0 elements"))
    case(f"{name}/zero-rows", lambda n=name: scoring_matches_reference(n, torch.zeros(0, 80)))
    case(f"{name}/empty", lambda n=name: raises(RuntimeError, call(n, torch.zeros(0, 0)),
                                                WIDTH_MESSAGE))
    case(f"{name}/transposed", lambda n=name: scoring_matches_reference(
        n, SCORES.t().contiguous().t()))
    case(f"{name}/column-slice", lambda n=name: scoring_matches_reference(
        n, torch.cat([SCORES, SCORES], dim=1)[:, 80:]))
    case(f"{name}/row-slice", lambda n=name: scoring_matches_reference(n, SCORES[2:]))
    case(f"{name}/every-other-row", lambda n=name: scoring_matches_reference(n, SCORES[::2]))
    case(f"{name}/expanded", lambda n=name: scoring_matches_reference(
        n, SCORES[:1].expand(5, 80)))
    case(f"{name}/flipped", lambda n=name: scoring_matches_reference(n, SCORES.flip(0)))
    case(f"{name}/requires-grad", lambda n=name: scoring_matches_reference(
        n, SCORES.clone().requires_grad_()))
    case(f"{name}/parameter", lambda n=name: scoring_matches_reference(
        n, torch.nn.Parameter(SCORES.clone())))
    case(f"{name}/meta", lambda n=name: raises(ValueError, call(n, SCORES.to("meta")), "'meta'"))
    case(f"{name}/sparse", lambda n=name: raises(ValueError, call(n, SCORES.to_sparse()),
                                                 "dense tensor"))
    case(f"{name}/sparse-csr", lambda n=name: raises(ValueError, call(n, SCORES.to_sparse_csr()),
                                                     "dense tensor"))
    case(f"{name}/quantized", lambda n=name: raises(RuntimeError, call(
        n, torch.quantize_per_tensor(SCORES, 0.1, 0, torch.qint8)), "QInt8"))
    for label, value in (("nan", math.nan), ("inf", math.inf), ("-inf", -math.inf),
                         ("huge", 3e38), ("subnormal", 1e-45)):
        case(f"{name}/all-{label}", lambda n=name, v=value: scoring_matches_reference(
            n, torch.full((4, 80), v)))
    case(f"{name}/mixed-non-finite", lambda n=name: scoring_matches_reference(
        n, torch.where(torch.arange(480).reshape(6, 80) % 3 == 0, torch.tensor(-math.inf),
                       SCORES)))
    case(f"{name}/rows-overflow", lambda n=name: raises(
        ValueError, call(n, torch.zeros(1, 80).expand(2**31, 80)), "too large"))
    case(f"{name}/entries-overflow", lambda n=name: raises(
        ValueError, call(n, torch.zeros(1, 5 * 4**6).expand(2**31 // (5 * 4**6) + 1, 5 * 4**6)),
        "too large"))
    case(f"{name}/huge-rows", lambda n=name: raises(
        ValueError, call(n, torch.zeros(1, 20).expand(2**58, 20)), "too large"))
    for label, value in (("nan", math.nan), ("inf", math.inf), ("int", 7), ("bool", False)):
        case(f"{name}/stay-score-{label}", lambda n=name, v=value: same_result(
            call(n, SCORES, v), call(n, SCORES)))
    for label, value in (("str", "2"), ("none", None), ("too-big-int", 10**400),
                         ("tensor", torch.zeros(2))):
        case(f"{name}/stay-score-{label}", lambda n=name, v=value: raises(
            TypeError, call(n, SCORES, v)))
    for label, value in (("list", SCORES.tolist()), ("numpy", SCORES.numpy()), ("none", None)):
        case(f"{name}/scores-{label}", lambda n=name, v=value: raises(TypeError, call(n, v)))
    case(f"{name}/no-arguments", lambda n=name: raises(TypeError, call(n)))
    case(f"{name}/unknown-keyword", lambda n=name: raises(
        TypeError, call(n, SCORES, fixed_stay_score=2.0)))

# The decoder.
for dtype in OTHER_TYPES:
    case(f"beam_search/dtype-{dtype}", lambda d=dtype: raises(RuntimeError, decode(
        SCORES.to(d), GUIDES.to(d), POSTS.to(d)),
        "^beam_search_decode: unsupported tensor type "))
MISMATCHED = "^beam_search_decode: mismatched tensor types provided for posts, scores and guides$"
for label, tensors in (("posts", (SCORES, GUIDES, POSTS8)), ("guides", (SCORES, GUIDES8, POSTS)),
                       ("scores", (SCORES8, GUIDES, POSTS)), ("double", (SCORES, GUIDES,
                                                                         POSTS.double()))):
    case(f"beam_search/mixed-{label}", lambda t=tensors: raises(RuntimeError, decode(*t),
                                                                MISMATCHED))
for eight, (s, g, p) in (("float", (SCORES, GUIDES, POSTS)), ("int8", (SCORES8, GUIDES8, POSTS8))):
    prefix = f"beam_search/{eight}"
    case(f"{prefix}/plain", lambda s=s, g=g, p=p: decoder_matches_reference(s, g, p))
    case(f"{prefix}/0-d-scores", lambda s=s, g=g, p=p: raises(IndexError, decode(s[0, 0], g, p)))
    case(f"{prefix}/1-d-scores", lambda s=s, g=g, p=p: raises(IndexError, decode(s.ravel(), g, p)))
    case(f"{prefix}/0-d-guides", lambda s=s, g=g, p=p: raises(
        ValueError, decode(s, g[0, 0], p), "back_guides holds 1 elements"))
    case(f"{prefix}/flat-guides-and-posts", lambda s=s, g=g, p=p: decoder_matches_reference(
        s, g.ravel(), p.ravel()))
    case(f"{prefix}/3-d", lambda s=s, g=g, p=p: decoder_matches_reference(
        s.reshape(BLOCKS, 80, 1), g.reshape(1, BLOCKS + 1, N), p.reshape(BLOCKS + 1, 4, 4)))
    case(f"{prefix}/3-d-empty-scores", lambda s=s, g=g, p=p: raises(
        ValueError, decode(s.reshape(BLOCKS, 80, 1)[:, :, :0], g, p), "scores holds 0"))
    case(f"{prefix}/zero-rows", lambda s=s, g=g, p=p: decoder_matches_reference(s[:0], g, p))
    case(f"{prefix}/zero-rows-empty-guides", lambda s=s, g=g, p=p: raises(
        ValueError, decode(s[:0], g[:0], p), "back_guides holds 0"))
    case(f"{prefix}/guides-one-short", lambda s=s, g=g, p=p: raises(
        ValueError, decode(s, g.ravel()[:-1], p), "back_guides holds 111 elements, fewer than "
                                                  "the 112"))
    case(f"{prefix}/posts-one-short", lambda s=s, g=g, p=p: raises(
        ValueError, decode(s, g, p.ravel()[1:]), "posts holds 111 elements"))
    case(f"{prefix}/scores-one-row-short-guides", lambda s=s, g=g, p=p: raises(
        ValueError, decode(torch.cat([s, s[:1]]), g, p), "fewer than the 128"))
    case(f"{prefix}/transposed", lambda s=s, g=g, p=p: decoder_matches_reference(
        s.t().contiguous().t(), g.t().contiguous().t(), p.t().contiguous().t()))
    case(f"{prefix}/sliced", lambda s=s, g=g, p=p: decoder_matches_reference(
        torch.cat([s, s])[BLOCKS:], torch.cat([g, g])[BLOCKS + 1:], torch.cat([p, p])[BLOCKS + 1:]))
    case(f"{prefix}/expanded", lambda s=s, g=g, p=p: decoder_matches_reference(
        s[:1].expand(BLOCKS, 80), g[:1].expand(BLOCKS + 1, N), p[:1].expand(BLOCKS + 1, N)))
    case(f"{prefix}/expanded-huge-guides", lambda s=s, g=g, p=p: decoder_matches_reference(
        s, g.expand(2**30, BLOCKS + 1, N), p.expand(2**30, BLOCKS + 1, N)))
    case(f"{prefix}/flipped", lambda s=s, g=g, p=p: decoder_matches_reference(
        s.flip(0), g.flip(1), p.flip(0)))
    for position in range(3):
        case(f"{prefix}/meta-{position}", lambda s=s, g=g, p=p, i=position: raises(
            ValueError, decode(*[t.to("meta") if j == i else t for j, t in enumerate((s, g, p))]),
            "'meta'"))
        case(f"{prefix}/sparse-{position}", lambda s=s, g=g, p=p, i=position: raises(
            ValueError, decode(*[t.to_sparse() if j == i else t
                                 for j, t in enumerate((s, g, p))]), "dense tensor"))
    for width in (0, 10, 21, 40, 5 * 32):
        case(f"{prefix}/width-{width}", lambda d=s.dtype, w=width: raises(
            RuntimeError, decode(torch.zeros(3, w, dtype=d), torch.zeros(99, dtype=d),
                                 torch.zeros(99, dtype=d)), f"^{WIDTH_MESSAGE}$"))
    case(f"{prefix}/k7", lambda d=s.dtype: raises(ValueError, decode(
        torch.zeros(1, 5 * 4**7, dtype=d), torch.zeros(2 * 4**7, dtype=d),
        torch.zeros(2 * 4**7, dtype=d)), "4096 states"))
    case(f"{prefix}/rows-overflow", lambda d=s.dtype: raises(ValueError, decode(
        torch.zeros(1, 80, dtype=d).expand(2**31, 80), torch.zeros(16, dtype=d),
        torch.zeros(16, dtype=d)), "too large"))
    for size in (1, 2, 255, 256):
        case(f"{prefix}/beam-size-{size}", lambda s=s, g=g, p=p, w=size:
             decoder_matches_reference(s, g, p, beam_size=w))
    case(f"{prefix}/beam-size-bool", lambda s=s, g=g, p=p: same_result(
        decode(s, g, p, True), decode(s, g, p, 1)))
    for size, exception, match in ((0, ValueError, "at least 1"), (257, ValueError, "256"),
                                   (2**64 - 1, ValueError, "256"), (2**64, TypeError, None),
                                   (-1, TypeError, None), (2.5, TypeError, None),
                                   ("5", TypeError, None), (None, TypeError, None)):
        case(f"{prefix}/beam-size-{size!r}", lambda s=s, g=g, p=p, w=size, e=exception, m=match:
             raises(e, decode(s, g, p, beam_size=w), m))
    for label, value in (("zero", 0.0), ("negative", -2.0), ("nan", math.nan), ("inf", math.inf),
                         ("-inf", -math.inf), ("below-one", 0.5), ("huge", 1e38)):
        case(f"{prefix}/beam-cut-{label}", lambda s=s, g=g, p=p, v=value:
             decoder_matches_reference(s, g, p, beam_size=8, beam_cut=v))
        case(f"{prefix}/temperature-{label}", lambda s=s, g=g, p=p, v=value:
             decoder_matches_reference(s, g, p, beam_size=8, temperature=v))
    for label, shift, scale in (("huge-shift", 1e38, 1.0), ("-huge-shift", -1e38, 1.0),
                                ("inf-scale", 0.0, math.inf), ("-inf-scale", 0.0, -math.inf),
                                ("nan-scale", 0.0, math.nan), ("nan-shift", math.nan, 1.0),
                                ("zero-scale", 0.0, 0.0), ("double-overflow", 1e300, 1e300)):
        case(f"{prefix}/quality-{label}", lambda s=s, g=g, p=p, a=shift, b=scale:
             decoder_matches_reference(s, g, p, q_shift=a, q_scale=b))
    for label, args in (("missing", (s, g)), ("extra", (s, g, p, 5, 1.0, 1.0, 1.0, 1.0, 1.0, 1)),
                        ("numpy", (s.numpy(), g, p)), ("none", (s, None, p))):
        case(f"{prefix}/arguments-{label}", lambda a=args: raises(TypeError, decode(*a)))
case("beam_search/float/requires-grad", lambda: decoder_matches_reference(
    SCORES.clone().requires_grad_(), GUIDES.clone().requires_grad_(),
    POSTS.clone().requires_grad_()))
case("beam_search/float/quantized", lambda: raises(RuntimeError, decode(
    *(torch.quantize_per_tensor(t, 0.1, 0, torch.qint8) for t in (SCORES, GUIDES, POSTS))),
    "unsupported tensor type c10::qint8"))
for label, value in (("nan", math.nan), ("inf", math.inf), ("-inf", -math.inf), ("huge", 3e38)):
    case(f"beam_search/float/all-{label}", lambda v=value: decoder_matches_reference(
        torch.full((BLOCKS, 80), v), torch.full((BLOCKS + 1, N), v),
        torch.full((BLOCKS + 1, N), v), beam_size=4))
    case(f"beam_search/float/guides-{label}", lambda v=value: decoder_matches_reference(
        SCORES, torch.full((BLOCKS + 1, N), v), POSTS, beam_size=4))
case("beam_search/int8/extreme-codes", lambda: decoder_matches_reference(
    torch.full((BLOCKS, 80), -128, dtype=torch.int8), torch.full((BLOCKS + 1, N), 127,
                                                                dtype=torch.int8),
    torch.full((BLOCKS + 1, N), -128, dtype=torch.int8)))
# The tensor module reads its tensors through the same checks.
for name in ("backward_scores", "forward_scores", "posts", "decode"):
    function = getattr(tovrel_tensors, name)
    prefix = f"tovrel_tensors.{name}"
    case(f"{prefix}/int8", lambda f=function, n=name: raises(
        TypeError, lambda: f(SCORES8), f"^{n}: scores must be float32, .* not torch.int8"))
    case(f"{prefix}/int64", lambda f=function: raises(
        TypeError, lambda: f(SCORES.long()), "not torch.int64"))
    case(f"{prefix}/1-d", lambda f=function, n=name: raises(
        ValueError, lambda: f(SCORES.ravel()), f"^{n}: scores must be 2-D"))
    case(f"{prefix}/not-a-tensor", lambda f=function, n=name: raises(
        TypeError, lambda: f(SCORES.numpy()), f"^{n}: scores must be a torch.Tensor, not ndarray"))
    case(f"{prefix}/half", lambda f=function: same_result(
        lambda: str(f(SCORES.half())), lambda: str(f(SCORES.half().float()))))
    case(f"{prefix}/width-40", lambda f=function: raises(
        RuntimeError, lambda: f(torch.zeros(2, 40)), f"^{WIDTH_MESSAGE}$"))
    case(f"{prefix}/meta", lambda f=function: raises(ValueError, lambda: f(SCORES.to("meta")),
                                                     "'meta'"))
    case(f"{prefix}/3-d-empty", lambda f=function: raises(
        ValueError, lambda: f(torch.zeros(3, 20, 0)), r"not of shape \(3, 20, 0\)"))
    case(f"{prefix}/rows-overflow", lambda f=function: raises(
        ValueError, lambda: f(torch.zeros(1, 80).expand(2**31, 80)), "too large"))
    case(f"{prefix}/all-nan", lambda f=function: f(torch.full((4, 80), math.nan)))
    case(f"{prefix}/transposed", lambda f=function: same_result(
        lambda: str(f(SCORES.t().contiguous().t())), lambda: str(f(SCORES))))
case("tovrel_tensors.beam_search/mixed", lambda: raises(
    RuntimeError, lambda: tovrel_tensors.beam_search(SCORES, GUIDES, POSTS8), MISMATCHED))
case("tovrel_tensors.beam_search/short-posts", lambda: raises(
    ValueError, lambda: tovrel_tensors.beam_search(SCORES8, GUIDES8, POSTS8.ravel()[1:]),
    "posts holds 111"))
case("negative-strides-cannot-reach-the-module", lambda: raises(
    ValueError, lambda: torch.from_numpy(SCORES.numpy()[::-1]), "negative strides"))


def main(names):
    warnings.simplefilter("ignore")  # torch's notes on quantized and sparse CSR tensors
    for name in names:
        print(json.dumps({"start": name}), flush=True)
        try:
            CASES[name]()
            check_still_usable()
            verdict = {"name": name, "ok": True}
        except Exception as error:
            verdict = {"name": name, "ok": False, "detail": f"{type(error).__name__}: {error}"}
        print(json.dumps(verdict), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
