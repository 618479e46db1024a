# SPDX-License-Identifier: MIT
"""The Python module ravlox, installed in a virtual environment (see
mkvenv.py), against the command line: for every file, read must give what
scipy.io.loadmat finds in the MAT-file the ravlox program writes for that
file converted alone, the same warning as its error stream and the same
reason for a file it refuses; convert must write the same MAT-files and
print the same lines as the program.

Run by ctest (python.module) with the environment it sets:
  RAVLOX_BIN       the ravlox program of this build
  RAVLOX_FIXTURES  the folder readers_fixtures wrote its TOKEN files to
  RAVLOX_VENV      the virtual environment ravlox is installed in
  RAVLOX_SOURCE    the source tree (for README.md and examples/)
"""
import errno
import json
import os
import pathlib
import runpy
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import warnings

import numpy as np
import pytest
from scipy.io import loadmat

import ravlox

BIN = os.environ["RAVLOX_BIN"]
FIXTURES = pathlib.Path(os.environ["RAVLOX_FIXTURES"])
VENV = pathlib.Path(os.environ["RAVLOX_VENV"])
SOURCE = pathlib.Path(os.environ["RAVLOX_SOURCE"])
FIXTURE_FILES = sorted(p.name for p in FIXTURES.glob("*.cal"))
NOBODY = 65534


# --- TOKEN files, laid out as src/tokenfile/tokenfile.h describes -----------

# Car figures, token after token in turn: stored calibration, the fallback
# with a scale factor, the fallback without one.
CARS = [
    dict(nswp=100, num=3, den=7, gain=1.0, cpv=32767.0, vpp=0.05),
    dict(nswp=7, num=1000, den=10, gain=0.5, cpv=0.0, vpp=0.0),
    dict(nswp=-3, num=5, den=0, gain=2.0, cpv=1e10, vpp=0.05),
]


def tokfile(npts=300, ncar=3, ntok=None, hdr_last=0, data_at=None, cur_car=0, rate=(3, 25),
            marker=-32000, ftype=11111, kind=b"TEOAE\0", car=lambda t: {}, seed=0):
    """The bytes of a TOKEN file: header blocks 0 .. hdr_last, the hitch,
    ncar cars, then (or from block data_at on) each token's data blocks.
    car(t) gives figures of token t (0-based) that differ from CARS; seed
    changes every sample."""
    nblk = (npts + 255) // 256 if npts > 0 else 0
    hitch = hdr_last + 1
    first = data_at if data_at is not None else hitch + 1 + ncar
    f = bytearray(512 * max(hitch + 1 + ncar, first + ncar * nblk))
    struct.pack_into("<h", f, 10, hdr_last)
    struct.pack_into("<hhhh", f, 120, rate[0], rate[1], marker, ftype)
    f[128:134] = kind
    struct.pack_into("<hh", f, 512 * hitch, ncar if ntok is None else ntok, npts)
    struct.pack_into("<h", f, 512 * hitch + 6, cur_car)
    for t in range(ncar):
        c = dict(CARS[t % len(CARS)], dblk=first + t * nblk)
        c.update(car(t))
        at = 512 * (hitch + 1 + t)
        struct.pack_into("<i", f, at + 2, c["dblk"])
        struct.pack_into("<h", f, at + 12, c["nswp"])
        struct.pack_into("<ih", f, at + 30, c["num"], c["den"])
        struct.pack_into("<f", f, at + 178, c["gain"])
        struct.pack_into("<ff", f, at + 194, c["cpv"], c["vpp"])
        j = np.arange(npts if npts > 0 else 0, dtype=np.int64)
        samples = ((j * 4099 + t * 7919 + seed * 104729) % 65536 - 32768).astype("<i2").tobytes()
        at = 512 * (first + t * nblk)
        f[at:at + len(samples)] = samples
    return bytes(f)


FULL = tokfile()  # blocks: header 0, hitch 1, cars 2-4, data 5-6, 7-8, 9-10
LAST_SAMPLE_END = 9 * 512 + 2 * 300

