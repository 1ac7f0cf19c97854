#!/usr/bin/env python3
"""Adds DXE driver files to the DXE firmware volume of an OVMF code image.

OVMF keeps its DXE volume compressed: the main volume (FVMAIN_COMPACT) holds
one file of type FIRMWARE_VOLUME_IMAGE whose GUID-defined section is LZMA
data; decompressed, that is a list of sections with one FV image section for
the PEI volume and one for the DXE volume. This tool

  1. finds that volume, decompresses the section and picks the FV image that
     holds the DXE core (file type 0x05),
  2. appends the given firmware files to the DXE volume's free space, each on
     an 8-byte boundary, with the file state written for the volume's erase
     polarity; the volume keeps its length, so the memory OVMF sets aside for
     it still fits,
  3. compresses the section list again (LZMA "alone" header: the 5 property
     bytes of the original and the 64-bit uncompressed size), and rebuilds
     the GUID-defined section, the file (header checksum, fixed data
     checksum) and the main volume, whose unused rest is erased bytes,
  4. reads the result back through the same parser and checks that every
     added file is where it was put, then writes the new code image.

Anything it does not recognise stops it with a message that says what it
found. Checked with Debian 12's ovmf 2022.11-6+deb12u2: OVMF_CODE_4M.fd,
rebuilt and booted under QEMU; OVMF_CODE.fd takes the same path (--list).

    ovmfvol.py --code OVMF_CODE_4M.fd --out new.fd A.ffs B.ffs
    ovmfvol.py --code OVMF_CODE_4M.fd --list
"""

import argparse
import lzma
import struct
import sys
import uuid

FFS2_GUID = uuid.UUID("8C8CE578-8A3D-4F1C-9935-896185C32DD3")
FFS3_GUID = uuid.UUID("5473C07A-3DCB-4DCA-BD6F-1E9689E7349A")
LZMA_SECTION_GUID = uuid.UUID("EE4E5898-3914-4259-9D6E-DC7BD79403CF")

FVB2_ERASE_POLARITY = 0x800
FILE_TYPE_DXE_CORE = 0x05
FILE_TYPE_FV_IMAGE = 0x0B
FILE_TYPE_PAD = 0xF0
FFS_ATTRIB_LARGE_FILE = 0x01
FFS_ATTRIB_CHECKSUM = 0x40
FIXED_DATA_CHECKSUM = 0xAA
# Header construction, header valid, data valid.
STATE_VALID = 0x07
STATE_HEADER_VALID = 0x02
SECTION_GUID_DEFINED = 0x02
SECTION_FV_IMAGE = 0x17
GUIDED_PROCESSING_REQUIRED = 0x01


class LayoutError(Exception):
    """The image is not laid out the way this tool knows."""


def align(value, to):
    return (value + to - 1) & ~(to - 1)


def sum8(data):
    return sum(data) & 0xFF


