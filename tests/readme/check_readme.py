#!/usr/bin/env python3
"""Run the README's walkthrough and compare every output block it shows.

A ```sh block right after a line `<!-- run -->` is run with bash, from a
scratch folder that holds a copy of examples/ and a link `build` to the build
folder, so that the README's own paths work. A ```text block right after
`<!-- output -->` must be what the last run block printed on standard
output; after `<!-- file PATH -->` or `<!-- file PATH lines A-B -->`, the
content of that file (or those lines). A shown line `...` stands for any
number of lines.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

MARK = re.compile(r"^<!-- (run|output|file (\S+)(?: lines (\d+)-(\d+))?) -->$")


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


def main():
    readme, build, source = sys.argv[1:4]
    text = open(readme, encoding="utf-8").read()
    work = tempfile.mkdtemp(prefix="brell-readme-")
    failures = checked = 0
    try:
        shutil.copytree(os.path.join(source, "examples"), os.path.join(work, "examples"))
        os.symlink(os.path.abspath(build), os.path.join(work, "build"))
        last = None
        for m, kind, body, line in blocks(text):
            what = m.group(1)
            if what == "run":
                r = subprocess.run(["bash", "-e", "-c", body], cwd=work, capture_output=True, text=True)
                if r.returncode != 0:
                    print(f"README line {line}: commands failed ({r.returncode}):\n{body}{r.stderr}")
                    return 1
                last = r.stdout
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
        shutil.rmtree(work, ignore_errors=True)
    print(f"README: {checked - failures} passed, {failures} failed")
    return 1 if failures or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
