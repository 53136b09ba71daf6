// The native loops of the JSON codec. The Kel grammar stays the reference: these answer
// false whenever a text or value needs anything they do not do, and the grammar or the Kel
// writer then does the whole call, so values and error texts never differ.
#pragma once
#include "runtime/cell.h"

namespace kel::json {

// The value of a valid JSON text into `out` (a cell that stays put). False, with `out`
// untouched, for invalid text and for what only the grammar may report (a raised error).
bool decode(const cell* text, cell* out);

// The compact or indented JSON text of a value into `out`. False for a value the Kel
// writer must mold, and for nesting too deep to be anything but a cycle.
bool encode(const cell* value, const cell* indent, bool ascii, cell* out);

}  // namespace kel::json
