// The native reading loop of the CSV codec. The Kel grammar stays the reference: the loop
// answers false for what only the grammar reports (the raised header error), and load-csv
// then reads the text with the grammar.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel::csv {

struct options {
    uint32_t delimiter;
    uint32_t quote;
    bool header;
    bool strict;
    bool ignore_empty;
};

// Lines that do not align.
constexpr int32_t NOT_ALIGNED = 0;

// Into `out` (a cell that stays put): the block of rows (the header line first with
// options.header), or an integer: NOT_ALIGNED, or the number of the line whose closing
// quote is followed by other text.
bool read(const cell* text, const options& options, cell* out);

}  // namespace kel::csv
