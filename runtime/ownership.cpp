#include "runtime/ownership.h"

#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"

namespace kel {

node_id ownership_table = 0;

namespace ownership {

deep_change_call on_deep_change = nullptr;

namespace {

constexpr uint32_t OWNERSHIP_KEYS = 1000;
constexpr uint32_t IMAGE_OWNED = 0x10000;

bool block_like_q(uint32_t type) {
    return type == TYPE_BLOCK || type == TYPE_PAREN || type == TYPE_HASH ||
           (type >= TYPE_PATH && type <= TYPE_GET_PATH);
}

bool owned_series_q(uint32_t type) {
    switch (type) {
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
        case TYPE_BINARY: case TYPE_VECTOR: case TYPE_IMAGE: case TYPE_BITSET:
            return true;
        default:
            return block_like_q(type);
    }
}

bool object_q(uint32_t type) { return type == TYPE_OBJECT || type == TYPE_ERROR || type == TYPE_PORT; }

bool owned_q(const cell* value) {
    if (TYPE_OF(value) == TYPE_IMAGE) return value->header & IMAGE_OWNED;
    return node_buffer(series_node(value))->flags & SERIES_OWNED;
}

// The context cell and values of an object: its context series is [context cell, owner].
cell* context_cell(const cell* object) { return node_buffer(object->w1)->cells(); }

void record(const cell* value, const cell* owner, const cell* word) {
    root_cell v(*value), o(*owner), w(*word);
    cell* entry = hashtable_put_key(ownership_table, series_node(&v.value));
    entry[0] = v.value;
    entry[1] = o.value;
    entry[2] = w.value;
}

// Walks the values of a block or an object; the cells are re-read through the node
// each time, since marking may allocate.
template <class F>
void each_cell(node_id node, uint32_t from, F&& f) {
    root_node keep(node);
    for (uint32_t i = from;; i++) {
        series_buffer* b = node_buffer(keep.node);
        if (b->cells() + i >= b->cells_tail()) break;
        cell item = b->cells()[i];
        f(&item);
    }
}

}  // namespace

void init() { ownership_table = hashtable_make(OWNERSHIP_KEYS, 0, HASH_KIND_OWNERSHIP, 3); }

void mark_owned(const cell* value, const cell* owner, const cell* word) {
    uint32_t type = TYPE_OF(value);
    if (owned_series_q(type)) {
        if (!series_node(value)) return;
        if (!owned_q(value)) {
            if (type == TYPE_IMAGE) const_cast<cell*>(value)->header |= IMAGE_OWNED;
            else node_buffer(series_node(value))->flags |= SERIES_OWNED;
            record(value, owner, word);
        }
        if (!block_like_q(type) || cycles_find_q(series_node(value))) return;
        root_cell o(*owner), w(*word);
        cycles_guard guard(series_node(value));
        each_cell(series_node(value), series_head(value), [&](cell* item) { mark_owned(item, &o.value, &w.value); });
    } else if (object_q(type)) {
        cell* ctx = context_cell(value);
        if ((ctx->header & CTX_OWNER) || cycles_find_q(ctx->w2)) return;
        root_cell o(*owner), w(*word);
        cycles_guard guard(ctx->w2);
        each_cell(ctx->w2, 0, [&](cell* item) { mark_owned(item, &o.value, &w.value); });
    }
}

void mark_owner(const cell* value, const cell* owner, const cell* word) {
    mark_owned(value, owner, word);
    context_cell(owner)->header |= CTX_OWNER;
}

void unbind(const cell* value) {
    uint32_t type = TYPE_OF(value);
    if (owned_series_q(type)) {
        if (!series_node(value)) return;
        if (type == TYPE_IMAGE) const_cast<cell*>(value)->header &= ~IMAGE_OWNED;
        else node_buffer(series_node(value))->flags &= ~SERIES_OWNED;
        hashtable_delete_key(ownership_table, series_node(value));
        if (!block_like_q(type) || cycles_find_q(series_node(value))) return;
        cycles_guard guard(series_node(value));
        each_cell(series_node(value), series_head(value), [](cell* item) { unbind(item); });
    } else if (object_q(type)) {
        cell* ctx = context_cell(value);
        if ((ctx->header & CTX_OWNER) || cycles_find_q(ctx->w2)) return;
        cycles_guard guard(ctx->w2);
        each_cell(ctx->w2, 0, [](cell* item) { unbind(item); });
    }
}

void set_range(const cell* block, uint32_t index, uint32_t n) {
    root_node keep(series_node(block));
    for (uint32_t i = 0; i < n; i++) {
        series_buffer* b = node_buffer(keep.node);
        if (b->cells() + index + i >= b->cells_tail()) break;
        cell item = b->cells()[index + i];
        unbind(&item);
    }
}

const cell* find(node_id node) {
    cell* entry = hashtable_get_key(ownership_table, node);
    return entry ? entry + 1 : nullptr;
}

bool check(const cell* series, owner_action action, int32_t index, int32_t count, const cell* value) {
    if (!ownership_table || !(node_buffer(series_node(series))->flags & SERIES_OWNED)) return false;
    cell* entry = hashtable_get_key(ownership_table, series_node(series));
    if (!entry || entry[1].w3 == 0 || !on_deep_change) return false;
    root_cell owner(entry[1]), word(entry[2]), target(*series), added(value ? *value : none_value);
    on_deep_change(&owner.value, &word.value, &target.value, action, &added.value, index, count);
    return true;
}

}  // namespace ownership
}  // namespace kel
