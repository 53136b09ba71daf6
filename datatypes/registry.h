// Datatype registry: type names, the per-type action table and registration.
//
// Dispatch is one multiplication and one load: the entry of (type t, slot s) sits at
// t * 256 + s - 1. Inheritance is flattened when a type registers, never walked per call.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <type_traits>

#include "runtime/cell.h"

namespace kel {

// Action slots, 1-based; the numbers are part of every registration list.
enum action_slot : uint32_t {
    ACT_MAKE = 1,
    ACT_RANDOM = 2,
    ACT_REFLECT = 3,
    ACT_TO = 4,
    ACT_FORM = 5,
    ACT_MOLD = 6,
    ACT_EVAL_PATH = 7,
    // 8 is never used
    ACT_COMPARE = 9,
    ACT_ABSOLUTE = 10,
    ACT_ADD = 11,
    ACT_DIVIDE = 12,
    ACT_MULTIPLY = 13,
    ACT_NEGATE = 14,
    ACT_POWER = 15,
    ACT_REMAINDER = 16,
    ACT_ROUND = 17,
    ACT_SUBTRACT = 18,
    ACT_EVEN_Q = 19,
    ACT_ODD_Q = 20,
    ACT_AND = 21,
    ACT_COMPLEMENT = 22,
    ACT_OR = 23,
    ACT_XOR = 24,
    ACT_APPEND = 25,
    ACT_AT = 26,
    ACT_BACK = 27,
    ACT_CHANGE = 28,
    ACT_CLEAR = 29,
    ACT_COPY = 30,
    ACT_FIND = 31,
    ACT_HEAD = 32,
    ACT_HEAD_Q = 33,
    ACT_INDEX_Q = 34,
    ACT_INSERT = 35,
    ACT_LENGTH_Q = 36,
    ACT_MOVE = 37,
    ACT_NEXT = 38,
    ACT_PICK = 39,
    ACT_POKE = 40,
    ACT_PUT = 41,
    ACT_REMOVE = 42,
    ACT_REVERSE = 43,
    ACT_SELECT = 44,
    ACT_SORT = 45,
    ACT_SKIP = 46,
    ACT_SWAP = 47,
    ACT_TAIL = 48,
    ACT_TAIL_Q = 49,
    ACT_TAKE = 50,
    ACT_TRIM = 51,
    ACT_CREATE = 52,
    ACT_CLOSE = 53,
    ACT_DELETE = 54,
    ACT_MODIFY = 55,
    ACT_OPEN = 56,
    ACT_OPEN_Q = 57,
    ACT_QUERY = 58,
    ACT_READ = 59,
    ACT_RENAME = 60,
    ACT_UPDATE = 61,
    ACT_WRITE = 62,
};
constexpr uint32_t ACTIONS_COUNT = 62;
constexpr uint32_t TYPE_ROW = 256;


inline bool any_word_q(uint32_t type) { return type >= TYPE_WORD && type <= TYPE_GET_WORD; }
inline bool any_path_q(uint32_t type) { return type >= TYPE_PATH && type <= TYPE_GET_PATH; }

// A datatype! cell naming the type, as an error argument or a result.
inline cell datatype_of(uint32_t type) { return cell{TYPE_DATATYPE, type, 0, 0}; }

// script/invalid-type naming the type.
[[noreturn]] void raise_invalid_type(uint32_t type);
// script/bad-to-arg: value cannot become the type.
[[noreturn]] void raise_bad_to_arg(uint32_t type, const cell* value);

// A difference folded to -1, 0 or 1: a raw difference of -2 would read as incomparable.
inline int32_t compare_sign(int64_t difference) {
    return (difference > 0) - (difference < 0);
}

// Entry signatures per slot. Refinements without an argument arrive as flags; with an
// argument, as the argument's cell (absent when at or below the frame base).
// "Frame" actions read their arguments from the current frame and write slot 0.
using make_fn = const cell* (*)(cell* proto, cell* spec, uint32_t type);
using random_fn = const cell* (*)(cell* value, bool seed, bool secure, bool only);
using reflect_fn = const cell* (*)(cell* value, uint32_t field_symbol);
using form_fn = int32_t (*)(cell* value, cell* buffer, cell* arg, int32_t part);
using mold_fn = int32_t (*)(cell* value, cell* buffer, bool only, bool all, bool flat,
                            cell* arg, int32_t part, int32_t indent);
using eval_path_fn = const cell* (*)(cell* parent, cell* element, cell* value, cell* path,
                                     cell* prev_value, cell* prev_element, int32_t index,
                                     bool case_q, bool get_q, bool tail_q, bool evt_q);
using compare_fn = int32_t (*)(cell* value1, cell* value2, int32_t op);
using frame_fn = void (*)();
using unary_fn = const cell* (*)(cell* value);
using round_fn = const cell* (*)(cell* value, cell* scale, bool even, bool down, bool half_down,
                                 bool floor, bool ceiling, bool half_ceiling);
using predicate_fn = bool (*)(cell* value);
using insert_fn = const cell* (*)(cell* series, cell* value, int32_t part, bool only,
                                  int32_t dup, bool append);
using change_fn = const cell* (*)(cell* series, cell* value, int32_t part, bool only,
                                  int32_t dup);
using copy_fn = const cell* (*)(cell* value, cell* result, cell* part, bool deep, cell* types);
using find_fn = const cell* (*)(cell* series, cell* value, cell* part, bool only, bool case_q,
                                bool same, bool any, cell* with, cell* skip, bool last,
                                bool reverse, bool tail, bool match);
using length_fn = int32_t (*)(cell* series);
using move_fn = const cell* (*)(cell* origin, cell* target, cell* part);
using pick_fn = const cell* (*)(cell* series, int32_t index, cell* index_cell);
using poke_fn = const cell* (*)(cell* series, int32_t index, cell* value, cell* index_cell);
using put_fn = const cell* (*)(cell* series, cell* key, cell* value, bool case_q);
using remove_fn = const cell* (*)(cell* series, cell* part, cell* key);
using reverse_fn = const cell* (*)(cell* series, cell* part, cell* skip);
using select_fn = const cell* (*)(cell* series, cell* value, cell* part, bool only, bool case_q,
                                  bool same, bool any, cell* with, cell* skip, bool last,
                                  bool reverse);
using sort_fn = const cell* (*)(cell* series, bool case_q, cell* skip, cell* compare, cell* part,
                                bool all, bool reverse, bool stable);
using binary_fn = const cell* (*)(cell* value1, cell* value2);
using take_fn = const cell* (*)(cell* series, cell* part, bool deep, bool last);
using trim_fn = const cell* (*)(cell* series, bool head, bool tail, bool auto_q, bool lines,
                                bool all, cell* with);
using modify_fn = const cell* (*)(cell* target, cell* field, cell* value, bool case_q);
using open_fn = const cell* (*)(cell* port, bool new_q, bool read, bool write, bool seek,
                                cell* allow);
using read_fn = const cell* (*)(cell* source, cell* part, cell* seek, bool binary, bool lines,
                                bool info, cell* as);
using write_fn = const cell* (*)(cell* destination, cell* data, bool binary, bool lines,
                                 bool info, bool append, cell* part, cell* seek, cell* allow,
                                 cell* as);

template <uint32_t S> struct action_signature;
#define KEL_SLOT_TYPE(slot, fn) \
    template <> struct action_signature<slot> { using type = fn; };
KEL_SLOT_TYPE(ACT_MAKE, make_fn)
KEL_SLOT_TYPE(ACT_RANDOM, random_fn)
KEL_SLOT_TYPE(ACT_REFLECT, reflect_fn)
KEL_SLOT_TYPE(ACT_TO, make_fn)
KEL_SLOT_TYPE(ACT_FORM, form_fn)
KEL_SLOT_TYPE(ACT_MOLD, mold_fn)
KEL_SLOT_TYPE(ACT_EVAL_PATH, eval_path_fn)
KEL_SLOT_TYPE(ACT_COMPARE, compare_fn)
KEL_SLOT_TYPE(ACT_ABSOLUTE, frame_fn)
KEL_SLOT_TYPE(ACT_ADD, frame_fn)
KEL_SLOT_TYPE(ACT_DIVIDE, frame_fn)
KEL_SLOT_TYPE(ACT_MULTIPLY, frame_fn)
KEL_SLOT_TYPE(ACT_NEGATE, unary_fn)
KEL_SLOT_TYPE(ACT_POWER, frame_fn)
KEL_SLOT_TYPE(ACT_REMAINDER, frame_fn)
KEL_SLOT_TYPE(ACT_ROUND, round_fn)
KEL_SLOT_TYPE(ACT_SUBTRACT, frame_fn)
KEL_SLOT_TYPE(ACT_EVEN_Q, predicate_fn)
KEL_SLOT_TYPE(ACT_ODD_Q, predicate_fn)
KEL_SLOT_TYPE(ACT_AND, frame_fn)
KEL_SLOT_TYPE(ACT_COMPLEMENT, unary_fn)
KEL_SLOT_TYPE(ACT_OR, frame_fn)
KEL_SLOT_TYPE(ACT_XOR, frame_fn)
KEL_SLOT_TYPE(ACT_APPEND, insert_fn)
KEL_SLOT_TYPE(ACT_AT, frame_fn)
KEL_SLOT_TYPE(ACT_BACK, frame_fn)
KEL_SLOT_TYPE(ACT_CHANGE, change_fn)
KEL_SLOT_TYPE(ACT_CLEAR, unary_fn)
KEL_SLOT_TYPE(ACT_COPY, copy_fn)
KEL_SLOT_TYPE(ACT_FIND, find_fn)
KEL_SLOT_TYPE(ACT_HEAD, frame_fn)
KEL_SLOT_TYPE(ACT_HEAD_Q, frame_fn)
KEL_SLOT_TYPE(ACT_INDEX_Q, frame_fn)
KEL_SLOT_TYPE(ACT_INSERT, insert_fn)
KEL_SLOT_TYPE(ACT_LENGTH_Q, length_fn)
KEL_SLOT_TYPE(ACT_MOVE, move_fn)
KEL_SLOT_TYPE(ACT_NEXT, frame_fn)
KEL_SLOT_TYPE(ACT_PICK, pick_fn)
KEL_SLOT_TYPE(ACT_POKE, poke_fn)
KEL_SLOT_TYPE(ACT_PUT, put_fn)
KEL_SLOT_TYPE(ACT_REMOVE, remove_fn)
KEL_SLOT_TYPE(ACT_REVERSE, reverse_fn)
KEL_SLOT_TYPE(ACT_SELECT, select_fn)
KEL_SLOT_TYPE(ACT_SORT, sort_fn)
KEL_SLOT_TYPE(ACT_SKIP, frame_fn)
KEL_SLOT_TYPE(ACT_SWAP, binary_fn)
KEL_SLOT_TYPE(ACT_TAIL, frame_fn)
KEL_SLOT_TYPE(ACT_TAIL_Q, frame_fn)
KEL_SLOT_TYPE(ACT_TAKE, take_fn)
KEL_SLOT_TYPE(ACT_TRIM, trim_fn)
KEL_SLOT_TYPE(ACT_CREATE, unary_fn)
KEL_SLOT_TYPE(ACT_CLOSE, unary_fn)
KEL_SLOT_TYPE(ACT_DELETE, unary_fn)
KEL_SLOT_TYPE(ACT_MODIFY, modify_fn)
KEL_SLOT_TYPE(ACT_OPEN, open_fn)
KEL_SLOT_TYPE(ACT_OPEN_Q, unary_fn)
KEL_SLOT_TYPE(ACT_QUERY, unary_fn)
KEL_SLOT_TYPE(ACT_READ, read_fn)
KEL_SLOT_TYPE(ACT_RENAME, binary_fn)
KEL_SLOT_TYPE(ACT_UPDATE, unary_fn)
KEL_SLOT_TYPE(ACT_WRITE, write_fn)
#undef KEL_SLOT_TYPE

template <uint32_t S> using action_fn = typename action_signature<S>::type;

// Entries are stored type-erased; the typed dispatchers cast them back by slot.
using action_entry = void (*)();

// In a registration list: take the parent's entry for this slot.
inline const action_entry INHERIT = reinterpret_cast<action_entry>(~uintptr_t{0});

// A registration list item for slot S; the signature must be the slot's.
template <uint32_t S>
inline action_entry entry(action_fn<S> fn) {
    return reinterpret_cast<action_entry>(fn);
}

struct type_name_record {
    const char* name;  // with its trailing "!"
    uint32_t length;   // characters without the "!"
    cell word;         // the name as a global word; header 0 until words exist
};

extern type_name_record type_names[TYPE_ROW];
extern action_entry type_actions[TYPE_ROW * TYPE_ROW];
extern uint32_t highest_type;

// Installed by the word module once the global context exists: loads a type name as a
// global word into the cell. Until then registration leaves the word fields empty.
using type_word_loader = void (*)(const char* name, cell* word);
extern type_word_loader load_type_word;

// entries: ACTIONS_COUNT items in slot order, each a function, 0 or INHERIT. Another
// count is a build fault: it is reported on standard output and the process fails.
void register_datatype(uint32_t type, uint32_t parent, const char* name,
                       std::initializer_list<action_entry> entries);

inline action_entry type_action(uint32_t type, uint32_t slot) {
    return type_actions[type * TYPE_ROW + slot - 1];
}

}  // namespace kel
