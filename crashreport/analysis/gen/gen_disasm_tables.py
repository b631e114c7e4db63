#!/usr/bin/env python3
"""Writes qixDisAsmTables.inc from the opcode maps below.

Operands use the notation of the published Intel opcode maps (Eb, Gv, Ib, Jz, ...);
this script turns them into the 16-bit attribute words the decoder walks.
Run:  python3 gen_disasm_tables.py > ../qixDisAsmTables.inc
"""

# Attribute word layout (see qixDisAsmTables.h).
REG = {'Gb': 1, 'Gw': 2, 'Sw': 3, 'Cd': 3, 'Dd': 3, 'Gv': 4, 'Gd': 4, 'Gz': 4,
       'Pq': 5, 'Pd': 5, 'Vx': 7, 'Vq': 7, 'Vd': 7, 'Vss': 7, 'Vsd': 7}
RM = {'Eb': 2, 'Ew': 3, 'Ev': 4, 'M': 4, 'Mp': 4, 'Ma': 4, 'Ed': 7, 'Rd': 7,
      'Qq': 5, 'Nq': 5, 'Qd': 5, 'Wx': 6, 'Ux': 6, 'Wq': 6, 'Wd': 6, 'Wss': 6, 'Wsd': 6, 'Mq': 6}
# bits 6-7: memory size of the r/m operand when it differs from its kind
MEMSIZE = {'Wq': 2, 'Wsd': 2, 'Wd': 1, 'Wss': 1, 'Qd': 1, 'Mq': 2, 'M': 3, 'Mp': 3, 'Ma': 3}
IMPL = {'AL': 1, 'Zb': 3, 'eAX': 4, 'Zv': 5, 'DX': 6}
IMM = {'Ib': 1, 'Iw': 2, 'Iz': 3, 'Iv': 3, 'Jb': 1, 'Jz': 3, 'Ob': 0, 'Ov': 0, 'Ap': 0}
WRITE = {None: 0, 'eax': 1, 'reg': 2, 'rm': 3, 'low': 4, 'edxeax': 5, 'both': 6, 'all': 7}
NOWRITE = {'cmp', 'test', 'push', 'bt', 'cmp|', 'jmp', 'call'}

mnemonics = []
mnemonic_index = {}


def mnem(text):
    if text not in mnemonic_index:
        mnemonic_index[text] = len(mnemonics)
        mnemonics.append(text)
    return mnemonic_index[text]


def attr(ops='', ptr=False, write='auto', name=''):
    ops = [o for o in ops.split(',') if o]
    a = 0
    reg = rm = impl = None
    first = None
    for i, o in enumerate(ops):
        if o in REG:
            reg = REG[o]
            first = first or 'reg'
        elif o in RM:
            rm = RM[o]
            a |= MEMSIZE.get(o, 0) << 6
            first = first or 'rm'
        elif o in IMPL:
            impl = IMPL[o]
            first = first or 'reg'
        elif o in IMM:
            a |= IMM[o] << 10
            if o.startswith('J'):
                a |= 1 << 12
            first = first or 'imm'
        else:
            raise ValueError(o)
    if rm is not None:
        a |= rm << 3
        if reg is not None:
            a |= reg
        if first == 'rm' and reg is not None:
            a |= 1 << 9
    elif impl is not None:
        a |= impl
        if first == 'imm':
            a |= 1 << 9
    elif reg is not None:
        a |= reg
    if ptr:
        a |= 1 << 8
    if write == 'auto':
        write = None
        base = name.split('/')[0].split('|')[0].split(' ')[0]
        if ops and base not in NOWRITE and not base.startswith('j'):
            d = ops[0]
            if d in ('Gb', 'Gw', 'Gv', 'Gd', 'Gz'):
                write = 'reg'
            elif d in ('Eb', 'Ew', 'Ev', 'Ed', 'Rd'):
                write = 'rm'
            elif d in ('AL', 'eAX'):
                write = 'eax'
            elif d in ('Zb', 'Zv'):
                write = 'low'
    a |= WRITE[write] << 13
    return a


INVALID = 0xFFFF
NONE = 0xFFFF  # no mnemonic: the form is invalid
GROUP = 0x08
one = [(INVALID, 0)] * 256
two = [(INVALID, 0)] * 256


