// Action lookup and the typed dispatchers that runtime code calls directly.
#pragma once
#include <cstdint>

#include "datatypes/registry.h"

namespace kel {

// Raises script expect-arg: the called action does not take this type (an empty entry).
[[noreturn]] void raise_expect_arg(uint32_t type);

template <uint32_t S>
inline action_fn<S> get_action_ptr_by_type(uint32_t type) {
    action_entry e = type_action(type, S);
    if (!e) raise_expect_arg(type);
    return reinterpret_cast<action_fn<S>>(e);
}

// Both return the part count less the characters appended.
inline int32_t form_dispatch(cell* value, cell* buffer, cell* arg, int32_t part) {
    return get_action_ptr_by_type<ACT_FORM>(TYPE_OF(value))(value, buffer, arg, part);
}
inline int32_t mold_dispatch(cell* value, cell* buffer, bool only, bool all, bool flat,
                             cell* arg, int32_t part, int32_t indent) {
    return get_action_ptr_by_type<ACT_MOLD>(TYPE_OF(value))(value, buffer, only, all, flat, arg,
                                                            part, indent);
}

// type: the type to make; a datatype! prototype names it, any other value is its own.
inline const cell* make_dispatch(cell* proto, cell* spec, uint32_t type) {
    return get_action_ptr_by_type<ACT_MAKE>(type)(proto, spec, type);
}
inline const cell* to_dispatch(cell* proto, cell* spec, uint32_t type) {
    return get_action_ptr_by_type<ACT_TO>(type)(proto, spec, type);
}

// The raw comparison of value 1's type: -1, 0, 1 or INCOMPARABLE.
int32_t compare_dispatch(cell* value1, cell* value2, int32_t op);

// --- Entry tables ----------------------------------------------------------------------
// Each action! and native! value holds the index of its entry here. An entry runs the call
// whose arguments are in the current frame and leaves the result in slot 0; it returns 0
// or an exit code. refinements holds one value per refinement of the spec, in spec order:
// -1 when absent, else the frame slot of its first argument (any other value for one
// without arguments). A native also gets check, set when its caller has not checked the
// argument types.
//
// Filled once at start-up by the evaluator's registration, before any action! or native!
// value is made; until then the tables are empty.
using action_code = int32_t (*)(const int32_t* refinements);
using native_code = int32_t (*)(bool check, const int32_t* refinements);

constexpr uint32_t NATIVES_COUNT = 107;

extern action_code action_entries[ACTIONS_COUNT];  // slot s at s - 1; slot 8 stays empty
extern native_code native_entries[NATIVES_COUNT];  // index n at n - 1
extern uint32_t native_fill_index;                 // where the next native goes, from 1

// Copies count entries into the actions table, slot 1 first.
void fill_action_table(uint32_t count, const action_code* list);
// Appends count entries at the native fill index.
void fill_native_table(uint32_t count, const native_code* list);

namespace actions {

// The comparison as a truth value; an ordering of incomparable values raises
// script invalid-compare.
bool compare(cell* value1, cell* value2, int32_t op);

}  // namespace actions
}  // namespace kel
