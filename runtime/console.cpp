#include "runtime/console.h"

#include <cstring>

#include "platform/terminal.h"
#include "runtime/exits.h"
#include "runtime/output_hooks.h"
#include "runtime/unicode.h"

namespace kel {

namespace {

char out_buffer[OUTPUT_BUFFER_SIZE];

void flush(size_t pending) {
    standard_output_write(out_buffer, pending);
    output_hooks_run_text(out_buffer, static_cast<int32_t>(pending), 0);
}

template <class Unit>
void encode_out(const void* text, size_t bytes, bool line_end) {
    auto* in = static_cast<const unsigned char*>(text);
    size_t count = bytes / sizeof(Unit);
    size_t pending = 0;
    for (size_t i = 0; i < count; i++) {
        Unit unit;
        std::memcpy(&unit, in + i * sizeof(Unit), sizeof(Unit));
        uint32_t cp = unit;
        if (cp < 0x80) out_buffer[pending++] = static_cast<char>(cp);
        else pending += utf8_encode_char(cp, reinterpret_cast<uint8_t*>(out_buffer + pending));
        if (pending > OUTPUT_FLUSH_AT) {
            flush(pending);
            pending = 0;
        }
    }
    if (line_end) {
        std::memcpy(out_buffer + pending, LINE_END, LINE_END_SIZE);
        pending += LINE_END_SIZE;
    }
    if (pending) flush(pending);
}

}  // namespace

void init_console_output() { terminal_init(); }

void write_text_out(const void* text, size_t bytes, uint32_t unit, bool line_end) {
    switch (unit) {
    case 1: encode_out<uint8_t>(text, bytes, line_end); break;
    case 2: encode_out<uint16_t>(text, bytes, line_end); break;
    case 4: encode_out<uint32_t>(text, bytes, line_end); break;
    default: runtime_assert_failed();
    }
}

void write_c_string_out(const char* text) {
    size_t length = std::strlen(text);
    if (!length) return;
    standard_output_write(text, length);
    output_hooks_run_text(text, static_cast<int32_t>(length), 0);
}

}  // namespace kel
