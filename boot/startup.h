// Program entry: brings the runtime up, builds the language stage by stage and launches.
//   kel                 reads lines from standard input and prints their results
//   kel script [args]   runs the script with its arguments in system/options/args
// An error in a stage, or one the script does not catch, ends the process with status 254
// after its report (a stage's on standard error, the script's on standard output).
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel {

int program_entry(int argc, char** argv);

// After runtime_init: decodes the boot image (its words, then the stages), turns the
// collector on and runs every stage in order.
void run_stages();
// The same from another image.
void run_stages(const uint8_t* image, size_t size);

}  // namespace kel