# Damaged and odd files: (name, bytes). Which of them the command line
# calls incomplete is for it to say; the test only requires read to agree.
DAMAGED = [
    ("cut after the header", FULL[:512]),
    ("cut in the hitch", FULL[:512 + 3]),
    ("cut in a car", FULL[:3 * 512 + 100]),
    ("cut in the data", FULL[:7 * 512 + 100]),
    ("cut a byte before the last sample", FULL[:LAST_SAMPLE_END - 1]),
    ("cut right after the last sample", FULL[:LAST_SAMPLE_END]),
    ("a car past the end", tokfile(ntok=4, hdr_last=6, data_at=1)),
    ("data past the end", tokfile(car=lambda t: {"dblk": 1000} if t == 1 else {})),
    ("negative data block", tokfile(car=lambda t: {"dblk": -3} if t == 0 else {})),
    ("data beyond 2 GiB", tokfile(car=lambda t: {"dblk": 4_200_000} if t == 2 else {})),
    ("current car past the end", tokfile(cur_car=40)),
]


# --- the command line as the oracle ------------------------------------------

def cli(folder, args, user=None):
    r = subprocess.run([BIN, *args], cwd=folder, capture_output=True, user=user)
    assert r.returncode == 0
    return r.stdout.decode(), r.stderr.decode()


def converted_alone(tmp_path, name, data):
    """The program's output lines, error stream and loaded MAT-file for the
    TOKEN file name holding data, converted on its own."""
    d = tmp_path / "cli"
    d.mkdir()
    (d / name).write_bytes(data)
    out, err = cli(d, [name])
    return out, err, loadmat(str(d / (name.split(".")[0] + ".mat")))


def read_here(tmp_path, monkeypatch, name, data):
    """read(name) from a folder of its own, with the warnings it issued."""
    d = tmp_path / "py"
    d.mkdir()
    (d / name).write_bytes(data)
    monkeypatch.chdir(d)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        m = ravlox.read(name)
    return m, [(w.category, str(w.message)) for w in caught]


def bits64(x):
    return np.asarray(x, dtype=np.float64).view(np.uint64).item()


def check_same(m, got_warnings, name, out, err, mat):
    assert out == f"File {name}: ntok={m.ntok}, size={m.npts}, rate={m.rate}\n\n"
    for v in (m.ntok, m.npts, m.rate, m.reps):
        assert type(v) is int
    assert (m.ntok, m.npts) == (mat["TEOAE_TOK"].item(), mat["npts"].item())
    assert np.float32(m.rate) == mat["rate"].item()
    toks = [k for k in mat if k.startswith("tok")]
    assert toks == [f"tok{k}" for k in range(1, len(toks) + 1)]
    assert isinstance(m.tokens, np.ndarray) and m.tokens.dtype == np.float32
    assert m.tokens.flags.c_contiguous
    assert m.tokens.shape == (max(m.ntok, 0), m.npts) == (len(toks), m.npts)
    for k, tok in enumerate(toks):
        want = np.ascontiguousarray(mat[tok].ravel()).view(np.uint32)
        assert np.array_equal(m.tokens[k].view(np.uint32), want), tok
    assert m.reps == mat["reps"].item()
    for fig in ("ppc", "vpc"):
        got = getattr(m, fig)
        assert type(got) is float
        assert bits64(got) == bits64(mat[fig].astype(np.float64)), fig
    assert m.incomplete == (err != "")
    want = [(ravlox.IncompleteFileWarning, line) for line in err.splitlines()]
    assert got_warnings == want


def test_installed_in_the_venv():
    assert pathlib.Path(ravlox.__file__).resolve().is_relative_to(VENV.resolve())
    assert pathlib.Path(ravlox._core.__file__).resolve().is_relative_to(VENV.resolve())
    assert FIXTURE_FILES, f"no TOKEN files in {FIXTURES}"


@pytest.mark.parametrize("name", FIXTURE_FILES)
def test_fixture_read_as_converted(tmp_path, monkeypatch, name):
    data = (FIXTURES / name).read_bytes()
    out, err, mat = converted_alone(tmp_path, name, data)
    m, caught = read_here(tmp_path, monkeypatch, name, data)
    check_same(m, caught, name, out, err, mat)


