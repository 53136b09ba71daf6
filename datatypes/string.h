// string! values: a head index (w1), the node of a character buffer (w2) and the
// node of an export cache (w3, 0 when none). The buffer's unit is the character
// width: 1 (Latin-1), 2 (UCS-2) or 4 (UCS-4).
//
// Only what form and mold need is here so far, and it writes unit-1 buffers with
// ASCII text only; widening arrives with the rest of the string datatype.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel::string {

// A new empty string! in the cell with room for capacity characters (0 means 1).
cell* make_at(cell* value, uint32_t capacity);

// Characters from head to tail; a head past the tail counts as 0.
uint32_t ks_length(const cell* value);

// Appends one character and returns the buffer, which may have moved.
series_buffer* append_char(series_buffer* buffer, uint32_t cp);

// Appends each byte as one character.
void concat_cstr(cell* value, const char* text);
void concat_bytes(cell* value, const char* bytes, size_t n);

// Appends the text and returns the part count less its length, as form and mold answer.
int32_t form_text(cell* value, const char* text, int32_t part);

}  // namespace kel::string
