// port!: an object (fields spec, scheme, actor, awake, state, data, extra) whose actions
// are handed by name to the functions of its actor object, which its scheme supplies.
// make finds the scheme in system/schemes; the I/O itself is the actor's.
#pragma once

#include "runtime/cell.h"

namespace kel::port {

void init();

const cell* make(cell* proto, cell* spec, uint32_t type);

}  // namespace kel::port