@pytest.mark.parametrize("what,data", DAMAGED, ids=[d[0] for d in DAMAGED])
def test_damaged_read_as_converted(tmp_path, monkeypatch, what, data):
    out, err, mat = converted_alone(tmp_path, "d.cal", data)
    m, caught = read_here(tmp_path, monkeypatch, "d.cal", data)
    check_same(m, caught, "d.cal", out, err, mat)


def test_no_carry_over_between_reads(tmp_path):
    # A file without tokens after one whose last token's ppc is a NaN: the
    # command line run over both would carry the NaN over; read never does.
    empty = tokfile(ncar=0, ntok=-2)
    nan = tokfile(ncar=1, car=lambda t: dict(num=0, den=10, gain=0.0, cpv=0.0))
    d = tmp_path / "files"
    d.mkdir()
    (d / "nan.cal").write_bytes(nan)
    (d / "empty.cal").write_bytes(empty)
    assert np.isnan(ravlox.read(d / "nan.cal").ppc)
    m = ravlox.read(d / "empty.cal")
    assert (m.reps, m.ppc, m.vpc, m.tokens.shape) == (0, 1.0, 1.0, (0, 300))
    out, err, mat = converted_alone(tmp_path, "empty.cal", empty)
    check_same(m, [], "empty.cal", out, err, mat)


# --- files that are refused or can't be opened -------------------------------

def write(data):
    return lambda p: p.write_bytes(data)


def unreadable(p):
    p.write_bytes(FULL)
    p.chmod(0)


REFUSED = [
    # name, how the file is made, exception, message (or errno for OSError)
    ("file type", write(tokfile(ftype=11112)), ravlox.TokenFileError, "Not a valid TOKEN file"),
    ("kind", write(tokfile(kind=b"TEOAX\0")), ravlox.TokenFileError, "Unknown TOKEN file type"),
    ("negative size", write(tokfile(npts=-1, ncar=0)), ravlox.TokenFileError,
     "Invalid token size"),
    ("type checked before kind", write(tokfile(ftype=0, kind=b"DPOAE\0")),
     ravlox.TokenFileError, "Not a valid TOKEN file"),
    ("kind checked before size", write(tokfile(kind=b"DPOAE\0", npts=-5, ncar=0)),
     ravlox.TokenFileError, "Unknown TOKEN file type"),
    ("no marker", write(tokfile(marker=-31999)), ravlox.TokenFileError,
     "not a TOKEN file (no TOKEN marker in its header)"),
    ("shorter than the marker", write(b"\x00" * 100), ravlox.TokenFileError,
     "not a TOKEN file (no TOKEN marker in its header)"),
    ("empty", write(b""), ravlox.TokenFileError, "the file is empty"),
    ("fifo", os.mkfifo, ravlox.TokenFileError, "not a regular file"),
    ("missing", lambda p: None, FileNotFoundError, errno.ENOENT),
    ("folder", os.mkdir, IsADirectoryError, errno.EISDIR),
    ("unreadable", unreadable, PermissionError, errno.EACCES),
]

OUTCOME = """
import json, sys, ravlox
try:
    ravlox.read(sys.argv[1])
    print(json.dumps(None))
except Exception as e:
    print(json.dumps([type(e).__name__, str(e), getattr(e, "errno", None),
                      getattr(e, "strerror", None), getattr(e, "filename", None)]))
"""


def outcome(path, user=None):
    """How read(path) fails: [type name, message, errno, strerror, filename];
    in a process of its own as user when one is given."""
    if user is not None:
        r = subprocess.run([sys.executable, "-c", OUTCOME, path], capture_output=True,
                           text=True, user=user, group=user, extra_groups=[])
        assert r.returncode == 0, r.stderr
        return json.loads(r.stdout)
    try:
        ravlox.read(path)
    except Exception as e:
        return [type(e).__name__, str(e), getattr(e, "errno", None),
                getattr(e, "strerror", None), getattr(e, "filename", None)]
    return None


