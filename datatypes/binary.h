// binary!: the byte-string series. It shares the text value layout (head index in w1,
// buffer node in w2) with a buffer whose unit is always 1 and never widens; the series
// actions it does not define are string!'s.
//
// Also the byte API the rest of the runtime writes binaries through, and the base 2, 16,
// 58 and 64 codecs behind enbase and debase.
//
// Binary arguments are cells that stay put across allocation (argument-stack slots or
// root guards). Raw byte pointers handed in must lie outside the collected heap (C++
// memory, the OS's), since anything here that allocates may move every series buffer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel::binary {

void init();

// --- Byte API ----------------------------------------------------------------------------

inline series_buffer* buffer_of(const cell* value) { return node_buffer(series_node(value)); }

// Bytes from head to tail; a head past the tail counts as 0.
inline uint32_t ks_length_q(const cell* value) {
    size_t used = buffer_of(value)->used_bytes();
    return used > series_head(value) ? static_cast<uint32_t>(used - series_head(value)) : 0;
}
// Address of the head byte (the tail when the head lies past it).
inline uint8_t* ks_head(const cell* value) {
    series_buffer* b = buffer_of(value);
    return b->offset + (series_head(value) < b->used_bytes() ? series_head(value) : b->used_bytes());
}
inline uint8_t* ks_tail(const cell* value) { return buffer_of(value)->tail; }
inline bool ks_tail_q(const cell* value) { return series_head(value) >= buffer_of(value)->used_bytes(); }
// Moves the head forward by n when it stays within the tail; answers whether the head
// is then at the tail.
bool ks_skip(cell* value, int32_t n);
inline bool ks_next(cell* value) { return ks_skip(value, 1); }
// The head byte; the head must be before the tail.
inline uint8_t head_byte(const cell* value) { return buffer_of(value)->offset[series_head(value)]; }
// Sets the tail to the head.
void ks_clear(cell* value);

// Writers: each may expand (and so move) the buffer.
void ks_append(cell* value, const uint8_t* bytes, size_t n);
// At `offset` bytes from the buffer's first used byte.
void ks_insert(cell* value, size_t offset, const uint8_t* bytes, size_t n);
// At head + k; bytes between the tail and the write's start, if any, become zeros.
void ks_overwrite(cell* value, size_t k, const uint8_t* bytes, size_t n);
// Replaces `removed` bytes at `at` (from the buffer's first used byte) by the bytes
// repeated dup times, and answers how many went in. A size past the series limit raises
// internal/no-memory.
size_t splice(cell* series, size_t at, size_t removed, const std::vector<uint8_t>& bytes, size_t dup);
// Four bytes, most significant first.
void ks_append_int(cell* value, int32_t n);

// An empty binary with room for `capacity` bytes, head 0: into the cell / at a block's tail.
cell* make_at(cell* value, uint32_t capacity);
cell* make_in(const cell* block, uint32_t capacity);
// A new binary holding a copy of n bytes: into the cell / pushed on the argument stack.
cell* load_in(const uint8_t* bytes, size_t n, cell* value);
cell* load(const uint8_t* bytes, size_t n);
cell* push(const cell* value);

// The byte poke stores: the low 8 bits of an integer! or a char! code point, unchecked;
// any other value raises script/invalid-arg.
uint8_t to_byte(const cell* value);
// Parse on binary input: the head byte is in the bitset / the bytes at the head match
// the value (a text value's UTF-8, a binary's bytes, a char! as one byte).
bool head_in_bitset_q(const cell* value, const cell* bitset);
bool match_head_q(const cell* value, const cell* other);

// Unsigned bytes from both heads: -1, 0 or 1 under the operation code. In match mode only
// the second value's length counts: the first matches when it starts with the second.
int32_t compare_bytes(const cell* value1, const cell* value2, int32_t op, bool match = false);

// A value's bytes as append, insert and to write them, added at the end of `out`. part < 0:
// no limit (elements for a block, bytes otherwise). A value with no byte form raises
// script/bad-to-arg. Nothing here allocates in the collected heap.
void insert_value(const cell* value, int32_t part, std::vector<uint8_t>& out);

// --- Base codecs ------------------------------------------------------------------------

// Bytes in, a new string! of 1-byte characters into `out`. An input too long for the
// output's size raises script/too-long.
cell* encode_2(const uint8_t* bytes, size_t n, cell* out);
cell* encode_16(const uint8_t* bytes, size_t n, cell* out);
cell* encode_58(const uint8_t* bytes, size_t n, cell* out);
cell* encode_64(const uint8_t* bytes, size_t n, cell* out);
// By base number; another base raises script/invalid-arg.
cell* encode(int32_t base, const uint8_t* bytes, size_t n, cell* out);

// A text value's characters from its head in, a new binary! into `out`; null (and `out`
// untouched) when the text is not valid in the base.
cell* decode_2(const cell* text, cell* out);
cell* decode_16(const cell* text, cell* out);
cell* decode_58(const cell* text, cell* out);
cell* decode_64(const cell* text, cell* out);
cell* decode(int32_t base, const cell* text, cell* out);

// --- Actions ----------------------------------------------------------------------------

const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* to(cell* proto, cell* spec, uint32_t type);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
int32_t compare(cell* value1, cell* value2, int32_t op);
// Frame actions on slots 0 and 1; the new binary replaces slot 0.
void and_();
void or_();
void xor_();
// Inverts the bytes from head to tail in place.
const cell* complement(cell* value);
// append and insert (append_q for append): part < 0 is no limit, dup < 2 adds once.
const cell* append(cell* series, cell* value, int32_t part, bool only, int32_t dup, bool append_q);
// part < 0: as many bytes as the value adds.
const cell* change(cell* series, cell* value, int32_t part, bool only, int32_t dup);
const cell* trim(cell* series, bool head, bool tail, bool auto_q, bool lines, bool all, cell* with);

}  // namespace kel::binary