def sum16(data):
    return sum(struct.unpack_from("<%dH" % (len(data) // 2), data)) & 0xFFFF


class Volume:
    """A firmware volume: its header fields and its files."""

    def __init__(self, data, where):
        self.where = where
        if len(data) < 0x48 or data[40:44] != b"_FVH":
            raise LayoutError("%s: no firmware volume header ('_FVH' at offset 40)" % where)
        self.fs_guid = uuid.UUID(bytes_le=bytes(data[16:32]))
        self.length, = struct.unpack_from("<Q", data, 32)
        self.attributes, self.header_length, _, self.ext_offset, _, self.revision = struct.unpack_from(
            "<IHHHBB", data, 44)
        if self.fs_guid not in (FFS2_GUID, FFS3_GUID):
            raise LayoutError("%s: file system %s is not FFS2 or FFS3" % (where, self.fs_guid))
        if self.length > len(data) or self.length < self.header_length:
            raise LayoutError("%s: volume length 0x%X does not fit the 0x%X bytes there"
                              % (where, self.length, len(data)))
        if sum16(data[:self.header_length]) != 0:
            raise LayoutError("%s: volume header checksum is wrong" % where)
        self.data = bytearray(data[:self.length])
        self.erase = 0xFF if self.attributes & FVB2_ERASE_POLARITY else 0x00
        start = self.header_length
        if self.ext_offset:
            ext_size, = struct.unpack_from("<I", self.data, self.ext_offset + 16)
            start = self.ext_offset + ext_size
        self.files_start = align(start, 8)
        self.files = []  # (offset, header length, name, type, attributes, size)
        self.free = None  # offset of the erased rest
        self._walk()

    def state(self, stored):
        return stored ^ 0xFF if self.erase == 0xFF else stored

    def _walk(self):
        off = self.files_start
        erased_header = bytes([self.erase]) * 24
        while off + 24 <= self.length:
            if bytes(self.data[off:off + 24]) == erased_header:
                break
            name = uuid.UUID(bytes_le=bytes(self.data[off:off + 16]))
            ftype, attrs = self.data[off + 18], self.data[off + 19]
            size = int.from_bytes(self.data[off + 20:off + 23], "little")
            hlen = 24
            if attrs & FFS_ATTRIB_LARGE_FILE:
                size, = struct.unpack_from("<Q", self.data, off + 24)
                hlen = 32
            if size < hlen or off + size > self.length:
                raise LayoutError("%s: file %s at 0x%X has size 0x%X beyond the volume" % (self.where, name, off, size))
            if not self.state(self.data[off + 23]) & STATE_HEADER_VALID:
                raise LayoutError("%s: file %s at 0x%X has no valid header (state byte 0x%02X)"
                                  % (self.where, name, off, self.data[off + 23]))
            self.files.append((off, hlen, name, ftype, attrs, size))
            off = align(off + size, 8)
        self.free = min(off, self.length)
        rest = self.data[self.free:]
        if rest.count(self.erase) != len(rest):
            raise LayoutError("%s: the space after the last file (0x%X) is not erased" % (self.where, self.free))

    def file_data(self, entry):
        off, hlen, _, _, _, size = entry
        return bytes(self.data[off + hlen:off + size])


def sections(data, where):
    """[(offset, header length, type, size)] of a section list."""
    out = []
    off = 0
    while off + 4 <= len(data):
        size = int.from_bytes(data[off:off + 3], "little")
        stype = data[off + 3]
        hlen = 4
        if size == 0xFFFFFF:
            size, = struct.unpack_from("<I", data, off + 4)
            hlen = 8
        if size < hlen or off + size > len(data):
            raise LayoutError("%s: section at 0x%X has size 0x%X beyond its file" % (where, off, size))
        out.append((off, hlen, stype, size))
        off = align(off + size, 4)
    return out


def ffs_file(name_le, ftype, attrs, data, erase):
    """A file with a 24-bit size: header checksum and fixed data checksum."""
    if attrs & (FFS_ATTRIB_LARGE_FILE | FFS_ATTRIB_CHECKSUM):
        raise LayoutError("rebuilding a file with a large-file size or a data checksum is not supported")
    size = 24 + len(data)
    if size > 0xFFFFFF:
        raise LayoutError("the rebuilt file (0x%X bytes) does not fit a 24-bit size" % size)
    header = bytearray(name_le + bytes([0, 0, ftype, attrs]) + size.to_bytes(3, "little") + b"\0")
    header[16] = (0x100 - sum8(header)) & 0xFF
    header[17] = FIXED_DATA_CHECKSUM
    header[23] = STATE_VALID ^ 0xFF if erase == 0xFF else STATE_VALID
    return bytes(header) + data


def check_added_file(blob, where):
    """A file to add: one whole firmware file with valid header checksum."""
    if len(blob) < 24:
        raise LayoutError("%s: shorter than a file header" % where)
    size = int.from_bytes(blob[20:23], "little")
    if blob[19] & FFS_ATTRIB_LARGE_FILE or size != len(blob):
        raise LayoutError("%s: size field 0x%X, file 0x%X bytes" % (where, size, len(blob)))
    header = bytearray(blob[:24])
    header[17] = 0
    header[23] = 0
    if sum8(header) != 0:
        raise LayoutError("%s: header checksum is wrong" % where)
    return uuid.UUID(bytes_le=bytes(blob[:16]))


class CodeImage:
    """The OVMF code image, taken apart down to the DXE volume."""

    def __init__(self, image):
        self.image = bytearray(image)
        self.main_at, self.main = self._find_main()
        fv_files = [f for f in self.main.files if f[3] == FILE_TYPE_FV_IMAGE]
        if len(fv_files) != 1 or self.main.files[-1] is not fv_files[0]:
            raise LayoutError("main volume: expected one FIRMWARE_VOLUME_IMAGE file as its last file, found types %s"
                              % [hex(f[3]) for f in self.main.files])
        self.fv_file = fv_files[0]
        body = self.main.file_data(self.fv_file)
        secs = sections(body, "compressed volume file")
        if len(secs) != 1 or secs[0][2] != SECTION_GUID_DEFINED:
            raise LayoutError("compressed volume file: expected one GUID-defined section, found types %s"
                              % [hex(s[2]) for s in secs])
        off, hlen, _, size = secs[0]
        self.guided_header = body[off:off + hlen + 20]
        guid = uuid.UUID(bytes_le=bytes(body[off + hlen:off + hlen + 16]))
        data_offset, self.guided_attrs = struct.unpack_from("<HH", body, off + hlen + 16)
        if guid != LZMA_SECTION_GUID:
            raise LayoutError("GUID-defined section %s is not LZMA (%s)" % (guid, LZMA_SECTION_GUID))
        if data_offset != hlen + 20 or hlen != 4:
            raise LayoutError("GUID-defined section: data offset %d with a %d-byte header" % (data_offset, hlen))
        compressed = body[off + data_offset:off + size]
        self.props = compressed[:5]
        usize, = struct.unpack_from("<Q", compressed, 5)
        try:
            self.inner = bytearray(lzma.LZMADecompressor(format=lzma.FORMAT_ALONE).decompress(compressed))
        except lzma.LZMAError as e:
            raise LayoutError("the LZMA section does not decompress: %s" % e)
        if len(self.inner) != usize:
            raise LayoutError("LZMA header says 0x%X bytes, the data gives 0x%X" % (usize, len(self.inner)))
        self.dxe_at, self.dxe = self._find_dxe()

    def _find_main(self):
        found = []
        for off in range(0, len(self.image) - 0x48, 0x1000):
            if self.image[off + 40:off + 44] != b"_FVH":
                continue
            fv = Volume(self.image[off:], "volume at 0x%X" % off)
            if any(f[3] == FILE_TYPE_FV_IMAGE for f in fv.files):
                found.append((off, fv))
        if len(found) != 1:
            raise LayoutError("expected one volume holding a FIRMWARE_VOLUME_IMAGE file, found %d" % len(found))
        return found[0]

    def _find_dxe(self):
        found = []
        for off, hlen, stype, size in sections(self.inner, "decompressed section list"):
            if stype != SECTION_FV_IMAGE:
                continue
            fv = Volume(self.inner[off + hlen:off + size], "FV image section at 0x%X" % off)
            if fv.length != size - hlen:
                raise LayoutError("FV image section at 0x%X: volume length 0x%X, section holds 0x%X"
                                  % (off, fv.length, size - hlen))
            if any(f[3] == FILE_TYPE_DXE_CORE for f in fv.files):
                found.append((off + hlen, fv))
        if len(found) != 1:
            raise LayoutError("expected one FV image holding the DXE core, found %d" % len(found))
        return found[0]

    def add_files(self, blobs):
        """Appends the files to the DXE volume; returns their offsets there."""
        names = {f[2] for f in self.dxe.files}
        at = align(self.dxe.free, 8)
        placed = []
        data = self.dxe.data
        for where, blob in blobs:
            name = check_added_file(blob, where)
            if name in names:
                raise LayoutError("%s: the DXE volume already holds a file %s" % (where, name))
            names.add(name)
            if at + len(blob) > self.dxe.length:
                raise LayoutError("%s: 0x%X bytes do not fit the 0x%X free bytes of the DXE volume"
                                  % (where, len(blob), self.dxe.length - at))
            stored = bytearray(blob)
            stored[23] = STATE_VALID ^ 0xFF if self.dxe.erase == 0xFF else STATE_VALID
            data[at:at + len(blob)] = stored
            placed.append((name, at))
            at = align(at + len(blob), 8)
        self.inner[self.dxe_at:self.dxe_at + self.dxe.length] = data
        return placed

    def build(self):
        """The new code image bytes."""
        props = bytes(self.props)
        lc_lp_pb, dict_size = props[0], struct.unpack_from("<I", props, 1)[0]
        lc, lp, pb = lc_lp_pb % 9, (lc_lp_pb // 9) % 5, lc_lp_pb // 45
        packed = bytearray(lzma.compress(bytes(self.inner), format=lzma.FORMAT_ALONE, filters=[
            {"id": lzma.FILTER_LZMA1, "dict_size": dict_size, "lc": lc, "lp": lp, "pb": pb}]))
        if packed[:5] != props:
            raise LayoutError("the compressor wrote properties %s, not the original %s" % (packed[:5].hex(), props.hex()))
        # The encoder leaves the size unknown; the firmware's decompressor
        # takes its output size from this field.
        packed[5:13] = struct.pack("<Q", len(self.inner))
        section_size = 24 + len(packed)
        if section_size > 0xFFFFFF:
            raise LayoutError("the compressed section (0x%X bytes) does not fit a 24-bit size" % section_size)
        section = bytearray(self.guided_header)
        section[0:3] = section_size.to_bytes(3, "little")
        section += packed
        off, _, name, ftype, attrs, _ = self.fv_file
        new_file = ffs_file(bytes(self.main.data[off:off + 16]), ftype, attrs, bytes(section), self.main.erase)
        if off + len(new_file) > self.main.length:
            raise LayoutError("the rebuilt compressed volume file (0x%X bytes) does not fit the main volume (0x%X free)"
                              % (len(new_file), self.main.length - off))
        main = bytearray(self.main.data)
        main[off:] = new_file + bytes([self.main.erase]) * (self.main.length - off - len(new_file))
        out = bytearray(self.image)
        out[self.main_at:self.main_at + self.main.length] = main
        return bytes(out)


def describe(code):
    lines = ["main volume at 0x%X, 0x%X bytes, %d file(s), free from 0x%X"
             % (code.main_at, code.main.length, len(code.main.files), code.main.free),
             "compressed file %s: LZMA properties %s, 0x%X bytes decompressed"
             % (code.fv_file[2], bytes(code.props).hex(), len(code.inner)),
             "DXE volume at 0x%X of the decompressed data: 0x%X bytes, %d files, erase byte 0x%02X, free from 0x%X"
             % (code.dxe_at, code.dxe.length, len(code.dxe.files), code.dxe.erase, code.dxe.free)]
    return "\n".join(lines)


def patch(code_bytes, blobs):
    """(new image, [(name, offset in the DXE volume)]); checked by reading it back."""
    code = CodeImage(code_bytes)
    placed = code.add_files(blobs)
    new = code.build()
    again = CodeImage(new)
    present = {f[2]: f[0] for f in again.dxe.files}
    for name, at in placed:
        if present.get(name) != at:
            raise LayoutError("read back: file %s is not at 0x%X of the DXE volume" % (name, at))
    if len(again.dxe.files) != len(code.dxe.files) + len(placed):
        raise LayoutError("read back: the DXE volume has %d files, expected %d"
                          % (len(again.dxe.files), len(code.dxe.files) + len(placed)))
    return new, placed


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--code", required=True, help="the OVMF code image")
    ap.add_argument("--out", help="the new code image")
    ap.add_argument("--list", action="store_true", help="describe the layout found and exit")
    ap.add_argument("files", nargs="*", help="firmware files to add, in this order")
    args = ap.parse_args()
    try:
        with open(args.code, "rb") as f:
            code_bytes = f.read()
        if args.list:
            print(describe(CodeImage(code_bytes)))
            return 0
        if not args.out or not args.files:
            ap.error("--out and at least one file are needed")
        blobs = []
        for path in args.files:
            with open(path, "rb") as f:
                blobs.append((path, f.read()))
        new, placed = patch(code_bytes, blobs)
    except LayoutError as e:
        print("ovmfvol: %s: layout not known: %s" % (args.code, e), file=sys.stderr)
        return 1
    except OSError as e:
        print("ovmfvol: %s" % e, file=sys.stderr)
        return 1
    with open(args.out, "wb") as f:
        f.write(new)
    for (path, _), (name, at) in zip(blobs, placed):
        print("ovmfvol: %s added as file %s at 0x%X of the DXE volume" % (path, name, at))
    return 0


if __name__ == "__main__":
    sys.exit(main())