@pytest.mark.parametrize("what,make,exc,want", REFUSED, ids=[r[0] for r in REFUSED])
def test_refused_like_the_command_line(tmp_path, monkeypatch, what, make, exc, want):
    # Root reads any file: the unreadable one is tried as another user, in
    # a folder that user may enter.
    user = NOBODY if what == "unreadable" and os.geteuid() == 0 else None
    d = pathlib.Path(tempfile.mkdtemp()) if user is not None else tmp_path
    try:
        d.chmod(0o755)
        make(d / "x.cal")
        out, err = cli(d, ["x.cal"], user=user)
        monkeypatch.chdir(d)
        got = outcome("x.cal", user=user)
    finally:
        if user is not None:
            shutil.rmtree(d)
    assert out.startswith("File x.cal: ") and out.endswith("\n\n")
    reason = out[len("File x.cal: "):-2]
    if reason == "Can't open the file":
        assert err.startswith("ravlox: can't open x.cal: ") and err.endswith("\n")
        reason = err[len("ravlox: can't open x.cal: "):-1]
    else:
        assert err == ""
    assert got is not None, "read accepted the file"
    name, message, eno, strerror, filename = got
    assert name == exc.__name__
    if issubclass(exc, OSError):
        assert (eno, strerror, filename) == (want, os.strerror(want), "x.cal")
        assert strerror == reason
    else:
        assert issubclass(exc, ValueError)
        assert message == want == reason


@pytest.mark.parametrize("kind", [str, pathlib.Path, os.fsencode], ids=["str", "Path", "bytes"])
def test_path_kinds(tmp_path, kind):
    (tmp_path / "a.cal").write_bytes(FULL)
    m = ravlox.read(kind(str(tmp_path / "a.cal")))
    assert np.array_equal(m.tokens, ravlox.read(str(tmp_path / "a.cal")).tokens)
    with pytest.raises(FileNotFoundError) as e:
        ravlox.read(kind(str(tmp_path / "b.cal")))
    assert e.value.filename == os.fspath(kind(str(tmp_path / "b.cal")))


def listing(root):
    return sorted((str(p.relative_to(root)), p.stat().st_size if p.is_file() else None)
                  for p in pathlib.Path(root).rglob("*"))


def test_read_leaves_no_file_behind(tmp_path):
    for name in FIXTURE_FILES:
        shutil.copy(FIXTURES / name, tmp_path / name)
    for i, (_, data) in enumerate(DAMAGED):
        (tmp_path / f"damaged{i}.cal").write_bytes(data)
    (tmp_path / "sub").mkdir()
    (tmp_path / "bad.cal").write_bytes(tokfile(ftype=1))
    before = listing(tmp_path)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for p in [*sorted(tmp_path.glob("*.cal")), tmp_path / "sub"]:
            try:
                ravlox.read(p)
            except (ValueError, OSError):
                pass
    assert listing(tmp_path) == before


def summary(m):
    return (m.ntok, m.npts, m.rate, m.tokens.shape, m.tokens.tobytes(), m.reps,
            bits64(m.ppc), bits64(m.vpc), m.incomplete)


def test_threads_read_as_one_thread(tmp_path):
    # Besides the small files, a few of some megabytes with samples of their
    # own, so that reads overlap long enough for shared working storage to
    # show.
    paths = [FIXTURES / n for n in FIXTURE_FILES]
    for i, (_, data) in enumerate(DAMAGED):
        paths.append(tmp_path / f"damaged{i}.cal")
        paths[-1].write_bytes(data)
    for i, (npts, ncar) in enumerate([(4000, 200), (1000, 600), (32767, 30)]):
        paths.append(tmp_path / f"big{i}.cal")
        paths[-1].write_bytes(tokfile(npts=npts, ncar=ncar, seed=i + 1))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        want = [summary(ravlox.read(p)) for p in paths]
        results, errors = [[] for _ in range(8)], []
        start = threading.Barrier(8)

        def work(t):
            try:
                start.wait()
                for r in range(3):
                    order = paths[t + r:] + paths[:t + r]
                    got = {p: summary(ravlox.read(p)) for p in order}
                    results[t].append([got[p] for p in paths])
            except Exception as e:  # reported below, not lost in the thread
                errors.append(e)

        threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
    assert errors == []
    for t in range(8):
        assert len(results[t]) == 3
        for got in results[t]:
            assert got == want, f"thread {t}"


# --- convert: the command line in-process -------------------------------------

