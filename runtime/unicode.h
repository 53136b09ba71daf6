// Unicode conversion: UTF-8 and UTF-16 decoding, encoding, sizing, import and export.
//
// Text inside the runtime lives in string buffers of unit 1 (Latin-1), 2 (UCS-2) or
// 4 (UCS-4); everything crossing the runtime's edge is UTF-8 or UTF-16LE.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel {

// The value of a hexadecimal digit in either letter case, or -1.
constexpr int8_t hex_digit_value(uint8_t c) {
    if (c >= '0' && c <= '9') return static_cast<int8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<int8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<int8_t>(c - 'a' + 10);
    return -1;
}

// Line ends of text handed to the OS: LF on this platform. Exports take it as their line flag.
constexpr bool OS_CRLF_LINES = false;

// The byte classes and state transitions of the table-driven UTF-8 automaton
// (after Hoehrmann). States are multiples of 12: 0 accepts, 12 rejects.
inline constexpr uint8_t utf8_classes[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    8, 8, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    10, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 4, 3, 3, 11, 6, 6, 6, 5, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,
};
inline constexpr uint8_t utf8_transitions[108] = {
    0,  12, 24, 36, 60, 96, 84, 12, 12, 12, 48, 72, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
    12, 0,  12, 12, 12, 12, 12, 0,  12, 0,  12, 12, 12, 24, 12, 12, 12, 12, 12, 24, 12, 24, 12, 12,
    12, 12, 12, 12, 12, 12, 12, 24, 12, 12, 12, 12, 12, 24, 12, 12, 12, 12, 12, 12, 12, 24, 12, 12,
    12, 12, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12, 12, 36, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12,
    12, 36, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
};
constexpr uint32_t UTF8_ACCEPT = 0;
constexpr uint32_t UTF8_REJECT = 12;

namespace unicode {

// Decodes one sequence; cp is -1 when it is invalid, and the byte that broke it is consumed.
// Reads until the automaton decides: the text must end in a byte that cannot continue a
// sequence (the lexer's NUL), or use the bounded counters below.
inline const uint8_t* fast_decode_utf8_char(const uint8_t* p, int32_t& cp) {
    uint32_t cls = utf8_classes[*p];
    uint32_t code = *p++ & (0xFFu >> cls);
    uint32_t state = utf8_transitions[cls];
    while (state > UTF8_REJECT) {
        code = (code << 6) | (*p & 0x3Fu);
        state = utf8_transitions[state + utf8_classes[*p++]];
    }
    cp = state == UTF8_ACCEPT ? static_cast<int32_t>(code) : -1;
    return p;
}

}  // namespace unicode

// Code points between begin and end, one automaton step each; never reads past end.
size_t utf8_count_chars(const uint8_t* begin, const uint8_t* end);
// Address after n code points, or end.
const uint8_t* utf8_skip_chars(const uint8_t* begin, const uint8_t* end, size_t n);
// 4 for 1111xxxx, 3 for 1110xxxx, 2 for 110xxxxx, 0 for ASCII and continuation bytes.
inline int utf8_lead_length(uint8_t lead) {
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    if (lead >= 0xC0) return 2;
    return 0;
}

// The checked decoder's verdicts besides a code point.
constexpr int32_t UTF8_SHORT = -1;    // the available bytes end inside the sequence
constexpr int32_t UTF8_INVALID = -2;  // not a sequence this decoder accepts

