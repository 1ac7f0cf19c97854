#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are the example scenarios' variables and the documented edge cases
in each target's input encoding (see the comment at the top of each
fuzz_<target>.cpp). Files named finding-* are reproducers of faults found by
fuzzing: those made here are written again, others (a crash file kept as it
was found) are left alone. Run it again after changing an encoding.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# StoredAttributes selectors: 0 gives attributes 7, 8 gives 3, 9 gives 6,
# 11 gives 0xF, 12 gives 1, 15 gives 0x27.
A7, A3, A6, A_HR, A1, A_AUTH = 0, 8, 9, 11, 12, 15


def u16(v):
    return struct.pack("<H", v)


def block(data):
    return u16(len(data)) + data


def wide(text, terminator=True):
    return text.encode("utf-16-le") + (b"\0\0" if terminator else b"")


def node(t, s, payload=b"", length=None):
    return bytes([t, s]) + u16(length if length is not None else 4 + len(payload)) + payload


END = node(0x7F, 0xFF)
END_INSTANCE = node(0x7F, 0x01)
PCI = node(1, 1, bytes([2, 8]))
USB = node(3, 5, bytes([3, 0]))
MAC = node(3, 11, bytes(32) + bytes([1]))
IPV4 = node(3, 12, bytes(23))
SATA = node(3, 18, bytes(6))
NVME = node(3, 23, bytes(12))
HD = node(4, 1, bytes(38))


def load_option(description, path, terminator=True, attributes=1):
    return struct.pack("<IH", attributes, len(path)) + wide(description, terminator) + path


def order(*numbers):
    return b"".join(u16(n) for n in numbers)


# The example scenarios' boot options.
WINDOWS = load_option("Windows Boot Manager", PCI + NVME + HD + END)
USB_STICK = load_option("EFI USB Device (Kingston DataTraveler 3.0)", PCI + USB + END)
PXE = load_option("EFI PXE 0 for IPv4 (00-1B-21-3C-4D-5E)", PCI + MAC + IPV4 + END)
SATA_DISK = load_option("EFI SATA Device (ST1000LM035-1RK172)", PCI + SATA + HD + END)


def boot_scan(control, mode, options, boot_order, extra=b"", boot_next=None, order_attr=A7):
    data = bytes([control, mode]) + extra + bytes([order_attr]) + block(boot_order)
    data += bytes([0 if boot_next is None else 1]) + u16(boot_next or 0)
    for number, option, flags, attr in options:
        data += u16(number) + bytes([flags, attr]) + block(option)
    return data


def opt(number, option, flags=0, attr=A7):
    return (number, option, flags, attr)


def boot_scan_seeds():
    scenario = [opt(0, WINDOWS), opt(3, PXE), opt(1, USB_STICK), opt(2, SATA_DISK)]
    return {
        "usb-ordinary-boot": boot_scan(0, 0x81, scenario, order(0, 3, 1, 2)),
        "pxe": boot_scan(0, 0x82, scenario, order(0, 3, 1, 2)),
        "hard-drive": boot_scan(0, 0x83, scenario, order(3, 1, 2, 0)),
        "prefix-first-in-order": boot_scan(
            0, 0x81,
            [opt(0, WINDOWS), opt(5, load_option("EFI USB Device (SanDisk)", PCI + USB + END)),
             opt(7, load_option("EFI USB Device", PCI + USB + END))], order(0, 5, 7)),
        "no-pxe-bootnext-kept": boot_scan(0, 0x82, [opt(0, WINDOWS), opt(1, USB_STICK)], order(0, 1),
                                          boot_next=0x0001),
        "hd-in-second-instance": boot_scan(
            0, 0x83,
            [opt(1, load_option("Two instances", PCI + SATA + END_INSTANCE + PCI + HD + END)),
             opt(2, SATA_DISK)], order(1, 2)),
        "mode-84-no-target": boot_scan(0, 0x84, scenario, order(0, 1)),
        "description-unterminated": boot_scan(
            0, 0x81, [opt(4, struct.pack("<IH", 1, 0) + wide("EFI USB Device", terminator=False))], order(4)),
        "node-length-0": boot_scan(0, 0x83, [opt(6, load_option("Bad", PCI + node(4, 1, length=0)))], order(6)),
        "node-past-end": boot_scan(0, 0x83, [opt(6, load_option("Bad", PCI + node(4, 1, length=200)))],
                                   order(6)),
        "lower-case-name-and-odd-order": boot_scan(0, 0x81, [opt(0x00AB, USB_STICK, flags=1)],
                                                   order(0x00AB) + b"\x01"),
        "search-text": boot_scan(2, 0, scenario, order(0, 3, 1, 2), extra=block(wide("EFI SATA", False))),
        "search-node": boot_scan(3, 0, scenario, order(0, 3, 1, 2), extra=bytes([3, 11])),
        "option-attributes": boot_scan(0, 0x81, [opt(1, USB_STICK, attr=A_HR)], order(1), order_attr=A3),
    }


