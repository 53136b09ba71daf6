// Child processes over posix_spawn: the command run directly or through /bin/sh -c, its
// standard streams fed from or drained into memory, files or the null device.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kel {

// Where one standard stream of the child goes. Neither a file nor memory: the parent's own
// stream for input, the null device for output.
struct process_stream {
    const char* file = nullptr;  // path: input read from it, output appended to it
    bool memory = false;         // input fed from bytes, output captured into captured
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    std::vector<uint8_t> captured;
};

struct process_request {
    std::vector<std::string> args;  // program and arguments, looked up on PATH
    std::string command;            // the text /bin/sh runs when the program is missing or shell is set
    bool shell = false;
    bool wait = false;  // forced on by any redirection
    process_stream input, output, error;
};

// The exit code (128 + N when killed by signal N), the process id when not waiting, or -1
// when the child cannot be started or a file cannot be opened. shell_used tells whether the
// shell ran (asked, or because the program was not found).
int32_t launch_process(process_request& request, bool* shell_used);

// Runs a program with arguments, not waiting and with no output; failures are ignored.
void spawn_detached(const std::vector<std::string>& args);

// The command line split into arguments: blanks and tabs outside double quotes separate
// them; a quote toggles quoting and stays, except one that opens or closes an argument.
std::vector<std::string> split_command_line(const std::string& text);

}  // namespace kel