def op(table, code, name, ops='', ptr=False, write='auto'):
    table[code] = (attr(ops, ptr, write, name), mnem(name))


def alu(base, name):
    op(one, base + 0, name, 'Eb,Gb')
    op(one, base + 1, name, 'Ev,Gv')
    op(one, base + 2, name, 'Gb,Eb')
    op(one, base + 3, name, 'Gv,Ev')
    op(one, base + 4, name, 'AL,Ib')
    op(one, base + 5, name, 'eAX,Iz')


for i, n in enumerate(['add', 'or', 'adc', 'sbb', 'and', 'sub', 'xor', 'cmp']):
    alu(i * 8, n)
op(one, 0x06, 'push    es')
op(one, 0x07, 'pop     es')
op(one, 0x0E, 'push    cs')
op(one, 0x16, 'push    ss')
op(one, 0x17, 'pop     ss')
op(one, 0x1E, 'push    ds')
op(one, 0x1F, 'pop     ds')
op(one, 0x27, 'daa', write='eax')
op(one, 0x2F, 'das', write='eax')
op(one, 0x37, 'aaa', write='eax')
op(one, 0x3F, 'aas', write='eax')
for r in range(8):
    op(one, 0x40 + r, 'inc', 'Zv')
    op(one, 0x48 + r, 'dec', 'Zv')
    op(one, 0x50 + r, 'push', 'Zv', write=None)
    op(one, 0x58 + r, 'pop', 'Zv')
    op(one, 0xB0 + r, 'mov', 'Zb,Ib')
    op(one, 0xB8 + r, 'mov', 'Zv,Iv')
    two[0xC8 + r] = (attr('Zv', write='low'), mnem('bswap'))
op(one, 0x60, 'pushad/pushaw')
op(one, 0x61, 'popad/popaw', write='all')
op(one, 0x62, 'bound', 'Gv,Ma', write=None)
op(one, 0x63, 'arpl', 'Ew,Gw')
op(one, 0x68, 'push', 'Iz')
op(one, 0x69, 'imul', 'Gv,Ev,Iz')
op(one, 0x6A, 'push', 'Ib')
op(one, 0x6B, 'imul', 'Gv,Ev,Ib')
op(one, 0x6C, 'insb', write='all')
op(one, 0x6D, 'insd/insw', write='all')
op(one, 0x6E, 'outsb', write='all')
op(one, 0x6F, 'outsd/outsw', write='all')
for c in range(16):
    op(one, 0x70 + c, 'j%cc', 'Jb')
    two[0x80 + c] = (attr('Jz', name='j%cc'), mnem('j%cc'))
    two[0x40 + c] = (attr('Gv,Ev', name='cmov%cc'), mnem('cmov%cc'))
    two[0x90 + c] = (attr('Eb', ptr=True, name='set%cc'), mnem('set%cc'))
ARITH = 'add|or|adc|sbb|and|sub|xor|cmp'
op(one, 0x80, ARITH, 'Eb,Ib', ptr=True, write='rm')
op(one, 0x81, ARITH, 'Ev,Iz', ptr=True, write='rm')
op(one, 0x82, ARITH, 'Eb,Ib', ptr=True, write='rm')
op(one, 0x83, ARITH, 'Ev,Ib', ptr=True, write='rm')
op(one, 0x84, 'test', 'Eb,Gb')
op(one, 0x85, 'test', 'Ev,Gv')
op(one, 0x86, 'xchg', 'Eb,Gb', write='both')
op(one, 0x87, 'xchg', 'Ev,Gv', write='both')
op(one, 0x88, 'mov', 'Eb,Gb')
op(one, 0x89, 'mov', 'Ev,Gv')
op(one, 0x8A, 'mov', 'Gb,Eb')
op(one, 0x8B, 'mov', 'Gv,Ev')
op(one, 0x8C, 'mov', 'Ev,Sw')
op(one, 0x8D, 'lea', 'Gv,M')
op(one, 0x8E, 'mov', 'Sw,Ew')
op(one, 0x8F, 'pop||||||||', 'Ev', ptr=True)
op(one, 0x90, 'nop/xchg    ax, ax//pause')
for r in range(1, 8):
    op(one, 0x90 + r, 'xchg', 'Zv', write='all')
