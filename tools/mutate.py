#!/usr/bin/env python3
"""Mutation check: plants small faults in the driver sources one at a time and
runs the host tests against each, to find faults that no test catches.

The working tree is never touched. The committed tree (or, with
--source=worktree, the tracked files as they stand) is synchronised into a
scratch directory (one per working tree, kept between runs: only files whose
content changed are written, so ninja rebuilds only what they touch), built
there without sanitizers and without the firmware image, and checked green.
Then each fault of the list is applied to the copy, and the test programs the
faulty file can reach are rebuilt and run one at a time, stopping at the first
failure; the file is restored afterwards. The tests that killed earlier faults
of the same file run first, then the programs in full, fastest first. A fault
is killed when a test program fails, crashes or times out (five times its
green run time, at least 10 s); it survives when every program passes.

Fault list format (tools/mutations.txt):

    @ id path/relative/to/repo
    # what the fault is
    < exact original line(s)
    > replacement line(s)        (no '>' line: the original text is deleted)

The original text must occur exactly once in the file.

usage: tools/mutate.py [--list FILE] [--only ID[,ID...]] [--workdir DIR]
                       [--source head|worktree] [--jobs N] [--sanitize] [--clean] [--check]
"""
import argparse
import hashlib
import io
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time

# Each test program with the targets it needs built, fastest first.
PROGRAMS = [
    ("unit_tests", ["unit_tests"]),
    ("tests/x86/hw_x86_tests", ["hw_x86_tests"]),
    ("sim_tests", ["sim_tests"]),
    ("boot_tests", ["boot_tests", "bootctl_driver"]),
    ("tests/simboot/simboot_tests", ["simboot_tests", "simboot", "bootctl_driver"]),
]
DRIVER_DIRS = ("entry/", "frame/", "bootctl/", "s3/", "flash/", "support/")
MIN_TIMEOUT = 10  # seconds; a program's limit is five times its green run, at least this


def reachable(path):
    """The test programs a fault in `path` can change."""
    if path.startswith("support/base/efi/"):
        return ["tests/x86/hw_x86_tests"]  # the image's own seam: only its test compiles it
    if path.startswith(DRIVER_DIRS):
        return ["unit_tests", "boot_tests", "tests/simboot/simboot_tests"]  # the simulator links no driver
    return [program for program, _ in PROGRAMS]


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


def source_files(root, source):
    """{relative path: bytes} of the tree to check."""
    files = {}
    if source == "head":
        archive = subprocess.run(["git", "-C", root, "archive", "--format=tar", "HEAD"], check=True,
                                 stdout=subprocess.PIPE).stdout
        with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
            for member in tar.getmembers():
                if member.isfile():
                    files[member.name] = (tar.extractfile(member).read(), member.mode)
        return files
    names = subprocess.run(["git", "-C", root, "ls-files", "-z"], check=True,
                           stdout=subprocess.PIPE).stdout.decode().split("\0")
    for rel in filter(None, names):
        origin = os.path.join(root, rel)
        if os.path.isfile(origin):  # not deleted in the working tree
            with open(origin, "rb") as f:
                files[rel] = (f.read(), os.stat(origin).st_mode)
    return files


def sync_tree(root, src, source):
    """Makes `src` hold exactly the tree's files, writing only those whose
    content differs, so that an existing build there stays valid for the rest.
    Returns the number of files written or removed."""
    wanted = source_files(root, source)
    changed = 0
    for rel, (data, mode) in wanted.items():
        target = os.path.join(src, rel)
        try:
            with open(target, "rb") as f:
                if f.read() == data:
                    continue
        except FileNotFoundError:
            os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
        os.chmod(target, mode & 0o777)
        changed += 1
    for dirpath, _, names in os.walk(src):
        for name in names:
            rel = os.path.relpath(os.path.join(dirpath, name), src)
            if rel not in wanted:
                os.remove(os.path.join(dirpath, name))
                changed += 1
    return changed


def build(build_dir, jobs, log, targets):
    code, _ = run(["cmake", "--build", build_dir, "-j", str(jobs), "--target"] + targets, log=log)
    return code == 0


def failed_tests(out):
    return [line.split("]", 1)[1].strip().split(" ")[0].rstrip(",") for line in out.splitlines()
            if line.startswith("[  FAILED  ]") and "listed below" not in line]


