// The clipboard: text as string!, copied files as a block of file!. Until the GUI backend
// gives a desktop clipboard it lives in the process, in the same formats and read order.
#pragma once

#include "runtime/cell.h"

namespace kel {
namespace clipboard {

// Pushes a fresh string!, block of file! or none (empty).
cell* read();
// none empties the clipboard; a string! or a block of file names sets it. Any other value
// raises script/invalid-arg and leaves the clipboard as it was. True when every format was
// set.
bool write(cell* value);

}  // namespace clipboard
}  // namespace kel