op(one, 0x98, 'cwde/cbw', write='eax')
op(one, 0x99, 'cdq/cwd', write='edxeax')
op(one, 0x9A, 'call', 'Ap')
op(one, 0x9B, 'wait')
op(one, 0x9C, 'pushfd/pushfw')
op(one, 0x9D, 'popfd/popfw')
op(one, 0x9E, 'sahf')
op(one, 0x9F, 'lahf', write='eax')
op(one, 0xA0, 'mov', 'AL,Ob')
op(one, 0xA1, 'mov', 'eAX,Ov')
op(one, 0xA2, 'mov', 'Ob,AL')
op(one, 0xA3, 'mov', 'Ov,eAX')
op(one, 0xA4, 'movsb')
op(one, 0xA5, 'movsd/movsw')
op(one, 0xA6, 'cmpsb')
op(one, 0xA7, 'cmpsd/cmpsw')
op(one, 0xA8, 'test', 'AL,Ib')
op(one, 0xA9, 'test', 'eAX,Iz')
op(one, 0xAA, 'stosb')
op(one, 0xAB, 'stosd/stosw')
op(one, 0xAC, 'lodsb', write='eax')
op(one, 0xAD, 'lodsd/lodsw', write='eax')
op(one, 0xAE, 'scasb')
op(one, 0xAF, 'scasd/scasw')
SHIFT = 'rol|ror|rcl|rcr|shl|shr|sal|sar'
op(one, 0xC0, SHIFT, 'Eb,Ib', ptr=True, write='rm')
op(one, 0xC1, SHIFT, 'Ev,Ib', ptr=True, write='rm')
op(one, 0xC2, 'ret', 'Iw')
op(one, 0xC3, 'ret')
op(one, 0xC4, 'les', 'Gz,Mp')
op(one, 0xC5, 'lds', 'Gz,Mp')
op(one, 0xC6, 'mov||||||||', 'Eb,Ib', ptr=True, write='rm')
op(one, 0xC7, 'mov||||||||', 'Ev,Iz', ptr=True, write='rm')
op(one, 0xC8, 'enter')
op(one, 0xC9, 'leave')
op(one, 0xCA, 'retf', 'Iw')
op(one, 0xCB, 'retf')
op(one, 0xCC, 'int     3')
op(one, 0xCD, 'int', 'Ib')
op(one, 0xCE, 'into')
op(one, 0xCF, 'iretd/iretw')
op(one, 0xD0, SHIFT, 'Eb', ptr=True, write='rm')
op(one, 0xD1, SHIFT, 'Ev', ptr=True, write='rm')
op(one, 0xD2, SHIFT, 'Eb', ptr=True, write='rm')
op(one, 0xD3, SHIFT, 'Ev', ptr=True, write='rm')
op(one, 0xD4, 'aam', 'Ib', write='eax')
op(one, 0xD5, 'aad', 'Ib', write='eax')
op(one, 0xD6, 'salc', write='eax')
op(one, 0xD7, 'xlatb', write='eax')
for c in range(0xD8, 0xE0):
    one[c] = (attr('M'), mnem('fpu'))  # decoded through the FPU tables
op(one, 0xE0, 'loopnz', 'Jb', write=None)
op(one, 0xE1, 'loopz', 'Jb', write=None)
op(one, 0xE2, 'loop', 'Jb', write=None)
op(one, 0xE3, 'jecxz/jcxz', 'Jb')
op(one, 0xE4, 'in', 'AL,Ib')
op(one, 0xE5, 'in', 'eAX,Ib')
op(one, 0xE6, 'out', 'Ib,AL', write=None)
op(one, 0xE7, 'out', 'Ib,eAX', write=None)
op(one, 0xE8, 'call', 'Jz')
op(one, 0xE9, 'jmp', 'Jz')
op(one, 0xEA, 'jmp', 'Ap')
op(one, 0xEB, 'jmp', 'Jb')
op(one, 0xEC, 'in      al, dx', write='eax')
op(one, 0xED, 'in      eax, dx/in      ax, dx', write='eax')
op(one, 0xEE, 'out     dx, al')
op(one, 0xEF, 'out     dx, eax/out     dx, ax')
op(one, 0xF1, 'int01')
op(one, 0xF4, 'hlt')
op(one, 0xF5, 'cmc')
one[0xF6] = (GROUP, mnem('test|test|not|neg|mul|imul|div|idiv'))
one[0xF7] = (GROUP, mnem('test|test|not|neg|mul|imul|div|idiv'))
for c, n in zip(range(0xF8, 0xFE), ['clc', 'stc', 'cli', 'sti', 'cld', 'std']):
    op(one, c, n)
