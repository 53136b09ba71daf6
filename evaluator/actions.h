// Action lookup and the typed dispatchers that runtime code calls directly.
#pragma once
#include <cstdint>

#include "datatypes/registry.h"
#include "evaluator/natives.h"

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

// The seven comparison natives: slots 0 and 1 compared with op, a logic! into slot 0.
void compare_to_logic(int32_t op);

// --- The actions table -----------------------------------------------------------------
// Each action! value holds the slot of its entry here. Action entry convention: the
// arguments are in the current frame in spec order, slot 0 at stack::arguments; the
// entry leaves its result in slot 0 and returns 0 or an exit code. refinements holds one
// value per refinement of the spec, in spec order: -1 when absent, else the frame index of
// its first argument (any other value for one without arguments). Actions take no check
// flag: their dispatch checks the first argument's type.
using action_code = int32_t (*)(const int32_t* refinements);

extern action_code action_entries[ACTIONS_COUNT];  // slot s at s - 1; slot 8 stays empty

// Copies count entries into the actions table, slot 1 first.
void fill_action_table(uint32_t count, const action_code* list);
// Fills the table with the generic entries, once at start-up.
void register_actions();

// --- Fast paths -------------------------------------------------------------------------
// Integer arithmetic and comparisons and block queries without a call frame; every other
// type takes the full action call, in a native frame named by word.
// Math ops: 0 add, 1 subtract, 2 multiply, 5 or~, 6 and~, 7 xor~. Comparison ops 0 to 6.

// Pushes left op right; 32-bit overflow of add, subtract and multiply gives the exact
// float!.
cell* fast_math_values(const cell* left, const cell* right, int32_t op, const cell* word);
cell* fast_math_value_int(const cell* left, int32_t right, int32_t op, const cell* word);
// The top cell is the left operand and becomes the result.
cell* fast_math_top(const cell* right, int32_t op, const cell* word);
cell* fast_math_top_int(int32_t right, int32_t op, const cell* word);

// The truth value alone (inverted with invert), nothing left on the stack.
bool fast_compare_values_cond(const cell* left, const cell* right, int32_t op, const cell* word, bool invert);
bool fast_compare_value_int_cond(const cell* left, int32_t right, int32_t op, const cell* word, bool invert);
// A logic! pushed.
cell* fast_compare_values(const cell* left, const cell* right, int32_t op, const cell* word);
cell* fast_compare_value_int(const cell* left, int32_t right, int32_t op, const cell* word);
// A logic! written into slot 0; its truth returned.
bool fast_compare_to_slot(const cell* left, const cell* right, int32_t op, const cell* word);
// The top cell is the left operand and becomes the logic!.
cell* fast_compare_top(const cell* right, int32_t op, const cell* word);
cell* fast_compare_top_int(int32_t right, int32_t op, const cell* word);

// Pushes the block's element at index (1-based), none out of range; other types pick.
cell* fast_pick_block(const cell* value, int32_t index, const cell* word);
// Block queries by code: 1 length?, 2 index?, 3 head?, 4 tail?, 5 next, 6 back, 7 head,
// 8 tail; the result pushed.
cell* fast_series_op(const cell* value, int32_t op, const cell* word);

namespace actions {

// The comparison as a truth value; an ordering of incomparable values raises
// script invalid-compare.
bool compare(cell* value1, cell* value2, int32_t op);

}  // namespace actions
}  // namespace kel
