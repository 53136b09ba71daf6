#include "datatypes/map.h"

#include <algorithm>
#include <cmath>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/dispatch.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/error_catalog.h"
#include "runtime/hashtable.h"

namespace kel::map {

namespace {


[[noreturn]] void bad_key(const cell* key) {
    cell value = *key;
    cell type = datatype_of(TYPE_OF(key));
    fire(script_error::invalid_path, &value, &type);
}

inline cell* entry_cell(const cell* map, int32_t position) {
    return series_cell(series_node(map), static_cast<uint32_t>(position));
}
inline int32_t cells_of(const cell* map) { return series::buffer_length(map); }
inline bool dead_q(const cell* value) { return value->header == 0; }
inline hashtable_record* table_of(const cell* map) { return hashtable_of(map->w3); }

// A stored key as find and the reflectors give it back.
inline cell given_key(const cell* key) {
    cell k = *key;
    k.header &= ~CELL_NEW_LINE;
    if (TYPE_OF(&k) == TYPE_SET_WORD) set_type(&k, TYPE_WORD);
    return k;
}

// Position of the key cell of the key's entry (live or dead), or -1.
[[gnu::always_inline]] inline int32_t lookup(const cell* map, const cell* key, int32_t op, hashtable_hint* hint) {
    // The word types are stored as set-word!.
    cell word;
    if (any_word_q(TYPE_OF(key))) {
        word = *key;
        set_type(&word, TYPE_SET_WORD);
        key = &word;
    }
    return hashtable_find_key(map->w3, key, op, hint);
}
int32_t lookup(const cell* map, const cell* key, int32_t op) {
    hashtable_hint hint;
    return lookup(map, key, op, &hint);
}

// A case-folded lookup takes the least position of a key's case variants: a removed variant
// there must not hide a live one. The least live variant's position, or -1.
[[gnu::noinline]] int32_t live_variant(const cell* map, const cell* key) {
    cell stored = *key;
    if (any_word_q(TYPE_OF(&stored))) set_type(&stored, TYPE_SET_WORD);
    hashtable_cursor cursor;
    int32_t best = -1;
    for (int32_t p; (p = hashtable_get_map(map->w3, &stored, &cursor)) >= 0;)
        if (!dead_q(entry_cell(map, p + 1)) && (best < 0 || p < best)) best = p;
    return best;
}
// Position of the key cell of the key's live entry, or -1.
[[gnu::always_inline]] inline int32_t live_entry(const cell* map, const cell* key, int32_t op) {
    hashtable_hint hint;
    int32_t at = lookup(map, key, op, &hint);
    if (at < 0 || !dead_q(entry_cell(map, at + 1))) [[likely]] return at;
    return op == COMP_EQUAL && table_of(map)->duplicates ? live_variant(map, key) : -1;
}

// Appends an entry for a new key, as given and with its value unset; answers the key's
// position.
int32_t append_entry(cell* map, const cell* key) {
    series_buffer* b = series::buffer_of(map);
    if (b->data_end() - b->tail < static_cast<ptrdiff_t>(2 * sizeof(cell))) {
        root_cell keep(*key);
        expand_series(b, 2 * (b->used_bytes() + 2 * sizeof(cell)));
        return append_entry(map, &keep.value);
    }
    cell* at = b->cells_tail();
    at[0] = *key;
    at[1] = unset_value;
    b->tail += 2 * sizeof(cell);
    return static_cast<int32_t>(at - b->cells());
}

// Position of the value cell of the key's entry: a dead one revived, a missing one added
// (value unset). The map is unchanged when the key is refused.
int32_t entry_for(cell* map, const cell* key, int32_t op) {
    hashtable_hint hint;
    int32_t at = lookup(map, key, op, &hint);
    if (at >= 0) {
        cell* value = entry_cell(map, at + 1);
        if (dead_q(value)) {
            *value = unset_value;
            table_of(map)->size++;
        }
        return at + 1;
    }
    if (!valid_key_type_q(TYPE_OF(key))) bad_key(key);
    int32_t position = append_entry(map, key);
    check_key(series_node(map), static_cast<uint32_t>(position));
    int status;
    hashtable_put_value(map->w3, static_cast<uint32_t>(position), &status, op, &hint);
    return position + 1;
}

void set_entry_value(const cell* map, int32_t position, const cell* value) {
    cell v = *value;
    v.header &= ~CELL_NEW_LINE;
    *entry_cell(map, position) = v;
}

inline int32_t lookup_op(bool case_q, bool same) {
    return same ? COMP_SAME : case_q ? COMP_STRICT_EQUAL : COMP_EQUAL;
}

int32_t append_indent(cell* buffer, int32_t level, int32_t part) {
    for (int32_t i = 0; i < level; i++) part = string::form_text(buffer, "    ", part);
    return part;
}

// Molds the cell at a position of the map's block (it may move while molding).
int32_t mold_entry_cell(const cell* map, int32_t position, cell* buffer, bool all, bool flat,
                        cell* arg, int32_t part, int32_t indent) {
    cell* item = stack::push(entry_cell(map, position));
    part = mold_dispatch(item, buffer, false, all, flat, arg, part, indent);
    stack::pop(1);
    return part;
}

cell found_result;  // find's and select's answers; the dispatcher copies them at once

// The map over a shallow copy of a block-like spec.
cell* make_from_block(const cell* spec) {
    if (block::ks_length_q(spec) % 2) fire(script_error::invalid_arg, spec);
    return make_over_block(block::clone(spec, false, false));
}

}  // namespace

void init() {
    register_datatype(TYPE_MAP, 0, "map!", {
        entry<ACT_MAKE>(make), 0, entry<ACT_REFLECT>(reflect), entry<ACT_TO>(to),
        entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), entry<ACT_EVAL_PATH>(eval_path), 0,
        entry<ACT_COMPARE>(compare), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, entry<ACT_CLEAR>(clear), entry<ACT_COPY>(copy),
        entry<ACT_FIND>(find), 0, 0, 0, 0, entry<ACT_LENGTH_Q>(length_q), 0, 0, 0, 0,
        entry<ACT_PUT>(put), entry<ACT_REMOVE>(remove), 0, entry<ACT_SELECT>(select), 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    });
}

