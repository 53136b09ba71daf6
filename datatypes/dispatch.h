// Action lookup by type and the typed dispatchers that datatypes and runtime code call
// directly.
#pragma once
#include <cstdint>

#include "datatypes/registry.h"

namespace kel {

// Raises script expect-arg: the called action does not take this type (an empty entry).
// It names the innermost named call and that call's first parameter.
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

// The typed dispatchers of the other actions with explicit arguments: the implementation
// of the first argument's type, called with the same arguments.
template <uint32_t S, class... A>
inline auto dispatch(cell* value, A... args) {
    return get_action_ptr_by_type<S>(TYPE_OF(value))(value, args...);
}
#define KEL_DISPATCHER(name, slot)                                      \
    template <class... A>                                               \
    inline auto name##_dispatch(cell* value, A... args) {               \
        return dispatch<slot>(value, args...);                          \
    }
KEL_DISPATCHER(random, ACT_RANDOM)
KEL_DISPATCHER(reflect, ACT_REFLECT)
KEL_DISPATCHER(eval_path, ACT_EVAL_PATH)
KEL_DISPATCHER(negate, ACT_NEGATE)
KEL_DISPATCHER(round, ACT_ROUND)
KEL_DISPATCHER(even_q, ACT_EVEN_Q)
KEL_DISPATCHER(odd_q, ACT_ODD_Q)
KEL_DISPATCHER(complement, ACT_COMPLEMENT)
KEL_DISPATCHER(append, ACT_APPEND)
KEL_DISPATCHER(change, ACT_CHANGE)
KEL_DISPATCHER(clear, ACT_CLEAR)
KEL_DISPATCHER(copy, ACT_COPY)
KEL_DISPATCHER(find, ACT_FIND)
KEL_DISPATCHER(insert, ACT_INSERT)
KEL_DISPATCHER(length_q, ACT_LENGTH_Q)
KEL_DISPATCHER(move, ACT_MOVE)
KEL_DISPATCHER(pick, ACT_PICK)
KEL_DISPATCHER(poke, ACT_POKE)
KEL_DISPATCHER(put, ACT_PUT)
KEL_DISPATCHER(remove, ACT_REMOVE)
KEL_DISPATCHER(reverse, ACT_REVERSE)
KEL_DISPATCHER(select, ACT_SELECT)
KEL_DISPATCHER(sort, ACT_SORT)
KEL_DISPATCHER(swap, ACT_SWAP)
KEL_DISPATCHER(take, ACT_TAKE)
KEL_DISPATCHER(trim, ACT_TRIM)
KEL_DISPATCHER(create, ACT_CREATE)
KEL_DISPATCHER(close, ACT_CLOSE)
KEL_DISPATCHER(delete, ACT_DELETE)
KEL_DISPATCHER(modify, ACT_MODIFY)
KEL_DISPATCHER(open, ACT_OPEN)
KEL_DISPATCHER(open_q, ACT_OPEN_Q)
KEL_DISPATCHER(query, ACT_QUERY)
KEL_DISPATCHER(read, ACT_READ)
KEL_DISPATCHER(rename, ACT_RENAME)
KEL_DISPATCHER(update, ACT_UPDATE)
KEL_DISPATCHER(write, ACT_WRITE)
#undef KEL_DISPATCHER

// The eval-path implementation of parent's type. Without one: script bad-path-type2
// (element, datatype) when path is null, else bad-path-type (path, datatype, the path
// cut after position + 1 elements).
eval_path_fn get_action_ptr_path(cell* parent, cell* element, cell* path, int32_t position);

// pick and poke's index argument as a number: true 1, false 2, an integer or char its
// own; 0 for any other type (the type's own pick reads the cell).
int32_t get_pick_index(const cell* index);

}  // namespace kel
