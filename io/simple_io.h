// The runtime's whole access to files and folders: the file! actions' read, write, delete,
// query and rename, folder listings, and the few routines that test or make paths.
//
// Text on disk is UTF-8 with LF line ends; a byte-order mark is skipped on reading.
// Cells passed in must stay put across allocation (argument-stack slots or root guards).
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kel {
namespace simple_io {

// Installs the file actions' services.
void init();

// Absent refinement arguments are null. Failures raise access/cannot-open with the file.
const cell* read(cell* file, cell* part, cell* seek, bool binary, bool lines);
// A null file is standard output. Returns unset.
const cell* write(cell* file, cell* data, cell* part, cell* seek, bool binary, bool append,
                  bool lines);
bool delete_(cell* file);
// The modification date in UTC without a zone, or none.
const cell* query(cell* file);
bool rename(cell* from, cell* to);

// A new block of file! names on the stack; raises access/cannot-open with the path.
cell* read_dir(cell* path);
// A new block on the stack: one string per LF-ended line, a CR before the LF dropped, a
// last line without LF kept unless empty.
cell* split_text_lines(const uint8_t* bytes, size_t length);

bool make_dir(cell* path);
bool file_exists_q(cell* path);
// The value's bytes, then nothing more, on standard output after the text printed so far.
void write_stdout(cell* data);

}  // namespace simple_io
}  // namespace kel
