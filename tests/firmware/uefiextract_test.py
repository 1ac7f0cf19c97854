#!/usr/bin/env python3
"""An independent tool reads what we ship: UEFIExtract (Debian's uefitool-cli)
parses BootCtlDxe.ffs and the OVMF images that ovmfvol.py rebuilt, and its
report of our file agrees with what the build says.

    uefiextract_test.py --uefiextract UEFIExtract --ffspack FFSPACK
                        --image BootCtlDxe.efi --ffs BootCtlDxe.ffs
                        --work DIR [FIRMWARE.fd ...]

UEFIExtract parses firmware images, not single files, so the file is put as
it is into a small volume of its own (FFSv2, erased bytes 0xFF, a volume top
file at its end as a flash image has). For that volume and every image
given:
  - UEFIExtract's report run prints nothing (no error, no warning) and exits 0;
  - the report lists BootCtlDxe once: DXE driver, its GUID, the file's size,
    and its sections in order (dependency expression, PE32 image, UI);
  - its information dump of the file shows type 07h, attributes 00h, the full
    size, state F8h, both checksums valid (data checksum AAh), the dependency
    expression as `ffspack --list` names it (PUSH each protocol, AND between,
    END), a PE32 body exactly as long as BootCtlDxe.efi for x86-64 with
    subsystem 000Bh, and the UI text "BootCtlDxe".
"""

import argparse
import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import uuid

BOOTCTL_FILE = "F8035659-178C-41FF-8E0D-EA928C53DB3A"
FFS2_GUID = uuid.UUID("8C8CE578-8A3D-4F1C-9935-896185C32DD3")
VOLUME_TOP_FILE = uuid.UUID("1BA0062E-C779-4582-8566-336AE8F78F09")
VOLUME_SIZE = 0x10000


def sum8(data):
    return sum(data) & 0xFF


def raw_file(name, data, ftype=0x01):
    """A file (raw, type 0x01, unless another type is given) with a valid
    header and the fixed data checksum."""
    size = 24 + len(data)
    header = bytearray(name.bytes_le + bytes([0, 0, ftype, 0]) + size.to_bytes(3, "little") + b"\0")
    header[16] = (0x100 - sum8(header)) & 0xFF
    header[17] = 0xAA
    header[23] = 0xF8  # valid, erase polarity 1
    return bytes(header) + data


