#!/usr/bin/env python3
"""The driver as OVMF's DXE dispatcher runs it: from a firmware file in the
DXE volume, not loaded from the shell.

    dispatch.py images --ffspack P --driver EFI --driver-ffs FFS --standin EFI
                       --ovmf-code CODE --out DIR
        writes DIR/dispatch.fd (OVMF with the stand-in and BootCtlDxe.ffs in
        its DXE volume) and DIR/missing.fd (the stand-in, and the driver
        waiting also for a protocol that no module installs)

    dispatch.py run SCENARIO --images DIR --firmware dispatch|missing
                    --helpers DIR --qemu Q --ovmf-vars VARS --work DIR
                    [--expect-failure REGEX]
        boots it, as fwtest.py does, and checks the scenario

Order: the stand-in publishes what the driver finds at load (platform hook,
purge marker, debug messages, PCD answers), so it must start first. Its file
in dispatch.fd has the expression BEFORE {BootCtlDxe's file}: the dispatcher
starts it immediately before the driver, whenever the driver's own
expression comes true, and the driver's expression names nothing of the
stand-in's. In missing.fd the stand-in waits for the driver's own protocol
list instead (BEFORE a driver that is never scheduled would never start it),
so it still starts and reports.

The boot manager's own output goes to the serial console ("BdsDxe: starting
Boot0001 ..."); OVMF's release build writes nothing of its own to the debug
console. On the debug console the stand-in's and the driver's lines of the
DXE phase come before the lines of the shell, which the boot manager starts
as a boot option; between them stand the platform's ready-to-lock and
ready-to-boot, which the driver's notifications answer. A boot whose DXE
phase ends in the driver's reset never reaches the shell, so the runner's
boot counter (kept by the shell) counts shell boots; the checks here count
DXE phases by the stand-in's start line instead.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import uuid

import fwtest
import ovmfvol
import scenarios
from scenarios import Phase, Scenario, dump, var

BOOTCTL_FILE = "F8035659-178C-41FF-8E0D-EA928C53DB3A"
STANDIN_FILE = "9CD04890-5B3C-438C-A5B0-D9A051A8AC8B"
# A protocol GUID that no module of OVMF installs.
NEVER_INSTALLED = "34802FFE-A064-4277-BDFA-2B91F579CA97"
MONOTONIC_COUNTER_GUID = "EB704011-1402-11D3-8E77-00A0C969723B"

STANDIN_START = r"^standin reset-watch status="
CHAIN_FIRST = r"^locate smbus-hc status="
CHAIN_LAST = r"^locate platform-hook status=0$"
READY_TO_LOCK = r"^protocol installed=dxe-smm-ready-to-lock "
READY_TO_BOOT_CLOSE = r"^dbg level=%s ChipsetS3SaveCloseTableCallBack$" % scenarios.S3_LEVEL
SHELL_BOOT = r"^boot \d+ status="
BOOT_OPTION_STARTED = re.compile(r"BdsDxe: starting Boot[0-9A-F]{4}")


# ------------------------------------------------------------ firmware files
def depex_of(ffs):
    """The dependency expression of a firmware file, as a list of
    (opcode name, GUID or None)."""
    size = int.from_bytes(ffs[20:23], "little")
    for off, hlen, stype, ssize in ovmfvol.sections(ffs[24:size], "firmware file"):
        if stype != 0x13:
            continue
        code = ffs[24 + off + hlen:24 + off + ssize]
        ops, i = [], 0
        names = {0: "BEFORE", 1: "AFTER", 2: "PUSH", 3: "AND", 4: "OR", 5: "NOT", 6: "TRUE", 7: "FALSE",
                 8: "END", 9: "SOR"}
        while i < len(code):
            op = code[i]
            if op not in names:
                raise ovmfvol.LayoutError("dependency expression: opcode 0x%02X at %d" % (op, i))
            if op in (0, 1, 2):
                ops.append((names[op], str(uuid.UUID(bytes_le=bytes(code[i + 1:i + 17]))).upper()))
                i += 17
            else:
                ops.append((names[op], None))
                i += 1
            if op == 8:
                break
        return ops
    return []


def make_images(args):
    os.makedirs(args.out, exist_ok=True)

    def ffspack(image, out, *extra):
        subprocess.run([args.ffspack, image, out, *extra], check=True, stdout=subprocess.DEVNULL)
        with open(out, "rb") as f:
            return f.read()

    with open(args.driver_ffs, "rb") as f:
        driver = f.read()
    with open(args.ovmf_code, "rb") as f:
        code = f.read()
    if args.kind == "smm":
        # OVMF's SMM build with the stand-in that records a boot script.
        standin = ffspack(args.standin, os.path.join(args.out, "standin-smm.ffs"), "--guid", STANDIN_FILE,
                          "--name", "FwTestStandin", "--before", BOOTCTL_FILE)
        shutil.copyfile(args.driver_ffs, os.path.join(args.out, "smm-driver.ffs"))
        builds = [("smm", [("stand-in", standin), ("BootCtlDxe.ffs", driver)])]
        return write_images(args, code, builds)
    standin_before = ffspack(args.standin, os.path.join(args.out, "standin-before.ffs"), "--guid", STANDIN_FILE,
                             "--name", "FwTestStandin", "--before", BOOTCTL_FILE)
    standin_all = ffspack(args.standin, os.path.join(args.out, "standin-all.ffs"), "--guid", STANDIN_FILE,
                          "--name", "FwTestStandin")
    waits = ffspack(args.driver, os.path.join(args.out, "missing-driver.ffs"), "--also", NEVER_INSTALLED)
    shutil.copyfile(args.driver_ffs, os.path.join(args.out, "dispatch-driver.ffs"))
    builds = [("dispatch", [("stand-in", standin_before), ("BootCtlDxe.ffs", driver)]),
              ("missing", [("stand-in", standin_all), ("BootCtlDxe waiting", waits)])]
    return write_images(args, code, builds)


def write_images(args, code, builds):
    """Writes NAME.fd for each (NAME, [(what, file bytes)...])."""
    for name, files in builds:
        try:
            image, placed = ovmfvol.patch(code, files)
        except ovmfvol.LayoutError as e:
            print("FAIL: %s: layout not known: %s" % (args.ovmf_code, e))
            return 1
        with open(os.path.join(args.out, name + ".fd"), "wb") as f:
            f.write(image)
        print("%s.fd: %s" % (name, ", ".join("%s at 0x%X" % (n, at) for (n, _), (_, at) in zip(files, placed))))
    return 0


# ------------------------------------------------------------------ checks
def dxe_phases(run):
    """The lines of each DXE phase, counted from 1: a phase starts with the
    stand-in's first line and runs to the next one (shell lines included)."""
    phases = [[]]
    for _, _, text in run.lines:
        if re.search(STANDIN_START, text):
            phases.append([])
        phases[-1].append(text)
    return phases


