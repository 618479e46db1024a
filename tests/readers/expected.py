# SPDX-License-Identifier: MIT
"""The expected values that readers_fixtures writes to expected.txt."""


def read_expected(path):
    """[(file, [(name, type, rows, [values])])] from expected.txt: int16
    values as numbers, singles as their 32-bit patterns."""
    files = []
    with open(path) as f:
        lines = iter(f.read().splitlines())
    for line in lines:
        word, file, nvars = line.split()
        assert word == "file", line
        variables = []
        for _ in range(int(nvars)):
            name, kind, rows, *vals = next(lines).split()
            base = 10 if kind == "int16" else 16
            variables.append((name, kind, int(rows), [int(v, base) for v in vals]))
        files.append((file, variables))
    return files
