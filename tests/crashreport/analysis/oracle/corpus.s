# Hand-written instruction corpus for the decoder's oracle test: every line is
# assembled by GNU as and compared with objdump's reading of the same bytes.
        .intel_syntax noprefix
        .text
        .globl _start
_start:
# prefixes, segment overrides, 16-bit operand and address size
        lock add dword ptr [eax], 1
        lock cmpxchg [ecx], edx
        lock xadd [esi+4], eax
        rep movsd
        rep stosb
        repne scasb
        rep cmpsw
        mov eax, fs:[0]
        mov dword ptr fs:[0], esp
        mov eax, gs:[ecx+8]
        mov ax, es:[bx+si]
        mov cx, [bp+di+0x10]
        mov dx, word ptr [bp-2]
        add ax, 0x1234
        mov eax, ds:[0x12345678]
        mov ds:[0x12345678], al
        mov ax, ds:[0x1234]
        push word ptr [eax]
        addr16 mov eax, [si]
        xchg ax, ax
        pause
# ModR/M and SIB
        mov eax, [ebp+8]
        mov eax, [esp]
        mov eax, [esp+ecx*4+0x100]
        mov eax, [ecx*8+0x401000]
        .byte 0x8d, 0xb4, 0x26, 0, 0, 0, 0  # lea esi, [esi+eiz*1+0]
        lea edi, [edi*2+ebx]
        mov byte ptr [ebx+0x7f], 0xff
        movzx eax, byte ptr [edx-1]
        movsx ecx, word ptr [esi+2]
        imul eax, ecx, 1000
        imul edx, [ebx], -3
        test byte ptr [eax], 0x80
        test dword ptr [eax], 0x80000000
        not dword ptr [eax]
        neg ecx
        div ebx
        idiv dword ptr [esp+4]
        shl eax, 1
        sar edx, cl
        rol byte ptr [eax], 3
        shld eax, edx, 5
        shrd eax, edx, cl
        bt eax, 7
        bts dword ptr [ecx], eax
        bsf eax, ecx
        bswap edx
        cmovg eax, [ecx]
        setbe cl
        xlatb
        enter 0x10, 0
        leave
        ret 8
        retf
        int 0x21
        int3
        into
        iretd
        call dword ptr [eax]
        call dword ptr ds:[0x00402000]
        call ebx
        jmp dword ptr [eax*4+0x401000]
        call 0x1234:0x56789abc
        jmp 0x10:0x401000
        jmp fword ptr [eax]
        les eax, [ecx]
        bound eax, [edx]
        arpl [eax], dx
        pushad
        popad
        pushfd
        popfd
        sahf
        lahf
        cwde
        cdq
        cbw
        cwd
        in al, dx
        out dx, eax
        in eax, 0x60
        out 0x61, al
        insb
        outsd
        aam
        aad 10
        daa
        das
        aaa
        aas
        .byte 0xd6  # salc
        hlt
        cmc
        clc
        stc
        cli
        sti
        cld
        std
        push es
        pop ds
        push fs
        pop gs
        mov es, ax
        mov eax, ss
# system
        sldt eax
        str word ptr [eax]
        lgdt [eax]
        sidt [ecx]
        smsw eax
        lmsw ax
        invlpg [eax]
        lar eax, cx
        lsl eax, [ecx]
        clts
        invd
        wbinvd
        ud2
        wrmsr
        rdtsc
        rdmsr
        rdpmc
        sysenter
        sysexit
        cpuid
        rsm
        mov eax, cr0
        mov cr3, eax
        mov eax, dr7
        mov dr0, ecx
        cmpxchg8b qword ptr [esi]
        lss esp, [eax]
        lfs eax, [ebx]
        nop dword ptr [eax+eax*1+0]
        nop word ptr [eax+eax*1+0]
