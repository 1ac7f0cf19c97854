#!/usr/bin/env python3
"""Boots the driver image inside OVMF under QEMU and checks what it did.

One run is one scenario from scenarios.py: the runner lays out a FAT disk with
the driver image, the test helpers and a generated startup.nsh, gives the
machine a fresh copy of the OVMF variable store, and boots it headless. The
EFI shell runs startup.nsh on every boot; `fwctl begin` counts the boots in a
variable so the script runs the commands of the scenario's phase for this
boot. The helpers print "FWT ..." lines on the debug console (port 0x402);
after the machine stops, the scenario's checks read those lines.

The run fails, and says why, when the firmware reports a CPU exception (the
machine is stopped at once), when it does not finish in time, when the
script does not reach its end the way the scenario expects, or when a check
fails. Time is QEMU's processor time (user and system, all its threads), not
the host's wall time: under emulation the guest's work costs the same
processor time however loaded the machine is, so a run's budget and the
checks of how long a step took do not depend on the load. A guest that
halts for good uses no processor time; a wall-time limit of several times
the budget still ends it. Exit status: 0 passed, 1 failed, 2 could not run.
"""

import argparse
import os
import re
import selectors
import shutil
import signal
import subprocess
import sys
import time

import scenarios

EXCEPTION_TEXT = b"!!!! X64 Exception Type"
COUNTDOWN_TEXT = b" in 5 seconds to skip"
ANSI_RE = re.compile(r"\x1b\[[0-9;=?]*[A-Za-z]")

# fwctl exit codes used by the generated script; QEMU's isa-debug-exit turns
# code C into process status 2*C+1.
EXIT_DONE = 0x10
EXIT_EXTRA_BOOT = 0x14
EXIT_NO_RESET = 0x15

# Vendor GUIDs whose variables are the shell's own volatile state (its
# environment and aliases); they change with every command it runs.
SHELL_GUIDS = {"158DEF5A-F656-419C-B027-7A3192C079D2", "0053D9D6-2659-4599-A26B-EF4536E631A9"}
TEST_GUID = "CEE76250-3872-4773-8E13-12BC56C4B8AC"

# Ports whose writes are recorded: the CMOS pair of the change-boot mode and
# the EC's data and command/status ports.
CAPTURED_PORTS = (0x62, 0x66, 0x72, 0x73)


class RunError(Exception):
    """The run could not be set up (missing tools or files)."""