def first(lines, pattern, start=0):
    rx = re.compile(pattern)
    for i in range(start, len(lines)):
        if rx.search(lines[i]):
            return i
    return None


def expect_dispatched(run, phase, number):
    """The stand-in, then the driver's whole constructor chain, in this DXE
    phase, before any shell line. False (with the reason) if the driver never
    ran."""
    where = "DXE phase %d" % number
    if first(phase, STANDIN_START) is None:
        run.fail("%s: the stand-in never started, so neither did the driver it is dispatched before" % where)
        return False
    chain = first(phase, CHAIN_FIRST)
    if chain is None:
        waits = [g for op, g in run.depex if op == "PUSH"]
        missing = [g for g in waits if run.find(r"^installed depex %s no$" % g)]
        if missing:
            run.fail("%s: BootCtlDxe was never dispatched: its dependency expression waits for %s, not installed"
                     " when the shell ran" % (where, ", ".join(missing)))
        else:
            run.fail("%s: BootCtlDxe was never dispatched (no constructor-chain trace after the stand-in)" % where)
        return False
    end = first(phase, CHAIN_LAST, chain)
    shell = first(phase, SHELL_BOOT)
    if end is None:
        run.fail("%s: the driver's constructor chain did not reach its last step (platform hook)" % where)
        return False
    if shell is not None and shell < end:
        run.fail("%s: the shell ran before the driver's constructor chain ended" % where)
    return True


def expect_all_installed(run):
    for op, g in run.depex:
        if op == "PUSH" and not run.find(r"^installed depex %s yes$" % g):
            run.fail("protocol %s of the dependency expression is not installed when the shell runs" % g)


def depex_command(depex):
    guids = [g for op, g in depex if op == "PUSH"]
    return "protocols.efi depex " + " ".join(guids) if guids else "fwctl.efi say no-depex"


# One boot: the driver starts from the volume before the boot manager, its
# constructor chain runs as it does from the shell, the platform's own
# ready-to-lock seals the boot-script and chipset records and its ready-to-boot
# closes the chipset table and hands it over. The shell then shows what the
# S3 libraries left and that the first-boot marker was created.
def dispatched_phases(depex):
    return [Phase(["s3ctl.efi dump booted", depex_command(depex), dump("after", "ZKFirstBoot:bc")])]


