#!/usr/bin/env python3
"""Round trips between a real Linux system and the dispatched driver.

    guest.py images --debs DIR (--zkboot-deb DEB | --zkboot-root DIR)
                    --ffspack P --driver-ffs FFS --standin EFI --oemplat EFI
                    --ovmf-code CODE --ovmf-code-smm CODE --out DIR
        builds the guest systems, the disks and the firmware images (OVMF
        and OVMF's SMM build) once

    guest.py run SCENARIO --images DIR --qemu Q --ovmf-vars VARS --work DIR
        boots the machine and runs one scenario (see SCENARIOS)

Linux writes a request through efivarfs with zkboot (the files of zkboot's
Debian package), zkboot predicts the next boot by running the driver's own
code on a copy of the variables, the guest reboots, and the test compares
the prediction with what the firmware did: CMOS and EC bytes, resets seen by
the stand-in, the boot option the boot manager started, the variables Linux
finds afterwards. Exit status: 0 passed, 1 failed, 2 could not run.
"""

import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "firmware"))
import guestfs  # noqa: E402
import ovmfvol  # noqa: E402
from machine import GuestError, Machine  # noqa: E402

BOOTCTL_FILE = "F8035659-178C-41FF-8E0D-EA928C53DB3A"
STANDIN_FILE = "9CD04890-5B3C-438C-A5B0-D9A051A8AC8B"
OEMPLAT_FILE = "3C1E8D52-6B0A-4F7E-9A51-2E7C04D1B9A3"
CMDLINE = "console=ttyS0 quiet panic=-1"

GLOBAL = "8be4df61-93ca-11d2-aa0d-00e098032b8c"
BOOTCTL = "99165095-035d-44cc-9234-db41d2d3e959"
LID = "99165095-035d-44cc-9234-db41d2d359e9"
OOB = "259c170f-0fc4-4fe1-bc23-b0b80700725e"
SETUP = "a04a27f4-df00-4d42-b552-39511302113d"
EFIVARS = "/sys/firmware/efi/efivars"

STANDIN_START = "standin reset-watch status="
# The boot manager's attempts, in order: "starting" an image it loaded, or
# "failed to load" one (a network boot that found no boot file).
ATTEMPT = re.compile(r'BdsDxe: (starting|failed to load) (Boot[0-9A-F]{4}) "([^"]*)"')


# ------------------------------------------------------------------ images
def make_images(args):
    out = args.out
    os.makedirs(out, exist_ok=True)
    debs = guestfs.find_debs(args.debs)
    root = os.path.join(out, "root")
    kernel, version = guestfs.unpack(debs, root)
    zkroot = os.path.join(out, "zkboot-root")
    shutil.rmtree(zkroot, ignore_errors=True)
    if args.zkboot_deb:
        os.makedirs(zkroot)
        debs_found = sorted(glob.glob(args.zkboot_deb))
        if len(debs_found) != 1:
            raise guestfs.BuildError("zkboot package %s: %d found, expected 1" % (args.zkboot_deb, len(debs_found)))
        subprocess.run(["dpkg-deb", "-x", debs_found[0], zkroot], check=True)
    else:
        shutil.copytree(args.zkboot_root, zkroot, symlinks=True)
    with open(os.path.join(HERE, "init.sh")) as f:
        init = f.read()
    lib_dirs = [os.path.join(root, "lib", "x86_64-linux-gnu"), os.path.join(root, "usr", "lib", "x86_64-linux-gnu")]
    stub = os.path.join(root, "usr", "lib", "systemd", "boot", "efi", "linuxx64.efi.stub")
    for system in ("disk", "usb"):
        initrd = os.path.join(out, "initrd-" + system)
        with open(initrd, "wb") as f:
            f.write(guestfs.initramfs(root, version, zkroot, init, system, lib_dirs))
        guestfs.uki(stub, kernel, initrd, CMDLINE, os.path.join(out, system + ".efi"))
    state = os.path.join(out, "state")
    os.makedirs(state, exist_ok=True)
    guestfs.esp_disk(os.path.join(out, "hd.img"), [(os.path.join(out, "disk.efi"), "EFI/BOOT/BOOTX64.EFI")], 64,
                     0x5A4B0001, state, 8)
    guestfs.esp_disk(os.path.join(out, "usb.img"), [(os.path.join(out, "usb.efi"), "EFI/BOOT/BOOTX64.EFI")], 40,
                     0x5A4B0002)

    def ffspack(image, name, guid):
        path = os.path.join(out, name + ".ffs")
        subprocess.run([args.ffspack, image, path, "--guid", guid, "--name", name, "--before", BOOTCTL_FILE],
                       check=True, stdout=subprocess.DEVNULL)
        with open(path, "rb") as f:
            return f.read()

    files = [("stand-in", ffspack(args.standin, "FwTestStandin", STANDIN_FILE)),
             ("OEM platform", ffspack(args.oemplat, "OemPlatform", OEMPLAT_FILE))]
    with open(args.driver_ffs, "rb") as f:
        files.append(("BootCtlDxe.ffs", f.read()))
    for name, path in (("guest.fd", args.ovmf_code), ("guest-smm.fd", args.ovmf_code_smm)):
        with open(path, "rb") as f:
            code = f.read()
        image, placed = ovmfvol.patch(code, files)
        with open(os.path.join(out, name), "wb") as f:
            f.write(image)
        print("%s: %s" % (name, ", ".join("%s at 0x%X" % (n, at) for (n, _), (_, at) in zip(files, placed))))
    print("kernel %s; UKI %d bytes; initramfs %d bytes" % (version, os.path.getsize(os.path.join(out, "disk.efi")),
                                                           os.path.getsize(os.path.join(out, "initrd-disk"))))
    shutil.rmtree(root)
    return 0


