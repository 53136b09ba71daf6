// file!: a file or directory path in the language's own form, "/" separating its parts and
// "%" leading its molded text. On this platform that form is already the OS form: no drive
// letters, "/" stays "/"; a NUL inside a path handed to the OS is refused.
//
// Cells passed in must stay put across allocation (argument-stack slots or root guards).
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kel {
namespace file {

// The simple file I/O, installed by its module at start-up. Until then the file actions
// raise internal/feature-na. Absent refinement arguments arrive as null.
struct services {
    const cell* (*read)(cell* file, cell* part, cell* seek, bool binary, bool lines);
    const cell* (*write)(cell* file, cell* data, cell* part, cell* seek, bool binary,
                         bool append, bool lines);
    bool (*delete_)(cell* file);
    // The modification date.
    const cell* (*query)(cell* file);
    bool (*rename)(cell* from, cell* to);
};
extern services simple_io;

// Appends the OS form of the path from its head to the destination string; with
// prefix_current_dir a relative path gets the current directory first.
void to_local_path(cell* value, cell* destination, bool prefix_current_dir);
// The path as NUL-terminated UTF-8 in the value's export cache (valid until the next export
// from the value or the next collection). A NUL inside raises access/cannot-open.
const char* to_OS_path(cell* value);
// The current directory as a new string! on the stack, ending with "/"; empty when the
// OS cannot tell it, so that a relative path stays relative.
cell* get_current_dir();
// External text as a new file! on the stack: encoding 0 is UTF-8, -1 UTF-16LE.
cell* load(const uint8_t* bytes, size_t length, int32_t encoding);

void init();
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
const cell* delete_(cell* value);
const cell* query(cell* value);
const cell* read(cell* source, cell* part, cell* seek, bool binary, bool lines, bool info,
                 cell* as);
const cell* rename(cell* from, cell* to);
const cell* write(cell* destination, cell* data, bool binary, bool lines, bool info, bool append,
                  cell* part, cell* seek, cell* allow, cell* as);

}  // namespace file
}  // namespace kel