def one_dispatched_phase(run):
    """The lines of the run's only DXE phase, in which the driver was
    dispatched; None (the run failed) otherwise."""
    phases = dxe_phases(run)
    if len(phases) != 2:
        run.fail("expected one DXE phase, found %d" % (len(phases) - 1))
        return None
    return phases[1] if expect_dispatched(run, phases[1], 1) else None


def check_dispatched(run):
    phase = one_dispatched_phase(run)
    if phase is None:
        return
    expect_all_installed(run)
    order = [STANDIN_START, r"^standin watching=", CHAIN_FIRST, CHAIN_LAST, READY_TO_LOCK, READY_TO_BOOT_CLOSE,
             SHELL_BOOT]
    at = 0
    for p in order:
        i = first(phase, p, at)
        if i is None:
            run.fail("dispatch order: no line /%s/ after %r" % (p, phase[at - 1] if at else "the start"))
            return
        at = i + 1
    # The chain as the shell-loaded tests see it, now at the dispatcher's
    # turn: before ready-to-lock, so both notifications are registered.
    chain = phase[first(phase, CHAIN_FIRST):first(phase, CHAIN_LAST) + 1]
    nf = scenarios.NOT_FOUND
    trace = scenarios.expect_trace(run, chain, [
        r"locate smbus-hc status=%s" % nf,
        r"locate smm-base2 status=%s" % nf,
        r"locate pcd status=0",
        r"pcd get bs-record=0",
        r"pcd set bs-record=([0-9A-F]+) status=0",
        r"locate dxe-smm-ready-to-lock status=%s" % nf,
        r"locate smm-base2 status=%s" % nf,
        r"pcd get cs-record=0",
        r"dbg level=%s ChipsetS3LibPrivateData allocation" % scenarios.S3_LEVEL,
        r"pcd set cs-record=([0-9A-F]+) status=0",
        r"locate dxe-smm-ready-to-lock status=%s" % nf,
        r"pcd get cs-table=0",
        r"pcd get cs-table-size=0",
        r"dbg level=%s ChipsetS3LibTableHeader buffer size = 0x4000" % scenarios.S3_LEVEL,
        r"pcd set cs-table=([0-9A-F]+) status=0",
        r"locate smm-base2 status=%s" % nf,
        r"locate list-anchor status=%s" % nf,
        r"protocol installed=list-anchor empty=1",
        r"locate heap-buffer-list status=%s" % nf,
        r"protocol installed=heap-buffer-list revision=1 empty=1",
        r"locate smm-base2 status=%s" % nf,
        r"locate smm-base2 status=%s" % nf,
        r"locate pointer-registry status=%s" % nf,
        r"locate pointer-registry status=%s" % nf,
        r"locate smm-base2 status=%s" % nf,
        r"pcd set flash-selector=12345678 status=0",
        r"locate platform-hook status=0",
    ], "the dispatched driver's constructor chain")
    if trace is None:
        return
    record = int(trace[9].group(1), 16)
    table = int(trace[14].group(1), 16)

    # The platform's ready-to-lock: three lock-box requests (no boot script
    # was recorded, so the table store is refused before it is sent), each
    # finding no SMM communication. The boot-script library's notification
    # runs at TPL_NOTIFY, so they come before the stand-in's own notification
    # of the install (TPL_CALLBACK), as they come before the platform's.
    lock = phase[first(phase, CHAIN_LAST):first(phase, READY_TO_LOCK)]
    requests = [t for t in lock if t == "locate smm-communication status=%s" % nf]
    if len(requests) != 3:
        run.fail("the platform's ready-to-lock: %d lock-box requests looked for SMM communication before the"
                 " TPL_CALLBACK notifications, expected 3" % len(requests))
    run.expect(READY_TO_LOCK, "the platform installs DXE SMM ready-to-lock once", count=1)
    run.expect(READY_TO_BOOT_CLOSE, "the chipset table is closed once, at the platform's ready-to-boot", count=1)

    bs = scenarios.s3_bytes(run, "booted", "bs-record", "boot-script record")
    if bs is not None and (len(bs) != 24 or bs[20] != 1):
        run.fail("the boot-script record is not locked after the platform's ready-to-lock: %s" % bs.hex(" "))
    scenarios.expect_bytes(run, scenarios.s3_bytes(run, "booted", "cs-record", "chipset record"),
                           bytes([1]) + bytes(7) + scenarios.le64(table),
                           "the chipset record is locked; TableClosed stays 0 without SMM")
    closed = scenarios.s3_table(run, "booted", "the closed table")
    if closed == "freed":
        run.fail("the chipset table was freed although nothing took it over")
    elif closed is not None:
        scenarios.expect_bytes(run, closed[2], bytes([0xFF, 0xFF, 0, 0]),
                               "the end marker FF FF at NextEntryOffset 0x30 after ready-to-boot")
    scenarios.expect_bytes(run, scenarios.s3_bytes(run, "booted", "comm", "comm buffer"),
                           scenarios.HANDOVER_GUID + scenarios.le64(16) + bytes([1, 0, 0, 0]) + bytes(4)
                           + scenarios.le64(record) + b"\xA5" * 24,
                           "the 40-byte hand-over at ready-to-boot: handler GUID, MessageLength 16, function 1, "
                           "the record's address")
    run.expect_var("after", "ZKFirstBoot", var(7, "00"), "the dispatched driver creates the first-boot marker")
    started = BOOT_OPTION_STARTED.findall(run.serial)
    if len(started) != 1:
        run.fail("the boot manager started %d boot options, expected 1 (the shell)" % len(started))


