#!/usr/bin/env python3
"""Re-judges the surviving mutants of a mutation run against the sanitizer build.

    scripts/mutants_asan.py CHECKOUT KEEP_DIR... [--pytest] [--python VENV_PYTHON]
                            [--jobs 2] [--workdir DIR]

A mutation run judges each mutant by the tests of a normal build, so a fault
that only AddressSanitizer or UndefinedBehaviorSanitizer sees (a deleted free,
a read past a buffer) survives there. This script reads KEEP_DIR/mutants.tsv
of one or more such runs, copies the committed tree of CHECKOUT (`git archive HEAD`, the
commit the run sampled) into a temporary directory, builds the C++ tests with
CORVANTIS_SANITIZE=ON and checks that they pass. Then, for each survived
mutant: applies it, rebuilds, runs ctest with leak detection on and, with
--pytest, scripts/pytest_asan.sh for mutants of the bindings; and restores the
file. Mutants of the tool are not re-judged (the sanitizer suites do not run
it), nor those of the bindings without --pytest. The last line printed is
`sanitizer build kills K of N survivors`. Standard library only; nothing in
the checkout is modified.
"""

import argparse
import csv
import os
import shutil
import subprocess
import sys
import tempfile
import time

BUILD_TIMEOUT = 3600
TEST_TIMEOUT = 1800
SANITIZER_ENV = {
    "ASAN_OPTIONS": "detect_leaks=1:abort_on_error=1",
    "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1",
}


def run(cmd, cwd=None, env=None, timeout=None):
    """(exit status, output tail) of cmd under `nice`; a timeout counts as a failure."""
    proc = subprocess.Popen(
        ["nice", "-n", "19"] + cmd,
        cwd=cwd,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        stdin=subprocess.DEVNULL,
        start_new_session=True,
    )
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, 9)
        out, _ = proc.communicate()
        return 124, "(timed out)"
    return proc.returncode, "\n".join(out.decode("utf-8", "replace").splitlines()[-40:])


def survivors(keep):
    with open(os.path.join(keep, "mutants.tsv"), encoding="utf-8", newline="") as fh:
        rows = list(csv.DictReader(fh, delimiter="\t", quoting=csv.QUOTE_NONE))
    return [r for r in rows if r["outcome"] == "survived"]


def mutate(text, row):
    """text with the mutant of row applied, or None when its line is not the sampled one."""
    lines = text.split("\n")
    index = int(row["line"]) - 1
    line = lines[index] if index < len(lines) else ""
    if line.strip() != row["original_line"]:
        return None
    if row["operator"] == "delete_call":
        lines[index] = line[: len(line) - len(line.lstrip())]
    else:
        col = int(row["col"]) - 1
        if line[col : col + len(row["before"])] != row["before"]:
            return None
        lines[index] = line[:col] + row["after"] + line[col + len(row["before"]) :]
    return "\n".join(lines)


