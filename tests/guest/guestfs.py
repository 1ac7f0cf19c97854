"""Builds the guest Linux system from Debian packages: the kernel, an
initramfs with busybox, the kernel modules it needs, efibootmgr and zkboot
(with the libraries each needs), unified kernel images for the two systems
(the hard drive's and the USB disk's), and the disk images that hold them.

Nothing here needs root: packages are unpacked with dpkg-deb -x, the
initramfs is written as a newc cpio archive, the disks are partitioned here
and formatted with mtools (FAT) and mke2fs -d (ext4).
"""

import glob
import gzip
import os
import shutil
import stat
import struct
import subprocess
import uuid

KERNEL_DEB = "linux-image-*-cloud-amd64_*.deb"
DEBS = (KERNEL_DEB, "busybox-static_*.deb", "efibootmgr_*.deb", "libefiboot1_*.deb", "libefivar1_*.deb",
        "libpopt0_*.deb", "systemd-boot-efi_*.deb")
# Modules the guest loads, in order (each after what it depends on): the
# variable file system, the virtio disk that holds the hard drive's ESP and
# the guest's state partition, and FAT to read the ESP.
MODULES = ("fs/efivarfs/efivarfs.ko", "drivers/virtio/virtio_ring.ko", "drivers/virtio/virtio.ko",
           "drivers/virtio/virtio_pci_modern_dev.ko", "drivers/virtio/virtio_pci_legacy_dev.ko",
           "drivers/virtio/virtio_pci.ko", "drivers/block/virtio_blk.ko")


class BuildError(Exception):
    pass


def find_debs(deb_dir):
    found = {}
    missing = []
    for pattern in DEBS:
        hits = sorted(glob.glob(os.path.join(deb_dir, pattern)))
        if not hits:
            missing.append(pattern)
        else:
            found[pattern] = hits[-1]
    if missing:
        raise BuildError("packages missing in %s: %s (tools/install-deps.sh test downloads them)" % (deb_dir, ", ".join(missing)))
    return found


def unpack(debs, root):
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    for deb in debs.values():
        subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
    kernels = glob.glob(os.path.join(root, "boot", "vmlinuz-*"))
    if len(kernels) != 1:
        raise BuildError("expected one kernel in the kernel package, found %d" % len(kernels))
    version = os.path.basename(kernels[0])[len("vmlinuz-"):]
    return kernels[0], version


def module_depends(path):
    """The depends= field of a kernel module's .modinfo."""
    with open(path, "rb") as f:
        data = f.read()
    at = data.find(b"\0depends=")
    if at < 0:
        return []
    end = data.index(b"\0", at + 1)
    text = data[at + 9:end].decode()
    return [d for d in text.split(",") if d]


def shared_libraries(binary, lib_dirs):
    """The shared libraries a binary loads (resolved paths), its loader first."""
    env = dict(os.environ, LD_LIBRARY_PATH=":".join(lib_dirs))
    out = subprocess.run(["ldd", binary], capture_output=True, text=True, env=env)
    if out.returncode != 0 or "not a dynamic executable" in out.stdout + out.stderr:
        return []
    libs = []
    for line in out.stdout.splitlines():
        parts = line.split()
        if "=>" in parts:
            target = parts[parts.index("=>") + 1]
            if target == "not":
                raise BuildError("%s: %s not found" % (binary, parts[0]))
            libs.append(target)
        elif parts and parts[0].startswith("/"):
            libs.append(parts[0])
    return libs


class Cpio:
    """A newc cpio archive, as the kernel unpacks an initramfs."""

    def __init__(self):
        self.out = bytearray()
        self.ino = 1
        self.names = set()

    def _entry(self, name, mode, data=b"", nlink=1):
        if name in self.names:
            return
        self.names.add(name)
        encoded = name.encode() + b"\0"
        header = "070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X" % (
            self.ino, mode, 0, 0, nlink, 0, len(data), 0, 0, 0, 0, len(encoded), 0)
        self.ino += 1
        self.out += header.encode() + encoded
        self.out += b"\0" * (-len(self.out) % 4)
        self.out += data
        self.out += b"\0" * (-len(self.out) % 4)

    def directory(self, name):
        parts = name.strip("/").split("/")
        for i in range(1, len(parts) + 1):
            self._entry("/".join(parts[:i]), stat.S_IFDIR | 0o755, nlink=2)

    def file(self, name, data, mode=0o644):
        name = name.strip("/")
        if "/" in name:
            self.directory(name.rsplit("/", 1)[0])
        self._entry(name, stat.S_IFREG | mode, data)

    def symlink(self, name, target):
        name = name.strip("/")
        if "/" in name:
            self.directory(name.rsplit("/", 1)[0])
        self._entry(name, stat.S_IFLNK | 0o777, target.encode())

    def host_file(self, name, path, mode=None):
        """A file copied in; symbolic links on the way are resolved."""
        with open(path, "rb") as f:
            data = f.read()
        if mode is None:
            mode = os.stat(path).st_mode & 0o777
        self.file(name, data, mode)

    def close(self):
        self._entry("TRAILER!!!", 0)
        return bytes(self.out)


