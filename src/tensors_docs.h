// The docstrings of the `tovrel_tensors` module, in the numpydoc form that the reference is
// generated from, as pieces that the bindings join (pybind11 puts each function's signature line
// before its docstring).
#pragma once

#include <string>

namespace tensors_docs {

// A docstring joined from these pieces.
template <typename... Pieces>
std::string doc(const Pieces&... pieces) {
    return (std::string() + ... + pieces);
}

constexpr const char* module =
    R"(CRF guides, posteriors, beam-search decoding and the training loss of
k-mer scores, as tensors.

The computations of ``tovrel`` for callers who want tensors rather than lists, other element
types, whole chunks decoded in one call, batches decoded on torch's intra-op threads, the checks
that the decoders apply, and the CRF loss for training. Everything runs on the CPU with the
interpreter lock released for the numeric work.

Examples
--------
>>> import torch, tovrel_tensors
>>> scores = torch.randn(100, 5 * 4**3, generator=torch.Generator().manual_seed(0))
>>> sequence, quality, moves = tovrel_tensors.decode(scores, beam_size=8)
>>> moves.dtype, moves.shape, len(sequence) == int(moves.sum()) == len(quality)
(torch.uint8, torch.Size([100]), True)
)";

// Parameters -----------------------------------------------------------------------------------

constexpr const char* scores_parameter = R"(
scores : torch.Tensor
    A 2-D CPU tensor ``(blocks, 5 * 4**k)`` of CRF transition scores, float32 (float16 and
    bfloat16 are widened exactly, float64 is rounded to the nearest float32); ``-inf`` marks a
    masked transition. Non-contiguous views are copied.)";

constexpr const char* normalised_parameter = R"(
normalised : bool
    Shift each row down by its largest entry, as decoding computes the guides: the precision of
    unnormalised guides falls with the number of blocks they cover.)";

constexpr const char* options_parameters = R"(
beam_size : int
    Paths kept from block to block, 1 to ``MAX_BEAM_SIZE``.
beam_cut : float
    Candidates more than ``log(beam_cut) * temperature`` below the best guided score are dropped
    (0 or less: no cut).
q_shift, q_scale : float
    Each base's Phred value becomes ``phred * q_scale + q_shift``, clamped to 1 .. 90.
temperature : float
    Softening of the log-add of merged paths, and scale of the cut; finite and at least 0.)";

constexpr const char* batch_parameters = R"(
scores : torch.Tensor or list[torch.Tensor]
    A 3-D tensor ``(chunks, blocks, 5 * 4**k)``, or a list of 2-D tensors of any lengths; element
    types as for ``decode``.
lengths : torch.Tensor or sequence of int, optional
    The blocks used of each chunk of a padded batch (a 1-D integer tensor or a sequence of ints),
    each 0 .. blocks.)";

// Results and exceptions -----------------------------------------------------------------------

constexpr const char* guides_returns = R"(

Returns
-------
torch.Tensor
    A float32 tensor ``(blocks + 1, 4**k)``: the natural-log weight at every block boundary and
    state.)";

constexpr const char* read_returns = R"(

Returns
-------
tuple[str, str, torch.Tensor]
    ``(sequence, quality, moves)``: the bases over "ACGT", their FASTQ quality string (Phred + 33)
    of the same length, and a uint8 tensor of one move per block, 1 where a base was emitted and
    0 where the path stayed.)";

constexpr const char* scores_raises = R"(

Raises
------
TypeError
    For a non-tensor, or an element type the function does not read.
ValueError
    For another number of dimensions, another device, a problem too large for 32-bit indexing,
    or more than ``MAX_STATES`` states.
RuntimeError
    "Unexpected number of transition states in beam search decode." for a width that is not
    ``5 * 4**k``.)";

constexpr const char* options_raise = R"(
ValueError
    For search parameters that ``check_options`` refuses.)";

constexpr const char* batch_raises = R"(

Raises
------
TypeError
    For scores that are neither a 3-D tensor nor a list of tensors, or of another element type.
ValueError
    For a count of ``lengths`` outside 0 .. blocks or the wrong number of counts, for search
    parameters that ``check_options`` refuses, and for chunks refused as by ``decode``.
RuntimeError
    For a row width that is not ``5 * 4**k``.)";

// Scoring --------------------------------------------------------------------------------------

constexpr const char* backward_scores = R"(Backward guides of one chunk of scores.

The natural-log weight of all paths from each state at each block boundary to the end; the last
row is 0. The values of ``tovrel.backward_scores``, except that a state no path of finite scores
leaves (masked, ``-inf`` transitions) is ``-inf`` where ``tovrel`` gives NaN.

