// KELBIN: the runtime's own binary serialisation of values. It keeps what mold and load
// lose: bindings to object and function contexts, shared series, cycles and new-line
// markers. Two record encodings sit behind one header: the compact form (varints) and the
// fixed form (32-bit words); one reader takes both.
//
// The reader takes hostile bytes: a malformed input raises script/kb-invalid-record with
// the 1-based offset of the faulting byte (counted from the magic), never reads past the
// input, and allocates no more than the input's size pays for.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kel::kelbin {

enum class form { compact, fixed };

// The value serialised, as a new binary! pushed on the argument stack. routine!, triple!,
// handle!, port! and event! values raise access/no-codec with the value.
cell* encode(const cell* value, form how);

// Decodes every top-level record of data[0..size) and appends the values at the tail of
// the block value `parent` (a cell that stays put). Reference paths count from the first
// cell this decode appends. Values decoded before an error stay appended.
void decode(const uint8_t* data, size_t size, cell* parent);

// --- Boot mode ---------------------------------------------------------------------------
// The boot image: define pairs (a word and the value it is set to, both dropped), then the
// literals, kept in one block that the collector never frees. A native or action leaves
// its spec block right after it.

// The image of the words in `defines` (each word followed by its value) and the cells of
// `literals`, as a new binary! pushed on the argument stack.
cell* encode_boot(const cell* defines, const cell* literals);

// Decodes a boot image with the collector off. A bad magic ends the process with status
// 254 after its message on standard error; other faults raise as in codec mode. With
// keep_base set, literal_cell goes on giving what the previous load left.
void load_boot(const uint8_t* image, size_t size, bool keep_base);

// The n-th literal (from 0) that the last load (without keep_base) left, null past the end.
cell* literal_cell(uint32_t n);

}  // namespace kel::kelbin
