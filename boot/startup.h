// Program entry: brings the runtime up and runs what the command line asks for.
#pragma once

namespace kel {

int program_entry(int argc, char** argv);

}  // namespace kel
