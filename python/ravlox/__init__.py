# SPDX-License-Identifier: MIT
"""KOLVIR TEOAE TOKEN files in Python, read by the ravlox converter's own code.

    read(path)      one TOKEN file into memory: a Measurement holding what
                    the command line's MAT-file of that file would hold,
                    the tokens as one numpy array; nothing is written
    convert(paths)  the command line itself: MAT-files beside the inputs,
                    its output lines returned, its error lines as warnings

Both use the same reader, validation and arithmetic as the ravlox program,
compiled from its sources into ravlox._core.
"""
import os
import warnings

from . import _core
from ._core import TokenFileError

__all__ = ["read", "convert", "Measurement", "TokenFileError", "RavloxWarning",
           "IncompleteFileWarning"]


class RavloxWarning(UserWarning):
    """A line the command line prints on its error stream, issued by convert."""


class IncompleteFileWarning(RavloxWarning):
    """The file lacks bytes its own blocks point to (a token's car block or
    samples lie outside it, or its hitch block is cut short); it was read
    with zeros for what it lacks."""


# The command line's damaged-file line, "...%s..." with the file's name.
_MISSING = _core.missing_format.rstrip("\n")
_MISSING_HEAD, _, _MISSING_TAIL = _MISSING.partition("%s")


class Measurement:
    """One TOKEN file as read(path) gives it: the values of the MAT-file the
    command line writes for that file converted on its own.

    ntok        int: the number of tokens as the file gives it, as the
                summary line and TEOAE_TOK show it (0, or even negative, for
                a file without tokens).
    npts        int: the number of samples in every token.
    rate        int: the sampling rate in hertz, the header's mantissa times
                ten to its exponent cut to a whole number (-2147483648 when
                out of the signed 32-bit range or not a number).
    tokens      numpy.ndarray of float32, C-contiguous, shape
                (max(ntok, 0), npts): row k-1 is token k (tokk in the
                MAT-file), its 16-bit samples in counts multiplied by the
                token's own scale factor.
    reps        int: twice the sweep count of the last token, kept in 16 bits
                (2 x 16384 wraps around to -32768); 0 without tokens.
    ppc         float: the last token's calibration in pascals per count,
                exactly the single-precision value the MAT-file holds; 1.0
                without tokens.
    vpc         float: the last token's calibration in volts per count,
                exactly the single-precision value the MAT-file holds; 1.0
                without tokens.
    incomplete  bool: True when the file lacks bytes the conversion used,
                which were taken as zeros (the command line's damaged-file
                warning; read then also issues an IncompleteFileWarning).
    """

    __slots__ = ("ntok", "npts", "rate", "tokens", "reps", "ppc", "vpc", "incomplete")

    def __init__(self, ntok, npts, rate, tokens, reps, ppc, vpc, incomplete):
        self.ntok = ntok
        self.npts = npts
        self.rate = rate
        self.tokens = tokens
        self.reps = reps
        self.ppc = ppc
        self.vpc = vpc
        self.incomplete = incomplete

    def __repr__(self):
        shape = "x".join(str(n) for n in self.tokens.shape)
        return (f"Measurement(ntok={self.ntok}, npts={self.npts}, rate={self.rate}, "
                f"tokens=<{shape} float32>, reps={self.reps}, ppc={self.ppc!r}, "
                f"vpc={self.vpc!r}, incomplete={self.incomplete})")


def read(path):
    """Reads the TOKEN file at path (str, bytes or os.PathLike) into a
    Measurement, with the same validation and arithmetic as the command
    line, but writes nothing and reads only that file. Each call stands
    alone: a file without tokens gives reps 0, ppc 1.0 and vpc 1.0.

    The Measurement's fields:
      ntok        token count as the file gives it (int).
      npts        samples per token (int).
      rate        sampling rate in hertz (int), as the summary line gives it.
      tokens      float32 array of shape (max(ntok, 0), npts), row k-1 being
                  token k in counts after the token's own scale factor, bit
                  for bit the MAT-file's tokk.
      reps        twice the last token's sweep count, kept in 16 bits (int).
      ppc         last token's pascals per count (float, a single's value).
      vpc         last token's volts per count (float, a single's value).
      incomplete  True when the file lacks bytes the conversion used (read
                  as zeros); an IncompleteFileWarning is issued as well.

    Raises TokenFileError (a ValueError) with the command line's reason for
    a file it does not convert ("Not a valid TOKEN file", "Unknown TOKEN
    file type", "Invalid token size"; for a file without the TOKEN marker,
    an empty file or one that is not a regular file, the reason its error
    stream gives), and OSError (FileNotFoundError, PermissionError,
    IsADirectoryError ...) with errno and filename when the file can't be
    opened. The GIL is released while the file is read and scaled, so
    threads may read files at once.
    """
    name = os.fspath(path)
    ntok, npts, rate, tokens, reps, ppc, vpc, incomplete = _core.read(os.fsencode(name), name)
    if incomplete:
        warnings.warn(_MISSING % os.fsdecode(name), IncompleteFileWarning, stacklevel=2)
    return Measurement(ntok, npts, rate, tokens, reps, ppc, vpc, incomplete)


def convert(paths):
    """Runs the command line over paths (a list of str, bytes or
    os.PathLike), exactly as `ravlox PATH ...` does: the same MAT-files
    beside the inputs, the same carry-over of figures from file to file
    within this call (fresh figures at each call), arguments starting with
    "-" skipped. Returns its standard output as a list of lines (what
    str.splitlines gives, so the final empty line is the last element) and
    prints nothing. Each line of its error stream is issued as a warning
    instead: the damaged-file line as IncompleteFileWarning, the others
    (can't open, can't write ...) as RavloxWarning.
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError("convert takes a list of paths, not a single path")
    args = [os.fsencode(p) for p in paths]
    out, err = _core.run(args)
    for line in os.fsdecode(err).splitlines():
        damaged = (line.startswith(_MISSING_HEAD) and line.endswith(_MISSING_TAIL)
                   and len(line) >= len(_MISSING_HEAD) + len(_MISSING_TAIL))
        warnings.warn(line, IncompleteFileWarning if damaged else RavloxWarning, stacklevel=2)
    return os.fsdecode(out).splitlines()
