// Any bytes as a string to decode-url: it gives an object or none and never raises; what it
// gives joins again through encode-url. An error, a crash, a hang or a sanitizer report is a
// finding.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "boot/startup.h"
#include "tests/fuzz/fuzz_runtime.h"

using namespace kel;

namespace {

const char harness[] = R"(
fuzz-url: func [data /local text parts] [
    ; Bytes that are not UTF-8 are outside the test: decode-url takes text.
    unless text: attempt [to string! data] [exit]
    parts: decode-url text
    unless any [none? parts object? parts] [do make error! "decode-url gave neither object nor none"]
    if parts [encode-url parts]
]
)";

void run_text(const std::string& text) {
    cell* top = stack::top;
    if (eval_kel_text(text) != 0) std::abort();
    stack::top = top;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        fuzz_runtime_ready();
        run_stages();
        run_text(harness);
        return true;
    }();
    (void)ready;
    static const char hex[] = "0123456789ABCDEF";
    std::string call = "fuzz-url #{";
    for (size_t i = 0; i < size; i++) {
        call += hex[data[i] >> 4];
        call += hex[data[i] & 15];
    }
    run_text(call + "}");
    return 0;
}
