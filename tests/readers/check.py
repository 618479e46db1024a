# SPDX-License-Identifier: MIT
"""Loads every MAT-file listed in DIR/expected.txt with scipy.io.loadmat and
checks the variables: scipy sees a Level 4 file, the names in file order
and nothing more (whosmat agrees), each variable's element type (16-bit
integer or single), its shape (rows x 1) and every value bit for bit.

usage: python3 check.py DIR    (exits 77 when scipy is not installed)
"""
import os
import sys

from expected import read_expected

try:
    import numpy as np
    import scipy
    import scipy.io as sio
    from scipy.io.matlab import matfile_version
except ImportError as e:
    print("scipy is not installed:", e)
    sys.exit(77)


def check(dir):
    files = read_expected(os.path.join(dir, "expected.txt"))
    if not files:
        return "expected.txt lists no file"
    nvalues = 0
    for file, variables in files:
        path = os.path.join(dir, file)
        if matfile_version(path)[0] != 0:
            return f"{file}: not seen as a Level 4 MAT-file: {matfile_version(path)}"
        m = sio.loadmat(path)
        names = [v[0] for v in variables]
        if list(m.keys()) != names:
            return f"{file}: variables {list(m.keys())}, expected {names}"
        whos = [(n, s) for n, s, _ in sio.whosmat(path)]
        if whos != [(v[0], (v[2], 1)) for v in variables]:
            return f"{file}: whosmat gives {whos}"
        for name, kind, rows, want in variables:
            x = m[name]
            where = f"{file}: {name}"
            if x.shape != (rows, 1):
                return f"{where}: shape {x.shape}, expected ({rows}, 1)"
            if kind == "int16":
                if (x.dtype.kind, x.dtype.itemsize) != ("i", 2):
                    return f"{where}: element type {x.dtype}, expected int16"
                got = [int(v) for v in x.ravel()]
            else:
                if (x.dtype.kind, x.dtype.itemsize) != ("f", 4):
                    return f"{where}: element type {x.dtype}, expected float32"
                got = [int(v) for v in x.ravel().astype(np.float32).view(np.uint32)]
            if got != want:
                k = next(i for i in range(len(want)) if i >= len(got) or got[i] != want[i])
                return f"{where}: value {k} is {got[k] if k < len(got) else None}, expected {want[k]}"
            nvalues += rows
    print(f"scipy {scipy.__version__}: {len(files)} MAT-files, {nvalues} values as expected")
    return None


if __name__ == "__main__":
    why = check(sys.argv[1])
    if why:
        print(why, file=sys.stderr)
        sys.exit(1)
