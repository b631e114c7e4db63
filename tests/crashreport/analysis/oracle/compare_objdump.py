#!/usr/bin/env python3
"""Compares `qixinspect disasm` with objdump on every code section of a PE file.

Instruction boundaries and lengths must agree everywhere; mnemonics must agree for
the common instructions. Exit 0 on agreement, 1 with a list of differences or when the
input does not exist (a missing input is a fault of the run, never a pass or a skip).
usage: compare_objdump.py QIXINSPECT OBJDUMP FILE
"""
import os
import re
import subprocess
import sys

# objdump's Intel names against ours, where the instruction set allows both.
ALIASES = {'je': 'jz', 'jne': 'jnz', 'jae': 'jnb', 'sete': 'setz', 'setne': 'setnz', 'setae': 'setnb',
           'cmove': 'cmovz', 'cmovne': 'cmovnz', 'cmovae': 'cmovnb', 'pushad': 'pushad', 'xlat': 'xlatb',
           'jecxz': 'jecxz', 'int1': 'int01', 'iret': 'iretd', 'pusha': 'pushad', 'popa': 'popad'}
COMMON = set('''mov push pop call jmp ret lea add sub cmp test xor and or inc dec imul mul div idiv neg not
movzx movsx shl shr sar rol ror leave nop cdq cwde sbb adc xchg bswap shld shrd bt bsf bsr
fld fstp fst fild fistp fisttp fadd fmul fdiv fdivr fsub fsubr faddp fmulp fdivp fdivrp fsubp fsubrp fxch
fldz fld1 fchs fabs fsqrt fnstcw fldcw fucomi fucomip fcomi fcomip fucompp fnstsw fsin fcos fpatan fprem fscale
movss movaps movapd movups movupd movdqa movdqu movq movd addsd mulsd divsd subsd addss mulss cvtsi2sd cvttsd2si
cvtsd2ss cvtss2sd pxor xorps xorpd andps andpd ucomisd ucomiss comisd comiss paddd paddq pshufd psrldq unpcklpd
sqrtsd maxsd minsd cvtsd2si cvtdq2pd cvttps2dq shufps shufpd punpckldq movlpd movhpd movlps movhps'''.split())
for c in ['o', 'no', 'b', 'nb', 'z', 'nz', 'be', 'a', 's', 'ns', 'p', 'np', 'l', 'ge', 'le', 'g']:
    COMMON.update({'j' + c, 'set' + c, 'cmov' + c})
PREFIXES = {'lock', 'rep', 'repz', 'repnz', 'repe', 'repne', 'cs', 'ds', 'es', 'ss', 'fs', 'gs', 'data16',
            'addr16', 'bnd', 'notrack'}
LINE = re.compile(r'^\s*([0-9a-f]+):\t((?:[0-9a-f]{2} )+)\s*\t?(.*)$')


def objdump_lines(objdump, path):
    out = subprocess.run([objdump, '-d', '-z', '-M', 'intel', '--insn-width=16', path],
                         capture_output=True, text=True, check=True).stdout
    result = {}
    for line in out.splitlines():
        m = LINE.match(line)
        if m:
            result[int(m.group(1), 16)] = (len(m.group(2).split()), m.group(3).strip())
    return result


def ours(tool, path):
    out = subprocess.run([tool, 'disasm', path], capture_output=True, text=True, check=True).stdout
    result = {}
    for line in out.splitlines():
        address, length, text = line.split(' ', 2)
        result[int(address, 16)] = (int(length), text.strip())
    return result


def mnemonic(text, table):
    words = [w for w in re.split(r'[\s,]+', text.split(';')[0]) if w]
    while words and words[0] in PREFIXES:
        words.pop(0)
    if not words:
        return ''
    return table.get(words[0], words[0]) if table else words[0]


def documented_invalid(data, offset):
    """Forms our validity rules reject on purpose while objdump decodes them:
    control/debug-register moves with a memory-form ModR/M, and 0F 00 with reg 6 or 7."""
    if offset + 2 >= len(data) or data[offset] != 0x0F:
        return False
    op, modrm = data[offset + 1], data[offset + 2]
    if 0x20 <= op <= 0x23:
        return modrm >> 6 != 3
    return op == 0x00 and (modrm >> 3) & 7 >= 6


def section_bytes(objdump, path):
    """Maps addresses to bytes from objdump's own full-contents dump."""
    out = subprocess.run([objdump, '-s', '-j', '.text', path], capture_output=True, text=True, check=True).stdout
    memory = {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 2 and re.fullmatch(r'[0-9a-f]{6,8}', parts[0]):
            address = int(parts[0], 16)
            for word in parts[1:5]:
                if not re.fullmatch(r'[0-9a-f]{2,8}', word):
                    break
                for i in range(0, len(word), 2):
                    memory[address] = int(word[i:i + 2], 16)
                    address += 1
    return memory


def resync_windows(theirs, mine, memory):
    """Addresses after a documented invalid form up to where both decoders start together again."""
    skip = set()
    for address in sorted(mine):
        if mine[address][0] != 1 or not mine[address][1].startswith('db'):
            continue
        data = bytes(memory.get(address + i, 0) for i in range(3))
        if not documented_invalid(data, 0):
            continue
        a = address
        while a == address or not (a in mine and a in theirs):
            skip.add(a)
            a += 1
            if a - address > 32:
                break
    return skip


def main():
    tool, objdump, path = sys.argv[1:4]
    if not os.path.exists(path):
        print('FAILED: %s does not exist: build it first (scripts/test builds every preset)' % path)
        return 1
    theirs, mine = objdump_lines(objdump, path), ours(tool, path)
    skip = resync_windows(theirs, mine, section_bytes(objdump, path))
    problems = []
    for address in sorted(set(theirs) | set(mine)):
        if address in skip:
            continue
        if address not in mine:
            problems.append('%08x: objdump starts an instruction here, we do not: %s' % (address, theirs[address]))
        elif address not in theirs:
            problems.append('%08x: we start an instruction here, objdump does not: %s' % (address, mine[address]))
        elif theirs[address][0] != mine[address][0]:
            problems.append('%08x: length %d, objdump %d: %s | %s' % (address, mine[address][0], theirs[address][0],
                                                                       mine[address][1], theirs[address][1]))
        else:
            expected = mnemonic(theirs[address][1], ALIASES)
            if expected in COMMON and mnemonic(mine[address][1], None) != expected:
                problems.append('%08x: mnemonic %r, objdump %r' % (address, mine[address][1], theirs[address][1]))
    print('%d instructions compared, %d differences' % (len(theirs), len(problems)))
    for p in problems[:40]:
        print(p)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
