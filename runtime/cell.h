// The 16-byte value cell: every value, block element, context slot and stack slot.
#pragma once
#include <cstdint>
#include <cstring>

namespace kel {

using node_id = uint32_t;  // index into the node table; 0 is no node

struct cell {
    uint32_t header;  // bits 0-7 type id, bits 8-31 flags
    uint32_t w1;
    uint32_t w2;
    uint32_t w3;  // a double occupies w2-w3
};
static_assert(sizeof(cell) == 16, "a cell is exactly 16 bytes");
using kel_value = cell;

// Type ids are fixed: cell layouts, typesets and stored files test them directly.
enum type_id : uint8_t {
    TYPE_NONE_ID = 0,  // no type (parent of root types)
    TYPE_DATATYPE = 1,
    TYPE_UNSET = 2,
    TYPE_NONE = 3,
    TYPE_LOGIC = 4,
    TYPE_BLOCK = 5,
    TYPE_PAREN = 6,
    TYPE_STRING = 7,
    TYPE_FILE = 8,
    TYPE_URL = 9,
    TYPE_CHAR = 10,
    TYPE_INTEGER = 11,
    TYPE_FLOAT = 12,
    TYPE_SYMBOL = 13,
    TYPE_CONTEXT = 14,
    TYPE_WORD = 15,
    TYPE_SET_WORD = 16,
    TYPE_LIT_WORD = 17,
    TYPE_GET_WORD = 18,
    TYPE_REFINEMENT = 19,
    TYPE_ISSUE = 20,
    TYPE_NATIVE = 21,
    TYPE_ACTION = 22,
    TYPE_OP = 23,
    TYPE_FUNCTION = 24,
    TYPE_PATH = 25,
    TYPE_LIT_PATH = 26,
    TYPE_SET_PATH = 27,
    TYPE_GET_PATH = 28,
    TYPE_ROUTINE = 29,
    TYPE_BITSET = 30,
    TYPE_TRIPLE = 31,
    TYPE_OBJECT = 32,
    TYPE_TYPESET = 33,
    TYPE_ERROR = 34,
    TYPE_VECTOR = 35,
    TYPE_HASH = 36,
    TYPE_PAIR = 37,
    TYPE_PERCENT = 38,
    TYPE_TUPLE = 39,
    TYPE_MAP = 40,
    TYPE_BINARY = 41,
    TYPE_SERIES = 42,
    TYPE_TIME = 43,
    TYPE_TAG = 44,
    TYPE_EMAIL = 45,
    TYPE_HANDLE = 46,
    TYPE_DATE = 47,
    TYPE_PORT = 48,
    TYPE_MONEY = 49,
    TYPE_REF = 50,
    TYPE_POINT2D = 51,
    TYPE_POINT3D = 52,
    TYPE_IMAGE = 53,
    TYPE_EVENT = 54,
};

// Header flags read by more than one module.
constexpr uint32_t CELL_NEW_LINE = 0x40000000;
constexpr uint32_t CELL_FIELD_SET = 0x2000;
constexpr uint32_t CTX_KIND_SHIFT = 11;
constexpr uint32_t CTX_KIND_MASK = 3u << CTX_KIND_SHIFT;
constexpr uint32_t CTX_GLOBAL = 0;
constexpr uint32_t CTX_FUNCTION = 1;
constexpr uint32_t CTX_OBJECT = 2;
constexpr uint32_t CTX_ON_STACK = 0x400000;
constexpr uint32_t CTX_SELF = 0x1000000;
constexpr uint32_t CTX_OWNER = 0x10000;

inline uint32_t TYPE_OF(const cell* c) { return c->header & 0xFF; }

inline void set_type(cell* c, uint32_t type) { c->header = (c->header & ~0xFFu) | type; }

inline uint32_t clear_header_flag(uint32_t header) { return header & ~CELL_NEW_LINE; }

inline cell* copy_cell(const cell* src, cell* dst) {
    if (src != dst) *dst = *src;
    return dst;
}

// A double lives in w2-w3.
inline double cell_float(const cell* c) {
    double d;
    std::memcpy(&d, &c->w2, sizeof d);
    return d;
}
inline void set_cell_float(cell* c, double d) { std::memcpy(&c->w2, &d, sizeof d); }

inline void make_header_only(cell* c, uint32_t type) {
    c->header = type;
}

// A typeset payload is a 96-bit map over w1-w3: type t is byte t >> 3, bit 0x80 >> (t & 7).
inline bool typeset_has(const cell* ts, uint32_t type) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&ts->w1);
    return type < 96 && (bytes[type >> 3] & (0x80u >> (type & 7))) != 0;
}
inline void typeset_add(cell* ts, uint32_t type) {
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&ts->w1);
    if (type < 96) bytes[type >> 3] |= static_cast<uint8_t>(0x80u >> (type & 7));
}

// Series values (block, string and binary families, vectors, images): w1 is the head
// index in units, w2 the node of the buffer; text values keep an export cache node in w3.
inline uint32_t series_head(const cell* c) { return c->w1; }
inline node_id series_node(const cell* c) { return c->w2; }
inline void set_series_value(cell* c, uint32_t type, node_id node, uint32_t head) {
    c->header = type;
    c->w1 = head;
    c->w2 = node;
    c->w3 = 0;
}

// The two shared cells returned where a value is needed and none exists; never written.
extern const cell none_value;
extern const cell unset_value;

}  // namespace kel

namespace kel {

// Raises a language error by category and id position (see runtime/error_catalog.h);
// absent arguments are null. Never returns. The evaluator defines it: the error value is
// made, reported to a trace and thrown with its where, near and stack fields.
[[noreturn]] void fire(uint32_t category, uint32_t id, const cell* arg1 = nullptr,
                       const cell* arg2 = nullptr, const cell* arg3 = nullptr);

// Operation codes passed to the compare entries.
enum compare_op : int32_t {
    COMP_EQUAL = 0,
    COMP_NOT_EQUAL = 1,
    COMP_STRICT_EQUAL = 2,
    COMP_LESSER = 3,
    COMP_LESSER_EQUAL = 4,
    COMP_GREATER = 5,
    COMP_GREATER_EQUAL = 6,
    COMP_SORT = 7,
    COMP_CASE_SORT = 8,
    COMP_SAME = 9,
    COMP_STRICT_MATCH = 10,  // lit-word and lit-path rules, case-sensitive
    COMP_MATCH = 11,         // lit-word and lit-path rules
    COMP_FIND = 12,
};
// A compare entry answers -1, 0, 1, or this when the values cannot be compared.
constexpr int32_t INCOMPARABLE = -2;

namespace actions {
// The comparison of two values as a truth value, by the first one's type; an ordering of
// incomparable values raises script invalid-compare. The datatypes' dispatch defines it.
bool compare(cell* value1, cell* value2, int32_t op);
}  // namespace actions

// Appends one cell at the tail of a block value's buffer and returns it (header unset).
cell* alloc_tail(const cell* block);

// Integer or float to a 32-bit integer, truncating; out of range raises script/out-of-range.
int32_t number_to_int(const cell* value);

}  // namespace kel