def setup_record(size, set_bytes, fill=0):
    """Setup in the change-boot encoding: size, fill, bytes 92/100/111, overlay."""
    b = [set_bytes.get(92, 0), set_bytes.get(100, 0), set_bytes.get(111, 0)]
    overlay = bytearray(min(size, 92))
    for k, v in set_bytes.items():
        if k < len(overlay):
            overlay[k] = v
    return u16(size) + bytes([fill]) + bytes(b) + block(bytes(overlay))


def change_boot(flags, request, setup, boot_order=b"", physical=b"", options=(), request_attr=A7,
                setup_attr=A7, order_attr=A7, physical_attr=A7):
    data = bytes([flags, request_attr]) + block(request)
    data += bytes([setup_attr]) + (setup if setup is not None else u16(0) + bytes(4) + block(b""))
    data += bytes([order_attr]) + block(boot_order) + bytes([physical_attr]) + block(physical)
    for number, option, attr in options:
        data += u16(number) + bytes([attr]) + block(option)
    return data


def change_boot_seeds():
    setup512 = setup_record(512, {3: 1, 16: 2, 41: 1, 92: 1, 111: 0, 188: 0x1E})
    setup1536 = setup_record(1536, {3: 1, 16: 2, 41: 1, 92: 1, 100: 3, 111: 1, 188: 0x1E})
    options = [(0, WINDOWS, A7), (1, USB_STICK, A7), (2, PXE, A7), (3, SATA_DISK, A7)]
    hook_idle = 1 | 4
    return {
        "ordinary-boot-mode1": change_boot(hook_idle, b"\x01\x81", setup512, order(0, 3, 1, 2), options=options),
        "mode1-byte92-clear": change_boot(0, b"\x01\x81", setup_record(512, {})),
        "mode2-byte111-0": change_boot(0, b"\x01\x02", setup_record(512, {100: 7})),
        "mode3-hard-drive": change_boot(0, b"\x01\x83", setup_record(1024, {111: 1})),
        "mode5-byte111-1": change_boot(0, b"\x01\x05", setup_record(512, {100: 7, 111: 1})),
        "one-byte-request": change_boot(0, b"\x01", setup512),
        "request-not-pending": change_boot(0, b"\x00\x81", setup512),
        "request-too-long": change_boot(0, b"\x01\x81\x00", setup512),
        "no-setup": change_boot(0, b"\x01\x04", None),
        "setup-short": change_boot(0, b"\x01\x01", setup_record(100, {92: 1})),
        "factory-reset": change_boot(hook_idle, b"\x01\x04", setup1536, order(0, 1, 2), order(3, 1), options),
        "factory-reset-two-idle-markers": change_boot(hook_idle | 8, b"\x01\x04", setup1536, order(0, 0x2001),
                                                      order(3), options),
        "factory-reset-hook-removes-setup": change_boot(hook_idle | 2, b"\x01\x04", setup1536, order(0),
                                                        options=options),
        "factory-reset-no-markers": change_boot(1, b"\x01\x04", setup1536, order(0, 1), options=options),
        "unsupported-mode": change_boot(0, b"\x01\x06", setup512),
    }


