// KELBIN fixed form: every field a 32-bit little-endian word.
#include "io/kelbin.h"
#include "io/kelbin_records.h"

namespace kel::kelbin::fixed {

cell* encode(const cell* value) { no_codec(value); }

void decode(reader_base& r, node_id, bool) { r.invalid(r.p); }

}  // namespace kel::kelbin::fixed
