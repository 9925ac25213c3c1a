#!/usr/bin/env python3
"""Mutation testing: seed one fault at a time into src/, rebuild, run the
test suite and count the faults it catches.

Faults (each a one-token change at a place picked with a fixed seed):
  comparison   <  <=  >  >=  ==  !=   each swapped for its neighbour
  arithmetic   +  -  *  /  +=  -=     each swapped for its opposite
  boolean      &&  ||  true  false    swapped; !x loses its !
  condition    if (c) / while (c)     becomes if (!(c)) / while (!(c))

The work happens on a copy of the source tree in a scratch folder (default
build/mutation), so the checkout is never touched and work can go on while a
run lasts.  The copy is built without sanitizers at -O1; every mutant rebuilds
only what depends on the changed file.  A mutant is
  killed     when the suite fails or exceeds its time limit,
  survived   when the suite passes,
  stillborn  when it does not compile (not counted in the score).
The score is killed / (killed + survived).

  scripts/mutate.py                        # 200 faults, seed 1
  scripts/mutate.py --count 50 --seed 7 --paths src/db src/bus
  scripts/mutate.py --list                 # print the chosen faults only
  scripts/mutate.py --from build/mutation/results.json --killed-only --work build/mutation-2
                                           # the faults an earlier run killed, placed in
                                           # today's source: does today's suite kill them too?

Results go to <work>/results.json and a summary with every survivor to
standard output.
"""

import argparse
import json
import os
import random
import re
import resource
import shutil
import subprocess
import sys
import time

SOURCE_SUFFIXES = (".cc", ".h")

SWAPS = {
    "<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==",
    "+": "-", "-": "+", "*": "/", "/": "*", "+=": "-=", "-=": "+=",
    "&&": "||", "||": "&&",
}
KIND = {
    "<": "comparison", "<=": "comparison", ">": "comparison", ">=": "comparison",
    "==": "comparison", "!=": "comparison", "+": "arithmetic", "-": "arithmetic",
    "*": "arithmetic", "/": "arithmetic", "+=": "arithmetic", "-=": "arithmetic",
    "&&": "boolean", "||": "boolean",
}
# Binary operators written with a space on both sides (the code's format), so
# that template brackets, pointers, arrows and shifts are never taken.
BINARY = re.compile(r"(?<=\s)(<=|>=|==|!=|\+=|-=|&&|\|\||<|>|\+|-|\*|/)(?=\s)")
LITERAL = re.compile(r"\b(true|false)\b")
NEGATION = re.compile(r"(?<![\w)\]!])!(?=[\w(*])")
CONDITION = re.compile(r"\b(if|while) \(")


def mask(text):
    """The text with comments, string and character literals and preprocessor
    lines blanked (same length, newlines kept), so that sites are only found
    in code."""
    out = list(text)
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c == "#":
            j = text.find("\n", i)
            j = n if j < 0 else j
            while j > 0 and text[j - 1] == "\\" and j < n:  # continued macro lines
                k = text.find("\n", j + 1)
                j = n if k < 0 else k
            for k in range(i, j):
                out[k] = " "
            i = j
            continue
        if c == "\n":
            line_start = True
            i += 1
            continue
        if not c.isspace():
            line_start = False
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            for k in range(i, j):
                out[k] = " "
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            for k in range(i, j):
                if out[k] != "\n":
                    out[k] = " "
            i = j
        elif c == 'R' and text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:])
            end = text.find(")" + (m.group(1) if m else "") + '"', i)
            j = n if end < 0 else end + len(m.group(1) if m else "") + 2
            for k in range(i, j):
                if out[k] != "\n":
                    out[k] = " "
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            for k in range(i, j):
                out[k] = " "
            i = j
        else:
            i += 1
    return "".join(out)


def matching_paren(masked, open_at):
    depth = 0
    for j in range(open_at, len(masked)):
        if masked[j] == "(":
            depth += 1
        elif masked[j] == ")":
            depth -= 1
            if depth == 0:
                return j
    return -1


