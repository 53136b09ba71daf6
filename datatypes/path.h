// path! and its variants lit-path!, set-path! and get-path!: blocks of path elements
// written with "/" between them.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel::path {

// Registers path! and the three variants.
void init();

// Pushes a copy of the block-like value, retyped, on the argument stack.
cell* push(const cell* block, uint32_t type = TYPE_PATH);
// An empty path! with room for n cells (room for 1 below that).
cell* make_at(cell* value, int32_t n);

const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* to(cell* proto, cell* spec, uint32_t type);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
const cell* copy(cell* value, cell* result, cell* part, bool deep, cell* types);

}  // namespace kel::path

namespace kel::lit_path {
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
}
namespace kel::set_path {
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
}
namespace kel::get_path {
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
}