one[0xFE] = (GROUP, mnem('inc|dec||||||'))
one[0xFF] = (GROUP, mnem('inc|dec|call|call|jmp|jmp|push|'))

# Two-byte map (0x0F xx).
two[0x00] = (GROUP, mnem('sldt|str|lldt|ltr|verr|verw||'))
two[0x01] = (GROUP, mnem('sgdt|sidt|lgdt|lidt|smsw||lmsw|invlpg|||||smsw||lmsw|'))
op(two, 0x02, 'lar', 'Gv,Ew')
op(two, 0x03, 'lsl', 'Gv,Ew')
op(two, 0x05, 'syscall', write='all')
op(two, 0x06, 'clts')
op(two, 0x07, 'sysret', write='all')
op(two, 0x08, 'invd')
op(two, 0x09, 'wbinvd')
op(two, 0x0B, 'ud2')
two[0x0D] = (GROUP, mnem('prefetch|prefetchw||||||'))
op(two, 0x0E, 'femms')
op(two, 0x0F, '3dnow', 'Pq,Qq,Ib')  # the immediate selects the operation
op(two, 0x10, 'movups/movupd/movsd/movss', 'Vx,Wx')
op(two, 0x11, 'movups/movupd/movsd/movss', 'Wx,Vx')
op(two, 0x12, 'movhlps:movlps/movlpd', 'Vx,Wq')
op(two, 0x13, 'movlps/movlpd', 'Wq,Vx')
op(two, 0x14, 'unpcklps/unpcklpd', 'Vx,Wx')
op(two, 0x15, 'unpckhps/unpckhpd', 'Vx,Wx')
op(two, 0x16, 'movlhps:movhps/movhpd', 'Vx,Wq')
op(two, 0x17, 'movhps/movhpd', 'Wq,Vx')
two[0x18] = (GROUP, mnem('prefetchnta|prefetcht0|prefetcht1|prefetcht2||||'))
# 0F 1F is the recommended multi-byte no-op that compilers pad with.
op(two, 0x1F, 'nop', 'Ev', ptr=True, write=None)
op(two, 0x20, 'mov', 'Rd,Cd')
op(two, 0x21, 'mov', 'Rd,Dd')
op(two, 0x22, 'mov', 'Cd,Rd')
op(two, 0x23, 'mov', 'Dd,Rd')
op(two, 0x28, 'movaps/movapd', 'Vx,Wx')
op(two, 0x29, 'movaps/movapd', 'Wx,Vx')
op(two, 0x2A, 'cvtpi2ps/cvtpi2pd/cvtsi2sd/cvtsi2ss', 'Vx,Qq')
op(two, 0x2B, 'movntps/movntpd', 'Wx,Vx')
op(two, 0x2C, 'cvttps2pi/cvttpd2pi/cvttsd2si/cvttss2si', 'Pq,Wq', write='reg')
op(two, 0x2D, 'cvtps2pi/cvtpd2pi/cvtsd2si/cvtss2si', 'Pq,Wq', write='reg')
op(two, 0x2E, 'ucomiss/ucomisd', 'Vx,Wss')
op(two, 0x2F, 'comiss/comisd', 'Vx,Wss')
op(two, 0x30, 'wrmsr')
op(two, 0x31, 'rdtsc', write='edxeax')
op(two, 0x32, 'rdmsr', write='edxeax')
op(two, 0x33, 'rdpmc', write='edxeax')
op(two, 0x34, 'sysenter', write='all')
op(two, 0x35, 'sysexit', write='all')
op(two, 0x50, 'movmskps/movmskpd', 'Gd,Ux')
SSE_ARITH = {0x51: 'sqrtP%S', 0x52: 'rsqrtps///rsqrtss', 0x53: 'rcpps///rcpss', 0x54: 'andps/andpd',
             0x55: 'andnps/andnpd', 0x56: 'orps/orpd', 0x57: 'xorps/xorpd', 0x58: 'addP%S',
             0x59: 'mulP%S', 0x5C: 'subP%S', 0x5D: 'minP%S', 0x5E: 'divP%S', 0x5F: 'maxP%S'}
