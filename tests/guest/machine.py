"""One guest machine: OVMF with the driver dispatched from its volume, a
hard drive (virtio) and a USB disk (xHCI) that each hold a Linux system, and
a network card; driven through its serial console.

OVMF sorts BootOrder at every boot by QEMU's boot indexes (the devices'
bootindex properties), so `first` ("hd" or "usb") sets which disk an
ordinary boot starts; options of other devices follow in their order.

The guest's /init answers "ZKCMD N TEXT" with the command's output between
"ZKOUT N begin" and "ZKOUT N end rc=S". The firmware's side is read from
the debug console (the stand-in's and the OEM driver's "FWT" lines) and
from the bytes written to the CMOS and EC ports.

Time is QEMU's processor time, as in the firmware tests: a budget for the
whole run, and a wall-time limit of four times that for a guest that halts.
"""

import json
import os
import re
import selectors
import socket
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "firmware"))
import fwtest  # noqa: E402

ANSI_RE = re.compile(r"\x1b\[[0-9;=?]*[A-Za-z]|\x1b[=>][0-9]*[a-z]?")
EXCEPTION_TEXT = "!!!! X64 Exception Type"
PORTS = (0x62, 0x66, 0x72, 0x73)
# The EC as the debug-console devices give it: status 0x01 (OBF set, IBF
# clear) takes every byte at once, and every register reads 0x00 (so it
# never asks for a power-off).
EC_READBACK = {0x66: 0x01, 0x62: 0x00, 0x72: 0xFF, 0x73: 0xFF}
NIC_MAC = "52:54:00:12:34:56"
# Wall time a guest command may take: each is a few seconds at most, even on
# a loaded machine; a guest that stopped reading its console ends here.
COMMAND_WALL = 120


class GuestError(Exception):
    pass


class Mark:
    """Where the evidence stood at one moment: serial text, debug lines,
    bytes on each port."""

    def __init__(self, serial, debug, ports):
        self.serial = serial
        self.debug = debug
        self.ports = ports