# ------------------------------------------------------------------ a run
class Check:
    """Collects failures; a run passes when there are none."""

    def __init__(self):
        self.failures = []

    def fail(self, text):
        self.failures.append(text)
        print("  FAIL: " + text)

    def equal(self, actual, expected, what):
        if actual != expected:
            self.fail("%s: got %r, expected %r" % (what, actual, expected))
            return False
        print("  ok: %s: %r" % (what, actual))
        return True

    def true(self, cond, what, detail=""):
        if not cond:
            self.fail(what + (": " + detail if detail else ""))
            return False
        print("  ok: " + what)
        return True


class Guest:
    def __init__(self, machine, check):
        self.m = machine
        self.c = check

    def var(self, name, guid):
        """(attributes, data) of a variable as efivarfs shows it, or None."""
        path = "%s/%s-%s" % (EFIVARS, name, guid)
        rc, out = self.m.run("[ -e %s ] && od -An -tx1 -v %s" % (path, path), check=False)
        if rc != 0:
            return None
        raw = bytes.fromhex("".join(out.split()))
        if not raw:
            return None  # the empty file a refused write leaves: no variable
        return int.from_bytes(raw[:4], "little"), raw[4:]

    def status(self):
        _, out = self.m.run("zkboot status --json")
        return json.loads(out)

    def boot_current(self):
        v = self.var("BootCurrent", GLOBAL)
        return None if v is None else "Boot%04X" % int.from_bytes(v[1], "little")

    def options(self):
        """BootOrder as efibootmgr shows it: [(BootXXXX, description)]."""
        _, out = self.m.run("efibootmgr")
        order = re.search(r"^BootOrder: (\S+)", out, re.M)
        names = dict(re.findall(r"^(Boot[0-9A-F]{4})\*? (.*)$", out, re.M))
        if order is None:
            return []
        return [("Boot" + n, names.get("Boot" + n, "?")) for n in order.group(1).split(",")]

    def reboot_and_wait(self):
        """Reboots; returns (the system that came up, the firmware evidence
        of the reboot: serial text, debug lines, port bytes)."""
        mark = self.m.reboot()
        system = self.m.up(start=mark.serial)
        return system, self.m.since(mark)


def dxe_phases(lines):
    phases = []
    for text in lines:
        if text.startswith(STANDIN_START):
            phases.append([])
        if phases:
            phases[-1].append(text)
    return phases


def ec_accesses(ports):
    """The EC transactions in the port bytes: [('write', reg, value) |
    ('read', reg)], from the command bytes on 0x66 and the address and data
    bytes on 0x62."""
    data = list(ports[0x62])
    out = []
    for command in ports[0x66]:
        if command == 0x81 and len(data) >= 2:
            out.append(("write", data.pop(0), data.pop(0)))
        elif command == 0x80 and data:
            out.append(("read", data.pop(0)))
        else:
            out.append(("command", command))
    if data:
        out.append(("stray data", bytes(data).hex()))
    return out