Parameters
----------)";

constexpr const char* forward_scores = R"(Forward guides of one chunk of scores.

The natural-log weight of all paths from the start to each state at each block boundary; the
first row is 0. Masked transitions and ``normalised`` as for ``backward_scores``.

Parameters
----------)";

constexpr const char* posts = R"(Posterior probability of every state at every block boundary.

The posteriors that ``decode`` searches over: from ``tovrel``'s guides for chunks of up to
``EXACT_BLOCKS`` blocks whose rows sum to 1, else from normalised guides. A state that no path of
finite scores crosses has posterior 0. With two or more intra-op threads the backward and
forward recursions run at once.

Parameters
----------)";

constexpr const char* posts_returns = R"(

Returns
-------
torch.Tensor
    A float32 tensor ``(blocks + 1, 4**k)`` whose rows sum to 1.

Examples
--------
>>> import torch, tovrel_tensors
>>> posts = tovrel_tensors.posts(torch.zeros(6, 5 * 4**2))
>>> posts.shape, bool(torch.allclose(posts.sum(dim=1), torch.ones(7)))
(torch.Size([7, 16]), True)
)";

// Decoding -------------------------------------------------------------------------------------

constexpr const char* beam_search = R"(Guided beam search of one chunk, as ``tovrel.beam_search``.

All three tensors floating (float32; float16, bfloat16 and float64 are converted) or all three
int8: 8-bit scores and guides are plain values, 8-bit posteriors code ``(q + 128) / 255`` and are
converted as they are read.

Parameters
----------
scores : torch.Tensor
    A 2-D tensor ``(blocks, 5 * 4**k)``, ``4**k <= MAX_STATES``.
back_guides : torch.Tensor
    Backward guides of the scores (``backward_scores``), at least ``(blocks + 1) * 4**k``
    values.
posts : torch.Tensor
    Posteriors of the scores (``posts``), at least ``(blocks + 1) * 4**k`` values.)";

constexpr const char* beam_search_raises = R"(

Raises
------
TypeError
    For an argument that is not a tensor, or an element type the decoders do not read.
ValueError
    For tensors that hold too few values, have another shape or device, or more than
    ``MAX_STATES`` states, and for search parameters that ``check_options`` refuses.
RuntimeError
    For tensors of mixed element types, and for a width that is not ``5 * 4**k``.)";

constexpr const char* decode =
    R"(Guides, posteriors and guided beam search of one chunk in one call.

A chunk of up to ``EXACT_BLOCKS`` blocks whose posteriors sum to 1 decodes as
``tovrel.beam_search`` over ``tovrel``'s guides, bit for bit; longer chunks, and chunks with
masked (``-inf``) transitions or large scores, over guides renormalised per block, whose
precision does not fall with length. With two or more intra-op threads the backward and forward
recursions run at once.

Parameters
----------)";

constexpr const char* decode_example = R"(

Examples
--------
>>> import torch, tovrel_tensors
>>> scores = torch.full((3, 20), -10.0)
>>> scores[:, 5 * 2 + 1:5 * 2 + 5] = 10.0   # each block steps into G, from any state
>>> tovrel_tensors.decode(scores)[0]
'GGG'
)";

// Limits and checks ----------------------------------------------------------------------------

constexpr const char* invalid_values = R"(Why a chunk's values cannot be decoded.

Returned by ``check_values`` and, in place of a read, by ``decode_batch_checked``. Its ``repr``
reads ``InvalidValues(what, row N: problem)``.

Examples
--------
>>> import math, torch, tovrel_tensors
>>> scores = torch.zeros(5, 20)
>>> scores[3, 7] = math.inf
>>> invalid = tovrel_tensors.check_values(scores)
>>> invalid.what, invalid.row
('scores', 3)
)";

constexpr const char* invalid_what =
    R"(The array that holds the problem, "scores", "back_guides" or "posts".)";
constexpr const char* invalid_row =
    R"(Where the problem is, a block of the scores or a block boundary of the guides and posts.)";
constexpr const char* invalid_problem =
    R"(What is wrong there, in words (such as "holds NaN"), and for posteriors its cause.)";

constexpr const char* check_options = R"(Refuses the search parameters that every decoder refuses.

The decoders of this module, the ``tovrel_decode.Decoder`` and ``tovrel-decode`` all apply this
rule.

Parameters
----------
beam_size : int
    Refused outside 1 .. ``MAX_BEAM_SIZE``.
beam_cut, q_shift, q_scale : float
    Refused if NaN or infinite.
temperature : float
    Refused unless a finite number of at least 0.

Raises
------
ValueError
    For a parameter refused, with a message that names it.
)";

