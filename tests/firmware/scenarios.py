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
    run.note("End-of-DXE handler: %.2f s host wall time, %d ms by the guest's TSC"
             % (t1 - t0, int(m[0].group(1)) // 1000))
    # Seven bounded EC waits take well under a second under emulation; ten
    # seconds leaves room for a loaded machine and still catches a bound that
    # is far too large (an unbounded wait ends in the run's time-out).
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


SCENARIOS = {s.name: s for s in (
    Scenario("first_boot", FIRST_BOOT, check_first_boot),
    Scenario("change_boot", CHANGE_BOOT, check_change_boot, timeout=90),
    Scenario("factory_reset", FACTORY_RESET, check_factory_reset, timeout=90),
    Scenario("end_of_dxe_no_ec", END_OF_DXE, check_end_of_dxe),
    Scenario("end_of_dxe_mute_ec", END_OF_DXE, check_end_of_dxe_mute_ec, ec_readback=0x00),
)}
