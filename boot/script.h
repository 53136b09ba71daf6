// Script files: loading text as global code, and running a script file as `do` of a file
// does until the library's own do-file exists.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/cell.h"

namespace kel {

// UTF-8 text loaded into out (an argument-stack cell) as a block whose words are those of
// the global context, added there when new.
void load_global_text(cell* out, const uint8_t* bytes, size_t length);
// Binds the words of a block made from text (the lexer leaves them unbound) to the global
// context, adding the new ones there. The block is an argument-stack cell.
void bind_global(cell* block);

// Runs the script in the file! value (a cell that stays put): from its "Kel [" header on,
// the header block dropped, evaluated as return, exit and throw cannot leave it. The
// directory and system/state/source-files are the script's while it runs and are put back
// on every way out. The result is pushed; errors pass on.
[[nodiscard]] uint32_t do_script_file(cell* file);

// The report of the error just raised, as UTF-8 text.
std::string error_report();

// For a raised error that nothing took: the error report on standard output (or standard
// error), then the process ends with the uncaught-error status.
[[noreturn]] void exit_on_uncaught_error(bool on_error_output);

}  // namespace kel
