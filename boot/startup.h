// Program entry: brings the runtime up, builds the language stage by stage and launches.
//   kel                 reads lines from standard input and prints their results
//   kel script [args]   runs the script with its arguments in system/options/args
// An error in a stage, or one the script does not catch, ends the process with status 254
// after its report (a stage's on standard error, the script's on standard output).
#pragma once

namespace kel {

int program_entry(int argc, char** argv);

// After runtime_init: the boot words, then every stage in order. Turns the collector on.
void run_stages();

}  // namespace kel