class Run:
    """Everything one boot-and-run left behind, with the checks' helpers."""

    def __init__(self, scenario, workdir):
        self.scenario = scenario
        self.workdir = workdir
        self.lines = []  # (QEMU processor seconds since start, boot number, text after "FWT ")
        self.serial = ""
        self.status = None
        self.timed_out = None  # "processor" or "wall" when the run ran out of time
        self.exception = None
        self.elapsed = 0.0  # host wall time
        self.cpu = 0.0  # QEMU processor time
        self.ports = {}
        self.failures = []
        self.notes = []

    # ---- reporting
    def fail(self, message):
        self.failures.append(message)

    def note(self, message):
        self.notes.append(message)

    # ---- lines
    def find(self, pattern, boot=None):
        """All matches of pattern against FWT lines (of one boot if given)."""
        rx = re.compile(pattern)
        found = []
        for t, b, text in self.lines:
            if boot is not None and b != boot:
                continue
            m = rx.search(text)
            if m:
                found.append(m)
        return found

    def index(self, pattern, boot=None, start=0):
        rx = re.compile(pattern)
        for i in range(start, len(self.lines)):
            t, b, text = self.lines[i]
            if (boot is None or b == boot) and rx.search(text):
                return i
        return None

    def time_of(self, pattern, boot=None):
        i = self.index(pattern, boot)
        return None if i is None else self.lines[i][0]

    def expect(self, pattern, why, boot=None, count=None):
        n = len(self.find(pattern, boot))
        where = "" if boot is None else " in boot %d" % boot
        if count is None and n == 0:
            self.fail("%s: no line matching /%s/%s" % (why, pattern, where))
        elif count is not None and n != count:
            self.fail("%s: %d lines match /%s/%s, expected %d" % (why, n, pattern, where, count))

    def expect_none(self, pattern, why, boot=None):
        found = self.find(pattern, boot)
        if found:
            self.fail("%s: found %r" % (why, found[0].string))

    def expect_order(self, patterns, why, boot=None):
        """The patterns appear in this order (first match of each after the previous)."""
        at = 0
        for p in patterns:
            i = self.index(p, boot, at)
            if i is None:
                after = repr(self.lines[at - 1][2]) if at else "the start"
                self.fail("%s: no line matching /%s/ after %s" % (why, p, after))
                return
            at = i + 1

    # ---- variables
    def var(self, tag, name, boot=None):
        """The variable as last printed under tag (in one boot if given): a
        Var, None when absent; KeyError when it was not printed."""
        rx = re.compile(r"^var %s (\S+) (\S+) (.*)$" % re.escape(tag))
        result = KeyError
        for _, b, text in self.lines:
            if boot is not None and b != boot:
                continue
            m = rx.match(text)
            if not m or m.group(1) != name:
                continue
            rest = m.group(3)
            if rest == "absent":
                result = None
                continue
            d = re.match(r"attr=([0-9A-F]+) size=(\d+) data=([0-9A-F]*)$", rest)
            if not d:
                raise AssertionError("variable %s under %s could not be read: %s" % (name, tag, rest))
            data = bytes.fromhex(d.group(3))
            if len(data) != int(d.group(2)):
                raise AssertionError("variable %s under %s: size and data disagree" % (name, tag))
            result = scenarios.Var(int(d.group(1), 16), data)
        if result is KeyError:
            raise KeyError("no 'var %s %s' line: the helper did not print it" % (tag, name))
        return result

    def expect_var(self, tag, name, expected, why, boot=None):
        try:
            actual = self.var(tag, name, boot)
        except (KeyError, AssertionError) as e:
            self.fail("%s: %s" % (why, e.args[0]))
            return None
        if actual != expected:
            detail = ""
            if actual is not None and expected is not None and actual.attr == expected.attr:
                if len(actual.data) != len(expected.data):
                    detail = " (size %d, expected %d)" % (len(actual.data), len(expected.data))
                else:
                    diffs = [i for i in range(len(actual.data)) if actual.data[i] != expected.data[i]]
                    detail = " (%s)" % ", ".join(
                        "byte %d is %02X, expected %02X" % (i, actual.data[i], expected.data[i]) for i in diffs[:4])
            self.fail("%s: %s at '%s' is %s, expected %s%s"
                      % (why, name, tag, actual or "absent", expected or "absent", detail))
        return actual

    def snapshot(self, tag):
        """{(name, guid): (attr, size, crc)} of a full store snapshot; None if missing or cut short."""
        snap = {}
        end = None
        for _, _, text in self.lines:
            parts = text.split(" ")
            if parts[0] == "snap" and parts[1] == tag and len(parts) == 7:
                snap[(parts[2], parts[3])] = (int(parts[4], 16), int(parts[5]), parts[6])
            elif parts[0] == "snapend" and parts[1] == tag:
                end = int(parts[2])
        if end is None or end != len(snap):
            self.fail("variable store snapshot '%s' is missing or incomplete" % tag)
            return None
        return snap

    def expect_store_changes(self, before_tag, after_tag, expected, why):
        """Compares two snapshots. expected maps "NAME:GUID" (GUID as the
        helpers take it) to 'added', 'deleted' or 'changed'; every other
        variable outside the shell's and the test's own must be unchanged."""
        before = self.snapshot(before_tag)
        after = self.snapshot(after_tag)
        if before is None or after is None:
            return
        wanted = {}
        for entry, change in expected.items():
            name, guid = entry.split(":")
            wanted[(name, scenarios.GUIDS.get(guid, guid))] = change
        actual = {}
        for key in set(before) | set(after):
            if key[1] in SHELL_GUIDS or key[1] == TEST_GUID:
                continue
            if key not in after:
                actual[key] = "deleted"
            elif key not in before:
                actual[key] = "added"
            elif before[key] != after[key]:
                actual[key] = "changed"
        for key in sorted(set(actual) | set(wanted)):
            if actual.get(key) == wanted.get(key):
                continue
            if key in actual:
                self.fail("%s: variable %s {%s} was %s between '%s' and '%s'%s"
                          % (why, key[0], key[1], actual[key], before_tag, after_tag,
                             "" if key not in wanted else " (expected: %s)" % wanted[key]))
            else:
                self.fail("%s: variable %s {%s} was expected to be %s between '%s' and '%s', but it was not"
                          % (why, key[0], key[1], wanted[key], before_tag, after_tag))

    # ---- ports
    def port_bytes(self, port):
        return self.ports.get(port, b"")

    def expect_port(self, port, expected, why):
        actual = self.port_bytes(port)
        if actual != expected:
            self.fail("%s: bytes written to port 0x%X were [%s], expected [%s]"
                      % (why, port, actual.hex(" ").upper(), expected.hex(" ").upper()))

    # ---- serial console
    def driver_load_results(self):
        """The shell's report of each load of the driver image: "Success" or the error."""
        return [m.group(1) or m.group(2) for m in re.finditer(
            r"Image '[^']*BootCtlDxe\.efi' (?:loaded at [0-9A-Fa-f]+ - ([^\r\n]*)|error in StartImage: ([^\r\n]*))",
            self.serial)]