bool valid_key_type_q(uint32_t type) {
    switch (type) {
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_CHAR: case TYPE_INTEGER:
        case TYPE_FLOAT: case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD:
        case TYPE_REFINEMENT: case TYPE_ISSUE: case TYPE_PAIR: case TYPE_PERCENT: case TYPE_TUPLE:
        case TYPE_BINARY: case TYPE_TIME: case TYPE_TAG: case TYPE_EMAIL: case TYPE_DATE:
        case TYPE_MONEY: case TYPE_REF: case TYPE_POINT2D: case TYPE_POINT3D:
            return true;
        default:
            return false;
    }
}

void check_key(node_id block, uint32_t position) {
    cell* key = series_cell(block, position);
    uint32_t type = TYPE_OF(key);
    if (!valid_key_type_q(type)) bad_key(key);
    key->header &= ~CELL_NEW_LINE;
    if (any_word_q(type)) {
        set_type(key, TYPE_SET_WORD);
        return;
    }
    if (!any_string_q(type) && type != TYPE_BINARY) return;
    // A copy from the head: later changes to the caller's text do not reach the map. The
    // block holds the source meanwhile, under the node id read here.
    evacuation_off guard;
    cell source = *key;
    cell fresh;
    int32_t head = series::head_of(&source);
    int32_t count = series::buffer_length(&source) - std::max(head, 0);
    series::copy_range(&source, &fresh, head, std::max(count, 0));
    *series_cell(block, position) = fresh;
}

