// error! values. Until objects exist, a raised error is kept as a plain record.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

struct raised_error {
    uint32_t category;
    uint32_t id;
    uint32_t code;  // 100 * category + id
    cell args[3];   // none when absent
};

// Builds the error from category and id positions and the present arguments.
void error_create(uint32_t category, uint32_t id, const cell* arg1, const cell* arg2,
                  const cell* arg3);
// The error most recently raised.
const raised_error& last_raised_error();

}  // namespace kel