def change_boot_findings():
    """Faults the change-boot target found, one reproducer each."""
    setup1536 = setup_record(1536, {3: 1, 92: 1, 100: 3, 111: 1})
    options = [(0, WINDOWS, A7), (1, USB_STICK, A7), (3, SATA_DISK, A7)]
    return {
        # ZKChgBoot stored with attributes 0xF: the write-back with 7 is
        # refused and the request stays pending.
        "finding-request-attributes": change_boot(0, b"\x01\x01", setup_record(512, {92: 1}), request_attr=A_HR),
        # Setup stored with attributes 3: the delete with 7 is refused and the
        # factory reset stops after deleting the request.
        "finding-setup-attributes": change_boot(5, b"\x01\x04", setup1536, order(0, 1), options=options,
                                                setup_attr=A3),
        # Boot0001 stored with attributes 0xF: deleted with 7, refused, kept.
        "finding-option-attributes": change_boot(5, b"\x01\x04", setup1536, order(0, 1),
                                                 options=[(0, WINDOWS, A7), (1, USB_STICK, A_HR)]),
        # No BootOrder: the purge stops before PhysicalBootOrder and its options.
        "finding-no-boot-order": change_boot(5, b"\x01\x04", setup1536, b"", order(3, 1), options),
    }


def eod_vars(ec=0, ec_param=0, power_off=0, mode=0, lid=None, oob=None, lid_attr=A7, oob_attr=A7,
             chg_key=None, boot_next=None):
    data = bytes([ec, ec_param, power_off, mode])
    data += bytes([lid_attr]) + block(lid or b"") + bytes([oob_attr]) + block(oob or b"")
    data += bytes([0 if chg_key is None else 1, chg_key or 0])
    data += bytes([0 if boot_next is None else 1]) + u16(boot_next or 0)
    return data


def eod_vars_seeds():
    return {
        "ordinary-boot": eod_vars(mode=0x81, lid=b"\x01", oob=b"\x02"),
        "oob-counter-3": eod_vars(mode=0x01, oob=b"\x03"),
        "oob-counter-1": eod_vars(oob=b"\x01"),
        "oob-counter-0-attributes-3": eod_vars(oob=b"\x00", oob_attr=A3),
        "lid-two-bytes": eod_vars(lid=b"\x01\x01", oob=b"\x02\x00"),
        "power-off": eod_vars(power_off=1, lid=b"\x01", chg_key=0x00, boot_next=0x0005),
        "mode-2": eod_vars(mode=0x02, boot_next=0x0001),
        "ec-busy": eod_vars(ec=0xF8, ec_param=3, lid=b"\x01", oob=b"\x03"),
        "ec-not-answering": eod_vars(ec=0xFE, mode=0x01, lid=b"\x01", oob=b"\x02"),
        "ec-dies": eod_vars(ec=0xFC, ec_param=4, power_off=1, lid=b"\x00"),
        "ec-stale-output": eod_vars(ec=0xFF, ec_param=0x5A, power_off=1),
        # ZKOOBTest 14 stored non-volatile alone (no access attribute): the
        # decrement, written back with those attributes, deletes the counter.
        "finding-oob-counter-no-access-attributes": eod_vars(power_off=0xFF, oob=b"\x0e", oob_attr=A1,
                                                             chg_key=0x00),
    }


def print_case(fmt, args=b"", capacity=64, flags=0):
    return bytes([flags]) + u16(capacity) + block(fmt) + args


def u64(v):
    return struct.pack("<Q", v & 0xFFFFFFFFFFFFFFFF)


def pointer(data):
    return b"\x01" + block(data)