def startup_script(scenario):
    """startup.nsh: one block per phase, chosen by the boot counter."""
    out = ["@echo -off", "fs0:", "fwctl.efi begin"]
    for number, phase in enumerate(scenario.phases, start=1):
        out.append("fwctl.efi is %d" % number)
        out.append("if %lasterror% == 0 then")
        for command in phase.commands:
            out.append("  " + command)
        if phase.resets:
            out.append("  fwctl.efi say phase %d ended without a reset" % number)
            out.append("  fwctl.efi exit %X" % EXIT_NO_RESET)
        elif number == len(scenario.phases):
            out.append("  fwctl.efi exit %X" % EXIT_DONE)
        else:
            # A phase that goes on to the next boot by itself.
            out.append("  reset")
        out.append("endif")
    out.append("fwctl.efi say boot beyond the last phase")
    out.append("fwctl.efi exit %X" % EXIT_EXTRA_BOOT)
    return "\r\n".join(out) + "\r\n"


def make_disk(workdir, files, script):
    """A 16 MiB FAT disk image holding the files and startup.nsh."""
    image = os.path.join(workdir, "esp.img")
    with open(image, "wb") as f:
        f.truncate(16 * 1024 * 1024)
    subprocess.run(["mformat", "-i", image, "-T", "32768", "-h", "64", "-s", "32", "::"], check=True,
                   capture_output=True)
    nsh = os.path.join(workdir, "startup.nsh")
    with open(nsh, "w", newline="") as f:
        f.write(script)
    for source, name in files + [(nsh, "startup.nsh")]:
        subprocess.run(["mcopy", "-i", image, source, "::/" + name], check=True, capture_output=True)
    return image


# The wall-time limit of a run, as a multiple of its processor-time budget:
# only a guest that halts for good, using no processor time, runs into it.
WALL_FACTOR = 4
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def wall_limit(timeout):
    return timeout * WALL_FACTOR + 10