// Checked decode of the sequence at p with n > 0 bytes available; len gets its length.
// Overlong forms pass; U+DC00..U+DCFF, U+FFFE (the invalid marker) and values above
// U+10FFFF do not.
inline int32_t utf8_check_char(const uint8_t* p, size_t n, size_t& len) {
    uint32_t b0 = p[0];
    if (b0 < 0x80) {
        len = 1;
        return static_cast<int32_t>(b0);
    }
    uint32_t cp;
    if (b0 < 0xC0 || b0 >= 0xF8) return UTF8_INVALID;
    if (b0 < 0xE0) {
        if (n < 2) return UTF8_SHORT;
        if ((p[1] & 0xC0) != 0x80) return UTF8_INVALID;
        cp = (b0 - 0xC0) << 6 | (p[1] - 0x80u);
        len = 2;
    } else if (b0 < 0xF0) {
        if (n < 3) return UTF8_SHORT;
        if ((p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) return UTF8_INVALID;
        cp = (b0 - 0xE0) << 12 | (p[1] - 0x80u) << 6 | (p[2] - 0x80u);
        if ((cp & 0xFF00) == 0xDC00) return UTF8_INVALID;
        len = 3;
    } else {
        if (n < 4) return UTF8_SHORT;
        if ((p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80)
            return UTF8_INVALID;
        cp = (b0 - 0xF0) << 18 | (p[1] - 0x80u) << 12 | (p[2] - 0x80u) << 6 | (p[3] - 0x80u);
        if (cp > 0x10FFFF) return UTF8_INVALID;
        len = 4;
    }
    if (cp == 0xFFFE) return UTF8_INVALID;
    return static_cast<int32_t>(cp);
}

// As utf8_check_char, with n in: bytes available, out: sequence length. Returns -1 when
// the bytes end inside the sequence; invalid input raises access/invalid-utf8 with a
// binary! of (up to) the 4 bytes from p.
int32_t utf8_decode_checked(const uint8_t* p, size_t& n);
[[noreturn]] void raise_invalid_utf8(const uint8_t* p, size_t n);

// Sizing and encoding. Above U+10FFFF the UTF-8 ones raise script/invalid-char.
size_t utf8_char_size(uint32_t cp);
size_t utf8_size_of_units(const uint8_t* begin, const uint8_t* end, uint32_t unit);
// Writes the UTF-8 form of a code point (1 to 4 bytes) and returns its length.
size_t utf8_encode_char(uint32_t cp, uint8_t* out);
// Writes the first bytes of the sequence that fit in `left` bytes; returns how many.
size_t utf8_encode_char_limited(uint32_t cp, uint8_t* out, size_t left);
// One unit or a surrogate pair; 0 (nothing written) above U+10FFFF.
size_t utf16_encode_char(uint32_t cp, uint16_t* out);
// Narrowest string unit holding the UTF-16LE text: 4 when any unit is a surrogate.
uint32_t utf16_unit_needed(const uint8_t* text, size_t units);
// Bytes beyond two per character a UTF-16 export may need: 2 per LF and per code point
// above U+FFFF.
size_t utf16_size_of(const uint8_t* begin, const uint8_t* end, uint32_t unit);
// Each byte zero-extended to one unit, then a NUL unit.
void ascii_to_utf16(const char* text, uint16_t* out);

// Export. The text lives in the value's cache buffer (node in w3, shared by every copy of
// the cell) and stays valid until the next export from the value or the next collection.
// `value` must be rooted where nothing moves it (an argument-stack slot or a root_cell):
// these allocate. The import functions taking a value need the same.
// limit: characters from the head, negative for all.
uint8_t* string_cache_buffer(cell* value, size_t bytes);
// The cache node; length gets the UTF-8 bytes without the NUL. crlf writes LF as CR LF.
node_id to_utf8_cache(cell* value, int64_t limit, size_t* length, bool crlf);
char* to_utf8(cell* value, int64_t limit = -1, size_t* length = nullptr);
char* to_utf8_lines(cell* value, int64_t limit, size_t* length, bool crlf);
// Into caller memory (no allocation); returns the bytes written without the NUL.
size_t write_utf8(const cell* value, uint8_t* dest, int64_t limit, bool terminate);
// Stops at `capacity` bytes, possibly inside a character; with terminate the NUL is
// written inside the capacity (the text gets capacity - 1 bytes at most).
size_t write_utf8_limited(const cell* value, uint8_t* dest, size_t capacity, int64_t limit,
                          bool terminate);
// NUL-terminated UTF-16LE in the cache; units gets the units written without the NUL.
// Null when a code point above U+10FFFF is met.
uint16_t* to_utf16_cache(cell* value, int64_t limit, size_t* units, bool crlf);
// The whole string, with the OS's line ends.
uint16_t* to_utf16(cell* value);

// Bytes to import: memory outside the collected heap, or a series and a byte offset from
// its first used unit (the load roots the series and re-reads it after every allocation).
struct byte_source {
    const uint8_t* raw;
    node_id node;
    size_t start;
    static byte_source memory(const void* p) {
        return {static_cast<const uint8_t*>(p), 0, 0};
    }
    static byte_source series(node_id n, size_t start) { return {nullptr, n, start}; }
    static byte_source none() { return {nullptr, 0, 0}; }
    bool present() const { return raw || node; }
};

// Import. The content of an existing buffer is replaced from its offset; a unit-1 buffer
// widens in place as wider code points arrive. cr: CR LF becomes LF (UTF-8 and CP1251 also
// turn a lone CR into LF; UTF-16LE drops every CR). Each returns the buffer's node.
//
// UTF-8 into `node` (0 = a new unit-1 buffer). A leading byte-order mark is skipped; input
// ending inside a sequence stops the load and `left` gets the bytes not decoded, for the
// caller to carry into the next piece. Invalid UTF-8 raises access/invalid-utf8.
node_id load_utf8(byte_source bytes, size_t count, node_id node, size_t* left, bool cr);
node_id load_utf8_into(byte_source bytes, size_t count, cell* value, size_t* left);
node_id load_utf8_new(byte_source bytes, size_t count);
// UTF-16LE (none: the value's cache buffer). The unit is picked once from the whole input.
// A high surrogate without a low one is stored as U+FFFD; a lone low surrogate as itself.
node_id load_utf16le(byte_source text, size_t units, cell* value, bool cr);
// Windows-1251 bytes (none: the value's cache buffer).
node_id load_cp1251(byte_source bytes, size_t count, cell* value, bool cr);

// Every used unit converted to the wider unit, in place; the buffer may have moved.
series_buffer* widen_1_to_2(series_buffer* buffer);
series_buffer* widen_1_to_4(series_buffer* buffer);
series_buffer* widen_2_to_4(series_buffer* buffer);

// Code points of the bytes 0x80..0xFF of Windows-1251; the unassigned 0x98 is U+0098.
extern const uint16_t cp1251_table[128];

}  // namespace kel
