// Arbitrary bytes through the lexer entry in every mode: each input either loads or raises
// a syntax error; any other error, a crash or a sanitizer report is a finding.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "boot/init.h"
#include "datatypes/error.h"
#include "datatypes/lexer.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/stack.h"
#include "tests/fuzz/fuzz_runtime.h"

using namespace kel;

namespace {

void run(const uint8_t* bytes, size_t size, bool one, bool scan, bool make_values) {
    cell* top = stack::top;
    cell* out = stack::push_cell();
    size_t consumed = 0;
    try {
        lexer_scan(out, bytes, size, one, scan, make_values, false, &consumed);
        if (consumed > size) std::abort();
    } catch (const kel_exit& e) {
        // Scanning without values reports errors as its result, never raises.
        pending_code = 0;
        if (e.code != THROW_ERROR || !make_values || last_raised_error().code / 100 != ERR_SYNTAX)
            std::abort();
    }
    if (lexer_current_state) std::abort();
    stack::top = top;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_runtime_ready();
    // An exact-size copy, so that a read past the end is caught.
    std::vector<uint8_t> bytes(data, data + size);
    run(bytes.data(), size, false, true, true);
    run(bytes.data(), size, true, true, true);
    run(bytes.data(), size, false, true, false);
    run(bytes.data(), size, true, false, false);
    return 0;
}