def print_seeds():
    guid = bytes.fromhex("61DFE48BCA93D211AA0D00E098032B8C")
    time = struct.pack("<HBBBBBBIhBB", 2021, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0)
    return {
        "boot-name": print_case(b"Boot%04x", u64(10), capacity=9, flags=1),
        "numbers": print_case(b"%08x %X %8X %8x %5d %05d %-5d|", b"".join(u64(v) for v in
                                                                          (0x1F, 0x1F, 0x1F, 0x1F, -42, -42, 42))),
        "thousands": print_case(b"%,d %,d %.0d %d %u %x %lx", b"".join(u64(v) for v in
                                                                       (1234567, 123, 0, 0, -1, -1, -1))),
        "status": print_case(b"%r %r %r", u64(0) + u64((1 << 63) | 14) + u64(6)),
        "guid-time": print_case(b"%g %t %g", pointer(guid) + pointer(time) + b"\x00"),
        "strings": print_case(b"%s|%.5s|%.1s|%a|%S", b"\x00" + pointer(wide("ab", False)) * 2 +
                              pointer(b"ascii") + pointer(wide("W", False)), flags=1),
        "star-width": print_case(b"%*d|%.*s|%-*x", u64(12) + u64(5) + u64(3) + pointer(wide("abcdef", False)) +
                                 u64(8) + u64(0xAB)),
        "huge-star": print_case(b"%*d%.*a", u64(1 << 62) + u64(1) + u64(1 << 40) + pointer(b"x"), capacity=40),
        "newlines": print_case(b"a\nb\n\rc\rd\r\ne%", capacity=20),
        "capacity-1": print_case(b"abc", capacity=1),
        "capacity-refused": print_case(b"abc", capacity=0xFFF3),
        "wide-format": print_case(wide("%c%d %s", False) + b"\x73\x01", u64(0x263A) + u64(7) + pointer(wide("z")),
                                  flags=3),
        "truncated": print_case(b"%-20s|%020d", pointer(wide("truncate me", False)) + u64(99), capacity=12),
    }


def scenario_seeds():
    seeds = {}
    directory = os.path.join(ROOT, "scenarios")
    for name in sorted(os.listdir(directory)):
        if name.endswith(".json"):
            with open(os.path.join(directory, name), "rb") as f:
                seeds[name[:-5]] = f.read()
    seeds["empty-object"] = b"{}"
    seeds["duplicate-key"] = b'{"cmos": {"0x61": 1, "0x61": 2}}'
    seeds["record-data"] = b'{"variables": [{"name": "Setup", "guid": "setup", "attributes": 3, ' \
                           b'"data": {"size": 112, "fill": 255, "set": {"92": 1, "111": "0x01"}}}]}'
    seeds["nested-65"] = b'{"description": ' + b"[" * 64 + b"]" * 64 + b"}"
    # Found by fuzzing: a key holding a line break made a two-line error.
    seeds["finding-line-break-in-key"] = b'{"imc": {"ena\\nbled": true}}'
    return seeds


# fuzz_whole_boot flags.
WB_HOOK, WB_HOOK_REMOVES_SETUP, WB_IDLE_MARKER, WB_NO_BOOT_MANAGER = 1, 2, 4, 8
WB_WRITE_PROTECTED, WB_SMALL_STORE, WB_RECOVERY, WB_FIRST_BOOT_STORED = 0x10, 0x20, 0x40, 0x80
WB_ORDINARY = WB_HOOK | WB_IDLE_MARKER | WB_FIRST_BOOT_STORED
# Failure rule services (index into the target's table) and statuses.
WB_GET, WB_SET, WB_ALLOC = 0, 2, 4
WB_DEVICE_ERROR, WB_OUT_OF_RESOURCES = 0, 1


def whole_boot(flags=WB_ORDINARY, ec=0, ec_param=0, power_off=0, power_cut=0, rules=(), request=b"",
               lid=b"", oob=b"", boot_order=b"", physical=b"", setup=(512, {}), setup_attr=A7,
               options=(), request_attr=A7):
    """rules: (service, call, from_then_on, status); setup: (size, {offset: value}) or None."""
    data = bytes([flags, ec, ec_param, power_off, power_cut, len(rules)])
    for service, call, on, status in rules:
        data += bytes([service, call - 1, (status << 1) | (1 if on else 0)])
    data += bytes([request_attr]) + block(request)
    data += bytes([A7]) + block(lid) + bytes([A7]) + block(oob)
    data += bytes([A7]) + block(boot_order) + bytes([A7]) + block(physical)
    size, values = setup if setup else (0, {})
    data += bytes([setup_attr]) + u16(size) + bytes([values.get(92, 0), values.get(100, 0), values.get(111, 0)])
    for number, option in options:
        data += u16(number) + bytes([A7]) + block(option)
    return data