def compare_prediction(c, g, before, evidence):
    """The prediction zkboot made before the reboot against what the firmware
    did until Linux came up again. OVMF's boot manager reads BootNext before
    it signals End-of-DXE, so a BootNext the driver writes is still pending
    when Linux comes up, and starts at the next boot (boot_manager_starts)."""
    p = before["prediction"]
    serial, lines, ports = evidence
    phases = dxe_phases(lines)
    print("  prediction: %d boot(s), BootNext %s%s; the firmware ran %d DXE phase(s)"
          % (len(p["boots"]), p["bootNext"], " (written)" if p["bootNextWritten"] else "", len(phases)))
    c.equal(len(phases), len(p["boots"]), "DXE phases until Linux came up, as predicted")
    for i, (b, phase) in enumerate(zip(p["boots"], phases), 1):
        resets = [re.match(r"reset type=(\w+)", t).group(1) for t in phase if t.startswith("reset type=")]
        c.equal(resets, [b["reset"]] if b["reset"] else [], "boot %d: resets through the firmware" % i)
    cmos = [b["cmos61"] for b in p["boots"] if b["cmos61"]]
    c.equal(ports[0x72], bytes([0x61] * len(cmos)), "CMOS index writes (port 0x72)")
    c.equal(ports[0x73], bytes(int(v, 16) for v in cmos), "CMOS 0x61 values (port 0x73)")
    writes = [(int(w["register"], 16), int(w["value"], 16)) for b in p["boots"] for w in b["ecWrites"]]
    accesses = ec_accesses(ports)
    c.equal([(a[1], a[2]) for a in accesses if a[0] == "write"], writes, "EC register writes")
    eods = sum(1 for b in p["boots"] if b["endOfDxe"])
    c.equal([a for a in accesses if a[0] != "write"], [("read", 0x19)] * eods,
            "EC reads: the power-off request register once per End-of-DXE")
    if p["bootNextWritten"]:
        want = int(p["bootNext"], 16).to_bytes(2, "little")
        c.equal(g.var("BootNext", GLOBAL), (7, want), "BootNext as predicted, pending for the next boot")
    return ATTEMPT.findall(serial)


def boot_manager_starts(c, g, option, system, fallback=()):
    """Reboots: the boot manager starts the pending BootNext `option` first;
    the system that comes up is `system` (booted from one of the `fallback`
    options when the option cannot boot)."""
    came, evidence = g.reboot_and_wait()
    tried = ATTEMPT.findall(evidence[0])
    c.true(bool(tried) and tried[0][1] == option, "the boot manager tries BootNext %s first" % option,
           "tried %r" % tried)
    c.equal(came, system, "the system that comes up")
    current = g.boot_current()
    if fallback:
        c.true(tried[0][0] == "failed to load" and current in fallback and tried[-1][1:] == (current, tried[-1][2])
               and tried[-1][0] == "starting",
               "%s failed; BootCurrent %s is the option the boot manager went on to" % (option, current),
               "tried %r" % tried)
    else:
        c.equal(current, option, "BootCurrent in Linux")
    return evidence


def predicted_change(p, name):
    """The last predicted value of a variable (hex text, None = deleted), or
    'unchanged'."""
    value = "unchanged"
    for b in p["boots"]:
        for ch in b["changes"]:
            if ch["name"] == name:
                value = ch["after"]
    return value


def hexbytes(data):
    return None if data is None else " ".join("%02X" % x for x in data)


def expect_vars_as_predicted(c, g, before, names):
    """Each named driver variable in Linux as the prediction left it."""
    p = before["prediction"]
    for name, guid in names:
        want = predicted_change(p, name)
        now = g.var(name, guid)
        if want == "unchanged":
            continue
        c.equal(hexbytes(None if now is None else now[1]), want, "%s after the reboot, as predicted" % name)