for c, n in SSE_ARITH.items():
    if 'P%S' in n:
        stem = n.replace('P%S', '')
        n = '/'.join(stem + suffix for suffix in ('ps', 'pd', 'sd', 'ss'))
    op(two, c, n, 'Vx,Wx')
op(two, 0x5A, 'cvtps2pd/cvtpd2ps/cvtsd2ss/cvtss2sd', 'Vx,Wx')
op(two, 0x5B, 'cvtdq2ps/cvtps2dq//cvttps2dq', 'Vx,Wx')
MMX = {0x60: 'punpcklbw', 0x61: 'punpcklwd', 0x62: 'punpckldq', 0x63: 'packsswb', 0x64: 'pcmpgtb',
       0x65: 'pcmpgtw', 0x66: 'pcmpgtd', 0x67: 'packuswb', 0x68: 'punpckhbw', 0x69: 'punpckhwd',
       0x6A: 'punpckhdq', 0x6B: 'packssdw', 0x6C: '/punpcklqdq', 0x6D: '/punpckhqdq',
       0x74: 'pcmpeqb', 0x75: 'pcmpeqw', 0x76: 'pcmpeqd',
       0xD1: 'psrlw', 0xD2: 'psrld', 0xD3: 'psrlq', 0xD4: 'paddq', 0xD5: 'pmullw',
       0xD8: 'psubusb', 0xD9: 'psubusw', 0xDA: 'pminub', 0xDB: 'pand', 0xDC: 'paddusb', 0xDD: 'paddusw',
       0xDE: 'pmaxub', 0xDF: 'pandn', 0xE0: 'pavgb', 0xE1: 'psraw', 0xE2: 'psrad', 0xE3: 'pavgw',
       0xE4: 'pmulhuw', 0xE5: 'pmulhw', 0xE8: 'psubsb', 0xE9: 'psubsw', 0xEA: 'pminsw', 0xEB: 'por',
       0xEC: 'paddsb', 0xED: 'paddsw', 0xEE: 'pmaxsw', 0xEF: 'pxor', 0xF1: 'psllw', 0xF2: 'pslld',
       0xF3: 'psllq', 0xF4: 'pmuludq', 0xF5: 'pmaddwd', 0xF6: 'psadbw', 0xF8: 'psubb', 0xF9: 'psubw',
       0xFA: 'psubd', 0xFB: 'psubq', 0xFC: 'paddb', 0xFD: 'paddw', 0xFE: 'paddd'}
for c, n in MMX.items():
    op(two, c, n, 'Pq,Qq')
