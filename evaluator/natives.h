// The natives table's filling: every native, in native index order.
#pragma once

#include "datatypes/native.h"

namespace kel {

// Fills the whole table in native index order, once at start-up.
void register_natives();

}  // namespace kel