# ------------------------------------------------------------------ scenarios
def efivarfs_checks(c, g):
    """efivarfs as it really is, and zkboot on it."""
    m = g.m
    test = "%s/ZKGuestTest-%s" % (EFIVARS, BOOTCTL)
    rc, _ = m.run(r"printf '\007\000\000\000\001' > %s" % test, check=False)
    c.equal(rc, 0, "a new variable through efivarfs (attributes 7, one byte)")
    rc, out = m.run(r"printf '\007\000\000\000\002' > %s" % test, check=False)
    c.true(rc != 0 and "not permitted" in out, "the kernel makes a new variable file immutable: a plain "
           "rewrite is refused", out.strip())
    rc, out = m.run("rm %s" % test, check=False)
    c.true(rc != 0 and "not permitted" in out, "... and so is a plain delete", out.strip())
    # zkboot clears the flag to change a variable it finds, and deletes.
    m.run("zkboot lid-flag set 1")
    m.run("zkboot lid-flag set 2")
    c.equal(g.var("ZKSaveLidFlag", LID), (7, b"\x02"), "zkboot rewrites its own immutable file: "
            "the 4-byte attribute prefix 07 00 00 00, then the data")
    m.run("zkboot lid-flag clear")
    c.equal(g.var("ZKSaveLidFlag", LID), None, "zkboot lid-flag clear deletes the variable")
    m.run("mount -o remount,ro %s" % EFIVARS)
    rc, out = m.run("zkboot request usb", check=False)
    c.equal(rc, 5, "zkboot request on a read-only efivarfs: exit status 5")
    m.run("mount -o remount,rw %s" % EFIVARS)
    c.equal(g.var("ZKChgBoot", BOOTCTL), None, "... and nothing was written")
    # The kernel checks the form of the UEFI global variables it knows:
    # BootNext must be 2 bytes.
    boot_next = "%s/BootNext-%s" % (EFIVARS, GLOBAL)
    rc, out = m.run(r"printf '\007\000\000\000\001' > %s" % boot_next, check=False)
    c.true(rc != 0, "the kernel refuses a 1-byte BootNext", out.strip())
    _, size = m.run("stat -c %%s %s" % boot_next, check=False)
    c.equal(size.strip(), "0", "... and keeps the empty file it created, a name without a variable")
    st = g.status()
    c.equal((st["bootNext"]["present"], st["prediction"]["bootNextWritten"]), (False, False),
            "zkboot status reads the empty file as no BootNext")
    # A variable zkboot manages but finds in a form the driver does not read:
    # zkboot leaves it and says so (exit status 7).
    m.run(r"printf '\007\000\000\000\001\201\000' > %s/ZKChgBoot-%s" % (EFIVARS, BOOTCTL))
    rc, out = m.run("zkboot request usb", check=False)
    c.equal(rc, 7, "zkboot request over a 3-byte ZKChgBoot: exit status 7, left as it is")
    m.run("zkboot clear")
    c.equal(g.var("ZKChgBoot", BOOTCTL), None, "zkboot clear deletes it")
    m.run("rm -f %s" % test, check=False)


def option_named(opts, prefix):
    found = [n for n, d in opts if d.startswith(prefix)]
    return found[0] if found else None


def scenario_usb_once(c, g):
    """A one-time usb request with the lid flag and the out-of-box counter
    set from Linux: the USB system starts once, then the hard drive's again."""
    m = g.m
    c.equal(m.up(), "disk", "the first boot starts the hard drive's system (BootOrder)")
    opts = g.options()
    print("  boot options: %s" % opts)
    usb = option_named(opts, "EFI USB Device")
    c.true(usb is not None, "a boot option named as the notebook names a USB disk", repr(opts))
    efivarfs_checks(c, g)
    m.run("zkboot lid-flag set 1")
    m.run("zkboot oob set 3")
    _, out = m.run("zkboot request usb --once")
    print("  " + out.strip().replace("\n", "\n  "))
    before = g.status()
    c.equal(before["changeBoot"]["data"], "01 81", "ZKChgBoot as zkboot wrote it")
    c.equal(g.var("ZKChgBoot", BOOTCTL), (7, b"\x01\x81"), "ZKChgBoot in efivarfs: attributes 7, 01 81")
    c.equal(before["prediction"]["bootNext"], "0x" + usb[4:] if usb else None,
            "zkboot predicts BootNext = the USB option")
    setup_before = g.var("Setup", SETUP)
    c.true(setup_before is not None and setup_before[1][92] == 1, "Setup byte 92 is set before the request")

    # The driver takes the request (warm reset), then writes BootNext at
    # End-of-DXE of the boot after.
    system, evidence = g.reboot_and_wait()
    compare_prediction(c, g, before, evidence)
    c.equal(system, "disk", "the boot manager read BootNext before End-of-DXE: this boot follows BootOrder")
    setup_after = g.var("Setup", SETUP)
    c.true(setup_after is not None and setup_after[1][92] == 0 and setup_after[1][:92] == setup_before[1][:92]
           and setup_after[1][93:] == setup_before[1][93:], "Setup byte 92 cleared, nothing else changed")
    expect_vars_as_predicted(c, g, before, [("ZKSaveLidFlag", LID), ("ZKOOBTest", OOB), ("Setup", SETUP)])
    once = re.search(r"^ZKGUEST once rc=(\d+) (.*)$", evidence[0], re.M)
    c.true(once is not None and once.group(1) == "0" and "deleted (was 00 81)" in once.group(2),
           "this start ran 'zkboot clear --once', which removed the taken request",
           once.group(0) if once else "not run")
    c.equal(g.var("ZKChgBoot", BOOTCTL), None, "the one-time request is gone")

    # The boot manager's turn: the USB system, once.
    before = g.status()
    c.equal(before["bootNext"]["value"], "0x" + usb[4:] if usb else None, "zkboot status shows BootNext pending")
    evidence = boot_manager_starts(c, g, usb, "usb")
    compare_prediction(c, g, before, evidence)
    after = g.status()
    c.equal(after["bootCurrent"]["value"], "0x" + usb[4:] if usb else None,
            "zkboot status shows BootCurrent = the USB option")
    c.equal((after["bootNext"]["present"], after["prediction"]["bootNextWritten"]), (False, False),
            "no BootNext pending or predicted: the next boot is an ordinary one")

    before = after
    system, evidence = g.reboot_and_wait()
    c.equal(system, "disk", "the boot after that starts the hard drive's system again")
    compare_prediction(c, g, before, evidence)
    expect_vars_as_predicted(c, g, before, [("ZKOOBTest", OOB)])