def sites(path, text):
    """Every place of `text` where a fault can be seeded, as dicts."""
    masked = mask(text)
    found = []

    def add(start, end, replacement, kind):
        line = text.count("\n", 0, start) + 1
        line_text, column = line_of(text, start)
        found.append({"file": path, "start": start, "end": end, "line": line, "line_text": line_text,
                      "column": column, "original": text[start:end], "replacement": replacement,
                      "kind": kind})

    for m in BINARY.finditer(masked):
        op = m.group(1)
        add(m.start(), m.end(), SWAPS[op], KIND[op])
    for m in LITERAL.finditer(masked):
        add(m.start(), m.end(), "false" if m.group(1) == "true" else "true", "boolean")
    for m in NEGATION.finditer(masked):
        add(m.start(), m.end(), "", "boolean")
    for m in CONDITION.finditer(masked):
        open_at = m.end() - 1
        close_at = matching_paren(masked, open_at)
        if close_at < 0:
            continue
        condition = text[open_at + 1:close_at]
        if condition.lstrip().startswith(("auto ", "const ", "init")) or ";" in masked[open_at:close_at]:
            continue  # an initialiser or declaration inside the condition
        add(open_at + 1, close_at, "!(" + condition + ")", "condition")
    return found


def line_of(text, pos):
    """(line text, column) of a position."""
    begin = text.rfind("\n", 0, pos) + 1
    end = text.find("\n", pos)
    return text[begin:len(text) if end < 0 else end], pos - begin


def relocate(m, tree, old_tree):
    """The mutant `m` of an earlier run placed in the source as it is now: at
    the same offset when the text there is unchanged, else on the line with
    the same text nearest to its old line number.  None when the code is gone."""
    path = os.path.join(tree, m["file"])
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if "line_text" not in m:  # results of a run that did not record the line
        old_path = os.path.join(old_tree, m["file"])
        if not os.path.exists(old_path):
            return None
        with open(old_path, encoding="utf-8") as f:
            m["line_text"], m["column"] = line_of(f.read(), m["start"])
    lines = text.split("\n")
    candidates = [i for i, l in enumerate(lines) if l == m["line_text"]]
    if not candidates:
        return None
    best = min(candidates, key=lambda i: abs(i + 1 - m["line"]))
    start = sum(len(l) + 1 for l in lines[:best]) + m["column"]
    end = start + len(m["original"])
    if text[start:end] != m["original"]:
        return None
    moved = dict(m, start=start, end=end, line=best + 1)
    moved.pop("result", None)
    moved.pop("seconds", None)
    return moved


def all_sites(tree, paths):
    result = []
    for base in paths:
        top = os.path.join(tree, base)
        files = [top] if os.path.isfile(top) else sorted(
            os.path.join(d, f) for d, _, fs in os.walk(top) for f in fs)
        for full in files:
            if not full.endswith(SOURCE_SUFFIXES):
                continue
            with open(full, encoding="utf-8") as f:
                text = f.read()
            result.extend(sites(os.path.relpath(full, tree), text))
    return result


def run(cmd, cwd, timeout=None, limit_memory=False, log=None):
    def limits():
        if limit_memory:
            gib = 8 << 30
            resource.setrlimit(resource.RLIMIT_AS, (gib, gib))
        os.setsid()
    start = time.time()
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=log or subprocess.DEVNULL,
                            stderr=subprocess.STDOUT, preexec_fn=limits)
    try:
        rc = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        rc = None
    # A hung program that a test started (and ctest's own time limit left
    # behind, or GNU parallel put in a group of its own) would go on spinning
    # beside the next mutants: everything of the session goes.
    kill_session(proc.pid)
    proc.wait()
    return rc, time.time() - start


def kill_session(sid):
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[3]) == sid:  # the session id, after state, ppid, pgrp
                os.kill(int(entry), 9)
        except (OSError, ValueError, IndexError):
            pass


