"""Chunks the decoder cannot take, refused before anything is decoded. The rule is the decoder's
own (tovrel_tensors.check_chunk); this module only names the chunk in its refusals."""
from __future__ import annotations

from typing import Any

import torch

import tovrel_tensors

from .errors import InputError


def check_chunk(label: str, scores: Any, back_guides: Any = None, posts: Any = None) -> int:
    """The state count of a chunk, given its tensors or anything with their shape and dtype;
    InputError naming `label` for a chunk the decoder would refuse."""
    try:
        return tovrel_tensors.check_chunk(scores, back_guides, posts)
    except (TypeError, ValueError) as error:
        raise InputError(f"{label}: {error}") from None


def check_dense(label: str, tensor: torch.Tensor) -> None:
    """A tensor whose values can be read: dense, with storage (not sparse, not on `meta`)."""
    if tensor.layout != torch.strided:
        raise InputError(f"{label}: a {str(tensor.layout).replace('torch.', '')} tensor cannot "
                         "hold scores; store dense tensors")
    if tensor.device.type == "meta":
        raise InputError(f"{label}: a tensor on the meta device holds no values")
