"""Scenarios of the firmware test: what each boot runs and what must hold.

Every scenario is a list of phases, one per boot. A phase is a list of EFI
shell commands run from startup.nsh; a phase marked `resets` must end in a
platform reset caused by the driver (the runner fails the run if the script
goes on). The checks read the "FWT ..." lines the helpers printed:

  var TAG NAME ...      one variable, printed by dumpvars or the stand-in
  snap TAG ...          the whole variable store (name, GUID, attributes,
                        size, CRC32), compared between two tags to find every
                        variable that changed
  reset type=...        the firmware's reset notification: the reset type the
                        driver asked for, with the store as the reset starts
  hook / marker ...     the platform hook was called / a purge marker was
                        installed, as the stand-in saw it
  pcd get|set NAME=V    a read or write of one of the S3 libraries' PCDs,
                        which the stand-in answers
  locate NAME status=S  a LocateProtocol of a protocol the S3 constructors
                        and handlers look for
  protocol installed=.. an install of the list-anchor, heap-buffer list or
                        DXE SMM ready-to-lock protocol, with its interface
  dbg level=L TEXT      a message sent to the debug-message protocol
  s3 TAG ...            s3ctl's dump of the S3 PCDs and the memory they name
  probe TAG ...         flashprobe's reads of the flash hardware addresses
  hii ...               hiiread's package lists and strings read back

Writes to I/O ports 0x62/0x66 (EC) and 0x72/0x73 (CMOS pair) are recorded
by debug-console devices placed on those ports; they read back 0xFF, as the
unassigned ports do, so the EC never answers (or 0x00 for the write-only EC
of end_of_dxe_mute_ec).

Not covered here: the recovery boot mode. The boot mode the driver reads
comes from OVMF's own early boot phase, and nothing a test can do from the
shell or the command line makes OVMF start a recovery boot, so the driver's
early return in that mode cannot be reached in this firmware. Patching the
hand-off data in memory would only fake it; the host tests cover that path.
"""

import re
import uuid


class Var:
    """One variable as a helper printed it: attributes, size and data."""

    def __init__(self, attr, data):
        self.attr = attr
        self.data = data

    def __eq__(self, other):
        return isinstance(other, Var) and (self.attr, self.data) == (other.attr, other.data)

    def __repr__(self):
        hexdata = self.data.hex().upper()
        if len(hexdata) > 24:
            hexdata = hexdata[:24] + "...(%d bytes)" % len(self.data)
        return "attr=%X data=%s" % (self.attr, hexdata)


# Short names of the vendor GUIDs, as the helpers take them.
GUIDS = {
    "bc": "99165095-035D-44CC-9234-DB41D2D3E959",
    "lid": "99165095-035D-44CC-9234-DB41D2D359E9",
    "setup": "A04A27F4-DF00-4D42-B552-39511302113D",
    "global": "8BE4DF61-93CA-11D2-AA0D-00E098032B8C",
    "phys": "59D1C24F-50F1-401A-B101-F33E0DAED443",
    "oob": "259C170F-0FC4-4FE1-BC23-B0B80700725E",
    "chgkey": "A3ADAF88-B599-4204-B4C5-EE92026AFD31",
}


class Phase:
    def __init__(self, commands, resets=False):
        self.commands = commands
        self.resets = resets


class Scenario:
    def __init__(self, name, phases, check, timeout=60, ec_readback=0xFF):
        self.name = name
        self.phases = phases
        self.check = check
        self.timeout = timeout
        self.ec_readback = ec_readback


# The platform stand-in goes in before the driver in every boot; it reports
# on the variables named in FwTestWatch (a volatile variable, set anew each boot).
def standin(*watched):
    cmds = []
    if watched:
        cmds.append("seed.efi FwTestWatch:test:2:a" + ",".join(watched))
    return cmds + ["load standin.efi", "fwctl.efi say standin-load=%lasterror%"]


LOAD_DRIVER = ["load BootCtlDxe.efi", "fwctl.efi say load=%lasterror%"]


def dump(tag, *variables):
    return "dumpvars.efi %s all %s" % (tag, " ".join(variables))


def var(attr, hexdata):
    return Var(attr, bytes.fromhex(hexdata))


def pattern(size):
    """The seed helper's p-fill: byte i = i*13+7."""
    return bytearray((i * 13 + 7) & 0xFF for i in range(size))


def expect_no_reset(run, boot, why):
    run.expect_none(r"^reset ", why + ": no platform reset", boot=boot)


def expect_ports_quiet(run, ports, why):
    for port in ports:
        run.expect_port(port, b"", why)


# ----------------------------------------------------------------- first boot
# A fresh variable store: the driver creates ZKFirstBoot {0x00} with
# attributes 7 and nothing else. The marker is then given a value the driver
# never writes (0x5A); a second load in the same boot must leave it alone.
FIRST_BOOT = [
    Phase(standin() + [
        dump("before", "ZKFirstBoot:bc"),
        *LOAD_DRIVER,
        dump("first", "ZKFirstBoot:bc"),
        "seed.efi ZKFirstBoot:bc:7:5A",
        dump("reseeded"),
        *LOAD_DRIVER,
        dump("second", "ZKFirstBoot:bc"),
    ])
]


def check_first_boot(run):
    run.expect(r"^say load=", "the driver image was loaded twice and returned", count=2)
    run.expect_var("before", "ZKFirstBoot", None, "a fresh store has no first-boot marker")
    run.expect_var("first", "ZKFirstBoot", var(7, "00"), "the first load creates the marker")
    run.expect_store_changes("before", "first", {"ZKFirstBoot:bc": "added"},
                             "the first load changes nothing but the marker")
    run.expect_var("second", "ZKFirstBoot", var(7, "5A"), "the second load does not recreate the marker")
    run.expect_store_changes("reseeded", "second", {}, "the second load changes no variable")
    expect_no_reset(run, 1, "no change-boot request")
    run.expect_none(r"^hook ", "no factory reset, so no platform hook call")
    expect_ports_quiet(run, (0x72, 0x73), "no request: CMOS untouched")
    expect_ports_quiet(run, (0x62, 0x66), "no EC access at load")


# ----------------------------------------------------- change-boot request
# ZKChgBoot {0x01, 0x01} with a 1 KiB Setup whose byte 92 is set: the driver
# takes the request, records mode 1 in CMOS 0x61, clears byte 92, saves Setup
# and warm-resets. The stand-in's reset notification shows the store as the
# reset starts; boot 2 shows what survived in flash, and loads the driver
# again: the request is no longer pending, so nothing happens.
CHGBOOT_WATCH = ("Setup:setup", "ZKChgBoot:bc")
CHANGE_BOOT = [
    Phase(standin(*CHGBOOT_WATCH) + [
        "seed.efi ZKChgBoot:bc:7:0101 Setup:setup:7:p1024+92=01 BootNext:global:7:-",
        dump("before", *CHGBOOT_WATCH),
        *LOAD_DRIVER,
    ], resets=True),
    Phase(standin(*CHGBOOT_WATCH) + [
        dump("after", *CHGBOOT_WATCH, "ZKFirstBoot:bc"),
        *LOAD_DRIVER,
        dump("again", *CHGBOOT_WATCH),
    ]),
]