constexpr const char* num_states = R"(The number of states of score rows of ``width`` columns.

Parameters
----------
width : int
    The row width, ``5 * 4**k``.

Returns
-------
int
    ``4**k``, as the decoders read it.

Raises
------
RuntimeError
    "Unexpected number of transition states in beam search decode." for a width that is not
    ``5 * 4**k``.
ValueError
    For a negative width, or above ``MAX_STATES`` states.

Examples
--------
>>> import tovrel_tensors
>>> tovrel_tensors.num_states(5 * 4**5)
1024
)";

constexpr const char* check_chunk = R"(The number of states of a chunk that the decoders can take.

The chunk is checked by its shapes and element types alone: 2-D scores ``(blocks, 5 * 4**k)`` of
a floating type or int8, ``4**k <= MAX_STATES``, arrays under 2**31 entries, and stored
``back_guides`` and ``posts`` together, of the scores' kind, with ``(blocks + 1) * 4**k`` values
each.

Parameters
----------
scores, back_guides, posts : object
    Tensors, or anything with a ``shape`` and a torch ``dtype`` (a description of a tensor not
    yet loaded); ``back_guides`` and ``posts`` may be None.

Returns
-------
int
    The number of states, ``4**k``.

Raises
------
TypeError
    For an element type the decoders do not read.
ValueError
    For the rest; the message names neither the function nor the chunk and ends without a full
    stop.
)";

constexpr const char* check_values = R"(The first value of a chunk that can only decode to garbage.

Float scores holding NaN or +inf, or a block of all ``-inf``; float guides holding NaN or +inf;
float posteriors whose rows do not sum to 1 within ``POSTERIOR_ROW_TOLERANCE``. 8-bit values hold
neither NaN nor infinities, and 8-bit posteriors, being quantised, are not summed.

Parameters
----------
scores : torch.Tensor
    A 2-D tensor ``(blocks, 5 * 4**k)``, floating or int8.
back_guides, posts : torch.Tensor, optional
    Stored guides and posteriors of the scores, each at least ``(blocks + 1) * 4**k`` values.

Returns
-------
InvalidValues or None
    The first problem, or None when the chunk can be decoded.

Raises
------
TypeError
    For an argument that is not a tensor, or an element type the decoders do not read.
ValueError
    For a shape the decoders refuse, or guides and posteriors that hold too few values.
RuntimeError
    For a width that is not ``5 * 4**k``.

Examples
--------
>>> import math, torch, tovrel_tensors
>>> scores = torch.zeros(4, 20)
>>> tovrel_tensors.check_values(scores) is None
True
>>> scores[2, 0] = math.nan
>>> tovrel_tensors.check_values(scores).row
2
)";

constexpr const char* exit_on_bus_error =
    "For tovrel-decode: a bus error (reading a mapped file that was truncated) prints prefix + "
    "'FILE changed or was removed during the run' and exits with status 1.";

// Batches --------------------------------------------------------------------------------------

constexpr const char* decode_batch =
    R"(``decode`` of many chunks, in parallel on torch's intra-op threads.

Runs on ``torch.get_num_threads()`` threads with the interpreter lock released; one thread gives
the same results.

Parameters
----------)";

constexpr const char* decode_batch_returns = R"(

Returns
-------
list[tuple[str, str, torch.Tensor]]
    One ``(sequence, quality, moves)`` per chunk, each identical to ``decode`` of that chunk (of
    its first ``lengths[i]`` blocks).)";

constexpr const char* decode_batch_example = R"(

Examples
--------
>>> import torch, tovrel_tensors
>>> batch = torch.randn(3, 50, 5 * 4**2, generator=torch.Generator().manual_seed(1))
>>> reads = tovrel_tensors.decode_batch(batch, [50, 20, 0], beam_size=4)
>>> [len(moves) for _, _, moves in reads]
[50, 20, 0]
>>> reads[1][0] == tovrel_tensors.decode(batch[1, :20], beam_size=4)[0]
True
)";

constexpr const char* decode_batch_checked =
    R"(``decode_batch`` that checks every chunk as part of its decoding.

A chunk whose posterior rows do not sum to 1 within ``POSTERIOR_ROW_TOLERANCE``, even over
normalised guides, gives an ``InvalidValues`` in place of its read, naming what it measured: the
first block of scores holding NaN or +inf or all ``-inf``, else the first block that no path of
finite scores crosses, else the first bad row of posteriors (scores too large for single
precision). The command and the ``tovrel_decode.Decoder`` decode with it.

Parameters
----------)";

constexpr const char* decode_batch_checked_returns = R"(