# A change-boot request seeded from the shell: at the next boot the
# dispatched driver takes it and warm-resets from its entry point, so that
# DXE phase reaches neither End-of-DXE, ready-to-lock nor the boot manager.
# The phase after it boots on to the shell with the request taken.
CHGBOOT_WATCH = ("Setup:setup", "ZKChgBoot:bc")


def change_boot_phases(depex):
    return [
        Phase(["seed.efi FwTestWatch:test:7:a" + ",".join(CHGBOOT_WATCH),
               "seed.efi ZKChgBoot:bc:7:0101 Setup:setup:7:p1024+92=01 BootNext:global:7:-",
               dump("before", *CHGBOOT_WATCH)]),
        Phase([dump("after", *CHGBOOT_WATCH, "ZKFirstBoot:bc")]),
    ]


def check_change_boot(run):
    phases = dxe_phases(run)
    if len(phases) != 4:
        run.fail("expected three DXE phases (seed, request taken, boot on), found %d" % (len(phases) - 1))
        return
    for n in (1, 2, 3):
        if not expect_dispatched(run, phases[n], n):
            return
    taken = phases[2]
    resets = [t for t in taken if t.startswith("reset ")]
    if len(resets) != 1 or not resets[0].startswith("reset type=warm "):
        run.fail("DXE phase 2: expected one warm reset, found %r" % resets)
        return
    at = first(taken, r"^reset type=warm ")
    if at < first(taken, CHAIN_LAST):
        run.fail("DXE phase 2: the reset came before the driver's constructor chain ended")
    for pattern, what in ((READY_TO_LOCK, "ready-to-lock"), (READY_TO_BOOT_CLOSE, "ready-to-boot"),
                          (SHELL_BOOT, "the shell")):
        if first(taken, pattern) is not None:
            run.fail("DXE phase 2: %s was reached although the driver reset from its entry point" % what)
    setup = scenarios.pattern(1024)
    setup[92] = 0x01
    run.expect_var("before", "Setup", var(7, setup.hex()), "Setup seeded with byte 92 set")
    setup[92] = 0x00
    run.expect_var("reset", "Setup", var(7, setup.hex()), "Setup saved with byte 92 cleared before the warm reset")
    run.expect_var("reset", "ZKChgBoot", var(7, "0001"), "the request is taken before the warm reset")
    run.expect_var("after", "Setup", var(7, setup.hex()), "the cleared byte 92 survives the reset")
    run.expect_var("after", "ZKChgBoot", var(7, "0001"), "the request stays taken")
    run.expect_port(0x72, bytes([0x61]), "CMOS index 0x61 selected once, in DXE phase 2")
    run.expect_port(0x73, bytes([0x01]), "CMOS 0x61 receives the mode 1 once")
    started = BOOT_OPTION_STARTED.findall(run.serial)
    if len(started) != 2:
        run.fail("the boot manager started %d boot options, expected 2 (the shell in DXE phases 1 and 3, none in"
                 " the phase the driver reset)" % len(started))


# End-of-DXE from the platform: the shell seeds a lid flag, an out-of-box
# counter of 3 and a taken request with mode 1; at the next boot the
# platform's own End-of-DXE signal runs the handler once before the boot
# manager starts the shell. With no EC every send gives up: the lid flag is
# still deleted and the counter counts down once, to 2; no BootNext.
EOD_WATCH = ("ZKSaveLidFlag:lid", "ZKOOBTest:oob", "BootNext:global", "ZKChgBoot:bc")


def end_of_dxe_phases(depex):
    return [
        Phase(["seed.efi ZKSaveLidFlag:lid:7:01 ZKOOBTest:oob:7:03 ZKChgBoot:bc:7:0001 BootNext:global:7:-",
               dump("before", *EOD_WATCH)]),
        Phase([dump("after", *EOD_WATCH)]),
    ]


