// handle!: an opaque OS handle carried through the language unchanged, tagged with a class.
// w1 the class, w2 the value (signed when compared), w3 always -1.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel::handle {

enum handle_class : uint32_t {
    CLASS_NULL = 0,
    CLASS_FD = 1,
    CLASS_MONITOR = 2,
    CLASS_WINDOW = 3,
    CLASS_FONT = 4,
    CLASS_RICH_TEXT = 5,
};

void init();

cell* make_at(cell* slot, uint32_t value, uint32_t klass);
cell* box(uint32_t value, uint32_t klass);
cell* make_in(const cell* block, uint32_t value, uint32_t klass);
cell* push(uint32_t value, uint32_t klass);
cell* push_null();

int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
int32_t compare(cell* value1, cell* value2, int32_t op);

}  // namespace kel::handle
