#include "evaluator/actions.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/frames.h"
#include "datatypes/function.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/stack.h"

namespace kel {

void compare_to_logic(int32_t op) {
    bool truth = actions::compare(stack::arguments, stack::arguments + 1, op);
    *stack::arguments = cell{TYPE_LOGIC, truth, 0, 0};
}

// --- Action entries ----------------------------------------------------------------------

namespace {

using stack::arguments;

inline bool flag(const int32_t* r, uint32_t k) { return r[k] != -1; }
// A refinement's first argument; at or below the frame base when absent.
inline cell* arg_of(const int32_t* r, uint32_t k) { return arguments + r[k]; }
// A returned cell becomes the result (the implementation may have written slot 0 itself).
inline int32_t result(const cell* value) {
    if (value) copy_cell(value, arguments);
    return 0;
}

// The implementation of slot S for slot 0's type.
template <uint32_t S>
inline action_fn<S> get_action_ptr() {
    return get_action_ptr_by_type<S>(TYPE_OF(arguments));
}

// A frame action: the implementation reads and writes the frame itself.
template <uint32_t S>
int32_t frame_entry(const int32_t*) {
    get_action_ptr<S>()();
    return 0;
}

// make and to dispatch on the type a datatype! first argument names.
template <uint32_t S>
int32_t make_entry(const int32_t*) {
    uint32_t type = TYPE_OF(arguments) == TYPE_DATATYPE ? arguments->w1 : TYPE_OF(arguments);
    return result(get_action_ptr_by_type<S>(type)(arguments, arguments + 1, type));
}

int32_t random_entry(const int32_t* r) {
    return result(get_action_ptr<ACT_RANDOM>()(arguments, flag(r, 0), flag(r, 1), flag(r, 2)));
}

int32_t reflect_entry(const int32_t*) {
    return result(get_action_ptr<ACT_REFLECT>()(arguments, arguments[1].w2));
}

// form and mold: a limit of 0 or less gives an empty string without forming; otherwise
// the text is cut to the limit afterwards.
template <bool Mold>
int32_t text_entry(const int32_t* r) {
    uint32_t part_k = Mold ? 3 : 0;
    bool part = flag(r, part_k);
    int32_t limit = part ? static_cast<int32_t>(arg_of(r, part_k)->w2) : INT32_MAX;
    cell value = *arguments;
    stack::keep();
    *arguments = value;
    cell* buffer = string::make_at(stack::push_cell(), 16);
    if (limit > 0) {
        if constexpr (Mold)
            mold_dispatch(arguments, buffer, flag(r, 0), flag(r, 1), flag(r, 2), part ? arg_of(r, part_k) : nullptr,
                          limit, 0);
        else
            form_dispatch(arguments, buffer, part ? arg_of(r, part_k) : nullptr, limit);
        if (part && string::ks_buffer_length(buffer) > static_cast<uint32_t>(limit))
            series_set_part_end(string::buffer_of(buffer), static_cast<size_t>(limit));
    }
    *arguments = *buffer;
    return 0;
}

int32_t eval_path_entry(const int32_t* r) {
    cell* to_set = flag(r, 0) ? arguments + 2 : nullptr;
    eval_path_fn action = get_action_ptr_path(arguments, arguments + 1, nullptr, -1);
    return result(action(arguments, arguments + 1, to_set, nullptr, nullptr, nullptr, -1, false, false, true, false));
}

int32_t compare_entry(const int32_t*) {
    compare_to_logic(static_cast<int32_t>(arguments[2].w2));
    return 0;
}

template <uint32_t S>
int32_t unary_entry(const int32_t*) {
    return result(get_action_ptr<S>()(arguments));
}

template <uint32_t S>
int32_t binary_entry(const int32_t*) {
    return result(get_action_ptr<S>()(arguments, arguments + 1));
}

int32_t round_entry(const int32_t* r) {
    return result(get_action_ptr<ACT_ROUND>()(arguments, arg_of(r, 0), flag(r, 1), flag(r, 2), flag(r, 3),
                                              flag(r, 4), flag(r, 5), flag(r, 6)));
}

template <uint32_t S>
int32_t predicate_entry(const int32_t*) {
    bool truth = get_action_ptr<S>()(arguments);
    *arguments = cell{TYPE_LOGIC, truth, 0, 0};
    return 0;
}

inline bool part_series_q(const cell* value) {
    uint32_t t = TYPE_OF(value);
    return (series_type_q(t) || t == TYPE_MAP) && series_node(value);
}

inline void clip_head(cell* value) {
    int32_t length = series::buffer_length(value);
    if (series::head_of(value) > length) value->w1 = static_cast<uint32_t>(length);
}

// The /part argument as a count from target's head: an integer, or a position in the same
// series.
int32_t part_count_of(cell* target, cell* part) {
    if (TYPE_OF(part) == TYPE_INTEGER) return int_of(part);
    if (TYPE_OF(part) != TYPE_OF(target) || series_node(part) != series_node(target) ||
        TYPE_OF(target) == TYPE_PORT || TYPE_OF(target) == TYPE_IMAGE) {
        cell word = runtime_refinements[REF_PART];
        set_type(&word, TYPE_WORD);
        fire(script_error::invalid_refine_arg, &word, part);
    }
    clip_head(part);
    return series::head_of(part) - series::head_of(target);
}

// A negative count moves the value back (not below its head 0) and counts the distance.
int32_t back_count(cell* value, int32_t count) {
    int32_t moved = -count < series::head_of(value) ? -count : series::head_of(value);
    value->w1 -= static_cast<uint32_t>(moved);
    return moved;
}

template <bool Append>
int32_t insert_entry(const int32_t* r) {
    cell* series = arguments;
    cell* value = arguments + 1;
    if (!Append && TYPE_OF(series) != TYPE_PORT) clip_head(series);
    int32_t part = -1;
    if (flag(r, 0)) {
        if (!part_series_q(value)) fire(script_error::invalid_part, arg_of(r, 0));
        clip_head(value);
        int32_t count = part_count_of(value, arg_of(r, 0));
        if (count == 0 || (count < 0 && series::head_of(value) == 0)) return 0;
        part = count < 0 ? back_count(value, count) : count;
    }
    int32_t dup = 1;
    if (flag(r, 2)) {
        dup = int_of(arg_of(r, 2));
        if (dup <= 0) return 0;
    }
    return result(dispatch<Append ? ACT_APPEND : ACT_INSERT>(series, value, part, flag(r, 1), dup, Append));
}

int32_t change_entry(const int32_t* r) {
    cell* series = arguments;
    bool fixed = TYPE_OF(series) == TYPE_PORT || TYPE_OF(series) == TYPE_IMAGE;
    if (!fixed) clip_head(series);
    int32_t part = -1;
    if (flag(r, 0)) {
        int32_t count = part_count_of(series, arg_of(r, 0));
        if (count < 0) count = fixed ? 0 : back_count(series, count);
        part = count;
    }
    int32_t dup = 1;
    if (flag(r, 2)) {
        dup = int_of(arg_of(r, 2));
        if (dup <= 0) return 0;
    }
    return result(change_dispatch(series, arguments + 1, part, flag(r, 1), dup));
}

int32_t copy_entry(const int32_t* r) {
    cell* types = arg_of(r, 2);
    if (flag(r, 2) && TYPE_OF(types) != TYPE_DATATYPE && TYPE_OF(types) != TYPE_TYPESET) {
        cell name = stack::caller_name();
        cell type{TYPE_DATATYPE, TYPE_OF(types), 0, 0};
        cell param = *function::param_word_at(_context::get(&name), 4);
        fire(script_error::expect_arg, &name, &type, &param);
    }
    cell* out = stack::push(&unset_value);
    return result(copy_dispatch(arguments, out, arg_of(r, 0), flag(r, 1), types));
}

int32_t find_entry(const int32_t* r) {
    return result(find_dispatch(arguments, arguments + 1, arg_of(r, 0), flag(r, 1), flag(r, 2), flag(r, 3),
                                flag(r, 4), arg_of(r, 5), arg_of(r, 6), flag(r, 7), flag(r, 8), flag(r, 9),
                                flag(r, 10)));
}

int32_t select_entry(const int32_t* r) {
    return result(select_dispatch(arguments, arguments + 1, arg_of(r, 0), flag(r, 1), flag(r, 2), flag(r, 3),
                                  flag(r, 4), arg_of(r, 5), arg_of(r, 6), flag(r, 7), flag(r, 8)));
}

int32_t length_entry(const int32_t*) {
    int32_t n = length_q_dispatch(arguments);
    *arguments = n < 0 ? none_value : integer_value(n);
    return 0;
}

int32_t move_entry(const int32_t* r) { return result(move_dispatch(arguments, arguments + 1, arg_of(r, 0))); }

int32_t pick_entry(const int32_t*) {
    return result(pick_dispatch(arguments, get_pick_index(arguments + 1), arguments + 1));
}

int32_t poke_entry(const int32_t*) {
    return result(poke_dispatch(arguments, get_pick_index(arguments + 1), arguments + 2, arguments + 1));
}

int32_t put_entry(const int32_t* r) {
    return result(put_dispatch(arguments, arguments + 1, arguments + 2, flag(r, 0)));
}

int32_t remove_entry(const int32_t* r) {
    return result(remove_dispatch(arguments, flag(r, 0) ? arg_of(r, 0) : nullptr, arg_of(r, 1)));
}

int32_t reverse_entry(const int32_t* r) {
    return result(reverse_dispatch(arguments, arg_of(r, 0), arg_of(r, 1)));
}

int32_t sort_entry(const int32_t* r) {
    return result(sort_dispatch(arguments, flag(r, 0), arg_of(r, 1), arg_of(r, 2), arg_of(r, 3), flag(r, 4),
                                flag(r, 5), flag(r, 6)));
}

int32_t take_entry(const int32_t* r) {
    return result(take_dispatch(arguments, arg_of(r, 0), flag(r, 1), flag(r, 2)));
}

int32_t trim_entry(const int32_t* r) {
    return result(trim_dispatch(arguments, flag(r, 0), flag(r, 1), flag(r, 2), flag(r, 3), flag(r, 4), arg_of(r, 5)));
}

int32_t modify_entry(const int32_t* r) {
    cell target = *arguments;
    modify_dispatch(arguments, arguments + 1, arguments + 2, flag(r, 0));
    *arguments = target;
    return 0;
}

int32_t open_entry(const int32_t* r) {
    return result(open_dispatch(arguments, flag(r, 0), flag(r, 1), flag(r, 2), flag(r, 3), arg_of(r, 4)));
}

int32_t read_entry(const int32_t* r) {
    return result(read_dispatch(arguments, arg_of(r, 0), arg_of(r, 1), flag(r, 2), flag(r, 3), flag(r, 4),
                                arg_of(r, 5)));
}

int32_t write_entry(const int32_t* r) {
    return result(write_dispatch(arguments, arguments + 1, flag(r, 0), flag(r, 1), flag(r, 2), flag(r, 3),
                                 arg_of(r, 4), arg_of(r, 5), arg_of(r, 6), arg_of(r, 7)));
}

}  // namespace

void register_actions() {
    static const action_code list[ACTIONS_COUNT] = {
        make_entry<ACT_MAKE>,
        random_entry,
        reflect_entry,
        make_entry<ACT_TO>,
        text_entry<false>,
        text_entry<true>,
        eval_path_entry,
        nullptr,
        compare_entry,
        frame_entry<ACT_ABSOLUTE>,
        frame_entry<ACT_ADD>,
        frame_entry<ACT_DIVIDE>,
        frame_entry<ACT_MULTIPLY>,
        unary_entry<ACT_NEGATE>,
        frame_entry<ACT_POWER>,
        frame_entry<ACT_REMAINDER>,
        round_entry,
        frame_entry<ACT_SUBTRACT>,
        predicate_entry<ACT_EVEN_Q>,
        predicate_entry<ACT_ODD_Q>,
        frame_entry<ACT_AND>,
        unary_entry<ACT_COMPLEMENT>,
        frame_entry<ACT_OR>,
        frame_entry<ACT_XOR>,
        insert_entry<true>,
        frame_entry<ACT_AT>,
        frame_entry<ACT_BACK>,
        change_entry,
        unary_entry<ACT_CLEAR>,
        copy_entry,
        find_entry,
        frame_entry<ACT_HEAD>,
        frame_entry<ACT_HEAD_Q>,
        frame_entry<ACT_INDEX_Q>,
        insert_entry<false>,
        length_entry,
        move_entry,
        frame_entry<ACT_NEXT>,
        pick_entry,
        poke_entry,
        put_entry,
        remove_entry,
        reverse_entry,
        select_entry,
        sort_entry,
        frame_entry<ACT_SKIP>,
        binary_entry<ACT_SWAP>,
        frame_entry<ACT_TAIL>,
        frame_entry<ACT_TAIL_Q>,
        take_entry,
        trim_entry,
        unary_entry<ACT_CREATE>,
        unary_entry<ACT_CLOSE>,
        unary_entry<ACT_DELETE>,
        modify_entry,
        open_entry,
        unary_entry<ACT_OPEN_Q>,
        unary_entry<ACT_QUERY>,
        read_entry,
        binary_entry<ACT_RENAME>,
        unary_entry<ACT_UPDATE>,
        write_entry,
    };
    fill_action_table(ACTIONS_COUNT, list);
}

// --- Fast paths ------------------------------------------------------------------------------

namespace {

constexpr uint32_t math_slots[8] = {ACT_ADD, ACT_SUBTRACT, ACT_MULTIPLY, 0, 0, ACT_OR, ACT_AND, ACT_XOR};

// The full call of an action in a native frame named by word; the result is pushed.
cell* slow_call(const cell* left, const cell* right, uint32_t slot, const cell* word) {
    cell l = *left, r = *right, w = *word;
    stack::mark_native(&w);
    stack::push(&l);
    stack::push(&r);
    int32_t none[1] = {-1};
    exit_on_code(action_entries[slot - 1](none));
    stack::unwind();
    return stack::top - 1;
}

cell* slow_compare(const cell* left, const cell* right, int32_t op, const cell* word) {
    cell l = *left, r = *right, w = *word;
    stack::mark_native(&w);
    stack::push(&l);
    stack::push(&r);
    compare_to_logic(op);
    stack::unwind();
    return stack::top - 1;
}

// The result of two integers, into out.
void int_math(int32_t a, int32_t b, int32_t op, cell* out) {
    int32_t result = 0;
    bool overflow = false;
    switch (op) {
        case 0: overflow = __builtin_add_overflow(a, b, &result); break;
        case 1: overflow = __builtin_sub_overflow(a, b, &result); break;
        case 2: overflow = __builtin_mul_overflow(a, b, &result); break;
        case 5: result = a | b; break;
        case 6: result = a & b; break;
        default: result = a ^ b; break;
    }
    if (!overflow) {
        *out = integer_value(result);
        return;
    }
    double x = a, y = b;
    *out = cell{TYPE_FLOAT, 0, 0, 0};
    set_cell_float(out, op == 0 ? x + y : op == 1 ? x - y : x * y);
}

bool int_compare(int32_t a, int32_t b, int32_t op) {
    switch (op) {
        case COMP_NOT_EQUAL: return a != b;
        case COMP_LESSER: return a < b;
        case COMP_LESSER_EQUAL: return a <= b;
        case COMP_GREATER: return a > b;
        case COMP_GREATER_EQUAL: return a >= b;
        default: return a == b;
    }
}

// Pushes the result of left op right.
cell* math(const cell* left, const cell* right, int32_t op, const cell* word) {
    uint32_t lt = TYPE_OF(left), rt = TYPE_OF(right);
    if (lt == TYPE_INTEGER && rt == TYPE_INTEGER) {
        cell result;
        int_math(int_of(left), int_of(right), op, &result);
        return stack::push(&result);
    }
    if (lt == TYPE_FLOAT && rt == TYPE_FLOAT && op <= 2) {
        double x = cell_float(left), y = cell_float(right);
        cell result{TYPE_FLOAT, 0, 0, 0};
        set_cell_float(&result, op == 0 ? x + y : op == 1 ? x - y : x * y);
        return stack::push(&result);
    }
    return slow_call(left, right, math_slots[op], word);
}

bool compare(const cell* left, const cell* right, int32_t op, const cell* word) {
    if (TYPE_OF(left) == TYPE_INTEGER && TYPE_OF(right) == TYPE_INTEGER)
        return int_compare(int_of(left), int_of(right), op);
    cell* result = slow_compare(left, right, op, word);
    bool truth = result->w1 != 0;
    stack::pop(1);
    return truth;
}

inline cell* replace_top(cell* result) {
    cell value = *result;
    stack::top = result;
    *(stack::top - 1) = value;
    return stack::top - 1;
}

inline cell logic_value(bool truth) { return cell{TYPE_LOGIC, truth, 0, 0}; }

}  // namespace

cell* fast_math_values(const cell* left, const cell* right, int32_t op, const cell* word) {
    return math(left, right, op, word);
}

cell* fast_math_value_int(const cell* left, int32_t right, int32_t op, const cell* word) {
    cell r = integer_value(right);
    return math(left, &r, op, word);
}

cell* fast_math_top(const cell* right, int32_t op, const cell* word) {
    return replace_top(math(stack::top - 1, right, op, word));
}

cell* fast_math_top_int(int32_t right, int32_t op, const cell* word) {
    cell r = integer_value(right);
    return replace_top(math(stack::top - 1, &r, op, word));
}

bool fast_compare_values_cond(const cell* left, const cell* right, int32_t op, const cell* word, bool invert) {
    return compare(left, right, op, word) != invert;
}

bool fast_compare_value_int_cond(const cell* left, int32_t right, int32_t op, const cell* word, bool invert) {
    cell r = integer_value(right);
    return compare(left, &r, op, word) != invert;
}

cell* fast_compare_values(const cell* left, const cell* right, int32_t op, const cell* word) {
    cell result = logic_value(compare(left, right, op, word));
    return stack::push(&result);
}

cell* fast_compare_value_int(const cell* left, int32_t right, int32_t op, const cell* word) {
    cell r = integer_value(right);
    return fast_compare_values(left, &r, op, word);
}

bool fast_compare_to_slot(const cell* left, const cell* right, int32_t op, const cell* word) {
    bool truth = compare(left, right, op, word);
    *stack::arguments = logic_value(truth);
    return truth;
}

cell* fast_compare_top(const cell* right, int32_t op, const cell* word) {
    bool truth = compare(stack::top - 1, right, op, word);
    *(stack::top - 1) = logic_value(truth);
    return stack::top - 1;
}

cell* fast_compare_top_int(int32_t right, int32_t op, const cell* word) {
    cell r = integer_value(right);
    return fast_compare_top(&r, op, word);
}

cell* fast_pick_block(const cell* value, int32_t index, const cell* word) {
    if (TYPE_OF(value) != TYPE_BLOCK) {
        cell v = *value, i = integer_value(index), w = *word;
        stack::mark_native(&w);
        cell* parent = stack::push(&v);
        cell* element = stack::push(&i);
        eval_path_fn action = get_action_ptr_path(parent, element, nullptr, -1);
        copy_cell(action(parent, element, nullptr, nullptr, nullptr, nullptr, -1, false, false, true, false), parent);
        stack::unwind();
        return stack::top - 1;
    }
    int32_t length = series::buffer_length(value) - series::head_of(value);
    if (index < 1 || index > length) return stack::push(&none_value);
    return stack::push(series::buffer_of(value)->cells() + series::head_of(value) + index - 1);
}

cell* fast_series_op(const cell* value, int32_t op, const cell* word) {
    static constexpr uint32_t slots[9] = {0, ACT_LENGTH_Q, ACT_INDEX_Q, ACT_HEAD_Q, ACT_TAIL_Q,
                                          ACT_NEXT, ACT_BACK, ACT_HEAD, ACT_TAIL};
    if (TYPE_OF(value) != TYPE_BLOCK) {
        cell v = *value, w = *word;
        stack::mark_native(&w);
        stack::push(&v);
        int32_t none[1] = {-1};
        exit_on_code(action_entries[slots[op] - 1](none));
        stack::unwind();
        return stack::top - 1;
    }
    int32_t head = series::head_of(value), tail = series::buffer_length(value);
    cell result = *value;
    switch (op) {
        case 1: result = integer_value(head > tail ? 0 : tail - head); break;
        case 2: result = integer_value(head + 1); break;
        case 3: result = logic_value(head == 0); break;
        case 4: result = logic_value(head >= tail); break;
        case 5: if (head < tail) result.w1++; break;
        case 6: if (head > 0) result.w1--; break;
        case 7: result.w1 = 0; break;
        default: result.w1 = static_cast<uint32_t>(tail); break;
    }
    return stack::push(&result);
}

}  // namespace kel
