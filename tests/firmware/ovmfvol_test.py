#!/usr/bin/env python3
"""ovmfvol.py on small code images laid out as OVMF lays out its own: the
rebuilt volume, file, section and LZMA header read back with a parser of the
test's own, and every layout it must refuse. Runs without QEMU.

    ovmfvol_test.py [--ovmf-vars FILE]   (a real non-code image to refuse)
"""

import lzma
import os
import struct
import subprocess
import sys
import unittest
import uuid

import ovmfvol

ARGS = {"vars": None}


def le_guid(text):
    return uuid.UUID(text).bytes_le


LZMA_GUID_BYTES = bytes([0x98, 0x58, 0x4E, 0xEE, 0x14, 0x39, 0x59, 0x42, 0x9D, 0x6E, 0xDC, 0x7B, 0xD7, 0x94,
                         0x03, 0xCF])
FFS2 = le_guid("8C8CE578-8A3D-4F1C-9935-896185C32DD3")
PEI_CORE_NAME = le_guid("11111111-0000-0000-0000-000000000001")
DXE_CORE_NAME = le_guid("11111111-0000-0000-0000-000000000002")
FV_FILE_NAME = le_guid("11111111-0000-0000-0000-000000000003")
DRIVER_A = le_guid("22222222-0000-0000-0000-00000000000A")
DRIVER_B = le_guid("22222222-0000-0000-0000-00000000000B")


def header_sum(f):
    return (sum(f[:24]) - f[17] - f[23]) & 0xFF


