// The error catalogue: every language error's category, id and message. The order of
// categories and ids fixes every numeric error code the language reports, so it never changes.
#pragma once
#include <cstdint>
#include <span>
#include <string>

#include "runtime/cell.h"

namespace kel {

enum error_category : uint32_t {
    ERR_THROW = 0,
    ERR_NOTE,
    ERR_SYNTAX,
    ERR_SCRIPT,
    ERR_MATH,
    ERR_ACCESS,
    ERR_RESERVED1,
    ERR_RESERVED2,
    ERR_USER,
    ERR_INTERNAL
};

// Ids of each category, in catalogue order: the value is the id's position.
enum class throw_error : uint32_t {
    break_,
    return_,
    throw_,
    continue_,
    while_cond,
};
enum class note_error : uint32_t {
    no_load,
};
enum class syntax_error : uint32_t {
    invalid,
    missing,
    no_header,
    no_ks_header,
    bad_header,
    malconstruct,
    bad_char,
};
enum class script_error : uint32_t {
    no_value,
    need_value,
    not_defined,
    not_in_context,
    no_arg,
    expect_arg,
    expect_val,
    expect_type,
    cannot_use,
    invalid_arg,
    invalid_type,
    invalid_type_spec,
    invalid_key_type,
    invalid_op,
    no_op_arg,
    bad_op_spec,
    invalid_data,
    invalid_part,
    not_same_type,
    not_same_class,
    not_related,
    bad_func_def,
    bad_func_arg,
    bad_func_extern,
    no_refine,
    bad_refines,
    bad_refine,
    dup_refine,
    word_first,
    empty_path,
    unset_path,
    invalid_path,
    invalid_path_set,
    invalid_path_get,
    bad_path_type,
    bad_path_type2,
    bad_path_set,
    bad_field_set,
    dup_vars,
    past_end,
    missing_arg,
    out_of_range,
    invalid_chars,
    invalid_compare,
    wrong_type,
    invalid_refine_arg,
    type_limit,
    size_limit,
    no_return,
    throw_usage,
    locked_word,
    protected_,
    bad_bad,
    bad_make_arg,
    bad_to_arg,
    invalid_months,
    invalid_spec_field,
    missing_spec_field,
    move_bad,
    too_long,
    invalid_char,
    bad_loop_series,
    wrong_denom,
    bad_denom,
    invalid_obj_evt,
    parse_rule,
    parse_end,
    parse_invalid_ref,
    parse_block,
    parse_unsupported,
    parse_infinite,
    parse_stack,
    parse_keep,
    parse_into_bad,
    parse_into_type,
    draw_invalid,
    draw_infinite,
    invalid_data_facet,
    face_type,
    not_window,
    bad_window,
    not_linked,
    not_event_type,
    invalid_facet_type,
    vid_invalid_syntax,
    rtd_invalid_syntax,
    rtd_no_match,
    react_bad_func,
    react_not_enough,
    react_no_match,
    react_bad_obj,
    react_gctx,
    lib_invalid_arg,
    kb_invalid_record,
};
enum class math_error : uint32_t {
    zero_divide,
    overflow,
    positive,
};
enum class access_error : uint32_t {
    cannot_open,
    cannot_close,
    invalid_utf8,
    not_open,
    no_connect,
    no_scheme,
    unknown_scheme,
    invalid_spec,
    invalid_port,
    invalid_actor,
    no_port_action,
    no_create,
    no_codec,
    bad_media,
    invalid_cmd,
};
enum class user_error : uint32_t {
    message,
};
enum class internal_error : uint32_t {
    bad_path,
    not_here,
    no_memory,
    wrong_mem,
    stack_overflow,
    limit_hit,
    too_deep,
    no_cycle,
    feature_na,
    not_done,
    invalid_error,
    routines,
    kel_system,
    deprecated,
};

#define KEL_TYPED_FIRE(category_enum, category)                                              \
    [[noreturn]] inline void fire(category_enum id, const cell* arg1 = nullptr,              \
                                  const cell* arg2 = nullptr, const cell* arg3 = nullptr) {  \
        fire(category, static_cast<uint32_t>(id), arg1, arg2, arg3);                          \
    }
KEL_TYPED_FIRE(throw_error, ERR_THROW)
KEL_TYPED_FIRE(note_error, ERR_NOTE)
KEL_TYPED_FIRE(syntax_error, ERR_SYNTAX)
KEL_TYPED_FIRE(script_error, ERR_SCRIPT)
KEL_TYPED_FIRE(math_error, ERR_MATH)
KEL_TYPED_FIRE(access_error, ERR_ACCESS)
KEL_TYPED_FIRE(user_error, ERR_USER)
KEL_TYPED_FIRE(internal_error, ERR_INTERNAL)
#undef KEL_TYPED_FIRE

constexpr uint32_t error_code(uint32_t category, uint32_t id) { return 100 * category + id; }

// How a message is written: a plain string, a block template, or (the user entry) a bare
// word naming the argument that is itself the message.
enum class message_form : uint8_t { string, block, word };

// One template item: a text, or a reference to the error's arg1..arg3.
struct error_item {
    const char* text = nullptr;  // null for an argument reference
    uint8_t arg = 0;             // 1-3 for an argument reference
    bool get_word = false;       // written :argN rather than argN

    constexpr error_item() = default;
    constexpr error_item(const char* t) : text(t) {}
    constexpr error_item(uint8_t a, bool get) : arg(a), get_word(get) {}
};

uint32_t error_category_count();
// Out-of-range positions give null words and titles, no ids and no items.
const char* error_category_word(uint32_t category);
const char* error_category_title(uint32_t category);
uint32_t error_id_count(uint32_t category);
const char* error_id_word(uint32_t category, uint32_t id);
message_form error_message_form(uint32_t category, uint32_t id);
std::span<const error_item> error_message_items(uint32_t category, uint32_t id);

// The message with its items joined by one space and each argument reference replaced by
// args[n - 1], the formed argument; empty for a position the catalogue does not hold.
std::string format_error_message(uint32_t category, uint32_t id, const std::string args[3]);

}  // namespace kel