def check_change_boot(run):
    setup = pattern(1024)
    setup[92] = 0x01
    run.expect_var("before", "Setup", var(7, setup.hex()), "Setup seeded with byte 92 set")
    run.expect(r"^reset type=warm ", "the request with a Setup change ends in a warm reset", boot=1, count=1)
    run.expect(r"^reset ", "exactly one reset in boot 1", boot=1, count=1)
    run.expect_order([r"^say standin-load=", r"^snapend before ", r"^reset type=warm "],
                     "the reset comes from the driver's load", boot=1)
    setup[92] = 0x00
    run.expect_var("reset", "Setup", var(7, setup.hex()),
                   "Setup saved with byte 92 cleared, attributes and size kept, before the reset")
    run.expect_var("reset", "ZKChgBoot", var(7, "0001"), "the request is taken (pending byte 0) before the reset")
    run.expect_store_changes("before", "reset",
                             {"ZKChgBoot:bc": "changed", "Setup:setup": "changed", "ZKFirstBoot:bc": "added"},
                             "the request changes only its own variables")
    run.expect_var("after", "Setup", var(7, setup.hex()), "the cleared byte 92 survives the reset in flash")
    run.expect_var("after", "ZKChgBoot", var(7, "0001"), "after the reset the request reads {0x00, 0x01}")
    run.expect_var("after", "ZKFirstBoot", var(7, "00"), "the first-boot marker was created in boot 1")
    expect_no_reset(run, 2, "a taken request is not acted on again")
    run.expect(r"^say load=", "the driver returns normally in boot 2", boot=2, count=1)
    run.expect_store_changes("after", "again", {}, "a taken request changes nothing")
    run.expect_port(0x72, bytes([0x61]), "CMOS index 0x61 selected once, in boot 1")
    run.expect_port(0x73, bytes([0x01]), "CMOS 0x61 receives the mode 1 once, in boot 1")
    expect_ports_quiet(run, (0x62, 0x66), "no EC access at load")
    run.expect_none(r"^hook ", "mode 1 does not call the platform hook")


# ---------------------------------------------------------- factory reset
# ZKChgBoot {0x01, 0x04}: the driver deletes ZKChgBoot, calls the platform
# hook, deletes Setup, swaps the purge markers around deleting every Boot####
# named in BootOrder (the seeded Boot3001/Boot3002 and OVMF's own options)
# and in PhysicalBootOrder (Boot3003), deletes both orders and cold-resets.
# Boot3004 is named in no order and must survive. OVMF recreates its own
# boot options on the next boot, so boot 2 reaching the shell shows the
# platform still boots after the purge.
#
# Cold and warm resets look the same from outside QEMU (both restart the
# machine through the reset register); the reset type is taken from the
# firmware's reset notification, which reports the type the driver asked for.
FACTORY_WATCH = ("ZKChgBoot:bc", "Setup:setup", "BootOrder:global", "PhysicalBootOrder:phys",
                 "Boot3001:global", "Boot3002:global", "Boot3003:global", "Boot3004:global")
FACTORY_RESET = [
    Phase(standin(*FACTORY_WATCH) + [
        "seed.efi ZKChgBoot:bc:7:0104 Setup:setup:7:p1024+92=01 Boot3001:global:7:oFwTest3001"
        " Boot3002:global:7:oFwTest3002 Boot3003:global:7:oFwTest3003 Boot3004:global:7:oFwTest3004"
        " BootOrder:global:7:w3001.cur.3002 PhysicalBootOrder:phys:7:w3003",
        dump("before", *FACTORY_WATCH),
        *LOAD_DRIVER,
    ], resets=True),
    Phase(standin(*FACTORY_WATCH) + [dump("after", *FACTORY_WATCH)]),
]


def check_factory_reset(run):
    try:
        order = run.var("before", "BootOrder")
    except KeyError as e:
        run.fail(e.args[0])
        return
    if order is None or len(order.data) % 2 or len(order.data) < 6:
        run.fail("BootOrder was not seeded: %s" % order)
        return
    entries = [int.from_bytes(order.data[i:i + 2], "little") for i in range(0, len(order.data), 2)]
    if entries[0] != 0x3001 or entries[-1] != 0x3002:
        run.fail("BootOrder seeded as %s, expected 3001, OVMF's options, 3002" % [hex(e) for e in entries])
    run.note("BootOrder before the factory reset: " + " ".join("%04X" % e for e in entries))

    run.expect(r"^hook factory-reset call=1$", "the platform hook is called once", boot=1, count=1)
    run.expect_var("hook", "ZKChgBoot", None, "ZKChgBoot is deleted before the hook runs", boot=1)
    run.expect_var("hook", "Setup", run.var("before", "Setup"), "Setup is still there when the hook runs", boot=1)
    run.expect(r"^marker installed=busy", "the busy marker is installed once", boot=1, count=1)
    run.expect(r"^marker installed=idle idle=\d+ busy=\d+$", "the idle marker is reinstalled once", boot=1, count=1)
    run.expect_order([r"^hook factory-reset", r"^marker installed=busy idle=0 busy=1$",
                      r"^marker installed=idle idle=1 busy=0$", r"^reset type=cold "],
                     "hook, then busy marker in place of the idle one, then the idle one back, then a cold reset",
                     boot=1)
    run.expect(r"^reset ", "exactly one reset in boot 1", boot=1, count=1)
    run.expect_var("busy", "Setup", None, "Setup is deleted before the purge starts", boot=1)
    run.expect_var("busy", "BootOrder", order, "BootOrder is intact when the purge starts", boot=1)
    for name in ("BootOrder", "PhysicalBootOrder", "Boot3001", "Boot3002", "Boot3003"):
        run.expect_var("idle", name, None, "%s is deleted when the purge ends" % name, boot=1)
    run.expect_var("idle", "Boot3004", run.var("before", "Boot3004"), "Boot3004 is named in no order and stays",
                   boot=1)

    expected = {"ZKChgBoot:bc": "deleted", "Setup:setup": "deleted", "BootOrder:global": "deleted",
                "PhysicalBootOrder:phys": "deleted", "Boot3003:global": "deleted", "ZKFirstBoot:bc": "added"}
    for e in entries:
        expected["Boot%04X:global" % e] = "deleted"
    run.expect_store_changes("before", "reset", expected,
                             "the factory reset deletes exactly the request, Setup, the orders and their options")
    run.expect_port(0x72, bytes([0x61]), "CMOS index 0x61 selected once")
    run.expect_port(0x73, bytes([0x04]), "CMOS 0x61 receives the mode 4")
    expect_ports_quiet(run, (0x62, 0x66), "no EC access at load")

    for name in ("ZKChgBoot", "Setup", "PhysicalBootOrder", "Boot3001", "Boot3002", "Boot3003"):
        run.expect_var("after", name, None, "%s stays deleted after the cold reset" % name)
    run.expect_var("after", "Boot3004", run.var("before", "Boot3004"), "Boot3004 survives the factory reset")
    try:
        rebuilt = run.var("after", "BootOrder")
        run.note("BootOrder as OVMF rebuilt it: %s" % (rebuilt.data.hex(" ").upper() if rebuilt else "absent"))
    except KeyError:
        pass


