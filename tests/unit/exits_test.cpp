#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cfenv>
#include <cstdio>
#include <string>

#include "platform/signals.h"
#include "runtime/exits.h"

using namespace kel;
using testing::ExitedWithCode;

namespace {

struct catch_case {
    const char* what;
    uint32_t inner;
    uint32_t outer;
    uint32_t code;
    int taker;  // 0 none, 1 inner, 2 outer
};

const catch_case catch_cases[] = {
    {"break passes catch, reaches loop", LEVEL_CATCH, LEVEL_LOOP, THROW_BREAK, 2},
    {"throw taken by catch", LEVEL_CATCH, LEVEL_ALL, THROW_THROW, 1},
    {"error passes a loop", LEVEL_LOOP, LEVEL_ALL, THROW_ERROR, 2},
    {"continue passes power", LEVEL_POWER, LEVEL_LOOP, THROW_CONTINUE, 2},
    {"power overflow passes memory", LEVEL_MEMORY, LEVEL_POWER, THROW_POWER_OVERFLOW, 2},
    {"alloc failure taken by memory", LEVEL_MEMORY, LEVEL_ALL, THROW_ALLOC_FAILED, 1},
    {"lexer code taken by lexer", THROW_LEXER, LEVEL_CATCH, THROW_LEXER, 1},
    {"plain exit passes a function", LEVEL_CATCH, LEVEL_ALL, EXIT_PLAIN, 1},
    {"normal return", LEVEL_CATCH, LEVEL_LOOP, 0, 0},
};

// Both forms of an exit: the exception and the return code.
void check_nested(const catch_case& c, bool as_return_code) {
    SCOPED_TRACE(std::string(c.what) + (as_return_code ? " (return code)" : " (exception)"));
    const uint32_t before = catch_level;
    uint32_t inner_took = 0;
    uint32_t outer_took = catch_exit(c.outer, [&] {
        if (as_return_code) {
            inner_took = catch_exit(c.inner, [&]() -> uint32_t {
                EXPECT_EQ(catch_level, c.inner);
                return c.code;
            });
        } else {
            inner_took = catch_exit(c.inner, [&] {
                EXPECT_EQ(catch_level, c.inner);
                if (c.code) raise_exit(c.code);
            });
        }
        EXPECT_EQ(catch_level, c.outer);
    });
    EXPECT_EQ(catch_level, before);
    EXPECT_EQ(pending_code, 0u);
    EXPECT_EQ(inner_took, c.taker == 1 ? c.code : 0u);
    EXPECT_EQ(outer_took, c.taker == 2 ? c.code : 0u);
}

std::string hex8(uintptr_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(static_cast<uint32_t>(address)));
    return text;
}

std::string trap_text(int n, const std::string& message, const std::string& address = "[0-9A-F]{8}") {
    return "^\\*\\*\\* Runtime Error " + std::to_string(n) + ": " + message + "\n\\*\\*\\* at: " + address + "h\n$";
}

}  // namespace

TEST(Exits, CatchSitesTakeCodesUpToTheirLevel) {
    for (const catch_case& c : catch_cases) {
        check_nested(c, false);
        check_nested(c, true);
    }
}

// The program entry's outermost frame: a plain end is silent, an untaken code is error 95.
TEST(ExitsDeathTest, OutermostFrame) {
    EXPECT_EXIT(
        {
            uint32_t code = catch_exit(LEVEL_ALL, [] {
                (void)catch_exit(LEVEL_LOOP, [] {
                    (void)catch_exit(LEVEL_CATCH, [] { raise_exit(THROW_BREAK); });
                });
                raise_exit(EXIT_PLAIN);
            });
            top_catch_handler(code);
        },
        ExitedWithCode(0), "^$");
    EXPECT_EXIT(
        {
            uint32_t code = catch_exit(LEVEL_ALL, [] {
                (void)catch_exit(LEVEL_LOOP, [] {
                    (void)catch_exit(LEVEL_CATCH, [] { raise_exit(THROW_RETURN); });
                });
            });
            top_catch_handler(code);
        },
        ExitedWithCode(RUNTIME_NO_CATCH),
        trap_text(95, "no CATCH for THROW", hex8(reinterpret_cast<uintptr_t>(&top_catch_handler))));
}

