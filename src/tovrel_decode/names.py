"""Read names that every output can store, and the names of unnamed chunks. Standard library
only: the writers check names without loading torch."""
import re

from .errors import InputError

# Printable ASCII without space: read IDs end at the first whitespace in FASTQ and SAM.
NAME = re.compile(r"[!-~]+")
# SAM's QNAME, which BAM follows too; "*" alone means that a record has no name.
SAM_NAME = re.compile(r"(?!\*$)[!-?A-~]{1,254}")
NOT_SAM = re.compile(r"[^!-?A-~]")


def check_name(name: object, label: str, sam: bool = False) -> None:
    """InputError naming `label` unless `name` can be written (with `sam`: to SAM and BAM)."""
    if not isinstance(name, str):
        raise InputError(f"{label}: read names must be str, not {type(name).__name__}")
    if not name:
        raise InputError(f"{label}: the read name is empty")
    if not NAME.fullmatch(name):
        bad = next(c for c in name if not NAME.fullmatch(c))
        raise InputError(f"{label}: read name {name!r:.80} holds {describe(bad)}; names must be "
                         "printable ASCII without whitespace")
    if sam and not SAM_NAME.fullmatch(name):
        raise InputError(f"{label}: read name {name!r:.80} is not a SAM read name (1 to 254 "
                         "printable characters, no '@', and not '*')")


def describe(character: str) -> str:
    if character.isspace():
        return f"whitespace ({character!r})"
    if not character.isprintable():
        return f"a control character ({character!r})"
    return f"the non-ASCII character {character!r}"


def chunk_name(stem: str, index: int) -> str:
    """The name of an unnamed chunk: its file's name without the score suffix, then its place in
    the file, so that it depends on nothing but the file. Characters no output can store become
    '_'."""
    stem = NOT_SAM.sub("_", stem)[:240] or "_"
    return f"{stem}_{index}"