def volume_with(ffs):
    """A 64 KiB FFSv2 volume: the file at the first 8-byte boundary after the
    header, a pad file up to the 40-byte volume top file that ends the volume."""
    header_length = 0x48
    attributes = 0x0004FEFF  # read/write/lock capabilities and status, erase polarity 1, 8-byte alignment
    header = bytearray(16) + FFS2_GUID.bytes_le + struct.pack("<Q", VOLUME_SIZE) + b"_FVH"
    header += struct.pack("<IHHHBB", attributes, header_length, 0, 0, 0, 2)
    header += struct.pack("<II", VOLUME_SIZE // 0x1000, 0x1000) + bytes(8)  # block map and its end
    assert len(header) == header_length
    checksum = sum(struct.unpack("<%dH" % (header_length // 2), header)) & 0xFFFF
    header[50:52] = struct.pack("<H", (0x10000 - checksum) & 0xFFFF)
    top = raw_file(VOLUME_TOP_FILE, bytes(16))
    body = bytearray(b"\xFF" * VOLUME_SIZE)
    body[:header_length] = header
    body[header_length:header_length + len(ffs)] = ffs
    pad_at = (header_length + len(ffs) + 7) & ~7
    top_at = VOLUME_SIZE - len(top)
    if pad_at + 24 > top_at:
        raise SystemExit("FAIL: the file does not fit the test volume")
    body[pad_at:top_at] = raw_file(uuid.UUID(int=(1 << 128) - 1), b"\xFF" * (top_at - pad_at - 24), 0xF0)
    body[top_at:] = top
    return bytes(body)


def run(cmd, cwd):
    return subprocess.run(cmd, cwd=cwd, capture_output=True, text=True)


class Check:
    def __init__(self):
        self.failures = []

    def fail(self, where, message):
        self.failures.append("%s: %s" % (where, message))

    def equal(self, where, what, actual, expected):
        if actual != expected:
            self.fail(where, "%s is %r, expected %r" % (what, actual, expected))


def info_fields(text):
    """Key: value lines; a key given twice (Type: the item's kind, then its
    type byte) keeps the second value."""
    fields = {}
    for line in text.splitlines():
        if ": " in line:
            key, value = line.split(": ", 1)
            fields[key] = value
    return fields


def check_image(check, tool, path, work, expected):
    where = os.path.basename(path)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    image = os.path.join(work, where)
    shutil.copyfile(path, image)
    r = run([tool, where, "report"], work)
    said = (r.stdout + r.stderr).strip()
    if r.returncode != 0 or said:
        check.fail(where, "UEFIExtract report exited %d and said %r" % (r.returncode, said))
    with open(image + ".report.txt") as f:
        report = f.read().splitlines()
    rows = [i for i, line in enumerate(report) if BOOTCTL_FILE in line]
    if len(rows) != 1:
        check.fail(where, "the report lists BootCtlDxe's file %d times" % len(rows))
        return
    cells = [c.strip() for c in report[rows[0]].split("|")]
    check.equal(where, "the report's type", cells[0], "File")
    check.equal(where, "the report's subtype", cells[1], "DXE driver")
    check.equal(where, "the report's size", int(cells[3], 16), expected["size"])
    check.equal(where, "the report's GUID", cells[5].split()[-1], BOOTCTL_FILE)
    check.equal(where, "the report's name", cells[6] if len(cells) > 6 else None, "BootCtlDxe")
    sections = []
    for line in report[rows[0] + 1:]:
        c = [x.strip() for x in line.split("|")]
        if c[0] != "Section":
            break
        sections.append(c[1])
    check.equal(where, "the file's sections", sections, ["DXE dependency", "PE32 image", "UI"])

    r = run([tool, where, BOOTCTL_FILE, "-o", "bootctl", "-m", "info"], work)
    if r.returncode != 0 or (r.stdout + r.stderr).strip():
        check.fail(where, "UEFIExtract's dump of the file exited %d and said %r"
                   % (r.returncode, (r.stdout + r.stderr).strip()))
    infos = {}
    for name in glob.glob(os.path.join(work, "bootctl", "info*.txt")):
        with open(name) as f:
            text = f.read()
        fields = info_fields(text)
        infos[fields.get("Subtype")] = (fields, text)
    if set(infos) != {"DXE driver", "DXE dependency", "PE32 image", "UI"}:
        check.fail(where, "the dump holds %s" % sorted(k or "?" for k in infos))
        return
    f = infos["DXE driver"][0]
    for key, value in (("File GUID", BOOTCTL_FILE), ("Type", "07h"), ("Attributes", "00h"),
                       ("Full size", "%Xh (%d)" % (expected["size"], expected["size"])), ("Header size", "18h (24)"),
                       ("State", "F8h"), ("Data checksum", "AAh, valid"), ("Text", "BootCtlDxe")):
        check.equal(where, "the file's " + key, f.get(key), value)
    if not f.get("Header checksum", "").endswith(", valid"):
        check.fail(where, "the header checksum is %r" % f.get("Header checksum"))
    depex = re.findall(r"^(PUSH [0-9A-F-]{36}|AND|END)$", infos["DXE dependency"][1], re.M)
    check.equal(where, "the dependency expression", depex, expected["depex"])
    pe = infos["PE32 image"][0]
    check.equal(where, "the PE32 body", pe.get("Body size"), "%Xh (%d)" % (expected["image"], expected["image"]))
    check.equal(where, "the machine", pe.get("Machine type"), "x86-64")
    check.equal(where, "the subsystem", pe.get("Subsystem"), "000Bh")
    check.equal(where, "the UI text", infos["UI"][0].get("Text"), "BootCtlDxe")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--uefiextract", required=True)
    ap.add_argument("--ffspack", required=True)
    ap.add_argument("--image", required=True)
    ap.add_argument("--ffs", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("firmware", nargs="*")
    args = ap.parse_args()
    tool = shutil.which(args.uefiextract)
    if tool is None:
        print("FAIL: %s not found (package uefitool-cli)" % args.uefiextract)
        return 1
    missing = [p for p in [args.image, args.ffs] + args.firmware if not os.path.isfile(p)]
    if missing:
        print("FAIL: missing %s" % ", ".join(missing))
        return 1
    listed = subprocess.run([args.ffspack, "--list", args.image], capture_output=True, text=True, check=True)
    protocols = [line.split()[0] for line in listed.stdout.splitlines() if line.strip()]
    depex = []
    for i, g in enumerate(protocols):
        depex.append("PUSH " + g)
        if i > 0:
            depex.append("AND")
    depex.append("END")
    with open(args.ffs, "rb") as f:
        ffs = f.read()
    expected = {"size": len(ffs), "image": os.path.getsize(args.image), "depex": depex}
    os.makedirs(args.work, exist_ok=True)
    volume = os.path.join(args.work, "BootCtlDxe.fv")
    with open(volume, "wb") as f:
        f.write(volume_with(ffs))
    check = Check()
    for n, path in enumerate([volume] + args.firmware):
        check_image(check, tool, path, os.path.join(args.work, "run%d" % n), expected)
    for failure in check.failures:
        print("FAIL " + failure)
    if check.failures:
        return 1
    print("PASS: UEFIExtract reads BootCtlDxe (%d bytes, a %d-byte image, %d protocols in its expression) in %s"
          % (expected["size"], expected["image"], len(protocols),
             ", ".join(os.path.basename(p) for p in [volume] + args.firmware)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