# x87
        fld dword ptr [eax]
        fld qword ptr [eax]
        fld tbyte ptr [eax]
        fstp st(3)
        fild word ptr [ecx]
        fild qword ptr [ecx]
        fistp dword ptr [ecx]
        fisttp qword ptr [edx]
        fadd st, st(2)
        fadd st(2), st
        faddp st(1), st
        fmul qword ptr [ebx+8]
        fdivr dword ptr [esi]
        fsubrp st(2), st
        fdivp st(1), st
        fcom st(1)
        fcomp dword ptr [eax]
        fcompp
        fucompp
        fucomi st, st(1)
        fcomip st, st(2)
        fcmovb st, st(1)
        fcmovnu st, st(3)
        fxch st(1)
        fchs
        fabs
        ftst
        fxam
        fld1
        fldl2t
        fldpi
        fldz
        f2xm1
        fyl2x
        fptan
        fpatan
        fxtract
        fprem1
        fdecstp
        fincstp
        fprem
        fsqrt
        fsincos
        frndint
        fscale
        fsin
        fcos
        fnop
        fnstsw ax
        fstsw ax
        fnstcw word ptr [esp]
        fldcw word ptr [esp]
        fstcw word ptr [esp]
        fninit
        finit
        fnclex
        fldenv [eax]
        fnstenv [eax]
        frstor [eax]
        fnsave [eax]
        ffree st(4)
        fbld tbyte ptr [eax]
        fbstp tbyte ptr [eax]
        fiadd dword ptr [eax]
        fimul word ptr [eax]
        wait
# MMX
        emms
        movd mm0, eax
        movd [ecx], mm1
        movq mm2, [edx]
        movq [edx], mm3
        paddb mm0, mm1
        psubusw mm2, [eax]
        pmullw mm1, mm2
        pcmpeqd mm3, mm4
        packuswb mm5, mm6
        punpckhdq mm7, mm0
        psrlw mm1, 3
        psrad mm2, 4
        psllq mm3, 5
        psllq mm3, mm4
        pand mm0, mm1
        pxor mm2, mm2
        pmaddwd mm1, [ecx]
# SSE
        movups xmm0, [eax]
        movaps [ecx], xmm1
        movss xmm2, dword ptr [edx]
        movss [edx], xmm3
        movlps xmm0, qword ptr [eax]
        movhlps xmm1, xmm2
        movhps xmm3, qword ptr [ebx]
        movlhps xmm4, xmm5
        unpcklps xmm0, xmm1
        addps xmm0, xmm1
        mulss xmm2, dword ptr [eax]
        sqrtps xmm3, xmm4
        rsqrtss xmm5, xmm6
        rcpps xmm7, [eax]
        andnps xmm0, xmm1
        orps xmm2, xmm3
        xorps xmm4, xmm4
        minps xmm5, xmm6
        maxss xmm7, xmm0
        divps xmm1, [ecx+16]
        cmpps xmm0, xmm1, 2
        cmpss xmm2, xmm3, 5
        shufps xmm4, xmm5, 0x1b
        comiss xmm0, xmm1
        ucomiss xmm2, dword ptr [eax]
        cvtpi2ps xmm0, mm1
        cvtps2pi mm2, xmm3
        cvttps2pi mm4, qword ptr [eax]
        cvtsi2ss xmm5, eax
        cvtss2si ecx, xmm6
        cvttss2si edx, dword ptr [eax]
        movmskps eax, xmm1
        ldmxcsr dword ptr [esp]
        stmxcsr dword ptr [esp]
        sfence
        prefetchnta [eax]
        prefetcht0 [ecx]
        prefetcht2 [edx]
        movntps [eax], xmm0
        movntq [eax], mm1
        maskmovq mm0, mm1
        pshufw mm0, mm1, 0x4e
        pinsrw mm2, eax, 3
        pextrw ecx, mm3, 1
        pmovmskb edx, mm4
        pavgb mm0, mm1
        pminub mm2, [eax]
        psadbw mm3, mm4
        fxsave [eax]
        fxrstor [ecx]
