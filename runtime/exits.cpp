#include "runtime/exits.h"

namespace kel {

uint32_t pending_code = 0;

void raise_exit(uint32_t code) {
    pending_code = code;
    throw kel_exit{code};
}

void rethrow_pending() { raise_exit(pending_code); }

}  // namespace kel

#include <cstdio>
#include <cstdlib>

namespace kel {

// Minimal trap until the full message table lands.
void runtime_error_exit(int n, uintptr_t address) {
    if (n != 0) std::fprintf(stderr, "*** Runtime Error %d\n*** at: %08Xh\n", n, static_cast<unsigned>(address));
    std::_Exit(n);
}

void runtime_assert_failed() { runtime_error_exit(RUNTIME_ASSERTION, 0); }

}  // namespace kel
