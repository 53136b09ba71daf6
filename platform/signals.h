// Fatal signals and Ctrl+C, routed to one trap with the runtime error number of the fault.
#pragma once
#include <cstdint>

namespace kel {

// Called on the alternate signal stack; must stay async-signal-safe and never return.
using fault_trap = void (*)(int error_number, uintptr_t address);

// Routes SIGSEGV, SIGBUS, SIGFPE and SIGILL (with the faulting instruction's address) and
// SIGINT (error number 0, a silent end) to the trap, and gives the calling thread an
// alternate signal stack once.
void install_signal_trap(fault_trap trap);

// Runtime error number of a fault signal and its si_code. A SIGSEGV that hit the stack's
// guard is reported by the handler as 19 instead.
int fault_error_number(int signo, int si_code);

}  // namespace kel