def check_end_of_dxe(run):
    phases = dxe_phases(run)
    if len(phases) != 3:
        run.fail("expected two DXE phases, found %d" % (len(phases) - 1))
        return
    for n in (1, 2):
        if not expect_dispatched(run, phases[n], n):
            return
    run.expect_none(r"^eod ", "no helper signals End-of-DXE")
    run.expect_var("before", "ZKSaveLidFlag", var(7, "01"), "lid flag seeded")
    run.expect_var("before", "ZKOOBTest", var(7, "03"), "counter seeded")
    run.expect_var("after", "ZKSaveLidFlag", None, "the handler deleted the lid flag before the shell ran")
    run.expect_var("after", "ZKOOBTest", var(7, "02"),
                   "the handler ran once at the platform's End-of-DXE: the counter went from 3 to 2")
    run.expect_var("after", "BootNext", None, "no EC, so no power-off answer and no BootNext")
    run.expect_var("after", "ZKChgBoot", var(7, "0001"), "the handler leaves the request alone")
    # Between the two dumps lies a whole boot: OVMF's monotonic counter (MTC)
    # counts it, as it counts every boot.
    run.expect_store_changes("before", "after", {"ZKSaveLidFlag:lid": "deleted", "ZKOOBTest:oob": "changed",
                                                 "MTC:%s" % MONOTONIC_COUNTER_GUID: "changed"},
                             "the boot changes only the lid flag, the counter and the firmware's boot count")
    run.expect_none(r"^reset type=(?!cold)", "no reset but the shell's own")
    scenarios.expect_ports_quiet(run, (0x62, 0x66, 0x72, 0x73), "no EC answers and no request is pending")


# OVMF's SMM build: the same single boot, with SMRAM, the SMM base and
# communication protocols and an SMM lock box. The stand-in of this build
# gives the boot-script record a table at End-of-DXE and asks the lock box
# itself through the driver's client code (standin.cpp); what the driver asks
# and what the firmware answers is printed by the stand-in's copies of the
# two SMM interfaces it hands the driver.
LOCKBOX_HANDLER = uuid.UUID("2A3CFEBD-27E8-4D0A-8B79-D688C2A3E1C0").bytes_le
TABLE_BOX = uuid.UUID("AEA6B965-DCF5-4311-B4B8-0F12464494D2").bytes_le
ADDRESS_BOX = uuid.UUID("1810AB4A-2314-4DF6-81EB-67C6EC058591").bytes_le
ALL_ONES = b"\xFF" * 8
ACCESS_DENIED = "800000000000000F"
SMM_LOCKED = r"^lockbox table-after-lock "


def le64(value):
    return value.to_bytes(8, "little")


def le32(value):
    return value.to_bytes(4, "little")


def comm_calls(run, phase):
    """[(call line match, answer line match)] of the driver's Communicate
    calls in the phase, in order."""
    calls = []
    for i, text in enumerate(phase):
        m = re.fullmatch(r"comm call=(\d+) buffer=([0-9A-F]+) memtype=([0-9A-F]+) size=(\d+) data=([0-9A-F]*)", text)
        if not m:
            continue
        a = None
        for later in phase[i + 1:]:
            a = re.fullmatch(r"comm answer=%s status=([0-9A-F]+) size=(\d+) data=([0-9A-F]*)" % m.group(1), later)
            if a:
                break
        if a is None:
            run.fail("Communicate call %s has no answer line" % m.group(1))
            return None
        calls.append((m, a))
    return calls


def smm_phases(depex):
    return [Phase(["s3ctl.efi dump booted", dump("after", "ZKFirstBoot:bc")])]


