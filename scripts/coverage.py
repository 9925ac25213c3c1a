#!/usr/bin/env python3
"""Line coverage of src/ from a build made with --coverage, and the lines one
test run covered that another did not.

  cmake -S . -B build/cov -G Ninja -DCMAKE_BUILD_TYPE=Debug \\
        -DCMAKE_CXX_FLAGS="--coverage -O0" -DCMAKE_EXE_LINKER_FLAGS=--coverage
  cmake --build build/cov && (cd build/cov && ctest -j2)
  scripts/coverage.py build/cov --save before.json       # per-file summary
  ... change the tests, delete build/cov/**/*.gcda, run again ...
  scripts/coverage.py build/cov --compare before.json    # lines no longer run
"""

import argparse
import glob
import json
import os
import subprocess


def collect(build, top, paths):
    covered = {}
    for gcda in glob.glob(os.path.join(build, "**", "*.gcda"), recursive=True):
        out = subprocess.run(["gcov", "-j", "-t", "-o", os.path.dirname(gcda), gcda],
                             capture_output=True, text=True, cwd=build).stdout
        for chunk in out.splitlines():
            if not chunk.startswith("{"):
                continue
            for f in json.loads(chunk)["files"]:
                path = os.path.relpath(os.path.realpath(os.path.join(build, f["file"])), top)
                if not any(path.startswith(p) for p in paths):
                    continue
                lines = covered.setdefault(path, {})
                for line in f["lines"]:
                    n = str(line["line_number"])
                    lines[n] = lines.get(n, False) or line["count"] > 0
    return covered


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build")
    ap.add_argument("--paths", nargs="+", default=["src/"])
    ap.add_argument("--save")
    ap.add_argument("--compare")
    args = ap.parse_args()
    top = subprocess.run(["git", "rev-parse", "--show-toplevel"], capture_output=True,
                         text=True, check=True).stdout.strip()
    covered = collect(os.path.abspath(args.build), top, args.paths)
    if args.save:
        with open(args.save, "w") as f:
            json.dump(covered, f)
    total = hit = 0
    for path in sorted(covered):
        lines = covered[path]
        n, h = len(lines), sum(lines.values())
        total, hit = total + n, hit + h
        if not args.compare:
            print("%5.1f %%  %4d/%-4d %s" % (100.0 * h / n if n else 0, h, n, path))
    print("all: %d of %d lines run (%.1f %%)" % (hit, total, 100.0 * hit / total if total else 0))
    if args.compare:
        with open(args.compare) as f:
            before = json.load(f)
        lost = 0
        for path in sorted(before):
            gone = sorted(int(n) for n, was in before[path].items()
                          if was and not covered.get(path, {}).get(n, False))
            if not gone:
                continue
            with open(os.path.join(top, path), encoding="utf-8", errors="replace") as f:
                text = f.read().split("\n")
            print("== %s: %d line(s) no longer run" % (path, len(gone)))
            for n in gone:
                print("%6d  %s" % (n, text[n - 1] if n <= len(text) else ""))
            lost += len(gone)
        print("%d line(s) run before are not run now" % lost)


if __name__ == "__main__":
    main()
