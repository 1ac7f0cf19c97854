#!/usr/bin/env python3
"""The Debian package of the OS side, as a user gets it.

usage: package_test.py SOURCE-DIR BUILD-DIR

Builds the package with tools/zkboot/package.sh in BUILD-DIR (a release build
of zkboot alone; a second run only checks it is up to date), extracts it with
dpkg-deb -x into a temporary root and checks what is there: the control
fields, a statically linked zkboot that runs from that root alone (in a chroot
when run as root) against a variable store it is given, the systemd unit, the
manual page compressed as Debian does it, rendered by man, groff and mandoc
without a warning, and its reference of every variable the driver reads or
writes and of zkboot's commands and exit statuses.
"""
import gzip
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

# Every variable the driver reads or writes, and BootCurrent, which zkboot
# shows: name and vendor GUID as efivarfs spells it.
VARIABLES = [
    ("ZKFirstBoot", "99165095-035d-44cc-9234-db41d2d3e959"),
    ("ZKChgBoot", "99165095-035d-44cc-9234-db41d2d3e959"),
    ("Setup", "a04a27f4-df00-4d42-b552-39511302113d"),
    ("BootOrder", "8be4df61-93ca-11d2-aa0d-00e098032b8c"),
    ("PhysicalBootOrder", "59d1c24f-50f1-401a-b101-f33e0daed443"),
    ("Boot####", "8be4df61-93ca-11d2-aa0d-00e098032b8c"),
    ("BootNext", "8be4df61-93ca-11d2-aa0d-00e098032b8c"),
    ("ZKSaveLidFlag", "99165095-035d-44cc-9234-db41d2d359e9"),
    ("ZKOOBTest", "259c170f-0fc4-4fe1-bc23-b0b80700725e"),
    ("ZKChgKey", "a3adaf88-b599-4204-b4c5-ee92026afd31"),
    ("BootCurrent", "8be4df61-93ca-11d2-aa0d-00e098032b8c"),
]
# What each variable's entry in the manual page tells.
FIELDS = ["GUID", "Attributes", "Size", "Format", "Written by", "Goes"]
CHG_BOOT_FILE = "ZKChgBoot-99165095-035d-44cc-9234-db41d2d3e959"
OOB_FILE = "ZKOOBTest-259c170f-0fc4-4fe1-bc23-b0b80700725e"

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL: " + what)
    return ok


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


def build_package(source, build):
    p = run(["bash", os.path.join(source, "tools/zkboot/package.sh"), build])
    if p.returncode != 0:
        print(p.stderr)
        sys.exit("package.sh failed with status %d" % p.returncode)
    return p.stdout.strip().splitlines()[-1]


def check_control(deb):
    fields = {}
    for name in ["Package", "Architecture", "Version", "Depends", "Maintainer", "Description"]:
        fields[name] = run(["dpkg-deb", "-f", deb, name]).stdout.strip()
    check(fields["Package"] == "zkboot", "package name is %r" % fields["Package"])
    arch = run(["dpkg", "--print-architecture"]).stdout.strip()
    check(fields["Architecture"] == arch, "architecture %r, not %r" % (fields["Architecture"], arch))
    for name in ["Version", "Maintainer", "Description"]:
        check(fields[name] != "", "control field %s is empty" % name)
    scripts = run(["dpkg-deb", "-I", deb]).stdout
    for script in ["postinst", "prerm", "postrm"]:
        check(re.search(r"\b%s\b" % script, scripts) is not None, "no %s in the control archive" % script)
    return fields


def check_linking(binary, depends):
    """Static, or every shared library it needs comes from a declared dependency."""
    headers = run(["readelf", "-lW", binary]).stdout
    dynamic = run(["readelf", "-dW", binary]).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic)
    if "INTERP" not in headers and not needed:
        print("zkboot is statically linked (%d bytes)" % os.path.getsize(binary))
        return True
    declared = {d.strip().split(" ")[0] for d in depends.replace("|", ",").split(",") if d.strip()}
    for lib in needed:
        owner = run(["dpkg", "-S", "*/" + lib]).stdout.split(":")[0]
        check(owner in declared, "zkboot needs %s (package %r), which Depends does not name" % (lib, owner))
    return False


def zkboot_runner(root, static):
    """Runs the extracted zkboot: chrooted into the extracted root when it can be."""
    chroot = shutil.which("chroot") if static and os.geteuid() == 0 else None
    if chroot:
        print("running zkboot chrooted into the extracted root")

    def zkboot(*args):
        if chroot:
            return run([chroot, root, "/usr/bin/zkboot"] + list(args), env={"PATH": "/usr/bin"})
        return run([os.path.join(root, "usr/bin/zkboot")] + list(args))

    # Paths as zkboot sees them, and as this test finds them.
    def inside(path):
        return "/" + path if chroot else os.path.join(root, path)

    return zkboot, inside