cell* make_over_block(cell* block) {
    int32_t n = std::max(block::ks_length_q(block), 0);
    cell* cells = block::ks_abs_at(block, 0);
    // Keys are checked and word keys normalised before anything is indexed, so a bad
    // key raises before the map exists and a word key meets its other forms as one key.
    for (int32_t i = 0; i < n; i++) {
        cells[i].header &= ~CELL_NEW_LINE;
        if (i % 2) continue;
        if (!valid_key_type_q(TYPE_OF(&cells[i]))) bad_key(&cells[i]);
        if (any_word_q(TYPE_OF(&cells[i]))) set_type(&cells[i], TYPE_SET_WORD);
    }
    return make_at(block, block, n / 2);
}

cell* make_at(cell* value, const cell* block, int32_t size) {
    size = std::max(size, 0);
    node_id node = block && TYPE_OF(block) != TYPE_NONE ? series_node(block)
                                                         : alloc_cells(static_cast<size_t>(std::max(size * 2, 2)));
    // Held as a block while the table is made over it.
    set_series_value(value, TYPE_BLOCK, node, 0);
    node_id table = hashtable_make(static_cast<uint32_t>(size), series_node(value), HASH_KIND_MAP, 0, check_key);
    value->header = TYPE_MAP;
    value->w3 = table;
    return value;
}

cell* push(const cell* map) { return stack::push(map); }

int32_t ks_length_q(const cell* map) { return table_of(map)->size; }

const cell* extend(cell* map, cell* block, bool case_q) {
    int32_t n = std::max(block::ks_length_q(block), 0);
    if (n % 2) fire(script_error::invalid_arg, block);
    int32_t op = lookup_op(case_q, false);
    series_buffer* b = series::buffer_of(map);
    if (static_cast<int64_t>((b->data_end() - b->tail) / sizeof(cell)) < n)
        expand_series(b, b->used_bytes() + static_cast<size_t>(n) * sizeof(cell));
    for (int32_t i = 0; i < n; i += 2) {
        cell* key = stack::push(block::ks_abs_at(block, series::head_of(block) + i));
        int32_t at = entry_for(map, key, op);
        set_entry_value(map, at, block::ks_abs_at(block, series::head_of(block) + i + 1));
        stack::pop(1);
    }
    return map;
}

bool foreach_next(cell* words, cell* map, int32_t count) {
    for (int32_t w = 0; w < count; w++) {
        const cell* word = block::ks_abs_at(words, series::head_of(words) + w);
        if (!any_word_q(TYPE_OF(word))) fire(script_error::invalid_arg, word);
    }
    int32_t len = cells_of(map);
    bool set = false;
    for (int32_t w = 0; w < count; w++) {
        int32_t p = series::head_of(map) + w;
        if (p % 2 == 0) {
            while (p + 1 < len && dead_q(entry_cell(map, p + 1))) {
                map->w1 += 2;
                p += 2;
            }
        }
        cell* value = stack::push(&none_value);
        if (p < len) {
            *value = p % 2 == 0 ? given_key(entry_cell(map, p)) : *entry_cell(map, p);
            set = true;
        }
        cell* word = stack::push(block::ks_abs_at(words, series::head_of(words) + w));
        _context::set(word, value);
        stack::pop(2);
    }
    return set;
}

// --- Actions -------------------------------------------------------------------------------

const cell* make(cell* proto, cell* spec, uint32_t type) {
    uint32_t st = TYPE_OF(spec);
    if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
        double n = st == TYPE_INTEGER ? int_of(spec) : std::trunc(cell_float(spec));
        if (n < 0) fire(script_error::out_of_range, spec);
        int32_t size = n > INT32_MAX / 2 ? INT32_MAX / 2 : static_cast<int32_t>(n);
        return make_at(stack::push(&none_value), nullptr, size);
    }
    return to(proto, spec, type);
}

const cell* to(cell*, cell* spec, uint32_t) {
    uint32_t st = TYPE_OF(spec);
    if (st == TYPE_BLOCK || st == TYPE_PAREN || st == TYPE_HASH) return make_from_block(spec);
    if (st == TYPE_MAP) return copy(spec, stack::push(&none_value), nullptr, false, nullptr);
    raise_bad_to_arg(TYPE_MAP, spec);
}

