// The operating system's description and the process environment as language values.
//
// Results are pushed on the stack.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// An object with name (system name and release), arch (a word), version (a tuple of the
// release's first three numbers) and build (0).
cell* get_OS_info();

namespace natives {
// Every environment variable, name to value, as a map! of strings.
int32_t list_env(bool check, const int32_t* refinements);
}  // namespace natives

}  // namespace kel
