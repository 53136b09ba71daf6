// The body of the call native: another program run with its standard streams taken from
// and given to strings, binaries or files.
//
// Cells passed in must stay put across allocation (argument-stack slots or root guards).
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// in, out and err are null when not redirected. 0 on success, -1 on failure, the exit code
// when waiting (forced by any redirection), else the process id. /console is refused.
int32_t call_process(cell* cmd, bool wait, bool show, bool console, bool shell, cell* in, cell* out, cell* err);

}  // namespace kel
