// Owners of series: reactive objects learn of every in-place change of a series they hold.
//
// An owner marks every series reachable from a field as owned and records, in the
// ownership table, which object and which field word each belongs to.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// The action words handed to an owner: each change is announced before (present tense)
// and after (past tense).
enum class owner_action : uint8_t {
    random, randomized,
    clear, cleared,
    poke, poked,
    remove, removed,
    reverse, reversed,
    take, taken,
    move, moved,
    append, appended,
    insert, inserted,
    change, changed,
    sort, sorted,
    swap, swaped,
    trim, trimmed,
    put, put_ed,
    uppercase, lowercase,
};

// The table's node: keys are series nodes (an object's context node), values
// [0] the owned series, [1] the owner object, [2] the field word.
extern node_id ownership_table;

namespace ownership {

// How an owner hears of a change: the object module installs its deep-change call.
using deep_change_call = void (*)(const cell* owner, const cell* word, const cell* series,
                                  owner_action action, const cell* value, int32_t index, int32_t count);
extern deep_change_call on_deep_change;

void init();
void mark_owned(const cell* value, const cell* owner, const cell* word);
// mark_owned, then the owner's context is flagged so that marking never descends into it.
void mark_owner(const cell* value, const cell* owner, const cell* word);
void unbind(const cell* value);
void set_range(const cell* block, uint32_t index, uint32_t n);
// The owner cell recorded for the node, or null.
const cell* find(node_id node);

// Tells the owner of the series, when it has one with an on-change handler, of a change
// at index over count elements, with the value added when there is one (the handler's new);
// true when told. May run Kel code, so it may allocate.
bool check(const cell* series, owner_action action, int32_t index, int32_t count,
           const cell* value = nullptr);

}  // namespace ownership
}  // namespace kel
