// Interpreter trace events: what the interpreter does, reported step by step to a Kel
// callback function for the run of one do/trace.
//
// Every firing point tests trace_on() first and does nothing more when it is off. A
// benchmark build may compile the firing points out (KEL_NO_TRACE).
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// Events are fired; off while the callback itself runs.
extern bool tracing;

inline bool trace_on() {
#ifdef KEL_NO_TRACE
    return false;
#else
    return tracing;
#endif
}
// A trace run is active: a function with the trace attribute turns tracing back on.
extern bool trace_run;

enum trace_event : uint32_t {
    TRACE_INIT = 0x0001,
    TRACE_END = 0x0002,
    TRACE_PROLOG = 0x0004,
    TRACE_EPILOG = 0x0008,
    TRACE_ENTER = 0x0010,
    TRACE_EXIT = 0x0020,
    TRACE_OPEN = 0x0040,
    TRACE_RETURN = 0x0080,
    TRACE_FETCH = 0x0100,
    TRACE_PUSH = 0x0200,
    TRACE_SET = 0x0400,
    TRACE_CALL = 0x0800,
    TRACE_ERROR = 0x1000,
    TRACE_THROW = 0x2000,
    TRACE_CATCH = 0x4000,
    TRACE_EXPR = 0x8000,
};

// Makes the callback cell a collector root; once at start-up.
void trace_init();

// Reports an event the callback's mask asks for. code: the block (null: none); position:
// an index into code's buffer, reported relative to its head (-1 outside it); ref and
// value may be null. The cells are read before anything allocates.
void fire_interp_event(uint32_t event, const cell* code, int64_t position, const cell* ref, const cell* value);

// Sets tracing to `on` for a scope and puts it back on every way out.
class tracing_scope {
public:
    explicit tracing_scope(bool on);
    ~tracing_scope();
    tracing_scope(const tracing_scope&) = delete;
    tracing_scope& operator=(const tracing_scope&) = delete;

private:
    bool saved_;
};

// do/trace: runs evaluate as a trace run reporting to callback (a function! whose spec
// takes at most the six event arguments, and no refinement but /local, else
// script/invalid-arg). Within a running trace run it just evaluates.
[[nodiscard]] uint32_t trace_run_with(cell* callback, uint32_t (*evaluate)(void* context), void* context);

}  // namespace kel
