#include "runtime/exits.h"

namespace kel {

uint32_t pending_code = 0;

void raise_exit(uint32_t code) {
    pending_code = code;
    throw kel_exit{code};
}

void rethrow_pending() { raise_exit(pending_code); }

}  // namespace kel