def scenario_disk_pxe_factory(c, g):
    """An installer's boot option, the disk and pxe requests, then the
    factory reset."""
    m = g.m
    c.equal(m.up(), "usb", "the first boot starts the USB disk's system (first by boot index)")
    # What an installer does: a boot option for the system it installed, a
    # hard-drive path to its loader on the ESP.
    m.run(r"efibootmgr -q -c -d /dev/vda -p 1 -L zkguest -l '\EFI\BOOT\BOOTX64.EFI'")
    opts = g.options()
    print("  boot options: %s" % opts)
    installed = option_named(opts, "zkguest")
    usb = option_named(opts, "EFI USB Device")
    pxe = option_named(opts, "EFI PXE 0 for IPv4")
    if not c.true(None not in (installed, usb, pxe), "an installer option, a USB and a PXE IPv4 option",
                  repr(opts)):
        return
    usb_all = [n for n, d in opts if "USB" in d]

    m.run("zkboot request disk")
    before = g.status()
    c.equal(before["prediction"]["bootNext"], "0x" + installed[4:], "zkboot predicts BootNext = the "
            "installer's option (the first with a hard-drive node)")
    system, evidence = g.reboot_and_wait()
    compare_prediction(c, g, before, evidence)
    c.equal(system, "usb", "the boot after the request follows BootOrder")
    expect_vars_as_predicted(c, g, before, [("Setup", SETUP), ("ZKChgBoot", BOOTCTL)])
    boot_manager_starts(c, g, installed, "disk")

    m.run("zkboot request pxe")
    before = g.status()
    c.equal(before["prediction"]["bootNext"], "0x" + pxe[4:], "zkboot predicts BootNext = the PXE option")
    system, evidence = g.reboot_and_wait()
    compare_prediction(c, g, before, evidence)
    expect_vars_as_predicted(c, g, before, [("Setup", SETUP), ("ZKChgBoot", BOOTCTL)])
    evidence = boot_manager_starts(c, g, pxe, "usb", fallback=usb_all)
    c.true("Start PXE over IPv4" in evidence[0], "the firmware's PXE client ran (console: Start PXE over IPv4)")

    rc, out = m.run("zkboot factory-reset --yes")
    print("  " + out.strip().replace("\n", "\n  "))
    before = g.status()
    system, evidence = g.reboot_and_wait()
    compare_prediction(c, g, before, evidence)
    phases = dxe_phases(evidence[1])
    reset_snap = [t for t in phases[0] if t.startswith("snap reset ")] if phases else []
    names = [t.split()[2] for t in reset_snap]
    print("  store at the cold reset: %s" % " ".join(sorted(names)))
    c.true(bool(names), "the stand-in listed the store at the driver's cold reset")
    for gone in ("Setup", "ZKChgBoot", "BootOrder") + tuple(n for n, _ in opts):
        c.true(gone not in names, "%s is gone at the driver's cold reset" % gone)
    c.true(any(t.startswith("oem setup created") for t in phases[-1]) if phases else False,
           "the next boot's firmware creates its Setup defaults again")
    opts_after = g.options()
    print("  boot options now: %s" % opts_after)
    c.true(option_named(opts_after, "zkguest") is None, "the installer's option is gone")
    c.true(None not in (option_named(opts_after, "EFI USB Device"), option_named(opts_after, "EFI PXE 0 for IPv4"),
                        option_named(opts_after, "UEFI Misc Device")),
           "the firmware made its default options again")
    c.equal(system, "usb", "after the factory reset the default order starts the USB disk")
    c.equal(g.var("ZKChgBoot", BOOTCTL), None, "ZKChgBoot is gone")


