#include "datatypes/hash.h"

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/hashtable.h"

namespace kel::hash {

namespace {

// Nodes were renumbered since the index was built: values hashed by identity moved.
bool stale_q(node_id table) {
    const hashtable_record* r = hashtable_of(table);
    return r->stamp != 0 && r->stamp != static_cast<int32_t>(nodes_cycles + 1) && !collector_active_q();
}

// Far more buckets than the live entries need: a rebuild sizes it for them.
bool sparse_q(node_id table) {
    const hashtable_record* r = hashtable_of(table);
    return r->buckets > 64 && r->size * 8 < r->buckets;
}

inline int32_t block_length(const cell* value) { return series::buffer_length(value); }

}  // namespace

void init() {
    const action_entry I = INHERIT;
    register_datatype(TYPE_HASH, TYPE_BLOCK, "hash!", {
        entry<ACT_MAKE>(make), 0, I, entry<ACT_TO>(to), I, entry<ACT_MOLD>(mold), I, I, I, I,
        I, I, I, I, I, I, I, I, I, I,
        I, I, I, I, I, I, I, I, I, entry<ACT_COPY>(copy),
        I, I, I, I, I, I, I, I, I, I,
        I, I, I, I, entry<ACT_SORT>(sort), I, I, I, I, I,
        entry<ACT_TRIM>(trim), I, I, I, I, I, I, I, I, I, I, I,
    });
}

void rebuild(const cell* value) {
    if (node_id table = table_of(value)) hashtable_resize(table, 0);
}

void reindex(const cell* value, int32_t at, int32_t removed, int32_t added) {
    node_id table = table_of(value);
    if (!table || (removed == 0 && added == 0)) return;
    evacuation_off guard;
    int32_t delta = added - removed;
    int32_t behind = block_length(value) - added - at;
    // Deleting by position reads only the index, never the (already edited) cells; a
    // stale index would be rebuilt by the first delete, from the edited block.
    if (stale_q(table) || removed > static_cast<int32_t>(HASH_REFRESH_LIMIT) ||
        added > static_cast<int32_t>(HASH_REFRESH_LIMIT)) {
        hashtable_resize(table, 0);
        return;
    }
    for (int32_t p = at; p < at + removed; p++) hashtable_delete(table, static_cast<uint32_t>(p));
    if (delta != 0 &&
        hashtable_refresh(table, delta, static_cast<uint32_t>(at + removed),
                          static_cast<uint32_t>(std::max(behind, 0)), true) != 0) {
        hashtable_resize(table, 0);
        return;
    }
    for (int32_t p = at; p < at + added; p++) {
        int status;
        hashtable_put_value(table, static_cast<uint32_t>(p), &status);
        // The rebuild indexes the whole block, the cells not yet put included.
        if (status == HASH_FULL) {
            hashtable_resize(table, 0);
            return;
        }
    }
    if (delta < 0 && sparse_q(table)) hashtable_resize(table, 0);
}

cell* index(cell* value) {
    int32_t n = std::max(block_length(value), 1);
    node_id table = hashtable_make(static_cast<uint32_t>(n), series_node(value), HASH_KIND_HASH);
    set_type(value, TYPE_HASH);
    value->w3 = table;
    return value;
}

// --- Actions -----------------------------------------------------------------------------

const cell* make(cell* proto, cell* spec, uint32_t) {
    uint32_t st = TYPE_OF(spec);
    cell* result;
    if (st == TYPE_HASH) {
        result = stack::push(&none_value);
        return copy(spec, result, nullptr, false, nullptr);
    }
    if (st == TYPE_INTEGER || st == TYPE_FLOAT) result = const_cast<cell*>(block::make(proto, spec, TYPE_BLOCK));
    else if (st == TYPE_BLOCK) result = block::clone(spec, false, false);
    else return to(proto, spec, TYPE_HASH);
    return index(result);
}

const cell* to(cell* proto, cell* spec, uint32_t) {
    if (TYPE_OF(spec) == TYPE_HASH) {
        cell* result = stack::push(&none_value);
        return copy(spec, result, nullptr, false, nullptr);
    }
    return index(const_cast<cell*>(block::to(proto, spec, TYPE_BLOCK)));
}

int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent) {
    if (cycles_detect_q(value, buffer, &part, true)) return part;
    // Loading the text back makes a hash again.
    if (!only) part = string::form_text(buffer, "make hash! ", part);
    return block::mold(value, buffer, only, all, flat, arg, part, indent);
}

const cell* copy(cell* value, cell* result, cell* part, bool deep, cell* types) {
    // A copy of the whole buffer keeps every position: the table copies as it is.
    bool whole = series::head_of(value) == 0 && !refinement_q(part) && !deep && !refinement_q(types);
    block::copy(value, result, part, deep, types);
    set_type(result, TYPE_HASH);
    result->w3 = 0;
    if (whole && value->w3) {
        node_id table = hashtable_copy(value->w3, series_node(result));
        result->w3 = table;
        return result;
    }
    return index(result);
}

const cell* sort(cell* series, bool case_q, cell* skip, cell* compare, cell* part, bool all,
                 bool reverse, bool stable) {
    block::sort(series, case_q, skip, compare, part, all, reverse, stable);
    rebuild(series);
    return series;
}

const cell* trim(cell* series, bool head, bool tail, bool auto_q, bool lines, bool all, cell* with) {
    series::length(series);
    int32_t at = series::head_of(series);
    int32_t before = block_length(series) - at;
    block::trim(series, head, tail, auto_q, lines, all, with);
    reindex(series, at, before, block_length(series) - at);
    return series;
}

}  // namespace kel::hash
