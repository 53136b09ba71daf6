#include "evaluator/actions.h"

#include "boot/error_catalog.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/stack.h"

namespace kel {

action_code action_entries[ACTIONS_COUNT];

void fill_action_table(uint32_t count, const action_code* list) {
    for (uint32_t i = 0; i < count && i < ACTIONS_COUNT; i++) action_entries[i] = list[i];
}


void raise_expect_arg(uint32_t type) {
    cell datatype{TYPE_DATATYPE, type, 0, 0};
    cell name = stack::caller_name();
    cell param = none_value;
    const cell* callee = TYPE_OF(&name) == TYPE_WORD && static_cast<int32_t>(name.w3) >= 0 && name.w1
                             ? _context::values(ctx_cell(name.w1))
                             : nullptr;
    if (callee) param = *function::param_word_at(callee + name.w3, 0);
    fire(script_error::expect_arg, &name, &datatype, &param);
}

eval_path_fn get_action_ptr_path(cell* parent, cell* element, cell* path, int32_t position) {
    action_entry e = type_action(TYPE_OF(parent), ACT_EVAL_PATH);
    if (e) return reinterpret_cast<eval_path_fn>(e);
    cell type{TYPE_DATATYPE, TYPE_OF(parent), 0, 0};
    if (!path) fire(script_error::bad_path_type2, element, &type);
    cell* cut = block::clone(path, true, true);
    block::ks_set_tail(cut, series::head_of(cut) + position + 1);
    fire(script_error::bad_path_type, path, &type, cut);
}

int32_t get_pick_index(const cell* index) {
    switch (TYPE_OF(index)) {
        case TYPE_LOGIC:
            return index->w1 ? 1 : 2;
        case TYPE_INTEGER:
        case TYPE_CHAR:
            return static_cast<int32_t>(index->w2);
        default:
            return 0;
    }
}

void compare_to_logic(int32_t op) {
    bool truth = actions::compare(stack::arguments, stack::arguments + 1, op);
    *stack::arguments = cell{TYPE_LOGIC, truth, 0, 0};
}

namespace {

template <class T>
int32_t order(T a, T b) {
    return (a > b) - (a < b);
}

}  // namespace

int32_t compare_dispatch(cell* value1, cell* value2, int32_t op) {
    uint32_t type = TYPE_OF(value1);
    compare_fn fn = get_action_ptr_by_type<ACT_COMPARE>(type);
    // Values of one type that compare by payload; another type goes to the entry.
    if (TYPE_OF(value2) == type) {
        switch (type) {
            case TYPE_OP: {
                // An op's w1 is an entry index or a context node, by the type it wraps.
                uint32_t wrapped1 = (value1->header >> 16) & 0xFF, wrapped2 = (value2->header >> 16) & 0xFF;
                if (wrapped1 != wrapped2) return order(wrapped1, wrapped2);
                return order(value1->w1, value2->w1);
            }
            case TYPE_LOGIC:
            case TYPE_NATIVE:
            case TYPE_ACTION:
                return order(value1->w1, value2->w1);
            case TYPE_FUNCTION:
            case TYPE_ROUTINE:
                return order(value1->w3, value2->w3);
            default:
                break;
        }
    }
    return fn(value1, value2, op);
}

namespace actions {

bool compare(cell* value1, cell* value2, int32_t op) {
    int32_t result = get_action_ptr_by_type<ACT_COMPARE>(TYPE_OF(value1))(value1, value2, op);
    if (result == INCOMPARABLE && op >= COMP_LESSER && op <= COMP_CASE_SORT)
        fire(script_error::invalid_compare, value1, value2);
    switch (op) {
        case COMP_NOT_EQUAL:
            return result != 0;
        case COMP_LESSER:
        case COMP_SORT:
        case COMP_CASE_SORT:
            return result < 0;
        case COMP_LESSER_EQUAL:
            return result < 1;
        case COMP_GREATER:
            return result >= 1;
        case COMP_GREATER_EQUAL:
            return result >= 0;
        default:
            return result == 0;
    }
}

}  // namespace actions
// --- Action entries ----------------------------------------------------------------------

namespace {

using stack::arguments;

inline bool flag(const int32_t* r, uint32_t k) { return r[k] != -1; }
// A refinement's first argument; at or below the frame base when absent.
inline cell* arg_of(const int32_t* r, uint32_t k) { return arguments + r[k]; }
// A returned cell becomes the result (the implementation may have written slot 0 itself).
inline uint32_t result(const cell* value) {
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
uint32_t frame_entry(const int32_t*) {
    get_action_ptr<S>()();
    return 0;
}

// make and to dispatch on the type a datatype! first argument names.
template <uint32_t S>
uint32_t make_entry(const int32_t*) {
    uint32_t type = TYPE_OF(arguments) == TYPE_DATATYPE ? arguments->w1 : TYPE_OF(arguments);
    return result(get_action_ptr_by_type<S>(type)(arguments, arguments + 1, type));
}

uint32_t random_entry(const int32_t* r) {
    return result(get_action_ptr<ACT_RANDOM>()(arguments, flag(r, 0), flag(r, 1), flag(r, 2)));
}

uint32_t reflect_entry(const int32_t*) {
    return result(get_action_ptr<ACT_REFLECT>()(arguments, arguments[1].w2));
}

// form and mold: a limit of 0 or less gives an empty string without forming; otherwise
// the text is cut to the limit afterwards.
template <bool Mold>
uint32_t text_entry(const int32_t* r) {
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

uint32_t eval_path_entry(const int32_t* r) {
    cell* to_set = flag(r, 0) ? arguments + 2 : nullptr;
    eval_path_fn action = get_action_ptr_path(arguments, arguments + 1, nullptr, -1);
    return result(action(arguments, arguments + 1, to_set, nullptr, nullptr, nullptr, -1, false, false, true, false));
}

uint32_t compare_entry(const int32_t*) {
    compare_to_logic(static_cast<int32_t>(arguments[2].w2));
    return 0;
}

template <uint32_t S>
uint32_t unary_entry(const int32_t*) {
    return result(get_action_ptr<S>()(arguments));
}

template <uint32_t S>
uint32_t binary_entry(const int32_t*) {
    return result(get_action_ptr<S>()(arguments, arguments + 1));
}

uint32_t round_entry(const int32_t* r) {
    return result(get_action_ptr<ACT_ROUND>()(arguments, arg_of(r, 0), flag(r, 1), flag(r, 2), flag(r, 3),
                                              flag(r, 4), flag(r, 5), flag(r, 6)));
}

template <uint32_t S>
uint32_t predicate_entry(const int32_t*) {
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
uint32_t insert_entry(const int32_t* r) {
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

uint32_t change_entry(const int32_t* r) {
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

uint32_t copy_entry(const int32_t* r) {
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

uint32_t find_entry(const int32_t* r) {
    return result(find_dispatch(arguments, arguments + 1, arg_of(r, 0), flag(r, 1), flag(r, 2), flag(r, 3),
                                flag(r, 4), arg_of(r, 5), arg_of(r, 6), flag(r, 7), flag(r, 8), flag(r, 9),
                                flag(r, 10)));
}

uint32_t select_entry(const int32_t* r) {
    return result(select_dispatch(arguments, arguments + 1, arg_of(r, 0), flag(r, 1), flag(r, 2), flag(r, 3),
                                  flag(r, 4), arg_of(r, 5), arg_of(r, 6), flag(r, 7), flag(r, 8)));
}

uint32_t length_entry(const int32_t*) {
    int32_t n = length_q_dispatch(arguments);
    *arguments = n < 0 ? none_value : integer_value(n);
    return 0;
}

uint32_t move_entry(const int32_t* r) { return result(move_dispatch(arguments, arguments + 1, arg_of(r, 0))); }

uint32_t pick_entry(const int32_t*) {
    return result(pick_dispatch(arguments, get_pick_index(arguments + 1), arguments + 1));
}

uint32_t poke_entry(const int32_t*) {
    return result(poke_dispatch(arguments, get_pick_index(arguments + 1), arguments + 2, arguments + 1));
}

uint32_t put_entry(const int32_t* r) {
    return result(put_dispatch(arguments, arguments + 1, arguments + 2, flag(r, 0)));
}

uint32_t remove_entry(const int32_t* r) {
    return result(remove_dispatch(arguments, flag(r, 0) ? arg_of(r, 0) : nullptr, arg_of(r, 1)));
}

uint32_t reverse_entry(const int32_t* r) {
    return result(reverse_dispatch(arguments, arg_of(r, 0), arg_of(r, 1)));
}

uint32_t sort_entry(const int32_t* r) {
    return result(sort_dispatch(arguments, flag(r, 0), arg_of(r, 1), arg_of(r, 2), arg_of(r, 3), flag(r, 4),
                                flag(r, 5), flag(r, 6)));
}

uint32_t take_entry(const int32_t* r) {
    return result(take_dispatch(arguments, arg_of(r, 0), flag(r, 1), flag(r, 2)));
}

uint32_t trim_entry(const int32_t* r) {
    return result(trim_dispatch(arguments, flag(r, 0), flag(r, 1), flag(r, 2), flag(r, 3), flag(r, 4), arg_of(r, 5)));
}

uint32_t modify_entry(const int32_t* r) {
    cell target = *arguments;
    modify_dispatch(arguments, arguments + 1, arguments + 2, flag(r, 0));
    *arguments = target;
    return 0;
}

uint32_t open_entry(const int32_t* r) {
    return result(open_dispatch(arguments, flag(r, 0), flag(r, 1), flag(r, 2), flag(r, 3), arg_of(r, 4)));
}

uint32_t read_entry(const int32_t* r) {
    return result(read_dispatch(arguments, arg_of(r, 0), arg_of(r, 1), flag(r, 2), flag(r, 3), flag(r, 4),
                                arg_of(r, 5)));
}

uint32_t write_entry(const int32_t* r) {
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

}  // namespace kel