op(two, 0x6E, 'movd', 'Pd,Ed', write=None)
op(two, 0x6F, 'movq/movdqa//movdqu', 'Pq,Qq')
op(two, 0x70, 'pshufw/pshufd/pshuflw/pshufhw', 'Pq,Qq,Ib')
op(two, 0x71, '||psrlw||psraw||psllw|', 'Nq,Ib')
op(two, 0x72, '||psrld||psrad||pslld|', 'Nq,Ib')
op(two, 0x73, '||psrlq|psrldq|||psllq|pslldq', 'Nq,Ib')
op(two, 0x77, 'emms')
op(two, 0x7E, 'movd/movd//movq', 'Ed,Pd', write='rm')
op(two, 0x7F, 'movq/movdqa//movdqu', 'Qq,Pq')
op(two, 0xA0, 'push    fs')
op(two, 0xA1, 'pop     fs')
op(two, 0xA2, 'cpuid', write='all')
op(two, 0xA3, 'bt', 'Ev,Gv')
op(two, 0xA4, 'shld', 'Ev,Gv,Ib')
op(two, 0xA5, 'shld', 'Ev,Gv')
op(two, 0xA8, 'push    gs')
op(two, 0xA9, 'pop     gs')
op(two, 0xAA, 'rsm')
op(two, 0xAB, 'bts', 'Ev,Gv')
op(two, 0xAC, 'shrd', 'Ev,Gv,Ib')
op(two, 0xAD, 'shrd', 'Ev,Gv')
two[0xAE] = (GROUP, mnem('fxsave|fxrstor|ldmxcsr|stmxcsr||||clflush||||||lfence|mfence|sfence'))
op(two, 0xAF, 'imul', 'Gv,Ev')
op(two, 0xB0, 'cmpxchg', 'Eb,Gb', write='all')
op(two, 0xB1, 'cmpxchg', 'Ev,Gv', write='all')
op(two, 0xB2, 'lss', 'Gz,Mp')
op(two, 0xB3, 'btr', 'Ev,Gv')
op(two, 0xB4, 'lfs', 'Gz,Mp')
op(two, 0xB5, 'lgs', 'Gz,Mp')
op(two, 0xB6, 'movzx', 'Gv,Eb', ptr=True)
op(two, 0xB7, 'movzx', 'Gv,Ew', ptr=True)
op(two, 0xBA, '||||bt|bts|btr|btc', 'Ev,Ib', ptr=True, write='rm')
op(two, 0xBB, 'btc', 'Ev,Gv')
op(two, 0xBC, 'bsf', 'Gv,Ev')
op(two, 0xBD, 'bsr', 'Gv,Ev')
op(two, 0xBE, 'movsx', 'Gv,Eb', ptr=True)
op(two, 0xBF, 'movsx', 'Gv,Ew', ptr=True)
op(two, 0xC0, 'xadd', 'Eb,Gb', write='both')
op(two, 0xC1, 'xadd', 'Ev,Gv', write='both')
op(two, 0xC2, 'cmpps/cmppd/cmpsd/cmpss', 'Vx,Wx,Ib')
op(two, 0xC3, 'movnti', 'Ed,Gd')
op(two, 0xC4, 'pinsrw', 'Pq,Ed,Ib')
op(two, 0xC5, 'pextrw', 'Gd,Nq,Ib')
op(two, 0xC6, 'shufps/shufpd', 'Vx,Wx,Ib')
two[0xC7] = (GROUP, mnem('|cmpxchg8b|||||||||||||rdrand|rdseed'))
op(two, 0xD6, '/movq/movdq2q/movq2dq', 'Wq,Vx')
op(two, 0xD7, 'pmovmskb', 'Gd,Nq')
op(two, 0xE6, '/cvttpd2dq/cvtpd2dq/cvtdq2pd', 'Vx,Wx')
op(two, 0xE7, 'movntq/movntdq', 'Qq,Pq')
op(two, 0xF7, 'maskmovq/maskmovdqu', 'Pq,Nq')

# Group rows: the opcode, then 8 memory forms and 8 register forms by ModR/M reg.
groups = []


def group(code, mem, reg=None):
    groups.append((code, mem, reg if reg is not None else mem))


F6 = [attr('Eb,Ib', True, 'rm')] * 2 + [attr('Eb', True, 'rm')] * 2 + [attr('Eb', True, 'eax')] * 4
F7 = [attr('Ev,Iz', True, None), attr('Ev,Iz', True, None), attr('Ev', True, 'rm'), attr('Ev', True, 'rm')] + \
     [attr('Ev', True, 'edxeax')] * 4
F6[0] = F6[1] = attr('Eb,Ib', True, None)
group(0xF6, F6)
group(0xF7, F7)
group(0xFE, [attr('Eb', True, 'rm')] * 2 + [INVALID] * 6)
FF = [attr('Ev', True, 'rm'), attr('Ev', True, 'rm'), attr('Ev', True, None), attr('Ev', True, None),
      attr('Ev', True, None), attr('Ev', True, None), attr('Ev', True, None), INVALID]
group(0xFF, FF)
group(0x0F00, [attr('Ew', True, 'rm')] * 6 + [INVALID] * 2)
G7M = [attr('M', False, None)] * 4 + [attr('Ew', True, None), INVALID, attr('Ew', True, None), attr('M', True, None)]
G7R = [INVALID] * 4 + [attr('Ew', False, 'rm'), INVALID, attr('Ew', False, None), INVALID]
group(0x0F01, G7M, G7R)
group(0x0F18, [attr('M', True, None)] * 4 + [INVALID] * 4, [INVALID] * 8)
group(0x0FAE, [attr('M', False, None)] * 4 + [INVALID] * 3 + [attr('M', False, None)],
      [INVALID] * 5 + [attr('', False, None)] * 3)
