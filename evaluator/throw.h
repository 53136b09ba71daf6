// Non-local exits and the try/catch/throw family.
//
// break, continue, return, exit and throw find their target frame on the call stack,
// unwind both stacks to it, leave their value in its slot 0 and return their exit code,
// which every function in between returns at once. A try/all frame met on the way turns
// them into errors. Errors go as the kel_exit exception: a catcher puts the stacks back
// to its own frame itself.
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/exits.h"

namespace kel {

namespace stack {

// The exit of every language error (fire calls it): the raised error gets its where,
// near and stack fields, then THROW_ERROR is raised.
[[noreturn]] void throw_error();
// To the nearest loop frame: THROW_BREAK with the value in slot 0 (has_value), else
// unset; THROW_CONTINUE.
[[nodiscard]] uint32_t throw_break(bool has_value, bool is_continue);
// To the nearest function body: THROW_RETURN with slot 0's value, THROW_EXIT with unset.
// caller_has_no_frame: the top frame itself may be the body.
[[nodiscard]] uint32_t throw_exit(bool is_return, bool caller_has_no_frame);
// To the nearest catch frame, with the value and the name of slots 0 and 1.
[[nodiscard]] uint32_t throw_value(uint32_t code);

}  // namespace stack

// break, continue, return, exit or throw: the codes that travel as return values.
constexpr bool language_exit_q(uint32_t code) { return code >= THROW_THROW && code <= THROW_BREAK; }

// Runs f (which returns an exit code). Such an exit raised as the exception by C++ that
// could not return it comes back as the returned code, so catchers see both forms alike.
// Inline, so that f's code runs in its caller's frame.
template <class F>
[[nodiscard, gnu::always_inline]] inline uint32_t catch_code(F&& f) {
    try {
        return f();
    } catch (const kel_exit& e) {
        if (!language_exit_q(e.code)) throw;
        pending_code = 0;
        return e.code;
    }
}

namespace natives {

int32_t try_(bool check, const int32_t* refinements);       // block /all /keep
int32_t catch_(bool check, const int32_t* refinements);     // block /name word
int32_t throw_(bool check, const int32_t* refinements);     // value /name word
int32_t break_(bool check, const int32_t* refinements);     // /return value
int32_t continue_(bool check, const int32_t* refinements);
int32_t exit_(bool check, const int32_t* refinements);
int32_t return_(bool check, const int32_t* refinements);    // value

}  // namespace natives
}  // namespace kel