def check_smm(run):
    phase = one_dispatched_phase(run)
    if phase is None:
        return
    run.expect(r"^standin platform smbus-hc=absent smm-base2=present smm-communication=present "
               r"dxe-smm-ready-to-lock=absent .* comm-region-table=absent$",
               "OVMF's SMM build has the SMM base and communication protocols, no region table, before the driver")

    # Load: the SMM base protocol is there; InSmm answers FALSE, so every
    # constructor takes its boot-time path; GetSmstLocation outside SMM
    # answers EFI_UNSUPPORTED and the boot-script constructor stops there.
    chain = phase[first(phase, CHAIN_FIRST):first(phase, CHAIN_LAST) + 1]
    nf = scenarios.NOT_FOUND
    in_smm = [r"locate smm-base2 status=0", r"smm-base2 in-smm status=0 answer=0"]
    expected = [r"locate smbus-hc status=%s" % nf] + in_smm + [
        r"locate pcd status=0",
        r"pcd get bs-record=0",
        r"pcd set bs-record=([0-9A-F]+) status=0",
        r"locate dxe-smm-ready-to-lock status=%s" % nf,
        r"locate smm-base2 status=0",
        r"pcd get bs-record=([0-9A-F]+)",
        r"locate smm-base2 status=0",
        r"smm-base2 get-smst status=8000000000000003 smst=null",
        r"pcd get cs-record=0",
        r"dbg level=%s ChipsetS3LibPrivateData allocation" % scenarios.S3_LEVEL,
        r"pcd set cs-record=([0-9A-F]+) status=0",
        r"locate dxe-smm-ready-to-lock status=%s" % nf,
        r"pcd get cs-table=0",
        r"pcd get cs-table-size=0",
        r"dbg level=%s ChipsetS3LibTableHeader buffer size = 0x4000" % scenarios.S3_LEVEL,
        r"pcd set cs-table=([0-9A-F]+) status=0"] + in_smm + [
        r"locate list-anchor status=%s" % nf,
        r"protocol installed=list-anchor empty=1",
        r"locate heap-buffer-list status=%s" % nf,
        r"protocol installed=heap-buffer-list revision=1 empty=1"] + in_smm + in_smm + [
        r"locate pointer-registry status=%s" % nf,
        r"locate pointer-registry status=%s" % nf] + in_smm + [
        r"pcd set flash-selector=12345678 status=0",
        r"locate platform-hook status=0"]
    kinds = scenarios.TRACE_KINDS + ("smm-base2 ",)
    trace = scenarios.expect_trace(run, chain, expected, "the constructor chain in OVMF's SMM build", kinds)
    if trace is None:
        return
    record = int(trace[5].group(1), 16)
    if int(trace[8].group(1), 16) != record:
        run.fail("the boot-script constructor read back another record than it published")
    chipset_record = int(trace[13].group(1), 16)
    script = run.find(r"^standin script table=([0-9A-F]+) length=20 status=0$")
    if len(script) != 1:
        run.fail("the stand-in did not give the record a script table at End-of-DXE")
        return
    table = int(script[0].group(1), 16)

    # The lock box before the lock, asked by the stand-in through the
    # driver's client code on a box of its own.
    for step, answer in (("store", "result=0 length=16"),
                         ("store-again", "result=8000000000000014 length=16"),  # EFI_ALREADY_STARTED
                         ("restore-short", "result=8000000000000005 length=16"),  # EFI_BUFFER_TOO_SMALL, box size
                         # without attribute 1 the box cannot be restored in place: EFI_WRITE_PROTECTED
                         ("restore-in-place", "result=8000000000000008 length=0 data=" + "EE" * 16),
                         ("set-attributes", "result=0 length=0"),
                         ("restore-in-place-attr1", "result=0 length=0 data=" + bytes(range(16)).hex().upper()),
                         ("restore-unknown", "result=%s length=4160" % nf)):
        run.expect(r"^lockbox %s %s$" % (step, answer), "the firmware's lock box before the lock: %s" % step,
                   count=1)

    # Ready-to-lock: the driver seals the table and sends four requests, all
    # in its stack frame (boot-services data, memory type 4) since OVMF
    # publishes no region table. The firmware's handler runs each (status
    # 0), answers Result 0 and overwrites Command with all ones.
    lock_at = first(phase, READY_TO_LOCK)
    seal = phase[first(phase, r"^standin script table="):first(phase, SMM_LOCKED)]
    calls = comm_calls(run, seal)
    if calls is None:
        return
    stores = [calls[i] for i in range(len(calls)) if i < 4]
    if len(calls) != 5:
        run.fail("expected 4 lock-box requests at ready-to-lock and the hand-over at ready-to-boot, found %d "
                 "Communicate calls" % len(calls))
        return
    run.expect(r"^comm-region-table absent$", "no PI SMM communication region table in OVMF", count=5)
    requests = [
        ("store of the table box", 72, 48, 1, TABLE_BOX, le64(table) + le64(4096)),
        ("set-attributes of the table box", 64, 40, 4, TABLE_BOX, le64(1)),
        ("store of the address box", 72, 48, 1, ADDRESS_BOX, le64(record) + le64(8)),
        ("set-attributes of the address box", 64, 40, 4, ADDRESS_BOX, le64(1)),
    ]
    for (call, answer), (what, size, length, command, box, tail) in zip(stores, requests):
        sent = bytes.fromhex(call.group(5))
        head = LOCKBOX_HANDLER + le64(length)
        scenarios.expect_bytes(run, sent, head + le32(command) + le32(length) + ALL_ONES + box + tail,
                               "ready-to-lock, %s as sent" % what)
        if call.group(3) != "4" or int(call.group(4)) != size:
            run.fail("ready-to-lock, %s: buffer of memory type %s and size %s, expected the stack (type 4) and %d"
                     % (what, call.group(3), call.group(4), size))
        if answer.group(1) != "0":
            run.fail("ready-to-lock, %s: Communicate returned %s" % (what, answer.group(1)))
        scenarios.expect_bytes(run, bytes.fromhex(answer.group(3)),
                               head + b"\xFF" * 4 + le32(length) + bytes(8) + box + tail,
                               "ready-to-lock, %s as the firmware answered (Result 0, Command all ones)" % what)
    # The driver's requests come before the platform's own ready-to-lock
    # notification locks SMM, and the stand-in's round trip after them.
    if lock_at is None or first(phase, r"^lockbox table ") is None:
        run.fail("no round trip at ready-to-lock")
        return

    # The round trip: what the driver stored restores byte for byte.
    sealed = scenarios.pattern(4096)
    sealed[0x20:0x23] = b"\xFF\x00\x03"
    sealed[5:9] = le32(0x23)
    run.expect(r"^lockbox table result=0 length=4096$", "the table box restores 4096 bytes", count=1)
    parts = run.find(r"^lockbox table-bytes part=(\d) data=([0-9A-F]+)$")
    restored = b"".join(bytes.fromhex(m.group(2)) for m in sorted(parts, key=lambda m: m.group(1)))
    scenarios.expect_bytes(run, restored, bytes(sealed),
                           "the restored table: the script page with the terminator FF 00 03 at 0x20 and 0x23 at 5")
    run.expect(r"^lockbox table-in-place result=0 same=1$", "the table box restored in place over a zeroed table",
               count=1)
    run.expect(r"^lockbox address result=0 length=8 data=%s$" % le64(table).hex().upper(),
               "the address box restores the table's address", count=1)

    # After the platform locked SMM (ready-to-boot): the client's stack
    # buffer is refused (Result stays all ones); a request in runtime
    # memory still restores the table, and nothing new can be stored.
    run.expect(r"^lockbox table-after-lock result=FFFFFFFFFFFFFFFF length=4160$",
               "after the lock the client's stack buffer is refused", count=1)
    run.expect(r"^lockbox store-after-lock result=FFFFFFFFFFFFFFFF length=16$",
               "after the lock no store from the stack", count=1)
    run.expect(r"^lockbox table-after-lock-runtime status=0 result=0 same=1$",
               "after the lock a restore in runtime memory still works", count=1)

    # Ready-to-boot: the chipset hand-over goes to a handler OVMF lacks; the
    # firmware answers EFI_NOT_FOUND and leaves the buffer as it was.
    call, answer = calls[4]
    message = scenarios.HANDOVER_GUID + le64(16) + le32(1) + bytes(4) + le64(chipset_record)
    scenarios.expect_bytes(run, bytes.fromhex(call.group(5)), message, "the 40-byte hand-over as sent")
    if call.group(3) != "6" or call.group(4) != "40":
        run.fail("the hand-over: memory type %s, size %s; expected the comm buffer (type 6) and 40"
                 % (call.group(3), call.group(4)))
    if answer.group(1) != nf or answer.group(2) != "40":
        run.fail("the hand-over was answered %s (size %s), expected EFI_NOT_FOUND" % (answer.group(1), answer.group(2)))
    scenarios.expect_bytes(run, bytes.fromhex(answer.group(3)), message, "the hand-over buffer after the answer")
    run.expect(READY_TO_BOOT_CLOSE, "the chipset table is closed once", count=1)

    # Nothing broke: the records are as sealed, the boot went on.
    bs = scenarios.s3_bytes(run, "booted", "bs-record", "boot-script record")
    scenarios.expect_bytes(run, bs, le64(table) + le32(0x20) + bytes([1, 0, 0, 0]) + bytes(4) + bytes([1]) + bytes(3),
                           "the boot-script record: the table, length 0x20, one page, Locked 1")
    scenarios.expect_bytes(run, scenarios.s3_bytes(run, "booted", "script", "script"), bytes(sealed[:0x28]),
                           "the table in memory after the boot")
    cs = scenarios.s3_bytes(run, "booted", "cs-record", "chipset record")
    scenarios.expect_bytes(run, cs, bytes([1, 1]) + bytes(6) + le64(int(trace[18].group(1), 16)),
                           "the chipset record: Locked, TableClosed after the hand-over")
    run.expect_var("after", "ZKFirstBoot", var(7, "00"), "the driver creates the first-boot marker")
    started = BOOT_OPTION_STARTED.findall(run.serial)
    if len(started) != 1:
        run.fail("the boot manager started %d boot options, expected 1 (the shell)" % len(started))


