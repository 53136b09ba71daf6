// triple!: three signed 32-bit integers in w1, w2, w3. An internal value of the lexer, which
// keeps one for each list it has opened; when one reaches user code it can only be formed.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel::triple {

void init();

int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);

}  // namespace kel::triple