# ----------------------------------------------------------- End-of-DXE
# The End-of-DXE group is signalled again from the shell, with a lid flag,
# an out-of-box counter of 3 and a change-boot request that is not pending
# but has mode 1, which would make the handler write BootNext = 0x2001 if
# the EC answered the power-off query. With no EC (ports read 0xFF) every
# EC send waits out its bound of 65,536 status reads: the lid flag is still
# deleted and the counter still counted down, the power-off query fails and
# the handler ends without BootNext; the boot goes on.
EOD_WATCH = ("ZKSaveLidFlag:lid", "ZKOOBTest:oob", "BootNext:global", "ZKChgBoot:bc")
END_OF_DXE = [
    Phase(standin() + [
        "seed.efi ZKSaveLidFlag:lid:7:01 ZKOOBTest:oob:7:03 ZKChgBoot:bc:7:0001 BootNext:global:7:-",
        *LOAD_DRIVER,
        dump("before", *EOD_WATCH),
        "eod.efi",
        dump("after", *EOD_WATCH),
    ])
]


def check_end_of_dxe_common(run):
    run.expect(r"^say load=", "the driver loads and returns (the request is not pending)", count=1)
    run.expect(r"^eod returned status=0 .* notified=1$", "signalling End-of-DXE returns once its notifications ran")
    run.expect_var("before", "ZKSaveLidFlag", var(7, "01"), "lid flag seeded")
    run.expect_var("after", "ZKSaveLidFlag", None, "the lid flag is deleted after the hand-over attempt")
    run.expect_var("after", "ZKOOBTest", var(7, "02"), "the out-of-box counter counts down from 3 to 2")
    run.expect_var("after", "BootNext", None, "the power-off query failed, so the handler writes no BootNext")
    run.expect_var("after", "ZKChgBoot", var(7, "0001"), "the handler leaves the change-boot request alone")
    run.expect_store_changes("before", "after", {"ZKSaveLidFlag:lid": "deleted", "ZKOOBTest:oob": "changed"},
                             "the handler changes only the lid flag and the counter")
    expect_no_reset(run, 1, "no power-off request was read")
    expect_ports_quiet(run, (0x72, 0x73), "no CMOS access")
    t0 = run.time_of(r"^eod signal$")
    t1 = run.time_of(r"^eod returned ")
    m = run.find(r"^eod returned .* us=(\d+) ")
    if t0 is None or t1 is None or not m:
        run.fail("the End-of-DXE signal was not timed")
        return
    run.note("End-of-DXE handler: %.2f s QEMU processor time, %d ms by the guest's TSC"
             % (t1 - t0, int(m[0].group(1)) // 1000))
    # Seven bounded EC waits take well under a second under emulation; ten
    # seconds still catches a bound that is far too large (an unbounded wait
    # ends in the run's time-out). Processor time: a loaded machine does not
    # stretch it.
    if t1 - t0 > 10.0:
        run.fail("the End-of-DXE handler took %.1f s: the EC waits are not bounded as they should be" % (t1 - t0))


def check_end_of_dxe(run):
    check_end_of_dxe_common(run)
    # The EC never reports its input buffer empty, so no byte goes out.
    expect_ports_quiet(run, (0x62, 0x66), "no EC: every send gives up before writing")


# An EC that takes every byte (status reads 0x00: input buffer empty) but
# never answers (output buffer never full): the lid flag, the counter state
# and the power-off query go out byte for byte; reading the answer waits out
# its bound and the handler ends as with no EC.
def check_end_of_dxe_mute_ec(run):
    check_end_of_dxe_common(run)
    run.expect_port(0x66, bytes([0x81, 0x81, 0x80]), "EC commands: write (lid), write (test state), read")
    run.expect_port(0x62, bytes([0x94, 0x01, 0x16, 0x02, 0x19]),
                    "EC data: lid flag 0x01 to 0x94, test state 2 to 0x16, register 0x19 queried")


# ------------------------------------------------------------ S3 libraries
# The stand-in answers the S3 libraries' PCD token spaces from its own store
# (OVMF's PCD driver does not know them) and prints every read and write; it
# publishes the debug-message protocol, so the chipset S3 library's messages
# reach the debug console; and it traces LocateProtocol of the protocols the
# S3 constructors and handlers look for, and the installs of the two list
# protocols and of DXE SMM ready-to-lock. s3ctl plays the platform around
# the driver (ready-to-lock, ready-to-boot, a module that records a boot
# script) and dumps the memory the PCDs name. OVMF here has no SMM: no SMM
# base, no SMM communication, no communication-region table; every lock-box
# request and the chipset table's hand-over find no way into SMM.
#
# What OVMF does not let a test see: the post codes (the post-code halt is
# switched off in this build, so 0xA0826 leaves no trace), the lock-box
# requests' own results (the driver ignores them; what shows is each request
# looking for SMM communication and finding none, so it ends with
# EFI_NOT_STARTED before any buffer is built), and the SMM branches.

S3_LEVEL = "4000000000000"
NOT_FOUND = "800000000000000E"
HANDOVER_GUID = uuid.UUID("5C4061F0-D051-4F43-BC23-5E5E89B3CEC0").bytes_le


def window(run, start, end, why):
    """Texts after the last line matching start (before the end) up to the
    first line matching end after it; None (and a failure) if either is
    missing."""
    end_i = None
    start_i = None
    for i, (_, _, text) in enumerate(run.lines):
        if re.search(start, text):
            start_i = i
            end_i = None
        elif start_i is not None and end_i is None and re.search(end, text):
            end_i = i
            break
    if start_i is None or end_i is None:
        run.fail("%s: no lines between /%s/ and /%s/" % (why, start, end))
        return None
    return [text for _, _, text in run.lines[start_i + 1:end_i]]


TRACE_KINDS = ("locate ", "pcd ", "dbg ", "protocol ")


def expect_trace(run, lines, expected, why, kinds=TRACE_KINDS):
    """The stand-in's trace lines (locates, PCD accesses, debug messages,
    installs, or the kinds given) among lines are exactly the expected
    patterns, in order. Returns the matches, or None on a mismatch."""
    if lines is None:
        return None
    trace = [t for t in lines if t.startswith(kinds)]
    matches = []
    for n, pattern in enumerate(expected):
        if n >= len(trace):
            run.fail("%s: the trace ends after %d lines; expected next /%s/" % (why, n, pattern))
            return None
        m = re.fullmatch(pattern, trace[n])
        if not m:
            run.fail("%s: trace line %d is %r, expected /%s/" % (why, n + 1, trace[n], pattern))
            return None
        matches.append(m)
    if len(trace) > len(expected):
        run.fail("%s: unexpected trace line %d: %r" % (why, len(expected) + 1, trace[len(expected)]))
        return None
    return matches


def s3_bytes(run, tag, kind, why):
    """The bytes of the last "s3 TAG KIND data=HEX" line; None if missing."""
    found = run.find(r"^s3 %s %s data=([0-9A-F]*)$" % (re.escape(tag), re.escape(kind)))
    if not found:
        run.fail("%s: s3ctl printed no %s under '%s'" % (why, kind, tag))
        return None
    return bytes.fromhex(found[-1].group(1))


def s3_table(run, tag, why):
    """(head, boundary, next) of the chipset S3 table under tag, "freed", or None."""
    found = run.find(r"^s3 %s table (?:freed|head=([0-9A-F]{96}) boundary=([0-9A-F]{8}) next=([0-9A-F]{8}))$"
                     % re.escape(tag))
    if not found:
        run.fail("%s: s3ctl printed no chipset S3 table under '%s'" % (why, tag))
        return None
    m = found[-1]
    if m.group(1) is None:
        return "freed"
    return tuple(bytes.fromhex(m.group(i)) for i in (1, 2, 3))


def expect_bytes(run, actual, expected, why):
    if actual is None:
        return
    if actual != expected:
        diffs = [i for i in range(min(len(actual), len(expected))) if actual[i] != expected[i]]
        detail = ", ".join("byte 0x%X is %02X, expected %02X" % (i, actual[i], expected[i]) for i in diffs[:4])
        if len(actual) != len(expected):
            detail = "%d bytes, expected %d; %s" % (len(actual), len(expected), detail)
        run.fail("%s: [%s] (%s)" % (why, actual.hex(" ").upper(), detail))


def le64(value):
    return value.to_bytes(8, "little")


def expect_platform_without_smm(run, ready_to_lock):
    """OVMF as the stand-in found it: no SMM services, and DXE SMM
    ready-to-lock present or withdrawn as the scenario asked."""
    m = run.find(r"^standin platform (.*)$")
    if not m:
        run.fail("the stand-in did not report the platform's services")
        return
    seen = dict(item.split("=") for item in m[0].group(1).split())
    for name in ("smm-base2", "smm-communication", "comm-region-table", "list-anchor", "heap-buffer-list"):
        if seen.get(name) != "absent":
            run.fail("the platform provides %s (%s): this scenario's expectations assume it does not"
                     % (name, seen.get(name)))
    if seen.get("dxe-smm-ready-to-lock") != ("present" if ready_to_lock else "absent"):
        run.fail("DXE SMM ready-to-lock is %s before the driver loads, expected %s"
                 % (seen.get("dxe-smm-ready-to-lock"), "present" if ready_to_lock else "absent"))


def expect_new_table(run, table, why):
    """A freshly built chipset S3 table: "AS3T", version 1, BoundaryOffset
    0x4000, NextEntryOffset 0x30, the marker 0x01558844 at 0x4000, zeroes
    at 0x30."""
    if table is None or table == "freed":
        run.fail("%s: no table to read (%s)" % (why, table))
        return
    head, boundary, after = table
    expect_bytes(run, head, b"AS3T" + bytes([1, 0, 0, 0]) + bytes(24) + le64(0x4000) + le64(0x30),
                 why + ": header")
    expect_bytes(run, boundary, bytes([0x44, 0x88, 0x55, 0x01]), why + ": boundary marker at 0x4000")
    expect_bytes(run, after, bytes(4), why + ": nothing at NextEntryOffset 0x30 yet")


# A driver dispatched before the platform's ready-to-lock (the stand-in
# withdraws OVMF's instance, which OVMF installs before the shell), a PCD
# table size of 0x100 (below the minimum), the comm buffer provided and a
# 0x20-byte boot script that another module recorded in the shared record.
S3_SAVE_SEED = "seed.efi FwTestS3:test:2:acomm=1,size=100,lock=0"
S3_SAVE = [
    Phase([S3_SAVE_SEED] + standin() + [
        "s3ctl.efi dump before",
        *LOAD_DRIVER,
        "s3ctl.efi dump loaded",
        "s3ctl.efi script 20",
        "s3ctl.efi lock",
        "s3ctl.efi dump locked",
        "s3ctl.efi boot",
        "s3ctl.efi dump booted",
        "s3ctl.efi boot",
        *LOAD_DRIVER,
        "s3ctl.efi dump again",
    ])
]


def check_s3_save(run):
    run.expect(r"^standin withdrew dxe-smm-ready-to-lock instances=1 status=0$",
               "OVMF's DXE SMM ready-to-lock is withdrawn before the driver loads")
    expect_platform_without_smm(run, ready_to_lock=False)
    run.expect(r"^say load=0x0$", "the driver loads twice and returns", count=2)
    before = run.find(r"^s3 before pcd bs-record=0 bs-smm-record=0 cs-record=0 comm=([0-9A-F]+) table=0 size=100$")
    if not before:
        run.fail("before the load every S3 PCD but the comm buffer and the table size reads 0")
        return
    comm = int(before[0].group(1), 16)

    # The constructor chain, as far as it shows in protocol look-ups, PCD
    # traffic and installs: steps 4, 5, 7, 8, 9, 11, 12, 14, 16 and 21 in this
    # order.
    load = window(run, r"^s3 before ", r"^say load=", "first load")
    trace = expect_trace(run, load, [
        r"locate smbus-hc status=%s" % NOT_FOUND,  # 4
        r"locate smm-base2 status=%s" % NOT_FOUND,  # 5: not in SMM
        r"locate pcd status=0",
        r"pcd get bs-record=0",
        r"pcd set bs-record=([0-9A-F]+) status=0",
        r"locate dxe-smm-ready-to-lock status=%s" % NOT_FOUND,  # the notification's first run
        r"locate smm-base2 status=%s" % NOT_FOUND,  # 5: no SMM side
        r"pcd get cs-record=0",  # 7
        r"dbg level=%s ChipsetS3LibPrivateData allocation" % S3_LEVEL,
        r"pcd set cs-record=([0-9A-F]+) status=0",
        r"locate dxe-smm-ready-to-lock status=%s" % NOT_FOUND,  # the lock event's first run
        r"pcd get cs-table=0",
        r"pcd get cs-table-size=100",
        r"dbg level=%s ChipsetS3LibTableHeader buffer size = 0x4000" % S3_LEVEL,
        r"pcd set cs-table=([0-9A-F]+) status=0",
        r"locate smm-base2 status=%s" % NOT_FOUND,  # 8
        r"locate list-anchor status=%s" % NOT_FOUND,
        r"protocol installed=list-anchor empty=1",
        r"locate heap-buffer-list status=%s" % NOT_FOUND,  # 9
        r"protocol installed=heap-buffer-list revision=1 empty=1",
        r"locate smm-base2 status=%s" % NOT_FOUND,  # 11
        r"locate smm-base2 status=%s" % NOT_FOUND,  # 12
        r"locate pointer-registry status=%s" % NOT_FOUND,
        r"locate pointer-registry status=%s" % NOT_FOUND,  # the notification's first run
        r"locate smm-base2 status=%s" % NOT_FOUND,  # 14
        r"pcd set flash-selector=12345678 status=0",  # 16: no device listed, the generic token remembered
        r"locate platform-hook status=0",  # 21
    ], "the first load's constructor chain")
    if trace is None:
        return
    page = int(trace[4].group(1), 16)
    record = int(trace[9].group(1), 16)
    table = int(trace[14].group(1), 16)
    run.note("boot-script record page 0x%X, chipset record 0x%X, table 0x%X, comm buffer 0x%X"
             % (page, record, table, comm))
    if page >= 0x100000000 or page % 4096:
        run.fail("the boot-script record page 0x%X is not a page below 4 GiB" % page)

    expect_bytes(run, s3_bytes(run, "loaded", "bs-record", "record"), bytes(24),
                 "the boot-script record starts zeroed")
    expect_bytes(run, s3_bytes(run, "loaded", "cs-record", "record"), bytes(8) + le64(table),
                 "the chipset record: not locked, not closed, TableHeader the published table")
    expect_new_table(run, s3_table(run, "loaded", "table"), "the chipset S3 table after the load")
    expect_bytes(run, s3_bytes(run, "loaded", "comm", "comm"), b"\xA5" * 64, "the comm buffer is untouched at load")

    # Ready-to-lock: both records locked, the script terminated, four
    # lock-box requests (store and seal the table, store and seal its
    # address), each finding no SMM communication.
    script = run.find(r"^s3 script table=([0-9A-F]+) length=20 status=0$")
    if not script:
        run.fail("the boot script could not be set up")
        return
    script_table = int(script[0].group(1), 16)
    lock = window(run, r"^s3 script ", r"^s3 lock ", "ready-to-lock")
    run.expect(r"^s3 lock status=0$", "the ready-to-lock protocol is installed")
    if lock is not None:
        requests = [t for t in lock if t == "locate smm-communication status=%s" % NOT_FOUND]
        if len(requests) != 4:
            run.fail("ready-to-lock: %d lock-box requests looked for SMM communication, expected 4" % len(requests))
        if "protocol installed=dxe-smm-ready-to-lock interface=null" not in lock:
            run.fail("ready-to-lock: the stand-in did not see the protocol installed")
        others = [t for t in lock if t.startswith(("pcd set", "dbg "))]
        if others:
            run.fail("ready-to-lock writes no PCD and prints nothing: %r" % others[0])
    expect_bytes(run, s3_bytes(run, "locked", "bs-record", "record"),
                 le64(script_table) + (0x20).to_bytes(4, "little") + bytes([1, 0, 0, 0]) + bytes(4)
                 + bytes([1, 0, 0, 0]),
                 "the locked boot-script record: the table, ScriptLength 0x20, 1 page, Locked 1, ResumeCopy 0")
    sealed = pattern(0x28)
    sealed[5:9] = (0x23).to_bytes(4, "little")
    sealed[0x20:0x23] = bytes([0xFF, 0x00, 0x03])
    expect_bytes(run, s3_bytes(run, "locked", "script", "script"), bytes(sealed),
                 "the closed script: length 0x23 at offset 5, terminator FF 00 03 at 0x20, nothing else changed")
    expect_bytes(run, s3_bytes(run, "locked", "cs-record", "record"), bytes([1]) + bytes(7) + le64(table),
                 "the chipset record is locked")
    expect_new_table(run, s3_table(run, "locked", "table"), "the chipset S3 table after ready-to-lock")

    # Ready-to-boot: the close callback ends the table, builds the hand-over
    # and finds no SMM communication to send it through.
    close = window(run, r"^s3 locked ", r"^s3 ready-to-boot ", "ready-to-boot")
    expect_trace(run, close, [
        r"dbg level=%s ChipsetS3SaveCloseTableCallBack" % S3_LEVEL,
        r"pcd get cs-table-size=100",
        r"pcd get cs-comm-buffer=%X" % comm,
        r"locate smm-communication status=%s" % NOT_FOUND,
        r"dbg level=%s ChipsetS3SaveLib locate SmmCommunicationProtocol fail " % S3_LEVEL,
    ], "the close at ready-to-boot")
    run.expect(r"^s3 ready-to-boot status=0 notified=1$", "ready-to-boot is signalled twice", count=2)
    run.expect(r"^dbg .*ChipsetS3SaveCloseTableCallBack$", "the close runs once, at the first ready-to-boot",
               count=1)
    closed = s3_table(run, "booted", "table")
    if closed == "freed":
        run.fail("the table was freed although nothing took it over")
    elif closed is not None:
        expect_bytes(run, closed[0][:0x30], b"AS3T" + bytes([1, 0, 0, 0]) + bytes(24) + le64(0x4000) + le64(0x30),
                     "the closed table's header is unchanged")
        expect_bytes(run, closed[2], bytes([0xFF, 0xFF, 0, 0]), "the end marker FF FF at NextEntryOffset 0x30")
    expect_bytes(run, s3_bytes(run, "booted", "comm", "comm"),
                 HANDOVER_GUID + le64(16) + bytes([1, 0, 0, 0]) + bytes(4) + le64(record) + b"\xA5" * 24,
                 "the 40-byte hand-over: handler GUID, MessageLength 16, function 1, the record's address")
    expect_bytes(run, s3_bytes(run, "booted", "cs-record", "record"), bytes([1]) + bytes(7) + le64(table),
                 "not handed over: TableClosed stays 0")

    # A second module finds both records and the table published.
    again = window(run, r"^s3 booted ", r"^say load=", "second load")
    expect_trace(run, again, [
        r"locate smbus-hc status=%s" % NOT_FOUND,
        r"locate smm-base2 status=%s" % NOT_FOUND,
        r"locate pcd status=0",
        r"pcd get bs-record=%X" % page,
        r"locate smm-base2 status=%s" % NOT_FOUND,
        r"pcd get cs-record=%X" % record,
        r"pcd get cs-table=%X" % table,
        r"locate smm-base2 status=%s" % NOT_FOUND,
        r"locate list-anchor status=0",
        r"locate heap-buffer-list status=0",
        r"locate smm-base2 status=%s" % NOT_FOUND,
        r"locate smm-base2 status=%s" % NOT_FOUND,
        r"locate pointer-registry status=%s" % NOT_FOUND,
        r"locate pointer-registry status=%s" % NOT_FOUND,
        r"locate smm-base2 status=%s" % NOT_FOUND,
        r"pcd set flash-selector=12345678 status=0",
        r"locate platform-hook status=0",
    ], "the second load allocates, publishes and registers nothing")
    for kind in ("bs-record", "cs-record", "comm"):
        expect_bytes(run, s3_bytes(run, "again", kind, kind), s3_bytes(run, "booted", kind, kind),
                     "the second load leaves the %s alone" % kind)


# A driver loaded after the platform's ready-to-lock (OVMF's instance is
# there, as it is for anything loaded from the shell), no comm buffer and a
# PCD table size of 0x8000.
S3_LATE = [
    Phase(["seed.efi FwTestS3:test:2:acomm=0,size=8000"] + standin() + [
        *LOAD_DRIVER,
        "s3ctl.efi dump loaded",
        "s3ctl.efi boot",
        "s3ctl.efi dump booted",
    ])
]


def check_s3_late_load(run):
    expect_platform_without_smm(run, ready_to_lock=True)
    run.expect(r"^say load=0x0$", "the driver loads and returns", count=1)
    load = window(run, r"^say standin-load=", r"^say load=", "the load")
    if load is None:
        return
    # The chipset record's lock event runs at once and finds the protocol.
    run.expect_order([r"^pcd set cs-record=", r"^locate dxe-smm-ready-to-lock status=0$", r"^pcd get cs-table=0$",
                      r"^pcd get cs-table-size=8000$",
                      r"^dbg level=%s ChipsetS3LibTableHeader buffer size = 0x8000$" % S3_LEVEL,
                      r"^pcd set cs-table="],
                     "the chipset record is locked at load, then a 0x8000-byte table is made")
    m = run.find(r"^pcd set cs-table=([0-9A-F]+) status=0$")
    table = int(m[0].group(1), 16) if m else 0
    expect_bytes(run, s3_bytes(run, "loaded", "cs-record", "record"), bytes([1]) + bytes(7) + le64(table),
                 "the chipset record is locked at load: ready-to-lock was installed before the driver")
    expect_new_table(run, s3_table(run, "loaded", "table"),
                     "a 0x8000-byte table keeps BoundaryOffset and its marker at 0x4000")
    record = s3_bytes(run, "loaded", "bs-record", "record")
    # The boot-script record is sealed at load too: its notification's first
    # run finds the protocol. Without a table the table store is refused
    # before it is sent; the other three requests look for SMM communication.
    if record is not None and len(record) == 24:
        requests = sum(1 for t in load if t.startswith("locate smm-communication "))
        if record[20] != 1:
            run.fail("a load past ready-to-lock leaves the boot-script record unlocked (Locked=%d)" % record[20])
        if requests != 3:
            run.fail("a load past ready-to-lock sent %d lock-box requests, expected 3" % requests)

    close = window(run, r"^s3 loaded ", r"^s3 ready-to-boot ", "ready-to-boot")
    expect_trace(run, close, [
        r"dbg level=%s ChipsetS3SaveCloseTableCallBack" % S3_LEVEL,
        r"pcd get cs-table-size=8000",
        r"pcd get cs-comm-buffer=0",
    ], "without a comm buffer the close stops after the end marker: no look-up, no message")
    run.expect(r"^s3 ready-to-boot status=0 notified=1$", "ready-to-boot is signalled")
    closed = s3_table(run, "booted", "table")
    if closed == "freed":
        run.fail("the table was freed although nothing took it over")
    elif closed is not None:
        expect_bytes(run, closed[2], bytes([0xFF, 0xFF, 0, 0]), "the end marker FF FF at NextEntryOffset 0x30")
        expect_bytes(run, closed[1], bytes([0x44, 0x88, 0x55, 0x01]), "the boundary marker stays")
    run.expect_none(r"^s3 booted comm ", "no comm buffer to dump")

# ------------------------------------------------------- flash hardware probe
# The stand-in lists SPI flash devices (FwTestFlash), so the flash
# identification at load runs its hardware path: the flash-access bracket
# (the host bridge's lock window through PCI configuration space at
# 0xF8000000, index 0xB8 and data 0xBC; FCH registers 0xFED80362, 0xFED80298,
# 0xFED802A8; the IMC gate at 0xFED80E80) and SPI commands through the FCH SPI
# controller at 0xFEC10000. flashprobe reads the same registers before and
# after the load.
#
# What OVMF's q35 machine answers there (the literals below): nothing decodes
# any of these addresses, and QEMU reads an address no device decodes as 0.
#   - 0xFEC10000 (SPI controller) and 0xFED80000.. (FCH registers): no
#     memory space in the firmware's map (GCD nonexistent); every register
#     reads 0: the controller is never busy, its FIFO pointer and position
#     read 0, PM1 control port 0 (port 0 reads 0, SCI_EN clear: no IMC
#     request), IMC gate clear.
#   - 0xF8000000: an unallocated part of the PCI memory aperture (GCD mmio,
#     free, no BAR there); q35's configuration space is at 0xB0000000
#     (PCIEXBAR of host bridge 8086:29C0 reads 0xB0000001). The window
#     register reads 0, so the driver sees no lock window and writes no lock
#     word. (Had it read all ones, the window would be 0xFFF00000 and the
#     lock words 0xFFF1055C..0xFFF10567: inside OVMF's read-only code flash
#     at 0xFFC00000, not RAM; the 32-bit sums cannot wrap for a 1 MiB aligned
#     window. flashprobe guard shows those words and the check compares them
#     across the load.)
#   - The driver's writes (0xFED80298 bit 31, 0xFED802A8, the SPI control,
#     extended and FIFO registers, the index at 0xF80000B8) go nowhere: every
#     register reads the same 0 after the load.
# So identification sees a part whose read-identification answers 00 00 00
# and whose SFDP read never fills the FIFO: boot 1 lists a part with the
# identification EF 40 18 (rejected) and one whose identification is 0
# (accepted: the read completed and answered zeros); boot 2 lists only the
# generic entry, whose SFDP read gives up at the FIFO position bound and is
# accepted with its listed parameters. Each load returns at once.
FLASH_REGISTERS = ("spi-control", "spi-fifo", "spi-fifo-pointer", "spi-ext-data", "spi-fifo-position",
                   "fch-298", "fch-2a8", "fch-pm1-port", "cfg-id", "cfg-b8", "cfg-bc")
FLASH_GCD = {"spi": "nonexistent", "fch": "nonexistent", "cfg": "mmio"}


def flash_probe_phase(devices):
    return Phase(["seed.efi FwTestFlash:test:2:a" + devices] + standin() + [
        "flashprobe.efi read before",
        "flashprobe.efi guard before claim",
        *LOAD_DRIVER,
        "flashprobe.efi read after",
        "flashprobe.efi guard after",
    ])


FLASH_PROBE = [flash_probe_phase("id"), flash_probe_phase("sfdp")]


def probe_registers(run, tag, boot):
    """{name: (address, value, gcd text)} of flashprobe's register lines."""
    regs = {}
    for m in run.find(r"^probe %s (\S+) addr=([0-9A-F]+) value=([0-9A-F]+) gcd=(.*)$" % tag, boot=boot):
        regs[m.group(1)] = (int(m.group(2), 16), int(m.group(3), 16), m.group(4))
    return regs


def check_flash_machine(run, boot):
    """What the emulated machine answers at the flash libraries' addresses."""
    before = probe_registers(run, "before", boot)
    after = probe_registers(run, "after", boot)
    for name in FLASH_REGISTERS:
        if name not in before or name not in after:
            run.fail("boot %d: flashprobe did not read %s before and after the load" % (boot, name))
            continue
        address, value, gcd = before[name]
        if value != 0:
            run.fail("boot %d: %s at 0x%X reads 0x%X; this scenario's expectations assume QEMU reads the "
                     "undecoded address as 0" % (boot, name, address, value))
        kind = FLASH_GCD[name.split("-")[0]]
        if not gcd.startswith("%s " % kind) or (kind == "mmio" and not gcd.endswith(" free")):
            run.fail("boot %d: %s at 0x%X is '%s' in the firmware's memory space map, expected %s%s"
                     % (boot, name, address, gcd, kind, " (unallocated)" if kind == "mmio" else ""))
        if after[name][1] != value:
            run.fail("boot %d: %s reads 0x%X after the load, 0x%X before: a driver write reached a device"
                     % (boot, name, after[name][1], value))
    run.expect(r"^probe before hostbridge id=29C08086 pciexbar=00000000B0000001$",
               "q35's host bridge, with its configuration space at 0xB0000000, not 0xF8000000", boot=boot)
    run.expect(r"^probe before window=00000000$", "the window register reads 0: no lock window", boot=boot)
    run.expect(r"^probe before pm1 port=0000 value=[0-9A-F]{7}[02468ACE] imc-gate=00$",
               "PM1 control port 0 with SCI_EN clear, IMC gate clear", boot=boot)
    bars = run.find(r"^probe before bars (.*)$", boot=boot)
    for b in re.findall(r"[,]([0-9A-F]{8})", bars[0].group(1) if bars else ""):
        if int(b, 16) & 1 == 0 and 0xF8000000 <= int(b, 16) & ~0xF < 0xF8001000:
            run.fail("boot %d: a PCI device's BAR decodes 0x%s, the flash libraries' configuration window"
                     % (boot, b))
    # The lock words an all-ones window register would give, and those of any
    # window read: unchanged across the load.
    words_before = {m.group(1): m.group(2) for m in run.find(r"^probe before word (\S+) value=(\S+) ", boot=boot)}
    words_after = {m.group(1): m.group(2) for m in run.find(r"^probe after word (\S+) value=(\S+) ", boot=boot)}
    if not words_before or words_before.keys() != words_after.keys():
        run.fail("boot %d: flashprobe did not show the lock words before and after the load" % boot)
    for address, value in words_before.items():
        if words_after.get(address) != value:
            run.fail("boot %d: lock word 0x%s changed from %s to %s during the load: the driver wrote where it "
                     "found no lock window" % (boot, address, value, words_after.get(address)))
    run.expect(r"^probe before word FFF1055C value=\S+ gcd=mmio gcd-range=FFC00000\+400000 allocated",
               "an all-ones window would put the lock words in OVMF's code flash", boot=boot)


def check_flash_probe(run):
    for boot in (1, 2):
        check_flash_machine(run, boot)
    run.expect(r"^say load=0x0$", "the driver loads and returns in each boot", count=2)
    expected = {
        1: [r"pcd get flash-device token=5 size=16", r"pcd get flash-param token=5 size=40",
            r"pcd get flash-device token=6 size=16", r"pcd get flash-param token=6 size=40",
            r"pcd set flash-selector=6 status=0"],
        2: [r"pcd get flash-device token=12345678 size=16", r"pcd get flash-param token=12345678 size=40",
            r"pcd set flash-selector=12345678 status=0"],
    }
    why = {1: "token 5 (EF 40 18) is read and rejected, token 6 (00 00 00) accepted",
           2: "the generic entry is identified by SFDP and accepted"}
    for boot in (1, 2):
        load = window_in(run, r"^probe before word ", r"^say load=", boot)
        if load is None:
            run.fail("boot %d: no lines of the driver's load" % boot)
            continue
        flash = [t for t in load if t.startswith("pcd ") and "flash" in t]
        if len(flash) != len(expected[boot]) or not all(
                re.fullmatch(p, t) for p, t in zip(expected[boot], flash)):
            run.fail("boot %d: %s: the flash PCD traffic is %r" % (boot, why[boot], flash))
        t0 = run.time_of(r"^probe before word ", boot=boot)
        i = run.index(r"^say load=", boot=boot)
        if t0 is not None and i is not None:
            seconds = run.lines[i][0] - t0
            run.note("boot %d: the load with flash identification took %.2f s QEMU processor time" % (boot, seconds))
            # Bounded waits on registers that read 0 end at once; ten seconds
            # still catches a wait that runs to a large bound.
            if seconds > 10.0:
                run.fail("boot %d: the load took %.1f s: a flash wait ran to its bound or beyond" % (boot, seconds))


def window_in(run, start, end, boot):
    """Texts of one boot after the last line matching start up to the first
    line matching end after it, or None."""
    lines = [text for _, b, text in run.lines if b == boot]
    start_i = None
    for i, text in enumerate(lines):
        if re.search(start, text):
            start_i = i
        elif start_i is not None and re.search(end, text):
            return lines[start_i + 1:i]
    return None


# ------------------------------------------------------- boot manager strings
# The driver registers the boot manager's string package list with OVMF's own
# HII database and replaces strings 13, 14 and 15 in every language with the
# texts of the firmware-information area the stand-in publishes (version
# "FWTEST.V1.2.3", model "FWT-MODEL 7", third text "07.08.09"). hiiread finds
# the list by its GUID and reads every string back through OVMF's
# EFI_HII_STRING_PROTOCOL.GetString, in both languages.
#
# What OVMF's database does with an id that a language's package skips
# (hiiread skiptest shows it on a list of its own, before the driver loads):
# GetString of a skipped id fails with EFI_INVALID_LANGUAGE; SetString of it
# succeeds and makes it a string of that language, which GetString then
# returns; the other ids of the skip stay undefined. So in zh-TW, which skips
# ids 2 to 15 and 31 to 32, ids 13 to 15 read the firmware-information texts
# and the other skipped ids fail with EFI_INVALID_LANGUAGE.
HII_STRINGS = [Phase(standin() + ["hiiread.efi skiptest", *LOAD_DRIVER, "hiiread.efi strings"])]

INVALID_LANGUAGE = "8000000000000020"
FIRMWARE_INFO_TEXTS = {13: "FWTEST.V1.2.3", 14: "FWT-MODEL 7", 15: "07.08.09"}
EN_US_TEXTS = {
    1: "English", 2: "EFI Floppy", 3: "EFI DVD/CDROM", 4: "EFI Hard Drive", 5: "EFI USB Device",
    6: "EFI SCSI Device", 7: "EFI ISCSI Device", 8: "EFI SD/MMC Card", 9: "EFI Embedded MMC Device",
    10: "EFI Misc Device", 11: "EFI Network", 12: "Missing String", 16: "BIOS Version", 17: "BIOS Build Date",
    18: "Processor Type", 19: "System Memory Speed",
    20: "Do you want to recovery ROM part? (Caution: Not every OS is bootable in Recovery Mode.)",
    21: "Flash Status", 22: "YES,this choice will flash Rom part.", 23: "NO, abort Recovery mode and restart system.",
    24: "Rebooting !", 25: "% of the system memory tested OK", 26: "Boot Succeeded - ",
    27: " has been blocked by the current security policy.",
    28: "Execution of the selected file has been blocked by the current security policy.",
    29: " boot failed.", 30: "Execution of the selected file boot failed.", 31: "Press Esc for boot options",
    32: "Esc is pressed. Go to boot options.",
}
# U+FFF1 and U+FFF0: the wide- and narrow-glyph controls.
ZH_TW_TEXTS = {
    1: "\ufff1\u4e2d\u6587\ufff0",
    17: "BIOS\ufff1\u5efa\u7acb\u65e5\u671f\ufff0",
    18: "\ufff1\u8655\u7406\u5668\ufff0 \ufff1\u578b\u5f0f\ufff0",
    19: "\ufff1\u7cfb\u7d71\u8a18\u61b6\u9ad4\u901f\u5ea6\ufff0",
    20: "\ufff1\u662f\u5426\u56de\u5fa9\u5feb\u9583\u8a18\u61b6\u9ad4\u5167\u5bb9\ufff0? "
        "\ufff1(\u8b66\u544a: \u4e26\u975e\u6240\u6709\u7684\u4f5c\u696d\u7cfb\u7d71\u7686\u53ef\u5728"
        "\u56de\u5fa9\u6a21\u5f0f\u4e0b\u958b\u6a5f)\ufff0",
    21: "\ufff1\u5feb\u9583\u8a18\u61b6\u9ad4\u72c0\u614b\ufff0",
    22: "\ufff1\u662f\uff0c\u6b64\u9078\u9805\u5c07\u66f4\u65b0\u5feb\u9583\u8a18\u61b6\u9ad4\u5167\u5bb9\ufff0",
    23: "\ufff1\u5426\uff0c\u53d6\u6d88\u56de\u5fa9\u6a21\u5f0f\u4e26\u91cd\u65b0\u555f\u52d5\u7cfb\u7d71\ufff0",
    24: "\ufff1\u91cd\u65b0\u958b\u6a5f\ufff0!",
    25: "%\ufff1\u4e4b\u7cfb\u7d71\u8a18\u61b6\u9ad4\u5df2\u6e2c\u8a66\u7121\u8aa4\ufff0",
    26: "\ufff1\u958b\u6a5f\u6210\u529f\ufff0",
}
# Id 16: a two-character name between the glyph controls, " EFI ", and the
# word for version.
ZH_TW_16 = re.compile("\ufff1[^\ufff0\ufff1]{2}\ufff0 EFI \ufff1\u7248\u672c\ufff0")


def hii_strings(run):
    """{(lang, id): (status, text)} of hiiread's string lines, text decoded."""
    strings = {}
    for m in run.find(r"^hii str (\S+) (\d+) status=([0-9A-F]+) text=(\S*)$"):
        text = re.sub(r"\\u([0-9A-F]{4})", lambda u: chr(int(u.group(1), 16)), m.group(4))
        strings[(m.group(1), int(m.group(2)))] = (m.group(3), text)
    return strings


def check_hii_strings(run):
    # OVMF's database on a list of hiiread's own: what it does with skipped ids.
    run.expect_order([r"^hii skiptest new status=0$",
                      r"^hii skiptest get-skipped status=%s text=$" % INVALID_LANGUAGE,
                      r"^hii skiptest set-skipped status=0$",
                      r"^hii skiptest get-set status=0 text=Er$",
                      r"^hii skiptest get-next status=%s text=$" % INVALID_LANGUAGE,
                      r"^hii skiptest remove status=0$"],
                     "OVMF's database: a skipped id is no string of that language until SetString makes it one")
    run.expect(r"^say load=0x0$", "the driver loads and returns", count=1)
    run.expect(r"^hii lists count=1$", "exactly one boot manager string package list in OVMF's database")
    langs = [m.group(1) for m in run.find(r"^hii package type=04 length=\d+ lang=(\S*)$")]
    if langs != ["en-US", "zh-TW"]:
        run.fail("the registered list holds string packages %r, expected en-US then zh-TW" % langs)
    run.expect(r"^hii languages=en-US;zh-TW status=0$", "GetLanguages of the list gives en-US;zh-TW")
    strings = hii_strings(run)
    if not strings:
        run.fail("hiiread read no strings back (the package list was not found)")
        return
    expected = {}
    for i in range(1, 33):
        expected[("en-US", i)] = ("0", FIRMWARE_INFO_TEXTS.get(i, EN_US_TEXTS.get(i)))
        if i in ZH_TW_TEXTS or i in FIRMWARE_INFO_TEXTS:
            expected[("zh-TW", i)] = ("0", ZH_TW_TEXTS.get(i) or FIRMWARE_INFO_TEXTS[i])
        elif 27 <= i <= 30:
            expected[("zh-TW", i)] = ("0", EN_US_TEXTS[i])
        elif i != 16:
            expected[("zh-TW", i)] = (INVALID_LANGUAGE, "")
    for key, (status, text) in sorted(expected.items()):
        actual = strings.get(key)
        if actual != (status, text):
            run.fail("%s string %d reads %r, expected %r%s" % (
                key[0], key[1], actual, (status, text),
                " (replaced from the firmware-information area)" if key[1] in FIRMWARE_INFO_TEXTS else ""))
    status, text = strings.get(("zh-TW", 16), (None, ""))
    if status != "0" or not ZH_TW_16.fullmatch(text):
        run.fail("zh-TW string 16 reads %r (status %s), expected a two-character name between U+FFF1 and "
                 "U+FFF0, ' EFI ', U+FFF1 and the word for version and U+FFF0" % (text, status))
    for lang in ("en-US", "zh-TW"):
        if strings.get((lang, 33), ("0",))[0] == "0":
            run.fail("%s string 33 exists: the package has ids 1 to 32 only" % lang)
    run.note("string 33 reads: en-US status %s, zh-TW status %s"
             % (strings.get(("en-US", 33), ("-",))[0], strings.get(("zh-TW", 33), ("-",))[0]))


SCENARIOS = {s.name: s for s in (
    Scenario("first_boot", FIRST_BOOT, check_first_boot),
    Scenario("change_boot", CHANGE_BOOT, check_change_boot, timeout=90),
    Scenario("factory_reset", FACTORY_RESET, check_factory_reset, timeout=90),
    Scenario("end_of_dxe_no_ec", END_OF_DXE, check_end_of_dxe),
    Scenario("end_of_dxe_mute_ec", END_OF_DXE, check_end_of_dxe_mute_ec, ec_readback=0x00),
    Scenario("s3_save", S3_SAVE, check_s3_save),
    Scenario("s3_late_load", S3_LATE, check_s3_late_load),
    Scenario("flash_probe", FLASH_PROBE, check_flash_probe, timeout=90),
    Scenario("hii_strings", HII_STRINGS, check_hii_strings),
)}