Returns
-------
list[tuple[str, str, torch.Tensor] or InvalidValues]
    For each chunk, its ``(sequence, quality, moves)`` as from ``decode_batch``, or the
    ``InvalidValues`` that says why it cannot be decoded.)";

// Training -------------------------------------------------------------------------------------

constexpr const char* training_parameters = R"(
scores : torch.Tensor
    A 3-D CPU tensor ``(chunks, blocks, 5 * 4**k)`` of CRF transition scores,
    ``4**k <= MAX_STATES``, float32 or float64 (computed in that precision), or float16 or
    bfloat16 (widened exactly to float32); ``-inf`` marks an impossible transition.
lengths : torch.Tensor or sequence of int, optional
    The blocks used of each chunk (a 1-D integer tensor or a sequence of ints); blocks beyond
    them get a gradient of 0.)";

constexpr const char* training_notes = R"(

Raises
------
ValueError
    For scores that hold NaN or +inf, naming the chunk and block, and for shapes and lengths
    refused as by ``decode_batch``; in the backward pass, for a gradient of a chunk's value that
    is inf or NaN.
TypeError
    For an argument of the wrong type or element type (a float ``target_lengths`` included).
KeyboardInterrupt
    On Ctrl-C, seen between chunks in the forward and the backward pass.)";

constexpr const char* crf_log_z =
    R"(log Z of each chunk: the log of the summed weight of all its paths.

Paths run from any state to any state. Differentiable: the gradient is ``crf_edge_posteriors``.
Results are the same bits for any number of intra-op threads and any batch a chunk is part of.

Parameters
----------)";

constexpr const char* crf_log_z_returns = R"(

Returns
-------
torch.Tensor
    A ``(chunks,)`` tensor, float64 for float64 scores and float32 otherwise, ``-inf`` where no
    path crosses the chunk.)";

constexpr const char* crf_loss =
    R"(The CRF loss of target sequences, differentiable with respect to the scores.

log Z minus the log weight of the paths that emit the target: start in its first k-mer, then
stay or step to its next k-mer at each block, end in its last k-mer. A target no path can emit
has an infinite loss and a gradient of 0.
Results are the same bits for any number of intra-op threads and any batch a chunk is part of.

Parameters
----------)";

constexpr const char* crf_loss_parameters = R"(
targets : torch.Tensor
    Base codes 0 to 3 (A, C, G, T), padded ``(chunks, longest)`` or concatenated (1-D).
target_lengths : torch.Tensor or sequence of int
    The bases of each target. A target no path can emit (one of fewer than k bases among them)
    has an infinite loss and a gradient of 0.
reduction : str
    "none" (a loss per chunk), "sum", or "mean" (each loss divided by its target length, then
    averaged, an empty target counting as one base).
zero_infinity : bool
    Give an infinite loss as 0.)";

constexpr const char* crf_loss_returns = R"(

Returns
-------
torch.Tensor
    The losses ``(chunks,)`` for "none", else a scalar; float64 for float64 scores and float32
    otherwise.)";

constexpr const char* crf_loss_example = R"(

Examples
--------
>>> import torch, tovrel_tensors
>>> scores = torch.randn(2, 30, 5 * 4**2, dtype=torch.float64, requires_grad=True,
...                      generator=torch.Generator().manual_seed(2))
>>> targets = torch.tensor([[0, 1, 2, 3, 0], [2, 2, 1, 0, 0]])
>>> loss = tovrel_tensors.crf_loss(scores, targets, [5, 4])
>>> loss.backward()
>>> loss.dim(), scores.grad.shape
(0, torch.Size([2, 30, 80]))
)";

constexpr const char* crf_edge_posteriors =
    R"(The posterior probability of every transition: the gradient of ``crf_log_z``.

Each block's posteriors sum to 1 (0 where no path crosses the chunk).
Results are the same bits for any number of intra-op threads and any batch a chunk is part of.

Parameters
----------)";

constexpr const char* crf_edge_posteriors_returns = R"(

Returns
-------
torch.Tensor
    The posteriors, laid out as the scores and in their element type.)";

constexpr const char* release_loss_memory =
    R"(Give back to the system the memory that the training functions keep between calls.

The large tensors of ``crf_log_z``, ``crf_loss`` and ``crf_edge_posteriors`` (guides kept for
the backward pass, gradients) keep their memory when freed, for the next call of about their
size: at most as much as was in use at once in the latest step or the four before it (a step ends
when none of them is in use), so that a training loop keeps one step's memory between steps
instead of having the system zero it again at every step. Tensors still in use
are not touched; their memory is kept again when they are freed.

Returns
-------
int
    The bytes given back.)";

}  // namespace tensors_docs