TEST_GUID = "cee76250-3872-4773-8e13-12bc56c4b8ac"
# The stand-in's FwTestS3 option fail=MASK refuses the S3 libraries' PCD
# writes, one constructor's at a time.
FAILING_CONSTRUCTORS = ((1, "bs-record", "boot-script record"), (2, "cs-record", "chipset S3 record"),
                        (4, "cs-table", "chipset S3 table"))


def pcd_sets(lines):
    """The stand-in's PCD writes of one DXE phase: {name: (value, status)}."""
    out = {}
    for t in lines:
        m = re.match(r"pcd set ([\w-]+)=([0-9A-F]+) status=([0-9A-F]+)$", t)
        if m:
            out[m.group(1)] = (int(m.group(2), 16), int(m.group(3), 16))
    return out


def read_phys(g, address, size):
    """Bytes of physical memory, read by busybox devmem 8 bytes at a time."""
    data = b""
    for at in range(address, address + size, 8):
        _, out = g.m.run("devmem 0x%x 64" % at)
        data += int(out.strip(), 16).to_bytes(8, "little")
    return data


def s3_records(c, g, lines, smm):
    """The driver's S3 records in Linux's view of memory, as the firmware's
    lines say it left them: (boot-script record, chipset record) or None.
    At ready-to-boot the chipset library hands its table over through SMM
    communication and frees it (TableClosed 1), whatever the handler
    answers; without SMM communication it stops before (TableClosed 0)."""
    sets = pcd_sets(lines)
    bs, cs, table = sets.get("bs-record"), sets.get("cs-record"), sets.get("cs-table")
    if not c.true(bs is not None and cs is not None and table is not None and bs[1] == cs[1] == table[1] == 0,
                  "the driver published its boot-script record, chipset record and table", repr(sets)):
        return None
    record = read_phys(g, bs[0], 24)
    c.equal(record[20], 1, "boot-script record at 0x%X: Locked (byte 20) = 1 after ready-to-lock" % bs[0])
    chipset = read_phys(g, cs[0], 16)
    c.equal(chipset[:8], bytes([1, 1 if smm else 0]) + bytes(6), "chipset record at 0x%X: Locked 1, TableClosed %d"
            % (cs[0], 1 if smm else 0))
    c.equal(int.from_bytes(chipset[8:], "little"), table[0], "chipset record: TableHeader = the table's address")
    return record, chipset


def resume_checks(c, g):
    _, dmesg = g.m.run("dmesg")
    c.true("PM: suspend exit" in dmesg and "ACPI: PM: Waking up from system sleep state S3" in dmesg,
           "Linux went to S3 and came back (dmesg)")
    c.true(g.var("ZKFirstBoot", BOOTCTL) == (7, b"\x00"), "efivarfs works after the resume (ZKFirstBoot 00)")


