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

namespace actions {

// The comparison as a truth value; an ordering of incomparable values raises
// script invalid-compare.
bool compare(cell* value1, cell* value2, int32_t op);

}  // namespace actions
}  // namespace kel
