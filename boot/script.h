// Reporting the error that ends a script. Text loaded as global code lives with the
// lexer's entries (evaluator/transcode.h), included here for the start-up code.
#pragma once
#include <string>

#include "datatypes/transcode.h"

namespace kel {

// The report of the error just raised, as UTF-8 text.
std::string error_report();

// For a raised error that nothing took: the error report on standard output (or standard
// error), then the process ends with the uncaught-error status.
[[noreturn]] void exit_on_uncaught_error(bool on_error_output);

}  // namespace kel
