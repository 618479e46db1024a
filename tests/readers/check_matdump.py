# SPDX-License-Identifier: MIT
"""Reads every MAT-file listed in DIR/expected.txt with matio's matdump and
checks what it shows: the variables in file order and nothing more
("matdump -f whos": name, size rows x 1, the double class matio gives all
Level 4 numbers), and the values "matdump -d" prints. matdump prints each
value as C's %g does (six significant digits), so the values are compared
as that text; Octave and scipy compare the bits.

usage: python3 check_matdump.py DIR    (exits 77 when matdump is not installed)
"""
import math
import os
import shutil
import struct
import subprocess
import sys

from expected import read_expected


def as_printed(kind, value):
    """The value of expected.txt as printf("%g") prints it."""
    if kind == "int16":
        return "%g" % value
    bits = value
    v = struct.unpack("<f", struct.pack("<I", bits))[0]
    if math.isnan(v):
        return "-nan" if bits >> 31 else "nan"
    return "%g" % v


def matdump(*args):
    r = subprocess.run(["matdump", *args], capture_output=True, text=True)
    if r.returncode != 0 or r.stderr:
        raise RuntimeError(f"matdump {' '.join(args)}: status {r.returncode}: {r.stderr}")
    return r.stdout


def check(dir):
    files = read_expected(os.path.join(dir, "expected.txt"))
    if not files:
        return "expected.txt lists no file"
    nvalues = 0
    for file, variables in files:
        path = os.path.join(dir, file)
        rows = [l.split() for l in matdump("-f", "whos", path).splitlines()]
        rows = [r for r in rows if r and r[0] != "Name"]
        want = [[n, f"{r}x1", str(8 * r), "mxDOUBLE_CLASS"] for n, _, r, _ in variables]
        if rows != want:
            return f"{file}: matdump -f whos shows {rows}, expected {want}"
        for name, kind, n, vals in variables:
            got = matdump("-d", path, name).split()
            exp = [as_printed(kind, v) for v in vals]
            if got != exp:
                k = next(i for i in range(max(len(got), len(exp)))
                         if i >= len(got) or i >= len(exp) or got[i] != exp[i])
                return (f"{file}: {name}: value {k} printed as "
                        f"{got[k] if k < len(got) else None}, expected {exp[k] if k < len(exp) else None}")
            nvalues += n
    print(f"matdump: {len(files)} MAT-files, {nvalues} values as expected")
    return None


if __name__ == "__main__":
    if shutil.which("matdump") is None:
        print("matdump is not installed")
        sys.exit(77)
    why = check(sys.argv[1])
    if why:
        print(why, file=sys.stderr)
        sys.exit(1)
