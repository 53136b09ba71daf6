// Owners of series: reactive objects learn of every in-place change of a series they hold.
//
// Only the notification is here so far; the ownership table and the marking walk join it.
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
};

namespace ownership {

// Tells the owner of the series, when it has one, of a change at index over count
// elements; true when the series is owned. May run Kel code, so it may allocate.
bool check(const cell* series, owner_action action, int32_t index, int32_t count);

}  // namespace ownership
}  // namespace kel