def suspend_resume(c, g, smm, failures):
    """Suspend to RAM and resume with the driver dispatched; then, for each
    of `failures`, the same with one S3 constructor made to fail."""
    m = g.m
    c.equal(m.up(), "disk", "Linux is up")
    phases = dxe_phases(m.debug_lines)
    before = s3_records(c, g, phases[-1], smm) if phases else None
    m.suspend_and_wake()
    resume_checks(c, g)
    if before is not None:
        sets = pcd_sets(phases[-1])
        after = (read_phys(g, sets["bs-record"][0], 24), read_phys(g, sets["cs-record"][0], 16))
        c.equal(after, before, "both records are where the driver left them, unchanged by the resume")
    var = "%s/FwTestS3-%s" % (EFIVARS, TEST_GUID)
    for mask, name, what in failures:
        m.run(r"[ -e {0} ] && chattr -i {0}; printf '\007\000\000\000fail={1}' > {0}".format(var, mask))
        _, evidence = g.reboot_and_wait()
        phase = dxe_phases(evidence[1])[-1]
        c.equal(pcd_sets(phase).get(name, (0, 0))[1], 0x8000000000000009,
                "the %s constructor failed: its PCD write refused" % what)
        c.true(any(t == "locate platform-hook status=0" for t in phase),
               "the driver's constructor chain went on to its end")
        m.suspend_and_wake()
        resume_checks(c, g)
    m.run("[ -e {0} ] && chattr -i {0} && rm {0}; true".format(var))


def scenario_suspend_resume(c, g):
    suspend_resume(c, g, False, ())


def scenario_suspend_resume_smm(c, g):
    suspend_resume(c, g, True, FAILING_CONSTRUCTORS)


# name: (function, budget in s of QEMU processor time, the disk first by
# boot index, OVMF's SMM build)
SCENARIOS = {
    "usb_once": (scenario_usb_once, 240, "hd", False),
    "disk_pxe_factory": (scenario_disk_pxe_factory, 300, "usb", False),
    "suspend_resume": (scenario_suspend_resume, 120, "hd", False),
    "suspend_resume_smm": (scenario_suspend_resume_smm, 300, "hd", True),
}


def run_scenario(args):
    fn, budget, first, smm = SCENARIOS[args.scenario]
    missing = [p for p in ("guest.fd", "guest-smm.fd", "hd.img", "usb.img") if not os.path.isfile(os.path.join(args.images, p))]
    if shutil.which(args.qemu) is None:
        missing.append(args.qemu)
    if missing:
        print("FAIL %s: cannot run; missing: %s" % (args.scenario, ", ".join(missing)))
        return 2
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    disks = {}
    for d in ("hd.img", "usb.img"):
        disks[d] = os.path.join(args.work, d)
        shutil.copyfile(os.path.join(args.images, d), disks[d])
    vars_fd = os.path.join(args.work, "vars.fd")
    shutil.copyfile(args.ovmf_vars, vars_fd)
    tftp = os.path.join(args.work, "tftp")
    os.makedirs(tftp)
    c = Check()
    m = Machine(args.work, args.qemu, os.path.join(args.images, "guest-smm.fd" if smm else "guest.fd"), vars_fd,
                disks["hd.img"], disks["usb.img"], args.timeout or budget, tftp, first=first, smm=smm)
    try:
        fn(c, Guest(m, c))
    except GuestError as e:
        c.fail(str(e))
    except Exception as e:  # a check that cannot read its evidence fails the run
        c.fail("check raised %s: %s" % (type(e).__name__, e))
    finally:
        m.stop()
    print("%s: %.1f s wall time, %.1f s QEMU processor time, %d Linux boot(s)"
          % (args.scenario, m.elapsed, m.cpu, m.serial.count("ZKGUEST up")))
    if c.failures:
        print("FAIL %s: %d check(s) failed (evidence in %s)" % (args.scenario, len(c.failures), args.work))
        return 1
    print("PASS %s" % args.scenario)
    return 0


def main():
    sys.stdout.reconfigure(line_buffering=True)
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = ap.add_subparsers(dest="command", required=True)
    im = sub.add_parser("images")
    im.add_argument("--debs", required=True)
    src = im.add_mutually_exclusive_group(required=True)
    src.add_argument("--zkboot-deb")
    src.add_argument("--zkboot-root")
    for a in ("--ffspack", "--driver-ffs", "--standin", "--oemplat", "--ovmf-code", "--ovmf-code-smm", "--out"):
        im.add_argument(a, required=True)
    rn = sub.add_parser("run")
    rn.add_argument("scenario", choices=sorted(SCENARIOS))
    for a in ("--images", "--qemu", "--ovmf-vars", "--work"):
        rn.add_argument(a, required=True)
    rn.add_argument("--timeout", type=int)
    args = ap.parse_args()
    try:
        return make_images(args) if args.command == "images" else run_scenario(args)
    except guestfs.BuildError as e:
        print("FAIL: cannot build the guest: %s" % e)
        return 2


if __name__ == "__main__":
    sys.exit(main())