def judge(tree, build, row, args):
    """'killed (...)', 'survived' or 'uncompilable' for the mutant already applied to tree."""
    rc, out = run(["cmake", "--build", build, "-j", str(args.jobs)], timeout=BUILD_TIMEOUT)
    if rc != 0:
        return "uncompilable"
    env = dict(os.environ, **SANITIZER_ENV)
    ctest = ["ctest", "--test-dir", build, "-j", str(args.jobs), "--output-on-failure"]
    rc, out = run(ctest, env=env, timeout=TEST_TIMEOUT)
    if rc != 0:
        failed = [ln.strip() for ln in out.split("The following tests FAILED:")[-1].splitlines()]
        return "killed (ctest: " + ", ".join(f for f in failed if f)[:200] + ")"
    if args.pytest and row["file"].startswith("src/main/bindings/"):
        rc, out = run(
            [os.path.join(tree, "scripts", "pytest_asan.sh"), "-x"], cwd=tree, timeout=TEST_TIMEOUT
        )
        if rc != 0:
            return "killed (pytest_asan: " + out.splitlines()[-1][:200] + ")"
    return "survived"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("checkout", help="a git checkout at the commit the mutation run sampled")
    ap.add_argument("keep", nargs="+", help="the --keep directory of a run (holds mutants.tsv)")
    ap.add_argument(
        "--pytest",
        action="store_true",
        help="also run scripts/pytest_asan.sh for mutants of the bindings",
    )
    ap.add_argument(
        "--python", help="Python of the venv pytest_asan.sh uses (default: CHECKOUT/.venv)"
    )
    ap.add_argument("--jobs", type=int, default=2, help="build and ctest parallelism (default 2)")
    ap.add_argument("--workdir", metavar="DIR", help="parent of the temporary tree")
    args = ap.parse_args()
    sys.stdout.reconfigure(line_buffering=True)
    checkout = os.path.abspath(args.checkout)
    rows = [row for keep in args.keep for row in survivors(keep)]
    print(f"{len(rows)} survived mutants in {len(args.keep)} runs")

    tmp = tempfile.mkdtemp(prefix="mutants-asan-", dir=args.workdir)
    try:
        tree, build = os.path.join(tmp, "tree"), os.path.join(tmp, "tree", "build-asan")
        os.makedirs(tree)
        archive = subprocess.Popen(
            ["git", "-C", checkout, "archive", "HEAD"], stdout=subprocess.PIPE
        )
        untar = subprocess.run(["tar", "-x", "-C", tree], stdin=archive.stdout)
        archive.stdout.close()
        if archive.wait() != 0 or untar.returncode != 0:
            print("git archive | tar failed")
            return 1
        venv = (
            os.path.dirname(os.path.dirname(os.path.abspath(args.python)))
            if args.python
            else (os.path.join(checkout, ".venv"))
        )
        if args.pytest:
            os.symlink(venv, os.path.join(tree, ".venv"))
        configure = [
            "cmake",
            "-S",
            tree,
            "-B",
            build,
            "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
            "-DCORVANTIS_BUILD_PYTHON=OFF",
            "-DCORVANTIS_BUILD_TESTS=ON",
            "-DCORVANTIS_BUILD_TOOLS=OFF",
            "-DCORVANTIS_SANITIZE=ON",
        ]
        rc, out = run(configure, timeout=BUILD_TIMEOUT)
        any_binding = {"file": "src/main/bindings/" if args.pytest else ""}
        baseline = judge(tree, build, any_binding, args) if rc == 0 else "uncompilable"
        if baseline != "survived":
            print(f"BASELINE FAILED: the unmutated sanitizer build is {baseline}\n{out}")
            return 2
        print("baseline: sanitizer build and its tests pass")

        killed = judged = 0
        for row in rows:
            name = (
                f"{row['file']}:{row['line']} {row['original_line']!r} -> {row['mutated_line']!r}"
            )
            if row["file"].startswith("tools/"):
                print(f"not judged (tool) {name}")
                continue
            if row["file"].startswith("src/main/bindings/") and not args.pytest:
                print(f"not judged (bindings, without --pytest) {name}")
                continue
            path = os.path.join(tree, row["file"])
            with open(path, encoding="utf-8", newline="") as fh:
                pristine = fh.read()
            mutated = mutate(pristine, row)
            if mutated is None:
                print(f"not judged (line differs in this checkout) {name}")
                continue
            try:
                with open(path, "w", encoding="utf-8", newline="") as fh:
                    fh.write(mutated)
                outcome = judge(tree, build, row, args)
            finally:
                with open(path, "w", encoding="utf-8", newline="") as fh:
                    fh.write(pristine)
                now = time.time()
                os.utime(path, (now, now))
            judged += outcome != "uncompilable"
            killed += outcome.startswith("killed")
            print(f"{outcome} {name}")
        print(f"sanitizer build kills {killed} of {judged} survivors")
        return 0
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
