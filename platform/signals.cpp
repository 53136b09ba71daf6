#include "platform/signals.h"

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>

namespace kel {

namespace {

fault_trap installed_trap = nullptr;

constexpr int ERROR_STACK_OVERFLOW = 19;
constexpr int ERROR_UNKNOWN = 99;
// How far below the stack pointer a faulting access still counts as running off the stack.
constexpr uintptr_t STACK_PROBE_REACH = 64 * 1024;

struct fault_site {
    uintptr_t pc;
    uintptr_t sp;
};

fault_site site_of([[maybe_unused]] const siginfo_t* info, const void* context) {
    [[maybe_unused]] auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    return {static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]),
            static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP])};
#elif defined(__aarch64__)
    return {static_cast<uintptr_t>(uc->uc_mcontext.pc), static_cast<uintptr_t>(uc->uc_mcontext.sp)};
#else
    return {reinterpret_cast<uintptr_t>(info->si_addr), 0};
#endif
}

bool ran_off_stack(uintptr_t fault_address, uintptr_t sp) {
    return sp != 0 && fault_address < sp + 4096 && fault_address + STACK_PROBE_REACH >= sp;
}

void on_fault(int signo, siginfo_t* info, void* context) {
    fault_site site = site_of(info, context);
    int n = fault_error_number(signo, info->si_code);
    if (signo == SIGSEGV && ran_off_stack(reinterpret_cast<uintptr_t>(info->si_addr), site.sp))
        n = ERROR_STACK_OVERFLOW;
    installed_trap(n, site.pc);
}

void on_interrupt(int) { installed_trap(0, 0); }

void give_thread_signal_stack() {
    thread_local bool given = false;
    if (given) return;
    long wanted = sysconf(_SC_SIGSTKSZ);
    size_t size = std::max<size_t>(wanted > 0 ? static_cast<size_t>(wanted) : 0, 64 * 1024);
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return;
    stack_t stack{};
    stack.ss_sp = base;
    stack.ss_size = size;
    if (sigaltstack(&stack, nullptr) == 0) given = true;
    else munmap(base, size);
}

}  // namespace

int fault_error_number(int signo, int si_code) {
    switch (signo) {
    case SIGSEGV: return 1;
    case SIGBUS: return si_code == BUS_ADRALN ? 2 : 16;
    case SIGILL: return si_code == ILL_PRVOPC ? 15 : 17;
    case SIGFPE:
        switch (si_code) {
        case FPE_INTDIV: return 13;
        case FPE_INTOVF: return 14;
        case FPE_FLTDIV: return 7;
        case FPE_FLTOVF: return 10;
        case FPE_FLTUND: return 12;
        case FPE_FLTRES: return 8;
        case FPE_FLTINV: return 9;
        case FPE_FLTSUB: return 5;
        default: return ERROR_UNKNOWN;
        }
    default: return ERROR_UNKNOWN;
    }
}

void install_signal_trap(fault_trap trap) {
    installed_trap = trap;
    give_thread_signal_stack();
    struct sigaction sa{};
    sigemptyset(&sa.sa_mask);
    // A fault inside the trap itself falls back to the default action instead of looping.
    sa.sa_sigaction = on_fault;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    for (int signo : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigaction(signo, &sa, nullptr);
    sa.sa_handler = on_interrupt;
    sa.sa_flags = SA_ONSTACK;
    sigaction(SIGINT, &sa, nullptr);
}

}  // namespace kel
