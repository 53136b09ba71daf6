#include "datatypes/symbol.h"

#include <cstring>
#include <string>

#include "datatypes/registry.h"
#include "runtime/case_folding.h"
#include "runtime/collector.h"
#include "runtime/unicode.h"

namespace kel {

node_id symbol_index = 0;

namespace symbol {

namespace {

void mark_symbol_roots() {
    if (symbol_index) hashtable_mark(&symbol_index);
    // The index may have been marked from elsewhere: forward the block reference anyway.
    if (symbol_table) collector_mark_series_values(&symbol_table);
}

uint32_t intern(const uint8_t* bytes, size_t length, bool insensitive_only) {
    return symbol_table_find(symbol_index, bytes, length, insensitive_only);
}

inline uint32_t next_char(const uint8_t*& p, bool fold) {
    int32_t cp;
    p = unicode::fast_decode_utf8_char(p, cp);
    uint32_t c = cp < 0 ? 0xFFFD : static_cast<uint32_t>(cp);
    return fold ? to_upper_char(c) : c;
}

}  // namespace

void init() {
    register_datatype(TYPE_SYMBOL, 0, "symbol!", {
        0, 0, 0, 0, 0, 0, 0, 0, entry<ACT_COMPARE>(compare), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

void table_init() {
    collector_add_mark_callback(mark_symbol_roots);
    symbol_index = 0;
    symbol_table = alloc_cells(SYMBOL_TABLE_SIZE);
    symbol_index = hashtable_make(SYMBOL_TABLE_SIZE, symbol_table, HASH_KIND_SYMBOL, 1);
}

uint32_t make(const char* name) {
    return make_from_bytes(reinterpret_cast<const uint8_t*>(name), std::strlen(name));
}

uint32_t make_from_bytes(const uint8_t* bytes, size_t length) { return intern(bytes, length, false); }

uint32_t make_from_string(cell* value) {
    size_t length = 0;
    const char* text = to_utf8(value, -1, &length);
    return make_from_bytes(reinterpret_cast<const uint8_t*>(text), length);
}

uint32_t find_cstr(const char* name) {
    return intern(reinterpret_cast<const uint8_t*>(name), std::strlen(name), true);
}

void ensure_string(uint32_t id) {
    if (record(id)->w2) return;
    size_t length = node_buffer(record(id)->w3)->used_bytes();
    node_id text = load_utf8_new(byte_source::series(record(id)->w3, 0), length);
    record(id)->w2 = text;
}

cell* get(uint32_t id) {
    ensure_string(id);
    return record(id);
}

static int32_t compare_text(const uint8_t* p1, size_t n1, const uint8_t* p2, size_t n2, int32_t op) {
    bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL ||
                    op == COMP_FIND || op == COMP_SAME || op == COMP_STRICT_MATCH || op == COMP_MATCH;
    const uint8_t* end1 = p1 + n1;
    const uint8_t* end2 = p2 + n2;
    size_t chars1 = utf8_count_chars(p1, end1);
    size_t chars2 = utf8_count_chars(p2, end2);
    if (chars1 != chars2 && (equality || chars2 == 0)) return 1;
    bool fold = op != COMP_STRICT_EQUAL && op != COMP_CASE_SORT && op != COMP_STRICT_MATCH;
    while (p1 < end1 && p2 < end2) {
        uint32_t c1 = next_char(p1, fold);
        uint32_t c2 = next_char(p2, fold);
        if (c1 != c2) return c1 > c2 ? 1 : -1;
    }
    return compare_sign(static_cast<int64_t>(chars1) - static_cast<int64_t>(chars2));
}

int32_t compare_names(uint32_t id1, uint32_t id2, int32_t op) {
    if (id1 == id2) return 0;
    size_t n1, n2;
    const uint8_t* p1 = name_bytes(id1, &n1);
    const uint8_t* p2 = name_bytes(id2, &n2);
    return compare_text(p1, n1, p2, n2, op);
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    if (TYPE_OF(value2) != TYPE_SYMBOL) return INCOMPARABLE;
    if (op == COMP_SAME) return value1->w3 == value2->w3 ? 0 : -1;
    const series_buffer* b1 = node_buffer(value1->w3);
    const series_buffer* b2 = node_buffer(value2->w3);
    return compare_text(b1->offset, b1->used_bytes(), b2->offset, b2->used_bytes(), op);
}

}  // namespace symbol
}  // namespace kel