SCENARIOS = {
    "smm": (smm_phases, check_smm, 60),
    "dispatched": (dispatched_phases, check_dispatched, 60),
    "change_boot": (change_boot_phases, check_change_boot, 90),
    "end_of_dxe": (end_of_dxe_phases, check_end_of_dxe, 90),
}


def run_scenario(args):
    make_phases, check, timeout = SCENARIOS[args.scenario]
    code = os.path.join(args.images, args.firmware + ".fd")
    driver_ffs = os.path.join(args.images, args.firmware + "-driver.ffs")
    missing = []
    if shutil.which(args.qemu or "") is None:
        missing.append("qemu-system-x86_64 (package qemu-system-x86)")
    for path in (code, driver_ffs, args.ovmf_vars):
        if not os.path.isfile(path):
            missing.append(path)
    helper_names = ("fwctl.efi", "seed.efi", "dumpvars.efi", "s3ctl.efi", "protocols.efi")
    for h in helper_names:
        if not os.path.isfile(os.path.join(args.helpers, h)):
            missing.append(os.path.join(args.helpers, h) + " (build it first)")
    for tool in ("mformat", "mcopy", "timeout"):
        if shutil.which(tool) is None:
            missing.append(tool)
    if missing:
        print("FAIL %s: the dispatch test cannot run; missing:\n  %s" % (args.scenario, "\n  ".join(missing)))
        return 2
    with open(driver_ffs, "rb") as f:
        depex = depex_of(f.read())

    scenario = Scenario(args.scenario, make_phases(depex), check, timeout=args.timeout or timeout)
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    files = [(os.path.join(args.helpers, h), h) for h in helper_names]
    image = fwtest.make_disk(args.work, files, fwtest.startup_script(scenario))
    vars_fd = os.path.join(args.work, "vars.fd")
    shutil.copyfile(args.ovmf_vars, vars_fd)

    run = fwtest.Run(scenario, args.work)
    run.depex = depex
    boot_args = argparse.Namespace(qemu=args.qemu, ovmf_code=code, timeout=scenario.timeout, smm=args.smm)
    fwtest.boot(run, boot_args, image, vars_fd)
    with open(os.path.join(args.work, "fwt.log"), "w") as f:
        for t, b, text in run.lines:
            f.write("%7.2f shell-boot%d %s\n" % (t, b, text))
    if fwtest.check_run_end(run):
        fwtest.check_common(run)
        try:
            scenario.check(run)
        except Exception as e:  # a check that cannot read its evidence fails the run
            run.fail("check raised %s: %s" % (type(e).__name__, e))

    print("%s on %s.fd: %.1f s wall time, %.1f s QEMU processor time, %d DXE phase(s), QEMU status %s"
          % (args.scenario, args.firmware, run.elapsed, run.cpu, len(dxe_phases(run)) - 1, run.status))
    print("  dependency expression: " + " ".join(op if g is None else "%s %s" % (op, g) for op, g in depex))
    for n in run.notes:
        print("  note: " + n)
    return fwtest.verdict(run, args.scenario, args.expect_failure, args.work)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = ap.add_subparsers(dest="command", required=True)
    im = sub.add_parser("images", help="build the firmware images")
    im.add_argument("--ffspack", required=True)
    im.add_argument("--driver", required=True, help="BootCtlDxe.efi")
    im.add_argument("--driver-ffs", required=True, help="BootCtlDxe.ffs as the build made it")
    im.add_argument("--standin", required=True, help="standin.efi")
    im.add_argument("--ovmf-code", required=True)
    im.add_argument("--out", required=True)
    im.add_argument("--kind", choices=("plain", "smm"), default="plain",
                    help="plain: dispatch.fd and missing.fd; smm: smm.fd, from OVMF's SMM build")
    rn = sub.add_parser("run", help="boot one scenario")
    rn.add_argument("scenario", choices=sorted(SCENARIOS))
    rn.add_argument("--images", required=True)
    rn.add_argument("--firmware", choices=("dispatch", "missing", "smm"), default="dispatch")
    rn.add_argument("--helpers", required=True)
    rn.add_argument("--qemu", required=True)
    rn.add_argument("--ovmf-vars", required=True)
    rn.add_argument("--work", required=True)
    rn.add_argument("--timeout", type=int)
    rn.add_argument("--smm", action="store_true", help="boot the machine OVMF's SMM build needs")
    rn.add_argument("--expect-failure", metavar="REGEX")
    args = ap.parse_args()
    if args.command == "images":
        return make_images(args)
    return run_scenario(args)


if __name__ == "__main__":
    sys.exit(main())
