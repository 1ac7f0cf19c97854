#!/usr/bin/env python3
"""Mutation check: plants small faults in the driver sources one at a time and
runs the host tests against each, to find faults that no test catches.

The working tree is never touched. The committed tree (or, with
--source=worktree, the tracked files as they stand) is copied to a scratch
directory, built there once without sanitizers and without the firmware
image, and checked green. Then each fault of the list is applied to the copy,
the host test programs are rebuilt and run, and the file is restored. A fault
is killed when a test program fails, crashes or times out; it survives when
every program passes.

Fault list format (tools/mutations.txt):

    @ id path/relative/to/repo
    # what the fault is
    < exact original line(s)
    > replacement line(s)        (no '>' line: the original text is deleted)

The original text must occur exactly once in the file.

usage: tools/mutate.py [--list FILE] [--only ID[,ID...]] [--workdir DIR]
                       [--source head|worktree] [--jobs N] [--sanitize] [--keep] [--check]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

TARGETS = ["unit_tests", "boot_tests", "sim_tests", "simboot_tests", "hw_x86_tests", "bootctl_driver", "simboot"]
PROGRAMS = ["unit_tests", "boot_tests", "sim_tests", "tests/simboot/simboot_tests", "tests/x86/hw_x86_tests"]
TEST_TIMEOUT = 120  # seconds per test program; a planted endless loop ends here


class Fault:
    def __init__(self, ident, path, line):
        self.id = ident
        self.path = path
        self.line = line
        self.description = ""
        self.old = []
        self.new = []


def parse_faults(list_path):
    faults = []
    current = None
    with open(list_path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if line.startswith("@ "):
                parts = line[2:].split()
                if len(parts) != 2:
                    sys.exit(f"{list_path}:{number}: expected '@ id path'")
                current = Fault(parts[0], parts[1], number)
                faults.append(current)
            elif current is None or not line.strip():
                continue
            elif line.startswith("#"):
                if current.old:
                    continue  # a comment between faults
                current.description = (current.description + " " + line[2:]).strip()
            elif line.startswith("<"):
                current.old.append(line[2:] if line.startswith("< ") else "")
            elif line.startswith(">"):
                current.new.append(line[2:] if line.startswith("> ") else "")
            else:
                sys.exit(f"{list_path}:{number}: unexpected line: {line}")
    ids = [f.id for f in faults]
    dupes = {i for i in ids if ids.count(i) > 1}
    if dupes:
        sys.exit(f"{list_path}: duplicate ids: {', '.join(sorted(dupes))}")
    for fault in faults:
        if not fault.old:
            sys.exit(f"{list_path}:{fault.line}: fault {fault.id} has no original text")
    return faults


def run(cmd, cwd=None, timeout=None, log=None):
    try:
        p = subprocess.run(cmd, cwd=cwd, timeout=timeout, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           text=True, errors="replace")
        out, code = p.stdout, p.returncode
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"").decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
        out, code = out + "\n[timed out]\n", "timeout"
    if log:
        with open(log, "a", encoding="utf-8") as f:
            f.write(f"$ {' '.join(cmd)}\n{out}\n")
    return code, out


def copy_tree(root, src, source):
    os.makedirs(src)
    if source == "head":
        archive = subprocess.run(["git", "-C", root, "archive", "--format=tar", "HEAD"], check=True,
                                 stdout=subprocess.PIPE).stdout
        subprocess.run(["tar", "-x", "-C", src], input=archive, check=True)
        return
    files = subprocess.run(["git", "-C", root, "ls-files", "-z"], check=True,
                           stdout=subprocess.PIPE).stdout.decode().split("\0")
    for rel in filter(None, files):
        origin = os.path.join(root, rel)
        if not os.path.isfile(origin):
            continue  # deleted in the working tree
        target = os.path.join(src, rel)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(origin, target)


def build(build_dir, jobs, log):
    code, _ = run(["cmake", "--build", build_dir, "-j", str(jobs), "--target"] + TARGETS, log=log)
    return code == 0


def run_tests(build_dir, log):
    """Returns None when every program passes, else a short reason."""
    for program in PROGRAMS:
        path = os.path.join(build_dir, program)
        if not os.path.exists(path):
            continue
        code, out = run([path, "--gtest_brief=1", "--gtest_fail_fast"], cwd=build_dir, timeout=TEST_TIMEOUT,
                        log=log)
        if code == "timeout":
            return f"{os.path.basename(program)} timed out"
        if code != 0:
            failed = [line.split("]", 1)[1].strip().split(" ")[0] for line in out.splitlines()
                      if line.startswith("[  FAILED  ]") and "listed below" not in line]
            detail = failed[0].rstrip(",") if failed else (f"exit {code}" if code > 0 else f"signal {-code}")
            return f"{os.path.basename(program)}: {detail}"
    return None


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--list", default=os.path.join(here, "mutations.txt"))
    parser.add_argument("--only", default="", help="comma-separated fault ids")
    parser.add_argument("--workdir", default="", help="scratch directory (default: a new one under /tmp)")
    parser.add_argument("--source", choices=["head", "worktree"], default="head",
                        help="copy the committed tree (default) or the tracked files as they stand")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--sanitize", action="store_true",
                        help="build with AddressSanitizer and UndefinedBehaviorSanitizer (slower; catches "
                             "faults that only read outside a buffer)")
    parser.add_argument("--keep", action="store_true", help="keep the scratch tree and build")
    parser.add_argument("--check", action="store_true",
                        help="only check that every fault applies to the working tree's sources")
    args = parser.parse_args()

    root = subprocess.run(["git", "-C", here, "rev-parse", "--show-toplevel"], check=True,
                          stdout=subprocess.PIPE, text=True).stdout.strip()
    faults = parse_faults(args.list)
    if args.only:
        wanted = set(args.only.split(","))
        unknown = wanted - {f.id for f in faults}
        if unknown:
            sys.exit(f"unknown fault ids: {', '.join(sorted(unknown))}")
        faults = [f for f in faults if f.id in wanted]

    if args.check:
        bad = 0
        for fault in faults:
            try:
                with open(os.path.join(root, fault.path), encoding="utf-8") as f:
                    found = f.read().count("\n".join(fault.old))
            except FileNotFoundError:
                found = 0
            if found != 1:
                bad += 1
                print(f"STALE     {fault.id:28} original text found {found} times in {fault.path}")
        print(f"mutation check: {len(faults) - bad} of {len(faults)} faults apply")
        return 1 if bad else 0

    work = args.workdir or tempfile.mkdtemp(prefix="bootctl-mutate-", dir="/tmp")
    src, build_dir = os.path.join(work, "src"), os.path.join(work, "build")
    log = os.path.join(work, "mutate.log")
    if os.path.exists(src):
        shutil.rmtree(src)
    copy_tree(root, src, args.source)
    print(f"mutation check: {len(faults)} faults, scratch tree {work} (log: {log})", flush=True)

    code, _ = run(["cmake", "-S", src, "-B", build_dir, "-DSANITIZE=" + ("ON" if args.sanitize else "OFF"),
                   "-DBUILD_EFI_IMAGE=OFF",
                   "-DFIRMWARE_TESTS=OFF", "-DCMAKE_BUILD_TYPE=None", "-DCMAKE_CXX_FLAGS=-O1"], log=log)
    if code != 0 or not build(build_dir, args.jobs, log):
        sys.exit("mutation check: the unmutated tree does not build; see the log")
    reason = run_tests(build_dir, log)
    if reason:
        sys.exit(f"mutation check: the unmutated tree fails its tests ({reason}); see the log")

    results = []
    for fault in faults:
        start = time.time()
        path = os.path.join(src, fault.path)
        old, new = "\n".join(fault.old), "\n".join(fault.new)
        try:
            with open(path, encoding="utf-8") as f:
                original = f.read()
        except FileNotFoundError:
            original = None
        if original is None or original.count(old) != 1:
            found = 0 if original is None else original.count(old)
            outcome, detail = "STALE", f"original text found {found} times"
        else:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(old, new))
            with open(log, "a", encoding="utf-8") as f:
                f.write(f"\n===== {fault.id}: {fault.description}\n")
            try:
                if not build(build_dir, args.jobs, log):
                    outcome, detail = "NO-BUILD", "the mutant does not compile"
                else:
                    reason = run_tests(build_dir, log)
                    outcome, detail = ("KILLED", reason) if reason else ("SURVIVED", fault.description)
            finally:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(original)
        results.append((fault, outcome, detail))
        print(f"{outcome:9} {fault.id:28} {detail}  [{time.time() - start:.0f}s]", flush=True)

    killed = sum(1 for _, o, _ in results if o == "KILLED")
    survived = [f for f, o, _ in results if o == "SURVIVED"]
    valid = killed + len(survived)
    rate = f"{100.0 * killed / valid:.1f}%" if valid else "n/a"
    print(f"\nmutation check: {killed} of {valid} faults killed ({rate}); "
          f"{len(results) - valid} not applicable (stale or not compiling)")
    for fault in survived:
        print(f"  survived: {fault.id} ({fault.path}): {fault.description}")
    if not args.keep:
        shutil.rmtree(src, ignore_errors=True)
        shutil.rmtree(build_dir, ignore_errors=True)
    return 1 if survived else 0


if __name__ == "__main__":
    sys.exit(main())
