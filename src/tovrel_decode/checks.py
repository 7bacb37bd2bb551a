"""Chunks the decoder cannot take, refused before anything is decoded. The limits are the
decoder's own, read from tovrel_tensors."""
from __future__ import annotations

from typing import Optional

import torch

import tovrel_tensors

from .errors import InputError

FLOAT_TYPES = tuple(getattr(torch, name) for name in tovrel_tensors.FLOAT_TYPES)
SCORE_TYPES = (*FLOAT_TYPES, torch.int8)
SCORE_TYPE_NAMES = f"{', '.join(tovrel_tensors.FLOAT_TYPES)} or int8"
def num_states(label: str, shape: tuple, dtype: torch.dtype) -> int:
    """The state count of a chunk's scores, after checking what the decoder would refuse."""
    if len(shape) != 2:
        raise InputError(f"{label}: scores must be 2-D (blocks, 5 * 4**k), not of shape "
                         f"{tuple(shape)}")
    if dtype not in SCORE_TYPES:
        raise InputError(f"{label}: scores must be {SCORE_TYPE_NAMES}, not {dtype}")
    width = shape[1]
    try:
        states = tovrel_tensors.num_states(width)
    except RuntimeError:
        raise InputError(f"{label}: {width} scores per block is not 5 * 4**k") from None
    except ValueError as error:  # the decoder's own limit, in its own words
        limit = str(error).removeprefix("num_states: ").rstrip(".")
        raise InputError(f"{label}: {limit}") from None
    if shape[0] * width >= 2**31 or (shape[0] + 1) * states >= 2**31:
        raise InputError(f"{label}: {shape[0]} blocks of {states} states need arrays of 2^31 "
                         "entries or more; cut the chunk into shorter ones")
    return states


def check_stored_guides(label: str, scores: torch.Tensor, guides: Optional[torch.Tensor],
                        posts: Optional[torch.Tensor], states: int) -> None:
    """Stored guides and posteriors come together, of the scores' kind (float or int8), with a
    value for every state at every boundary."""
    if (guides is None) != (posts is None):
        raise InputError(f"{label}: back_guides and posts must come together")
    if guides is None:
        return
    needed = (scores.shape[0] + 1) * states
    for what, tensor in (("back_guides", guides), ("posts", posts)):
        assert tensor is not None
        check_dense(f"{label}: {what}", tensor)
        if (tensor.dtype == torch.int8) != (scores.dtype == torch.int8) or \
                tensor.dtype not in SCORE_TYPES:
            raise InputError(f"{label}: {what} are {tensor.dtype}, scores {scores.dtype}")
        if tensor.numel() < needed:
            raise InputError(f"{label}: {what} hold {tensor.numel()} values, {needed} "
                             "needed")


def check_dense(label: str, tensor: torch.Tensor) -> None:
    """A tensor whose values can be read: dense, with storage (not sparse, not on `meta`)."""
    if tensor.layout != torch.strided:
        raise InputError(f"{label}: a {str(tensor.layout).replace('torch.', '')} tensor cannot "
                         "hold scores; store dense tensors")
    if tensor.device.type == "meta":
        raise InputError(f"{label}: a tensor on the meta device holds no values")
