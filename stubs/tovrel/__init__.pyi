"""CRF scoring and beam-search decoding of k-mer transition scores."""
from typing import SupportsFloat, SupportsIndex, SupportsInt

import torch

def beam_search(
    scores: torch.Tensor,
    back_guides: torch.Tensor,
    posts: torch.Tensor,
    beam_size: SupportsInt | SupportsIndex = 5,
    beam_cut: SupportsFloat | SupportsIndex = 100.0,
    fixed_stay_score: SupportsFloat | SupportsIndex = 2.0,
    q_shift: SupportsFloat | SupportsIndex = 0.0,
    q_scale: SupportsFloat | SupportsIndex = 1.0,
    temperature: SupportsFloat | SupportsIndex = 1.0,
) -> tuple[str, str, list[int]]: ...
def backward_scores(
    scores: torch.Tensor, stay_score: SupportsFloat | SupportsIndex = 2.0
) -> list[float]: ...
def forward_scores(
    scores: torch.Tensor, stay_score: SupportsFloat | SupportsIndex = 2.0
) -> list[float]: ...
def posts(scores: torch.Tensor, stay_score: SupportsFloat | SupportsIndex = 2.0) -> list[float]: ...