# SSE2
        movapd xmm0, [eax]
        movupd [ecx], xmm1
        movsd xmm2, qword ptr [edx]
        movsd [edx], xmm3
        movlpd xmm4, qword ptr [eax]
        movhpd qword ptr [eax], xmm5
        addpd xmm0, xmm1
        addsd xmm2, qword ptr [eax]
        subsd xmm3, xmm4
        mulpd xmm5, xmm6
        divsd xmm7, xmm0
        sqrtsd xmm1, xmm2
        minsd xmm3, qword ptr [ebx]
        maxpd xmm4, xmm5
        andpd xmm0, xmm1
        xorpd xmm2, xmm2
        cmppd xmm0, xmm1, 1
        cmpsd xmm2, xmm3, 6
        shufpd xmm4, xmm5, 1
        unpcklpd xmm6, xmm7
        unpckhpd xmm0, xmm1
        comisd xmm0, xmm1
        ucomisd xmm2, qword ptr [eax]
        cvtpi2pd xmm0, mm1
        cvtpd2pi mm2, xmm3
        cvtsi2sd xmm4, dword ptr [eax]
        cvtsd2si eax, xmm5
        cvttsd2si ecx, qword ptr [ebx]
        cvtps2pd xmm0, xmm1
        cvtpd2ps xmm2, xmm3
        cvtsd2ss xmm4, xmm5
        cvtss2sd xmm6, dword ptr [eax]
        cvtdq2ps xmm0, xmm1
        cvtps2dq xmm2, xmm3
        cvttps2dq xmm4, [eax]
        cvttpd2dq xmm0, xmm1
        cvtpd2dq xmm2, xmm3
        cvtdq2pd xmm4, xmm5
        movmskpd eax, xmm0
        movdqa xmm0, [eax]
        movdqa [eax], xmm1
        movdqu xmm2, [ecx]
        movdqu [ecx], xmm3
        movq xmm4, xmm5
        movq xmm4, qword ptr [eax]
        movq qword ptr [eax], xmm6
        movd xmm0, eax
        movd ecx, xmm1
        movd dword ptr [eax], xmm2
        movdq2q mm0, xmm1
        movq2dq xmm2, mm3
        movntdq [eax], xmm0
        movntpd [eax], xmm1
        movnti [eax], ecx
        maskmovdqu xmm0, xmm1
        paddq xmm0, xmm1
        paddq mm0, mm1
        psubq xmm2, [eax]
        pmuludq xmm3, xmm4
        pshufd xmm0, xmm1, 0x4e
        pshuflw xmm2, [eax], 0x1b
        pshufhw xmm3, xmm4, 0xe4
        punpcklqdq xmm0, xmm1
        punpckhqdq xmm2, [eax]
        psrldq xmm0, 4
        pslldq xmm1, 8
        psrlq xmm2, 1
        psraw xmm3, 2
        pslld xmm4, xmm5
        pcmpgtb xmm0, xmm1
        packssdw xmm2, xmm3
        pand xmm4, xmm5
        pandn xmm6, [eax]
        por xmm0, xmm1
        pxor xmm2, xmm3
        pinsrw xmm0, eax, 7
        pextrw eax, xmm1, 2
        pmovmskb ecx, xmm2
        pavgw xmm3, xmm4
        pmaxsw xmm5, xmm6
        pmaddwd xmm7, xmm0
        lfence
        mfence
        clflush [eax]
# 3DNow!
        femms
        prefetch [eax]
        prefetchw [ecx]
        pfadd mm0, mm1
        pfsub mm2, [eax]
        pfmul mm3, mm4
        pfrcp mm5, mm6
        pfrsqrt mm7, mm0
        pfrcpit1 mm1, mm2
        pfrcpit2 mm3, mm4
        pfcmpeq mm5, mm6
        pfcmpgt mm7, [ecx+8]
        pfmax mm0, mm1
        pfmin mm2, mm3
        pfacc mm4, mm5
        pi2fd mm6, mm7
        pf2id mm0, mm1
        pmulhrw mm2, mm3
        pavgusb mm4, mm5
        pswapd mm6, mm7
        pfnacc mm0, mm1
        pfpnacc mm2, mm3
        pi2fw mm4, mm5
        pf2iw mm6, mm7
# relative forms
1:      jmp 1b
        jmp 2f
        je 1b
        jne 2f
        loop 1b
        loopne 1b
        jecxz 1b
        call 2f
        call 2f
2:      ret