# rdrand and rdseed: newer than SSE2, but the C runtime we link uses them.
group(0x0FC7, [INVALID, attr('Mq', True, 'edxeax')] + [INVALID] * 6, [INVALID] * 6 + [attr('Ev', False, 'rm')] * 2)
group(0x0F0D, [attr('M', True, None)] * 2 + [INVALID] * 6, [INVALID] * 8)

# FPU: memory forms by (opcode, reg) with their operand size, register forms by ModR/M.
FPU_MEM = {
    0xD8: ('add|mul|com|comp|sub|subr|div|divr', 'd'),
    0xD9: ('ld||st|stp|ldenv|ldcw|nstenv|nstcw', 'd.dd-w-w'),
    0xDA: ('iadd|imul|icom|icomp|isub|isubr|idiv|idivr', 'd'),
    0xDB: ('ild|isttp|ist|istp||ld||stp', 'dddd.t.t'),
    0xDC: ('add|mul|com|comp|sub|subr|div|divr', 'q'),
    0xDD: ('ld|isttp|st|stp|rstor||nsave|nstsw', 'qqqq-.-w'),
    0xDE: ('iadd|imul|icom|icomp|isub|isubr|idiv|idivr', 'w'),
    0xDF: ('ild|isttp|ist|istp|bld|ild|bstp|istp', 'wwwwtqtq'),
}
SIZES = {'d': 1, 'q': 2, 'w': 3, 't': 4, '-': 5, '.': 0}
fpu_mem = []
for c in range(0xD8, 0xE0):
    names, sizes = FPU_MEM[c]
    sizes = sizes * 8 if len(sizes) == 1 else sizes
    for r, n in enumerate(names.split('|')):
        fpu_mem.append((mnem(n) if n else NONE, SIZES[sizes[r]] if n else 0))
# register forms: (name, operand form) per reg row; 0 none, 1 st(i), 2 st, st(i), 3 st(i), st
FPU_REG = {
    0xD8: [('add', 2), ('mul', 2), ('com', 1), ('comp', 1), ('sub', 2), ('subr', 2), ('div', 2), ('divr', 2)],
    0xD9: [('ld', 1), ('xch', 1), None, None, None, None, None, None],
    0xDA: [('cmovb', 2), ('cmove', 2), ('cmovbe', 2), ('cmovu', 2), None, None, None, None],
    0xDB: [('cmovnb', 2), ('cmovne', 2), ('cmovnbe', 2), ('cmovnu', 2), None, ('ucomi', 2), ('comi', 2), None],
    0xDC: [('add', 3), ('mul', 3), ('com2', 1), ('comp3', 1), ('subr', 3), ('sub', 3), ('divr', 3), ('div', 3)],
    0xDD: [('free', 1), ('xch4', 1), ('st', 1), ('stp', 1), ('ucom', 1), ('ucomp', 1), None, None],
    0xDE: [('addp', 3), ('mulp', 3), ('comp5', 1), None, ('subrp', 3), ('subp', 3), ('divrp', 3), ('divp', 3)],
    0xDF: [('freep', 1), ('xch7', 1), ('stp8', 1), ('stp9', 1), None, ('ucomip', 2), ('comip', 2), None],
}
FPU_SINGLE = {
    0xD9: {0xD0: 'nop', 0xE0: 'chs', 0xE1: 'abs', 0xE4: 'tst', 0xE5: 'xam', 0xE8: 'ld1', 0xE9: 'ldl2t',
           0xEA: 'ldl2e', 0xEB: 'ldpi', 0xEC: 'ldlg2', 0xED: 'ldln2', 0xEE: 'ldz', 0xF0: 'f2xm1',
           0xF1: 'yl2x', 0xF2: 'ptan', 0xF3: 'patan', 0xF4: 'xtract', 0xF5: 'prem1', 0xF6: 'decstp',
           0xF7: 'incstp', 0xF8: 'prem', 0xF9: 'yl2xp1', 0xFA: 'sqrt', 0xFB: 'sincos', 0xFC: 'rndint',
           0xFD: 'scale', 0xFE: 'sin', 0xFF: 'cos'},
    0xDA: {0xE9: 'ucompp'},
    0xDB: {0xE0: 'neni', 0xE1: 'ndisi', 0xE2: 'nclex', 0xE3: 'ninit', 0xE4: 'nsetpm'},
    0xDE: {0xD9: 'compp'},
    0xDF: {0xE0: 'nstsw  ax'},
}
fpu_reg = []
for c in range(0xD8, 0xE0):
    for m in range(0xC0, 0x100):
        single = FPU_SINGLE.get(c, {})
        row = FPU_REG[c][(m >> 3) & 7]
        if m in single:
            fpu_reg.append((mnem(single[m]), 0))
        elif row is None or (c in single and any((m & 0xF8) == (k & 0xF8) for k in single)):
            fpu_reg.append((NONE, 0))
        else:
            fpu_reg.append((mnem(row[0]), row[1]))

