// The call native: another program run with its standard streams taken from and given to
// strings, binaries or files.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

namespace natives {
// cmd /wait /show /console /shell /input in /output out /error err
int32_t call(bool check, const int32_t* refinements);
}  // namespace natives

}  // namespace kel