const cell* reflect(cell* value, uint32_t field_symbol) {
    uint32_t field = canonical_symbol(field_symbol);
    enum { WORDS, VALUES, BODY } what;
    if (field == canonical_symbol(runtime_symbols[SYM_WORDS])) what = WORDS;
    else if (field == canonical_symbol(runtime_symbols[SYM_BODY])) what = BODY;
    else if (field == canonical_symbol(symbol::make("values"))) what = VALUES;
    else fire(internal_error::not_done);
    int32_t live = ks_length_q(value);
    cell* result = block::push_only(what == BODY ? live * 2 : live);
    for (int32_t p = 0; p + 1 < cells_of(value); p += 2) {
        if (dead_q(entry_cell(value, p + 1))) continue;
        if (what == WORDS) {
            cell key = given_key(entry_cell(value, p));
            block::ks_append(result, &key);
        } else if (what == BODY) {
            cell key = *entry_cell(value, p);
            key.header |= CELL_NEW_LINE;
            block::ks_append(result, &key);
        }
        if (what != WORDS) block::ks_append(result, entry_cell(value, p + 1));
    }
    return result;
}

int32_t form(cell* value, cell* buffer, cell* arg, int32_t part) {
    if (cycles_detect_q(value, buffer, &part, false)) return part;
    cycles_guard walk(series_node(value));
    bool first = true;
    for (int32_t p = 0; p + 1 < cells_of(value); p += 2) {
        if (part < 1) break;
        if (dead_q(entry_cell(value, p + 1))) continue;
        if (!first) part = string::form_text(buffer, "\n", part);
        first = false;
        part = mold_entry_cell(value, p, buffer, false, false, arg, part, 0);
        part = string::form_text(buffer, " ", part);
        part = mold_entry_cell(value, p + 1, buffer, false, false, arg, part, 0);
    }
    return part;
}

int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent) {
    if (cycles_detect_q(value, buffer, &part, true)) return part;
    cycles_guard walk(series_node(value));
    if (!only) part = string::form_text(buffer, "#[", part);
    bool wrote = false;
    if (ks_length_q(value) > 0) {
        if (!flat && !only) part = string::form_text(buffer, "\n", part);
        // Flat output has no levels: nested values keep the outer one.
        int32_t inner = flat ? indent : indent + 1;
        for (int32_t p = 0; p + 1 < cells_of(value); p += 2) {
            if (part < 1) break;
            if (dead_q(entry_cell(value, p + 1))) continue;
            if (flat) {
                if (wrote) part = string::form_text(buffer, " ", part);
            } else {
                part = append_indent(buffer, inner, part);
            }
            part = mold_entry_cell(value, p, buffer, all, flat, arg, part, inner);
            part = string::form_text(buffer, " ", part);
            part = mold_entry_cell(value, p + 1, buffer, all, flat, arg, part, inner);
            if (!flat) part = string::form_text(buffer, "\n", part);
            wrote = true;
        }
    }
    if (!only) {
        if (wrote && !flat && indent >= 1) part = append_indent(buffer, indent, part);
        part = string::form_text(buffer, "]", part);
    }
    return part;
}