class Runner:
    """Builds and runs the test programs in one build directory."""

    def __init__(self, build_dir, jobs, log):
        self.build_dir, self.jobs, self.log = build_dir, jobs, log
        self.timeouts = {}  # program: seconds
        self.built = set()  # programs built since the last source change
        self.killers = {}  # fault path: {(program, test): kills}

    def ensure_built(self, program):
        if program in self.built:
            return True
        if not build(self.build_dir, self.jobs, self.log, dict(PROGRAMS)[program]):
            return False
        self.built.add(program)
        return True

    def run_program(self, program, test_filter=None):
        """None when it passes, else a short reason."""
        path = os.path.join(self.build_dir, program)
        command = [path, "--gtest_brief=1", "--gtest_fail_fast"]
        if test_filter:
            command.append("--gtest_filter=" + test_filter)
        start = time.time()
        code, out = run(command, cwd=self.build_dir, timeout=self.timeouts.get(program), log=self.log)
        if program not in self.timeouts and code == 0 and not test_filter:
            self.timeouts[program] = max(MIN_TIMEOUT, 5 * (time.time() - start))
        name = os.path.basename(program)
        if code == "timeout":
            return name, None, f"{name} timed out"
        if code != 0:
            failed = failed_tests(out)
            detail = failed[0] if failed else (f"exit {code}" if code > 0 else f"signal {-code}")
            return name, (failed[0] if failed else None), f"{name}: {detail}"
        return None

    def green(self):
        """Builds and runs every program on the unmutated tree; None when all pass."""
        for program, _ in PROGRAMS:
            if not self.ensure_built(program):
                return f"{program} does not build"
            failure = self.run_program(program)
            if failure:
                return failure[2]
        return None

    def check(self, fault_path):
        """Runs what the fault can reach; None when everything passes, else the reason."""
        self.built.clear()
        programs = reachable(fault_path)
        # Tests that killed earlier faults of this file first, most kills first.
        hints = sorted(self.killers.get(fault_path, {}).items(), key=lambda item: -item[1])
        by_program = {}
        for (program, test), _ in hints:
            by_program.setdefault(program, []).append(test)
        for program in programs:
            if program in by_program:
                if not self.ensure_built(program):
                    return "NO-BUILD"
                failure = self.run_program(program, ":".join(by_program[program][:8]))
                if failure:
                    return self.killed(fault_path, program, failure)
        for program in programs:
            if not self.ensure_built(program):
                return "NO-BUILD"
            failure = self.run_program(program)
            if failure:
                return self.killed(fault_path, program, failure)
        return None

    def killed(self, fault_path, program, failure):
        _, test, reason = failure
        if test:
            kills = self.killers.setdefault(fault_path, {})
            kills[(program, test)] = kills.get((program, test), 0) + 1
        return reason


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--list", default=os.path.join(here, "mutations.txt"))
    parser.add_argument("--only", default="", help="comma-separated fault ids")
    parser.add_argument("--workdir", default="",
                        help="scratch directory (default: one per working tree under /tmp, kept between runs)")
    parser.add_argument("--source", choices=["head", "worktree"], default="head",
                        help="copy the committed tree (default) or the tracked files as they stand")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--sanitize", action="store_true",
                        help="build with AddressSanitizer and UndefinedBehaviorSanitizer (slower; catches "
                             "faults that only read outside a buffer)")
    parser.add_argument("--clean", action="store_true", help="start from an empty scratch directory")
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

    # One scratch directory per working tree, kept: the next run rebuilds only
    # what changed since.
    default_work = os.path.join(tempfile.gettempdir(),
                                "bootctl-mutate-" + hashlib.sha1(root.encode()).hexdigest()[:10]
                                + ("-sanitize" if args.sanitize else ""))
    work = args.workdir or default_work
    src, build_dir = os.path.join(work, "src"), os.path.join(work, "build")
    log = os.path.join(work, "mutate.log")
    if args.clean:
        shutil.rmtree(work, ignore_errors=True)
    os.makedirs(src, exist_ok=True)
    with open(log, "w", encoding="utf-8"):
        pass
    run_start = time.time()
    changed = sync_tree(root, src, args.source)
    print(f"mutation check: {len(faults)} faults, scratch tree {work} ({changed} files synchronised; "
          f"log: {log})", flush=True)

    if not os.path.exists(os.path.join(build_dir, "build.ninja")):
        code, _ = run(["cmake", "-S", src, "-B", build_dir, "-G", "Ninja",
                       "-DSANITIZE=" + ("ON" if args.sanitize else "OFF"), "-DBUILD_EFI_IMAGE=OFF",
                       "-DFIRMWARE_TESTS=OFF", "-DCMAKE_BUILD_TYPE=None", "-DCMAKE_CXX_FLAGS=-O1"], log=log)
        if code != 0:
            sys.exit("mutation check: the unmutated tree does not configure; see the log")
    runner = Runner(build_dir, args.jobs, log)
    reason = runner.green()
    if reason:
        sys.exit(f"mutation check: the unmutated tree fails ({reason}); see the log")
    print(f"mutation check: green in {time.time() - run_start:.0f}s", flush=True)

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
                reason = runner.check(fault.path)
                if reason == "NO-BUILD":
                    outcome, detail = "NO-BUILD", "the mutant does not compile"
                else:
                    outcome, detail = ("KILLED", reason) if reason else ("SURVIVED", fault.description)
            finally:
                # Rewritten (a newer time stamp), so the next build compiles
                # the original again.
                with open(path, "w", encoding="utf-8") as f:
                    f.write(original)
        results.append((fault, outcome, detail))
        print(f"{outcome:9} {fault.id:28} {detail}  [{time.time() - start:.0f}s]", flush=True)

    killed = sum(1 for _, o, _ in results if o == "KILLED")
    survived = [f for f, o, _ in results if o == "SURVIVED"]
    valid = killed + len(survived)
    rate = f"{100.0 * killed / valid:.1f}%" if valid else "n/a"
    print(f"\nmutation check: {killed} of {valid} faults killed ({rate}); "
          f"{len(results) - valid} not applicable (stale or not compiling); "
          f"{(time.time() - run_start) / 60:.1f} minutes")
    for fault in survived:
        print(f"  survived: {fault.id} ({fault.path}): {fault.description}")
    return 1 if survived else 0


if __name__ == "__main__":
    sys.exit(main())