def check_binary(root, static):
    zkboot, inside = zkboot_runner(root, static)
    os.makedirs(os.path.join(root, "vars"))
    store = ["--root", inside("vars"), "--state-dir", inside("state")]
    # command, exit status, bytes of ZKChgBoot afterwards (None: absent), of
    # ZKOOBTest, text the output holds.
    cases = [
        (["--help"], 0, None, None, "Usage: zkboot"),
        (store + ["request", "usb", "--once"], 0, "07000000" "0181", None, "ZKChgBoot = 01 81"),
        (store + ["request", "mode", "4"], 8, "07000000" "0181", None, "factory reset"),
        (store + ["request", "disk"], 0, "07000000" "0183", None, "hard-drive node"),
        (store + ["oob", "set", "3"], 0, "07000000" "0183", "07000000" "03", "ZKOOBTest = 03"),
        (store + ["oob", "set", "256"], 2, "07000000" "0183", "07000000" "03", "0 to 255"),
        (store + ["factory-reset"], 8, "07000000" "0183", "07000000" "03", "add --yes"),
        (store + ["clear"], 0, None, "07000000" "03", "ZKChgBoot deleted (was 01 83)"),
        (["--root", inside("no-such-dir"), "status"], 3, None, "07000000" "03", "no variable store"),
        (store + ["no-such-command"], 2, None, "07000000" "03", "no-such-command"),
    ]
    for args, status, chg, oob, text in cases:
        p = zkboot(*args)
        what = "zkboot " + " ".join(args)
        check(p.returncode == status, "%s: exit status %d, expected %d" % (what, p.returncode, status))
        check(text in p.stdout + p.stderr, "%s: %r not in its output:\n%s%s" % (what, text, p.stdout, p.stderr))
        for file, expected in [(CHG_BOOT_FILE, chg), (OOB_FILE, oob)]:
            path = os.path.join(root, "vars", file)
            found = open(path, "rb").read().hex() if os.path.exists(path) else None
            check(found == expected, "%s: %s holds %s, expected %s" % (what, file, found, expected))

    # The prediction runs the driver's code inside the static binary: a
    # pending USB request without Setup is taken and nothing else happens.
    zkboot(*store, "request", "usb")
    p = zkboot(*store, "status", "--json")
    if check(p.returncode == 0, "status --json: exit status %d: %s" % (p.returncode, p.stderr)):
        status = json.loads(p.stdout)
        changes = {c["name"]: c["text"] for c in status["prediction"]["boots"][0]["changes"]}
        check(changes.get("ZKChgBoot") == "01 81 -> 00 81", "predicted ZKChgBoot change: %r" % changes)
        check(changes.get("ZKFirstBoot") == "created: 00", "predicted ZKFirstBoot change: %r" % changes)
        return status, zkboot("--help").stdout
    return None, ""


def check_unit(root):
    path = os.path.join(root, "lib/systemd/system/zkboot-once.service")
    if not check(os.path.isfile(path), "no lib/systemd/system/zkboot-once.service"):
        return
    unit = open(path).read()
    exec_start = re.search(r"^ExecStart=(\S+)(.*)$", unit, re.M)
    if check(exec_start is not None, "the unit has no ExecStart"):
        check(exec_start.group(1) == "/usr/bin/zkboot", "the unit starts %s" % exec_start.group(1))
        check(exec_start.group(2).split() == ["clear", "--once"], "the unit runs %r" % exec_start.group(2))
    check("ConditionPathExists=/var/lib/zkboot/once" in unit, "the unit does not wait for a one-time request")
    check(re.search(r"^WantedBy=multi-user.target$", unit, re.M) is not None, "the unit has no WantedBy")


def render_manual(page):
    """The page as man shows it; no renderer may warn."""
    env = dict(os.environ, MANWIDTH="100", LC_ALL="C.UTF-8")
    p = run(["man", "--warnings=all", "-l", page], env=env)
    check(p.returncode == 0 and p.stderr == "", "man -l: status %d, warnings:\n%s" % (p.returncode, p.stderr))
    text = p.stdout
    p = run(["groff", "-man", "-Tutf8", "-ww", "-z", page])
    check(p.returncode == 0 and p.stderr == "", "groff -man: status %d, warnings:\n%s" % (p.returncode, p.stderr))
    if shutil.which("mandoc"):
        p = run(["mandoc", "-Tlint", "-W", "warning", page])
        check(p.returncode == 0 and p.stdout + p.stderr == "", "mandoc -Tlint:\n%s%s" % (p.stdout, p.stderr))
    else:
        print("note: mandoc is not installed (tools/install-deps.sh test); its lint was skipped")
    return text


