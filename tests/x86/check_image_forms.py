#!/usr/bin/env python3
"""Checks the instruction forms of the seam's x86-64 primitives as compiled
into the firmware image (the object file of support/base/efi/hw_x86.cpp).

Port I/O, CPUID, the TSC and PAUSE are also executed by hw_x86_tests on the
host; RDMSR and device-memory accesses cannot reach real hardware there, so
this check pins their image form: one access of the stated width at the
address argument (RCX in the UEFI calling convention), the value from RDX,
RDMSR on the index as passed in ECX, EDX:EAX joined into RAX. The CPUID
probe must load EAX from the first argument (ECX) and EBX from the second
(EDX), clear SI just before CPUID and save and restore RBX, RCX, RDX, RSI
and the flags around it.

usage: check_image_forms.py OBJDUMP OBJECT
"""
import re
import subprocess
import sys

# Per function: patterns that must appear in this order, the number of
# instructions with a memory operand (push/pop excluded) and of in/out.
EXPECT = {
    "PortIn8": ([r"inb\s+%dx, %al"], 0, 1),
    "PortIn16": ([r"inw\s+%dx, %ax"], 0, 1),
    "PortIn32": ([r"inl\s+%dx, %eax"], 0, 1),
    "PortOut8": ([r"movl\s+%edx, %eax", r"movl\s+%ecx, %edx", r"outb\s+%al, %dx"], 0, 1),
    "PortOut16": ([r"movl\s+%edx, %eax", r"movl\s+%ecx, %edx", r"outw\s+%ax, %dx"], 0, 1),
    "PortOut32": ([r"movl\s+%edx, %eax", r"movl\s+%ecx, %edx", r"outl\s+%eax, %dx"], 0, 1),
    "MmioRead8": ([r"mov(b|zbl)\s+\(%rcx\), %(al|eax)"], 1, 0),
    "MmioRead16": ([r"mov(w|zwl)\s+\(%rcx\), %(ax|eax)"], 1, 0),
    "MmioRead32": ([r"movl\s+\(%rcx\), %eax"], 1, 0),
    "MmioWrite8": ([r"movb\s+%dl, \(%rcx\)"], 1, 0),
    "MmioWrite16": ([r"movw\s+%dx, \(%rcx\)"], 1, 0),
    "MmioWrite32": ([r"movl\s+%edx, \(%rcx\)"], 1, 0),
    "ReadMsr": ([r"rdmsr", r"shlq\s+\$32, %rdx", r"orq\s+%rdx, %rax"], 0, 0),
    "ReadTsc": ([r"rdtsc", r"shlq\s+\$32, %rdx", r"orq\s+%rdx, %rax"], 0, 0),
    "SpinPause": ([r"pause"], 0, 0),
    "CpuidLeaf": ([r"movl\s+%ecx, %eax", r"cpuid"], 4, 0),
    "CpuidSiProbe": ([r"movl\s+%ecx, %eax", r"pushfq", r"pushq\s+%rbx", r"pushq\s+%rcx", r"pushq\s+%rdx",
                      r"pushq\s+%rsi", r"movl\s+%edx, %ebx", r"xorl\s+%esi, %esi", r"cpuid",
                      r"movzw[lq]\s+%si,", r"popq\s+%rsi", r"popq\s+%rdx", r"popq\s+%rcx", r"popq\s+%rbx",
                      r"popfq"], 0, 0),
}
# Registers that must not be written before RDMSR: the index arrives in ECX.
RCX_WRITE = re.compile(r",\s*%(rcx|ecx|cx|cl)$")


def functions(text):
    body = {}
    name = None
    for line in text.splitlines():
        m = re.match(r"^[0-9a-f]+ <(\w+)>:$", line)
        if m:
            name = m.group(1)
            body[name] = []
            continue
        m = re.match(r"^\s+[0-9a-f]+:\s+(\S.*)$", line)
        if m and name:
            body[name].append(m.group(1).strip())
    return body


def main():
    objdump, obj = sys.argv[1], sys.argv[2]
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", obj], check=True, capture_output=True,
                          text=True).stdout
    body = functions(text)
    errors = []
    for fn, (order, memory, io) in EXPECT.items():
        insns = body.get(fn)
        if insns is None:
            errors.append(f"{fn}: not in {obj}")
            continue
        pos = 0
        for pattern in order:
            while pos < len(insns) and not re.search(pattern, insns[pos]):
                pos += 1
            if pos == len(insns):
                errors.append(f"{fn}: no '{pattern}' in order; got: {'; '.join(insns)}")
                break
            pos += 1
        mem = sum(1 for i in insns if "(" in i and not re.match(r"(push|pop)", i))
        ios = sum(1 for i in insns if re.match(r"(in|out)[bwl]\s", i))
        if mem != memory:
            errors.append(f"{fn}: {mem} memory accesses, expected {memory}")
        if ios != io:
            errors.append(f"{fn}: {ios} port accesses, expected {io}")
    for insn in body.get("ReadMsr", []):
        if insn.startswith("rdmsr"):
            break
        if RCX_WRITE.search(insn):
            errors.append(f"ReadMsr: ECX overwritten before rdmsr: {insn}")
    for e in errors:
        print("image forms:", e)
    if not errors:
        print(f"image forms: {len(EXPECT)} primitives of {obj} as expected")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