def initramfs(root, version, zkboot_root, init_script, system, lib_dirs):
    """The initramfs of one system ("disk" or "usb": /etc/zkguest-system)."""
    a = Cpio()
    for d in ("bin", "sbin", "dev", "proc", "sys", "run", "tmp", "etc", "var/lib/zkboot", "mnt/esp"):
        a.directory(d)
    a.host_file("bin/busybox", os.path.join(root, "bin", "busybox"), 0o755)
    a.symlink("bin/sh", "busybox")
    a.file("init", init_script.encode(), 0o755)
    a.file("etc/zkguest-system", (system + "\n").encode())
    moddir = os.path.join(root, "lib", "modules", version, "kernel")
    loaded = []
    for m in MODULES:
        path = os.path.join(moddir, m)
        if not os.path.isfile(path):
            raise BuildError("kernel module %s missing" % m)
        for dep in module_depends(path):
            if dep not in [os.path.basename(x)[:-3] for x in loaded]:
                raise BuildError("module %s needs %s, which is not loaded before it" % (m, dep))
        loaded.append(m)
        a.host_file("lib/modules/" + os.path.basename(m), path)
    a.file("etc/modules", "".join(os.path.basename(m) + "\n" for m in MODULES).encode())
    # chattr (e2fsprogs, from the host): efivarfs makes new variable files
    # immutable, and a test variable is rewritten.
    chattr = shutil.which("chattr") or "/usr/bin/chattr"
    if not os.path.isfile(chattr):
        raise BuildError("chattr not found (package e2fsprogs)")
    binaries = [("bin/efibootmgr", os.path.join(root, "bin", "efibootmgr")), ("bin/chattr", chattr)]
    for dirpath, _, files in os.walk(zkboot_root):
        for name in files:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, zkboot_root)
            if os.path.islink(path) and not os.path.exists(path):
                continue
            a.host_file(rel, path)
            if rel.startswith("usr/bin/") or rel.startswith("usr/sbin/"):
                binaries.append((rel, path))
    for rel, path in binaries:
        if rel.startswith("bin/"):
            a.host_file(rel, path, 0o755)
        for lib in shared_libraries(path, lib_dirs + [os.path.dirname(path) + "/../lib/zkboot"]):
            real = os.path.realpath(lib)
            # The loader's own path and each library under its soname.
            target = lib if lib.startswith("/lib64/") else "/lib/x86_64-linux-gnu/" + os.path.basename(lib)
            a.host_file(target, real, 0o755)
    return gzip.compress(a.close(), compresslevel=6, mtime=0)


def uki(stub, kernel, initrd_path, cmdline, out):
    """A unified kernel image: systemd's EFI stub with the kernel, the
    initramfs and the command line as sections, so the firmware starts it
    as one EFI application from the removable-media path."""
    work = out + ".d"
    os.makedirs(work, exist_ok=True)
    with open(os.path.join(work, "cmdline"), "w") as f:
        f.write(cmdline)
    with open(os.path.join(work, "osrel"), "w") as f:
        f.write("ID=zkguest\nNAME=zkguest\n")
    subprocess.run(["objcopy",
                    "--add-section", ".osrel=" + os.path.join(work, "osrel"), "--change-section-vma", ".osrel=0x20000",
                    "--add-section", ".cmdline=" + os.path.join(work, "cmdline"),
                    "--change-section-vma", ".cmdline=0x30000",
                    "--add-section", ".linux=" + kernel, "--change-section-vma", ".linux=0x2000000",
                    "--add-section", ".initrd=" + initrd_path, "--change-section-vma", ".initrd=0x3000000",
                    stub, out], check=True)
    shutil.rmtree(work)


MIB = 1024 * 1024


def mbr(partitions, disk_id):
    """A master boot record: partitions as (type, first LBA, sectors)."""
    sector = bytearray(512)
    struct.pack_into("<I", sector, 440, disk_id)
    for i, (ptype, first, count) in enumerate(partitions):
        entry = struct.pack("<B3sB3sII", 0, b"\xfe\xff\xff", ptype, b"\xfe\xff\xff", first, count)
        sector[446 + 16 * i:446 + 16 * (i + 1)] = entry
    sector[510:512] = b"\x55\xaa"
    return bytes(sector)


def esp_disk(path, files, size_mib, disk_id, state_dir=None, state_mib=0):
    """A disk with an MBR: partition 1 an EFI system partition (FAT) holding
    files [(source, path on the ESP)], partition 2 (if state_dir) an ext4 file
    system made from state_dir."""
    esp_first = MIB // 512
    esp_sectors = (size_mib - 1 - state_mib) * MIB // 512
    parts = [(0xEF, esp_first, esp_sectors)]
    if state_dir is not None:
        parts.append((0x83, esp_first + esp_sectors, state_mib * MIB // 512))
    with open(path, "wb") as f:
        f.truncate(size_mib * MIB)
        f.write(mbr(parts, disk_id))
    target = "%s@@%d" % (path, esp_first * 512)
    subprocess.run(["mformat", "-i", target, "-T", str(esp_sectors), "-h", "64", "-s", "32", "-F", "::"],
                   check=True, capture_output=True)
    made = set()
    for source, dest in files:
        parts_ = dest.strip("/").split("/")
        for i in range(1, len(parts_)):
            d = "/".join(parts_[:i])
            if d not in made:
                subprocess.run(["mmd", "-i", target, "::/" + d], check=True, capture_output=True)
                made.add(d)
        subprocess.run(["mcopy", "-i", target, source, "::/" + dest.strip("/")], check=True, capture_output=True)
    if state_dir is not None:
        image = path + ".state"
        subprocess.run(["mke2fs", "-q", "-F", "-t", "ext4", "-E", "root_owner=0:0", "-U", str(uuid.UUID(int=disk_id)),
                        "-d", state_dir, image, "%dM" % state_mib], check=True,
                       env=dict(os.environ, E2FSPROGS_FAKE_TIME="1"))
        with open(image, "rb") as src, open(path, "r+b") as dst:
            dst.seek((esp_first + esp_sectors) * 512)
            shutil.copyfileobj(src, dst)
        os.remove(image)