def sections(text, indent):
    """Headings at the given indentation and the lines under each."""
    out, name = {}, None
    for line in text.splitlines():
        if line.startswith(" " * indent) and not line.startswith(" " * (indent + 1)) and line.strip():
            name = line.strip()
            out[name] = []
        elif name is not None and (not line.strip() or line.startswith(" " * (indent + 1))):
            out[name].append(line)
        else:
            name = None
    return out


def check_manual(root, status, help_text):
    page = os.path.join(root, "usr/share/man/man8/zkboot.8.gz")
    if not check(os.path.isfile(page), "no usr/share/man/man8/zkboot.8.gz"):
        return
    raw = open(page, "rb").read()
    # gzip -9n: no file name (flag bit 3) and no time stamp in the header.
    check(raw[:2] == b"\x1f\x8b" and raw[3] & 0x08 == 0 and raw[4:8] == b"\0\0\0\0",
          "the manual page is not compressed as gzip -n does")
    with tempfile.NamedTemporaryFile(suffix=".8") as plain:
        plain.write(gzip.decompress(raw))
        plain.flush()
        text = render_manual(plain.name)
    top = sections(text, 0)
    for name in ["NAME", "SYNOPSIS", "DESCRIPTION", "COMMANDS", "OPTIONS", "VARIABLES", "EXIT STATUS", "FILES",
                 "EXAMPLES", "SEE ALSO"]:
        check(name in top, "the manual page has no %s section" % name)

    # One subsection per variable, with its GUID and every field.
    variables = sections("\n".join(top.get("VARIABLES", [])), 3)
    for name, guid in VARIABLES:
        body = variables.get(name)
        if not check(body is not None, "the manual page's VARIABLES has no %s" % name):
            continue
        fields = {}
        for line in body:
            m = re.match(r"^ {7}(GUID|Attributes|Size|Format|Written by|Goes)\s+(.*)$", line)
            if m:
                fields[m.group(1)] = m.group(2)
        check(list(fields) == FIELDS, "%s: fields %s, expected %s" % (name, list(fields), FIELDS))
        check(fields.get("GUID", "").split(" ")[0] == guid, "%s: GUID %r" % (name, fields.get("GUID")))
    # Whatever zkboot itself shows is documented with the same GUID.
    for key, value in (status or {}).items():
        if isinstance(value, dict) and "guid" in value:
            body = "\n".join(variables.get(value["name"], []))
            check(value["guid"] in body, "zkboot shows %s %s, undocumented" % (value["name"], value["guid"]))

    # The commands, options and exit statuses of zkboot --help.
    commands = "\n".join(top.get("COMMANDS", []))
    listed = re.search(r"^Subcommands:\n((?:  \S.*\n)+)", help_text, re.M)
    if check(listed is not None, "zkboot --help lists no commands"):
        for command in re.findall(r"^  (\S+)", listed.group(1), re.M):
            check(re.search(r"^ {7}%s\b" % re.escape(command), commands, re.M) is not None,
                  "command %s is not in COMMANDS" % command)
    options = "\n".join(top.get("OPTIONS", []))
    for option in re.findall(r"^  (?:-h,)?(--[a-z-]+)", help_text, re.M):
        check(option in options, "option %s is not in OPTIONS" % option)
    footer = re.search(r"Exit status: (.*)", help_text)
    exits = "\n".join(top.get("EXIT STATUS", []))
    if check(footer is not None, "zkboot --help gives no exit statuses"):
        codes = [int(c) for c in re.findall(r"(?:^|; )(\d+) ", footer.group(1))]
        documented = [int(c) for c in re.findall(r"^ {7}(\d+) ", exits, re.M)]
        check(codes == list(range(9)), "zkboot --help gives exit statuses %s" % codes)
        check(documented == codes, "EXIT STATUS documents %s, zkboot --help gives %s" % (documented, codes))


def main():
    source, build = sys.argv[1], sys.argv[2]
    deb = build_package(source, build)
    print("package: %s (%d bytes)" % (deb, os.path.getsize(deb)))
    fields = check_control(deb)
    with tempfile.TemporaryDirectory() as root:
        p = run(["dpkg-deb", "-x", deb, root])
        if not check(p.returncode == 0, "dpkg-deb -x: " + p.stderr):
            return 1
        files = sorted(os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs)
        check(files == ["lib/systemd/system/zkboot-once.service", "usr/bin/zkboot",
                        "usr/share/man/man8/zkboot.8.gz"], "package files: %s" % files)
        binary = os.path.join(root, "usr/bin/zkboot")
        if not check(os.access(binary, os.X_OK), "usr/bin/zkboot is not executable"):
            return 1
        static = check_linking(binary, fields["Depends"])
        check_unit(root)
        status, help_text = check_binary(root, static)
        check_manual(root, status, help_text)
    print("%d failed" % len(failures) if failures else "package checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
