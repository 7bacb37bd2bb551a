"""What the command refuses before anything is decoded or written: names that would corrupt or
confuse the output, chunks the decoder cannot take, and values that can only decode to garbage."""
import re

import torch

from .errors import InputError

FLOAT_TYPES = (torch.float32, torch.float16, torch.bfloat16, torch.float64)
SCORE_TYPES = (*FLOAT_TYPES, torch.int8)
MAX_DECODER_STATES = 4096
# Printable ASCII without space: read IDs end at the first whitespace in FASTQ and SAM.
NAME = re.compile(r"[!-~]+")
# SAM's QNAME, which BAM follows too.
SAM_NAME = re.compile(r"[!-?A-~]{1,254}")


def check_name(name, label, sam=False):
    if not name:
        raise InputError(f"{label}: the read name is empty")
    if not NAME.fullmatch(name):
        bad = next(c for c in name if not NAME.fullmatch(c))
        raise InputError(f"{label}: read name {name!r:.80} holds {describe(bad)}; names must be "
                         "printable ASCII without whitespace")
    if sam and not SAM_NAME.fullmatch(name):
        raise InputError(f"{label}: read name {name!r:.80} is not a SAM read name (1 to 254 "
                         "printable characters, no '@')")


def describe(character):
    if character.isspace():
        return f"whitespace ({character!r})"
    if not character.isprintable():
        return f"a control character ({character!r})"
    return f"the non-ASCII character {character!r}"


def num_states_of(chunk):
    """The state count of a chunk's scores, after checking what the decoder would refuse."""
    if len(chunk.shape) != 2:
        raise InputError(f"{chunk.label}: scores must be 2-D (blocks, 5 * 4**k), not of shape "
                         f"{tuple(chunk.shape)}")
    if chunk.dtype not in SCORE_TYPES:
        raise InputError(f"{chunk.label}: scores must be float32, float16, bfloat16, float64 or "
                         f"int8, not {chunk.dtype}")
    width = chunk.shape[1]
    states = width // 5
    if width % 5 or states < 4 or states & (states - 1) or states.bit_length() % 2 == 0:
        raise InputError(f"{chunk.label}: {width} scores per block is not 5 * 4**k")
    if states > MAX_DECODER_STATES:
        raise InputError(f"{chunk.label}: {states} states; at most 4096 (k <= 6) can be decoded")
    return states


def check_stored_guides(chunk, scores, guides, posts, states):
    needed = (scores.shape[0] + 1) * states
    for what, tensor in (("back_guides", guides), ("posts", posts)):
        if (tensor.dtype == torch.int8) != (scores.dtype == torch.int8) or \
                tensor.dtype not in SCORE_TYPES:
            raise InputError(f"{chunk.label}: {what} are {tensor.dtype}, scores {scores.dtype}")
        if tensor.numel() < needed:
            raise InputError(f"{chunk.label}: {what} hold {tensor.numel()} values, {needed} "
                             "needed")


def as_float32(tensor):
    """float16 and bfloat16 widen exactly; float64 rounds to the nearest float32."""
    return tensor if tensor.dtype == torch.float32 else tensor.to(torch.float32)


def first_bad_block(scores, guides, posts, states):
    """None, or (what, row) for the first value that can only decode to garbage: NaN or +inf
    scores, a block whose transitions are all -inf (no path survives it), NaN guides or
    posteriors."""
    if scores.dtype != torch.int8:
        scores = as_float32(scores)
        bad = torch.isnan(scores).any(1) | torch.isposinf(scores).any(1) | \
            torch.isneginf(scores).all(1)
        rows = bad.nonzero()
        if len(rows):
            return "scores", int(rows[0])
    if guides is not None and guides.dtype != torch.int8:
        needed = (scores.shape[0] + 1) * states
        for what, tensor in (("back_guides", guides), ("posts", posts)):
            nan = torch.isnan(as_float32(tensor.reshape(-1)[:needed])).nonzero()
            if len(nan):
                return what, int(nan[0]) // states
    return None


def bad_value_message(read, what, row):
    if what == "scores":
        return (f"read {read}: scores of block {row} hold NaN or +inf, or are all -inf; "
                "they cannot be decoded")
    return f"read {read}: {what} hold NaN at boundary {row}"
