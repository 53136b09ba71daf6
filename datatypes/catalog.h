// The parts of the system object that the runtime reads: system/catalog/errors (the error
// catalogue as objects), system/standard/error (the prototype of every error) and
// system/state (stack-trace, source-files). Start-up builds them from the C++ catalogue
// for the first stages; the system object stage takes the catalogue and the prototype
// over, and the runtime reads that object from then on.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// The system object, none until catalog::init; a collector root.
extern cell system_object;

namespace catalog {

// Builds the system object and binds the global word `system` to it; needs the global
// context and the object datatype.
void init();

// system/catalog/errors, or null while there is none. Good until the next allocation.
cell* errors_object();
// The context of system/catalog/errors, 0 while there is none.
node_id errors();
// system/standard/error, or null while there is none. Good until the next allocation.
cell* error_prototype();
// system/state/stack-trace and system/state/source-files (none when missing).
cell* stack_trace();
cell* source_files();
// system/state/callbacks/bits: which kinds of callback a trace run follows; 0 until the
// system object has it or while it is not an integer.
uint32_t callback_bits();

}  // namespace catalog
}  // namespace kel
