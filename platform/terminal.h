// Standard output and standard error as byte streams; the terminal interprets escape
// sequences itself.
#pragma once
#include <cstddef>

namespace kel {

// Text lines, files and pipes end lines with LF.
constexpr char LINE_END[] = "\n";
constexpr size_t LINE_END_SIZE = sizeof(LINE_END) - 1;

// A closed pipe makes a write fail instead of ending the process.
void terminal_init();

// Write every byte unless the stream fails; a failure is ignored. Both are
// async-signal-safe.
void standard_output_write(const char* bytes, size_t count);
void standard_error_write(const char* bytes, size_t count);

}  // namespace kel