def processor_seconds(pid):
    """User and system time of process pid (all its threads), or None."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return None
    # Fields 14 and 15 of the line (utime, stime); the split starts at field 3.
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


# The machine of OVMF's SMM build: SMRAM, and a code flash that only SMM may
# write (the variable store is written through an SMM handler there).
SMM_MACHINE = ["-machine", "q35,smm=on", "-global", "driver=cfi.pflash01,property=secure,value=on"]


def machine_args(args):
    return SMM_MACHINE if getattr(args, "smm", False) else ["-machine", "q35"]


def boot(run, args, image, vars_fd):
    """Runs QEMU until it stops, faults, or runs out of time."""
    w = run.workdir
    debug_log = os.path.join(w, "debug.log")
    pid_file = os.path.join(w, "qemu.pid")
    cmd = ["timeout", "--kill-after=5", str(wall_limit(args.timeout) + 10), args.qemu, "-pidfile", pid_file,
           *machine_args(args), "-cpu", "qemu64", "-m", "256", "-nodefaults", "-display", "none",
           "-drive", "if=pflash,format=raw,readonly=on,file=" + args.ovmf_code,
           "-drive", "if=pflash,format=raw,file=" + vars_fd,
           "-drive", "format=raw,file=" + image,
           "-chardev", "stdio,id=serial,signal=off,logfile=" + os.path.join(w, "serial.log"),
           "-serial", "chardev:serial",
           "-debugcon", "file:" + debug_log, "-global", "isa-debugcon.iobase=0x402",
           "-device", "isa-debug-exit,iobase=0xf4,iosize=0x04"]
    for port in CAPTURED_PORTS:
        readback = run.scenario.ec_readback if port in (0x62, 0x66) else 0xFF
        cmd += ["-chardev", "file,id=port%x,path=%s" % (port, os.path.join(w, "port%02x.bin" % port)),
                "-device", "isa-debugcon,iobase=0x%x,chardev=port%x,readback=0x%x" % (port, port, readback)]
    with open(os.path.join(w, "qemu.cmd"), "w") as f:
        f.write(" ".join(cmd) + "\n")

    start = time.monotonic()
    # Its own process group, so that stopping the run stops QEMU too and not
    # only the timeout wrapper.
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            start_new_session=True)
    os.set_blocking(proc.stdout.fileno(), False)
    sel = selectors.DefaultSelector()
    sel.register(proc.stdout, selectors.EVENT_READ)
    serial = bytearray()
    countdowns_answered = 0
    debug_pos = 0
    pending = b""
    boot_number = 0
    exception_at = None
    qemu_pid = None
    cpu = 0.0

    def read_debug():
        nonlocal debug_pos, pending, boot_number
        try:
            with open(debug_log, "rb") as f:
                f.seek(debug_pos)
                chunk = f.read()
        except FileNotFoundError:
            return
        debug_pos += len(chunk)
        pending += chunk
        while b"\n" in pending:
            raw, pending = pending.split(b"\n", 1)
            text = raw.decode("ascii", "replace").rstrip("\r")
            if not text.startswith("FWT "):
                continue
            text = text[4:]
            m = re.match(r"boot (\d+) ", text)
            if m:
                boot_number = int(m.group(1))
            run.lines.append((cpu, boot_number, text))

    while True:
        now = time.monotonic()
        if qemu_pid is None:
            try:
                with open(pid_file) as f:
                    qemu_pid = int(f.read().strip())
            except (OSError, ValueError):
                pass
        if qemu_pid is not None:
            cpu = processor_seconds(qemu_pid) or cpu
        if cpu > args.timeout:
            run.timed_out = "processor"
            break
        if now - start > wall_limit(args.timeout):
            run.timed_out = "wall"
            break
        if exception_at is not None and now - exception_at > 1.0:
            break  # the register dump has had its time; the machine hangs now
        for _key, _ in sel.select(timeout=0.05):
            try:
                data = os.read(proc.stdout.fileno(), 65536)
            except BlockingIOError:
                data = b""
            if data:
                serial += data
        read_debug()
        if exception_at is None and EXCEPTION_TEXT in serial:
            exception_at = time.monotonic()
        # Answer each shell countdown with a key so startup.nsh runs at once.
        if countdowns_answered < serial.count(COUNTDOWN_TEXT):
            try:
                proc.stdin.write(b" ")
                proc.stdin.flush()
            except BrokenPipeError:
                pass
            countdowns_answered += 1
        if proc.poll() is not None:
            break
    if qemu_pid is not None:
        cpu = processor_seconds(qemu_pid) or cpu
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait()
    while True:
        try:
            rest = os.read(proc.stdout.fileno(), 65536)
        except BlockingIOError:
            break
        if not rest:
            break
        serial += rest
    read_debug()
    run.elapsed = time.monotonic() - start
    run.cpu = cpu
    run.status = proc.returncode
    run.serial = ANSI_RE.sub("", serial.decode("ascii", "replace"))
    if exception_at is not None:
        i = run.serial.find(EXCEPTION_TEXT.decode())
        run.exception = run.serial[i:i + 600]
    for port in CAPTURED_PORTS:
        path = os.path.join(w, "port%02x.bin" % port)
        run.ports[port] = open(path, "rb").read() if os.path.exists(path) else b""
    os.set_blocking(proc.stderr.fileno(), False)
    try:
        err = (os.read(proc.stderr.fileno(), 65536) or b"").decode("utf-8", "replace").strip()
    except BlockingIOError:
        err = ""
    if err and run.status not in (0, 2 * EXIT_DONE + 1):
        run.note("qemu stderr: " + err[-500:])


def check_run_end(run):
    """The generic verdict: how the machine stopped."""
    last = run.lines[-1][2] if run.lines else "(none)"
    boots = max([b for _, b, _ in run.lines] or [0])
    if run.exception:
        run.fail("the firmware reported a CPU exception in boot %d after test line %r:\n    %s"
                 % (boots, last, run.exception.replace("\n", "\n    ")))
        return False
    if run.timed_out == "processor":
        run.fail("timed out after %d s of QEMU processor time in boot %d; last test line %r (the driver or the "
                 "firmware hangs)" % (run.scenario.timeout, boots, last))
        return False
    if run.timed_out:
        run.fail("timed out after %d s wall time with %.1f s of QEMU processor time in boot %d; last test line %r "
                 "(the guest halts)" % (wall_limit(run.scenario.timeout), run.cpu, boots, last))
        return False
    if run.status == 2 * EXIT_DONE + 1:
        if boots != len(run.scenario.phases):
            run.fail("the script ended in boot %d; the scenario has %d boots" % (boots, len(run.scenario.phases)))
        return True
    if run.status == 2 * EXIT_NO_RESET + 1:
        run.fail("boot %d was expected to end in a platform reset, but the script went on after the driver: %r"
                 % (boots, last))
    elif run.status == 2 * EXIT_EXTRA_BOOT + 1:
        run.fail("the platform reset when it should not have: boot %d is beyond the scenario's %d"
                 % (boots, len(run.scenario.phases)))
    elif run.status == 0:
        run.fail("the machine powered off (a shutdown reset) in boot %d after test line %r" % (boots, last))
    else:
        run.fail("QEMU ended with status %s in boot %d after test line %r" % (run.status, boots, last))
    return False


def check_common(run):
    """Checks every scenario shares: helpers worked, the driver loaded cleanly."""
    for m in run.find(r"^error (.*)"):
        run.fail("a test helper reported an error: %s" % m.group(1))
    for m in run.find(r"^seed (\S+) \S+ status=(\S+)"):
        if m.group(2) != "0":
            run.fail("seeding %s failed with status 0x%s" % (m.group(1), m.group(2)))
    for m in run.find(r"^standin (\S+) status=(\S+)"):
        if m.group(2) != "0":
            run.fail("the platform stand-in could not start %s (status 0x%s)" % (m.group(1), m.group(2)))
    for m in run.find(r"^say standin-load=(\S+)"):
        if m.group(1) != "0x0":
            run.fail("loading the platform stand-in failed: %s" % m.group(1))
    returned = run.find(r"^say load=(\S+)")
    for m in returned:
        if m.group(1) != "0x0":
            run.fail("the shell's load of the driver image ended with %s (DriverEntry failed)" % m.group(1))
    results = run.driver_load_results()
    for r in results:
        if r.strip() != "Success":
            run.fail("the shell reports the driver image's entry point returned '%s'" % r.strip())
    if len(results) != len(returned):
        run.fail("the driver was loaded %d times but the shell reported %d results" % (len(returned), len(results)))



def verdict(run, scenario, expect_failure, work):
    """Prints PASS or FAIL for a run and returns the exit status. With
    `expect_failure` (a regular expression) the run must fail for that reason."""
    if expect_failure:
        reasons = "\n".join(run.failures)
        if not run.failures:
            print("FAIL %s: expected the run to fail (/%s/), but it passed" % (scenario, expect_failure))
            return 1
        if not re.search(expect_failure, reasons):
            print("FAIL %s: the run failed, but not for the expected reason /%s/:\n  %s"
                  % (scenario, expect_failure, reasons.replace("\n", "\n  ")))
            return 1
        print("PASS %s: the run failed as expected:\n  %s" % (scenario, reasons.replace("\n", "\n  ")))
        return 0
    if run.failures:
        print("FAIL %s (logs in %s):" % (scenario, work))
        for f in run.failures:
            print("  - " + f)
        return 1
    print("PASS %s" % scenario)
    return 0

def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("scenario", help="one of: " + ", ".join(scenarios.SCENARIOS))
    ap.add_argument("--driver", required=True, help="the driver image to test")
    ap.add_argument("--helpers", required=True, help="directory of the test helper images")
    ap.add_argument("--work", required=True, help="scratch directory of this run (emptied first)")
    ap.add_argument("--qemu", required=True)
    ap.add_argument("--ovmf-code", required=True)
    ap.add_argument("--ovmf-vars", required=True)
    ap.add_argument("--timeout", type=int,
                    help="QEMU processor seconds for the whole run (default: the scenario's)")
    ap.add_argument("--expect-failure", metavar="REGEX",
                    help="self-test: pass only if the run fails with a reason matching REGEX")
    args = ap.parse_args()

    try:
        scenario = scenarios.SCENARIOS[args.scenario]
    except KeyError:
        print("fwtest: unknown scenario %r" % args.scenario, file=sys.stderr)
        return 2
    if args.timeout is None:
        args.timeout = scenario.timeout
    else:
        scenario.timeout = args.timeout

    missing = []
    if not args.qemu or args.qemu.endswith("NOTFOUND") or shutil.which(args.qemu) is None:
        missing.append("qemu-system-x86_64 (package qemu-system-x86)")
    for path, what in ((args.ovmf_code, "OVMF_CODE_4M.fd"), (args.ovmf_vars, "OVMF_VARS_4M.fd")):
        if not os.path.isfile(path):
            missing.append("%s at %s (package ovmf)" % (what, path))
    for tool in ("mformat", "mcopy"):
        if shutil.which(tool) is None:
            missing.append("%s (package mtools)" % tool)
    if shutil.which("timeout") is None:
        missing.append("timeout (package coreutils)")
    helper_names = ("fwctl.efi", "seed.efi", "dumpvars.efi", "eod.efi", "s3ctl.efi", "flashprobe.efi", "hiiread.efi",
                    "standin.efi")
    for f in [args.driver] + [os.path.join(args.helpers, h) for h in helper_names]:
        if not os.path.isfile(f):
            missing.append("%s (build it first)" % f)
    if missing:
        print("FAIL %s: the firmware test cannot run; missing:\n  %s" % (args.scenario, "\n  ".join(missing)))
        return 2

    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    files = [(args.driver, "BootCtlDxe.efi")] + [(os.path.join(args.helpers, h), h) for h in helper_names]
    image = make_disk(args.work, files, startup_script(scenario))
    vars_fd = os.path.join(args.work, "vars.fd")
    shutil.copyfile(args.ovmf_vars, vars_fd)

    run = Run(scenario, args.work)
    boot(run, args, image, vars_fd)
    with open(os.path.join(args.work, "fwt.log"), "w") as f:
        for t, b, text in run.lines:
            f.write("%7.2f boot%d %s\n" % (t, b, text))
    if check_run_end(run):
        check_common(run)
        try:
            scenario.check(run)
        except Exception as e:  # a check that cannot read its evidence fails the run
            run.fail("check raised %s: %s" % (type(e).__name__, e))
    elif not run.exception:
        check_common(run)

    boot_times = []
    for b in range(1, len(scenario.phases) + 2):
        t = run.time_of(r"^boot %d " % b)
        if t is not None:
            boot_times.append("boot %d at %.1f s" % (b, t))
    print("%s: %.1f s wall time, %.1f s QEMU processor time (%s), QEMU status %s"
          % (args.scenario, run.elapsed, run.cpu, ", ".join(boot_times) or "no boot reached the script",
             run.status))
    for n in run.notes:
        print("  note: " + n)
    return verdict(run, args.scenario, args.expect_failure, args.work)


if __name__ == "__main__":
    sys.exit(main())