def copy_tree(checkout, tree):
    files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"], cwd=checkout,
                           check=True, capture_output=True, text=True).stdout.split("\n")
    for rel in files:
        if not rel or rel.startswith("build/"):
            continue
        src = os.path.join(checkout, rel)
        if not os.path.isfile(src):
            continue
        dst = os.path.join(tree, rel)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(src, "rb") as f:
            data = f.read()
        old = None
        if os.path.exists(dst):
            with open(dst, "rb") as f:
                old = f.read()
        if old != data:  # keep timestamps of unchanged files: no needless rebuilds
            with open(dst, "wb") as f:
                f.write(data)
            shutil.copymode(src, dst)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--count", type=int, default=200, help="faults to seed (default 200)")
    ap.add_argument("--paths", nargs="+", default=["src"], help="files or folders to mutate")
    ap.add_argument("--work", default="build/mutation", help="scratch folder")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--list", action="store_true", help="print the chosen faults and stop")
    ap.add_argument("--from", dest="from_file", help="rerun the faults listed in a results file")
    ap.add_argument("--killed-only", action="store_true",
                    help="with --from: only the faults that run killed")
    args = ap.parse_args()

    checkout = subprocess.run(["git", "rev-parse", "--show-toplevel"], check=True,
                              capture_output=True, text=True).stdout.strip()
    work = os.path.abspath(os.path.join(checkout, args.work) if not os.path.isabs(args.work) else args.work)
    tree, build = os.path.join(work, "tree"), os.path.join(work, "build")
    os.makedirs(tree, exist_ok=True)
    copy_tree(checkout, tree)
    shared = os.path.join(os.path.dirname(checkout), "shared")
    if os.path.isdir(shared) and not os.path.exists(os.path.join(work, "shared")):
        os.symlink(shared, os.path.join(work, "shared"))  # tests find ../shared beside the tree

    if args.from_file:
        with open(args.from_file) as f:
            earlier = json.load(f)
        old_tree = os.path.join(os.path.dirname(os.path.abspath(args.from_file)), "tree")
        chosen = []
        for m in earlier["mutants"]:
            if args.killed_only and m["result"] != "killed":
                continue
            found = relocate(m, tree, old_tree)
            if found is None:
                print("gone: %s:%d %r (the code is no longer there)" % (m["file"], m["line"], m["original"]))
            else:
                chosen.append(found)
    else:
        candidates = all_sites(tree, args.paths)
        rng = random.Random(args.seed)
        chosen = rng.sample(candidates, min(args.count, len(candidates)))
        print("%d possible faults in %s; seed %d picks %d" % (len(candidates), " ".join(args.paths),
                                                             args.seed, len(chosen)))
    chosen.sort(key=lambda m: (m["file"], m["start"]))
    if args.list:
        for m in chosen:
            print("%s:%d %s: %r -> %r" % (m["file"], m["line"], m["kind"], m["original"], m["replacement"]))
        return

    log_path = os.path.join(work, "build.log")
    with open(log_path, "w") as log:
        if not os.path.exists(os.path.join(build, "build.ninja")):
            rc, _ = run(["cmake", "-S", tree, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                         "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g0", "-DLOGRAVEN_SANITIZE=OFF"], checkout, log=log)
            if rc != 0:
                sys.exit("configure failed, see " + log_path)
        build_cmd = ["cmake", "--build", build, "-j", str(args.jobs)]
        test_cmd = ["ctest", "--test-dir", build, "-j", str(args.jobs), "--stop-on-failure",
                    "--timeout", "120"]
        rc, _ = run(build_cmd, checkout, log=log)
        if rc != 0:
            sys.exit("the unmutated tree does not build, see " + log_path)
        rc, clean_time = run(test_cmd, checkout, limit_memory=True, log=log)
        if rc != 0:
            sys.exit("the suite fails on the unmutated tree, see " + log_path)
        limit = 3 * clean_time + 60
        print("suite passes unmutated in %.0f s; a mutant may take %.0f s" % (clean_time, limit))
        sys.stdout.flush()

        counts = {"killed": 0, "survived": 0, "stillborn": 0}
        for i, m in enumerate(chosen, 1):
            path = os.path.join(tree, m["file"])
            with open(path, encoding="utf-8") as f:
                original = f.read()
            mutated = original[:m["start"]] + m["replacement"] + original[m["end"]:]
            try:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(mutated)
                rc, _ = run(build_cmd, checkout, log=log)
                if rc != 0:
                    m["result"] = "stillborn"
                else:
                    rc, took = run(test_cmd, checkout, timeout=limit, limit_memory=True, log=log)
                    m["result"] = "survived" if rc == 0 else "killed"
                    m["seconds"] = round(took, 1)
            finally:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(original)
            counts[m["result"]] += 1
            print("[%d/%d] %-9s %s:%d %s: %r -> %r" % (i, len(chosen), m["result"], m["file"], m["line"],
                                                       m["kind"], m["original"], m["replacement"]))
            sys.stdout.flush()
        run(build_cmd, checkout, log=log)  # leave the build matching the tree

    scored = counts["killed"] + counts["survived"]
    score = 100.0 * counts["killed"] / scored if scored else 0.0
    with open(os.path.join(work, "results.json"), "w") as f:
        json.dump({"seed": args.seed, "paths": args.paths, "counts": counts, "score": score,
                   "mutants": chosen}, f, indent=1)
    print("\nkilled %d, survived %d, stillborn %d: score %.1f %%" % (
        counts["killed"], counts["survived"], counts["stillborn"], score))
    survivors = [m for m in chosen if m["result"] == "survived"]
    if survivors:
        print("survivors:")
        for m in survivors:
            print("  %s:%d %s: %r -> %r" % (m["file"], m["line"], m["kind"], m["original"], m["replacement"]))


if __name__ == "__main__":
    main()