def inputs(folder):
    """The same mix of files in folder: good, without tokens, damaged,
    refused, two inputs with one output, an output name that is a folder.
    start.cal, without tokens, is named only first, so that its MAT-file
    shows the figures a run starts with."""
    folder.mkdir()
    for name in FIXTURE_FILES:
        shutil.copy(FIXTURES / name, folder / name)
    (folder / "start.cal").write_bytes(tokfile(ncar=0))
    (folder / "damaged.cal").write_bytes(DAMAGED[2][1])
    (folder / "bad.cal").write_bytes(tokfile(kind=b"ABR\0\0\0"))
    (folder / "twice.old.cal").write_bytes(FULL)
    (folder / "twice.cal").write_bytes(tokfile(npts=20, ncar=1))
    (folder / "blocked.cal").write_bytes(FULL)
    (folder / "blocked.mat").mkdir()
    (folder / "sub").mkdir()


MIXED = ["start.cal", "stored.cal", "carry.cal", "-v", "damaged.cal", "bad.cal",
         "missing.cal", "sub", "twice.old.cal", "twice.cal", "blocked.cal", "nan.cal",
         "carry.cal", "empty.cal"] + FIXTURE_FILES + ["stored.cal"]

RUNS = [
    ("mixed", MIXED),
    ("no arguments", []),
    ("options only", ["-v", "--all"]),
]


@pytest.mark.parametrize("what,args", RUNS, ids=[r[0] for r in RUNS])
def test_convert_as_the_command_line(tmp_path, monkeypatch, capfd, what, args):
    inputs(tmp_path / "cli")
    inputs(tmp_path / "py")
    monkeypatch.chdir(tmp_path / "py")
    # Twice over: each call starts from fresh figures, as each run does (the
    # mixed run starts with a file without tokens and ends with one whose
    # figures differ from the starting ones in every field).
    for _ in range(2):
        out, err = cli(tmp_path / "cli", args)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            lines = ravlox.convert([pathlib.Path(a) if i % 2 else a for i, a in enumerate(args)])
        assert lines == out.splitlines()
        want = [(ravlox.IncompleteFileWarning if "is incomplete or damaged" in line
                 else ravlox.RavloxWarning, line) for line in err.splitlines()]
        assert [(w.category, str(w.message)) for w in caught] == want
        assert capfd.readouterr() == ("", "")
        assert listing(tmp_path / "py") == listing(tmp_path / "cli")
        for p in (tmp_path / "cli").glob("*.mat"):
            if p.is_file():
                assert (tmp_path / "py" / p.name).read_bytes() == p.read_bytes(), p.name
    if what == "mixed":
        assert any(c == ravlox.IncompleteFileWarning for c, _ in want)
        assert any(c == ravlox.RavloxWarning for c, _ in want)


def test_convert_takes_a_list():
    with pytest.raises(TypeError):
        ravlox.convert("stored.cal")


# --- documentation -------------------------------------------------------------

def test_every_field_explained():
    for doc in (ravlox.Measurement.__doc__, ravlox.read.__doc__):
        described = {line.split()[0] for line in doc.splitlines() if line.strip()}
        assert set(ravlox.Measurement.__slots__) <= described
    for unit in ("hertz", "volts per count", "pascals per count", "16 bits"):
        assert unit in " ".join(ravlox.Measurement.__doc__.split())
        assert unit in " ".join(ravlox.read.__doc__.split())


def readme_blocks():
    blocks = runpy.run_path(str(SOURCE / "tests/docs/readme.py"))["blocks"]
    return blocks((SOURCE / "README.md").read_text())


def test_readme_example(tmp_path):
    bs = readme_blocks()
    found = [i for i, b in enumerate(bs) if b[0] == "Python" and b[1] == "python"]
    assert len(found) == 1, "README.md's Python section has not exactly one python block"
    i = found[0]
    assert i + 1 < len(bs) and bs[i + 1][1] == "text", "the python block has no output after it"
    shutil.copytree(SOURCE / "examples", tmp_path / "examples")
    (tmp_path / "example.py").write_text("\n".join(bs[i][2]) + "\n")
    r = subprocess.run([sys.executable, "example.py"], cwd=tmp_path, capture_output=True,
                       text=True)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == "\n".join(bs[i + 1][2]) + "\n"
