# SPDX-License-Identifier: MIT
"""Installs the Python module ravlox into a fresh virtual environment, the
way a user without a package index does:

    python3 -m venv --system-site-packages VENV
    VENV/bin/pip install --no-build-isolation .

from a copy of the source tree SRC that holds only its tracked files (as
they are in the working tree, uncommitted edits included, but nothing
untracked such as build/), so that what is tested is what a clone builds.
When SRC is not a git checkout, src/, python/ and the packaging files are
copied instead.

usage: python3 mkvenv.py [--tests] SRC VENV
Exits 77 (skipped) when venv, setuptools, pybind11 or numpy is missing
from this Python, or with --tests (for the module's tests) pytest or scipy.
"""
import os
import shutil
import subprocess
import sys
import tempfile

NEEDED = ["venv", "ensurepip", "setuptools", "wheel", "pybind11", "numpy"]
FOR_TESTS = ["pytest", "scipy"]


def tracked(src):
    """The tracked files of the checkout src, or None when it is none."""
    try:
        r = subprocess.run(["git", "-C", src, "ls-files", "-z"], capture_output=True)
    except OSError:
        return None
    if r.returncode != 0:
        return None
    return [f for f in r.stdout.decode("utf-8", "surrogateescape").split("\0") if f]


def copytree(src, dst):
    files = tracked(src)
    if files is None:
        for d in ("src", "python"):
            shutil.copytree(os.path.join(src, d), os.path.join(dst, d),
                            ignore=shutil.ignore_patterns("__pycache__", "*.egg-info"))
        for f in ("pyproject.toml", "setup.py", "MANIFEST.in"):
            if os.path.exists(os.path.join(src, f)):
                shutil.copy2(os.path.join(src, f), dst)
        return
    for f in files:
        from_ = os.path.join(src, f)
        if not os.path.isfile(from_) or os.path.islink(from_):
            continue  # deleted in the working tree, or a link the build doesn't need
        os.makedirs(os.path.join(dst, os.path.dirname(f)), exist_ok=True)
        shutil.copy2(from_, os.path.join(dst, f))


def main(src, venv, tests):
    missing = []
    for m in NEEDED + (FOR_TESTS if tests else []):
        try:
            __import__(m)
        except ImportError:
            missing.append(m)
    if missing:
        print(f"{sys.executable} lacks {', '.join(missing)}")
        return 77
    shutil.rmtree(venv, ignore_errors=True)
    tmp = tempfile.mkdtemp(prefix="ravlox-py-")
    try:
        tree = os.path.join(tmp, "tree")
        os.mkdir(tree)
        copytree(src, tree)
        steps = [
            [sys.executable, "-m", "venv", "--system-site-packages", venv],
            [os.path.join(venv, "bin", "pip"), "install", "--no-build-isolation", "--no-index",
             "--disable-pip-version-check", "--no-cache-dir", "-q", tree],
        ]
        env = dict(os.environ, PIP_NO_INPUT="1")
        for cmd in steps:
            r = subprocess.run(cmd, env=env, capture_output=True, text=True)
            if r.returncode != 0:
                print(" ".join(cmd), file=sys.stderr)
                print(r.stdout + r.stderr, file=sys.stderr)
                shutil.rmtree(venv, ignore_errors=True)
                return 1
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print(f"ravlox installed into {venv}")
    return 0


if __name__ == "__main__":
    args = sys.argv[1:]
    tests = args[:1] == ["--tests"]
    if tests:
        args = args[1:]
    if len(args) != 2:
        print("usage: python3 mkvenv.py [--tests] SRC VENV", file=sys.stderr)
        sys.exit(2)
    sys.exit(main(os.path.abspath(args[0]), os.path.abspath(args[1]), tests))
