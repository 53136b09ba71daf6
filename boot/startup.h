// Program entry: brings the runtime up and runs what the command line asks for.
//   kel                 initialises and ends with status 0
//   kel script [args]   runs the script; an error it does not catch prints the error report
//                       on standard output and ends the process with a non-zero status
#pragma once

namespace kel {

int program_entry(int argc, char** argv);

}  // namespace kel
