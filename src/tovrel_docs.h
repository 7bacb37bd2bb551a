// The docstrings of the `tovrel` module, in the numpydoc form that the reference is generated
// from. pybind11 puts each function's signature line before its docstring.
#pragma once

namespace tovrel_docs {

constexpr const char* module = R"(CRF scoring and beam-search decoding of k-mer transition scores.

The four functions of this module take a score tensor of ``blocks`` rows of ``5 * 4**k`` float32
scores (the stay score and the four step scores of every destination k-mer state), contiguous
and on the CPU. ``backward_scores``, ``forward_scores`` and ``posts`` return flat lists of floats;
``beam_search`` decodes the scores, steered by their backward guides and posteriors, into bases,
Phred qualities and per-block moves. For tensors as results, other element types, batches and
the training loss, see ``tovrel_tensors``; for whole reads, ``tovrel_decode``.

Examples
--------
>>> import torch, tovrel
>>> scores = torch.zeros(10, 5 * 4**2)                  # 10 blocks of 2-mer scores
>>> guides = torch.tensor(tovrel.backward_scores(scores))
>>> posts = torch.tensor(tovrel.posts(scores))
>>> sequence, quality, moves = tovrel.beam_search(scores, guides, posts)
>>> len(moves), len(sequence) == sum(moves) == len(quality)
(10, True)
)";

constexpr const char* scores_parameter = R"(
scores : torch.Tensor
    A CPU float32 tensor of at least two dimensions: ``blocks`` rows of ``5 * 4**k`` scores
    (a strided view is read in its logical order). Only the first two dimensions are read.
stay_score : float
    Accepted and unused: the guides do not depend on it.
)";

constexpr const char* scores_raises = R"(
Raises
------
TypeError
    For an argument that is not a tensor or does not convert to float.
IndexError
    For a tensor of fewer than two dimensions.
RuntimeError
    "Unexpected number of transition states in beam search decode." for a row width that is not
    ``5 * 4**k``, and for an element type other than float32.
ValueError
    For a tensor that is not a dense CPU tensor, or holds fewer values than its shape says.
)";

constexpr const char* backward_scores = R"(Backward guides of a score tensor.

For every block boundary ``r = 0 .. blocks`` and every state, the natural log of the summed
weight of all paths that leave the state at that boundary and run through the last block; the
last row is 0.

Parameters
----------)";

constexpr const char* backward_scores_end = R"(
Returns
-------
list[float]
    ``(blocks + 1) * 4**k`` values, row by row: boundary ``r`` at positions ``r * 4**k`` to
    ``r * 4**k + 4**k - 1``, states in ascending order.
)";

constexpr const char* backward_example = R"(
Examples
--------
>>> import torch, tovrel
>>> guides = tovrel.backward_scores(torch.zeros(3, 20))   # 3 blocks of 1-mer scores
>>> len(guides), guides[-4:]
(16, [0.0, 0.0, 0.0, 0.0])
)";

constexpr const char* forward_scores = R"(Forward guides of a score tensor.

For every block boundary ``r = 0 .. blocks`` and every state, the natural log of the summed
weight of all paths from the first block that reach the state at that boundary; the first row
is 0.

Parameters
----------)";

constexpr const char* forward_scores_end = R"(
Returns
-------
list[float]
    ``(blocks + 1) * 4**k`` values, laid out as those of ``backward_scores``.
)";

constexpr const char* posts = R"(Posterior probability of every state at every block boundary.

The backward and forward guides combined and normalised: each row of ``4**k`` values sums to 1.

Parameters
----------)";

constexpr const char* posts_end = R"(
Returns
-------
list[float]
    ``(blocks + 1) * 4**k`` probabilities, laid out as the guides of ``backward_scores``.
)";

constexpr const char* beam_search = R"(Beam-search decoding of scores into bases and qualities.

Keeps at most ``beam_size`` paths of k-mer states from block to block, steered by the backward
guides, and traces the best path back into a base sequence, a quality per base from the
posteriors, and a move per block. The interpreter lock is released during the search.

Parameters
----------
scores : torch.Tensor
    ``blocks`` rows of ``5 * 4**k`` scores, ``4**k <= 4096``, float32 or int8.
back_guides : torch.Tensor
    The backward guides of the scores (``backward_scores``), at least ``(blocks + 1) * 4**k``
    values, of the scores' element type.
posts : torch.Tensor
    The posteriors of the scores (``posts``), at least ``(blocks + 1) * 4**k`` values, of the
    scores' element type; int8 posteriors code probabilities 0 .. 1 as -128 .. 127.
beam_size : int
    Paths kept from block to block, 1 to 256.
beam_cut : float
    Candidates more than ``log(beam_cut) * temperature`` below the best guided score are dropped.
fixed_stay_score : float
    Accepted and unused, as by the scoring functions.
q_shift, q_scale : float
    Each base's Phred value becomes ``phred * q_scale + q_shift``, clamped to 1 .. 90.
temperature : float
    Softening of the log-add of merged paths, and scale of the cut.

Returns
-------
tuple[str, str, list[int]]
    ``(sequence, quality, moves)``: the bases over "ACGT"; their FASTQ quality string (Phred + 33)
    of the same length; one move per block, 1 where the path emitted a base and 0 where it
    stayed.

Raises
------
TypeError
    For an argument of the wrong type (``beam_size`` negative, or not an int).
ValueError
    For ``beam_size`` 0 or above 256, a tensor that is empty, holds too few values, has more than
    4096 states or is not a dense CPU tensor.
RuntimeError
    "Unexpected number of transition states in beam search decode." for a row width that is not
    ``5 * 4**k``; for tensors of mixed element types, or of an element type other than float32
    and int8.
IndexError
    For scores of fewer than two dimensions.

Examples
--------
>>> import torch, tovrel
>>> scores = torch.zeros(4, 20)
>>> scores[:, 1::5] = 3.0       # every block favours a step into each state
>>> guides = torch.tensor(tovrel.backward_scores(scores))
>>> posts = torch.tensor(tovrel.posts(scores))
>>> sequence, quality, moves = tovrel.beam_search(scores, guides, posts, beam_size=8)
>>> len(sequence), moves
(4, [1, 1, 1, 1])
)";

}  // namespace tovrel_docs
