#!/usr/bin/env python3
"""Run the README's walkthrough and compare every output block it shows.

The ```sh blocks right after a line `<!-- run -->` are pasted, in order, into
one bash session that starts in a scratch folder holding a copy of examples/
and a link `build` to the build folder, as a reader pastes them into one
shell at the repository's root: a block that fails, or that leaves the shell
in another folder, fails the test. A ```text block right after
`<!-- output -->` must be what the last run block printed on standard
output; after `<!-- file PATH -->` or `<!-- file PATH lines A-B -->`, the
content of that file (or those lines). A shown line `...` stands for any
number of lines.

The README's package line for the tests must install everything that
.ci/run installs.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

MARK = re.compile(r"^<!-- (run|output|file (\S+)(?: lines (\d+)-(\d+))?) -->$")
# Ends each block's output: its exit status and the folder it left the shell in.
SENTINEL = "\x1ereadme-block-done"


def blocks(text):
    """(marker match, block kind, block text) for every marked fenced block."""
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        m = MARK.match(lines[i].strip())
        if m and i + 1 < len(lines) and lines[i + 1].startswith("```"):
            kind = lines[i + 1][3:].strip()
            j = i + 2
            while not lines[j].startswith("```"):
                j += 1
            yield m, kind, "\n".join(lines[i + 2:j]) + "\n", i + 1
            i = j
        i += 1


def matches(shown, actual):
    """shown against actual, a line '...' standing for any run of lines."""
    pattern = "".join(r"(?:.*\n)*?" if l.strip() == "..." else re.escape(l) + r"\n"
                      for l in shown.rstrip("\n").split("\n"))
    return re.fullmatch(pattern, actual) is not None


class Session:
    """One bash, fed block after block as a reader pastes them."""

    def __init__(self, cwd, errors):
        self.errors = errors  # a file that takes the shell's standard error
        with open(errors, "wb") as err:
            self.bash = subprocess.Popen(["bash", "--noprofile", "--norc"], cwd=cwd, stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=err, text=True)
        # A failing command ends the session, as it would stop a reader.
        self.bash.stdin.write("set -e\n")

    def run(self, body):
        """(output, status, folder) of one block; status None when the shell ended."""
        start = os.path.getsize(self.errors)
        self.bash.stdin.write(body)
        self.bash.stdin.write(f"\nprintf '{SENTINEL} %d %s\\n' $? \"$PWD\"\n")
        self.bash.stdin.flush()
        out = []
        while True:
            line = self.bash.stdout.readline()
            if not line:
                return "".join(out), None, None, self.stderr_since(start)
            at = line.find(SENTINEL)
            if at >= 0:
                out.append(line[:at])
                status, folder = line[at + len(SENTINEL):].strip().split(" ", 1)
                return "".join(out), int(status), folder, self.stderr_since(start)
            out.append(line)

    def stderr_since(self, start):
        with open(self.errors, "rb") as f:
            f.seek(start)
            return f.read().decode("utf-8", "replace")

    def close(self):
        try:
            self.bash.stdin.close()
        except BrokenPipeError:
            pass
        self.bash.wait()


def packages(line):
    """The package names of an apt-get install command."""
    words = line.replace("\\", " ").split()
    return {w for w in words[words.index("install") + 1:] if not w.startswith("-")}


def check_packages(text, source):
    """'' or why the README's test package line lacks what CI installs."""
    ci = open(os.path.join(source, ".ci", "run"), encoding="utf-8").read()
    m = re.search(r"apt-get install((?:.*\\\n)*.*)", ci)
    wanted = packages("install" + m.group(1)) if m else set()
    lines = [l for l in text.split("\n") if "apt-get install" in l and "libgtest-dev" in l]
    if not wanted or not lines:
        return "no package line for the tests in the README, or none in .ci/run"
    missing = wanted - packages(lines[0])
    return f"the README's package line for the tests lacks {' '.join(sorted(missing))}" if missing else ""


def main():
    readme, build, source = sys.argv[1:4]
    text = open(readme, encoding="utf-8").read()
    failures = checked = 0
    why = check_packages(text, source)
    if why:
        print(f"README: {why}")
        failures += 1
    scratch = tempfile.mkdtemp(prefix="brell-readme-")
    work = os.path.join(scratch, "root")
    root = os.path.realpath(scratch) + "/root"
    session = None
    try:
        shutil.copytree(os.path.join(source, "examples"), os.path.join(work, "examples"))
        os.symlink(os.path.abspath(build), os.path.join(work, "build"))
        session = Session(root, os.path.join(scratch, "stderr"))
        last = None
        for m, kind, body, line in blocks(text):
            what = m.group(1)
            if what == "run":
                out, status, folder, err = session.run(body)
                if status is None or status != 0:
                    print(f"README line {line}: commands failed ({status if status is not None else 'shell ended'}):"
                          f"\n{body}{err}")
                    return 1
                if os.path.realpath(folder) != root:
                    print(f"README line {line}: the block leaves the shell in {folder}, not in the root folder:\n{body}")
                    return 1
                last = out
                continue
            if what == "output":
                actual, name = last, "the commands' output"
            else:
                path = os.path.join(work, m.group(2))
                actual = open(path, encoding="utf-8").read() if os.path.exists(path) else ""
                if m.group(3):
                    a, b = int(m.group(3)), int(m.group(4))
                    actual = "".join(l + "\n" for l in actual.split("\n")[a - 1:b])
                name = m.group(2)
            checked += 1
            if actual is None or not matches(body, actual):
                failures += 1
                print(f"README line {line}: the block shown is not {name}.\n--- shown\n{body}--- actual\n{actual}")
    finally:
        if session:
            session.close()
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"README: {checked - failures} passed, {failures} failed")
    return 1 if failures or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
