#include "runtime/exits.h"

#include <unistd.h>

#include <cstdio>

#include "platform/signals.h"
#include "platform/terminal.h"
#include "runtime/heap.h"

namespace kel {

uint32_t pending_code = 0;
uint32_t catch_level = 0;

void raise_exit(uint32_t code) {
    pending_code = code;
    throw kel_exit{code};
}

void rethrow_pending() { raise_exit(pending_code); }

namespace {

const char* const fault_messages[] = {
    "access violation",
    "invalid alignment",
    "breakpoint",
    "single step",
    "bounds exceeded",
    "float denormal operan",
    "float divide by zero",
    "float inexact result",
    "float invalid operation",
    "float overflow",
    "float stack check",
    "float underflow",
    "integer divide by zero",
    "integer overflow",
    "privileged instruction",
    "invalid virtual address",
    "illegal instruction",
    "non-continuable exception",
    "stack error or overflow",
    "invalid disposition",
    "guard page",
    "invalid handle",
    "illegal operand",
    "illegal addressing mode",
    "illegal trap",
    "coprocessor error",
    "non-existent physical address",
    "object specific hardware error",
    "hardware memory error consumed AR",
    "hardware memory error consumed AO",
    "privileged register",
    "segmentation fault",
    "FPU error",
    "Bus error",
};

// Appends text at out and returns the new end.
char* put_text(char* out, const char* text) {
    while (*text) *out++ = *text++;
    return out;
}

char* put_decimal(char* out, int n) {
    unsigned magnitude = n < 0 ? 0u - static_cast<unsigned>(n) : static_cast<unsigned>(n);
    if (n < 0) *out++ = '-';
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    while (count) *out++ = digits[--count];
    return out;
}

char* put_hex8(char* out, uint32_t value) {
    for (int shift = 28; shift >= 0; shift -= 4) *out++ = "0123456789ABCDEF"[(value >> shift) & 0xF];
    return out;
}

// Async-signal-safe: the text is built on the stack and written with write(2).
void show_runtime_error(int n, uintptr_t address) {
    if (n == 0) return;
    char text[160];
    char* end = put_text(text, "*** Runtime Error ");
    end = put_decimal(end, n);
    end = put_text(end, ": ");
    end = put_text(end, runtime_error_message(n));
    end = put_text(end, "\n*** at: ");
    end = put_hex8(end, static_cast<uint32_t>(address));
    end = put_text(end, "h\n");
    standard_error_write(text, static_cast<size_t>(end - text));
}

// The trap of a fault signal: the heap may be mid-update, so it is left to the OS.
[[noreturn]] void fault_exit(int n, uintptr_t address) {
    show_runtime_error(n, address);
    _exit(n);
}

}  // namespace

const char* runtime_error_message(int n) {
    constexpr int fault_count = sizeof(fault_messages) / sizeof(fault_messages[0]);
    if (n >= 1 && n <= fault_count) return fault_messages[n - 1];
    switch (n) {
    case 94: return "out of memory";
    case 95: return "no CATCH for THROW";
    case 98: return "assertion failed";
    case 99: return "unknown error";
    case 100: return "no value matched in CASE";
    case 101: return "no value matched in SWITCH";
    default: return "unknown error code!";
    }
}

void runtime_error_exit(int n, uintptr_t address) {
    show_runtime_error(n, address);
    heap_release_all();
    std::fflush(nullptr);
    _exit(n);
}

__attribute__((noinline)) void runtime_assert_failed() {
    runtime_error_exit(RUNTIME_ASSERTION, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

void top_catch_handler(uint32_t code) {
    if (code == EXIT_PLAIN) runtime_error_exit(0, 0);
    runtime_error_exit(RUNTIME_NO_CATCH, reinterpret_cast<uintptr_t>(&top_catch_handler));
}

void install_fault_handlers() { install_signal_trap(fault_exit); }

}  // namespace kel
