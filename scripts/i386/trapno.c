/* Preloaded into 32-bit processes that run under qemu-i386 user emulation.
 *
 * qemu-user leaves the trap number of i386 signal frames at -1, and Wine
 * classifies processor faults by that number: every access violation would
 * then arrive as an illegal instruction, a divide by zero as a float error.
 * This library wraps the fault handlers installed with sigaction() and fills
 * the trap number from the signal and its si_code the way a 32-bit kernel
 * would, before the real handler sees the frame. Everything else (error code,
 * fault address, registers) qemu already reports correctly. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stddef.h>
#include <ucontext.h>

typedef int (*sigaction_fn)(int, const struct sigaction *, struct sigaction *);
typedef void (*siginfo_handler)(int, siginfo_t *, void *);

static siginfo_handler wrapped[NSIG];

static int is_fault_signal(int sig)
{
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGTRAP;
}

static int trap_number(int sig, int code)
{
    switch (sig) {
    case SIGSEGV:
        return (code == SEGV_MAPERR || code == SEGV_ACCERR) ? 14 /* page fault */ : 13 /* GP */;
    case SIGFPE:
        return (code == FPE_INTDIV || code == FPE_INTOVF) ? 0 /* divide error */ : 16 /* x87 */;
    case SIGTRAP:
        return code == TRAP_TRACE ? 1 /* single step */ : 3 /* int3 */;
    case SIGBUS:
        return 17; /* alignment check */
    default:
        return -1;
    }
}

static void fault_handler(int sig, siginfo_t *info, void *context)
{
    ucontext_t *uc = context;
    if (uc && (int)uc->uc_mcontext.gregs[REG_TRAPNO] == -1)
        uc->uc_mcontext.gregs[REG_TRAPNO] = trap_number(sig, info ? info->si_code : 0);
    siginfo_handler next = wrapped[sig];
    if (next)
        next(sig, info, context);
}

int sigaction(int sig, const struct sigaction *act, struct sigaction *old)
{
    static sigaction_fn real;
    if (!real)
        real = (sigaction_fn)dlsym(RTLD_NEXT, "sigaction");
    if (!real)
        return -1;
    if (sig <= 0 || sig >= NSIG || !is_fault_signal(sig))
        return real(sig, act, old);

    siginfo_handler previous = wrapped[sig];
    int rc;
    if (act && (act->sa_flags & SA_SIGINFO) && act->sa_sigaction) {
        struct sigaction ours = *act;
        ours.sa_sigaction = fault_handler;
        wrapped[sig] = act->sa_sigaction;
        rc = real(sig, &ours, old);
        if (rc != 0)
            wrapped[sig] = previous;
    } else {
        rc = real(sig, act, old);
        if (rc == 0 && act)
            wrapped[sig] = NULL;
    }
    /* Callers compare the old handler with their own; show them what they installed. */
    if (rc == 0 && old && (old->sa_flags & SA_SIGINFO) && old->sa_sigaction == fault_handler)
        old->sa_sigaction = previous;
    return rc;
}