def word_sum(data):
    return sum(struct.unpack_from("<%dH" % (len(data) // 2), data)) & 0xFFFF


def firmware_file(name, ftype, body, erase=0xFF):
    size = 24 + len(body)
    h = bytearray(name + bytes([0, 0, ftype, 0]) + size.to_bytes(3, "little") + b"\0")
    h[16] = (-sum(h)) & 0xFF
    h[17] = 0xAA
    h[23] = 0xF8 if erase == 0xFF else 0x07
    return bytes(h) + body


def section(stype, body):
    return (4 + len(body)).to_bytes(3, "little") + bytes([stype]) + body


def volume(files, length, erase=0xFF):
    """A 72-byte FV header (block map of 4 KiB blocks), the files 8-byte
    aligned, erased bytes to the end."""
    attributes = 0x4FEFF if erase == 0xFF else 0x4F6FF
    h = bytearray(16) + FFS2 + struct.pack("<Q", length) + b"_FVH" + struct.pack("<IHHHBB", attributes, 72, 0, 0, 0, 2)
    h += struct.pack("<IIII", length // 0x1000, 0x1000, 0, 0)
    struct.pack_into("<H", h, 50, (-word_sum(h)) & 0xFFFF)
    body = bytearray(h)
    for f in files:
        while len(body) % 8:
            body.append(erase)
        body += f
    return bytes(body) + bytes([erase]) * (length - len(body))


def code_image(dxe_erase=0xFF, lzma_guid=LZMA_GUID_BYTES, dxe_files=None, dxe_tail=b""):
    pei = volume([firmware_file(PEI_CORE_NAME, 0x04, section(0x19, b"pei core"))], 0x1000)
    if dxe_files is None:
        dxe_files = [firmware_file(DXE_CORE_NAME, 0x05, section(0x19, b"dxe core!"), dxe_erase)]
    dxe = bytearray(volume(dxe_files, 0x3000, dxe_erase))
    dxe[0x1000:0x1000 + len(dxe_tail)] = dxe_tail
    inner = section(0x17, pei) + section(0x17, bytes(dxe))
    packed = bytearray(lzma.compress(inner, format=lzma.FORMAT_ALONE, filters=[
        {"id": lzma.FILTER_LZMA1, "dict_size": 1 << 20, "lc": 3, "lp": 0, "pb": 2}]))
    packed[5:13] = struct.pack("<Q", len(inner))
    # Zero bytes after the end of the stream make the original file longer
    # than any rebuilt one, so what the rebuilt file leaves over must be
    # erased.
    packed += bytes(512)
    guided = section(0x02, lzma_guid + struct.pack("<HH", 24, 1) + bytes(packed))
    main = volume([firmware_file(FV_FILE_NAME, 0x0B, guided)], 0x10000)
    other = volume([firmware_file(le_guid("33333333-0000-0000-0000-000000000001"), 0x03, section(0x10, b"MZ"))],
                   0x2000)
    return main + other, inner


def driver_file(name, payload_size):
    return firmware_file(name, 0x07, section(0x10, b"MZ" + bytes(payload_size - 2)))


class Rebuild(unittest.TestCase):
    def rebuilt(self, erase):
        code, inner = code_image(dxe_erase=erase)
        # Driver A: 24 + 4 + 101 = 129 bytes; driver B: 24 + 4 + 61 = 89.
        new, placed = ovmfvol.patch(code, [("A", driver_file(DRIVER_A, 101)), ("B", driver_file(DRIVER_B, 61))])
        return code, inner, new, placed

    def test_rebuilt_layers(self):
        for erase in (0xFF, 0x00):
            with self.subTest(erase=erase):
                self.check_rebuilt(erase)

    def check_rebuilt(self, erase):
        code, inner, new, placed = self.rebuilt(erase)
        self.assertEqual(len(new), 0x12000, "the code image keeps its size")
        self.assertEqual(new[:72], code[:72], "the main volume header is unchanged")
        self.assertEqual(word_sum(new[:72]), 0)
        self.assertEqual(new[0x10000:], code[0x10000:], "the other volume is untouched")

        f = new[72:]
        size = int.from_bytes(f[20:23], "little")
        self.assertEqual(f[:16], FV_FILE_NAME)
        self.assertEqual(f[18], 0x0B)
        self.assertEqual(f[17], 0xAA)
        self.assertEqual(f[23], 0xF8, "the main volume erases to 1s")
        self.assertEqual(header_sum(f), 0)
        self.assertEqual(set(new[72 + size:0x10000]), {0xFF}, "the rest of the main volume is erased")

        s = f[24:size]
        self.assertEqual(int.from_bytes(s[0:3], "little"), size - 24, "the GUID-defined section fills the file")
        self.assertEqual(s[3], 0x02)
        self.assertEqual(s[4:20], LZMA_GUID_BYTES)
        self.assertEqual(struct.unpack_from("<HH", s, 20), (24, 1), "data offset 24, processing required")
        self.assertEqual(s[24:29], bytes([0x5D, 0x00, 0x00, 0x10, 0x00]), "lc 3, lp 0, pb 2, 1 MiB dictionary")
        # PEI section 4 + 0x1000, DXE section 4 + 0x3000.
        self.assertEqual(struct.unpack_from("<Q", s, 29)[0], 0x4008)
        out = lzma.LZMADecompressor(format=lzma.FORMAT_ALONE).decompress(s[24:])
        self.assertEqual(len(out), 0x4008)
        self.assertEqual(out[:0x1004], inner[:0x1004], "the PEI volume is unchanged")

        dxe = out[0x1008:]
        self.assertEqual(dxe[:72], inner[0x1008:0x1008 + 72], "the DXE volume header is unchanged")
        self.assertEqual(word_sum(dxe[:72]), 0)
        # The DXE core file ends at 72 + 24 + 13 = 109; A goes at 112, B at
        # 112 + 129 = 241, aligned to 248.
        self.assertEqual(placed, [(uuid.UUID(bytes_le=DRIVER_A), 112), (uuid.UUID(bytes_le=DRIVER_B), 248)])
        state = 0xF8 if erase == 0xFF else 0x07
        for at, name, length in ((112, DRIVER_A, 129), (248, DRIVER_B, 89)):
            self.assertEqual(dxe[at:at + 16], name)
            self.assertEqual(dxe[at + 18], 0x07)
            self.assertEqual(int.from_bytes(dxe[at + 20:at + 23], "little"), length)
            self.assertEqual(dxe[at + 23], state, "the state byte follows the DXE volume's erase polarity")
            self.assertEqual(header_sum(dxe[at:]), 0)
        self.assertEqual(set(dxe[109:112]), {erase}, "the gap before A is erased")
        self.assertEqual(set(dxe[241:248]), {erase}, "the gap before B is erased")
        self.assertEqual(set(dxe[248 + 89:]), {erase}, "the DXE volume's rest is erased")

    def test_output_reads_back_as_input(self):
        # The rebuilt image takes more files the same way.
        _, _, new, _ = self.rebuilt(0xFF)
        newer, placed = ovmfvol.patch(new, [("C", driver_file(le_guid("22222222-0000-0000-0000-00000000000C"), 8))])
        self.assertEqual(placed[0][1], 344, "after B (248 + 89 = 337, aligned to 344)")


class Refusals(unittest.TestCase):
    def refused(self, code, files, message):
        with self.assertRaisesRegex(ovmfvol.LayoutError, message):
            ovmfvol.patch(code, files)

    def test_refused_layouts(self):
        good, _ = code_image()
        a = driver_file(DRIVER_A, 101)
        bad_checksum = bytearray(a)
        bad_checksum[16] ^= 1
        bad_fv_sum = bytearray(good)
        bad_fv_sum[50] ^= 1
        cases = [
            ("no compressed volume", good[0x10000:], [("A", a)],
             r"expected one volume holding a FIRMWARE_VOLUME_IMAGE file, found 0"),
            ("main volume header checksum", bytes(bad_fv_sum), [("A", a)], r"volume header checksum is wrong"),
            ("not LZMA", code_image(lzma_guid=le_guid("A31280AD-481E-41B6-95E8-127F4C984779"))[0], [("A", a)],
             r"is not LZMA"),
            ("no DXE core", code_image(dxe_files=[firmware_file(DRIVER_B, 0x07, section(0x10, b"MZ"))])[0],
             [("A", a)], r"expected one FV image holding the DXE core, found 0"),
            ("junk after the last file", code_image(dxe_tail=b"\x12\x34")[0], [("A", a)],
             r"after the last file \(0x70\) is not erased"),
            ("file header checksum", good, [("A", bytes(bad_checksum))], r"A: header checksum is wrong"),
            ("size field", good, [("A", a + b"\0\0\0\0")], r"A: size field 0x81, file 0x85 bytes"),
            ("name taken", good, [("A", a), ("again", a)], r"again: the DXE volume already holds a file"),
            ("no room", good, [("big", driver_file(DRIVER_B, 0x3000))], r"big: 0x301C bytes do not fit the 0x2F90"),
        ]
        for what, code, files, message in cases:
            with self.subTest(what):
                self.refused(code, files, message)

    def test_command_names_the_image_and_the_reason(self):
        path = ARGS["vars"]
        if not path or not os.path.isfile(path):
            self.fail("no variable-store image given (--ovmf-vars) to refuse")
        out = subprocess.run([sys.executable, "-B", ovmfvol.__file__, "--code", path, "--list"],
                             capture_output=True, text=True)
        self.assertEqual(out.returncode, 1)
        self.assertRegex(out.stderr, r"^ovmfvol: .*: layout not known: volume at 0x0: file system "
                                     r"fff12b8d-7696-4c8b-a985-2747075b4f50 is not FFS2 or FFS3")


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--ovmf-vars":
        ARGS["vars"] = sys.argv[2]
        del sys.argv[1:3]
    unittest.main()
