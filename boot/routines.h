// Routines: words bound to C++ code. The routines stage (boot/stages/02-routines.kel) gives
// each one's name, spec and describing body; this module holds their code.
#pragma once
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel::routines {

// Makes a routine from each name, spec and body of the stage block (an argument-stack
// cell): a set-word's routine becomes the value of its global word, a plain word's a
// field of the hand-over context that later stages read.
void define(cell* stage, node_id handover);

}  // namespace kel::routines