TEST(ExitsDeathTest, RuntimeErrorText) {
    struct trap_case {
        int n;
        uintptr_t address;
        const char* expected;  // regex of standard error
    };
    const trap_case cases[] = {
        {7, 0x0040ABCD, "^\\*\\*\\* Runtime Error 7: float divide by zero\n\\*\\*\\* at: 0040ABCDh\n$"},
        {6, static_cast<uintptr_t>(0x7F12ABCDEF01ull), "^\\*\\*\\* Runtime Error 6: float denormal operan\n\\*\\*\\* at: ABCDEF01h\n$"},
        {34, 0, "^\\*\\*\\* Runtime Error 34: Bus error\n\\*\\*\\* at: 00000000h\n$"},
        {35, 1, "^\\*\\*\\* Runtime Error 35: unknown error code!\n"},
        {94, 1, "^\\*\\*\\* Runtime Error 94: out of memory\n"},
        {101, 1, "^\\*\\*\\* Runtime Error 101: no value matched in SWITCH\n"},
        {0, 1, "^$"},
    };
    for (const trap_case& c : cases) {
        SCOPED_TRACE(c.n);
        EXPECT_EXIT(runtime_error_exit(c.n, c.address), ExitedWithCode(c.n), c.expected);
    }
}

TEST(ExitsDeathTest, FailedAssertionIsRuntimeError98) {
    volatile bool holds = false;
    EXPECT_EXIT(KEL_ASSERT(holds), ExitedWithCode(RUNTIME_ASSERTION), trap_text(98, "assertion failed"));
}

namespace {

void write_protected_page() {
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int*>(page) = 1;
}

void touch_past_file_end() {
    FILE* file = std::tmpfile();
    void* page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fileno(file), 0);
    (void)*static_cast<volatile char*>(page);
}

void divide_integer_by_zero() {
#if defined(__x86_64__)
    unsigned eax = 1, edx = 0, divisor = 0;
    asm volatile("divl %2" : "+a"(eax), "+d"(edx) : "r"(divisor));
#else
    raise(SIGFPE);
#endif
}

void divide_float_by_zero() {
    feenableexcept(FE_DIVBYZERO);
    volatile double zero = 0.0;
    volatile double result = 1.0 / zero;
    (void)result;
}

void execute_illegal_instruction() { __builtin_trap(); }

volatile bool keep_going = true;

__attribute__((noinline)) int recurse(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (!keep_going) return frame[0];
    return recurse(depth + 1) + frame[0];
}

void overflow_thread_stack() {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    pthread_create(
        &thread, &attr,
        [](void*) -> void* {
            install_fault_handlers();
            recurse(0);
            return nullptr;
        },
        nullptr);
    pthread_join(thread, nullptr);
}

void interrupt() { raise(SIGINT); }

}  // namespace

TEST(ExitsDeathTest, SignalsReachTheTrap) {
    struct signal_case {
        void (*fault)();
        int n;
        const char* message;
    };
    const signal_case cases[] = {
        {write_protected_page, 1, "access violation"},
        {touch_past_file_end, 16, "invalid virtual address"},
#if defined(__x86_64__)
        {divide_integer_by_zero, 13, "integer divide by zero"},
        {divide_float_by_zero, 7, "float divide by zero"},
#endif
        {execute_illegal_instruction, 17, "illegal instruction"},
        {overflow_thread_stack, 19, "stack error or overflow"},
    };
    for (const signal_case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EXIT(
            {
                install_fault_handlers();
                c.fault();
            },
            ExitedWithCode(c.n), trap_text(c.n, c.message));
    }
    EXPECT_EXIT(
        {
            install_fault_handlers();
            interrupt();
        },
        ExitedWithCode(0), "^$");
}

TEST(Exits, FaultCodesWithoutAReproducibleFault) {
    struct code_case {
        int signo;
        int si_code;
        int n;
    };
    const code_case cases[] = {
        {SIGBUS, BUS_ADRALN, 2},     {SIGILL, ILL_PRVOPC, 15},  {SIGFPE, FPE_INTOVF, 14},
        {SIGFPE, FPE_FLTOVF, 10},    {SIGFPE, FPE_FLTUND, 12},  {SIGFPE, FPE_FLTRES, 8},
        {SIGFPE, FPE_FLTINV, 9},     {SIGFPE, FPE_FLTSUB, 5},   {SIGFPE, SI_USER, 99},
        {SIGSEGV, SEGV_ACCERR, 1},
    };
    for (const code_case& c : cases)
        EXPECT_EQ(fault_error_number(c.signo, c.si_code), c.n) << c.signo << " " << c.si_code;
}
