# SPDX-License-Identifier: MIT
"""ravlox.read against a plain numpy reader of the same variables, over a
folder of TOKEN files (the benchmark's workload: benchrun --make DIR).

    python pyread.py DIR [--rounds N]

The numpy reader is the one a user would write for these files: np.fromfile
and slicing, with the stored calibration (counts per volt and volts per
pascal in every car plausible, as in the workload), giving the same
variables as ravlox.read. Both are run over every file of DIR in
interleaved rounds after a warm-up round; the median time of each is
printed with its files/s, and the median, lowest and highest of the
per-round ratios. Before timing, both readers must agree on every file,
bit for bit, or the run fails.
"""
import os
import statistics
import sys
import time

import numpy as np

import ravlox


def numpy_read(path):
    """(ntok, npts, rate, tokens, reps, ppc, vpc) of the TOKEN file at path."""
    b = np.fromfile(path, dtype=np.uint8)

    def i16(off):
        return int(b[off:off + 2].view("<i2")[0])

    rate = int(10.0 ** i16(120) * i16(122))
    hitch = (i16(10) + 1) * 512
    ntok, npts = i16(hitch), i16(hitch + 2)
    tokens = np.empty((max(ntok, 0), npts), dtype=np.float32)
    for k in range(max(ntok, 0)):
        car = b[hitch + 512 * (k + 1):hitch + 512 * (k + 2)]
        dblk = int(car[2:6].view("<i4")[0])
        num, den = int(car[30:34].view("<i4")[0]), int(car[34:36].view("<i2")[0])
        tokens[k] = b[512 * dblk:512 * dblk + 2 * npts].view("<i2") * (num / den)
    if ntok <= 0:
        return ntok, npts, rate, tokens, 0, 1.0, 1.0
    last = b[hitch + 512 * ntok:hitch + 512 * (ntok + 1)]
    cpv, vpp = (float(x) for x in last[194:202].view("<f4"))
    reps = int(np.int16(2 * int(last[12:14].view("<i2")[0])))
    vpc = 1 / cpv
    return ntok, npts, rate, tokens, reps, float(np.float32(vpc / vpp)), float(np.float32(vpc))


def module_read(path):
    m = ravlox.read(path)
    return m.ntok, m.npts, m.rate, m.tokens, m.reps, m.ppc, m.vpc


def same(a, b):
    return (a[:3] == b[:3] and a[3].shape == b[3].shape
            and a[3].view(np.uint32).tobytes() == b[3].view(np.uint32).tobytes()
            and a[4:] == b[4:])


def timed(reader, paths):
    t0 = time.perf_counter()
    for p in paths:
        reader(p)
    return time.perf_counter() - t0


def main(folder, rounds):
    paths = sorted(os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".cal"))
    if not paths:
        sys.exit(f"pyread: no TOKEN files in {folder}")
    for p in paths:
        if not same(numpy_read(p), module_read(p)):
            sys.exit(f"pyread: the two readers disagree on {p}")
    timed(numpy_read, paths)
    timed(module_read, paths)
    tn, tm = [], []
    for _ in range(rounds):
        tn.append(timed(numpy_read, paths))
        tm.append(timed(module_read, paths))
    ratios = [n / m for n, m in zip(tn, tm)]
    n = len(paths)
    print(f"Python: {n} files, {rounds} rounds after a warm-up")
    for name, t in (("numpy reader", tn), ("ravlox.read", tm)):
        med = statistics.median(t)
        print(f"  {name:13} {med:8.4f} s  {n / med:9.0f} files/s")
    print(f"  ravlox.read is {statistics.median(tn) / statistics.median(tm):.1f} times the numpy "
          f"reader (per round: median {statistics.median(ratios):.1f}, "
          f"lowest {min(ratios):.1f}, highest {max(ratios):.1f})")


if __name__ == "__main__":
    args = sys.argv[1:]
    rounds = 21
    if len(args) == 3 and args[1] == "--rounds" and args[2].isdigit() and int(args[2]) > 0:
        rounds = int(args[2])
        args = args[:1]
    if len(args) != 1:
        sys.exit("usage: python pyread.py DIR [--rounds N]")
    main(args[0], rounds)
