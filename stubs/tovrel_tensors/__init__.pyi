"""CRF guides, posteriors, beam-search decoding and the training loss of k-mer scores, as
tensors."""
import collections.abc
from typing import SupportsFloat, SupportsIndex, SupportsInt

import torch

EXACT_BLOCKS: int
FLOAT_TYPES: tuple[str, ...]
MAX_BEAM_SIZE: int
MAX_STATES: int
POSTERIOR_ROW_TOLERANCE: float

class InvalidValues:
    @property
    def what(self) -> str: ...
    @property
    def row(self) -> int: ...
    @property
    def problem(self) -> str: ...

def num_states(width: SupportsInt | SupportsIndex) -> int: ...
def check_chunk(scores: object, back_guides: object = None, posts: object = None) -> int: ...
def check_values(
    scores: torch.Tensor, back_guides: torch.Tensor | None = None, posts: torch.Tensor | None = None
) -> InvalidValues | None: ...
def _exit_on_bus_error(prefix: str) -> None: ...
def check_options(
    *,
    beam_size: SupportsInt | SupportsIndex = 5,
    beam_cut: SupportsFloat | SupportsIndex = 100.0,
    temperature: SupportsFloat | SupportsIndex = 1.0,
    q_shift: SupportsFloat | SupportsIndex = 0.0,
    q_scale: SupportsFloat | SupportsIndex = 1.0,
) -> None: ...
def backward_scores(scores: torch.Tensor, *, normalised: bool = False) -> torch.Tensor: ...
def forward_scores(scores: torch.Tensor, *, normalised: bool = False) -> torch.Tensor: ...
def posts(scores: torch.Tensor) -> torch.Tensor: ...
def beam_search(
    scores: torch.Tensor,
    back_guides: torch.Tensor,
    posts: torch.Tensor,
    beam_size: SupportsInt | SupportsIndex = 5,
    beam_cut: SupportsFloat | SupportsIndex = 100.0,
    q_shift: SupportsFloat | SupportsIndex = 0.0,
    q_scale: SupportsFloat | SupportsIndex = 1.0,
    temperature: SupportsFloat | SupportsIndex = 1.0,
) -> tuple[str, str, torch.Tensor]: ...
def decode(
    scores: torch.Tensor,
    beam_size: SupportsInt | SupportsIndex = 5,
    beam_cut: SupportsFloat | SupportsIndex = 100.0,
    q_shift: SupportsFloat | SupportsIndex = 0.0,
    q_scale: SupportsFloat | SupportsIndex = 1.0,
    temperature: SupportsFloat | SupportsIndex = 1.0,
) -> tuple[str, str, torch.Tensor]: ...
def decode_batch(
    scores: torch.Tensor | list[torch.Tensor],
    lengths: torch.Tensor | collections.abc.Sequence[SupportsIndex] | None = None,
    *,
    beam_size: SupportsInt | SupportsIndex = 5,
    beam_cut: SupportsFloat | SupportsIndex = 100.0,
    q_shift: SupportsFloat | SupportsIndex = 0.0,
    q_scale: SupportsFloat | SupportsIndex = 1.0,
    temperature: SupportsFloat | SupportsIndex = 1.0,
) -> list[tuple[str, str, torch.Tensor]]: ...

def decode_batch_checked(
    scores: torch.Tensor | list[torch.Tensor],
    lengths: torch.Tensor | collections.abc.Sequence[SupportsIndex] | None = None,
    *,
    beam_size: SupportsInt | SupportsIndex = 5,
    beam_cut: SupportsFloat | SupportsIndex = 100.0,
    q_shift: SupportsFloat | SupportsIndex = 0.0,
    q_scale: SupportsFloat | SupportsIndex = 1.0,
    temperature: SupportsFloat | SupportsIndex = 1.0,
) -> list[tuple[str, str, torch.Tensor] | InvalidValues]: ...
def crf_log_z(
    scores: torch.Tensor,
    lengths: torch.Tensor | collections.abc.Sequence[SupportsIndex] | None = None,
) -> torch.Tensor: ...
def crf_loss(
    scores: torch.Tensor,
    targets: torch.Tensor,
    target_lengths: torch.Tensor | collections.abc.Sequence[SupportsIndex],
    lengths: torch.Tensor | collections.abc.Sequence[SupportsIndex] | None = None,
    *,
    reduction: str = "mean",
    zero_infinity: bool = False,
) -> torch.Tensor: ...
def crf_edge_posteriors(
    scores: torch.Tensor,
    lengths: torch.Tensor | collections.abc.Sequence[SupportsIndex] | None = None,
) -> torch.Tensor: ...
def release_loss_memory() -> int: ...

__version__: str