AMD3DNOW = {0x0C: 'pi2fw', 0x0D: 'pi2fd', 0x1C: 'pf2iw', 0x1D: 'pf2id', 0x8A: 'pfnacc', 0x8E: 'pfpnacc',
            0x90: 'pfcmpge', 0x94: 'pfmin', 0x96: 'pfrcp', 0x97: 'pfrsqrt', 0x9A: 'pfsub', 0x9E: 'pfadd',
            0xA0: 'pfcmpgt', 0xA4: 'pfmax', 0xA6: 'pfrcpit1', 0xA7: 'pfrsqit1', 0xAA: 'pfsubr', 0xAE: 'pfacc',
            0xB0: 'pfcmpeq', 0xB4: 'pfmul', 0xB6: 'pfrcpit2', 0xB7: 'pmulhrw', 0xBB: 'pswapd', 0xBF: 'pavgusb'}
amd = [mnem(AMD3DNOW[i]) if i in AMD3DNOW else NONE for i in range(256)]

assert len(mnemonics) < 0xFFFF, len(mnemonics)


def rows(items, per, fmt):
    out = []
    for i in range(0, len(items), per):
        out.append('    ' + ' '.join(fmt(x) for x in items[i:i + per]))
    return '\n'.join(out)


print('// Generated by gen/gen_disasm_tables.py from the Intel opcode maps; do not edit.')
print('// clang-format off')
print('QIX_OPCODE_TABLE(kOneByte)\n' + rows(one, 4, lambda e: 'QIX_OP(0x%04x, %3d),' % e) + '\nQIX_END_TABLE')
print('QIX_OPCODE_TABLE(kTwoByte)\n' + rows(two, 4, lambda e: 'QIX_OP(0x%04x, %3d),' % e) + '\nQIX_END_TABLE')
print('QIX_GROUP_TABLE(kGroups)')
for code, mem, reg in groups:
    print('    QIX_GROUP(0x%04x, QIX_WORDS(%s), QIX_WORDS(%s)),' % (code, ', '.join('0x%04x' % a for a in mem),
                                               ', '.join('0x%04x' % a for a in reg)))
print('QIX_END_TABLE')
print('QIX_FPU_MEM_TABLE(kFpuMemory)\n' + rows(fpu_mem, 8, lambda e: 'QIX_FPU(%5d, %d),' % e) + '\nQIX_END_TABLE')
print('QIX_FPU_REG_TABLE(kFpuRegister)\n' + rows(fpu_reg, 8, lambda e: 'QIX_FPU(%5d, %d),' % e) + '\nQIX_END_TABLE')
print('QIX_BYTE_TABLE(k3DNow)\n' + rows(amd, 16, lambda e: '%5d,' % e) + '\nQIX_END_TABLE')
print('QIX_MNEMONIC_TEXT(kMnemonics)')
for m in mnemonics:
    print('    "%s\\0"' % m)
print('QIX_END_TEXT')
offsets, pos = [], 0
for m in mnemonics:
    offsets.append(pos)
    pos += len(m) + 1
print('QIX_MNEMONIC_OFFSETS(kMnemonicOffsets)\n' + rows(offsets, 12, lambda e: '%5d,' % e) + '\nQIX_END_TABLE')
