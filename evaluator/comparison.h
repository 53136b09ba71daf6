// The comparison natives: seven comparisons through the datatypes' compare entries, and
// the identity test that never asks a datatype.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// Identity: same type and the same payload as the type defines it. Two series are the
// same only at the same position of the same buffer; two floats only with the same bits.
bool same_value_q(cell* value1, cell* value2);

namespace natives {

int32_t equal_q(bool check, const int32_t* refinements);  // value1 value2
int32_t not_equal_q(bool check, const int32_t* refinements);
int32_t strict_equal_q(bool check, const int32_t* refinements);
int32_t lesser_q(bool check, const int32_t* refinements);
int32_t greater_q(bool check, const int32_t* refinements);
int32_t lesser_or_equal_q(bool check, const int32_t* refinements);
int32_t greater_or_equal_q(bool check, const int32_t* refinements);
int32_t same_q(bool check, const int32_t* refinements);

}  // namespace natives
}  // namespace kel