def whole_boot_seeds():
    notebook = dict(boot_order=order(0, 3, 1, 2),
                    options=[(0, WINDOWS), (3, PXE), (1, USB_STICK), (2, SATA_DISK)])
    usb = dict(notebook, request=b"\x01\x81", lid=b"\x01", setup=(512, {92: 1}))
    factory = dict(notebook, request=b"\x01\x04", physical=order(3))
    return {
        "ordinary-boot": whole_boot(**usb),
        "pxe-mode-2": whole_boot(**dict(notebook, request=b"\x01\x02", setup=(512, {100: 7}))),
        "hard-drive-mode-3": whole_boot(**dict(notebook, request=b"\x01\x83", setup=(1024, {111: 1}))),
        "mode-5": whole_boot(**dict(notebook, request=b"\x01\x05", setup=(112, {100: 3}))),
        "factory-reset": whole_boot(**factory),
        "factory-reset-hook-removes-setup": whole_boot(**dict(factory, flags=WB_ORDINARY | WB_HOOK_REMOVES_SETUP)),
        "factory-reset-setup-attributes-3": whole_boot(**dict(factory, setup_attr=A3)),
        "factory-reset-no-boot-order": whole_boot(**dict(factory, boot_order=b"")),
        "oob-counter-3": whole_boot(**dict(notebook, request=b"\x00\x01", oob=b"\x03")),
        "ec-power-off": whole_boot(**dict(usb, power_off=1)),
        "ec-slow": whole_boot(**dict(usb, ec=0xF0, ec_param=40)),
        "ec-dies-after-4-bytes": whole_boot(**dict(usb, ec=0xFD, ec_param=4)),
        "ec-stale-output": whole_boot(**dict(usb, ec=0xF8, ec_param=0x5A)),
        "ec-busy-at-boot": whole_boot(**dict(usb, ec=0xFC, ec_param=200)),
        "ec-never-answers": whole_boot(**dict(usb, ec=0xFE)),
        "write-protected-store": whole_boot(**dict(usb, flags=WB_ORDINARY | WB_WRITE_PROTECTED)),
        "small-store": whole_boot(**dict(usb, flags=WB_ORDINARY | WB_SMALL_STORE, setup=(900, {92: 1}))),
        "recovery-boot": whole_boot(**dict(usb, flags=WB_ORDINARY | WB_RECOVERY)),
        "first-boot-no-boot-manager": whole_boot(**dict(usb, flags=WB_HOOK | WB_NO_BOOT_MANAGER)),
        "set-variable-fails-from-then-on": whole_boot(**dict(usb, rules=[(WB_SET, 1, True, WB_DEVICE_ERROR)])),
        "set-variable-2-fails-once": whole_boot(**dict(usb, rules=[(WB_SET, 2, False, WB_OUT_OF_RESOURCES)])),
        "get-variable-3-fails-from-then-on": whole_boot(**dict(usb, rules=[(WB_GET, 3, True, WB_DEVICE_ERROR)])),
        "allocation-3-fails": whole_boot(**dict(factory, rules=[(WB_ALLOC, 3, True, WB_DEVICE_ERROR)])),
        "power-cut-after-write-1": whole_boot(**dict(usb, power_cut=1)),
        "power-cut-after-write-2-factory-reset": whole_boot(**dict(factory, power_cut=2)),
    }


def main():
    targets = {
        "boot_scan": boot_scan_seeds(),
        "change_boot": {**change_boot_seeds(), **change_boot_findings()},
        "eod_vars": eod_vars_seeds(),
        "print": print_seeds(),
        "scenario": scenario_seeds(),
        "whole_boot": whole_boot_seeds(),
    }
    for target, seeds in targets.items():
        directory = os.path.join(HERE, "corpus", target)
        os.makedirs(directory, exist_ok=True)
        for name in os.listdir(directory):
            if not name.startswith("finding-"):
                os.remove(os.path.join(directory, name))
        for name, data in seeds.items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
