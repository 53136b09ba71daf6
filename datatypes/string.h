// Text values and their character buffers, and the string! datatype.
//
// A text value (string!, file!, url!, tag!, email!, ref!) holds its head as a character
// index (w1), the node of a character buffer (w2) and the node of an export cache (w3,
// 0 when none). The buffer's unit is the character width: 1 (Latin-1), 2 (UCS-2) or
// 4 (UCS-4). A buffer only widens; every value sharing it sees the new width at once,
// since heads are indexes.
//
// Cells passed in must stay put across allocation (argument-stack slots or root guards):
// most operations here may expand or widen a buffer, and so collect.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "runtime/cell.h"
#include "runtime/exits.h"
#include "runtime/memory.h"

namespace kel {

// Two upper-case hex digits, in a shared buffer valid until the next call.
const char* byte_to_hex(uint8_t byte);
// Eight upper-case hex digits (a negative value pads with "F"); trim drops the leading
// zeros, 0 then giving "00". Shared buffer, valid until the next call.
const char* int_to_hex(int32_t value, bool trim);

// Lowers the tail to n units from the offset when n units fit in the buffer and that is
// below the tail (cuts form and mold output to a /part limit).
void series_set_part_end(series_buffer* buffer, size_t n);
// Rotates the adjacent byte ranges A (a bytes at start) and B (b bytes after it) in place,
// so that B comes first.
void swap_memory_blocks(uint8_t* start, size_t a, size_t b);

// The value's head character is in the bitset (a c beyond its bits: the complement flag).
bool char_in_bitset_q(const cell* value, const cell* bitset);

// Builds a string! from external text: encoding 0 is UTF-8, -1 UTF-16LE; any other
// raises access/no-codec. Into `out`, or a new stack cell when null; returns the cell.
cell* load_string(const uint8_t* bytes, size_t length, cell* out, int32_t encoding);
cell* load_string_tail(const uint8_t* bytes, size_t length, const cell* block, int32_t encoding);
cell* load_string_push(const uint8_t* bytes, size_t length, int32_t encoding);

namespace string {

// A unit other than 1, 2 or 4 in a text buffer: the runtime's assertion fault.
[[noreturn]] void bad_unit();

inline uint32_t get_char(const uint8_t* p, uint32_t unit) {
    switch (unit) {
        case 1:
            return *p;
        case 2: {
            uint16_t u;
            std::memcpy(&u, p, 2);
            return u;
        }
        case 4: {
            uint32_t u;
            std::memcpy(&u, p, 4);
            return u;
        }
        default:
            bad_unit();
    }
}

inline void put_char(uint8_t* p, uint32_t unit, uint32_t cp) {
    switch (unit) {
        case 1:
            *p = static_cast<uint8_t>(cp);
            break;
        case 2: {
            uint16_t u = static_cast<uint16_t>(cp);
            std::memcpy(p, &u, 2);
            break;
        }
        case 4:
            std::memcpy(p, &cp, 4);
            break;
        default:
            bad_unit();
    }
}

inline series_buffer* buffer_of(const cell* value) { return node_buffer(series_node(value)); }

// Character n counted from the buffer's offset (not from the head).
inline uint32_t char_at(const cell* value, uint32_t n) {
    series_buffer* b = buffer_of(value);
    return get_char(b->offset + size_t{n} * b->unit(), b->unit());
}

inline uint32_t ks_buffer_length(const cell* value) {
    series_buffer* b = buffer_of(value);
    return static_cast<uint32_t>(b->used_bytes() / b->unit());
}

// Characters from head to tail; a head past the tail counts as 0.
inline uint32_t ks_length(const cell* value) {
    uint32_t n = ks_buffer_length(value);
    return n > series_head(value) ? n - series_head(value) : 0;
}

// The head character's address; a head past the tail is first pulled back to the tail.
uint8_t* ks_head(cell* value);
inline uint8_t* ks_tail(const cell* value) { return buffer_of(value)->tail; }
inline bool ks_tail_q(const cell* value) { return series_head(value) >= ks_buffer_length(value); }

// Moves the head by n (by 1) when it stays within the tail; answers whether the head is
// then at the tail.
bool advance(cell* value, int32_t n);
inline bool next(cell* value) { return advance(value, 1); }

// Empties the buffer, sets its unit back to 1 and the head to 0.
cell* ks_reset(cell* value);

// Index from the head of the first occurrence, -1 when absent.
int32_t find_char(const cell* value, uint32_t cp);
// Scans from the head in steps of `step`; unless case_sensitive both sides are upper-cased.
bool has_char_q(const cell* value, uint32_t cp, int32_t step, bool case_sensitive);
// Every byte equals the character at the same position from the head.
bool starts_with_cstr_q(const cell* value, const char* text);
// The head is "<", and the character at head + length of the tag + 1 is ">".
bool tag_delimited_q(const cell* value, const cell* tag);

// A new empty string! with room for capacity characters (0 means 1) of unit 1 / of `unit`.
cell* make_at(cell* value, uint32_t capacity);
cell* make_at_unit(cell* value, uint32_t capacity, uint32_t unit);
cell* push(const cell* value);

// The buffer widened to `unit` (no change when it is already that wide or wider).
series_buffer* widen_to(series_buffer* buffer, uint32_t unit);

// Character writers. Each returns the buffer, which may have moved or widened: use it, not
// the one passed. Indexes count characters from the buffer's offset. A unit-1 buffer widens
// on append for any code point above 0x7F and on the others above 0xFF; a unit-2 buffer
// widens above 0xFFFF.
series_buffer* append_char(series_buffer* buffer, uint32_t cp);
series_buffer* insert_char(series_buffer* buffer, size_t index, uint32_t cp);
series_buffer* overwrite_char(series_buffer* buffer, size_t index, uint32_t cp);
// Writes at an address inside the buffer's used part.
series_buffer* poke_char(series_buffer* buffer, uint8_t* address, uint32_t cp);

// Removes n characters (one) at the index from the offset; nothing when the index is at
// or past the tail. n must not run past the tail.
void remove_chars(cell* value, size_t index, size_t n);
inline void remove_char(cell* value, size_t index) { remove_chars(value, index, 1); }
// Inserts n characters from the source's head into the target at its head (widening it
// as they need), then removes them from the source. Two different buffers.
void move_chars(cell* source, cell* target, size_t n);

// Concatenation modes.
constexpr int CONCAT_APPEND = 0;
constexpr int CONCAT_INSERT = 1;
constexpr int CONCAT_CHANGE = 2;

// Writes the source's characters from its head (at most `limit`; negative for all) into
// the target: appended at its tail, inserted or written over at `position` characters
// from its head. A narrower target widens; a narrower source widens in place too unless
// keep_source is set.
void concatenate(cell* target, cell* source, int32_t limit, int32_t position, bool keep_source,
                 int mode);
inline void concat_value(cell* target, cell* source) {
    concatenate(target, source, -1, 0, false, CONCAT_APPEND);
}
inline void concat_change(cell* target, cell* source, int32_t limit, int32_t position) {
    concatenate(target, source, limit, position, true, CONCAT_CHANGE);
}

// Appends each byte as one character (Latin-1).
void concat_cstr(cell* value, const char* text);
void concat_bytes(cell* value, const char* bytes, size_t n);
// The characters from the head as bytes, each non-ASCII one as a 0 byte that no number
// or money text holds.
std::string ascii_bytes(const cell* value);
// Appends the text and returns the part count less its length, as form and mold answer.
int32_t form_text(cell* value, const char* text, int32_t part);

// The characters [address, address + length * unit) read as a float; false when they are
// not one.
bool to_float(const uint8_t* address, uint32_t length, uint32_t unit, double& out);

// Appends a character as mold writes it inside a text or char literal. in_braces: the
// text is delimited by braces, so a double quote needs no escape.
series_buffer* mold_char(series_buffer* buffer, uint32_t cp, bool all, bool in_braces);

// The text datatype actions.
void init();
const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* to(cell* proto, cell* spec, uint32_t type);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
// mold with double quotes whatever the text holds: the form a path segment reads.
int32_t mold_quoted(cell* value, cell* buffer, bool all, cell* arg, int32_t part);
const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t index, bool case_q, bool get_q, bool tail_q,
                      bool evt_q);
// append and insert (at_tail for append): part < 0 is no limit, dup < 2 adds once.
const cell* insert(cell* series, cell* value, int32_t part, bool only, int32_t dup, bool at_tail);
// part < 0: as many characters as the value adds.
const cell* change(cell* series, cell* value, int32_t part, bool only, int32_t dup);
const cell* swap(cell* series, cell* other);
// The series take; without /part one taken character comes back as a char! (a byte of a
// binary! as an integer!).
const cell* take(cell* series, cell* part, bool deep, bool last);
const cell* trim(cell* series, bool head, bool tail, bool auto_q, bool lines, bool all,
                 cell* with);

}  // namespace string

// Mold and form of containers: when the value's container is being walked: appends its cycle text to the string
// buffer, lowers part by the text's length and answers true.
bool cycles_detect_q(const cell* value, cell* buffer, int32_t* part, bool mold);

}  // namespace kel