const cell* eval_path(cell* parent, cell* element, cell* value, cell*, cell*, cell*, int32_t, bool case_q,
                      bool, bool, bool) {
    int32_t op = lookup_op(case_q, false);
    if (!value) {
        int32_t at = live_entry(parent, element, op);
        if (at < 0) return &none_value;
        return entry_cell(parent, at + 1);  // the cell itself: a set-path changes a scalar there
    }
    int32_t at = entry_for(parent, element, op);
    set_entry_value(parent, at, value);
    return value;
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    if (TYPE_OF(value2) != TYPE_MAP) return INCOMPARABLE;
    node_id n1 = series_node(value1), n2 = series_node(value2);
    if (op == COMP_SORT || op == COMP_CASE_SORT) return compare_sign(int64_t(n1) - n2);
    if (op != COMP_EQUAL && op != COMP_NOT_EQUAL && op != COMP_STRICT_EQUAL && op != COMP_SAME &&
        op != COMP_FIND)
        return INCOMPARABLE;
    if (n1 == n2 && series::head_of(value1) == series::head_of(value2)) return 0;
    if (op == COMP_SAME) return -1;
    if (cycles_find_q(n1)) return cycles_find_q(n2) ? 0 : -1;
    int32_t live1 = ks_length_q(value1), live2 = ks_length_q(value2);
    if (live1 != live2) return 1;
    if (live1 == 0) return 0;
    cycles_guard walk1(n1);
    cycles_guard walk2(n2);
    for (int32_t p = 0; p + 1 < cells_of(value1); p += 2) {
        if (dead_q(entry_cell(value1, p + 1))) continue;
        if (op == COMP_STRICT_EQUAL) {
            int32_t at = hashtable_find(value2->w3, entry_cell(value1, p), 0, false, false, COMP_STRICT_EQUAL);
            if (at < 0 || dead_q(entry_cell(value2, at + 1))) return 1;
            if (int32_t r = compare_dispatch(entry_cell(value1, p + 1), entry_cell(value2, at + 1), COMP_STRICT_EQUAL))
                return r;
            continue;
        }
        // Keys that match ignoring case are tried until one holds an equal value.
        hashtable_cursor cursor;
        bool matched = false;
        for (int32_t at; !matched && (at = hashtable_get_map(value2->w3, entry_cell(value1, p), &cursor)) >= 0;) {
            cell* other = entry_cell(value2, at + 1);
            matched = !dead_q(other) && compare_dispatch(entry_cell(value1, p + 1), other, COMP_EQUAL) == 0;
        }
        if (!matched) return 1;
    }
    return 0;
}

const cell* clear(cell* value) {
    series::buffer_of(value)->tail = series::buffer_of(value)->offset;
    value->w1 = 0;
    hashtable_clear(value->w3);
    return value;
}

const cell* copy(cell* value, cell* result, cell*, bool deep, cell* types) {
    cell* source = stack::push(value);
    set_type(source, TYPE_BLOCK);
    source->w1 = 0;
    source->w3 = 0;
    // The block copy checks the cycle stack for a deep copy and walks the values.
    block::copy(source, result, nullptr, deep, types);
    node_id table = hashtable_copy(value->w3, series_node(result));
    result->header = TYPE_MAP;
    result->w3 = table;
    stack::pop(1);
    return result;
}

const cell* find(cell* series, cell* value, cell*, bool, bool case_q, bool same, bool, cell*, cell*, bool,
                 bool, bool, bool) {
    int32_t at = live_entry(series, value, lookup_op(case_q, same));
    if (at < 0) return &none_value;
    found_result = given_key(entry_cell(series, at));
    return &found_result;
}

int32_t length_q(cell* value) { return ks_length_q(value); }

const cell* put(cell* map, cell* key, cell* value, bool case_q) {
    int32_t at = entry_for(map, key, lookup_op(case_q, false));
    set_entry_value(map, at, value);
    return value;
}

const cell* remove(cell* map, cell*, cell* key) {
    if (!refinement_q(key)) fire(script_error::missing_arg);
    int32_t at = lookup(map, key, COMP_STRICT_EQUAL);
    if (at < 0) return map;
    cell* value = entry_cell(map, at + 1);
    if (dead_q(value)) return map;
    // The key stays indexed, so that setting it again revives the entry in its place.
    *value = cell{0, 0, 0, 0};
    table_of(map)->size--;
    return map;
}

const cell* select(cell* series, cell* value, cell*, bool, bool case_q, bool same, bool, cell*, cell*, bool,
                   bool) {
    int32_t at = live_entry(series, value, lookup_op(case_q, same));
    if (at < 0) return &none_value;
    found_result = *entry_cell(series, at + 1);
    return &found_result;
}

}  // namespace kel::map
