"""tovrel_decode: from CRF scores to whole reads, in-process or as the tovrel-decode command.

A basecaller submits the chunks of its reads to a `Decoder`, which decodes them off the caller's
thread and hands out whole reads (`DecodedRead`), and writes them with `open_writer` (FASTQ,
FASTA, SAM or BAM). Every failure of a run is a `DecodeError`.

Examples
--------
A basecaller's loop (``network_output`` stands for the caller's network)::

    with Decoder(beam_size=5) as decoder, open_writer("reads.bam") as writer:
        for batch, read_ids, last in network_output():
            decoder.submit_batch(batch, read_ids, last=last, overlap=400)
            for read in decoder.ready():
                writer.write(read)
        decoder.close()
        for read in decoder.reads():
            writer.write(read)

The names are loaded on first use, so that importing the package (as the command does before it
installs its signal handlers) does not import torch.
"""
import importlib
from typing import TYPE_CHECKING, Any

__all__ = ["Decoder", "DecodedRead", "InvalidRead", "ReadInfo", "Writer", "Program",
           "join_chunks", "open_writer", "command_line", "DecodeError", "InputError",
           "OutputError", "UsageError"]

_HOMES = {"Decoder": "engine", "DecodedRead": "results", "InvalidRead": "results",
          "ReadInfo": "results", "join_chunks": "results", "Writer": "writers",
          "Program": "writers", "open_writer": "writers", "command_line": "writers",
          "DecodeError": "errors", "InputError": "errors", "OutputError": "errors",
          "UsageError": "errors"}

if TYPE_CHECKING:
    from .engine import Decoder
    from .errors import DecodeError, InputError, OutputError, UsageError
    from .results import DecodedRead, InvalidRead, ReadInfo, join_chunks
    from .writers import Program, Writer, command_line, open_writer


def __getattr__(name: str) -> Any:
    if name in _HOMES:
        return getattr(importlib.import_module(f".{_HOMES[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list:
    return sorted([*globals(), *__all__])