class Machine:
    def __init__(self, work, qemu, code, vars_fd, hd, usb, budget, tftp_dir, first="hd", smm=False, log=print):
        self.work = work
        self.budget = budget
        self.log = log
        self.serial = ""
        self.debug_lines = []
        self._debug_pos = 0
        self._pending = b""
        self.cpu = 0.0
        self.pid = None
        self.cmd_number = 0
        self.pid_file = os.path.join(work, "qemu.pid")
        self.debug_log = os.path.join(work, "debug.log")
        self.qmp_path = os.path.join(work, "qmp.sock")
        # S3 is advertised (the guest can suspend to RAM); QEMU's monitor
        # wakes it. The SMM build needs SMM and a secure flash.
        machine = ["-machine", "q35,smm=on", "-global", "driver=cfi.pflash01,property=secure,value=on"] if smm \
            else ["-machine", "q35"]
        # timeout: QEMU runs in a session of its own, so it must end by
        # itself should this runner be killed.
        cmd = ["timeout", "--kill-after=5", str(fwtest.wall_limit(budget) + 10), qemu, "-pidfile", self.pid_file,
               *machine, "-cpu", "qemu64", "-m", "512", "-nodefaults",
               "-display", "none", "-no-user-config", "-global", "ICH9-LPC.disable_s3=0",
               "-qmp", "unix:%s,server=on,wait=off" % self.qmp_path,
               "-drive", "if=pflash,format=raw,readonly=on,file=" + code,
               "-drive", "if=pflash,format=raw,file=" + vars_fd,
               "-drive", "if=none,id=hd,format=raw,file=" + hd, "-device", "virtio-blk-pci,drive=hd,bootindex=%d" % (1 if first == "hd" else 2),
               "-device", "qemu-xhci,id=xhci",
               "-drive", "if=none,id=usb,format=raw,file=" + usb,
               "-device", "usb-storage,bus=xhci.0,drive=usb,bootindex=%d" % (2 if first == "hd" else 1),
               # DHCP names a boot file the TFTP server does not have, so a
               # network boot fails at once instead of waiting for offers.
               "-netdev", "user,id=net0,tftp=%s,bootfile=/zkguest-none.efi" % tftp_dir,
               "-device", "virtio-net-pci,netdev=net0,romfile=,mac=%s,bootindex=3" % NIC_MAC,
               "-serial", "stdio",
               "-debugcon", "file:" + self.debug_log, "-global", "isa-debugcon.iobase=0x402"]
        for port in PORTS:
            cmd += ["-chardev", "file,id=port%x,path=%s" % (port, self.port_path(port)),
                    "-device", "isa-debugcon,iobase=0x%x,chardev=port%x,readback=0x%x" % (port, port,
                                                                                         EC_READBACK[port])]
        with open(os.path.join(work, "qemu.cmd"), "w") as f:
            f.write(" ".join(cmd) + "\n")
        self.start = time.monotonic()
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        os.set_blocking(self.proc.stdout.fileno(), False)
        self.sel = selectors.DefaultSelector()
        self.sel.register(self.proc.stdout, selectors.EVENT_READ)
        self._raw = bytearray()

    def port_path(self, port):
        return os.path.join(self.work, "port%02x.bin" % port)

    # ------------------------------------------------------------ evidence
    def port_bytes(self, port):
        try:
            with open(self.port_path(port), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def _read_debug(self):
        try:
            with open(self.debug_log, "rb") as f:
                f.seek(self._debug_pos)
                chunk = f.read()
        except FileNotFoundError:
            return
        self._debug_pos += len(chunk)
        self._pending += chunk
        while b"\n" in self._pending:
            raw, self._pending = self._pending.split(b"\n", 1)
            text = raw.decode("ascii", "replace").rstrip("\r")
            if text.startswith("FWT "):
                self.debug_lines.append(text[4:])

    def mark(self):
        self._poll(0)
        return Mark(len(self.serial), len(self.debug_lines), {p: len(self.port_bytes(p)) for p in PORTS})

    def since(self, mark):
        """Serial text, debug lines and port bytes after the mark."""
        self._poll(0)
        return (self.serial[mark.serial:], self.debug_lines[mark.debug:],
                {p: self.port_bytes(p)[mark.ports[p]:] for p in PORTS})

    # ------------------------------------------------------------ running
    def _poll(self, timeout):
        if self.pid is None:
            try:
                with open(self.pid_file) as f:
                    self.pid = int(f.read().strip())
            except (OSError, ValueError):
                pass
        if self.pid is not None:
            self.cpu = fwtest.processor_seconds(self.pid) or self.cpu
        for _key, _ in self.sel.select(timeout=timeout):
            try:
                data = os.read(self.proc.stdout.fileno(), 65536)
            except BlockingIOError:
                data = b""
            if data:
                self._raw += data
                self.serial = ANSI_RE.sub("", self._raw.decode("ascii", "replace")).replace("\r", "")
        self._read_debug()

    def _check_alive(self, what):
        if self.cpu > self.budget:
            raise GuestError("out of budget (%d s of QEMU processor time) waiting for %s" % (self.budget, what))
        if time.monotonic() - self.start > fwtest.wall_limit(self.budget):
            raise GuestError("wall-time limit of %d s reached (%.1f s of QEMU processor time) waiting for %s; the "
                             "guest halts" % (fwtest.wall_limit(self.budget), self.cpu, what))
        if EXCEPTION_TEXT in self.serial:
            i = self.serial.index(EXCEPTION_TEXT)
            raise GuestError("the firmware reported a CPU exception:\n" + self.serial[i:i + 600])
        if "Kernel panic" in self.serial:
            i = self.serial.index("Kernel panic")
            raise GuestError("the guest kernel panicked:\n" + self.serial[i:i + 400])
        if self.proc.poll() is not None:
            raise GuestError("QEMU ended (status %s) while waiting for %s" % (self.proc.returncode, what))

    def expect(self, pattern, what, start=0, wall=None):
        """Waits until the serial text after `start` matches; returns the
        match. `wall`: seconds of wall time this wait may take at most.
        Patterns end in a newline: the text may end in the middle of a line."""
        rx = re.compile(pattern, re.M | re.S)
        began = time.monotonic()
        while True:
            self._poll(0.05)
            m = rx.search(self.serial, start)
            if m:
                return m
            self._check_alive(what)
            if wall is not None and time.monotonic() - began > wall:
                raise GuestError("no answer after %d s waiting for %s" % (wall, what))

    def up(self, start=0):
        """Waits for the guest's prompt; returns the system that came up."""
        m = self.expect(r"^ZKGUEST up system=(\w+)\n", "Linux to come up", start)
        self.log("  [%5.1f s cpu] Linux up: %s system" % (self.cpu, m.group(1)))
        self._after_up = m.end()
        return m.group(1)

    def run(self, text, check=True):
        """Runs a shell command in the guest; returns (status, output)."""
        n = self.cmd_number
        self.cmd_number += 1
        start = len(self.serial)
        self.proc.stdin.write(("ZKCMD %d %s\n" % (n, text)).encode())
        self.proc.stdin.flush()
        m = self.expect(r"^ZKOUT %d begin\n(.*?)^ZKOUT %d end rc=(\d+)\n" % (n, n), "the guest command %r" % text,
                        start, wall=COMMAND_WALL)
        rc, out = int(m.group(2)), m.group(1)
        if check and rc != 0:
            raise GuestError("guest command %r ended with status %d:\n%s" % (text, rc, out))
        return rc, out

    # ------------------------------------------------------------ monitor
    def qmp(self, command):
        """One QMP command; returns its "return" value."""
        if getattr(self, "_qmp", None) is None:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            sock.connect(self.qmp_path)
            self._qmp = sock.makefile("rw")
            json.loads(self._qmp.readline())  # the greeting
            self._qmp_send("qmp_capabilities")
        return self._qmp_send(command)

    def _qmp_send(self, command):
        self._qmp.write(json.dumps({"execute": command}) + "\n")
        self._qmp.flush()
        while True:
            reply = json.loads(self._qmp.readline())
            if "return" in reply:
                return reply["return"]
            if "error" in reply:
                raise GuestError("QMP %s: %s" % (command, reply["error"]))
            # an asynchronous event: skip it

    def suspend_and_wake(self):
        """Suspends the guest to RAM, waits until QEMU reports it suspended,
        wakes it and waits until the guest answers again. Returns the
        serial text of the cycle."""
        n = self.cmd_number
        self.cmd_number += 1
        start = len(self.serial)
        self.proc.stdin.write(("ZKCMD %d echo deep > /sys/power/mem_sleep; echo mem > /sys/power/state\n" % n)
                              .encode())
        self.proc.stdin.flush()
        began = time.monotonic()
        while self.qmp("query-status")["status"] != "suspended":
            self._poll(0.2)
            self._check_alive("the guest to suspend")
            if time.monotonic() - began > COMMAND_WALL:
                raise GuestError("the guest did not suspend within %d s" % COMMAND_WALL)
        self.log("  [%5.1f s cpu] suspended to RAM" % self.cpu)
        self.qmp("system_wakeup")
        m = self.expect(r"^ZKOUT %d begin\n(.*?)^ZKOUT %d end rc=(\d+)\n" % (n, n), "the guest to resume", start,
                        wall=COMMAND_WALL)
        self.log("  [%5.1f s cpu] resumed (suspend command status %s)" % (self.cpu, m.group(2)))
        if m.group(2) != "0":
            raise GuestError("suspend to RAM failed: %s" % m.group(1))
        return self.serial[start:]

    def reboot(self):
        """Reboots the guest (its file systems synced); returns the mark
        taken just before."""
        mark = self.mark()
        self.proc.stdin.write(b"ZKCMD reboot sync; reboot -f\n")
        self.proc.stdin.flush()
        return mark

    def stop(self):
        self._poll(0)
        if getattr(self, "_qmp", None) is not None:
            self._qmp.close()
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()
        self._poll(0)
        with open(os.path.join(self.work, "serial.log"), "w") as f:
            f.write(self.serial)
        with open(os.path.join(self.work, "fwt.log"), "w") as f:
            f.write("\n".join(self.debug_lines) + "\n")
        self.elapsed = time.monotonic() - self.start
