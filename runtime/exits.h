// Non-local exits and the runtime-error trap.
//
// Frequent exits (break, continue, return, exit, throw) travel as the return codes of
// the interpreter's functions. Errors, and any code that must cross C++ which cannot
// return one, travel as a kel_exit exception carrying the code.
#pragma once
#include <cstdint>
#include <type_traits>

namespace kel {

constexpr uint32_t THROW_ERROR = 0x7FFFFFFF;
constexpr uint32_t THROW_BREAK = 0x7FFFFFFE;
constexpr uint32_t THROW_CONTINUE = 0x7FFFFFFD;
constexpr uint32_t THROW_RETURN = 0x7FFFFFFC;
constexpr uint32_t THROW_EXIT = 0x7FFFFFFB;
constexpr uint32_t THROW_THROW = 0x7FFFFFFA;
constexpr uint32_t THROW_POWER_OVERFLOW = 0x7FFFFFF9;
constexpr uint32_t THROW_ALLOC_FAILED = 0x7FFFFFF7;
constexpr uint32_t THROW_FREE_FAILED = 0x7FFFFFF6;
constexpr uint32_t THROW_LEXER = 0x0000000A;
constexpr uint32_t EXIT_PLAIN = 0x0BADCAFE;

// Catch levels of the frames that take these codes.
constexpr uint32_t LEVEL_ALL = 0xFFFFFFFF;
constexpr uint32_t LEVEL_LOOP = 0x7FFFFFFE;
constexpr uint32_t LEVEL_CATCH = 0x7FFFFFFA;
constexpr uint32_t LEVEL_POWER = 0x7FFFFFF9;
constexpr uint32_t LEVEL_MEMORY = 0x7FFFFFF8;

// Runtime error numbers raised by the runtime itself.
constexpr int RUNTIME_OUT_OF_MEMORY = 94;
constexpr int RUNTIME_NO_CATCH = 95;
constexpr int RUNTIME_ASSERTION = 98;
constexpr int RUNTIME_UNKNOWN = 99;

struct kel_exit {
    uint32_t code;
};

// Code of the exit in progress, or 0; set by every raise, cleared by the catcher that takes it.
extern uint32_t pending_code;

// Level of the innermost catch site; every catch site restores its caller's on every path.
extern uint32_t catch_level;

// Raises an exit that C++ frames cannot pass back as a return code.
[[noreturn]] void raise_exit(uint32_t code);
[[noreturn]] void rethrow_pending();

// A frame of level L takes every code k <= L (unsigned).
constexpr bool level_takes(uint32_t level, uint32_t code) { return code <= level; }

class catch_level_guard {
public:
    explicit catch_level_guard(uint32_t level) : saved_(catch_level) { catch_level = level; }
    ~catch_level_guard() { catch_level = saved_; }
    catch_level_guard(const catch_level_guard&) = delete;
    catch_level_guard& operator=(const catch_level_guard&) = delete;

private:
    uint32_t saved_;
};

// Runs f; an exit it raises is taken when the level allows and its code returned,
// otherwise passed on. Returns 0 when f returned normally. f may also return an exit
// code: one the level does not take goes on as the exception.
template <class F>
[[nodiscard]] uint32_t catch_exit(uint32_t level, F&& f) {
    catch_level_guard frame(level);
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
            f();
        } else if (uint32_t code = f()) {
            if (!level_takes(level, code)) raise_exit(code);
            pending_code = 0;
            return code;
        }
        return 0;
    } catch (const kel_exit& e) {
        if (!level_takes(level, e.code)) throw;
        pending_code = 0;
        return e.code;
    }
}

// Turns a non-zero return code into the exception, for C++ that cannot return one.
inline void exit_on_code(uint32_t code) {
    if (code != 0) raise_exit(code);
}

// Shows "*** Runtime Error n: message" and "*** at: address" on standard error,
// releases the tracked process heap and ends the process with status n.
[[noreturn]] void runtime_error_exit(int n, uintptr_t address);
const char* runtime_error_message(int n);
[[noreturn]] void runtime_assert_failed();

// Outermost frame: EXIT_PLAIN ends normally, anything else is runtime error 95.
[[noreturn]] void top_catch_handler(uint32_t code);

// Fatal signals reach the trap; Ctrl+C ends silently with status 0. Each thread that
// calls it gets its own alternate signal stack, so a stack overflow is reported too.
void install_fault_handlers();

#define KEL_ASSERT(cond) \
    do { if (!(cond)) ::kel::runtime_assert_failed(); } while (0)

}  // namespace kel
