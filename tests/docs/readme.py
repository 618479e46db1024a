# SPDX-License-Identifier: MIT
"""Runs the examples of README.md and compares what they print with the
text shown there:
- every ```console block: each "$ build/release/ravlox ..." line is run
  (with the built program) in a copy of examples/, and its output must be
  the lines that follow it;
- the ```matlab block runs in GNU Octave and the ```python block in this
  Python (with scipy), each in that copy after the console examples; what
  they print must be the ```text block that follows each (the ```python
  block of the section "Python" is the module's, run by tests/python);
- the quick start names exactly scripts/demo and scripts/test, which exist.

usage: python3 readme.py README.md EXAMPLES_DIR RAVLOX
Exits 77 (skipped) after the console checks when Octave or scipy is missing.
"""
import os
import shlex
import shutil
import subprocess
import sys
import tempfile

SHOWN = "build/release/ravlox"


def blocks(text):
    """[(section, lang, [lines])] for every fenced block, in order."""
    out, section, cur = [], "", None
    for line in text.splitlines():
        if cur is None:
            if line.startswith("## "):
                section = line[3:].strip()
            elif line.startswith("```"):
                cur = (section, line[3:].strip(), [])
        elif line.startswith("```"):
            out.append(cur)
            cur = None
        else:
            cur[2].append(line)
    if cur is not None:
        raise SystemExit("README.md: a fenced block is not closed")
    return out


def fail(why):
    print(why, file=sys.stderr)
    sys.exit(1)


def run(cmd, cwd):
    r = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True)
    return r.returncode, r.stdout, r.stderr


def main(readme, examples, ravlox):
    root = os.path.dirname(os.path.abspath(readme))
    bs = blocks(open(readme).read())

    quick = [b for b in bs if b[0] == "Quick start"]
    if len(quick) != 1 or quick[0][2] != ["scripts/demo", "scripts/test"]:
        fail(f"the quick start is not exactly scripts/demo and scripts/test: {quick}")
    for s in quick[0][2]:
        if not os.access(os.path.join(root, s), os.X_OK):
            fail(f"{s} is not an executable file")

    tmp = tempfile.mkdtemp()
    try:
        shutil.copytree(examples, os.path.join(tmp, "examples"))
        ncmd = 0
        for _, lang, lines in bs:
            if lang != "console":
                continue
            steps = []
            for line in lines:
                if line.startswith("$ "):
                    steps.append((line[2:], []))
                elif not steps:
                    fail(f"console block does not start with a command: {line!r}")
                else:
                    steps[-1][1].append(line)
            for cmd, want in steps:
                if not cmd.startswith(SHOWN + " ") and cmd != SHOWN:
                    fail(f"a console example that is not ravlox: {cmd!r}")
                real = shlex.quote(ravlox) + cmd[len(SHOWN):]
                rc, out, err = run(["sh", "-c", real + " 2>&1"], tmp)
                expect = "\n".join(want) + "\n"
                if rc != 0 or out != expect:
                    fail(f"$ {cmd}\nstatus {rc}, printed:\n{out}---\nREADME shows:\n{expect}---")
                ncmd += 1
        if ncmd == 0:
            fail("README.md shows no ravlox run")
        print(f"{ncmd} ravlox runs print what README.md shows")

        have_octave = shutil.which("octave-cli") is not None
        try:
            import scipy.io  # noqa: F401
            have_scipy = True
        except ImportError:
            have_scipy = False

        # The Python section's example needs the ravlox module: the module's
        # own tests run it (tests/python).
        snippets = {"matlab": None, "python": None}
        for i, (section, lang, lines) in enumerate(bs):
            if lang in snippets and section != "Python":
                if snippets[lang] is not None:
                    fail(f"more than one {lang} block")
                if i + 1 >= len(bs) or bs[i + 1][1] != "text":
                    fail(f"the {lang} block is not followed by its output")
                snippets[lang] = ("\n".join(lines) + "\n", "\n".join(bs[i + 1][2]) + "\n")
        for lang, s in snippets.items():
            if s is None:
                fail(f"README.md has no {lang} block")

        skipped = []
        for lang, (code, expect) in snippets.items():
            if lang == "matlab":
                if not have_octave:
                    skipped.append("octave-cli")
                    continue
                path = os.path.join(tmp, "snippet.m")
                cmd = ["octave-cli", "--no-gui", "--norc", "--no-history", "--quiet", path]
            else:
                if not have_scipy:
                    skipped.append("scipy")
                    continue
                path = os.path.join(tmp, "snippet.py")
                cmd = [sys.executable, path]
            with open(path, "w") as f:
                f.write(code)
            rc, out, err = run(cmd, tmp)
            if rc != 0 or out != expect:
                fail(f"the {lang} snippet: status {rc}, printed:\n{out}---\n{err}---\n"
                     f"README.md shows:\n{expect}---")
            print(f"the {lang} snippet prints what README.md shows")
        if skipped:
            print("not installed: " + ", ".join(skipped))
            sys.exit(77)
    finally:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        fail("usage: python3 readme.py README.md EXAMPLES_DIR RAVLOX")
    readme, examples, ravlox = sys.argv[1:]
    main(readme, examples, os.path.abspath(ravlox))
