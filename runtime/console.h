// Low-level text output to standard output: UTF-8, batched through a 1 KB buffer, with the
// text hooks run after each write. Escape sequences pass through to the terminal untouched.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel {

constexpr size_t OUTPUT_BUFFER_SIZE = 1024;
// Pending bytes above this are written: one more character (at most 4 bytes) still fits.
constexpr size_t OUTPUT_FLUSH_AT = 1020;

// Standard output needs no mode decision here; a closed pipe must only fail the write.
void init_console_output();

// Text of `bytes` bytes in units of 1 (Latin-1), 2 (UCS-2) or 4 (UCS-4) bytes a character;
// any other unit is an internal fault.
void write_text_out(const void* text, size_t bytes, uint32_t unit, bool line_end);

inline void write_latin1_out(const void* text, size_t bytes) { write_text_out(text, bytes, 1, false); }
inline void write_latin1_line(const void* text, size_t bytes) { write_text_out(text, bytes, 1, true); }
inline void write_ucs2_out(const void* text, size_t bytes) { write_text_out(text, bytes, 2, false); }
inline void write_ucs2_line(const void* text, size_t bytes) { write_text_out(text, bytes, 2, true); }
inline void write_ucs4_out(const void* text, size_t bytes) { write_text_out(text, bytes, 4, false); }
inline void write_ucs4_line(const void* text, size_t bytes) { write_text_out(text, bytes, 4, true); }

// The bytes as they are, in one write.
void write_c_string_out(const char* text);

}  // namespace kel
